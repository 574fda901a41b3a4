// The adapter's file store: copy a host file in (PassThruWriteFile), copy a
// stored file out (PassThruReadFile), delete one (PassThruDeleteFile) and
// list the stored names that match a pattern (PassThruReadDir).
//
// Each operation runs to completion on the caller's thread: it sends its
// frames and polls the receive pass against the millisecond tick count,
// 15 s per awaited answer, never sleeping.
//
// Failure reporting: J2534 codes (0, 4 null name, 7 refused / no answer /
// host file trouble / name too long, 8 no adapter), each failure with an
// 'E' text through DbgMsg. Names are checked before anything is sent, so a
// name never runs past a frame.
#include "services/file_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/call_sync.h"
#include "platform/platform.h"
#include "services/transfer_progress.h"

namespace orv {

namespace {

// Data bytes 0 to 15 of a listing answer belong to the adapter; the entry
// name starts after them.
constexpr size_t kListingNameOffset = 16;

// A whole write batch goes out in one serial write.
static_assert(kWriteBatchFrames * (kJmsgHeaderSize + kWriteFrameBytes) <= kSendBufferSize);
static_assert(kMaxDeleteNameLength + 1 + kDeletePadding == kJmsgDataSize);

platform::Platform& os() {
  return platform::current();
}

JMSG MakeFileStoreFrame(uint8_t op, uint8_t flags) {
  JMSG frame{};
  frame.dev = kDevMemory;
  frame.op = op;
  frame.flags = flags;
  frame.type = kTypePlain;
  return frame;
}

// Holds the host file of one operation and closes it on every return.
class HostFile {
 public:
  HostFile(const char* path, const char* mode) : file_(std::fopen(path, mode)) {}
  ~HostFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  std::FILE* get() const { return file_; }
  bool is_open() const { return file_ != nullptr; }

