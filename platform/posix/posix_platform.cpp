// The POSIX backend of the platform seam.
//
// COM port n is the path $ORVANTA_COM_DIR/comN (default /dev/orvanta/comN);
// the entry may be a symlink, for example to a pseudo-terminal. The
// directory and the entry must belong to root or to the effective user,
// and a directory others may write to needs the sticky bit. Open is
// exclusive through flock() and TIOCEXCL. The Win32 line settings map onto
// termios: raw mode, the byte size, parity and stop bits, CRTSCTS for CTS
// output flow control, IXON/IXOFF for XON/XOFF, DTR and RTS through
// TIOCMBIS/TIOCMBIC. Queue sizes and DSR flow control have no termios
// equivalent: they are remembered and reported back but change nothing.
// A read waits with poll() for at most the read time limit and returns what
// has arrived; a write gives up at the write time limit. A caller waiting
// for seconds sleeps in poll() until bytes arrive (serial_wait_readable).
//
// The registry is the INI file named by $ORVANTA_REGISTRY (default
// /etc/orvanta/registry.ini); the "not detected" notice goes to standard
// error as "ERROR: Orvanta not detected".
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "platform/posix/host_address.h"
#include "platform/posix/posix_hooks.h"
#include "platform/registry_ini.h"

namespace orv::platform {

namespace {

constexpr const char* kDefaultComDir = "/dev/orvanta";
constexpr const char* kDefaultRegistry = "/etc/orvanta/registry.ini";
constexpr uint32_t kMaxPorts = 64;

// What a port remembers beyond termios: the DCB fields without a termios
// home and the time limits; and what lets a thread wait on it while
// another closes it (see serial_wait_readable).
struct PortState {
  int fd = -1;
  uint32_t generation = 0;  // bumped by every open of the slot
  int wake[2] = {-1, -1};   // a pipe: a close writes to it to end the waits
  uint32_t waiters = 0;
  bool closing = false;
  SerialSettings settings;
  SerialTimeouts timeouts;
};

// A handle names a slot and the open of it: a handle kept after its close
// never reaches the port opened next in the same slot.
constexpr uint32_t kGenerations = 1u << 24;

uint32_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

// Parses the port number out of "\\.\COMn".
bool PortNumberOf(const char* device_name, unsigned long* port) {
  const char* com = std::strstr(device_name, "COM");
  if (com == nullptr) return false;
  char* end = nullptr;
  *port = std::strtoul(com + 3, &end, 10);
  return end != com + 3 && *end == '\0';
}

std::string ComDir() {
  const char* dir = std::getenv("ORVANTA_COM_DIR");
  return dir != nullptr && *dir != '\0' ? dir : kDefaultComDir;
}

bool OwnedByRootOrMe(const struct stat& status) {
  return status.st_uid == 0 || status.st_uid == geteuid();
}

// Another user who controls the COM directory or a comN entry decides
// which device (or which program behind a pseudo-terminal) receives the
// network password. Only root's or the user's own are used, and a
// directory others may write to only with the sticky bit. Returns why a
// path is refused, or null.
const char* UnsafeComPathReason(const struct stat& dir, const struct stat& entry) {
  if (!OwnedByRootOrMe(dir)) return "COM directory belongs to another user; not used";
  if ((dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (dir.st_mode & S_ISVTX) == 0) {
    return "COM directory is writable by other users; not used";
  }
  if (!OwnedByRootOrMe(entry)) return "COM port entry belongs to another user; not used";
  return nullptr;
}

void (*g_com_entry_checked)(const char* path) = nullptr;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens entry `name` of the COM directory `dir`: what is checked is what is
// opened. The directory is checked through its open descriptor and the
// entry opened relative to it; a missing entry is no port, and an entry
// that is no longer the one checked once it is open (another user put a
// link there in between) is not used. Returns the descriptor, or -1 with
// *error and, for a path another user could control, *refusal.
int OpenComEntry(const std::string& dir, const std::string& name, const char** refusal,
                 OsError* error) {
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) {
    *error = errno;
    return -1;
  }
  // The device opened must be the one the checked entry led to, and the
  // entry still the checked one.
  struct stat dir_status = {}, checked = {}, target = {}, now = {}, opened = {};
  int fd = -1;
  if (fstat(dir_fd, &dir_status) != 0 ||
      fstatat(dir_fd, name.c_str(), &checked, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstatat(dir_fd, name.c_str(), &target, 0) != 0) {
    *error = errno;
  } else if ((*refusal = UnsafeComPathReason(dir_status, checked)) != nullptr) {
    *error = EACCES;
  } else {
    if (g_com_entry_checked != nullptr) g_com_entry_checked((dir + "/" + name).c_str());
    fd = ::openat(dir_fd, name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    *error = fd < 0 ? errno : kOk;
    const bool same = fd >= 0 && fstat(fd, &opened) == 0 && SameFile(opened, target) &&
                      fstatat(dir_fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                      SameFile(now, checked) && OwnedByRootOrMe(now);
    if (fd >= 0 && !same) {
      ::close(fd);
      fd = -1;
      *refusal = "COM port entry changed while it was opened; not used";
      *error = EACCES;
    }
  }
  ::close(dir_fd);
  return fd;
}

speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

uint32_t BaudOf(speed_t speed) {
  switch (speed) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

tcflag_t CharSize(uint8_t bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

void SetModemLine(int fd, int line, bool raised) {
  // Pseudo-terminals have no modem lines; the failure is harmless there.
  (void)ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line);
}

class PosixPlatform final : public Platform {
 public:
  OsError serial_open(const char* device_name, SerialHandle* handle) override {
    refusal_ = nullptr;
    unsigned long port = 0;
    if (!PortNumberOf(device_name, &port)) return ENOENT;
    OsError error = kOk;
    const int fd = OpenComEntry(ComDir(), "com" + std::to_string(port), &refusal_, &error);
    if (fd < 0) return error;
    if (OsError e = TakeExclusive(fd)) {
      ::close(fd);
      return e;
    }
    int wake[2] = {-1, -1};
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      const OsError e = errno;
      ::close(fd);
      return e;
    }
    const std::lock_guard<std::mutex> hold(table_);
    PortState* slot = FreeSlot();
    if (slot == nullptr) {
      ::close(fd);
      ::close(wake[0]);
      ::close(wake[1]);
      return EMFILE;
    }
    const uint32_t generation = slot->generation % (kGenerations - 1) + 1;
    *slot = PortState{};
    slot->fd = fd;
    slot->generation = generation;
    slot->wake[0] = wake[0];
    slot->wake[1] = wake[1];
    *handle = static_cast<SerialHandle>(static_cast<uint32_t>(slot - ports_.data()) +
                                        kMaxPorts * generation);
    return kOk;
  }

  const char* serial_open_refusal() override { return refusal_; }

  OpenFailure serial_open_failure_kind(OsError error) override {
    switch (error) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
      case ENOTDIR:
        return OpenFailure::kNoSuchPort;
      case EBUSY:
        return OpenFailure::kInUse;
      case EACCES:
      case EPERM:
        return OpenFailure::kPermission;
      default:
        return OpenFailure::kOther;
    }
  }

  // A thread waiting on the port (serial_wait_readable) is woken and has
  // left before the descriptor is closed, so that it never waits on a
  // descriptor number the system may already have given to another file.
  OsError serial_close(SerialHandle handle) override {
    std::unique_lock<std::mutex> hold(table_);
    PortState* p = Port(handle);
    if (p == nullptr || p->closing) return EBADF;
    p->closing = true;
    if (p->waiters != 0) {
      const char wake = 1;
      (void)::write(p->wake[1], &wake, 1);
      waiters_left_.wait(hold, [p] { return p->waiters == 0; });
    }
    ioctl(p->fd, TIOCNXCL);
    const int rc = ::close(p->fd);
    const OsError e = rc == 0 ? kOk : errno;
    ::close(p->wake[0]);
    ::close(p->wake[1]);
    p->fd = -1;
    p->wake[0] = p->wake[1] = -1;
    p->closing = false;
    return e;
  }

  OsError serial_get_settings(SerialHandle handle, SerialSettings* settings) override {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    termios tio{};
    if (tcgetattr(p->fd, &tio) != 0) return errno;
    *settings = p->settings;
    settings->baud_rate = BaudOf(cfgetospeed(&tio));
    return kOk;
  }

  OsError serial_set_settings(SerialHandle handle, const SerialSettings& s) override {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    termios tio{};
    if (tcgetattr(p->fd, &tio) != 0) return errno;
    const speed_t speed = SpeedOf(s.baud_rate);
    if (speed == B0) return EINVAL;  // no termios rate for it
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS)) |
                  CharSize(s.byte_size) | CLOCAL | CREAD;
    if (s.stop_bits != 0) tio.c_cflag |= CSTOPB;
    if (s.parity != 0) tio.c_cflag |= PARENB;
    if (s.parity == 1 || s.parity == 3) tio.c_cflag |= PARODD;
    if (s.parity >= 3) tio.c_cflag |= CMSPAR;
    if (s.out_cts_flow) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (s.out_xon_xoff) tio.c_iflag |= IXON;
    if (s.in_xon_xoff) tio.c_iflag |= IXOFF;
    if (s.parity_check) tio.c_iflag |= INPCK;
    tio.c_cc[VSTART] = static_cast<cc_t>(s.xon_char);
    tio.c_cc[VSTOP] = static_cast<cc_t>(s.xoff_char);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(p->fd, TCSANOW, &tio) != 0) return errno;
    SetModemLine(p->fd, TIOCM_DTR, s.dtr_control != 0);
    SetModemLine(p->fd, TIOCM_RTS, s.rts_control == 1);
    p->settings = s;
    return kOk;
  }

