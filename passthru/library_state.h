// The one owner of the library's process-wide state: the link (port,
// discovery, receive buffer, answer places, trace), the receive queues, the
// channel records, the filter tables, the periodic table, the option
// flags, the ISO 15765 reassembly records and the transmit batch. The
// link's part lives in link/ (Link(), link/link_state.h), so that the link
// links and is tested without the core; the state reaches and resets it as
// State().link. Apart from these, only the transfer progress hook
// (services/transfer_progress.cpp, set under the state lock through
// passthru/app_core.h) is kept between calls. Every module reaches its part
// through State(), under the state lock (passthru/call_sync.h).
//
// Reset() restores the state of a freshly loaded library, for a host
// process or a test that needs it.
#pragma once

#include "link/link_state.h"
#include "passthru/call_sync.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/filter_table.h"
#include "passthru/iso15765_reassembly.h"
#include "passthru/periodic.h"
#include "passthru/rx_queues.h"
#include "passthru/tx_frames.h"

namespace orv {

struct LibraryState {
  LibraryState();
  LibraryState(const LibraryState&) = delete;
  LibraryState& operator=(const LibraryState&) = delete;

  LinkState& link;  // the link's own state (link/link_state.h), reset with the rest
  RxQueues queues;
  ChannelRecords channels;
  FilterTables filters;
  PeriodicTable periodic;
  ConfigOptions options;
  ReassemblyState reassembly;
  TxBatch tx_batch;  // the transmit batch a write builds (scratch of one call)
  CallSync sync;     // not part of the reset: see passthru/call_sync.h

  // Closes the port if open and restores every part's start-up values.
  void Reset();
};

LibraryState& State();

// The function that sets up an adapter again after a lost link (installed
// into the link, see InstallAdapterRestorer): passthru/adapter_restore.cpp.
int32_t (*AdapterRestorer())();

inline void ResetLibraryState() {
  State().Reset();
}

}  // namespace orv