 private:
  std::FILE* file_;
};

// The host file's size in bytes, or -1 when it cannot be measured. Leaves
// the file positioned at its start.
long HostFileSize(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

// --- PassThruWriteFile steps -------------------------------------------------

int32_t SendDeleteBeforeWrite(const char* sd_name, size_t length) {
  const JMSG frame = MakeDeleteFrame(sd_name, length);
  ExpectFileStoreAnswer();
  const int32_t rc = JmsgSendMsgs(&frame, 1, kSendTimeoutMemory);
  if (!RequestSent(rc, "PassThruWriteFile(DELETE)", "JmsgSendMsgs")) return ERR_FAILED;
  // A refused delete (no such file yet) or a missing answer lets the copy
  // go on: the open that follows decides.
  AwaitFileStoreAnswer();
  return STATUS_NOERROR;
}

int32_t OpenStoredFileForWriting(const char* sd_name, size_t length) {
  const JMSG frame = MakeOpenForWritingFrame(sd_name, length);
  ExpectFileStoreAnswer();
  const int32_t rc = JmsgSendMsgs(&frame, 1, kSendTimeoutMemory);
  if (!RequestSent(rc, "PassThruWriteFile(OPEN)", "JmsgSendMsgs")) return ERR_FAILED;
  if (!FileStoreAccepted("PassThruWriteFile(OPEN)")) return ERR_FAILED;
  return STATUS_NOERROR;
}

// Where the bytes of a write come from: a host file, or bytes in memory.
struct WriteSource {
  std::FILE* file = nullptr;
  const uint8_t* bytes = nullptr;

  // Copies the next `count` bytes to `out`; false on a short file read.
  bool Take(uint8_t* out, size_t count) {
    if (file != nullptr) return std::fread(out, 1, count, file) == count;
    std::memcpy(out, bytes, count);
    bytes += count;
    return true;
  }
};

// Fills `batch` with the next frames of the source: up to 64 frames of up
// to 64 bytes, the last one flagged. Every byte sent must have come from
// the source: a short read (the file shrank or cannot be read) fails the
// copy before the batch leaves. Returns the frame count, or 0 on a short
// read.
uint32_t FillWriteBatch(WriteSource& source, long* remaining, JMSG (&batch)[kWriteBatchFrames]) {
  uint32_t count = 0;
  while (count<kWriteBatchFrames&& * remaining> 0) {
    JMSG& frame = batch[count];
    frame = MakeFileStoreFrame(kOpWrite, 0);
    const size_t bytes = std::min(static_cast<size_t>(*remaining), kWriteFrameBytes);
    if (!source.Take(frame.data, bytes)) return 0;
    frame.size = static_cast<uint8_t>(bytes);
    *remaining -= static_cast<long>(bytes);
    ++count;
  }
  batch[count - 1].flags = kLastOfBatch;
  return count;
}

int32_t CloseStoredFileAfterWrite();

int32_t SendFileContents(WriteSource& source, long length, const char* pc_name) {
  JMSG batch[kWriteBatchFrames];
  // The file's bytes (the network setup file's password) leave no copy here.
  struct Wipe {
    JMSG* frames;
    ~Wipe() { platform::WipeMemory(frames, sizeof(JMSG) * kWriteBatchFrames); }
  } wipe{batch};
  long remaining = length;
  while (remaining > 0) {
    const uint32_t count = FillWriteBatch(source, &remaining, batch);
    if (count == 0) {
      DbgMsgf(kMsgError, "PassThruWriteFile(): %s file read error", pc_name);
      return ERR_FAILED;
    }
    ExpectFileStoreAnswer();
    const int32_t rc = JmsgSendMsgs(batch, count, kSendTimeoutMemory);
    if (!RequestSent(rc, "PassThruWriteFile", "JmsgSendMsgs")) return ERR_FAILED;
    if (!FileStoreAccepted("PassThruWriteFile")) return ERR_FAILED;
    const auto sent = static_cast<uint64_t>(length - remaining);
    if (!TransferMayContinue(sent, static_cast<uint64_t>(length)) && remaining > 0) {
      CloseStoredFileAfterWrite();  // what was acknowledged stays stored
      DbgMsg(kMsgError, "PassThruWriteFile: stopped");
      return ERR_FAILED;
    }
  }
  return STATUS_NOERROR;
}

int32_t CloseStoredFileAfterWrite() {
  const JMSG frame = MakeFileStoreFrame(kOpClose, 0);
  ExpectFileStoreAnswer();
  const int32_t rc = JmsgSendMsgs(&frame, 1, kSendTimeoutMemory);
  if (!RequestSent(rc, "PassThruWriteFile(CLOSE)", "JmsgSendMsgs")) return ERR_FAILED;
  AwaitFileStoreAnswer();  // the data is acknowledged; the close's answer changes nothing
  return STATUS_NOERROR;
}

// Delete, open, data batches, close: the whole copy into the store.
int32_t CopyIntoStore(const char* sd_name, size_t sd_length, WriteSource& source, long length,
                      const char* pc_name) {
  if (SendDeleteBeforeWrite(sd_name, sd_length) != STATUS_NOERROR) return ERR_FAILED;
  if (OpenStoredFileForWriting(sd_name, sd_length) != STATUS_NOERROR) return ERR_FAILED;
  // A failure part-way leaves the partial stored file as it is.
  if (SendFileContents(source, length, pc_name) != STATUS_NOERROR) return ERR_FAILED;
  return CloseStoredFileAfterWrite();
}

// --- PassThruReadFile steps ----------------------------------------------------

int32_t OpenStoredFileForReading(const char* sd_name, size_t length) {
  ExpectFileStoreAnswer();
  const int32_t rc = JmsgSendCmd(kDevMemory, kOpOpen, kTypePlain, kOpenForReading,
                                 static_cast<uint32_t>(length + 1),
                                 reinterpret_cast<const uint8_t*>(sd_name), kSendTimeoutCommand);
  if (!RequestSent(rc, "PassThruReadFile(OPEN)", "JmsgSendCmd")) return ERR_FAILED;
  if (!FileStoreAccepted("PassThruReadFile(OPEN)")) return ERR_FAILED;
  return STATUS_NOERROR;
}

// The adapter answers the close too. Its answer is awaited (whatever it
// says): left in flight, it would pass for the answer to the next
// file-store or security request.
int32_t CloseStoredFileAfterRead() {
  ExpectFileStoreAnswer();
  const int32_t rc =
      JmsgSendCmd(kDevMemory, kOpClose, kTypePlain, 0, 0, nullptr, kSendTimeoutCommand);
  if (!RequestSent(rc, "PassThruReadFile(CLOSE)", "JmsgSendCmd")) return ERR_FAILED;
  AwaitFileStoreAnswer();
  return STATUS_NOERROR;
}

// --- PassThruReadDir steps -------------------------------------------------------

int32_t SendListingRequest(uint8_t op, const uint8_t* data, uint32_t size) {
  ClearReply();
  const int32_t rc =
      JmsgSendCmd(kDevSystem, op, kTypeDirectory, 0, size, data, kSendTimeoutCommand);
  if (!RequestSent(rc, "PassThruReadDir", "JmsgSendCmd")) return ERR_FAILED;
  return STATUS_NOERROR;
}

int32_t RequestListingAnswer(uint8_t op, const uint8_t* data, uint32_t size) {
  if (SendListingRequest(op, data, size) != STATUS_NOERROR) return ERR_FAILED;
  if (!AwaitListingAnswer(op)) {
    DbgMsg(kMsgError, "PassThruReadDir: No response");
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

// The entry name of a listing answer: the NUL-terminated text from data
// byte 16, read no further than the answer's `size`, so a name without its
// NUL stops at the frame's end. Returns its length.
size_t ListingEntryName(const JMSG& answer, const char** name) {
  const size_t end = std::min<size_t>(answer.size, kJmsgDataSize);
  *name = reinterpret_cast<const char*>(answer.data) + kListingNameOffset;
  size_t length = 0;
  while (kListingNameOffset + length < end && answer.data[kListingNameOffset + length] != 0) {
    ++length;
  }
  return length;
}

// A comma or a control character would break the comma-separated list
// (or drive a terminal that shows it).
bool FitsInList(const char* name, size_t length) {
  for (size_t i = 0, n = 0; i < length; i += n) {
    n = PrintableCharLength(name + i, length - i);
    if (n == 0 || name[i] == ',') return false;
  }
  return true;
}

// A stored name the listing could not show is not written.
bool StoredNameAccepted(const char* name, size_t length) {
  if (FitsInList(name, length)) return true;
  DbgMsg(kMsgError, "PassThruWriteFile stored file name has a comma or control character");
  return false;
}

// Appends the entry of a listing answer and a comma to the list of `*used`
// characters, never past ORV_FILE_LIST_MAX with the zero. An entry whose
// name would break the list is skipped and logged. False when the entry
// does not fit (the list then stays as it was).
bool AppendListingEntry(char* list, size_t* used, const JMSG& answer) {
  const char* name = nullptr;
  const size_t length = ListingEntryName(answer, &name);
  if (!FitsInList(name, length)) {
    DbgMsg(kMsgError, "PassThruReadDir skipped an entry with a comma or control character");
    return true;
  }
  if (*used + length + 2 > ORV_FILE_LIST_MAX) return false;  // name, comma, zero
  std::memcpy(list + *used, name, length);
  *used += length;
  list[(*used)++] = ',';
  list[*used] = '\0';
  return true;
}

// Every file-store answer is awaited before the next request goes out, so
// an answer already waiting in the port belongs to an earlier request whose
// wait ended: filed now, it cannot pass for the answer to the next one
// (file-store answers carry nothing that tells them apart). Bus frames in
// between are queued as usual. Bounded, as steady bus traffic may never
// leave the port empty.
void FileWaitingAnswers() {
  constexpr int kMaxPasses = 4;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    uint32_t waiting = 0;
    if (ComRxCount(&Link().hCommPort, &waiting) != com::kOk || waiting == 0) return;
    JmsgReceiveMsgs();
  }
}

}  // namespace

size_t PrintableCharLength(const char* text, size_t size) {
  const auto byte = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || length > size) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return lead == 0xC2 && byte(1) < 0xA0 ? 0 : length;  // C2 80 to C2 9F: C1 controls
}

size_t BoundedNameLength(const char* name, size_t limit) {
  size_t length = 0;
  while (length <= limit && name[length] != '\0') ++length;
  return length;
}

JMSG MakeDeleteFrame(const char* name, size_t length) {
  JMSG frame = MakeFileStoreFrame(kOpDelete, 0);
  const size_t copied = std::min(length, kMaxDeleteNameLength);
  std::memcpy(frame.data, name, copied);  // the NUL and the padding stay zero
  frame.size = static_cast<uint8_t>(copied + 1 + kDeletePadding);
  return frame;
}

JMSG MakeOpenForWritingFrame(const char* name, size_t length) {
  JMSG frame = MakeFileStoreFrame(kOpOpen, 0);
  const size_t copied = std::min(length, kMaxStoredNameLength);
  std::memcpy(frame.data, name, copied);
  frame.size = static_cast<uint8_t>(copied + 1);
  return frame;
}

// Read data that comes after its wait has ended (an answer in several
// frames) is not a stale answer: it is filed by the drain before the next
// request, lands at the start of Link().MemData and is taken by the next wait, so
// the host file gets the bytes in the order the adapter sent them.
int32_t ReceiveFileContents(platform::FileReplacement& file, const char* pc_name,
                            uint64_t max_bytes) {
  uint64_t written = 0;
  for (;;) {
    Link().MemStatus = kMemPending;
    Link().MemSize = 0;
    FileWaitingAnswers();
    const int32_t rc = JmsgSendCmd(kDevMemory, kOpRead, kTypePlain, kReadNextBlock, 0, nullptr,
                                   kSendTimeoutCommand);
    if (!RequestSent(rc, "PassThruReadFile", "JmsgSendCmd")) return ERR_FAILED;
    if (!FileStoreAccepted("PassThruReadFile(READ)")) return ERR_FAILED;
    const size_t bytes = static_cast<size_t>(
        std::clamp<int32_t>(Link().MemSize, 0, static_cast<int32_t>(kMemDataSize)));
    if (bytes == 0) return STATUS_NOERROR;  // the stored file is exhausted
    if (bytes > max_bytes - written) {
      DbgMsgf(kMsgError, "PassThruReadFile(): %s would exceed %lu bytes", pc_name,
              static_cast<unsigned long>(max_bytes));
      return ERR_FAILED;
    }
    if (file.write(Link().MemData, bytes) != platform::kOk) {
      DbgMsgf(kMsgError, "PassThruReadFile(): %s file write error", pc_name);
      return ERR_FAILED;
    }
    written += bytes;
    if (!TransferMayContinue(written, 0)) {
      CloseStoredFileAfterRead();
      DbgMsg(kMsgError, "PassThruReadFile: stopped");
      return ERR_FAILED;
    }
  }
}

void ExpectFileStoreAnswer() {
  FileWaitingAnswers();
  Link().MemStatus = kMemPending;
  Link().MemSize = 0;  // answer data collects from the start of Link().MemData
}

uint8_t AwaitFileStoreAnswer(uint32_t limit_ms) {
  const uint32_t start = os().tick_ms();
  const uint32_t losses = LinkLosses();
  while (Link().MemStatus == kMemPending && os().tick_ms() - start < limit_ms &&
         LinkLosses() == losses) {
    AnswerReceiveWait(limit_ms - (os().tick_ms() - start));
  }
  // An answer filed after the link was lost came from another adapter.
  return LinkLosses() == losses ? Link().MemStatus : kMemPending;
}

bool FileStoreAccepted(const char* step) {
  if (AwaitFileStoreAnswer() == kMemAccepted) return true;
  DbgMsgf(kMsgError, "%s: Error", step);
  return false;
}

bool RequestSent(int32_t rc, const char* step, const char* sender) {
  if (rc == STATUS_NOERROR) return true;
  DbgMsgf(kMsgError, "%s: %s returned %ld", step, sender, static_cast<long>(rc));
  return false;
}

int32_t WriteStoredFileFromMemory(const char* stored_name, const uint8_t* data, size_t size) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruWriteFile device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (stored_name == nullptr || (data == nullptr && size != 0)) {
    DbgMsg(kMsgError, "PassThruWriteFile null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruWriteFile(<%lu bytes>, %s, 0)", static_cast<unsigned long>(size),
          stored_name);
  const size_t sd_length = BoundedNameLength(stored_name, kMaxDeleteNameLength);
  if (sd_length > kMaxDeleteNameLength || size > kMaxMemoryWriteSize) {
    DbgMsg(kMsgError, "PassThruWriteFile stored file name or data too long");
    return ERR_FAILED;
  }
  if (!StoredNameAccepted(stored_name, sd_length)) return ERR_FAILED;
  WriteSource source{nullptr, data};
  return CopyIntoStore(stored_name, sd_length, source, static_cast<long>(size), "memory");
}

bool AwaitListingAnswer(uint8_t op) {
  const uint32_t start = os().tick_ms();
  const uint32_t losses = LinkLosses();
  while (os().tick_ms() - start < kFileStoreWaitMs && LinkLosses() == losses) {
    AnswerReceiveWait(kFileStoreWaitMs - (os().tick_ms() - start));
    if (ReplyIs(kDevSystem, op, kTypeDirectory)) return LinkLosses() == losses;
  }
  return false;
}

}  // namespace orv

using namespace orv;

int32_t orv::api::WriteFile(char* PCFileName, char* SDFileName, uint32_t Flags) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruWriteFile device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (PCFileName == nullptr || SDFileName == nullptr) {
    DbgMsg(kMsgError, "PassThruWriteFile null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruWriteFile(%s, %s, %ld)", PCFileName, SDFileName,
          static_cast<long>(Flags));
  // The stored name also goes into a delete frame, the tighter of the two.
  const size_t sd_length = BoundedNameLength(SDFileName, kMaxDeleteNameLength);
  if (sd_length > kMaxDeleteNameLength) {
    DbgMsg(kMsgError, "PassThruWriteFile stored file name too long");
    return ERR_FAILED;
  }
  if (!StoredNameAccepted(SDFileName, sd_length)) return ERR_FAILED;
  HostFile host(PCFileName, "rb");
  if (!host.is_open()) {
    DbgMsgf(kMsgError, "PassThruWriteFile(): %s file open error", PCFileName);
    return ERR_FAILED;
  }
  const long length = HostFileSize(host.get());
  if (length < 0) {
    DbgMsgf(kMsgError, "PassThruWriteFile(): %s file read error", PCFileName);
    return ERR_FAILED;
  }
  WriteSource source{host.get(), nullptr};
  return CopyIntoStore(SDFileName, sd_length, source, length, PCFileName);
}

int32_t orv::api::ReadFile(char* PCFileName, char* SDFileName, uint32_t Flags) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruReadFile device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (PCFileName == nullptr || SDFileName == nullptr) {
    DbgMsg(kMsgError, "PassThruReadFile null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruReadFile(%s, %s, %ld)", PCFileName, SDFileName,
          static_cast<long>(Flags));
  const size_t sd_length = BoundedNameLength(SDFileName, kMaxStoredNameLength);
  if (sd_length > kMaxStoredNameLength) {
    DbgMsg(kMsgError, "PassThruReadFile stored file name too long");
    return ERR_FAILED;
  }
  // The copy replaces the host file only once it is whole (see
  // FileReplacement): a failed read leaves no partial file.
  platform::FileReplacement host(PCFileName);
  if (host.status() == platform::kErrorNotOwnFile) {
    DbgMsgf(kMsgError, "PassThruReadFile(): %s is not the user's own file; not replaced",
            PCFileName);
    return ERR_FAILED;
  }
  if (host.status() != platform::kOk) {
    DbgMsgf(kMsgError, "PassThruReadFile(): %s file open error", PCFileName);
    return ERR_FAILED;
  }
  if (OpenStoredFileForReading(SDFileName, sd_length) != STATUS_NOERROR) return ERR_FAILED;
  // On a host-side failure from here on the stored file stays open on the
  // adapter, as after a refused read: the next open starts afresh.
  if (ReceiveFileContents(host, PCFileName, kMaxHostFileBytes) != STATUS_NOERROR) {
    return ERR_FAILED;
  }
  if (CloseStoredFileAfterRead() != STATUS_NOERROR) return ERR_FAILED;
  // A failure at the close (a full disk) means the copy is incomplete,
  // which is no success.
  if (host.commit() != platform::kOk) {
    DbgMsgf(kMsgError, "PassThruReadFile(): %s file write error", PCFileName);
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

// Result: 0 when the store deleted the file; 7 when it refused (no such
// file: "PassThruDeleteFile(DELETE): Error") or did not answer within 15 s
// ("PassThruDeleteFile(DELETE): No response"), so a caller can tell a
// deleted file from one that may still be there.
int32_t orv::api::DeleteFile(char* SDFileName, uint32_t Flags) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruDeleteFile device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (SDFileName == nullptr) {
    DbgMsg(kMsgError, "PassThruDeleteFile null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruDeleteFile(%s, %ld)", SDFileName, static_cast<long>(Flags));
  const size_t sd_length = BoundedNameLength(SDFileName, kMaxDeleteNameLength);
  if (sd_length > kMaxDeleteNameLength) {
    DbgMsg(kMsgError, "PassThruDeleteFile stored file name too long");
    return ERR_FAILED;
  }
  const JMSG frame = MakeDeleteFrame(SDFileName, sd_length);
  ExpectFileStoreAnswer();
  const int32_t rc = JmsgSendMsgs(&frame, 1, kSendTimeoutMemory);
  if (!RequestSent(rc, "PassThruDeleteFile(DELETE)", "JmsgSendMsgs")) return ERR_FAILED;
  switch (AwaitFileStoreAnswer()) {
    case kMemAccepted:
      return STATUS_NOERROR;
    case kMemPending:
      DbgMsg(kMsgError, "PassThruDeleteFile(DELETE): No response");
      return ERR_FAILED;
    default:
      DbgMsg(kMsgError, "PassThruDeleteFile(DELETE): Error");
      return ERR_FAILED;
  }
}

// `pFileList` has no size argument: it must hold ORV_FILE_LIST_MAX bytes,
// the most this call ever writes.
int32_t orv::api::ReadDir(char* pFileSpec, char* pFileList) {
  if (pFileList != nullptr) pFileList[0] = '\0';
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruReadDir device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pFileSpec == nullptr || pFileList == nullptr) {
    DbgMsg(kMsgError, "PassThruReadDir null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsg(kMsgApi, "PassThruReadDir(pFileSpec, pFileList)");
  const size_t spec_length = BoundedNameLength(pFileSpec, kMaxStoredNameLength);
  if (spec_length > kMaxStoredNameLength) {
    DbgMsg(kMsgError, "PassThruReadDir file pattern too long");
    return ERR_FAILED;
  }
  if (RequestListingAnswer(kOpOpen, reinterpret_cast<const uint8_t*>(pFileSpec),
                           static_cast<uint32_t>(spec_length + 1)) != STATUS_NOERROR) {
    return ERR_FAILED;
  }
  // The adapter decides how many entries come; the list's fixed maximum
  // bounds both the bytes written and the number of requests.
  // Every entry takes at least two bytes of the list, so no honest listing
  // has more answers than this; skipped entries count too.
  constexpr size_t kMaxListingAnswers = ORV_FILE_LIST_MAX / 2;
  size_t used = 0;
  size_t answers = 0;
  bool fits = true;
  while (Link().ORVXResponse.size != 0) {  // the open's answer carries the first entry
    fits = ++answers <= kMaxListingAnswers &&
           AppendListingEntry(pFileList, &used, Link().ORVXResponse);
    if (!fits) break;
    if (RequestListingAnswer(kOpRead, nullptr, 0) != STATUS_NOERROR) return ERR_FAILED;
  }
  if (SendListingRequest(kOpClose, nullptr, 0) != STATUS_NOERROR) return ERR_FAILED;
  AwaitListingAnswer(kOpClose);  // the listing is complete whatever the close says
  if (!fits) {
    DbgMsg(kMsgError, "PassThruReadDir list too long");
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}
