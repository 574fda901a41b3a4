// Single instance of the desktop dialog: the lock file and the local socket.
//
// The front end stands outside the library and uses the file, lock and
// socket services of POSIX directly.
#include "app/gtk/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orv::app::desktop {

namespace {

constexpr char kLockName[] = "orvanta-provision.lock";
constexpr char kSocketName[] = "orvanta-provision.sock";
constexpr char kPresentRequest[] = "present";
constexpr size_t kRequestCapacity = 256;
constexpr int kConnectAttempts = 20;
constexpr long kConnectPauseNs = 50L * 1000 * 1000;
static_assert(sizeof(InstanceGuard::socket_path) == sizeof(sockaddr_un::sun_path));

// A directory only this user can enter: owned by us, no access for group
// or others, and not a symlink.
bool IsPrivateDirectory(const char* path) {
  struct stat status {};
  if (lstat(path, &status) != 0 || !S_ISDIR(status.st_mode)) return false;
  return status.st_uid == geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// $XDG_RUNTIME_DIR when it is private, else /tmp/orvanta-provision-<uid>,
// made if missing. False when neither is usable.
bool PrivateDirectory(char* path, size_t capacity) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateDirectory(runtime)) {
    return std::snprintf(path, capacity, "%s", runtime) < static_cast<int>(capacity);
  }
  const int written = std::snprintf(path, capacity, "/tmp/orvanta-provision-%lu",
                                    static_cast<unsigned long>(geteuid()));
  if (written < 0 || written >= static_cast<int>(capacity)) return false;
  if (mkdir(path, S_IRWXU) != 0 && errno != EEXIST) return false;
  return IsPrivateDirectory(path);
}

bool JoinPath(char* out, size_t capacity, const char* dir, const char* name) {
  const int written = std::snprintf(out, capacity, "%s/%s", dir, name);
  return written >= 0 && written < static_cast<int>(capacity);
}

bool SocketAddress(const InstanceGuard& guard, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, guard.socket_path, sizeof address->sun_path);
  return guard.socket_path[0] != '\0';
}

// Replaces a stale socket and listens on it. -1 when that fails; the first
// instance then runs without taking requests.
int Listen(const InstanceGuard& guard) {
  sockaddr_un address{};
  if (!SocketAddress(guard, &address)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  unlink(guard.socket_path);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int Connect(const InstanceGuard& guard) {
  sockaddr_un address{};
  if (!SocketAddress(guard, &address)) return -1;
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    const timespec pause{0, kConnectPauseNs};
    nanosleep(&pause, nullptr);
  }
  return -1;
}

bool WriteAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t sent = send(fd, text, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    text += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Reads one request line (the sender closes after it) within a short time
// limit, so a silent peer cannot hold up the window's main loop.
size_t ReadRequest(int fd, char* request, size_t capacity) {
  const timeval limit{0, 200 * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  size_t held = 0;
  while (held + 1 < capacity) {
    const ssize_t got = recv(fd, request + held, capacity - 1 - held, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    if (std::memchr(request, '\n', held) != nullptr) break;
  }
  request[held] = '\0';
  return held;
}

// Copies the startup id after "present " up to the line end, keeping only
// printable ASCII so it can go back to the display server as it is.
void CopyStartupId(const char* from, char* startup_id, size_t capacity) {
  size_t at = 0;
  for (; *from != '\0' && *from != '\n' && at + 1 < capacity; ++from) {
    if (*from > ' ' && *from < 0x7F) startup_id[at++] = *from;
  }
  startup_id[at] = '\0';
}

}  // namespace

InstanceRole ClaimInstance(InstanceGuard* guard) {
  char dir[sizeof guard->socket_path];
  char lock_path[sizeof guard->socket_path];
  if (!PrivateDirectory(dir, sizeof dir) ||
      !JoinPath(lock_path, sizeof lock_path, dir, kLockName) ||
      !JoinPath(guard->socket_path, sizeof guard->socket_path, dir, kSocketName)) {
    guard->socket_path[0] = '\0';
    return InstanceRole::kUnguarded;
  }
  const int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
  if (fd < 0) return InstanceRole::kUnguarded;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held_elsewhere = errno == EWOULDBLOCK;
    close(fd);
    return held_elsewhere ? InstanceRole::kLater : InstanceRole::kUnguarded;
  }
  guard->lock_fd = fd;
  guard->listen_fd = Listen(*guard);
  return InstanceRole::kFirst;
}

bool AskFirstToPresent(const InstanceGuard& guard, const char* startup_id) {
  const int fd = Connect(guard);
  if (fd < 0) return false;
  char request[kRequestCapacity];
  char id[kRequestCapacity - sizeof kPresentRequest - 2] = {};
  if (startup_id != nullptr) CopyStartupId(startup_id, id, sizeof id);
  const int length = std::snprintf(request, sizeof request, "%s%s%s\n", kPresentRequest,
                                   id[0] != '\0' ? " " : "", id);
  const bool sent = length > 0 && WriteAll(fd, request, static_cast<size_t>(length));
  close(fd);
  return sent;
}

bool TakePresentRequest(const InstanceGuard& guard, char* startup_id, size_t capacity) {
  if (capacity > 0) startup_id[0] = '\0';
  const int fd = accept4(guard.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  char request[kRequestCapacity];
  ReadRequest(fd, request, sizeof request);
  close(fd);
  const size_t word = sizeof kPresentRequest - 1;
  if (std::strncmp(request, kPresentRequest, word) != 0) return false;
  const char after = request[word];
  if (after != '\0' && after != '\n' && after != ' ') return false;
  if (after == ' ' && capacity > 0) CopyStartupId(request + word + 1, startup_id, capacity);
  return true;
}

void ReleaseInstance(InstanceGuard* guard) {
  if (guard->listen_fd >= 0) {
    close(guard->listen_fd);
    unlink(guard->socket_path);
    guard->listen_fd = -1;
  }
  if (guard->lock_fd >= 0) {
    close(guard->lock_fd);  // closing gives up the lock
    guard->lock_fd = -1;
  }
}

}  // namespace orv::app::desktop
