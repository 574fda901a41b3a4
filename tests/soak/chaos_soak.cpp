// chaos_soak: several host threads use the pass-thru library at once against
// orvanta-adapter-sim while faults are injected through the simulator's
// control socket (stalls, unplug and replug, split and delayed answers, a
// slow line). It checks invariants and prints one table; see
// docs/RELIABILITY.md. POSIX only: it starts the simulator as a child process.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orvanta_j2534.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr char kHelp[] =
    "Usage: chaos_soak [--seconds N] [--seed S] [--sim PATH] [--com-dir DIR] [--verbose]\n"
    "Runs host threads on the pass-thru library against orvanta-adapter-sim for N\n"
    "seconds (default 60, at least 6) while injecting faults chosen from seed S\n"
    "(default: from the clock; printed) through the simulator's control socket.\n"
    "--sim names the simulator (default: the one built with this program),\n"
    "--com-dir the directory for its com7 link (default: a private temporary one),\n"
    "--verbose prints every failed call with the library's error text.\n"
    "Exit codes: 0 no invariant violated, 1 violations (listed), 2 bad usage.\n";
constexpr int64_t kStuckMs = 17000, kRecoveryMs = 2000, kWarmupMs = 2000, kRssMargin = 16 << 20;
constexpr int kFdMargin = 2;
constexpr uint32_t kVbattMv = 12340, kTrafficId = 0x123, kWriterId = 0x6F0, kPeriodicId = 0x6F1;
const Bytes kTrafficData{0xA5, 0x5A, 0x00, 0x01, 0xC0, 0xDE};
constexpr char kTraffic[] = "10:0123A55A0001C0DE:20";
constexpr char kVin[] = "1ORV4NTA0SIM12345";

const auto g_t0 = std::chrono::steady_clock::now();
int64_t Now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now() - g_t0).count();
}
double Sec(int64_t ms) {
  return static_cast<double>(ms) / 1000;
}
std::string Fixed(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", Sec(ms));
  return text;
}
void SleepMs(int64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) s += (std::snprintf(b, sizeof b, "%02X ", p[i]), b);
  return s;
}

struct Worker;
bool g_verbose = false;  // --verbose: every failed call with its error text
pid_t g_sim = -1;        // the simulator, ended also when the watchdog ends the run
std::mutex g_mutex;      // guards the violation list and every Worker's counters
std::map<std::string, std::pair<int, std::string>> g_violations;  // invariant -> count, first
void Violate(const std::string& invariant, Worker* w, const std::string& detail);

// One host thread: its counters, the call it is in (for the watchdog) and its
// recovery after the last replug.
struct Worker {
  const char* name;
  std::atomic<int64_t> call_start{-1};
  std::atomic<const char*> call_name{""};
  int64_t calls = 0, ok = 0, violations = 0, last_start = -1, last_end = 0;
  std::map<int32_t, int64_t> statuses;
  std::vector<int64_t> recoveries;
  int64_t replug_at = -1;  // pending recovery: a success starting after this ends it
  bool judged = false;

  int32_t Call(const char* what, const std::function<int32_t()>& call) {
    call_name = what;
    const int64_t start = Now();
    call_start = start;
    const int32_t rc = call();
    call_start = -1;
    if (g_verbose && rc != 0 && rc != static_cast<int32_t>(ERR_BUFFER_EMPTY)) {
      char text[80] = "";
      PassThruGetLastError(text);
      std::fprintf(stderr, "%8.3f s  %s: %s returned 0x%02X after %lld ms: %s\n", Sec(Now()), name,
                   what, static_cast<unsigned>(rc), static_cast<long long>(Now() - start), text);
    }
    std::lock_guard lock(g_mutex);
    ++calls;
    ++statuses[rc];
    last_start = start;
    last_end = Now();
    return rc;
  }
  // The last call finished a unit of work correctly that began at `since`.
  void Success(int64_t since) {
    int64_t late = -1;
    {
      std::lock_guard lock(g_mutex);
      ++ok;
      if (replug_at < 0 || since < replug_at) return;
      recoveries.push_back(late = last_end - replug_at);
      if (judged || late <= kRecoveryMs) late = -1;
      replug_at = -1;
    }
    if (late >= 0)
      Violate("recovery", this, "first success " + std::to_string(late) + " ms after the replug");
  }
};

