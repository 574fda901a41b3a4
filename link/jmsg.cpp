// JMSG sending, the receive pass and the answer places it fills.
#include "link/jmsg.h"

#include <algorithm>
#include <cstring>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/rx_queues.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "platform/platform.h"

namespace orv {

uint8_t com_buf[kComBufSize];
uint32_t com_buf_len = 0;

JMSG ORVXResponse{};
uint8_t MemData[kMemDataSize];
int32_t MemSize = 0;
uint8_t MemStatus = kMemPending;
uint16_t AdcReadings[kAdcInputs];
uint8_t DioReadings[kDioLines];

namespace {

constexpr size_t kBatchDumpBytes = 32;

void PutHeader(uint8_t* out, const JMSG& frame) {
  std::memcpy(out, &frame, kJmsgHeaderSize);
}

bool IsBusDevice(uint8_t dev) {
  return dev == kDevCan1 || dev == kDevIso15765_1 || dev == kDevCan2 || dev == kDevIso15765_2 ||
         dev == kDevKLine;
}

void StoreAdcReading(const JMSG& f) {
  if (f.size < 3 || f.data[0] >= kAdcInputs) return;  // nothing to store safely
  AdcReadings[f.data[0]] = static_cast<uint16_t>(f.data[1] + 256 * f.data[2]);
}

void StoreDioReading(const JMSG& f) {
  if (f.size < 2 || f.data[0] >= kDioLines) return;
  DioReadings[f.data[0]] = f.data[1];
}

void StoreMemoryAnswer(const JMSG& f) {
  if (f.flags & kFlagRefused) {
    MemSize = 0;
    MemStatus = kMemRefused;
    return;
  }
  const size_t at = static_cast<size_t>(std::max(MemSize, 0));
  if (at + f.size > kMemDataSize) {
    // More data than the answer area holds: report a refusal rather than
    // hand a caller a silently shortened answer.
    DbgMsg(kMsgError, "JmsgReceiveMsgs memory answer overflow");
    MemStatus = kMemRefused;
    return;
  }
  std::memcpy(MemData + at, f.data, f.size);
  MemSize = static_cast<int32_t>(at + f.size);
  MemStatus = kMemAccepted;
}

void ReportInvalidOperation(const JMSG& f) {
  DbgMsgf(kMsgError,
          "Received invalid operation (dev=%02X, op=%02X, flags=%02X, type=%02X, size=%02X)", f.dev,
          f.op, f.flags, f.type, f.size);
}

void Dispatch(const JMSG& f) {
  switch (f.op) {
    case kOpStop:
      RouteReceivedFrame(f);
      return;
    case kOpRead:
      if (IsBusDevice(f.dev)) {
        RouteReceivedFrame(f);
      } else if (f.dev == kDevAdc) {
        StoreAdcReading(f);
      } else if (f.dev == kDevDio) {
        StoreDioReading(f);
      } else if (f.dev == kDevMemory) {
        StoreMemoryAnswer(f);
      } else if (f.dev == kDevSystem) {
        if (f.flags & kFlagRefused) {
          RouteReceivedFrame(f);  // the adapter's own overflow report
        } else {
          ORVXResponse = f;
        }
      }
      return;
    case kOpWrite:
    case kOpOpen:
    case kOpClose:
      if (f.dev == kDevSystem) ORVXResponse = f;
      return;
    default:
      ReportInvalidOperation(f);
      return;
  }
}

// Copies the frame at `p` (known to be complete) into a JMSG record.
JMSG FrameAt(const uint8_t* p) {
  JMSG f{};
  std::memcpy(&f, p, kJmsgHeaderSize);
  std::memcpy(f.data, p + kJmsgHeaderSize, std::min<size_t>(f.size, kJmsgDataSize));
  return f;
}

void HandleFrameAt(const uint8_t* p) {
  JMSG f = FrameAt(p);
  if (f.size > kJmsgDataSize) {
    // No answer of the adapter carries more than 68 bytes; storing it
    // would mean cutting it, so it is skipped whole.
    DbgMsgf(kMsgError, "Received oversized frame (dev=%02X, op=%02X, size=%02X)", f.dev, f.op,
            f.size);
    return;
  }
  Dispatch(f);
  if (TraceOn()) DumpFrame(kMsgReceived, f, f.size);
}

// Writes bytes[*sent .. length), continuing after writes that the port's
// time limit cut short until `timeout_ms` from `start` have passed. Adds
// what went out to *sent; returns the driver's result of the last write.
int32_t WriteRest(const uint8_t* bytes, uint32_t length, uint32_t* sent, uint32_t start,
                  uint32_t timeout_ms) {
  for (;;) {
    uint32_t written = 0;
    const int32_t rc = com_write(&hCommPort, bytes + *sent, length - *sent, &written);
    *sent += std::min(written, length - *sent);
    if (rc != COM_OK || *sent == length) return rc;
    if (platform::current().tick_ms() - start >= timeout_ms) return COM_OK;
  }
}

}  // namespace

int32_t JmsgWriteWithRetry(const uint8_t* bytes, uint32_t length, const char* who,
                           uint32_t timeout_ms) {
  uint32_t sent = 0;
  int32_t rc = WriteRest(bytes, length, &sent, platform::current().tick_ms(), timeout_ms);
  if (rc == COM_OK && sent == length) return STATUS_NOERROR;
  if (rc != COM_OK) {
    DbgMsgf(kMsgError, "%s com_write returned %ld, retry", who, static_cast<long>(rc));
  } else {
    DbgMsgf(kMsgError, "%s com_write sent %lu of %lu bytes, retry", who,
            static_cast<unsigned long>(sent), static_cast<unsigned long>(length));
  }
  com_close(&hCommPort);
  if (com_open(&hCommPort, CommPortNum, 115200, 8, 1, 0) != COM_OK) return ERR_FAILED;
  // Only what has not gone out: the adapter already holds the rest, and
  // the start of a cut frame waits there for its remaining bytes.
  rc = WriteRest(bytes, length, &sent, platform::current().tick_ms(), timeout_ms);
  return rc == COM_OK && sent == length ? STATUS_NOERROR : ERR_FAILED;
}

int32_t JmsgSendCmd(uint8_t device, uint8_t operation, uint8_t type, uint8_t flags, uint32_t size,
                    const uint8_t* p_data_buffer, uint32_t timeout) {
  if (size > kJmsgDataSize || (size != 0 && p_data_buffer == nullptr)) return ERR_FAILED;
  JMSG frame{};
  frame.size = static_cast<uint8_t>(size);
  frame.dev = device;
  frame.op = operation;
  frame.flags = flags;
  frame.type = type;
  if (size != 0) std::memcpy(frame.data, p_data_buffer, size);
  if (TraceOn()) DumpFrame(kMsgSent, frame, size);
  uint8_t buffer[kJmsgHeaderSize + kJmsgDataSize];
  PutHeader(buffer, frame);
  std::memcpy(buffer + kJmsgHeaderSize, frame.data, size);
  return JmsgWriteWithRetry(buffer, static_cast<uint32_t>(kJmsgHeaderSize + size), "JmsgSendCmd",
                            timeout);
}

int32_t JmsgSendMsgs(const JMSG* p_msg, uint32_t num_msgs, uint32_t timeout) {
  if (p_msg == nullptr && num_msgs != 0) return ERR_FAILED;
  size_t total = 0;
  for (uint32_t i = 0; i < num_msgs; ++i) {
    if (p_msg[i].size > kJmsgDataSize) return ERR_FAILED;
    total += WireSize(p_msg[i]);
    if (total > kSendBufferSize) return ERR_FAILED;
  }
  uint8_t buffer[kSendBufferSize];
  size_t length = 0;
  for (uint32_t i = 0; i < num_msgs; ++i) {
    const JMSG& frame = p_msg[i];
    if (TraceOn()) DumpFrame(kMsgSent, frame, kBatchDumpBytes);
    PutHeader(buffer + length, frame);
    std::memcpy(buffer + length + kJmsgHeaderSize, frame.data, frame.size);
    length += WireSize(frame);
  }
  return JmsgWriteWithRetry(buffer, static_cast<uint32_t>(length), "JmsgSendMsgs", timeout);
}

int32_t JmsgReceiveMsgs() {
  uint32_t got = 0;
  int32_t rc = com_read(&hCommPort, com_buf + com_buf_len,
                        static_cast<uint32_t>(kComBufSize - com_buf_len), &got);
  if (rc != COM_OK) {
    DbgMsgf(kMsgError, "JmsgReceiveMsgs com_read returned %ld", static_cast<long>(rc));
    // A failed read (the port closed or gone) returns at once; wait out
    // the read limit as a read would, so that a caller polling until its
    // time limit does not spin a core.
    platform::current().sleep_ms(kReadLimitMs);
    return ERR_FAILED;
  }
  com_buf_len += std::min<uint32_t>(got, static_cast<uint32_t>(kComBufSize - com_buf_len));
  if (com_buf_len != 0) {
    DbgMsgf(kMsgLink, "JmsgReceiveMsgs com_buf_len=%ld", static_cast<long>(com_buf_len));
  }
  size_t p = 0;
  while (p < com_buf_len) {
    const size_t left = com_buf_len - p;
    if (left < kJmsgHeaderSize || left < kJmsgHeaderSize + com_buf[p + 1]) break;
    HandleFrameAt(com_buf + p);
    p += kJmsgHeaderSize + com_buf[p + 1];
  }
  const size_t kept = com_buf_len - p;
  if (kept != 0 && p != 0) std::memmove(com_buf, com_buf + p, kept);
  com_buf_len = static_cast<uint32_t>(kept);
  return STATUS_NOERROR;
}

void ResetLinkBuffers() {
  com_buf_len = 0;
  ORVXResponse = JMSG{};
  std::memset(MemData, 0, sizeof MemData);
  MemSize = 0;
  MemStatus = kMemPending;
  std::fill(std::begin(AdcReadings), std::end(AdcReadings), uint16_t{0});
  std::fill(std::begin(DioReadings), std::end(DioReadings), uint8_t{0});
}

}  // namespace orv
