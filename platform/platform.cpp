// The installed platform table.
#include "platform/platform.h"

#include <cstring>

namespace orv::platform {

namespace {
Platform* g_installed = nullptr;
}

Platform& current() {
  return g_installed != nullptr ? *g_installed : native();
}

Platform* install(Platform* platform) {
  Platform* previous = g_installed != nullptr ? g_installed : &native();
  g_installed = platform;
  return previous;
}

void WipeMemory(void* data, size_t size) {
  std::memset(data, 0, size);
  // The bytes count as read afterwards: the clear is no dead store.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

OsError WriteOwnerOnlyFile(const char* path, const uint8_t* data, size_t size) {
  FileReplacement file(path);
  if (file.status() != kOk) return file.status();
  if (const OsError e = file.write(data, size)) return e;
  return file.commit();
}

}  // namespace orv::platform
