// POSIX backend of the tools' services: isatty, termios, signals, BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/host_address.h"
#include "platform/tool/tool_platform.h"

namespace orv::platform::tool {

namespace {

volatile sig_atomic_t g_interrupted = 0;

// The terminal settings to put back if a signal ends the program while the
// echo is off.
termios g_saved_terminal;
volatile sig_atomic_t g_echo_off = 0;

void RestoreTerminalAndDie(int sig) {
  if (g_echo_off != 0) tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_terminal);
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void OnInterrupt(int) {
  g_interrupted = 1;
}

int Fd(NetSocket socket) {
  return static_cast<int>(socket);
}

}  // namespace

bool IsTerminal(Stream stream) {
  const int fd = stream == Stream::kInput    ? STDIN_FILENO
                 : stream == Stream::kOutput ? STDOUT_FILENO
                                             : STDERR_FILENO;
  return isatty(fd) == 1;
}

bool ReadWithoutEcho(const char* prompt, const std::function<bool()>& read) {
  if (tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return false;
  termios quiet = g_saved_terminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the user still sees the line end
  for (int sig : kPromptSignals) signal(sig, RestoreTerminalAndDie);
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  g_echo_off = 1;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  const bool done = read();
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_terminal);
  g_echo_off = 0;
  for (int sig : kPromptSignals) signal(sig, SIG_DFL);
  return done;
}

void CatchInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Restarted calls keep the library's serial reads and writes whole; the
  // handler resets itself so that a second Ctrl-C ends the program.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
  return g_interrupted != 0;
}

OsError Listen(uint16_t port, NetSocket* listener, char (&address_text)[kAddressTextSize]) {
  sockaddr_in address{};
  if (OsError e = OwnHostAddress(&address)) return e;
  address.sin_port = htons(port);
  if (inet_ntop(AF_INET, &address.sin_addr, address_text, kAddressTextSize) == nullptr) {
    address_text[0] = '\0';
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 8) != 0) {
    const OsError e = errno;
    ::close(fd);
    return e;
  }
  *listener = fd;
  return kOk;
}

OsError WaitReadable(const NetSocket* sockets, size_t count, uint32_t timeout_ms, bool* ready) {
  std::vector<pollfd> fds(count);
  for (size_t i = 0; i < count; ++i) fds[i] = pollfd{Fd(sockets[i]), POLLIN, 0};
  const int n = poll(fds.data(), fds.size(), static_cast<int>(timeout_ms));
  for (size_t i = 0; i < count; ++i) ready[i] = n > 0 && fds[i].revents != 0;
  if (n < 0 && errno != EINTR) return errno;
  return kOk;
}

namespace {

// Whether the kernel's TCP table has the socket at `peer` connected to
// `local` owned by another user than this program's effective one.
bool OwnedByAnotherUser(const sockaddr_in& peer, const sockaddr_in& local) {
  std::FILE* table = std::fopen("/proc/net/tcp", "re");
  if (table == nullptr) return false;
  // The table prints an address as the 32-bit value in host order.
  char want_local[24], want_remote[24];
  std::snprintf(want_local, sizeof want_local, "%08X:%04X", peer.sin_addr.s_addr,
                ntohs(peer.sin_port));
  std::snprintf(want_remote, sizeof want_remote, "%08X:%04X", local.sin_addr.s_addr,
                ntohs(local.sin_port));
  char line[512];
  bool other = false;
  while (!other && std::fgets(line, sizeof line, table) != nullptr) {
    char at[24], to[24];
    unsigned uid = 0;
    other = std::sscanf(line, " %*u: %23s %23s %*x %*x:%*x %*x:%*x %*x %u", at, to, &uid) == 3 &&
            std::strcmp(at, want_local) == 0 && std::strcmp(to, want_remote) == 0 &&
            uid != geteuid();
  }
  std::fclose(table);
  return other;
}

}  // namespace

OsError Accept(NetSocket listener, NetSocket* connection, Peer* peer) {
  sockaddr_in from{}, local{};
  socklen_t from_size = sizeof from, local_size = sizeof local;
  const int fd =
      accept4(Fd(listener), reinterpret_cast<sockaddr*>(&from), &from_size, SOCK_CLOEXEC);
  if (fd < 0) return errno;
  *peer = Peer{};
  if (from.sin_family == AF_INET) std::memcpy(peer->address, &from.sin_addr, 4);
  peer->other_user = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) == 0 &&
                     OwnedByAnotherUser(from, local);
  *connection = fd;
  return kOk;
}

OsError Receive(NetSocket connection, char* buffer, uint32_t capacity, uint32_t* received) {
  const ssize_t n = recv(Fd(connection), buffer, capacity, 0);
  if (n < 0) return errno;
  *received = static_cast<uint32_t>(n);
  return kOk;
}

void CloseSocket(NetSocket socket) {
  if (socket != kNoSocket) ::close(Fd(socket));
}

OsError OpenOutputFile(const char* path, std::FILE** file, bool binary) {
  // No O_TRUNC at the open: a file that turns out not to be ours stays whole.
  // O_NONBLOCK: a FIFO put there cannot hold the open (regular files ignore it).
  const int fd =
      ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return errno == ELOOP ? kErrorNotOwnFile : errno;
  struct stat status {};
  OsError result = kOk;
  if (fstat(fd, &status) != 0) {
    result = errno;
  } else if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() || status.st_nlink != 1) {
    result = kErrorNotOwnFile;
  } else if (ftruncate(fd, 0) != 0 || (*file = fdopen(fd, binary ? "wb" : "w")) == nullptr) {
    result = errno;
  }
  if (result != kOk) ::close(fd);
  return result;
}

OsError OpenCapturePipe(const char* path, std::FILE** file) {
  // Blocks until the reader opens its end; O_NOFOLLOW: no symbolic link.
  const int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? kErrorNotOwnFile : errno;
  struct stat status {};
  OsError result = kOk;
  if (fstat(fd, &status) != 0) {
    result = errno;
  } else if (!S_ISFIFO(status.st_mode) || status.st_uid != geteuid()) {
    result = kErrorNotOwnFile;
  } else if ((*file = fdopen(fd, "wb")) == nullptr) {
    result = errno;
  }
  if (result != kOk) {
    ::close(fd);
    return result;
  }
  signal(SIGPIPE, SIG_IGN);  // a gone reader: EPIPE from the write
  return kOk;
}

}  // namespace orv::platform::tool
