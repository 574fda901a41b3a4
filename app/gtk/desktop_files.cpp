// The state log. (The network setup file is the provisioning core's.)
//
// The front end stands outside the library and uses the file services of
// POSIX directly.
#include "app/gtk/desktop_files.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace orv::app::desktop {

void LogState(const char* format, ...) {
  static std::mutex mutex;
  const char* path = std::getenv("ORVANTA_GTK_TEST_LOG");
  if (path == nullptr || path[0] == '\0') return;
  const std::lock_guard<std::mutex> lock(mutex);
  std::FILE* log = std::fopen(path, "a");
  if (log == nullptr) return;
  std::fprintf(log, "%ld ", static_cast<long>(getpid()));
  va_list args;
  va_start(args, format);
  std::vfprintf(log, format, args);
  va_end(args);
  std::fputc('\n', log);
  std::fclose(log);
}

}  // namespace orv::app::desktop
