// The core as the project's own programs (app/) reach it beyond the public
// header (orvanta_j2534.h): the few internal operations they need, each
// entering the core as an export does, through api::Guarded under the call
// guard of its kind. The programs include this header and the public one,
// never the core's internals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::app_core {

// Copies `size` bytes (at most kMaxMemoryWriteSize) from memory into the
// adapter's store as `stored_name`, exactly as PassThruWriteFile copies a
// host file: for a program that has just made those bytes itself, so that
// no file another user could swap in is opened by name.
inline constexpr size_t kMaxMemoryWriteSize = 1u << 20;
int32_t WriteStoredFileFromMemory(const char* stored_name, const uint8_t* data, size_t size);

// The progress hook of the long file-store transfers (PassThruWriteFile,
// PassThruReadFile, PassThruUpdateFirmware), set under the state lock for
// every later transfer (null removes it). It runs on the transfer's thread
// after each acknowledged batch with the bytes moved so far and the total
// (0: not known, a read); returning false stops the transfer, which then
// fails with 7 and the text "<operation>: stopped".
using TransferProgressHook = bool (*)(uint64_t done, uint64_t total, void* context);
void SetTransferProgressHook(TransferProgressHook hook, void* context);

// The length in bytes of the character at the start of `text` (`size` > 0
// bytes), or 0 when it is a control character or no whole UTF-8 character:
// the test the library applies to names from the adapter (a pure function,
// no lock).
size_t PrintableCharLength(const char* text, size_t size);

}  // namespace orv::app_core
