// The export face of the serial driver: the com_* functions of the public
// header over the link's driver (link/comdrvr.h). The driver keeps no state
// of its own beyond the caller's handle, so these take no call guard.
#include <cstddef>

#include "link/comdrvr.h"
#include "link/link_codes.h"
#include "orvanta_j2534.h"

namespace {

using orv::DriverSettings;
static_assert(sizeof(DriverSettings) == sizeof(DRVSETTINGS));
static_assert(offsetof(DriverSettings, DataBits) == offsetof(DRVSETTINGS, DataBits));
static_assert(offsetof(DriverSettings, XonXoff) == offsetof(DRVSETTINGS, XonXoff));
static_assert(orv::com::kOk == COM_OK && orv::com::kErrHandle == COM_ERR_HANDLE);
static_assert(orv::com::kErrOpen == COM_ERR_OPEN && orv::com::kErrBreak == COM_ERR_BREAK);
static_assert(orv::kLinkFailed == ERR_FAILED && orv::kLinkNoAdapter == ERR_DEVICE_NOT_CONNECTED);

}  // namespace

extern "C" {

ORV_API int32_t ORV_CDECL com_open(int32_t* h_drv, uint32_t port, uint32_t baud, uint32_t data_bits,
                                   uint32_t stop_bits, uint32_t parity) {
  return orv::ComOpen(h_drv, port, baud, data_bits, stop_bits, parity);
}

ORV_API int32_t ORV_CDECL com_close(int32_t* h_drv) {
  return orv::ComClose(h_drv);
}

ORV_API int32_t ORV_CDECL com_read(int32_t* h_drv, uint8_t* p_buffer, uint32_t count,
                                   uint32_t* p_bytes_read) {
  return orv::ComRead(h_drv, p_buffer, count, p_bytes_read);
}

ORV_API int32_t ORV_CDECL com_write(int32_t* h_drv, const uint8_t* p_buffer, uint32_t count,
                                    uint32_t* p_bytes_written) {
  return orv::ComWrite(h_drv, p_buffer, count, p_bytes_written);
}

ORV_API int32_t ORV_CDECL com_ioctl(int32_t* h_drv, uint32_t func, void* p_parms,
                                    void* /*p_data*/) {
  return orv::ComIoctl(h_drv, func, p_parms);
}

ORV_API int32_t ORV_CDECL com_rx_count(int32_t* h_drv, uint32_t* count) {
  return orv::ComRxCount(h_drv, count);
}

ORV_API int32_t ORV_CDECL com_set_timeout(int32_t* h_drv, uint32_t timeout_msec) {
  return orv::ComSetTimeout(h_drv, timeout_msec);
}

ORV_API int32_t ORV_CDECL com_set_dtr(int32_t* h_drv, uint32_t state) {
  return orv::ComSetDtr(h_drv, state);
}

ORV_API int32_t ORV_CDECL com_set_rts(int32_t* h_drv, uint32_t state) {
  return orv::ComSetRts(h_drv, state);
}

}  // extern "C"
