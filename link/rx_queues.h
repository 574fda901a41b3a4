// Routing of bus frames and channel reports from the receive pass into the
// per-channel receive queues.
#pragma once

#include "link/jmsg.h"

namespace orv {

// Called by the receive pass for every frame with operation 1, every bus
// frame (operation 2 from 0x10, 0x20, 0x30, 0x40, 0x90) and the adapter's
// overflow report (device 0xF0, operation 2, flags 0x40).
void RouteReceivedFrame(const JMSG& frame);

}  // namespace orv
