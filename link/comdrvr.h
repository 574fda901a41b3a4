// The serial driver: opens a COM port by number with fixed line settings,
// moves raw bytes under fixed time limits, and offers a few controls. The
// export face publishes these as the com_* functions of the public header;
// the library itself calls them directly.
//
// Failure reporting: each function returns 0 or a negative com::kErr* code;
// the platform's own error code of the calling thread's last failure is
// kept for ComLastOsError().
#pragma once

#include <cstdint>

#include "link/link_codes.h"

namespace orv {

// The driver's fixed settings.
inline constexpr uint32_t kInputQueueBytes = 32768;
inline constexpr uint32_t kOutputQueueBytes = 262144;
inline constexpr uint32_t kReadLimitMs = 1;
inline constexpr uint32_t kWriteLimitMs = 1000;
inline constexpr uint32_t kBreakHalfMs = 100;

// Formats the Win32 device name of COM port `port` ("\\.\COM7") into a
// buffer of 20 characters.
inline constexpr uint32_t kDeviceNameSize = 20;
void FormatComDeviceName(char (&name)[kDeviceNameSize], uint32_t port);

// The platform error code of this thread's last failed driver call (0 after
// a successful open).
int32_t ComLastOsError();
void ResetComLastOsError();

int32_t ComOpen(int32_t* h_drv, uint32_t port, uint32_t baud, uint32_t data_bits,
                uint32_t stop_bits, uint32_t parity);
int32_t ComClose(int32_t* h_drv);
int32_t ComRead(int32_t* h_drv, uint8_t* p_buffer, uint32_t count, uint32_t* p_bytes_read);
int32_t ComWrite(int32_t* h_drv, const uint8_t* p_buffer, uint32_t count,
                 uint32_t* p_bytes_written);
// 1/2 XON/XOFF output flow on/off, 3 read settings, 4 apply settings (both
// a DriverSettings record in `p_parms`), 5 break pulse, 6 purge.
int32_t ComIoctl(int32_t* h_drv, uint32_t func, void* p_parms);
int32_t ComRxCount(int32_t* h_drv, uint32_t* count);
int32_t ComSetTimeout(int32_t* h_drv, uint32_t timeout_msec);
int32_t ComSetDtr(int32_t* h_drv, uint32_t state);
int32_t ComSetRts(int32_t* h_drv, uint32_t state);

}  // namespace orv
