// Device and channel ioctls (not yet supported).
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/ioctl_handlers.h"

namespace orv {

int32_t HandleDeviceIoctl(uint32_t, uint8_t, uint32_t, void*, void*) {
  DbgMsg(kMsgError, "Ioctl function not supported");
  return ERR_NOT_SUPPORTED;
}

}  // namespace orv
