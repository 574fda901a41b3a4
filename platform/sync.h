// A mutex and a condition variable for the library's call lock, on every
// build: SRWLOCK and CONDITION_VARIABLE on Win32 (so that the library needs
// no thread support from the compiler's runtime), std::mutex and
// std::condition_variable elsewhere. The OS objects live in storage inside
// these classes, so that no OS header reaches the callers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::platform {

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  void unlock();

 private:
  friend class CondVar;
  alignas(void*) unsigned char storage_[64];
};

class CondVar {
 public:
  CondVar();
  ~CondVar();
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases `mutex` (held by the caller) while it waits, at most `ms`
  // milliseconds, and holds it again on return. May wake early.
  void wait_for_ms(Mutex& mutex, uint32_t ms);
  void notify_all();

 private:
  alignas(void*) unsigned char storage_[64];
};

}  // namespace orv::platform
