// The JMSG link frame, the two send functions through which every frame
// leaves the host, and the receive pass that cuts frames out of the serial
// byte stream and files the adapter's answers.
//
// Wire form: the first 10 + `size` bytes of a JMSG, frames back to back,
// no start byte, checksum or terminator.
//
// Failure reporting: the send functions return 0 or kLinkFailed (7) after
// one close-reopen-retry; the receive pass returns 7 when the port read
// fails. Errors are also reported through DbgMsg ('E').
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orv {

inline constexpr size_t kJmsgHeaderSize = 10;
inline constexpr size_t kJmsgDataSize = 68;

struct JMSG {
  uint8_t id;
  uint8_t size;
  uint8_t dev;
  uint8_t op;
  uint8_t flags;
  uint8_t type;
  uint8_t timestamp[4];
  uint8_t data[kJmsgDataSize];
};
static_assert(sizeof(JMSG) == 78);
static_assert(offsetof(JMSG, size) == 1 && offsetof(JMSG, dev) == 2 && offsetof(JMSG, op) == 3);
static_assert(offsetof(JMSG, flags) == 4 && offsetof(JMSG, type) == 5);
static_assert(offsetof(JMSG, timestamp) == 6 && offsetof(JMSG, data) == 10);

inline size_t WireSize(const JMSG& frame) {
  return kJmsgHeaderSize + frame.size;
}

// Device codes.
enum Device : uint8_t {
  kDevCan1 = 0x10,
  kDevIso15765_1 = 0x20,
  kDevCan2 = 0x30,
  kDevIso15765_2 = 0x40,
  kDevKLine = 0x90,
  kDevAdc = 0xB0,
  kDevDac = 0xC0,
  kDevDio = 0xD0,
  kDevMemory = 0xE0,  // the memory and the file store (the emulator: dev::kFileStore)
  kDevSystem = 0xF0,
  kDevDisplay = 0xF1,
  kDevSecurity = 0xF2,
};

// Operation codes.
enum Operation : uint8_t {
  kOpStart = 0,
  kOpStop = 1,
  kOpRead = 2,
  kOpWrite = 3,
  kOpOpen = 5,
  kOpClose = 6,
  kOpDelete = 7,
};

// Type codes.
enum FrameType : uint8_t {
  kTypePlain = 0,
  kTypeMask = 1,
  kTypePattern = 2,
  kTypeFlowControl = 3,
  kTypePeriodic = 4,
  kTypeBusMessage = 5,
  kTypeSetup = 7,
  kTypeSerialNumber = 8,
  kTypeClearReceive = 0x0C,
  kTypeVersion = 0x0D,
  kTypeClock = 0x0E,
  kTypeDirectory = 0x0F,
};

// Answer flag: refused, no more data, or (device 0xF0) adapter overflow.
inline constexpr uint8_t kFlagRefused = 0x40;

// Send time-outs callers pass: how long a write cut short by the port's
// time limit may go on with the rest before the retry path takes over.
inline constexpr uint32_t kSendTimeoutCommand = 100;
inline constexpr uint32_t kSendTimeoutBus = 1500;
inline constexpr uint32_t kSendTimeoutMemory = 500;

inline constexpr size_t kSendBufferSize = 16384;
// The longest frame the size byte can describe, header included.
inline constexpr size_t kMaxWireFrameSize = kJmsgHeaderSize + 255;
inline constexpr size_t kComBufSize = 4096;
inline constexpr size_t kMemDataSize = 8192;
inline constexpr size_t kAdcInputs = 16;
inline constexpr size_t kDioLines = 3;  // lines 1 and 2; index 0 unused

// MemStatus values (LinkState).
inline constexpr uint8_t kMemPending = 0xFF;
inline constexpr uint8_t kMemAccepted = 0x00;
inline constexpr uint8_t kMemRefused = 0xFE;

// Where the receive pass hands what belongs to the channels: bus frames
// (operation 2 from 0x10, 0x20, 0x30, 0x40, 0x90), the adapter's
// channel-stop reports (operation 1) and its own overflow report (device
// 0xF0, operation 2, flags 0x40). The channel layer installs it; without
// one such frames are dropped.
struct ReceiveSink {
  void (*bus_frame)(const JMSG& frame);
  void (*channel_stop)(uint8_t dev);
  void (*adapter_overflow)(const JMSG& frame);
};
void InstallReceiveSink(const ReceiveSink* sink);

// Builds one frame (id 0, timestamp 0) and writes it. More than 68 data
// bytes, or a null buffer with a non-zero size, is refused with 7 before
// anything is written.
int32_t JmsgSendCmd(uint8_t device, uint8_t operation, uint8_t type, uint8_t flags, uint32_t size,
                    const uint8_t* p_data_buffer, uint32_t timeout);

// Writes `num_msgs` caller-built frames as one batch, in array order. A
// batch whose wire form exceeds the 16384-byte send buffer is refused with
// 7 before anything is written, as is a frame whose size exceeds 68.
int32_t JmsgSendMsgs(const JMSG* p_msg, uint32_t num_msgs, uint32_t timeout);

// Writes a batch its caller built in wire form: whole frames of at most 68
// data bytes back to back, `length` at most 16384 (more is refused with 7
// before anything is written). Traced and written as JmsgSendMsgs does,
// under that name.
int32_t JmsgSendWire(const uint8_t* bytes, uint32_t length, uint32_t timeout);

// Writes prepared wire bytes (whole frames) with the driver's single
// reconnect-and-retry. A write that the port's time limit cut short is
// continued with the rest while `timeout_ms` (the caller's send time)
// allows; what still cannot go out takes the retry path: close and reopen
// (which clear only the port's input, so nothing the port took is lost),
// then the bytes not yet sent, so no frame goes out twice. If even then a
// frame stays cut, its rest is kept and goes out first on the next write.
//
// A write that failed (rather than ran out of time) means the link was
// lost: the adapter behind the reopened port may be a new one, so the
// channel layer's state is sent to it again (InstallAdapterRestorer) and
// the cut frame is sent whole. Returns 0 when every byte went out, else 7.
// `who` names the caller in the retry message. Used by the two senders and
// by the memory write, whose frame is larger than a JMSG.
int32_t JmsgWriteWithRetry(const uint8_t* bytes, uint32_t length, const char* who,
                           uint32_t timeout_ms);

// Installs the function that sends the channel layer's state (channels,
// their setup, filters, periodic messages) to an adapter that may have
// lost it; it returns 0 or 7.
void InstallAdapterRestorer(int32_t (*restore)());

// The number of link losses so far (see LinkState::link_losses): a wait
// whose request went out before the count changed will get no answer.
uint32_t LinkLosses();

// One receive pass: reads what the port holds, dispatches complete frames.
// A failed read is a lost link: the port is closed, and later passes reopen
// it (at most every kReopenIntervalMs) and restore the adapter's state.
inline constexpr uint32_t kReopenIntervalMs = 100;
int32_t JmsgReceiveMsgs();

// Clears the `dev` and `op` bytes of the reply slot before a request.
void ClearReply();
// True when the reply slot holds an answer with this device, operation and
// type.
bool ReplyIs(uint8_t dev, uint8_t op, uint8_t type);

}  // namespace orv
