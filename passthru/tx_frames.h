// Turning the caller's transmit messages into adapter transmit frames: the
// size checks that refuse what the frames cannot carry, CAN identifier
// reduction, K-line pieces, ISO 15765 single, first and consecutive frames
// with their PCI bytes, padding and sequence wrap, and the batch that
// collects frames for one serial write.
//
// Every builder writes one frame per call straight in its wire form (the
// 10-byte JMSG header, then `size` data bytes) and never reads past
// `DataSize` of the message nor writes past the 68 data bytes of the frame;
// the checks below guarantee both before a message's first frame is built.
//
// Failure reporting: the checks return STATUS_NOERROR or ERR_INVALID_MSG;
// the builders cannot fail on a message that passed its check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/jmsg.h"
#include "orvanta_j2534.h"
#include "passthru/iso15765_pci.h"

namespace orv {

// TxFlags bits acted upon by the transmit path.
inline constexpr uint32_t kTxFramePad = 0x00000040;
inline constexpr uint32_t kTxExtendedAddress = 0x00000080;
inline constexpr uint32_t kTx29BitId = 0x00000100;
inline constexpr uint32_t kTxFdBitRateSwitch = 0x00080000;
inline constexpr uint32_t kTxFdFrame = 0x00100000;
inline constexpr uint32_t kTxBlocking = 0x02000000;
inline constexpr uint32_t kTxFdDataLengthFromMsg = 0x10000000;

// Flag bits of host -> adapter bus frames.
inline constexpr uint8_t kFrameFd = 0x01;
inline constexpr uint8_t kFrameFdBitRateSwitch = 0x02;
inline constexpr uint8_t kFrame29BitId = 0x10;
inline constexpr uint8_t kFrameExtendedAddress = 0x20;  // ISO 15765
inline constexpr uint8_t kFrameMorePieces = 0x20;       // K-line
inline constexpr uint8_t kFrameLastConsecutive = 0x80;
inline constexpr uint8_t kFrameResume = 0x20;  // flags of the resume command

inline constexpr uint32_t kKLinePieceSize = 68;
inline constexpr uint32_t kIsoMaxPayload = 4095;  // 12-bit first-frame length
inline constexpr uint32_t kClassicCanLength = 8;
inline constexpr uint32_t kMaxCanFdLength = 64;
inline constexpr uint32_t kSegmentedMinTimeLimit = 1000;

// Where the message being turned into frames stands: the offset in `Data`
// of the next byte to send (0 between messages) and the PCI byte of the
// next consecutive frame.
struct TxCursor {
  uint32_t data_index = 0;
  uint8_t consecutive_pci = kFirstConsecutivePci;
};

// What an ISO 15765 message is framed with: the CAN data length L and the
// padding byte of the channel's setup record.
struct IsoTxParams {
  uint32_t tx_data_length = kClassicCanLength;
  uint8_t pad_value = 0;
};

// --- size checks (STATUS_NOERROR or ERR_INVALID_MSG) -------------------------

// Any message: `DataSize` within the 4128-byte `Data` field.
uint32_t CheckDataSize(const PASSTHRU_MSG& msg);
// CAN: 4 identifier bytes at least, at most 68 bytes once the identifier
// is reduced to its wire length.
uint32_t CheckCanMessage(const PASSTHRU_MSG& msg);
// ISO 15765: the identifier (and address byte) present, at most 4095
// payload bytes, and a CAN data length of 8 or a CAN FD length up to 64.
uint32_t CheckIso15765Message(const PASSTHRU_MSG& msg, uint32_t tx_data_length);

// The transmit data length for `msg`: 8 without the CAN FD flag, the low
// byte of `ExtraDataIndex` with the CAN FD flag and 0x10000000, otherwise
// `current` (the setup record's value). Not validated here.
uint32_t IsoTxDataLengthFor(const PASSTHRU_MSG& msg, uint32_t current);

// --- frame builders ------------------------------------------------------------

// Room a builder needs at its output: the header and the 68 data bytes.
inline constexpr size_t kTxFrameRoom = kJmsgHeaderSize + kJmsgDataSize;

// The wire size of the frame built at `frame`: the header and the data
// bytes its size byte counts.
inline uint32_t TxWireSize(const uint8_t* frame) {
  return static_cast<uint32_t>(kJmsgHeaderSize) + frame[1];
}

// Each builder writes one frame at `out`, which has room for kTxFrameRoom
// bytes. Header: id 0, op 3, type 5 (the resume command: type 0), the
// device, the flags and the time limit in ms, least significant byte first.

// CAN (one frame per message).
void BuildCanFrame(const PASSTHRU_MSG& msg, uint8_t dev, uint32_t time_limit_ms, uint8_t* out);

// K-line: the next piece of at most 68 bytes; true when it was the last.
bool BuildKLineFrame(const PASSTHRU_MSG& msg, uint32_t time_limit_ms, TxCursor& cursor,
                     uint8_t* out);

// ISO 15765: the single frame, or the first or next consecutive frame of a
// segmented message; true when the message is complete (single frame or
// last consecutive frame, which carries flag 0x80).
bool BuildIso15765Frame(const PASSTHRU_MSG& msg, uint8_t dev, const IsoTxParams& params,
                        uint32_t time_limit_ms, TxCursor& cursor, uint8_t* out);

// The consecutive frames of a segmented ISO 15765 message between its
// first and its last frame all have the same header, identifier, address
// byte and length, so those bytes are worked out once per message.
struct IsoMiddleFrames {
  std::array<uint8_t, 16> head{};  // header, identifier, address byte
  uint32_t head_size = 0;          // 0 while not worked out
  uint32_t chunk = 0;              // payload bytes of each frame
};

// Works out `middle` for `msg` after its first frame was built with the
// same arguments.
void StartIsoMiddleFrames(const PASSTHRU_MSG& msg, uint8_t dev, const IsoTxParams& params,
                          uint32_t time_limit_ms, IsoMiddleFrames& middle);

// True when the next frame of `msg` at `cursor` is a consecutive frame that
// is not the last: BuildIsoMiddleFrame builds exactly what
// BuildIso15765Frame would.
inline bool IsIsoMiddleFrame(const PASSTHRU_MSG& msg, const IsoMiddleFrames& middle,
                             const TxCursor& cursor) {
  return cursor.data_index != 0 && middle.head_size != 0 &&
         cursor.data_index + middle.chunk < msg.DataSize;
}

// Builds that frame at `out` (room for kTxFrameRoom bytes) and moves the
// cursor on.
inline void BuildIsoMiddleFrame(const PASSTHRU_MSG& msg, const IsoMiddleFrames& middle,
                                TxCursor& cursor, uint8_t* out) {
  std::memcpy(out, middle.head.data(), middle.head.size());
  out[middle.head_size] = cursor.consecutive_pci;
  cursor.consecutive_pci = NextConsecutivePci(cursor.consecutive_pci);
  std::memcpy(out + middle.head_size + 1, msg.Data + cursor.data_index, middle.chunk);
  cursor.data_index += middle.chunk;
}

// True when a message of `data_size` bytes goes out as a single frame.
bool IsoFitsSingleFrame(uint32_t data_size, uint32_t tx_data_length);

// The resume-periodic command that follows the last consecutive frame.
void BuildResumeFrame(uint8_t dev, uint8_t* out);

// --- batch -------------------------------------------------------------------

inline constexpr uint32_t kTxBatchFrames = 1000;

// Frames collected for one send, in wire form back to back: at most 1000
// frames and at most 16384 wire bytes. Past those 16384 bytes there is room
// to build one more frame and a resume frame, so that a frame is always
// built in place and only moved when the batch must go out without it.
struct TxBatch {
  std::array<uint8_t, kSendBufferSize + kTxFrameRoom + kJmsgHeaderSize> bytes;
  uint32_t count = 0;
  uint32_t wire_bytes = 0;

  // True when `frames` more frames of at most `bytes` wire bytes in all
  // still fit.
  bool Fits(uint32_t more_frames, uint32_t more_bytes) const {
    return count + more_frames <= kTxBatchFrames && wire_bytes + more_bytes <= kSendBufferSize;
  }
  // Where the next frame is built (only while the batch fits one more).
  uint8_t* Next() { return bytes.data() + wire_bytes; }
  // Counts the frame built at Next().
  void Commit() {
    wire_bytes += TxWireSize(Next());
    ++count;
  }
  void Clear() {
    count = 0;
    wire_bytes = 0;
  }
};

}  // namespace orv
