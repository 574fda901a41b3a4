// The serial driver: opens a COM port by number with fixed line settings,
// moves raw bytes under fixed time limits, and offers a few controls. The
// exported com_* functions are declared in the public header; this header
// adds what only the library sees.
//
// Failure reporting: each function returns 0 or a negative COM_ERR_* code;
// the platform's own error code of the last failure lands in lLastError.
#pragma once

#include <cstdint>

#include "orvanta_j2534.h"

namespace orv {

// Platform error code of the last failed platform call (for inspection).
extern int32_t lLastError;

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

}  // namespace orv
