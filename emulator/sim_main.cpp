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
// Failure reporting: messages on stderr and the exit codes of --help.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
    "  --version-size S    data bytes of the version answer: 2 (default), 4,\n"
    "                      another size for a malformed answer, 0 for no answer\n"
    "  --refuse-files      refuse every open of a file for writing\n"
    "  --baud N            pace the line like a UART at N baud: take and send at\n"
    "                      most N/10 bytes per second each way (default: unpaced)\n"
    "  --bus-traffic D:HEX:MS  send bus frame HEX (data bytes in hex) from device D\n"
    "                      (10, 20, 30, 40 or 90) every MS milliseconds while that\n"
    "                      device's channel is connected and a filter admits it\n"
    "                      (repeatable)\n"
    "  --log               print every frame received (IN) and sent (OUT) on stderr\n"
    "  --ready-file PATH   write \"ready\\n\" to PATH once the links exist\n"
    "  --version           print the program version and exit\n"
    "  --help              print this text and exit\n"
    "\n"
    "Stops on SIGINT or SIGTERM: removes its links and writes the store.\n"
    "\n"
    "Exit codes:\n"
    "  0  stopped by a signal (or --help, --version)\n"
    "  1  bad command line\n"
    "  2  the store directory cannot be made or read\n"
    "  3  the link directory, a link or the ready file cannot be created\n"
    "  4  no pseudo-terminal could be set up\n";

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
  g_stop = 1;
}

struct Options {
  std::string com_dir;
  uint32_t port = 7;
  std::vector<uint32_t> silent_ports;
  struct Traffic {
    uint8_t dev = 0;
    std::vector<uint8_t> data;
    uint32_t interval_ms = 0;
  };
  std::vector<Traffic> bus_traffic;
  std::string store_dir;
  std::string ready_file;
  uint32_t serial = 123456;
  uint8_t version_size = 2;
  uint32_t answer_latency_ms = 1;
  uint32_t baud = 0;  // 0: unpaced
  bool refuse_files = false;
  bool log = false;
};

struct Pty {
  int master = -1;
  int slave = -1;  // held open, see the file header
  std::string slave_path;
  std::string link_path;
};

