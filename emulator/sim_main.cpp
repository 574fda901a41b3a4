// orvanta-adapter-sim: the adapter engine served on a pseudo-terminal, so
// that the library (or any program) can talk to it as to a COM port.
//
// The slave side of the pty is made raw once at start and then left to the
// host: its settings are what count. The program keeps a slave descriptor
// of its own open, so the master never sees a hang-up between the host's
// close and its next open, and through it clears the terminal's exclusive
// mode (TIOCEXCL) on every turn of the loop: the kernel keeps that mode
// after the host's close, and a host without privileges could then never
// reopen the port. The host's flock() still keeps a second opener out.
//
// Faults a real adapter and line show, from the command line or at run
// time through the control socket (one command per line, one answer line
// each): a stall (host bytes left in the pty, so the host's writes back
// up), an unplug (the link, the master and the held slave descriptor go
// away, so the host sees a hang-up; the adapter loses power and state; a
// new pty and link appear later), answers cut into pieces with gaps, a
// longer answer delay, a different line rate, and a bus frame offered as
// fast as the line takes it. One loop polls the ptys and the control
// socket; nothing in it blocks.
//
// Failure reporting: messages on stderr and the exit codes of --help.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/bus_sim_unit.h"
#include "emulator/bus_unit.h"
#include "emulator/kline_init_unit.h"
#include "emulator/service_units.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitStore = 2;
constexpr int kExitLinks = 3;
constexpr int kExitPty = 4;
constexpr int kExitControl = 5;

constexpr char kHelp[] =
    "Usage: orvanta-adapter-sim [options]\n"
    "Serves an emulated Orvanta adapter on a pseudo-terminal reachable as\n"
    "<com-dir>/com<N>, the name under which the library looks for COM port N.\n"
    "\n"
    "Options:\n"
    "  --com-dir DIR       directory for the com<N> links (default: $ORVANTA_COM_DIR,\n"
    "                      else /dev/orvanta); created if missing\n"
    "  --port N            COM port number of the adapter (default 7)\n"
    "  --silent-port N     also create com<N> on a pty that never answers\n"
    "                      (repeatable)\n"
    "  --store DIR         mirror the adapter's file store into DIR: files found\n"
    "                      there are loaded at start, a file is written when the\n"
    "                      host closes it and everything again at exit\n"
    "  --serial N          serial number reported by the adapter (default 123456)\n"
    "  --answer-latency MS answer each request this many milliseconds after it\n"
    "                      arrived (default 1; 0 answers at once)\n"
    "  --delay MS          the same as --answer-latency\n"
    "  --version-size S    data bytes of the version answer: 2 (default), 4,\n"
    "                      another size for a malformed answer, 0 for no answer\n"
    "  --refuse-files      refuse every open of a file for writing\n"
    "  --baud N            pace the line like a UART at N baud: take and send at\n"
    "                      most N/10 bytes per second each way (default: unpaced)\n"
    "  --bus-traffic D:HEX:MS[:K]  send bus frame HEX (identifier and data bytes in\n"
    "                      hex) from device D (10, 20, 30, 40 or 90) every MS\n"
    "                      milliseconds while that device's channel is connected\n"
    "                      and a filter admits it; K: x for a 29-bit identifier\n"
    "                      (4 bytes), f for CAN FD, or both (repeatable)\n"
    "  --saturate D:HEX[:K]  offer bus frame HEX from device D (as for\n"
    "                      --bus-traffic) as fast as the line takes it while the\n"
    "                      channel is connected and a filter admits it\n"
    "  --stall MS[@AT]     AT ms after start (default 0) stop reading the host's\n"
    "                      bytes for MS ms; they stay in the pty (repeatable)\n"
    "  --unplug MS[@AT]    AT ms after start unplug the adapter: the link and the\n"
    "                      pty go away (the host sees a hang-up), the adapter\n"
    "                      loses its state but not its files; MS ms later a new\n"
    "                      pty and link appear (repeatable)\n"
    "  --split N:GAP       hand the host the adapter's bytes in pieces of at most\n"
    "                      N bytes, GAP ms apart\n"
    "  --control PATH      serve run-time commands on a Unix socket at PATH\n"
    "                      (mode 0600), one per line, one answer line each:\n"
    "                        stall MS, unplug MS, split N GAP (0 0: off),\n"
    "                        delay MS, baud N (0: unpaced), saturate on|off -> ok\n"
    "                        desync -> desync N (host bytes out of frame)\n"
    "                        txcount ID -> txcount N (bus transmit requests with\n"
    "                          the hex identifier ID since start)\n"
    "                        state -> connected N unplugged 0|1 desync N frames N\n"
    "                          (connected bus channels, frames received)\n"
    "                      anything else -> error unknown command\n"
    "  --log               print every frame received (IN) and sent (OUT) on stderr\n"
    "  --ready-file PATH   write \"ready\\n\" to PATH once the links exist\n"
    "  --version           print the program version and exit\n"
    "  --help              print this text and exit\n"
    "\n"
    "Host bytes that cannot start a well-formed frame are dropped one at a time\n"
    "until one can; each such episode is reported on stderr, the count at exit.\n"
    "Stops on SIGINT or SIGTERM: removes its links and writes the store.\n"
    "\n"
    "Exit codes:\n"
    "  0  stopped by a signal (or --help, --version)\n"
    "  1  bad command line\n"
    "  2  the store directory cannot be made or read\n"
    "  3  the link directory, a link or the ready file cannot be created\n"
    "  4  no pseudo-terminal could be set up\n"
    "  5  the control socket cannot be created\n";

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
  g_stop = 1;
}

