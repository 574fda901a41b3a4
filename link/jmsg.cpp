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

// Outgoing bytes: the rest of an earlier cut frame (`first` bytes), then
// whole frames back to back.
struct Outgoing {
  const uint8_t* bytes;
  uint32_t length;
  uint32_t first;
};

// Start and end of the piece of `out` that holds byte `at`: the earlier
// frame's rest, or one whole frame.
void PieceAround(const Outgoing& out, uint32_t at, uint32_t* start, uint32_t* end) {
  if (at < out.first) {
    *start = 0;
    *end = out.first;
    return;
  }
  uint32_t s = out.first;
  for (;;) {
    const uint32_t e =
        s + 1 < out.length
            ? std::min<uint32_t>(out.length,
                                 s + static_cast<uint32_t>(kJmsgHeaderSize) + out.bytes[s + 1])
            : out.length;
    if (at < e || e == out.length) {
      *start = s;
      *end = e;
      return;
    }
    s = e;
  }
}

// Keeps the rest of the piece that a failed write cut at `sent`, to go out
// first on the next write to this port.
void KeepCutRest(const Outgoing& out, uint32_t sent) {
  Link().pending_tail_len = 0;
  if (sent >= out.length) return;
  uint32_t start = 0;
  uint32_t end = 0;
  PieceAround(out, sent, &start, &end);
  if (sent == start || end - sent > static_cast<uint32_t>(kMaxWireFrameSize))
    return;  // nothing of it went out
  std::memcpy(Link().pending_tail, out.bytes + sent, end - sent);
  Link().pending_tail_len = end - sent;
  Link().pending_tail_port = Link().CommPortNum;
}

// The port failed: whatever the adapter held is gone with it.
void NoteLinkLost() {
  DbgMsgf(kMsgLink, "Adapter link lost on COM%lu", static_cast<unsigned long>(Link().CommPortNum));
  ++Link().link_losses;
  Link().pending_tail_len = 0;
  Link().adapter_state_lost = true;
}

bool ReopenPort() {
  ComClose(&Link().hCommPort);
  Link().hCommPort = -1;
  Link().com_buf_len = 0;  // the reopen clears the port's input
  Link().last_reopen_ms = platform::current().tick_ms();
  return ComOpen(&Link().hCommPort, Link().CommPortNum, 115200, 8, 1, 0) == com::kOk;
}

// Sends the channel layer's state again when a link loss may have taken
// it from the adapter. Not while a restore is under way: its own sends
// must not start another.
int32_t RestoreAdapterIfLost() {
  if (!Link().adapter_state_lost || Link().restoring_adapter) return kLinkOk;
  if (Link().restore_adapter == nullptr) {
    Link().adapter_state_lost = false;
    return kLinkOk;
  }
  Link().restoring_adapter = true;
  const int32_t rc = Link().restore_adapter();
  Link().restoring_adapter = false;
  if (rc != kLinkOk) {
    DbgMsg(kMsgError, "Adapter link reopened, but its channels could not be set up again");
    return kLinkFailed;
  }
  Link().adapter_state_lost = false;
  DbgMsg(kMsgLink, "Adapter link reopened; channels, filters and periodic messages set up again");
  return kLinkOk;
}

int32_t WriteOutgoing(const Outgoing& out, const char* who, uint32_t timeout_ms) {
  uint32_t sent = 0;
  int32_t rc = WriteRest(out.bytes, out.length, &sent, platform::current().tick_ms(), timeout_ms);
  if (rc == com::kOk && sent == out.length) return kLinkOk;
  // A write on a port already closed (a reopen that failed before) is no
  // new loss; any other failure of the port is.
  const bool lost = rc != com::kOk && Link().hCommPort != -1;
  if (rc != com::kOk) {
    DbgMsgf(kMsgError, "%s com_write returned %ld, retry", who, static_cast<long>(rc));
  } else {
    DbgMsgf(kMsgError, "%s com_write sent %lu of %lu bytes, retry", who,
            static_cast<unsigned long>(sent), static_cast<unsigned long>(out.length));
  }
  if (lost) NoteLinkLost();
  if (Link().restoring_adapter) {
    // No reopen inside a restore: the restore fails and runs again later.
    if (!lost) KeepCutRest(out, sent);
    return kLinkFailed;
  }
  if (!ReopenPort()) {
    if (!lost) KeepCutRest(out, sent);
    return kLinkFailed;
  }
  if (RestoreAdapterIfLost() != kLinkOk) return kLinkFailed;
  if (lost) {
    // The adapter behind the reopened port has none of the cut piece (a
    // new adapter, or one whose link dropped): it goes out whole.
    uint32_t start = 0;
    uint32_t end = 0;
    PieceAround(out, sent, &start, &end);
    sent = std::max(start, out.first);
  }
  // Otherwise only what has not gone out: the adapter already holds the
  // rest, and the start of a cut frame waits there for its remaining bytes.
  rc = WriteRest(out.bytes, out.length, &sent, platform::current().tick_ms(), timeout_ms);
  if (rc == com::kOk && sent == out.length) return kLinkOk;
  if (rc != com::kOk) {
    NoteLinkLost();
  } else {
    KeepCutRest(out, sent);
  }
  return kLinkFailed;
}