void Violate(const std::string& invariant, Worker* w, const std::string& detail) {
  const std::string where = w != nullptr ? w->name : "soak";
  std::fprintf(stderr, "VIOLATION %s [%s] at %.3f s: %s\n", invariant.c_str(), where.c_str(),
               Sec(Now()), detail.c_str());
  std::lock_guard lock(g_mutex);
  auto& v = g_violations[invariant];
  if (v.first++ == 0) v.second = where + ": " + detail;
  if (w != nullptr) ++w->violations;
}

// The simulator's control socket: one line out, one line back.
class Control {
 public:
  explicit Control(std::string path) : path_(std::move(path)) {}
  ~Control() {
    if (fd_ >= 0) close(fd_);
  }
  std::string Ask(const std::string& command) {
    if (fd_ < 0 && !Connect()) return "";
    const std::string line = command + "\n";
    std::string answer;
    char c = 0;
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      while (recv(fd_, &c, 1, 0) == 1 && c != '\n') answer += c;
    }
    if (c != '\n') close(std::exchange(fd_, -1));
    return answer;
  }
  // The number after `key` in the answer to `command`, -1 when absent.
  int64_t Number(const std::string& command, const std::string& key) {
    const std::string a = " " + Ask(command) + " ";
    const size_t at = a.find(" " + key + " ");
    return at == std::string::npos ? -1 : std::atoll(a.c_str() + at + key.size() + 2);
  }
  void Expect(const std::string& command) {
    if (const std::string a = Ask(command); a != "ok") {
      Violate("control", nullptr, "'" + command + "' was answered '" + a + "'");
    }
  }

 private:
  bool Connect() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
    if (fd_ >= 0) close(std::exchange(fd_, -1));
    return false;
  }
  std::string path_;
  int fd_ = -1;
};

// Threads run while the phase is kRun, wait between calls at kPark, end at kStop.
enum Phase { kRun, kPark, kStop };
std::atomic<int> g_phase{kRun}, g_parked{0};
bool Go() {
  if (g_phase == kPark) {
    ++g_parked;
    while (g_phase == kPark) SleepMs(5);
    --g_parked;
  }
  return g_phase != kStop;
}

struct Setup {
  uint32_t device = 0, iso = 0, can = 0;
  uint64_t seed = 0;
  std::string dir;
  int64_t can_written = 0;  // writer's status-0 writes of 0x6F0
};