constexpr uint32_t kMaxFaultMs = 3600000;     // one hour
constexpr uint32_t kMaxFaultAtMs = 86400000;  // one day
constexpr uint32_t kMaxLatencyMs = 60000;
constexpr uint32_t kMaxBaud = 100000000;
constexpr uint32_t kMaxSplitBytes = 65536;
constexpr uint32_t kMaxSplitGapMs = 60000;
constexpr uint32_t kMaxCanIdentifier = 0x1FFFFFFF;

struct Traffic {
  uint8_t dev = 0;
  std::vector<uint8_t> data;
  uint32_t interval_ms = 0;
  uint8_t flags = 0;
};

struct Fault {
  enum Kind : uint8_t { kStall, kUnplug };
  Kind kind = kStall;
  uint32_t ms = 0;
  uint32_t at_ms = 0;  // after start
};

struct Options {
  std::string com_dir;
  uint32_t port = 7;
  std::vector<uint32_t> silent_ports;
  std::vector<Traffic> bus_traffic;
  std::string store_dir;
  std::string ready_file;
  std::string control_path;
  uint32_t serial = 123456;
  uint8_t version_size = 2;
  uint32_t answer_latency_ms = 1;
  uint32_t baud = 0;         // 0: unpaced
  uint32_t split_bytes = 0;  // 0: whole
  uint32_t split_gap_ms = 0;
  std::vector<Fault> faults;
  bool saturate = false;
  Traffic saturate_frame;
  bool refuse_files = false;
  bool log = false;
};

struct Pty {
  int master = -1;
  int slave = -1;  // held open, see the file header
  std::string slave_path;
  std::string link_path;
};

