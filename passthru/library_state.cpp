// The library state and its reset.
#include "passthru/library_state.h"

namespace orv {

LibraryState::LibraryState() : link(Link()) {
  queues.Reset();
  filters.Reset();
  periodic.Reset();
  reassembly.Reset();
  link.sink = &ChannelReceiveSink();
  link.restore_adapter = AdapterRestorer();
}

void LibraryState::Reset() {
  link.Reset();
  queues.Reset();
  channels = ChannelRecords{};
  filters.Reset();
  periodic.Reset();
  options = ConfigOptions{};
  reassembly.Reset();
  tx_batch.Clear();
  link.sink = &ChannelReceiveSink();
  link.restore_adapter = AdapterRestorer();
}

LibraryState& State() {
  static LibraryState state;
  return state;
}

}  // namespace orv
