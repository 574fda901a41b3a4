// The call-lock primitives over slim reader/writer locks and condition
// variables: they need no initialisation beyond zeroing and no thread
// support from the compiler's runtime.
#include <windows.h>

#include <cstring>

#include "platform/sync.h"

namespace orv::platform {

namespace {

SRWLOCK* AsLock(unsigned char* storage) {
  return reinterpret_cast<SRWLOCK*>(storage);
}
CONDITION_VARIABLE* AsCondVar(unsigned char* storage) {
  return reinterpret_cast<CONDITION_VARIABLE*>(storage);
}

}  // namespace

Mutex::Mutex() {
  static_assert(sizeof(SRWLOCK) <= sizeof storage_);
  std::memset(storage_, 0, sizeof storage_);
  InitializeSRWLock(AsLock(storage_));
}
Mutex::~Mutex() = default;
void Mutex::lock() {
  AcquireSRWLockExclusive(AsLock(storage_));
}
void Mutex::unlock() {
  ReleaseSRWLockExclusive(AsLock(storage_));
}

CondVar::CondVar() {
  static_assert(sizeof(CONDITION_VARIABLE) <= sizeof storage_);
  std::memset(storage_, 0, sizeof storage_);
  InitializeConditionVariable(AsCondVar(storage_));
}
CondVar::~CondVar() = default;
void CondVar::wait_for_ms(Mutex& mutex, uint32_t ms) {
  SleepConditionVariableSRW(AsCondVar(storage_), AsLock(mutex.storage_), ms, 0);
}
void CondVar::notify_all() {
  WakeAllConditionVariable(AsCondVar(storage_));
}

}  // namespace orv::platform
