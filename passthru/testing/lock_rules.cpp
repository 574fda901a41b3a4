// The lock-rule check of the tests' platform: see lock_rules.h.
#include "passthru/testing/lock_rules.h"

#include <cstdio>
#include <cstdlib>

#include "passthru/call_sync.h"

namespace orv {

void InstallLockRules(platform::FaultPlatform& faults) {
  faults.on_serial_io([](platform::SerialHandle handle) {
    if (SerialIoKeepsLockRules(handle)) return;
    std::fprintf(stderr,
                 "lock rule broken: serial I/O on the link's handle %ld without the lock its "
                 "call needs (state lock; answer lock in an answer wait)\n",
                 static_cast<long>(handle));
    std::abort();
  });
}

}  // namespace orv
