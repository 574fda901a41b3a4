// The adapter's file store as the host reaches it: the frame builders and
// the awaits shared by the file operations (PassThruWriteFile,
// PassThruReadFile, PassThruDeleteFile, PassThruReadDir, exported through
// the public header) and by the firmware update, which replaces a stored
// file the same way.
//
// Failure reporting: the exported operations return J2534 codes (0, 4, 7,
// 8) with an 'E' text through DbgMsg; the helpers here return what they
// observed and leave the reporting to their caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "link/jmsg.h"
#include "platform/platform.h"

namespace orv {

// Every awaited file-store or listing answer gets this long.
inline constexpr uint32_t kFileStoreWaitMs = 15000;

// A stored name or pattern travels with its NUL in the 68 data bytes of a
// frame; the delete frame also carries ten bytes of zero after the NUL.
inline constexpr size_t kDeletePadding = 10;
inline constexpr size_t kMaxStoredNameLength = kJmsgDataSize - 1;                      // 67
inline constexpr size_t kMaxDeleteNameLength = kMaxStoredNameLength - kDeletePadding;  // 57

// A write batch: up to 64 data frames of up to 64 bytes, acknowledged once.
inline constexpr size_t kWriteFrameBytes = 64;
inline constexpr size_t kWriteBatchFrames = 64;
inline constexpr uint8_t kLastOfBatch = 0x80;

// Request flags of the file-store frames.
inline constexpr uint8_t kOpenForReading = 0x04;
inline constexpr uint8_t kReadNextBlock = 0x20;

// The length in bytes of the character at the start of `text` (`size` > 0
// bytes), or 0 when it is a control character (C0, DEL, or a C1 control:
// a byte 0x80 to 0x9F on its own or as UTF-8 C2 80 to C2 9F) or no whole
// UTF-8 character: names from the adapter reach lists and terminals.
size_t PrintableCharLength(const char* text, size_t size);

// Length of `name` when it is at most `limit` characters, else limit + 1
// (never reads more than limit + 1 characters).
size_t BoundedNameLength(const char* name, size_t limit);

// The delete frame for `name` (at most kMaxDeleteNameLength characters):
// the name, its NUL, then ten bytes of zero.
JMSG MakeDeleteFrame(const char* name, size_t length);

// The open-for-writing frame for `name` (at most kMaxStoredNameLength).
JMSG MakeOpenForWritingFrame(const char* name, size_t length);

// Files any answer already waiting in the port (a late one of an earlier
// request), then marks the file-store answer place as pending and empty
// before a send.
void ExpectFileStoreAnswer();

// A host file written by PassThruReadFile is cut off here: the adapter's
// store is far smaller, so an adapter still sending beyond it is faulty.
inline constexpr uint64_t kMaxHostFileBytes = uint64_t{64} << 20;

// The read loop of PassThruReadFile: requests blocks until an empty answer
// and appends each to `file`, at most `max_bytes` in all (then 7 with an
// 'E' text). Returns 0 or 7.
int32_t ReceiveFileContents(platform::FileReplacement& file, const char* pc_name,
                            uint64_t max_bytes);

// Polls the receive pass until the file store answers or `limit_ms` pass.
// Returns MemStatus: kMemAccepted, kMemRefused, or kMemPending (no answer,
// or the link was lost meanwhile).
uint8_t AwaitFileStoreAnswer(uint32_t limit_ms = kFileStoreWaitMs);

// True when the file store accepted (see AwaitFileStoreAnswer); otherwise
// logs "<step>: Error".
bool FileStoreAccepted(const char* step);

// True when `rc`, the status of a request sent with `sender` (JmsgSendCmd
// or JmsgSendMsgs), is success; otherwise logs "<step>: <sender> returned
// <rc>".
bool RequestSent(int32_t rc, const char* step, const char* sender);

// The most bytes WriteStoredFileFromMemory takes in one call.
inline constexpr size_t kMaxMemoryWriteSize = 1u << 20;

// Copies `size` bytes from memory into the adapter's store as
// `stored_name`, exactly as PassThruWriteFile copies a host file (the same
// frames, answers, results and error texts). For callers inside this
// program that have just written those bytes themselves: reopening a file
// by name would let another user swap it in between. Not exported.
int32_t WriteStoredFileFromMemory(const char* stored_name, const uint8_t* data, size_t size);

// Polls the receive pass until the reply slot holds the listing answer to
// request `op` (dev 0xF0, type 0x0F) or 15 s pass. True when it came.
bool AwaitListingAnswer(uint8_t op);

}  // namespace orv