// Puts the kept rest of a cut frame before `bytes`.
int32_t WriteAfterCutRest(const uint8_t* bytes, uint32_t length, const char* who,
                          uint32_t timeout_ms) {
  uint8_t joined[kMaxWireFrameSize + kSendBufferSize + kMaxWireFrameSize];
  const uint32_t first = Link().pending_tail_len;
  if (length > static_cast<uint32_t>(sizeof joined) - first) return kLinkFailed;
  std::memcpy(joined, Link().pending_tail, first);
  std::memcpy(joined + first, bytes, length);
  Link().pending_tail_len = 0;
  platform::WipeMemory(Link().pending_tail, first);
  const int32_t rc = WriteOutgoing({joined, first + length, first}, who, timeout_ms);
  platform::WipeMemory(joined, first + length);  // may hold file-store data
  return rc;
}

// A read that fails on an open port means the link is lost (the adapter
// hung up or was unplugged): the port is closed. With the port closed, the
// adapter's port is reopened now and then, so that a caller that only
// reads gets its channels back once the adapter returns.
void HandleFailedRead() {
  if (Link().hCommPort != -1) {
    NoteLinkLost();
    ComClose(&Link().hCommPort);
    Link().hCommPort = -1;
    Link().com_buf_len = 0;
    Link().last_reopen_ms = platform::current().tick_ms();
    return;
  }
  if (Link().CommPortNum == 0 || Link().restoring_adapter) return;
  if (platform::current().tick_ms() - Link().last_reopen_ms < kReopenIntervalMs) return;
  // A reopen that failed leaves the handle as the open left it, as the
  // write's retry does: overwriting it would lose a half-opened port.
  if (ReopenPort()) RestoreAdapterIfLost();
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
  if (Link().hCommPort != -1 && RestoreAdapterIfLost() != kLinkOk) return kLinkFailed;
  if (Link().pending_tail_len != 0) {
    if (Link().pending_tail_port == Link().CommPortNum) {
      return WriteAfterCutRest(bytes, length, who, timeout_ms);
    }
    Link().pending_tail_len = 0;  // meant for another port
  }
  return WriteOutgoing({bytes, length, 0}, who, timeout_ms);
}

void InstallAdapterRestorer(int32_t (*restore)()) {
  Link().restore_adapter = restore;
}

uint32_t LinkLosses() {
  return Link().link_losses;
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
    PutHeader(buffer + length, frame);
    std::memcpy(buffer + length + kJmsgHeaderSize, frame.data, frame.size);
    length += WireSize(frame);
  }
  const int32_t rc = JmsgSendWire(buffer, static_cast<uint32_t>(length), timeout);
  platform::WipeMemory(buffer, length);  // file-store data may hold the Wi-Fi password
  return rc;
}

int32_t JmsgSendWire(const uint8_t* bytes, uint32_t length, uint32_t timeout) {
  if ((bytes == nullptr && length != 0) || length > kSendBufferSize) return kLinkFailed;
  // The trace is looked at once per batch, and again before every frame
  // while it is on (a listener that stopped reading closes it midway).
  if (TraceOn()) {
    for (size_t at = 0; at + kJmsgHeaderSize <= length && TraceOn();) {
      JMSG frame{};
      std::memcpy(&frame, bytes + at, kJmsgHeaderSize);
      const size_t data =
          std::min<size_t>({frame.size, kJmsgDataSize, length - at - kJmsgHeaderSize});
      std::memcpy(frame.data, bytes + at + kJmsgHeaderSize, data);
      DumpFrame(kMsgSent, frame, kBatchDumpBytes);
      at += WireSize(frame);
    }
  }
  return JmsgWriteWithRetry(bytes, length, "JmsgSendMsgs", timeout);
}

int32_t JmsgReceiveMsgs() {
  uint32_t got = 0;
  int32_t rc = ComRead(&Link().hCommPort, Link().com_buf + Link().com_buf_len,
                       static_cast<uint32_t>(kComBufSize - Link().com_buf_len), &got);
  if (rc != com::kOk) {
    DbgMsgf(kMsgError, "JmsgReceiveMsgs com_read returned %ld", static_cast<long>(rc));
    HandleFailedRead();
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
