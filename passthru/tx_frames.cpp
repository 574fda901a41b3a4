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

uint8_t IsoFlags(uint32_t tx_flags) {
  return static_cast<uint8_t>(FdFlags(tx_flags) | ((tx_flags & kTx29BitId) ? kFrame29BitId : 0) |
                              ((tx_flags & kTxExtendedAddress) ? kFrameExtendedAddress : 0));
}

// One frame being built in wire form at `out` (room for kTxFrameRoom
// bytes): the header, then the data bytes, whose count goes into the size
// byte when the frame is finished.
class WireFrame {
 public:
  // The common header of a transmit frame: id 0, op 3, type 5, the device,
  // the flags and the time limit in ms, least significant byte first.
  WireFrame(uint8_t* out, uint8_t dev, uint8_t flags, uint32_t time_limit_ms)
      : out_(out), data_(out + kJmsgHeaderSize) {
    out[0] = 0;
    out[2] = dev;
    out[3] = kOpWrite;
    out[4] = flags;
    out[5] = kTypeBusMessage;
    out[6] = static_cast<uint8_t>(time_limit_ms);
    out[7] = static_cast<uint8_t>(time_limit_ms >> 8);
    out[8] = static_cast<uint8_t>(time_limit_ms >> 16);
    out[9] = static_cast<uint8_t>(time_limit_ms >> 24);
  }
  ~WireFrame() { out_[1] = static_cast<uint8_t>(size_); }
  WireFrame(const WireFrame&) = delete;
  WireFrame& operator=(const WireFrame&) = delete;

  uint32_t size() const { return size_; }
  void AddFlags(uint8_t flags) { out_[4] = static_cast<uint8_t>(out_[4] | flags); }
  void SetFlags(uint8_t flags) { out_[4] = flags; }
  void SetType(uint8_t type) { out_[5] = type; }

  // Appends `n` bytes from `src`, bounded by the frame's 68 data bytes.
  void Append(const uint8_t* src, uint32_t n) {
    n = std::min<uint32_t>(n, static_cast<uint32_t>(kJmsgDataSize) - size_);
    std::memcpy(data_ + size_, src, n);
    size_ += n;
  }
  void AppendByte(uint8_t b) {
    if (size_ < kJmsgDataSize) data_[size_++] = b;
  }

  // The identifier at its wire length, then the address byte if any (the
  // frame is empty here, so the at most 5 bytes always fit).
  void AppendIsoHeader(const PASSTHRU_MSG& msg) {
    const uint32_t id_bytes = WireIdBytes(msg.TxFlags);
    const uint8_t* id = msg.Data + kIdBytes - id_bytes;
    for (uint32_t i = 0; i < id_bytes; ++i) data_[size_++] = id[i];
    if (msg.TxFlags & kTxExtendedAddress) data_[size_++] = msg.Data[kIdBytes];
  }

  // Pads the frame's CAN data length up to the next CAN FD length, at most L.
  void PadIso(uint32_t id_bytes, const IsoTxParams& params) {
    while (size_ - id_bytes < params.tx_data_length &&
           !can_fd_valid_data_length(size_ - id_bytes) && size_ < kJmsgDataSize) {
      data_[size_++] = params.pad_value;
    }
  }

 private:
  uint8_t* out_;
  uint8_t* data_;
  uint32_t size_ = 0;
};

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

void BuildCanFrame(const PASSTHRU_MSG& msg, uint8_t dev, uint32_t time_limit_ms, uint8_t* out) {
  WireFrame frame(
      out, dev,
      static_cast<uint8_t>(FdFlags(msg.TxFlags) | ((msg.TxFlags & kTx29BitId) ? kFrame29BitId : 0)),
      time_limit_ms);
  const uint32_t skip = kIdBytes - WireIdBytes(msg.TxFlags);
  frame.Append(msg.Data + skip, msg.DataSize - skip);
}

bool BuildKLineFrame(const PASSTHRU_MSG& msg, uint32_t time_limit_ms, TxCursor& cursor,
                     uint8_t* out) {
  WireFrame frame(out, kDevKLine, 0, time_limit_ms);
  const uint32_t left = msg.DataSize - cursor.data_index;
  if (left > kKLinePieceSize) {
    frame.Append(msg.Data + cursor.data_index, kKLinePieceSize);
    frame.SetFlags(kFrameMorePieces);
    cursor.data_index += kKLinePieceSize;
    return false;
  }
  frame.Append(msg.Data + cursor.data_index, left);
  cursor.data_index = 0;
  return true;
}

