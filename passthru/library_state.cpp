// Resets every module's process-wide state to its start-up values.
#include "passthru/library_state.h"

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"

namespace orv {

void ResetLibraryState() {
  ResetDiscoveryState();
  ResetLinkBuffers();
  ResetTraceState();
  ChannelStatus = 0;
  ResetConfigOptions();
}

}  // namespace orv
