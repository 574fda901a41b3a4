// The app-facing operations of the core: see app_core.h.
#include "passthru/app_core.h"

#include "passthru/api_guard.h"
#include "services/file_store.h"
#include "services/transfer_progress.h"

namespace orv::api {
template <>
struct LockOf<&WriteStoredFileFromMemory> : AnswerSlotLock {};
template <>
struct LockOf<&SetTransferProgressHook> : PlainLock {};
}  // namespace orv::api

namespace orv::app_core {

static_assert(kMaxMemoryWriteSize == orv::kMaxMemoryWriteSize);

int32_t WriteStoredFileFromMemory(const char* stored_name, const uint8_t* data, size_t size) {
  return api::Guarded<&orv::WriteStoredFileFromMemory>(stored_name, data, size);
}

void SetTransferProgressHook(TransferProgressHook hook, void* context) {
  api::Guarded<&orv::SetTransferProgressHook>(hook, context);
}

size_t PrintableCharLength(const char* text, size_t size) {
  return orv::PrintableCharLength(text, size);
}

}  // namespace orv::app_core
