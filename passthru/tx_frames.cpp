// Transmit frame building: size checks, CAN, K-line and ISO 15765 frames.
#include "passthru/tx_frames.h"

#include <algorithm>
#include <cstring>

#include "passthru/channel_table.h"

namespace orv {

namespace {

constexpr uint32_t kIdBytes = 4;  // a J2534 CAN identifier in `Data`

uint32_t WireIdBytes(uint32_t tx_flags) {
  return (tx_flags & kTx29BitId) ? 4u : 2u;
}
uint32_t AddressBytes(uint32_t tx_flags) {
  return (tx_flags & kTxExtendedAddress) ? 1u : 0u;
}

uint8_t FdFlags(uint32_t tx_flags) {
  if (!(tx_flags & kTxFdFrame)) return 0;
  return (tx_flags & kTxFdBitRateSwitch) ? (kFrameFd | kFrameFdBitRateSwitch) : kFrameFd;
}

// Appends `n` bytes from `src` at data[frame.size], bounded by the frame.
void Append(JMSG& frame, const uint8_t* src, uint32_t n) {
  n = std::min<uint32_t>(n, static_cast<uint32_t>(kJmsgDataSize - frame.size));
  std::memcpy(frame.data + frame.size, src, n);
  frame.size = static_cast<uint8_t>(frame.size + n);
}

void AppendByte(JMSG& frame, uint8_t b) {
  if (frame.size < kJmsgDataSize) frame.data[frame.size++] = b;
}

// The identifier at its wire length, then the address byte if any (the
// frame is empty here, so the at most 5 bytes always fit).
void AppendIsoHeader(JMSG& frame, const PASSTHRU_MSG& msg) {
  const uint32_t id_bytes = WireIdBytes(msg.TxFlags);
  const uint8_t* id = msg.Data + kIdBytes - id_bytes;
  uint8_t n = 0;
  for (uint32_t i = 0; i < id_bytes; ++i) frame.data[n++] = id[i];
  if (msg.TxFlags & kTxExtendedAddress) frame.data[n++] = msg.Data[kIdBytes];
  frame.size = n;
}

// Pads the frame's CAN data length up to the next CAN FD length, at most L.
void PadIsoFrame(JMSG& frame, uint32_t id_bytes, const IsoTxParams& params) {
  while (frame.size - id_bytes < params.tx_data_length &&
         !can_fd_valid_data_length(frame.size - id_bytes) && frame.size < kJmsgDataSize) {
    frame.data[frame.size++] = params.pad_value;
  }
}

void PutTimeLimit(JMSG& frame, uint32_t ms) {
  frame.timestamp[0] = static_cast<uint8_t>(ms);
  frame.timestamp[1] = static_cast<uint8_t>(ms >> 8);
  frame.timestamp[2] = static_cast<uint8_t>(ms >> 16);
  frame.timestamp[3] = static_cast<uint8_t>(ms >> 24);
}

}  // namespace

uint32_t CheckDataSize(const PASSTHRU_MSG& msg) {
  return msg.DataSize <= PASSTHRU_MSG_DATA_SIZE ? STATUS_NOERROR : ERR_INVALID_MSG;
}

uint32_t CheckCanMessage(const PASSTHRU_MSG& msg) {
  if (msg.DataSize < kIdBytes || msg.DataSize > PASSTHRU_MSG_DATA_SIZE) return ERR_INVALID_MSG;
  const uint32_t dropped = kIdBytes - WireIdBytes(msg.TxFlags);
  return msg.DataSize - dropped <= kJmsgDataSize ? STATUS_NOERROR : ERR_INVALID_MSG;
}

uint32_t CheckIso15765Message(const PASSTHRU_MSG& msg, uint32_t tx_data_length) {
  const uint32_t header = kIdBytes + AddressBytes(msg.TxFlags);
  if (msg.DataSize < header || msg.DataSize > PASSTHRU_MSG_DATA_SIZE) return ERR_INVALID_MSG;
  if (msg.DataSize - header > kIsoMaxPayload) return ERR_INVALID_MSG;
  if (tx_data_length > kMaxCanFdLength || !can_fd_valid_data_length(tx_data_length)) {
    return ERR_INVALID_MSG;
  }
  return STATUS_NOERROR;
}

uint32_t IsoTxDataLengthFor(const PASSTHRU_MSG& msg, uint32_t current) {
  if (!(msg.TxFlags & kTxFdFrame)) return kClassicCanLength;
  if (msg.TxFlags & kTxFdDataLengthFromMsg) return msg.ExtraDataIndex & 0xFF;
  return current;
}

void StartTxFrame(JMSG& frame, uint8_t dev, uint32_t time_limit_ms) {
  frame.id = 0;
  frame.size = 0;
  frame.dev = dev;
  frame.op = kOpWrite;
  frame.flags = 0;
  frame.type = kTypeBusMessage;
  PutTimeLimit(frame, time_limit_ms);
}

void BuildCanFrame(const PASSTHRU_MSG& msg, uint8_t dev, uint32_t time_limit_ms, JMSG& frame) {
  StartTxFrame(frame, dev, time_limit_ms);
  const uint32_t skip = kIdBytes - WireIdBytes(msg.TxFlags);
  Append(frame, msg.Data + skip, msg.DataSize - skip);
  frame.flags =
      static_cast<uint8_t>(FdFlags(msg.TxFlags) | ((msg.TxFlags & kTx29BitId) ? kFrame29BitId : 0));
}

bool BuildKLineFrame(const PASSTHRU_MSG& msg, uint32_t time_limit_ms, TxCursor& cursor,
                     JMSG& frame) {
  StartTxFrame(frame, kDevKLine, time_limit_ms);
  const uint32_t left = msg.DataSize - cursor.data_index;
  if (left > kKLinePieceSize) {
    Append(frame, msg.Data + cursor.data_index, kKLinePieceSize);
    frame.flags = kFrameMorePieces;
    cursor.data_index += kKLinePieceSize;
    return false;
  }
  Append(frame, msg.Data + cursor.data_index, left);
  cursor.data_index = 0;
  return true;
}

bool IsoFitsSingleFrame(uint32_t data_size, uint32_t tx_data_length) {
  return data_size <= tx_data_length + 3 && (data_size < 13 || data_size <= tx_data_length + 2);
}

bool BuildIso15765Frame(const PASSTHRU_MSG& msg, uint8_t dev, const IsoTxParams& params,
                        uint32_t time_limit_ms, TxCursor& cursor, JMSG& frame) {
  const uint32_t ds = msg.DataSize;
  const uint32_t id_bytes = WireIdBytes(msg.TxFlags);
  const uint32_t x = AddressBytes(msg.TxFlags);
  const uint32_t payload_at = kIdBytes + x;
  const uint32_t l = params.tx_data_length;
  const bool pad = (msg.TxFlags & kTxFramePad) != 0;

  const bool single = cursor.data_index == 0 && IsoFitsSingleFrame(ds, l);
  StartTxFrame(frame, dev,
               single ? time_limit_ms : std::max(time_limit_ms, kSegmentedMinTimeLimit));
  frame.flags = static_cast<uint8_t>(FdFlags(msg.TxFlags) | (id_bytes == 4 ? kFrame29BitId : 0) |
                                     (x ? kFrameExtendedAddress : 0));
  AppendIsoHeader(frame, msg);

  if (single) {
    const uint32_t payload = ds - payload_at;
    if (ds >= 12) AppendByte(frame, 0x00);  // CAN FD form: length in the next byte
    AppendByte(frame, static_cast<uint8_t>(payload));
    Append(frame, msg.Data + payload_at, payload);
    if (pad) PadIsoFrame(frame, id_bytes, params);
    return true;
  }

  if (cursor.data_index == 0) {
    const uint32_t total = ds - payload_at;  // at most 4095, checked
    AppendByte(frame, static_cast<uint8_t>(kPciFirst | ((total >> 8) & 0x0F)));
    AppendByte(frame, static_cast<uint8_t>(total & 0xFF));
    Append(frame, msg.Data + payload_at, l - x - 2);
    cursor.data_index = l + 2;
    cursor.consecutive_pci = kFirstConsecutivePci;
    return false;
  }

  AppendByte(frame, cursor.consecutive_pci);
  cursor.consecutive_pci = NextConsecutivePci(cursor.consecutive_pci);
  const uint32_t k = std::min(l - x - 1, ds - cursor.data_index);
  Append(frame, msg.Data + cursor.data_index, k);
  cursor.data_index += k;
  if (cursor.data_index < ds) return false;
  frame.flags |= kFrameLastConsecutive;
  if (pad) PadIsoFrame(frame, id_bytes, params);
  cursor.data_index = 0;
  return true;
}

void BuildResumeFrame(uint8_t dev, JMSG& frame) {
  StartTxFrame(frame, dev, 0);
  frame.flags = kFrameResume;
  frame.type = kTypePlain;
}

}  // namespace orv