std::unique_ptr<PASSTHRU_MSG> Msg(uint32_t protocol, uint32_t id, const Bytes& data) {
  auto m = std::make_unique<PASSTHRU_MSG>();
  *m = {};
  m->ProtocolID = protocol;
  m->TxFlags = protocol == ISO15765 ? ISO15765_FRAME_PAD : 0;
  const Bytes all{0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
  std::copy(all.begin(), all.end(), m->Data);
  std::copy(data.begin(), data.end(), m->Data + 4);
  m->DataSize = static_cast<uint32_t>(4 + data.size());
  return m;
}

bool Same(const PASSTHRU_MSG& got, const PASSTHRU_MSG& want) {
  return got.DataSize == want.DataSize && std::memcmp(got.Data, want.Data, got.DataSize) == 0;
}

// (a) 09 02 and 22 F1 90 in turn; every answer read must be this request's,
// or a late one of the previous request when that went unanswered.
void VinReader(Worker& w, Setup& s) {
  const Bytes vin(kVin, kVin + 17);
  const Bytes requests[2] = {{0x09, 0x02}, {0x22, 0xF1, 0x90}};
  std::unique_ptr<PASSTHRU_MSG> answers[2] = {Msg(ISO15765, 0x7E8, {0x49, 0x02, 0x01}),
                                              Msg(ISO15765, 0x7E8, {0x62, 0xF1, 0x90})};
  for (auto& a : answers) {
    std::copy(vin.begin(), vin.end(), a->Data + a->DataSize);
    a->DataSize += 17;
  }
  auto m = std::make_unique<PASSTHRU_MSG>();
  bool unanswered = false;
  for (int k = 0; Go(); ++k) {
    const int64_t since = Now();
    const int which = k % 2;
    *m = *Msg(ISO15765, 0x7E0, requests[which]);
    uint32_t n = 1;
    if (w.Call("WriteMsgs", [&] { return PassThruWriteMsgs(s.iso, m.get(), &n, 1000); }) != 0) {
      unanswered = true;
      SleepMs(20);
      continue;
    }
    bool answered = false;
    for (int r = 0; r < 4 && !answered; ++r) {
      n = 1;
      if (w.Call("ReadMsgs", [&] { return PassThruReadMsgs(s.iso, m.get(), &n, 500); }) != 0 ||
          n != 1 || (m->RxStatus & (START_OF_MESSAGE | TX_MSG_TYPE | TX_INDICATION)) != 0) {
        continue;
      }
      if (Same(*m, *answers[which])) {
        answered = true;
        w.Success(since);
      } else if (!unanswered || !Same(*m, *answers[1 - which])) {
        Violate("vin", &w,
                "request " + Hex(requests[which].data(), requests[which].size()) + "answered " +
                    Hex(m->Data, std::min<size_t>(m->DataSize, 32)));
      }
    }
    unanswered = !answered;
  }
}

// (b) READ_VBATT: the simulator's battery voltage never changes.
void Vbatt(Worker& w, Setup& s) {
  while (Go()) {
    const int64_t since = Now();
    uint32_t mv = 0;
    if (w.Call("Ioctl(READ_VBATT)",
               [&] { return PassThruIoctl(s.device, READ_VBATT, nullptr, &mv); }) == 0) {
      if (mv == kVbattMv) w.Success(since);
      if (mv != kVbattMv) Violate("vbatt", &w, std::to_string(mv) + " mV");
    }
    SleepMs(20);
  }
}

// (c) Reads the simulator's bus traffic (0x123 every 20 ms) with Timeout 0.
void CanReader(Worker& w, Setup& s) {
  std::vector<PASSTHRU_MSG> got(8);
  const auto want = Msg(CAN, kTrafficId, kTrafficData);
  while (Go()) {
    const int64_t since = Now();
    uint32_t n = 8;
    const int32_t rc =
        w.Call("ReadMsgs", [&] { return PassThruReadMsgs(s.can, got.data(), &n, 0); });
    for (uint32_t i = 0; rc == 0 && i < n && i < 8; ++i) {
      if (!Same(got[i], *want) || got[i].ProtocolID != CAN || (got[i].RxStatus & TX_MSG_TYPE)) {
        Violate("can-rx", &w, "read " + Hex(got[i].Data, std::min<size_t>(got[i].DataSize, 16)));
      }
    }
    if (rc == 0 && n > 0) w.Success(since);
    SleepMs(2);
  }
}

// (d) Starts and stops a periodic 0x6F1 message now and then.
void Periodic(Worker& w, Setup& s) {
  std::mt19937_64 rng(s.seed ^ 0x9E71);
  uint32_t id = 0;
  bool running = false;
  while (Go()) {
    const int64_t since = Now();
    int32_t rc = 0;
    if (!running) {
      auto m = Msg(CAN, kPeriodicId, {1, 2, 3, 4, 5, 6, 7, 8});
      const uint32_t interval = 50 + static_cast<uint32_t>(rng() % 450);
      rc = w.Call("StartPeriodicMsg",
                  [&] { return PassThruStartPeriodicMsg(s.can, m.get(), &id, interval); });
      running = rc == 0;
    } else {
      rc = w.Call("StopPeriodicMsg", [&] { return PassThruStopPeriodicMsg(s.can, id); });
      running = rc != 0 && rc != static_cast<int32_t>(ERR_INVALID_MSG_ID);
    }
    if (rc == 0) w.Success(since);
    for (int64_t end = Now() + 100 + static_cast<int64_t>(rng() % 700); Now() < end && Go();) {
      SleepMs(20);
    }
  }
  if (running) w.Call("StopPeriodicMsg", [&] { return PassThruStopPeriodicMsg(s.can, id); });
}

// (e) Writes 0x6F0 frames and counts those reported sent.
void CanWriter(Worker& w, Setup& s) {
  for (uint32_t k = 0; Go(); ++k) {
    const int64_t since = Now();
    auto m = Msg(CAN, kWriterId, {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)});
    uint32_t n = 1;
    const bool sent =
        w.Call("WriteMsgs", [&] { return PassThruWriteMsgs(s.can, m.get(), &n, 100); }) == 0;
    if (sent && n != 1) Violate("can-tx", &w, "status 0 with " + std::to_string(n) + " of 1 sent");
    if (sent && n == 1) {
      {
        std::lock_guard lock(g_mutex);
        ++s.can_written;
      }
      w.Success(since);
    }
    SleepMs(10);
  }
}