bool parse_unsigned(const std::string& text, int base, uint32_t max, uint32_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool parse_number(const char* text, uint32_t max, uint32_t* out) {
  return text != nullptr && parse_unsigned(text, 0, max, out);
}

// "MS" or "MS@AT", both decimal milliseconds.
bool parse_fault(const char* text, Fault::Kind kind, Fault* out) {
  if (text == nullptr) return false;
  const std::string value = text;
  const size_t at = value.find('@');
  Fault f;
  f.kind = kind;
  if (!parse_unsigned(value.substr(0, at), 10, kMaxFaultMs, &f.ms)) return false;
  if (at != std::string::npos &&
      !parse_unsigned(value.substr(at + 1), 10, kMaxFaultAtMs, &f.at_ms)) {
    return false;
  }
  *out = f;
  return true;
}

// "N:GAP": piece size of at least one byte, gap in milliseconds.
bool parse_split(const char* text, uint32_t* bytes, uint32_t* gap_ms) {
  if (text == nullptr) return false;
  const std::string value = text;
  const size_t colon = value.find(':');
  if (colon == std::string::npos) return false;
  return parse_unsigned(value.substr(0, colon), 10, kMaxSplitBytes, bytes) && *bytes != 0 &&
         parse_unsigned(value.substr(colon + 1), 10, kMaxSplitGapMs, gap_ms);
}

// "D:HEX[:K]": the --bus-traffic form without its interval.
bool parse_saturate(const char* text, Traffic* out) {
  if (text == nullptr) return false;
  std::string value = text;
  const size_t first = value.find(':');
  if (first == std::string::npos) return false;
  const size_t second = value.find(':', first + 1);
  value.insert(second == std::string::npos ? value.size() : second, ":1");
  Traffic t;
  if (!orv::emu::parse_bus_traffic(value, &t.dev, &t.data, &t.interval_ms, &t.flags)) return false;
  *out = std::move(t);
  return true;
}

// Returns -1 to go on, else the exit code.
int parse_options(int argc, char** argv, Options* opt) {
  const char* env_dir = std::getenv("ORVANTA_COM_DIR");
  opt->com_dir = env_dir != nullptr && *env_dir != '\0' ? env_dir : "/dev/orvanta";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint32_t number = 0;
    auto bad = [&](const char* what) {
      std::fprintf(stderr, "orvanta-adapter-sim: %s needs %s\n", arg.c_str(), what);
      return kExitUsage;
    };
    if (arg == "--help") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::puts("orvanta-adapter-sim 1.2.0");
      return kExitOk;
    } else if (arg == "--log") {
      opt->log = true;
    } else if (arg == "--refuse-files") {
      opt->refuse_files = true;
    } else if (arg == "--com-dir" || arg == "--store" || arg == "--ready-file" ||
               arg == "--control") {
      if (value == nullptr || *value == '\0') return bad("a path");
      (arg == "--com-dir"   ? opt->com_dir
       : arg == "--store"   ? opt->store_dir
       : arg == "--control" ? opt->control_path
                            : opt->ready_file) = value;
      ++i;
    } else if (arg == "--port" || arg == "--silent-port") {
      if (!parse_number(value, 1000000, &number) || number == 0) return bad("a port number");
      if (arg == "--port") {
        opt->port = number;
      } else {
        opt->silent_ports.push_back(number);
      }
      ++i;
    } else if (arg == "--bus-traffic") {
      Traffic t;
      if (value == nullptr ||
          !orv::emu::parse_bus_traffic(value, &t.dev, &t.data, &t.interval_ms, &t.flags)) {
        return bad("DEV:HEXBYTES:INTERVAL[:KIND]");
      }
      opt->bus_traffic.push_back(std::move(t));
      ++i;
    } else if (arg == "--saturate") {
      if (!parse_saturate(value, &opt->saturate_frame)) return bad("DEV:HEXBYTES[:KIND]");
      opt->saturate = true;
      ++i;
    } else if (arg == "--stall" || arg == "--unplug") {
      Fault f;
      if (!parse_fault(value, arg == "--stall" ? Fault::kStall : Fault::kUnplug, &f)) {
        return bad("MS[@AT] (milliseconds up to 3600000, AT up to 86400000)");
      }
      opt->faults.push_back(f);
      ++i;
    } else if (arg == "--split") {
      if (!parse_split(value, &opt->split_bytes, &opt->split_gap_ms)) {
        return bad("N:GAP (1 to 65536 bytes, 0 to 60000 ms)");
      }
      ++i;
    } else if (arg == "--serial") {
      if (!parse_number(value, UINT32_MAX, &number)) return bad("a 32-bit number");
      opt->serial = number;
      ++i;
    } else if (arg == "--answer-latency" || arg == "--delay") {
      if (!parse_number(value, kMaxLatencyMs, &number)) return bad("milliseconds from 0 to 60000");
      opt->answer_latency_ms = number;
      ++i;
    } else if (arg == "--baud") {
      if (!parse_number(value, kMaxBaud, &number) || number < 10) {
        return bad("a bit rate of at least 10");
      }
      opt->baud = number;
      ++i;
    } else if (arg == "--version-size") {
      if (!parse_number(value, 255, &number)) return bad("a size from 0 to 255");
      opt->version_size = static_cast<uint8_t>(number);
      ++i;
    } else {
      std::fprintf(stderr, "orvanta-adapter-sim: unknown option %s (see --help)\n", arg.c_str());
      return kExitUsage;
    }
  }
  for (uint32_t silent : opt->silent_ports) {
    if (silent == opt->port) {
      std::fprintf(stderr, "orvanta-adapter-sim: port %u cannot be both adapter and silent\n",
                   silent);
      return kExitUsage;
    }
  }
  return -1;
}

uint64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void close_pty(Pty* pty) {
  if (pty->slave >= 0) close(pty->slave);
  if (pty->master >= 0) close(pty->master);
  pty->slave = -1;
  pty->master = -1;
}

bool open_pty(Pty* pty) {
  pty->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty->master < 0) return false;
  if (grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) return false;
  const char* name = ptsname(pty->master);
  if (name == nullptr) return false;
  pty->slave_path = name;
  fcntl(pty->master, F_SETFL, fcntl(pty->master, F_GETFL) | O_NONBLOCK);
  fcntl(pty->master, F_SETFD, FD_CLOEXEC);
  // Raw once, so bytes pass untouched until the host sets its own mode.
  pty->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->slave < 0) return false;
  termios tio{};
  if (tcgetattr(pty->slave, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(pty->slave, TCSANOW, &tio) == 0;
}

bool make_dir(const std::string& dir) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A stale link of an earlier run is replaced; anything else is left alone.
bool make_link(const std::string& target, const std::string& link) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      errno = EEXIST;
      return false;
    }
    unlink(link.c_str());
  }
  return symlink(target.c_str(), link.c_str()) == 0;
}

