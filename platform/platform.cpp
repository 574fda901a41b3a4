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

}  // namespace orv::platform