// (f) Copies random files of 1 byte to 200 kB into the store and back.
void FileStore(Worker& w, Setup& s) {
  std::mt19937_64 rng(s.seed ^ 0xF11E);
  const std::string out = s.dir + "/out.bin", back = s.dir + "/back.bin";
  bool small = true;  // the first file, and the next one after a failure
  for (int k = 0; Go(); ++k) {
    const int64_t since = Now();
    const size_t size =
        k == 1  ? 200000
        : small ? 1 + rng() % 4096
                : static_cast<size_t>(
                      std::exp(std::log(200000.0) * static_cast<double>(rng() % 1000) / 999));
    Bytes data(k == 0 ? 1 : size);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<char*>(data.data()), data.size());
    std::string stored = "SOAK" + std::to_string(k % 4 + 1) + ".BIN", pc = out, bk = back;
    std::filesystem::remove(back);
    small = true;
    if (w.Call("WriteFile", [&] { return PassThruWriteFile(pc.data(), stored.data(), 0); }) != 0 ||
        w.Call("ReadFile", [&] { return PassThruReadFile(bk.data(), stored.data(), 0); }) != 0) {
      SleepMs(20);
      continue;
    }
    std::ifstream in(back, std::ios::binary);
    const Bytes came((std::istreambuf_iterator<char>(in)), {});
    const auto diff = std::mismatch(data.begin(), data.end(), came.begin(), came.end());
    if (diff.first != data.end() || diff.second != came.end()) {
      Violate("file", &w,
              stored + ": " + std::to_string(data.size()) + " bytes went, " +
                  std::to_string(came.size()) + " came back, first difference at " +
                  std::to_string(diff.first - data.begin()));
    } else {
      small = false;
      w.Success(since);
    }
  }
}

int64_t Rss() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}
int Fds() {
  using std::filesystem::directory_iterator;
  return static_cast<int>(std::distance(directory_iterator("/proc/self/fd"), directory_iterator{}));
}

std::string Median(std::vector<int64_t> v) {
  if (v.empty()) return "-";
  std::sort(v.begin(), v.end());
  return std::to_string(v.front()) + "/" + std::to_string(v[v.size() / 2]) + "/" +
         std::to_string(v.back());
}

void PrintTable(const std::vector<std::unique_ptr<Worker>>& workers) {
  std::lock_guard lock(g_mutex);
  std::printf("\n%-10s %8s %8s %-32s %5s  %s\n", "thread", "calls", "ok", "other statuses (code:n)",
              "viol", "recovery ms min/med/max (n)");
  for (auto& w : workers) {
    std::string other;
    for (auto [code, n] : w->statuses) {
      char item[32];
      std::snprintf(item, sizeof item, "0x%02X:%lld ", static_cast<unsigned>(code),
                    static_cast<long long>(n));
      if (code != 0) other += item;
    }
    std::printf("%-10s %8lld %8lld %-32s %5lld  %s (%zu)\n", w->name,
                static_cast<long long>(w->calls), static_cast<long long>(w->ok),
                other.empty() ? "-" : other.c_str(), static_cast<long long>(w->violations),
                Median(w->recoveries).c_str(), w->recoveries.size());
  }
  std::printf("\ninvariant violations: %s\n", g_violations.empty() ? "none" : "");
  for (auto& [name, v] : g_violations) {
    std::printf("  %-9s %5d  first: %s\n", name.c_str(), v.first, v.second.c_str());
  }
}

