// The transfer progress hook.
#include "services/transfer_progress.h"

namespace orv {

namespace {
TransferProgressHook g_hook = nullptr;
void* g_context = nullptr;
}  // namespace

void SetTransferProgressHook(TransferProgressHook hook, void* context) {
  g_hook = hook;
  g_context = context;
}

bool TransferMayContinue(uint64_t done, uint64_t total) {
  return g_hook == nullptr || g_hook(done, total, g_context);
}

}  // namespace orv