  OsError serial_set_queue_sizes(SerialHandle handle, uint32_t, uint32_t) override {
    return Port(handle) != nullptr ? kOk : EBADF;
  }

  OsError serial_purge(SerialHandle handle, uint32_t flags) override {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    const bool input = (flags & kPurgeRxClear) != 0;
    const bool output = (flags & kPurgeTxClear) != 0;
    if (!input && !output) return kOk;
    const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return tcflush(p->fd, queue) == 0 ? kOk : errno;
  }

  OsError serial_set_timeouts(SerialHandle handle, const SerialTimeouts& timeouts) override {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    p->timeouts = timeouts;
    return kOk;
  }

  OsError serial_get_properties(SerialHandle handle, SerialProperties* properties) override {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    int in = 0;
    int out = 0;
    if (ioctl(p->fd, FIONREAD, &in) != 0) return errno;
    if (ioctl(p->fd, TIOCOUTQ, &out) != 0) out = 0;
    properties->current_rx_queue = static_cast<uint32_t>(in);
    properties->current_tx_queue = static_cast<uint32_t>(out);
    return kOk;
  }

  OsError serial_read(SerialHandle handle, uint8_t* buffer, uint32_t count,
                      uint32_t* done) override {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    *done = 0;
    if (count == 0) return kOk;
    if (OsError e = WaitFor(p->fd, POLLIN, p->timeouts.read_total_constant)) {
      return e == ETIMEDOUT ? kOk : e;
    }
    ssize_t n = ::read(p->fd, buffer, count);
    if (n < 0) return errno == EAGAIN || errno == EINTR ? kOk : errno;
    // Readable yet nothing to read: the far side hung up (a pseudo-terminal
    // whose master closed reads as end of file for ever). Report it rather
    // than return "nothing yet" at once, again and again.
    if (n == 0) return EIO;
    *done = static_cast<uint32_t>(n);
    return kOk;
  }