// Calls that run longer than kStuckMs end the run: names, stacks, exit 1.
void Watchdog(std::vector<std::unique_ptr<Worker>>& workers, std::atomic<bool>& done) {
  while (!done) {
    SleepMs(200);
    std::string stuck;
    for (auto& w : workers) {
      const int64_t start = w->call_start;
      if (start >= 0 && Now() - start > kStuckMs) {
        stuck += std::string(" ") + w->name + " in " + w->call_name.load() + " since " +
                 Fixed(start) + " s;";
      }
    }
    if (stuck.empty()) continue;
    Violate("stuck", nullptr, "calls over 17 s:" + stuck);
    const std::string gdb = "command -v gdb >/dev/null && gdb -p " + std::to_string(getpid()) +
                            " -batch -ex 'thread apply all bt' 1>&2";
    if (std::system(gdb.c_str()) != 0) std::fprintf(stderr, "(no thread stacks: gdb failed)\n");
    PrintTable(workers);
    if (g_sim > 0) kill(g_sim, SIGINT);
    std::fflush(nullptr);
    _exit(1);
  }
}

struct Args {
  int64_t seconds = 60;
  uint64_t seed = 0;
  std::string sim = ORV_SIM_PATH, com_dir;
};

int ParseArgs(int argc, char** argv, Args* a) {
  a->seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") return std::fputs(kHelp, stdout), 0;
    if (arg == "--verbose") {
      g_verbose = true;
      continue;
    }
    char* end = nullptr;
    const char* value = i + 1 < argc ? argv[++i] : "";
    if (arg == "--seconds") a->seconds = std::strtoll(value, &end, 10);
    if (arg == "--seed") a->seed = std::strtoull(value, &end, 10);
    if (arg == "--sim") a->sim = value;
    if (arg == "--com-dir") a->com_dir = value;
    const bool number = arg == "--seconds" || arg == "--seed";
    if ((number && (end == value || *end != '\0')) || *value == '\0' ||
        (arg != "--sim" && arg != "--com-dir" && !number) || a->seconds < 6) {
      std::fprintf(stderr, "chaos_soak: bad argument %s\n%s", arg.c_str(), kHelp);
      return 2;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (const int code = ParseArgs(argc, argv, &args); code >= 0) return code;
  std::printf("chaos_soak: seed %llu (repeat with --seed %llu), %lld s\n",
              static_cast<unsigned long long>(args.seed),
              static_cast<unsigned long long>(args.seed), static_cast<long long>(args.seconds));
  std::fflush(stdout);
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);  // lets the watchdog's gdb attach
  std::string dir = (std::filesystem::temp_directory_path() / "orv-soak-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return std::perror("mkdtemp"), 1;
  const std::string com = args.com_dir.empty() ? dir + "/com" : args.com_dir;
  const std::string ready = dir + "/ready", control = dir + "/control", log = dir + "/sim.log";

  // The simulator, its standard error in sim.log.
  std::vector<std::string> sim_args{args.sim, "--com-dir",     com,     "--port",
                                    "7",      "--control",     control, "--ready-file",
                                    ready,    "--bus-traffic", kTraffic};
  std::vector<char*> sim_argv;
  for (auto& a : sim_args) sim_argv.push_back(a.data());
  sim_argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t& sim = g_sim;
  const int spawned =
      posix_spawn(&sim, args.sim.c_str(), &actions, nullptr, sim_argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; spawned == 0 && i < 2000 && !std::filesystem::exists(ready); ++i) {
    if (waitpid(sim, nullptr, WNOHANG) == sim) break;  // it refused its arguments
    SleepMs(10);
  }
  setenv("ORVANTA_COM_DIR", com.c_str(), 1);

  Setup s{.seed = args.seed, .dir = dir};
  Control ctl(control);
  auto m = [](uint32_t p, uint32_t id) { return Msg(p, id, {}); };
  auto mask = m(ISO15765, 0x7FF), pattern = m(ISO15765, 0x7E8), flow = m(ISO15765, 0x7E0);
  auto can_mask = m(CAN, 0x7FF), can_pattern = m(CAN, kTrafficId);
  uint32_t f1 = 0, f2 = 0;
  const std::vector<std::pair<const char*, std::function<int32_t()>>> setup{
      {"PassThruOpen", [&] { return PassThruOpen(const_cast<char*>("COM7"), &s.device); }},
      {"Connect ISO15765", [&] { return PassThruConnect(s.device, ISO15765, 0, 500000, &s.iso); }},
      {"Connect CAN", [&] { return PassThruConnect(s.device, CAN, 0, 500000, &s.can); }},
      {"flow-control filter",
       [&] {
         return PassThruStartMsgFilter(s.iso, FLOW_CONTROL_FILTER, mask.get(), pattern.get(),
                                       flow.get(), &f1);
       }},
      {"pass filter",
       [&] {
         return PassThruStartMsgFilter(s.can, PASS_FILTER, can_mask.get(), can_pattern.get(),
                                       nullptr, &f2);
       }},
  };
  bool ready_ok = spawned == 0 && std::filesystem::exists(ready);
  if (!ready_ok) Violate("setup", nullptr, "the simulator did not start; see " + log);
  if (ready_ok && ctl.Ask("state").rfind("connected", 0) != 0) {
    Violate("setup", nullptr, "the control socket does not answer 'state'; see " + log);
    ready_ok = false;
  }
  for (size_t i = 0; ready_ok && i < setup.size(); ++i) {
    if (const int32_t rc = setup[i].second(); rc != 0) {
      Violate("setup", nullptr, std::string(setup[i].first) + " returned " + std::to_string(rc));
      ready_ok = false;
    }
  }

  std::vector<std::unique_ptr<Worker>> workers;
  const std::vector<std::pair<const char*, void (*)(Worker&, Setup&)>> bodies{
      {"vin", VinReader},     {"vbatt", Vbatt},         {"can-read", CanReader},
      {"periodic", Periodic}, {"can-write", CanWriter}, {"file", FileStore}};
  std::vector<std::thread> threads;
  for (auto& b : bodies) {
    workers.push_back(std::make_unique<Worker>());
    workers.back()->name = b.first;
  }
  std::atomic<bool> done{false};
  std::thread watchdog(Watchdog, std::ref(workers), std::ref(done));
  int64_t rss0 = 0;
  int fds0 = 0;
  for (size_t i = 0; ready_ok && i < bodies.size(); ++i) {
    threads.emplace_back(bodies[i].second, std::ref(*workers[i]), std::ref(s));
  }
  const int64_t end = Now() + args.seconds * 1000, quiet = 1500;
  auto park = [&] {
    g_phase = kPark;
    while (g_parked < static_cast<int>(threads.size())) SleepMs(5);
  };
  auto check_desync = [&] {
    if (const int64_t d = ctl.Number("desync", "desync"); d != 0) {
      Violate("desync", nullptr, "the simulator counts " + std::to_string(d) + " bad host bytes");
    }
  };
  if (ready_ok) {
    SleepMs(kWarmupMs);
    park();
    for (auto& w : workers) {
      if (std::lock_guard lock(g_mutex); w->ok != 0) continue;
      Violate("warm-up", w.get(), "no success in the first 2 s without faults");
    }
    SleepMs(300);
    rss0 = Rss();
    fds0 = Fds();
    g_phase = kRun;
  }

  // Faults, one at a time with calm gaps, all chosen from the seed.
  std::mt19937_64 rng(args.seed);
  auto pick = [&](int64_t lo, int64_t hi) {
    return lo + static_cast<int64_t>(rng() % (hi - lo + 1));
  };
  auto hold = [&](int64_t ms) { SleepMs(std::max<int64_t>(0, std::min(ms, end - quiet - Now()))); };
  while (ready_ok && Now() + 1000 < end - quiet) {
    const int kind = static_cast<int>(rng() % 5);
    std::string command;
    int64_t ms = 0;
    if (kind == 0) command = "stall " + std::to_string(ms = pick(200, 2000));
    if (kind == 1) command = "unplug " + std::to_string(ms = pick(500, 2000));
    if (kind == 2)
      command = "split " + std::to_string(pick(1, 32)) + " " + std::to_string(pick(1, 30));
    if (kind == 3) command = "delay " + std::to_string(pick(50, 800));
    if (kind == 4) command = "baud 115200";
    const int64_t lasting = kind >= 2 ? pick(1000, 4000) : ms;
    std::printf("%8.3f s  fault: %s for %lld ms\n", Sec(Now()), command.c_str(),
                static_cast<long long>(lasting));
    std::fflush(stdout);
    const int64_t unplug_at = Now();
    ctl.Expect(command);
    if (kind == 1) {
      // The replug moment: the last time the simulator still said unplugged.
      int64_t replug_at = unplug_at + ms;
      SleepMs(ms);
      for (int i = 0; i < 500 && ctl.Number("state", "unplugged") == 1; ++i) {
        replug_at = Now();
        SleepMs(10);
      }
      {
        std::lock_guard lock(g_mutex);
        for (auto& w : workers) w->replug_at = replug_at, w->judged = false;
      }
      SleepMs(std::max<int64_t>(0, replug_at + kRecoveryMs - Now()));
      for (auto& w : workers) {
        std::unique_lock lock(g_mutex);
        const bool tried = w->call_start >= 0 || w->last_start >= replug_at;
        if (w->replug_at < 0 || !tried) continue;
        w->judged = true;
        lock.unlock();
        Violate("recovery", w.get(),
                "no success within 2 s of the replug at " + Fixed(replug_at) + " s");
      }
    } else {
      hold(lasting);
      if (kind >= 2) ctl.Expect(kind == 2 ? "split 0 0" : kind == 3 ? "delay 0" : "baud 0");
    }
    check_desync();
    hold(pick(500, 2000));
  }

  // Quiet end: threads parked, then the simulator's counts and the resources.
  if (ready_ok) {
    park();
    SleepMs(std::max<int64_t>(1000, end - Now()));
    const int64_t tx = ctl.Number("txcount 6F0", "txcount");
    int64_t written = 0;
    {
      std::lock_guard lock(g_mutex);
      written = s.can_written;
    }
    if (tx < written) {
      Violate("txcount", workers[4].get(),
              std::to_string(written) + " writes of 0x6F0 returned 0, the adapter took " +
                  std::to_string(tx));
    }
    check_desync();
    const int64_t rss = Rss();
    const int fds = Fds();
    std::printf("resources after warm-up: %lld kB, %d fds; at the end: %lld kB, %d fds\n",
                static_cast<long long>(rss0 >> 10), fds0, static_cast<long long>(rss >> 10), fds);
    if (rss > rss0 + kRssMargin)
      Violate("memory", nullptr, "resident memory grew by more than 16 MiB");
    if (fds > fds0 + kFdMargin) Violate("fds", nullptr, "open descriptors grew by more than 2");
  }
  g_phase = kStop;
  for (auto& t : threads) t.join();
  done = true;
  watchdog.join();
  if (ready_ok) {
    PassThruDisconnect(s.can);
    PassThruDisconnect(s.iso);
    PassThruClose(s.device);
  }
  if (sim > 0) kill(sim, SIGINT), waitpid(sim, nullptr, 0);
  PrintTable(workers);
  std::error_code ec;
  if (g_violations.empty()) std::filesystem::remove_all(dir, ec);
  if (!g_violations.empty()) std::printf("work directory kept: %s\n", dir.c_str());
  return g_violations.empty() ? 0 : 1;
}
