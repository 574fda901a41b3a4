// The installed platform table.
#include "platform/platform.h"

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

OsError WriteOwnerOnlyFile(const char* path, const uint8_t* data, size_t size) {
  FileReplacement file(path);
  if (file.status() != kOk) return file.status();
  if (const OsError e = file.write(data, size)) return e;
  return file.commit();
}

}  // namespace orv::platform
