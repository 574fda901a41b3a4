// The result codes and the settings record of the link layer. The values
// are those of the public interface (checked where the export face includes
// both), but the link does not depend on that header: it sits below the
// pass-thru API.
#pragma once

#include <cstdint>

namespace orv {

// Results of the frame senders, the receive pass and the connection check.
inline constexpr int32_t kLinkOk = 0;
inline constexpr int32_t kLinkFailed = 7;     // a port transfer failed
inline constexpr int32_t kLinkNoAdapter = 8;  // no adapter was found

// Results of the serial driver: 0 or a negative code per failed step.
namespace com {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kErrHandle = -32749;
inline constexpr int32_t kErrOpen = -32008;
inline constexpr int32_t kErrState = -32007;
inline constexpr int32_t kErrQueue = -32006;
inline constexpr int32_t kErrPurge = -32005;
inline constexpr int32_t kErrTimeouts = -32004;
inline constexpr int32_t kErrClose = -32003;
inline constexpr int32_t kErrRead = -32002;
inline constexpr int32_t kErrWrite = -32001;
inline constexpr int32_t kErrBreak = -32000;
}  // namespace com

// Line settings read and applied by serial driver functions 3 and 4; the
// same layout as the public DRVSETTINGS record.
struct DriverSettings {
  uint32_t BaudRate;
  uint8_t DataBits;
  uint8_t Parity;
  uint8_t StopBits;
  uint8_t DtrDsr;
  uint8_t RtsCts;
  uint8_t XonXoff;
};

}  // namespace orv