  // Runs without the library's lock, so another thread may close the port
  // meanwhile: the close wakes this wait, which then reports the port gone.
  OsError serial_wait_readable(SerialHandle handle, uint32_t ms, bool* readable) override {
    *readable = false;
    PortState* p = nullptr;
    pollfd fds[2]{};
    {
      const std::lock_guard<std::mutex> hold(table_);
      p = Port(handle);
      if (p == nullptr || p->closing) return EBADF;
      ++p->waiters;
      fds[0] = {p->fd, POLLIN, 0};
      fds[1] = {p->wake[0], POLLIN, 0};
    }
    OsError e = WaitForAny(fds, ms);
    const bool closed = (fds[1].revents & POLLIN) != 0;
    {
      const std::lock_guard<std::mutex> hold(table_);
      if (--p->waiters == 0) waiters_left_.notify_all();
    }
    if (closed) return EBADF;
    if (e == ETIMEDOUT) return kOk;
    if (e == kOk && (fds[0].revents & POLLIN) == 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
      e = EIO;
    }
    if (e == kOk && (fds[0].revents & POLLNVAL) != 0) e = EBADF;
    *readable = e == kOk;
    return e;
  }

  OsError serial_write(SerialHandle handle, const uint8_t* buffer, uint32_t count,
                       uint32_t* done) override {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    *done = 0;
    const uint32_t start = MonotonicMs();
    const uint32_t limit = p->timeouts.write_total_constant;
    while (*done < count) {
      ssize_t n = ::write(p->fd, buffer + *done, count - *done);
      if (n > 0) {
        *done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
      const uint32_t spent = MonotonicMs() - start;
      if (limit != 0 && spent >= limit) return kOk;  // time limit: partial write
      OsError e = WaitFor(p->fd, POLLOUT, limit == 0 ? 1000 : limit - spent);
      if (e != kOk && e != ETIMEDOUT) return e;
    }
    return kOk;
  }

  OsError serial_set_break(SerialHandle handle) override { return BreakIoctl(handle, TIOCSBRK); }
  OsError serial_clear_break(SerialHandle handle) override { return BreakIoctl(handle, TIOCCBRK); }

  uint32_t tick_ms() override { return MonotonicMs(); }

  void sleep_ms(uint32_t ms) override {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  OsError registry_enum_subkey(uint32_t index, char* name, uint32_t capacity) override {
    std::string text;
    if (!ReadRegistry(&text)) return kErrorFileNotFound;
    return IniEnumSection(text, index, name, capacity);
  }

  OsError registry_query_value(const char* subkey, const char* value_name, uint8_t* data,
                               uint32_t* size) override {
    std::string text;
    if (!ReadRegistry(&text)) return kErrorCantOpen;
    return IniQueryValue(text, subkey, value_name, data, size);
  }

  OsError socket_startup() override { return kOk; }

  OsError trace_connect(uint16_t port, SocketHandle* socket_out) override {
    sockaddr_in address{};
    if (const OsError error = OwnHostAddress(&address); error != kOk) return error;
    uint8_t octets[4];
    std::memcpy(octets, &address.sin_addr, sizeof octets);
    if (!IsOwnIpv4Address(octets)) return EADDRNOTAVAIL;
    address.sin_port = htons(port);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      OsError e = errno;
      ::close(fd);
      return e;
    }
    *socket_out = fd;
    return kOk;
  }

  bool trace_send(SocketHandle socket, const char* text, uint32_t length) override {
    const ssize_t sent = ::send(socket, text, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent >= 0 && static_cast<uint32_t>(sent) == length;
  }

  void trace_close(SocketHandle socket) override { ::close(socket); }

  void message_box(const char* text, const char* caption) override {
    std::fprintf(stderr, "%s: %s\n", caption, text);
  }

 private:
  PortState* Port(SerialHandle handle) {
    if (handle < 0) return nullptr;
    const auto slot = static_cast<uint32_t>(handle) % kMaxPorts;
    const auto generation = static_cast<uint32_t>(handle) / kMaxPorts;
    PortState& p = ports_[slot];
    return p.fd >= 0 && p.generation == generation ? &p : nullptr;
  }

  PortState* FreeSlot() {
    for (auto& p : ports_) {
      if (p.fd < 0) return &p;
    }
    return nullptr;
  }

  static OsError TakeExclusive(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return errno;  // not a serial device
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
    ioctl(fd, TIOCEXCL);
    return kOk;
  }

  // Waits until one of `fds` has an event or `ms` pass; ETIMEDOUT then.
  static OsError WaitForAny(pollfd (&fds)[2], uint32_t ms) {
    const uint32_t start = MonotonicMs();
    for (;;) {
      const uint32_t spent = MonotonicMs() - start;
      const int left = spent >= ms ? 0 : static_cast<int>(ms - spent);
      const int rc = ::poll(fds, 2, left);
      if (rc > 0) return kOk;
      if (rc == 0) return ETIMEDOUT;
      if (errno != EINTR) return errno;
    }
  }

  // Waits until `fd` is ready for `events` or `ms` pass; ETIMEDOUT then.
  static OsError WaitFor(int fd, short events, uint32_t ms) {
    const uint32_t start = MonotonicMs();
    for (;;) {
      const uint32_t spent = MonotonicMs() - start;
      const int left = spent >= ms ? 0 : static_cast<int>(ms - spent);
      pollfd pfd{fd, events, 0};
      int rc = ::poll(&pfd, 1, left);
      if (rc > 0) {
        if (pfd.revents & POLLNVAL) return EBADF;
        if ((pfd.revents & events) == 0 && (pfd.revents & (POLLHUP | POLLERR))) return EIO;
        return kOk;
      }
      if (rc == 0) return ETIMEDOUT;
      if (errno != EINTR) return errno;
    }
  }

  OsError BreakIoctl(SerialHandle handle, unsigned long request) {
    PortState* p = Port(handle);
    if (p == nullptr) return EBADF;
    return ioctl(p->fd, request) == 0 ? kOk : errno;
  }

  static bool ReadRegistry(std::string* text) {
    const char* path = std::getenv("ORVANTA_REGISTRY");
    std::ifstream in(path != nullptr && *path != '\0' ? path : kDefaultRegistry, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
  }

  // Open and close change the table while a waiting thread reads it.
  std::mutex table_;
  std::condition_variable waiters_left_;
  std::array<PortState, kMaxPorts> ports_{};
  const char* refusal_ = nullptr;
};

}  // namespace

void SetComEntryCheckedHook(void (*hook)(const char* path)) {
  g_com_entry_checked = hook;
}

Platform& native() {
  static PosixPlatform instance;
  return instance;
}

FileReplacement::FileReplacement(const char* path) : target_(path) {
  struct stat status {};
  if (lstat(path, &status) == 0) {
    // lstat: a symbolic link is refused, never followed.
    if (S_ISDIR(status.st_mode)) {
      status_ = EISDIR;
      return;
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() || status.st_nlink != 1) {
      status_ = kErrorNotOwnFile;
      return;
    }
  } else if (errno != ENOENT) {
    status_ = errno;
    return;
  }
  // mkostemp creates a name of its own (O_EXCL) with mode 0600.
  temporary_ = target_ + ".XXXXXX";
  const int fd = mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd < 0) {
    status_ = errno;
    temporary_.clear();
    return;
  }
  handle_ = fd;
}

FileReplacement::~FileReplacement() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

OsError FileReplacement::write(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; status_ == kOk && done < size;) {
    const ssize_t n = ::write(static_cast<int>(handle_), bytes + done, size - done);
    if (n < 0 && errno != EINTR) status_ = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return status_;
}

OsError FileReplacement::commit() {
  if (status_ != kOk) return status_;
  const int rc = ::close(static_cast<int>(handle_));
  handle_ = -1;
  // rename replaces the name, never what a symbolic link put there points to.
  if (rc != 0 || ::rename(temporary_.c_str(), target_.c_str()) != 0) return status_ = errno;
  temporary_.clear();
  return kOk;
}

bool IsOwnIpv4Address(const uint8_t (&address)[4]) {
  if (address[0] == 127) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool own = false;
  for (const ifaddrs* i = list; i != nullptr && !own; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    own = std::memcmp(&in->sin_addr, address, sizeof address) == 0;
  }
  freeifaddrs(list);
  return own;
}

}  // namespace orv::platform