void remove_links(const std::vector<Pty>& ptys) {
  for (const Pty& pty : ptys) {
    if (!pty.link_path.empty()) unlink(pty.link_path.c_str());
  }
}

bool write_ready_file(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs("ready\n", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// True when a program accepts connections on the socket at `addr`.
bool socket_in_use(const sockaddr_un& addr) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool live = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return live;
}

// The listening control socket at `path`, created with mode 0600. A stale
// socket of ours is replaced; a live one, or any other file, is left alone.
int open_control(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) {
      errno = EEXIST;
      return -1;
    }
    if (socket_in_use(addr)) {
      errno = EADDRINUSE;
      return -1;
    }
    unlink(path.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const mode_t old_mask = umask(0177);  // the socket is made 0600 at once
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  umask(old_mask);
  if (bound != 0 || listen(fd, 8) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// One direction of a paced line: bytes may pass at `bytes_per_s` (a UART
// carries 10 bits per byte). Unused time is kept for at most 20 ms, about
// what a UART's FIFO holds, so a pause does not turn into a burst.
class LinePace {
 public:
  explicit LinePace(uint32_t baud) : bytes_per_s_(baud / 10) {}
  void set_baud(uint32_t baud) {
    bytes_per_s_ = baud / 10;
    credit_ = 0;
  }
  bool paced() const { return bytes_per_s_ != 0; }
  // Bytes that may pass now (SIZE_MAX when unpaced).
  size_t allowance(uint64_t now_ms) {
    if (bytes_per_s_ == 0) return SIZE_MAX;
    const double cap = bytes_per_s_ * 0.020 + 1;
    const uint64_t elapsed = now_ms > last_ms_ ? now_ms - last_ms_ : 0;
    credit_ = std::min(cap, credit_ + static_cast<double>(elapsed) * (bytes_per_s_ / 1000.0));
    last_ms_ = now_ms;
    return static_cast<size_t>(credit_);
  }
  void take(size_t bytes) {
    if (bytes_per_s_ != 0) credit_ -= static_cast<double>(bytes);
  }

 private:
  uint32_t bytes_per_s_;
  double credit_ = 0;
  uint64_t last_ms_ = 0;
};

void drain(int master) {
  uint8_t buf[4096];
  while (read(master, buf, sizeof buf) > 0) {
  }
}

void log_frame(bool to_host, const orv::emu::Frame& frame) {
  std::fprintf(stderr, "%s %s\n", to_host ? "OUT" : "IN ", orv::emu::describe(frame).c_str());
}

// The identifier of a bus transmit request (op 3, type 5) on a CAN device:
// its first 2 data bytes, or 4 with the 29-bit flag, most significant first.
bool transmit_identifier(const orv::emu::Frame& f, uint32_t* id) {
  namespace dev = orv::emu::dev;
  constexpr uint8_t kTypeBusMessage = 5;
  constexpr uint8_t kFlag29Bit = 0x10;
  const bool can = f.dev == dev::kCan1 || f.dev == dev::kIso15765_1 || f.dev == dev::kCan2 ||
                   f.dev == dev::kIso15765_2;
  if (!can || f.op != orv::emu::op::kWrite || f.type != kTypeBusMessage) return false;
  const size_t id_bytes = (f.flags & kFlag29Bit) != 0 ? 4 : 2;
  if (f.size < id_bytes) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < id_bytes; ++i) value = value << 8 | f.data[i];
  *id = value;
  return true;
}

// The serving loop with its faults and the control socket. The adapter
// port is ptys[0]; the others are silent.
class Server {
 public:
  Server(orv::emu::Adapter& adapter, orv::emu::BusUnit& bus, orv::emu::BusSim& bus_sim,
         std::vector<Pty>& ptys, const Options& opt)
      : adapter_(adapter),
        bus_(bus),
        bus_sim_(bus_sim),
        ptys_(ptys),
        link_path_(ptys[0].link_path),
        in_pace_(opt.baud),
        out_pace_(opt.baud),
        split_bytes_(opt.split_bytes),
        split_gap_ms_(opt.split_gap_ms),
        saturate_(opt.saturate),
        saturate_frame_(opt.saturate_frame),
        saturate_configured_(opt.saturate),
        log_(opt.log) {
    const uint64_t start = monotonic_ms();
    for (const Fault& f : opt.faults) scheduled_.push_back({start + f.at_ms, f});
    adapter_.set_frame_observer([this](bool to_host, const orv::emu::Frame& frame) {
      if (log_) log_frame(to_host, frame);
      uint32_t id = 0;
      if (!to_host && transmit_identifier(frame, &id)) count_transmit(id);
    });
    adapter_.set_desync_observer([](uint8_t byte, uint64_t total) {
      std::fprintf(stderr,
                   "orvanta-adapter-sim: host bytes out of frame from a byte %02X on: dropped "
                   "until a well-formed frame starts (desync bytes so far: %" PRIu64 ")\n",
                   byte, total);
    });
  }

  void set_control(int fd) { listen_fd_ = fd; }
  void run();
  void shut_down();

 private:
  void run_faults(uint64_t now);
  void collect_output(uint64_t now);
  void top_up(uint64_t now);
  bool may_write(uint64_t now);
  void flush_output(uint64_t now);
  void stall(uint64_t now, uint32_t ms);
  void unplug(uint64_t now, uint32_t ms);
  void replug(uint64_t now);
  void count_transmit(uint32_t id);
  void serve_client();
  void flush_client();
  void close_client();
  std::string command(const std::string& line);
  uint32_t connected_channels() const;

  static constexpr size_t kSaturateBacklog = 4096;
  static constexpr size_t kMaxCommandLine = 256;
  static constexpr size_t kMaxClientBacklog = 65536;
  static constexpr size_t kMaxTrackedIdentifiers = 4096;
  static constexpr uint32_t kReplugRetryMs = 100;

  struct Scheduled {
    uint64_t due = 0;
    Fault fault;
  };

  orv::emu::Adapter& adapter_;
  orv::emu::BusUnit& bus_;
  orv::emu::BusSim& bus_sim_;
  std::vector<Pty>& ptys_;
  const std::string link_path_;
  std::vector<Scheduled> scheduled_;
  std::vector<uint8_t> pending_;  // due bytes the pty has not taken yet
  LinePace in_pace_;
  LinePace out_pace_;
  uint32_t split_bytes_;
  uint32_t split_gap_ms_;
  uint64_t next_piece_at_ = 0;
  bool pty_full_ = false;  // the last write found no room
  uint64_t stall_until_ = 0;
  bool unplugged_ = false;
  uint64_t replug_at_ = 0;
  bool saturate_;
  Traffic saturate_frame_;
  bool saturate_configured_;
  bool log_;
  std::map<uint32_t, uint64_t> transmits_;  // bus transmit requests per identifier
  int listen_fd_ = -1;
  int client_fd_ = -1;
  std::string client_in_;
  std::string client_out_;
};

void Server::run() {
  std::vector<pollfd> fds;
  uint8_t buf[4096];
  while (g_stop == 0) {
    uint64_t now = monotonic_ms();
    run_faults(now);
    collect_output(now);
    flush_output(now);

    const bool reading = !unplugged_ && now >= stall_until_;
    const size_t may_take = reading ? std::min(sizeof buf, in_pace_.allowance(now)) : 0;
    const bool sending = may_write(now);
    fds.clear();
    for (size_t i = 0; i < ptys_.size(); ++i) {
      short events = 0;
      if (ptys_[i].master >= 0) {
        ioctl(ptys_[i].slave, TIOCNXCL);
        // A stalled or paced line leaves the host's bytes in the pty.
        if (i != 0 || may_take != 0) events |= POLLIN;
        if (i == 0 && sending) events |= POLLOUT;
      }
      fds.push_back({ptys_[i].master, events, 0});  // -1 while unplugged: ignored
    }
    const size_t control_at = fds.size();
    if (client_fd_ >= 0) {
      fds.push_back(
          {client_fd_, static_cast<short>(POLLIN | (client_out_.empty() ? 0 : POLLOUT)), 0});
    } else {
      fds.push_back({listen_fd_, POLLIN, 0});  // -1 without --control: ignored
    }

    // While bytes wait for a pty with room, the loop turns at once: a pty
    // master's POLLOUT comes late, and the line would lose much of its
    // rate. A full pty holds plenty for the host: then poll waits for room.
    const int ready = poll(fds.data(), fds.size(), sending && !pty_full_ ? 0 : 1);
    if (ready < 0 && errno != EINTR) break;
    bool hung_up = false;
    now = monotonic_ms();
    for (size_t i = 0; i < ptys_.size() && ready > 0; ++i) {
      const short revents = fds[i].revents;
      if ((revents & POLLIN) != 0) {
        if (i == 0) {
          const ssize_t n = read(ptys_[i].master, buf, may_take);
          if (n > 0) {
            in_pace_.take(static_cast<size_t>(n));
            adapter_.on_host_bytes(std::span<const uint8_t>(buf, static_cast<size_t>(n)),
                                   static_cast<uint32_t>(now));
          }
        } else {
          drain(ptys_[i].master);
        }
      } else if ((revents & POLLHUP) != 0) {
        hung_up = true;
      }
      if (i == 0 && (revents & POLLOUT) != 0) flush_output(now);
    }
    if (ready > 0 && fds[control_at].revents != 0) {
      if (client_fd_ >= 0) {
        serve_client();
      } else if (listen_fd_ >= 0) {
        client_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      }
    }
    // Should the slave side ever hang up, poll returns at once: pace the loop.
    if (hung_up) {
      const timespec one_ms{0, 1000000};
      nanosleep(&one_ms, nullptr);
    }
  }
}

void Server::shut_down() {
  close_client();
  for (Pty& pty : ptys_) close_pty(&pty);
}

void Server::run_faults(uint64_t now) {
  for (size_t i = 0; i < scheduled_.size();) {
    if (scheduled_[i].due > now) {
      ++i;
      continue;
    }
    const Fault f = scheduled_[i].fault;
    scheduled_.erase(scheduled_.begin() + static_cast<std::ptrdiff_t>(i));
    if (f.kind == Fault::kStall) {
      stall(now, f.ms);
    } else {
      unplug(now, f.ms);
    }
  }
  if (unplugged_ && now >= replug_at_) replug(now);
}

// Moves the adapter's due bytes to the line; an unplugged adapter has no
// line, and what it would send is lost.
void Server::collect_output(uint64_t now) {
  uint8_t buf[4096];
  while (const size_t n = adapter_.read_host_bytes(buf, static_cast<uint32_t>(now))) {
    if (!unplugged_) pending_.insert(pending_.end(), buf, buf + n);
  }
  if (saturate_ && !unplugged_) top_up(now);
}

// Saturation: the frame is offered whenever fewer than kSaturateBacklog
// bytes wait for the line, so the line, not a queue, sets the rate.
void Server::top_up(uint64_t now) {
  const Traffic& t = saturate_frame_;
  if (!bus_.device(t.dev).connected || !bus_.admits(t.dev, t.data)) return;
  uint8_t buf[4096];
  // Each frame is at least a header long: the bound only guards the loop.
  for (size_t i = 0; i < kSaturateBacklog / orv::emu::kHeaderSize; ++i) {
    if (pending_.size() >= kSaturateBacklog) break;
    bus_.send_bus_frame(t.dev, t.data, t.flags);
    while (const size_t n = adapter_.read_host_bytes(buf, static_cast<uint32_t>(now))) {
      pending_.insert(pending_.end(), buf, buf + n);
    }
  }
}

bool Server::may_write(uint64_t now) {
  return !unplugged_ && !pending_.empty() && now >= next_piece_at_ && out_pace_.allowance(now) != 0;
}

// Writes as much of the pending bytes as the pty, the line's pace and the
// piece splitting take now.
void Server::flush_output(uint64_t now) {
  while (may_write(now)) {
    size_t room = std::min(pending_.size(), out_pace_.allowance(now));
    if (split_bytes_ != 0) room = std::min<size_t>(room, split_bytes_);
    const ssize_t n = write(ptys_[0].master, pending_.data(), room);
    pty_full_ = n <= 0;
    if (n <= 0) return;  // full: poll says when there is room
    out_pace_.take(static_cast<size_t>(n));
    pending_.erase(pending_.begin(), pending_.begin() + n);
    if (split_bytes_ != 0) {
      next_piece_at_ = now + split_gap_ms_;
      if (split_gap_ms_ != 0) return;
    }
  }
}

void Server::stall(uint64_t now, uint32_t ms) {
  stall_until_ = now + ms;
  std::fprintf(stderr, "orvanta-adapter-sim: not reading the host's bytes for %u ms\n", ms);
}

// The adapter is unplugged: the host's port goes away under it and the
// adapter loses power. A later unplug while out moves the replug.
void Server::unplug(uint64_t now, uint32_t ms) {
  replug_at_ = now + ms;
  if (unplugged_) return;
  unplugged_ = true;
  Pty& pty = ptys_[0];
  if (!pty.link_path.empty()) unlink(pty.link_path.c_str());
  pty.link_path.clear();
  close_pty(&pty);
  pending_.clear();
  next_piece_at_ = 0;
  pty_full_ = false;
  adapter_.power_cycle();
  bus_sim_.set_loopback(false);
  std::fprintf(stderr, "orvanta-adapter-sim: %s unplugged for %u ms\n", link_path_.c_str(), ms);
}

void Server::replug(uint64_t now) {
  Pty fresh;
  if (!open_pty(&fresh) || !make_link(fresh.slave_path, link_path_)) {
    std::fprintf(stderr, "orvanta-adapter-sim: cannot plug %s in again: %s\n", link_path_.c_str(),
                 std::strerror(errno));
    close_pty(&fresh);
    replug_at_ = now + kReplugRetryMs;
    return;
  }
  fresh.link_path = link_path_;
  ptys_[0] = fresh;
  unplugged_ = false;
  std::fprintf(stderr, "orvanta-adapter-sim: %s plugged in again -> %s\n", link_path_.c_str(),
               fresh.slave_path.c_str());
}

void Server::count_transmit(uint32_t id) {
  const auto it = transmits_.find(id);
  if (it != transmits_.end()) {
    ++it->second;
  } else if (transmits_.size() < kMaxTrackedIdentifiers) {
    transmits_.emplace(id, 1);
  }
}

uint32_t Server::connected_channels() const {
  namespace dev = orv::emu::dev;
  uint32_t n = 0;
  for (uint8_t d : {dev::kCan1, dev::kIso15765_1, dev::kCan2, dev::kIso15765_2, dev::kKLine}) {
    if (bus_.device(d).connected) ++n;
  }
  return n;
}

// One control command line; returns its answer line (without the newline).
std::string Server::command(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < line.size()) {
    const size_t start = line.find_first_not_of(" \t\r", pos);
    if (start == std::string::npos) break;
    pos = line.find_first_of(" \t\r", start);
    words.push_back(line.substr(start, pos == std::string::npos ? pos : pos - start));
  }
  const std::string verb = words.empty() ? "" : words[0];
  const size_t args = words.empty() ? 0 : words.size() - 1;
  auto arg = [&](size_t i, int base, uint32_t max, uint32_t* out) {
    return parse_unsigned(words[i], base, max, out);
  };
  const uint64_t now = monotonic_ms();
  uint32_t a = 0;
  uint32_t b = 0;
  char text[96];
  if (verb == "stall" && args == 1) {
    if (!arg(1, 10, kMaxFaultMs, &a)) return "error bad argument";
    stall(now, a);
    return "ok";
  }
  if (verb == "unplug" && args == 1) {
    if (!arg(1, 10, kMaxFaultMs, &a)) return "error bad argument";
    unplug(now, a);
    return "ok";
  }
  if (verb == "split" && args == 2) {
    if (!arg(1, 10, kMaxSplitBytes, &a) || !arg(2, 10, kMaxSplitGapMs, &b)) {
      return "error bad argument";
    }
    split_bytes_ = a;
    split_gap_ms_ = a == 0 ? 0 : b;
    next_piece_at_ = 0;
    return "ok";
  }
  if (verb == "delay" && args == 1) {
    if (!arg(1, 10, kMaxLatencyMs, &a)) return "error bad argument";
    adapter_.set_answer_latency(a);
    return "ok";
  }
  if (verb == "baud" && args == 1) {
    if (!arg(1, 10, kMaxBaud, &a) || (a != 0 && a < 10)) return "error bad argument";
    in_pace_.set_baud(a);
    out_pace_.set_baud(a);
    return "ok";
  }
  if (verb == "saturate" && args == 1 && (words[1] == "on" || words[1] == "off")) {
    if (words[1] == "on" && !saturate_configured_) return "error no --saturate frame";
    saturate_ = words[1] == "on";
    return "ok";
  }
  if (verb == "desync" && args == 0) {
    std::snprintf(text, sizeof text, "desync %" PRIu64, adapter_.desync_bytes());
    return text;
  }
  if (verb == "txcount" && args == 1) {
    std::string id = words[1];
    if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X')) id.erase(0, 2);
    if (!parse_unsigned(id, 16, kMaxCanIdentifier, &a)) return "error bad argument";
    const auto it = transmits_.find(a);
    std::snprintf(text, sizeof text, "txcount %" PRIu64, it == transmits_.end() ? 0 : it->second);
    return text;
  }
  if (verb == "state" && args == 0) {
    std::snprintf(text, sizeof text, "connected %u unplugged %d desync %" PRIu64 " frames %" PRIu64,
                  connected_channels(), unplugged_ ? 1 : 0, adapter_.desync_bytes(),
                  adapter_.frames_received());
    return text;
  }
  return "error unknown command";
}

// Reads what the client sent and answers every whole line. A line longer
// than any command, or a client that does not read its answers, is
// dropped.
void Server::serve_client() {
  char buf[512];
  const ssize_t n = read(client_fd_, buf, sizeof buf);
  const bool ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  if (n > 0) client_in_.append(buf, static_cast<size_t>(n));
  size_t newline = 0;
  while ((newline = client_in_.find('\n')) != std::string::npos) {
    const std::string line = client_in_.substr(0, newline);
    client_in_.erase(0, newline + 1);
    client_out_ += command(line) + "\n";
  }
  if (client_in_.size() > kMaxCommandLine) {
    close_client();
    return;
  }
  flush_client();
  if (ended) close_client();
}

void Server::flush_client() {
  while (client_fd_ >= 0 && !client_out_.empty()) {
    const ssize_t n = send(client_fd_, client_out_.data(), client_out_.size(), MSG_NOSIGNAL);
    if (n > 0) {
      client_out_.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      break;
    } else {
      close_client();
      return;
    }
  }
  if (client_out_.size() > kMaxClientBacklog) close_client();
}

void Server::close_client() {
  if (client_fd_ >= 0) close(client_fd_);
  client_fd_ = -1;
  client_in_.clear();
  client_out_.clear();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int code = parse_options(argc, argv, &opt); code >= 0) return code;

  orv::emu::Adapter adapter;
  // Keeps what the host tells the bus devices; units added later are asked first.
  orv::emu::BusUnit& bus = orv::emu::add_bus_unit(adapter);
  for (Traffic& t : opt.bus_traffic)
    bus.add_traffic(t.dev, std::move(t.data), t.interval_ms, t.flags);
  // The vehicle behind the adapter: asked before the bus unit, which still
  // sees every setup and filter frame.
  orv::emu::BusSim& bus_sim = orv::emu::add_bus_sim(adapter).bus;
  // Analogue and digital lines, memory, security, clock, display, and the
  // K-line ECU's five-baud key bytes.
  orv::emu::add_service_units(adapter);
  orv::emu::add_kline_init_unit(adapter);
  adapter.system().set_serial_number(opt.serial);
  adapter.system().set_version_size(opt.version_size);
  adapter.set_answer_latency(opt.answer_latency_ms);
  adapter.files().set_refuse_write_open(opt.refuse_files);
  if (!opt.store_dir.empty() && !adapter.files().set_store_dir(opt.store_dir)) {
    std::fprintf(stderr, "orvanta-adapter-sim: cannot use store directory %s\n",
                 opt.store_dir.c_str());
    return kExitStore;
  }

  std::vector<uint32_t> ports{opt.port};
  ports.insert(ports.end(), opt.silent_ports.begin(), opt.silent_ports.end());
  std::vector<Pty> ptys(ports.size());
  for (Pty& pty : ptys) {
    if (!open_pty(&pty)) {
      std::fprintf(stderr, "orvanta-adapter-sim: cannot set up a pseudo-terminal: %s\n",
                   std::strerror(errno));
      return kExitPty;
    }
  }
  if (!make_dir(opt.com_dir)) {
    std::fprintf(stderr, "orvanta-adapter-sim: cannot create link directory %s: %s\n",
                 opt.com_dir.c_str(), std::strerror(errno));
    return kExitLinks;
  }
  for (size_t i = 0; i < ptys.size(); ++i) {
    const std::string link = opt.com_dir + "/com" + std::to_string(ports[i]);
    if (!make_link(ptys[i].slave_path, link)) {
      std::fprintf(stderr, "orvanta-adapter-sim: cannot create link %s: %s\n", link.c_str(),
                   std::strerror(errno));
      remove_links(ptys);
      return kExitLinks;
    }
    ptys[i].link_path = link;
    if (opt.log) {
      std::fprintf(stderr, "%s -> %s%s\n", link.c_str(), ptys[i].slave_path.c_str(),
                   i == 0 ? "" : " (silent)");
    }
  }

  int control = -1;
  if (!opt.control_path.empty() && (control = open_control(opt.control_path)) < 0) {
    std::fprintf(stderr, "orvanta-adapter-sim: cannot create control socket %s: %s\n",
                 opt.control_path.c_str(), std::strerror(errno));
    remove_links(ptys);
    return kExitControl;
  }

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Server server(adapter, bus, bus_sim, ptys, opt);
  server.set_control(control);
  if (!opt.ready_file.empty() && !write_ready_file(opt.ready_file)) {
    std::fprintf(stderr, "orvanta-adapter-sim: cannot write ready file %s\n",
                 opt.ready_file.c_str());
    remove_links(ptys);
    if (control >= 0) unlink(opt.control_path.c_str());
    return kExitLinks;
  }

  server.run();

  remove_links(ptys);
  if (control >= 0) {
    close(control);
    unlink(opt.control_path.c_str());
  }
  adapter.files().flush();
  server.shut_down();
  std::fprintf(stderr, "desync bytes: %" PRIu64 "\n", adapter.desync_bytes());
  return kExitOk;
}
