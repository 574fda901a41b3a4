// Receive conversions and the raw CAN and K-line drain steps.
#include "passthru/rx_frames.h"

#include <algorithm>
#include <cstring>

#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"

namespace orv {

namespace {

constexpr uint32_t kKLineFullPiece = 68;

void CopyFrameData(const JMSG& frame, PASSTHRU_MSG& msg, uint32_t at) {
  const uint32_t n = std::min<uint32_t>(frame.size, kJmsgDataSize);
  std::memcpy(msg.Data + at, frame.data, n);
  msg.DataSize = at + n;
}

// True when the completed K-line message passes the host-side filter: no
// K-line filter installed, or one whose bytes all match. A message shorter
// than a filter does not match it.
bool KLineFilterPasses(const PASSTHRU_MSG& msg) {
  bool passes = true;
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    const JMSG& mask = State().filters.mask[slot];
    if (mask.dev != kDevKLine || mask.size == 0) continue;
    passes = false;
    if (mask.size > msg.DataSize) continue;
    const JMSG& pattern = State().filters.pattern[slot];
    bool match = true;
    for (uint32_t b = 0; b < mask.size && match; ++b) {
      match = (msg.Data[b] & mask.data[b]) == pattern.data[b];
    }
    if (match) return true;
  }
  return passes;
}

// Removes and checks the checksum byte; false (and DataSize 0) when wrong.
void CheckKLineChecksum(PASSTHRU_MSG& msg) {
  if (msg.DataSize == 0 || State().channels.ISO9141NoChecksum != 0) return;
  msg.DataSize -= 1;
  uint8_t sum = 0;
  for (uint32_t i = 0; i < msg.DataSize; ++i) sum = static_cast<uint8_t>(sum + msg.Data[i]);
  if (sum != msg.Data[msg.DataSize]) {
    DbgMsg(kMsgError, "ISO9141/14230 Bad RX checksum");
    msg.DataSize = 0;
  }
}

void CompleteKLineMessage(RxOutput& out) {
  PASSTHRU_MSG& msg = out.Current();
  if (KLineFilterPasses(msg)) {
    CheckKLineChecksum(msg);
    msg.ExtraDataIndex = msg.DataSize;
    if (msg.DataSize != 0) out.Deliver();
  }
  if (!out.Full()) out.Current().DataSize = 0;
}

void TakeKLinePiece(const JMSG& frame, uint32_t channel, RxOutput& out, KLineAssembly& assembly) {
  const bool last_piece = frame.size != kKLineFullPiece;
  if (assembly.dropping) {
    if (last_piece) assembly.dropping = false;
    return;
  }
  PASSTHRU_MSG& msg = out.Current();
  if (msg.DataSize + frame.size > PASSTHRU_MSG_DATA_SIZE) {
    DbgMsg(kMsgError, "ISO9141/14230 RX message too long, dropped");
    msg.DataSize = 0;
    assembly.dropping = !last_piece;
    return;
  }
  msg.ProtocolID = channel;
  msg.RxStatus = frame.type == kTypeBusMessage ? kRxTxMsgType : 0;
  CopyFrameData(frame, msg, msg.DataSize);
  msg.TxFlags = 0;
  msg.Timestamp = ConvertTimestamp(frame.timestamp);
  if (last_piece) CompleteKLineMessage(out);
}

void TakeKLineFrame(const JMSG& frame, uint32_t channel, RxOutput& out, KLineAssembly& assembly) {
  if (frame.flags & kRxKLineKeyBytes) {
    State().options.ISO9141Keyword1 = frame.data[0];
    State().options.ISO9141Keyword2 = frame.data[1];
    State().options.ISO9141Address = frame.data[2];
    return;
  }
  if (frame.flags & kRxKLineStart) {
    PASSTHRU_MSG& msg = out.Current();
    msg.Timestamp = ConvertTimestamp(frame.timestamp);
    msg.ProtocolID = channel;
    msg.TxFlags = 0;
    msg.RxStatus = kRxStartOfMessage;
    msg.DataSize = 0;
    msg.ExtraDataIndex = 0;
    out.Deliver();
    return;
  }
  TakeKLinePiece(frame, channel, out, assembly);
}

}  // namespace

uint32_t ConvertTimestamp(const uint8_t (&timestamp)[4]) {
  const uint32_t raw = (uint32_t{timestamp[0]} << 24) | (uint32_t{timestamp[1]} << 16) |
                       (uint32_t{timestamp[2]} << 8) | uint32_t{timestamp[3]};
  if (State().options.TimestampMsec == 1) return raw >> 8;
  const uint64_t ll_timestamp = uint64_t{raw} * 1000u;
  return static_cast<uint32_t>(ll_timestamp >> 8);
}

void CanFrameToMsg(const JMSG& frame, uint32_t protocol, bool fd_bits, PASSTHRU_MSG& msg) {
  msg.ProtocolID = protocol;
  if (frame.flags & kRxFrame29BitId) {
    msg.RxStatus = kRx29BitId;
    CopyFrameData(frame, msg, 0);
  } else {
    msg.RxStatus = 0;
    msg.Data[0] = 0;
    msg.Data[1] = 0;
    CopyFrameData(frame, msg, 2);
  }
  msg.TxFlags = 0;
  msg.Timestamp = ConvertTimestamp(frame.timestamp);
  if (frame.type == kTypeBusMessage) msg.RxStatus |= kRxTxMsgType;
  if (fd_bits && (frame.flags & kRxFrameFd)) msg.RxStatus |= kRxFdFrame;
  if (fd_bits && (frame.flags & kRxFrameFdBitRateSwitch)) msg.RxStatus |= kRxFdBitRateSwitch;
  if (frame.flags & kRxFrameMarked) {
    msg.RxStatus |= kRxMarked;
    std::memset(msg.Data, 0xFE, 4);
  }
  msg.ExtraDataIndex = msg.DataSize;
}

void DrainCan(const RxQueue& queue, uint32_t channel, RxOutput& out) {
  const uint32_t connect_flags = *queue.flags;
  while (!RxQueueEmpty(queue) && !out.Full()) {
    const JMSG& frame = RxQueueTail(queue);
    if (IdFormatAccepted(connect_flags, frame.flags)) {
      CanFrameToMsg(frame, channel, true, out.Current());
      out.Deliver();
    }
    RxQueueDropTail(queue);
  }
}

void DrainKLine(const RxQueue& queue, uint32_t channel, RxOutput& out, KLineAssembly& assembly) {
  while (!RxQueueEmpty(queue) && !out.Full()) {
    TakeKLineFrame(RxQueueTail(queue), channel, out, assembly);
    RxQueueDropTail(queue);
  }
}

}  // namespace orv
