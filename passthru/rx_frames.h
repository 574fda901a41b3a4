// Receive-side conversions and the drain steps of the raw CAN and K-line
// channels: adapter time stamps to API time stamps, the identifier-format
// acceptance, a received CAN frame to a PASSTHRU_MSG, and the joining of
// K-line pieces with checksum check and host-side filter.
//
// Every copy into a record is bounded by the 4128-byte `Data` field; a
// K-line message that would not fit is dropped whole.
//
// Failure reporting: nothing is returned; problems with received data
// ("ISO9141/14230 Bad RX checksum", an over-long K-line message) are
// reported through DbgMsg ('E') and the message is not delivered.
#pragma once

#include <cstdint>

#include "link/jmsg.h"
#include "orvanta_j2534.h"
#include "passthru/rx_queues.h"

namespace orv {

// RxStatus bits produced by the receive path.
inline constexpr uint32_t kRxTxMsgType = 0x00000001;
inline constexpr uint32_t kRxStartOfMessage = 0x00000002;
inline constexpr uint32_t kRxPaddingError = 0x00000010;
inline constexpr uint32_t kRx29BitId = 0x00000100;
inline constexpr uint32_t kRxFdBitRateSwitch = 0x00080000;
inline constexpr uint32_t kRxFdFrame = 0x00100000;
inline constexpr uint32_t kRxMarked = 0x20000000;

// Flag bits of adapter -> host bus frames.
inline constexpr uint8_t kRxFrameFd = 0x01;
inline constexpr uint8_t kRxFrameFdBitRateSwitch = 0x02;
inline constexpr uint8_t kRxFrame29BitId = 0x10;
inline constexpr uint8_t kRxFrameMarked = 0x40;    // CAN family
inline constexpr uint8_t kRxKLineKeyBytes = 0x40;  // K-line: initialisation answer
inline constexpr uint8_t kRxKLineStart = 0x80;     // K-line: start of a message

// Connect flags read on receive.
inline constexpr uint32_t kConnect29BitId = 0x00000100;
inline constexpr uint32_t kConnectIdBoth = 0x00000800;

// The caller's record array and how far it is filled. `delivered` is the
// index of the record being filled (RxMsgs).
struct RxOutput {
  PASSTHRU_MSG* msgs = nullptr;
  uint32_t wanted = 0;
  uint32_t delivered = 0;

  bool Full() const { return delivered >= wanted; }
  PASSTHRU_MSG& Current() { return msgs[delivered]; }
  // Hands over the current record and starts the next one empty.
  void Deliver() {
    ++delivered;
    if (delivered < wanted) msgs[delivered].DataSize = 0;
  }
};

// The adapter's 1/256-ms stamp (most significant byte first) in the unit
// chosen by TIMESTAMP_MSEC / TIMESTAMP_USEC.
uint32_t ConvertTimestamp(const uint8_t (&timestamp)[4]);

// True when a frame with `frame_flags` suits a channel connected with
// `connect_flags` (CAN_ID_BOTH, or the 29-bit flag on both or neither).
inline bool IdFormatAccepted(uint32_t connect_flags, uint8_t frame_flags) {
  if (connect_flags & kConnectIdBoth) return true;
  return ((connect_flags & kConnect29BitId) != 0) == ((frame_flags & kRxFrame29BitId) != 0);
}

// A received CAN frame as a raw CAN message: the identifier widened to 4
// bytes, RxStatus, time stamp, ExtraDataIndex = DataSize. `fd_bits` adds
// the CAN FD status bits (the mixed-format path goes without them).
void CanFrameToMsg(const JMSG& frame, uint32_t protocol, bool fd_bits, PASSTHRU_MSG& msg);

// Drains the raw CAN queue of channel 5 or 11 into `out`.
void DrainCan(const RxQueue& queue, uint32_t channel, RxOutput& out);

// Per-call state of K-line assembly: set while the pieces of a message
// that does not fit in `Data` are being skipped.
struct KLineAssembly {
  bool dropping = false;
};

// Drains the K-line queue (channels 3 and 4) into `out`.
void DrainKLine(const RxQueue& queue, uint32_t channel, RxOutput& out, KLineAssembly& assembly);

}  // namespace orv
