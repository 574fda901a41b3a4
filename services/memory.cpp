// PassThruReadMem and PassThruWriteMem: adapter memory in requests of at
// most 64 bytes, each awaited before the next.
//
// A request carries MEM_RW: the address and the byte count, each 4 bytes
// most significant first, then the data (one zero byte in a read). A write
// frame carries up to 82 data bytes and so is built in a buffer of its own
// rather than in a JMSG record.
//
// Failure reporting: J2534 codes (0; 4 null data pointer; 7 not sent,
// refused, unanswered or answered short; 8 no adapter) with an 'E' text.
// A failure part-way leaves the chunks already done in place.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "services/file_store.h"

using namespace orv;

namespace {

constexpr uint32_t kMemChunk = 64;
constexpr size_t kMemRwHeaderSize = 8;  // address and length
constexpr size_t kWriteTrailerSize = 10;
constexpr uint8_t kMemoryWriteFlag = 0x10;
constexpr size_t kReadRequestSize = kMemRwHeaderSize + 1;
constexpr size_t kMaxWriteDataSize = kMemRwHeaderSize + kMemChunk + kWriteTrailerSize;  // 82
constexpr size_t kWriteFrameCapacity = kJmsgHeaderSize + kMaxWriteDataSize;             // 92
constexpr size_t kDumpedBytes = 32;  // a batch frame's dump shows this many

void PutBigEndian32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

std::array<uint8_t, kReadRequestSize> MemReadRequest(uint32_t address, uint32_t length) {
  std::array<uint8_t, kReadRequestSize> request{};
  PutBigEndian32(request.data(), address);
  PutBigEndian32(request.data() + 4, length);
  return request;  // the data byte stays 0
}

// Writes the wire form of one memory write frame into `frame` and returns
// its length: header, MEM_RW with the bytes, ten zero bytes.
size_t BuildMemWriteFrame(uint32_t address, std::span<const uint8_t> bytes,
                          std::array<uint8_t, kWriteFrameCapacity>& frame) {
  frame.fill(0);
  const size_t data_size = kMemRwHeaderSize + bytes.size() + kWriteTrailerSize;
  frame[1] = static_cast<uint8_t>(data_size);
  frame[2] = kDevMemory;
  frame[3] = kOpWrite;
  frame[4] = kMemoryWriteFlag;
  frame[5] = kTypePlain;
  uint8_t* data = frame.data() + kJmsgHeaderSize;
  PutBigEndian32(data, address);
  PutBigEndian32(data + 4, static_cast<uint32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), data + kMemRwHeaderSize);
  return kJmsgHeaderSize + data_size;
}

// The 'C' dump of a write frame, as a batch send shows it (32 data bytes).
void DumpMemWriteFrame(const std::array<uint8_t, kWriteFrameCapacity>& frame) {
  JMSG shown{};
  std::memcpy(&shown, frame.data(), kJmsgHeaderSize);
  std::memcpy(shown.data, frame.data() + kJmsgHeaderSize, kDumpedBytes);
  DumpFrame(kMsgSent, shown, kDumpedBytes);
}

int32_t SendMemWriteFrame(uint32_t address, std::span<const uint8_t> bytes) {
  std::array<uint8_t, kWriteFrameCapacity> frame;
  const size_t length = BuildMemWriteFrame(address, bytes, frame);
  if (TraceOn()) DumpMemWriteFrame(frame);
  return JmsgWriteWithRetry(frame.data(), static_cast<uint32_t>(length), "JmsgSendMsgs",
                            kSendTimeoutMemory);
}

// An accepted answer that holds the requested bytes. A shorter answer
// would hand the caller bytes left over from an earlier request.
bool AcceptedWithBytes(uint8_t status, uint32_t wanted) {
  return status == kMemAccepted && Link().MemSize >= 0 &&
         static_cast<uint32_t>(Link().MemSize) >= wanted;
}

}  // namespace

int32_t orv::api::ReadMem(uint32_t Address, uint32_t Length, uint8_t* pData, uint32_t Flags) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruReadMem device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pData == nullptr) {
    DbgMsg(kMsgError, "PassThruReadMem null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruReadMem(%ld, %ld, pData, %ld)", static_cast<long>(Address),
          static_cast<long>(Length), static_cast<long>(Flags));
  while (Length != 0) {
    const uint32_t count = std::min(Length, kMemChunk);
    Length -= count;
    const auto request = MemReadRequest(Address, count);
    ExpectFileStoreAnswer();
    const int32_t rc = JmsgSendCmd(kDevMemory, kOpRead, kTypePlain, static_cast<uint8_t>(Flags),
                                   request.size(), request.data(), kSendTimeoutCommand);
    if (!RequestSent(rc, "PassThruReadMem", "JmsgSendCmd")) return ERR_FAILED;
    if (!AcceptedWithBytes(AwaitFileStoreAnswer(), count)) {
      DbgMsg(kMsgError, "PassThruReadMem: Error");
      return ERR_FAILED;
    }
    std::memcpy(pData, Link().MemData, count);
    pData += count;
    Address += count;
  }
  return STATUS_NOERROR;
}

int32_t orv::api::WriteMem(uint32_t Address, uint32_t Length, uint8_t* pData, uint32_t Flags) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruWriteMem device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pData == nullptr) {
    DbgMsg(kMsgError, "PassThruWriteMem null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruWriteMem(%ld, %ld, pData, %ld)", static_cast<long>(Address),
          static_cast<long>(Length), static_cast<long>(Flags));
  while (Length != 0) {
    const uint32_t count = std::min(Length, kMemChunk);
    Length -= count;
    ExpectFileStoreAnswer();
    const int32_t rc = SendMemWriteFrame(Address, std::span<const uint8_t>(pData, count));
    if (!RequestSent(rc, "PassThruWriteMem", "JmsgSendMsgs")) return ERR_FAILED;
    if (!FileStoreAccepted("PassThruWriteMem")) return ERR_FAILED;
    pData += count;
    Address += count;
  }
  return STATUS_NOERROR;
}
