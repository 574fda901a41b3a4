// JMSG sending, the receive pass and the answer places it fills.
#include "link/jmsg.h"

#include <algorithm>
#include <cstring>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/link_codes.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "platform/platform.h"

namespace orv {

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
  Link().AdcReadings[f.data[0]] = static_cast<uint16_t>(f.data[1] + 256 * f.data[2]);
}

void StoreDioReading(const JMSG& f) {
  if (f.size < 2 || f.data[0] >= kDioLines) return;
  Link().DioReadings[f.data[0]] = f.data[1];
}

void StoreMemoryAnswer(const JMSG& f) {
  if (f.flags & kFlagRefused) {
    Link().MemSize = 0;
    Link().MemStatus = kMemRefused;
    return;
  }
  const size_t at = static_cast<size_t>(std::max(Link().MemSize, 0));
  if (at + f.size > kMemDataSize) {
    // More data than the answer area holds: report a refusal rather than
    // hand a caller a silently shortened answer.
    DbgMsg(kMsgError, "JmsgReceiveMsgs memory answer overflow");
    Link().MemStatus = kMemRefused;
    return;
  }
  std::memcpy(Link().MemData + at, f.data, f.size);
  Link().MemSize = static_cast<int32_t>(at + f.size);
  Link().MemStatus = kMemAccepted;
}

void ReportInvalidOperation(const JMSG& f) {
  DbgMsgf(kMsgError,
          "Received invalid operation (dev=%02X, op=%02X, flags=%02X, type=%02X, size=%02X)", f.dev,
          f.op, f.flags, f.type, f.size);
}

void Dispatch(const JMSG& f) {
  switch (f.op) {
    case kOpStop:
      if (Link().sink != nullptr) Link().sink->channel_stop(f.dev);
      return;
    case kOpRead:
      if (IsBusDevice(f.dev)) {
        if (Link().sink != nullptr) Link().sink->bus_frame(f);
      } else if (f.dev == kDevAdc) {
        StoreAdcReading(f);
      } else if (f.dev == kDevDio) {
        StoreDioReading(f);
      } else if (f.dev == kDevMemory) {
        StoreMemoryAnswer(f);
      } else if (f.dev == kDevSystem) {
        if (f.flags & kFlagRefused) {
          // the adapter's own overflow report
          if (Link().sink != nullptr) Link().sink->adapter_overflow(f);
        } else {
          Link().ORVXResponse = f;
        }
      }
      return;
    case kOpWrite:
    case kOpOpen:
    case kOpClose:
      if (f.dev == kDevSystem) Link().ORVXResponse = f;
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
    const int32_t rc = ComWrite(&Link().hCommPort, bytes + *sent, length - *sent, &written);
    *sent += std::min(written, length - *sent);
    if (rc != com::kOk || *sent == length) return rc;
    if (platform::current().tick_ms() - start >= timeout_ms) return com::kOk;
  }
}

}  // namespace

void InstallReceiveSink(const ReceiveSink* sink) {
  Link().sink = sink;
}

void ClearReply() {
  Link().ORVXResponse.dev = 0;
  Link().ORVXResponse.op = 0;
}

bool ReplyIs(uint8_t dev, uint8_t op, uint8_t type) {
  const JMSG& reply = Link().ORVXResponse;
  return reply.dev == dev && reply.op == op && reply.type == type;
}

int32_t JmsgWriteWithRetry(const uint8_t* bytes, uint32_t length, const char* who,
                           uint32_t timeout_ms) {
  uint32_t sent = 0;
  int32_t rc = WriteRest(bytes, length, &sent, platform::current().tick_ms(), timeout_ms);
  if (rc == com::kOk && sent == length) return kLinkOk;
  if (rc != com::kOk) {
    DbgMsgf(kMsgError, "%s com_write returned %ld, retry", who, static_cast<long>(rc));
  } else {
    DbgMsgf(kMsgError, "%s com_write sent %lu of %lu bytes, retry", who,
            static_cast<unsigned long>(sent), static_cast<unsigned long>(length));
  }
  ComClose(&Link().hCommPort);
  if (ComOpen(&Link().hCommPort, Link().CommPortNum, 115200, 8, 1, 0) != com::kOk)
    return kLinkFailed;
  // Only what has not gone out: the adapter already holds the rest, and
  // the start of a cut frame waits there for its remaining bytes.
  rc = WriteRest(bytes, length, &sent, platform::current().tick_ms(), timeout_ms);
  return rc == com::kOk && sent == length ? kLinkOk : kLinkFailed;
}

int32_t JmsgSendCmd(uint8_t device, uint8_t operation, uint8_t type, uint8_t flags, uint32_t size,
                    const uint8_t* p_data_buffer, uint32_t timeout) {
  if (size > kJmsgDataSize || (size != 0 && p_data_buffer == nullptr)) return kLinkFailed;
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
  if (p_msg == nullptr && num_msgs != 0) return kLinkFailed;
  size_t total = 0;
  for (uint32_t i = 0; i < num_msgs; ++i) {
    if (p_msg[i].size > kJmsgDataSize) return kLinkFailed;
    total += WireSize(p_msg[i]);
    if (total > kSendBufferSize) return kLinkFailed;
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
  const int32_t rc =
      JmsgWriteWithRetry(buffer, static_cast<uint32_t>(length), "JmsgSendMsgs", timeout);
  platform::WipeMemory(buffer, length);  // file-store data may hold the Wi-Fi password
  return rc;
}

int32_t JmsgReceiveMsgs() {
  uint32_t got = 0;
  int32_t rc = ComRead(&Link().hCommPort, Link().com_buf + Link().com_buf_len,
                       static_cast<uint32_t>(kComBufSize - Link().com_buf_len), &got);
  if (rc != com::kOk) {
    DbgMsgf(kMsgError, "JmsgReceiveMsgs com_read returned %ld", static_cast<long>(rc));
    // A failed read (the port closed or gone) returns at once; wait out
    // the read limit as a read would, so that a caller polling until its
    // time limit does not spin a core.
    platform::current().sleep_ms(kReadLimitMs);
    return kLinkFailed;
  }
  Link().com_buf_len +=
      std::min<uint32_t>(got, static_cast<uint32_t>(kComBufSize - Link().com_buf_len));
  if (Link().com_buf_len != 0) {
    DbgMsgf(kMsgLink, "JmsgReceiveMsgs com_buf_len=%ld", static_cast<long>(Link().com_buf_len));
  }
  size_t p = 0;
  while (p < Link().com_buf_len) {
    const size_t left = Link().com_buf_len - p;
    if (left < kJmsgHeaderSize || left < kJmsgHeaderSize + Link().com_buf[p + 1]) break;
    HandleFrameAt(Link().com_buf + p);
    p += kJmsgHeaderSize + Link().com_buf[p + 1];
  }
  const size_t kept = Link().com_buf_len - p;
  if (kept != 0 && p != 0) std::memmove(Link().com_buf, Link().com_buf + p, kept);
  Link().com_buf_len = static_cast<uint32_t>(kept);
  return kLinkOk;
}

}  // namespace orv