bool IsoFitsSingleFrame(uint32_t data_size, uint32_t tx_data_length) {
  return data_size <= tx_data_length + 3 && (data_size < 13 || data_size <= tx_data_length + 2);
}

bool BuildIso15765Frame(const PASSTHRU_MSG& msg, uint8_t dev, const IsoTxParams& params,
                        uint32_t time_limit_ms, TxCursor& cursor, uint8_t* out) {
  const uint32_t ds = msg.DataSize;
  const uint32_t id_bytes = WireIdBytes(msg.TxFlags);
  const uint32_t x = AddressBytes(msg.TxFlags);
  const uint32_t payload_at = kIdBytes + x;
  const uint32_t l = params.tx_data_length;
  const bool pad = (msg.TxFlags & kTxFramePad) != 0;

  const bool single = cursor.data_index == 0 && IsoFitsSingleFrame(ds, l);
  WireFrame frame(out, dev, IsoFlags(msg.TxFlags),
                  single ? time_limit_ms : std::max(time_limit_ms, kSegmentedMinTimeLimit));
  frame.AppendIsoHeader(msg);

  if (single) {
    const uint32_t payload = ds - payload_at;
    if (ds >= 12) frame.AppendByte(0x00);  // CAN FD form: length in the next byte
    frame.AppendByte(static_cast<uint8_t>(payload));
    frame.Append(msg.Data + payload_at, payload);
    if (pad) frame.PadIso(id_bytes, params);
    return true;
  }

  if (cursor.data_index == 0) {
    const uint32_t total = ds - payload_at;  // at most 4095, checked
    frame.AppendByte(static_cast<uint8_t>(kPciFirst | ((total >> 8) & 0x0F)));
    frame.AppendByte(static_cast<uint8_t>(total & 0xFF));
    frame.Append(msg.Data + payload_at, l - x - 2);
    cursor.data_index = l + 2;
    cursor.consecutive_pci = kFirstConsecutivePci;
    return false;
  }

  frame.AppendByte(cursor.consecutive_pci);
  cursor.consecutive_pci = NextConsecutivePci(cursor.consecutive_pci);
  const uint32_t k = std::min(l - x - 1, ds - cursor.data_index);
  frame.Append(msg.Data + cursor.data_index, k);
  cursor.data_index += k;
  if (cursor.data_index < ds) return false;
  frame.AddFlags(kFrameLastConsecutive);
  if (pad) frame.PadIso(id_bytes, params);
  cursor.data_index = 0;
  return true;
}

void StartIsoMiddleFrames(const PASSTHRU_MSG& msg, uint8_t dev, const IsoTxParams& params,
                          uint32_t time_limit_ms, IsoMiddleFrames& middle) {
  uint8_t out[kTxFrameRoom];
  uint32_t head_data = 0;
  {
    WireFrame frame(out, dev, IsoFlags(msg.TxFlags),
                    std::max(time_limit_ms, kSegmentedMinTimeLimit));
    frame.AppendIsoHeader(msg);
    head_data = frame.size();
  }
  const uint32_t chunk = params.tx_data_length - AddressBytes(msg.TxFlags) - 1;
  middle.head_size = 0;
  // The checked data lengths keep every frame within its 68 data bytes;
  // were that not so, the general builder, which cuts, builds them.
  if (params.tx_data_length > kMaxCanFdLength || head_data + 1 + chunk > kJmsgDataSize) return;
  out[1] = static_cast<uint8_t>(head_data + 1 + chunk);
  std::memcpy(middle.head.data(), out, middle.head.size());
  middle.head_size = static_cast<uint32_t>(kJmsgHeaderSize) + head_data;
  middle.chunk = chunk;
}

void BuildResumeFrame(uint8_t dev, uint8_t* out) {
  WireFrame frame(out, dev, kFrameResume, 0);
  frame.SetType(kTypePlain);
}

}  // namespace orv