bool parse_number(const char* text, uint32_t max, uint32_t* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = static_cast<uint32_t>(value);
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
    } else if (arg == "--com-dir" || arg == "--store" || arg == "--ready-file") {
      if (value == nullptr || *value == '\0') return bad("a path");
      (arg == "--com-dir" ? opt->com_dir
       : arg == "--store" ? opt->store_dir
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
      Options::Traffic t;
      if (value == nullptr ||
          !orv::emu::parse_bus_traffic(value, &t.dev, &t.data, &t.interval_ms)) {
        return bad("DEV:HEXBYTES:INTERVAL");
      }
      opt->bus_traffic.push_back(std::move(t));
      ++i;
    } else if (arg == "--serial") {
      if (!parse_number(value, UINT32_MAX, &number)) return bad("a 32-bit number");
      opt->serial = number;
      ++i;
    } else if (arg == "--answer-latency") {
      if (!parse_number(value, 60000, &number)) return bad("milliseconds from 0 to 60000");
      opt->answer_latency_ms = number;
      ++i;
    } else if (arg == "--baud") {
      if (!parse_number(value, 100000000, &number) || number < 10) {
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

uint32_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
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

// One direction of a paced line: bytes may pass at `bytes_per_s` (a UART
// carries 10 bits per byte). Unused time is kept for at most 20 ms, about
// what a UART's FIFO holds, so a pause does not turn into a burst.
class LinePace {
 public:
  explicit LinePace(uint32_t baud) : bytes_per_s_(baud / 10) {}
  // Bytes that may pass now (SIZE_MAX when unpaced).
  size_t allowance(uint32_t now_ms) {
    if (bytes_per_s_ == 0) return SIZE_MAX;
    const double cap = bytes_per_s_ * 0.020 + 1;
    credit_ = std::min(cap, credit_ + (now_ms - last_ms_) * (bytes_per_s_ / 1000.0));
    last_ms_ = now_ms;
    return static_cast<size_t>(credit_);
  }
  void take(size_t bytes) {
    if (bytes_per_s_ != 0) credit_ -= static_cast<double>(bytes);
  }

 private:
  uint32_t bytes_per_s_;
  double credit_ = 0;
  uint32_t last_ms_ = 0;
};

// Writes as much of `pending` as the pty and the line's pace take now.
void flush_output(int master, std::vector<uint8_t>& pending, LinePace& pace, uint32_t now) {
  while (!pending.empty()) {
    const size_t room = std::min(pending.size(), pace.allowance(now));
    if (room == 0) return;
    const ssize_t n = write(master, pending.data(), room);
    if (n <= 0) return;  // full, or no slave side: try again next turn
    pace.take(static_cast<size_t>(n));
    pending.erase(pending.begin(), pending.begin() + n);
  }
}

void drain(int master) {
  uint8_t buf[4096];
  while (read(master, buf, sizeof buf) > 0) {
  }
}

void serve(orv::emu::Adapter& adapter, std::vector<Pty>& ptys, uint32_t baud) {
  std::vector<uint8_t> pending;
  std::vector<pollfd> fds(ptys.size());
  uint8_t buf[4096];
  LinePace in_pace(baud), out_pace(baud);
  while (g_stop == 0) {
    const size_t may_take = std::min(sizeof buf, in_pace.allowance(monotonic_ms()));
    for (size_t i = 0; i < ptys.size(); ++i) {
      ioctl(ptys[i].slave, TIOCNXCL);
      // A paced line leaves the host's bytes in the pty until it may take them.
      fds[i] = {ptys[i].master, static_cast<short>(i != 0 || may_take != 0 ? POLLIN : 0), 0};
    }
    const int64_t next = adapter.ms_until_next_output(monotonic_ms());
    const bool can_send =
        !pending.empty() && (baud == 0 || out_pace.allowance(monotonic_ms()) != 0);
    const int timeout = (baud == 0 ? pending.empty() : !can_send) && next != 0 ? 1 : 0;
    const int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) break;
    bool hung_up = false;
    for (size_t i = 0; i < ptys.size() && ready > 0; ++i) {
      if ((fds[i].revents & POLLIN) != 0) {
        if (i == 0) {
          const ssize_t n = read(ptys[i].master, buf, may_take);
          if (n > 0) {
            in_pace.take(static_cast<size_t>(n));
            adapter.on_host_bytes(std::span<const uint8_t>(buf, static_cast<size_t>(n)),
                                  monotonic_ms());
          }
        } else {
          drain(ptys[i].master);
        }
      } else if ((fds[i].revents & POLLHUP) != 0) {
        hung_up = true;
      }
    }
    const uint32_t now = monotonic_ms();
    while (const size_t n = adapter.read_host_bytes(buf, now)) {
      pending.insert(pending.end(), buf, buf + n);
    }
    flush_output(ptys[0].master, pending, out_pace, now);
    // Should the slave side ever hang up, poll returns at once: pace the loop.
    if (hung_up) {
      const timespec one_ms{0, 1000000};
      nanosleep(&one_ms, nullptr);
    }
  }
}

void log_frame(bool to_host, const orv::emu::Frame& frame) {
  std::fprintf(stderr, "%s %s\n", to_host ? "OUT" : "IN ", orv::emu::describe(frame).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int code = parse_options(argc, argv, &opt); code >= 0) return code;

  orv::emu::Adapter adapter;
  // Keeps what the host tells the bus devices; units added later are asked first.
  orv::emu::BusUnit& bus = orv::emu::add_bus_unit(adapter);
  for (Options::Traffic& t : opt.bus_traffic)
    bus.add_traffic(t.dev, std::move(t.data), t.interval_ms);
  // The vehicle behind the adapter: asked before the bus unit, which still
  // sees every setup and filter frame.
  orv::emu::add_bus_sim(adapter);
  // Analogue and digital lines, memory, security, clock, display, and the
  // K-line ECU's five-baud key bytes.
  orv::emu::add_service_units(adapter);
  orv::emu::add_kline_init_unit(adapter);
  adapter.system().set_serial_number(opt.serial);
  adapter.system().set_version_size(opt.version_size);
  adapter.set_answer_latency(opt.answer_latency_ms);
  adapter.files().set_refuse_write_open(opt.refuse_files);
  if (opt.log) adapter.set_frame_observer(log_frame);
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

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!opt.ready_file.empty() && !write_ready_file(opt.ready_file)) {
    std::fprintf(stderr, "orvanta-adapter-sim: cannot write ready file %s\n",
                 opt.ready_file.c_str());
    remove_links(ptys);
    return kExitLinks;
  }

  serve(adapter, ptys, opt.baud);

  remove_links(ptys);
  adapter.files().flush();
  for (const Pty& pty : ptys) {
    close(pty.slave);
    close(pty.master);
  }
  return kExitOk;
}
