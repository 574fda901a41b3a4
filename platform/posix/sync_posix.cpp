// The call-lock primitives over the C++ standard library.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/sync.h"

namespace orv::platform {

namespace {

std::mutex& AsMutex(unsigned char* storage) {
  return *std::launder(reinterpret_cast<std::mutex*>(storage));
}
std::condition_variable& AsCondVar(unsigned char* storage) {
  return *std::launder(reinterpret_cast<std::condition_variable*>(storage));
}

}  // namespace

Mutex::Mutex() {
  static_assert(sizeof(std::mutex) <= sizeof storage_);
  new (storage_) std::mutex;
}
Mutex::~Mutex() {
  AsMutex(storage_).~mutex();
}
void Mutex::lock() {
  AsMutex(storage_).lock();
}
void Mutex::unlock() {
  AsMutex(storage_).unlock();
}

CondVar::CondVar() {
  static_assert(sizeof(std::condition_variable) <= sizeof storage_);
  new (storage_) std::condition_variable;
}
CondVar::~CondVar() {
  AsCondVar(storage_).~condition_variable();
}
void CondVar::wait_for_ms(Mutex& mutex, uint32_t ms) {
  std::unique_lock<std::mutex> held(AsMutex(mutex.storage_), std::adopt_lock);
  AsCondVar(storage_).wait_for(held, std::chrono::milliseconds(ms));
  held.release();  // the caller keeps holding it
}
void CondVar::notify_all() {
  AsCondVar(storage_).notify_all();
}

}  // namespace orv::platform
