// Resets every module's process-wide state to its start-up values.
#include "passthru/library_state.h"

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/filter_table.h"
#include "passthru/iso15765_reassembly.h"
#include "passthru/periodic.h"
#include "passthru/rx_queues.h"

namespace orv {

void ResetLibraryState() {
  ResetDiscoveryState();
  ResetLinkBuffers();
  ResetTraceState();
  ResetChannelState();
  ResetConfigOptions();
  ResetRxQueues();
  ResetFilterTables();
  ResetPeriodicTable();
  ResetIso15765Reassembly();
}

}  // namespace orv
