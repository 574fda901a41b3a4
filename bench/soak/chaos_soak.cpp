// chaos_soak: six host threads use the pass-thru library at once against
// orvanta-adapter-sim while faults are injected through the simulator's
// control socket (stalls, unplug and replug, split and delayed answers, a
// slow line). It checks invariants and prints one table; see
// docs/RELIABILITY.md. POSIX only: it starts the simulator as a child process.
#include <fcntl.h>
#include <signal.h>
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
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvanta_j2534.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr char kHelp[] =
    "Usage: chaos_soak [--seconds N] [--seed S] [--sim PATH] [--com-dir DIR] [--verbose]\n"
    "Runs host threads on the pass-thru library against orvanta-adapter-sim for N\n"
    "seconds (default 60, at least 6) while injecting faults chosen from seed S\n"
    "(default: from the clock; printed) through the simulator's control socket.\n"
    "--sim names the simulator (default: the one built with this program), --com-dir\n"
    "the directory for its com7 link (default: a private temporary one), --verbose\n"
    "prints every failed call with the library's error text.\n"
    "Exit codes: 0 no invariant violated, 1 violations (listed), 2 bad usage.\n";
constexpr int64_t kStuckMs = 17000, kRecoveryMs = 2000, kRssMargin = 16 << 20, kFdMargin = 2;
constexpr uint32_t kVbattMv = 12340;
const Bytes kTraffic{0x01, 0x23, 0xA5, 0x5A, 0x00, 0x01, 0xC0, 0xDE};  // 0x123 every 20 ms
const std::string kVin = "1ORV4NTA0SIM12345";

const Clock::time_point g_t0 = Clock::now();
std::mutex g_mutex;  // guards the violations and each Worker's plain fields
std::map<std::string, std::pair<int, std::string>> g_violations;  // count, first
std::atomic<bool> g_stop{false};
bool g_verbose = false;
pid_t g_sim = -1;
struct Setup {
  uint32_t device = 0, iso = 0, can = 0;
  uint64_t seed = 0;
  std::string dir;
  std::atomic<int64_t> can_written{0};  // writes of 0x6F0 that returned 0
} g;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_t0).count();
}
std::string Fixed(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000);
  return text;
}
void SleepMs(int64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max<int64_t>(ms, 0)));
}
std::string Hex(const uint8_t* bytes, size_t size) {
  std::string s;
  char text[8];
  for (size_t i = 0; i < std::min<size_t>(size, 28); ++i) {
    s += (std::snprintf(text, sizeof text, "%02X ", bytes[i]), text);
  }
  return s;
}

void Violate(const std::string& invariant, const char* where, const std::string& detail) {
  std::fprintf(stderr, "VIOLATION %s [%s] at %s s: %s\n", invariant.c_str(), where,
               Fixed(Now()).c_str(), detail.c_str());
  std::lock_guard lock(g_mutex);
  auto& v = g_violations[invariant];
  if (v.first++ == 0) v.second = std::string(where) + ": " + detail;
}

// One host thread: its counts, the call it is in (for the watchdog) and its
// recovery after the last replug.
struct Worker {
  const char* name = "";
  std::atomic<int64_t> call_start{-1}, ok{0}, violations{0};
  std::atomic<const char*> call_name{""};
  int64_t calls = 0, last_start = -1, last_end = 0, replug_at = -1;
  bool judged = false;  // a recovery violation was counted for this replug
  std::map<int32_t, int64_t> statuses;
  std::vector<int64_t> recoveries;

  int32_t Call(const char* what, const std::function<int32_t()>& call) {
    call_name = what;
    const int64_t start = call_start = Now();
    const int32_t rc = call();
    call_start = -1;
    if (g_verbose && rc != 0 && rc != static_cast<int32_t>(ERR_BUFFER_EMPTY)) {
      char text[80] = "";
      PassThruGetLastError(text);
      std::fprintf(stderr, "%8s s  %s: %s returned 0x%02X after %lld ms: %s\n",
                   Fixed(Now()).c_str(), name, what, static_cast<unsigned>(rc),
                   static_cast<long long>(Now() - start), text);
    }
    std::lock_guard lock(g_mutex);
    ++calls, ++statuses[rc], last_start = start, last_end = Now();
    return rc;
  }
  void Violation(const std::string& invariant, const std::string& detail) {
    ++violations;
    Violate(invariant, name, detail);
  }
  // The last call completed a unit of work begun at `since` correctly.
  void Success(int64_t since) {
    int64_t late = -1;
    ++ok;
    if (std::lock_guard lock(g_mutex); replug_at >= 0 && since >= replug_at) {
      recoveries.push_back(late = last_end - replug_at);
      late = judged || late <= kRecoveryMs ? -1 : late;
      replug_at = -1;
    }
    if (late >= 0)
      Violation("recovery", "first success " + std::to_string(late) + " ms after replug");
  }
  void Replugged(int64_t replug) {
    std::lock_guard lock(g_mutex);
    replug_at = replug, judged = false;
  }
  // After kRecoveryMs: still no success, though the thread called meanwhile.
  bool Unrecovered(int64_t replug) {
    std::lock_guard lock(g_mutex);
    const bool tried = call_start >= 0 || last_start >= replug;
    return replug_at == replug && tried && !judged && (judged = true);
  }
};

std::unique_ptr<PASSTHRU_MSG> Msg(uint32_t protocol, uint32_t id, const Bytes& data) {
  auto m = std::make_unique<PASSTHRU_MSG>();
  *m = {};
  m->ProtocolID = protocol;
  m->TxFlags = protocol == ISO15765 ? ISO15765_FRAME_PAD : 0;
  Bytes all{0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
  all.insert(all.end(), data.begin(), data.end());
  std::copy(all.begin(), all.end(), m->Data);
  m->DataSize = static_cast<uint32_t>(all.size());
  return m;
}
bool Same(const PASSTHRU_MSG& a, const PASSTHRU_MSG& b) {
  return a.DataSize == b.DataSize && std::memcmp(a.Data, b.Data, a.DataSize) == 0;
}

// (a) 09 02 and 22 F1 90 in turn; every answer read must be this request's
// own, or a late one of the previous request when that went unanswered.
void VinReader(Worker& w) {
  const Bytes requests[2] = {{0x09, 0x02}, {0x22, 0xF1, 0x90}};
  Bytes heads[2] = {{0x49, 0x02, 0x01}, {0x62, 0xF1, 0x90}};
  for (Bytes& h : heads) h.insert(h.end(), kVin.begin(), kVin.end());
  const std::unique_ptr<PASSTHRU_MSG> answers[2] = {Msg(ISO15765, 0x7E8, heads[0]),
                                                    Msg(ISO15765, 0x7E8, heads[1])};
  auto m = std::make_unique<PASSTHRU_MSG>();
  bool unanswered = false;
  for (int k = 0; !g_stop; ++k) {
    const int64_t since = Now();
    const int which = k % 2;
    *m = *Msg(ISO15765, 0x7E0, requests[which]);
    uint32_t n = 1;
    if (w.Call("WriteMsgs", [&] { return PassThruWriteMsgs(g.iso, m.get(), &n, 1000); }) != 0) {
      unanswered = true;
      SleepMs(20);
      continue;
    }
    bool answered = false;
    for (int r = 0; r < 4 && !answered; ++r) {
      n = 1;
      if (w.Call("ReadMsgs", [&] { return PassThruReadMsgs(g.iso, m.get(), &n, 500); }) != 0 ||
          n != 1 || (m->RxStatus & (START_OF_MESSAGE | TX_MSG_TYPE | TX_INDICATION)) != 0) {
        continue;
      }
      if ((answered = Same(*m, *answers[which]))) w.Success(since);
      if (!answered && (!unanswered || !Same(*m, *answers[1 - which]))) {
        w.Violation("vin", "request " + Hex(requests[which].data(), requests[which].size()) +
                               "answered " + Hex(m->Data, m->DataSize));
      }
    }
    unanswered = !answered;
  }
}

// (b) READ_VBATT: the simulator's battery voltage never changes.
void Vbatt(Worker& w) {
  for (uint32_t mv = 0; !g_stop; SleepMs(20)) {
    const int64_t since = Now();
    const int32_t rc =
        w.Call("Ioctl", [&] { return PassThruIoctl(g.device, READ_VBATT, nullptr, &mv); });
    if (rc == 0 && mv == kVbattMv) w.Success(since);
    if (rc == 0 && mv != kVbattMv) w.Violation("vbatt", std::to_string(mv) + " mV");
  }
}

// (c) Reads the simulator's bus traffic with Timeout 0.
void CanReader(Worker& w) {
  std::vector<PASSTHRU_MSG> got(8);
  const auto want = Msg(CAN, 0x123, Bytes(kTraffic.begin() + 2, kTraffic.end()));
  for (uint32_t n = 8; !g_stop; n = 8, SleepMs(2)) {
    const int64_t since = Now();
    if (w.Call("ReadMsgs", [&] { return PassThruReadMsgs(g.can, got.data(), &n, 0); }) != 0)
      continue;
    for (uint32_t i = 0; i < std::min(n, 8u); ++i) {
      if (!Same(got[i], *want) || got[i].ProtocolID != CAN || (got[i].RxStatus & TX_MSG_TYPE)) {
        w.Violation("can-rx", "read " + Hex(got[i].Data, got[i].DataSize));
      }
    }
    if (n > 0) w.Success(since);
  }
}

// (d) Starts and stops a periodic 0x6F1 message now and then.
void Periodic(Worker& w) {
  std::mt19937_64 rng(g.seed ^ 0x9E71);
  uint32_t id = 0;
  bool running = false;
  const auto m = Msg(CAN, 0x6F1, {1, 2, 3, 4, 5, 6, 7, 8});
  while (!g_stop) {
    const int64_t since = Now();
    const uint32_t interval = 50 + static_cast<uint32_t>(rng() % 450);
    const int32_t rc =
        running ? w.Call("StopPeriodicMsg", [&] { return PassThruStopPeriodicMsg(g.can, id); })
                : w.Call("StartPeriodicMsg",
                         [&] { return PassThruStartPeriodicMsg(g.can, m.get(), &id, interval); });
    // A stop the library refuses as an unknown ID has nothing left to stop.
    running = running ? rc != 0 && rc != static_cast<int32_t>(ERR_INVALID_MSG_ID) : rc == 0;
    if (rc == 0) w.Success(since);
    for (int64_t end = Now() + 100 + static_cast<int64_t>(rng() % 700); Now() < end && !g_stop;) {
      SleepMs(20);
    }
  }
  if (running) w.Call("StopPeriodicMsg", [&] { return PassThruStopPeriodicMsg(g.can, id); });
}

// (e) Writes 0x6F0 frames and counts those reported sent. Each asks for the
// library's blocking write (TxFlags 0x02000000): status 0 then means the
// adapter has taken the frame. Without it, 0 means the port took it, and an
// unplug loses what the system's port buffer still held.
constexpr uint32_t kTxBlocking = 0x02000000;
void CanWriter(Worker& w) {
  for (uint32_t k = 0, n = 1; !g_stop; ++k, n = 1, SleepMs(10)) {
    const int64_t since = Now();
    const auto m = Msg(CAN, 0x6F0, {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)});
    m->TxFlags |= kTxBlocking;
    const int32_t rc =
        w.Call("WriteMsgs", [&] { return PassThruWriteMsgs(g.can, m.get(), &n, 100); });
    if (rc == 0 && n != 1) w.Violation("can-tx", "status 0, " + std::to_string(n) + " of 1 sent");
    if (rc == 0 && n == 1) ++g.can_written, w.Success(since);
  }
}

// (f) Copies random files of 1 byte to 200 kB into the store and back: the
// first 1 byte, the second 200000, then sizes even over the orders of
// magnitude; after a failure the next is at most 4 kB. File k depends only on
// the seed, k and whether the round before failed.
void FileStore(Worker& w) {
  std::string out = g.dir + "/out.bin", back = g.dir + "/back.bin";
  bool small = false;
  for (int k = 0; !g_stop; ++k) {
    const int64_t since = Now();
    std::mt19937_64 rng(g.seed ^ (0xF11E0000u + static_cast<unsigned>(k)));
    const size_t at_most_4k = 1 + rng() % 4096;
    const double spread = std::exp(std::log(200000.0) * static_cast<double>(rng() % 1000) / 999);
    Bytes data(k < 2 ? (k ? 200000 : 1) : small ? at_most_4k : static_cast<size_t>(spread));
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<char*>(data.data()), data.size());
    std::string stored = "SOAK" + std::to_string(k % 4 + 1) + ".BIN";
    std::filesystem::remove(back);
    small = w.Call("WriteFile", [&] { return PassThruWriteFile(out.data(), stored.data(), 0); }) ||
            w.Call("ReadFile", [&] { return PassThruReadFile(back.data(), stored.data(), 0); });
    if (small) {
      SleepMs(20);
      continue;
    }
    std::ifstream in(back, std::ios::binary);
    const Bytes came((std::istreambuf_iterator<char>(in)), {});
    const auto diff = std::mismatch(data.begin(), data.end(), came.begin(), came.end());
    if (diff.first == data.end() && diff.second == came.end()) {
      w.Success(since);
    } else {
      w.Violation("file", stored + ": " + std::to_string(data.size()) + " bytes went, " +
                              std::to_string(came.size()) + " came back, first difference at " +
                              std::to_string(diff.first - data.begin()));
    }
  }
}

void PrintTable(const std::vector<std::unique_ptr<Worker>>& workers) {
  std::lock_guard lock(g_mutex);
  std::printf("\n%-10s %8s %8s %-32s %5s  %s\n", "thread", "calls", "ok", "other statuses (code:n)",
              "viol", "recovery ms min/med/max (n)");
  for (auto& w : workers) {
    std::string other, rec = "-";
    for (auto [code, n] : w->statuses) {
      char text[48];
      std::snprintf(text, sizeof text, "0x%02X:%lld ", static_cast<unsigned>(code),
                    static_cast<long long>(n));
      if (code != 0) other += text;
    }
    std::vector<int64_t> r = w->recoveries;
    std::sort(r.begin(), r.end());
    if (!r.empty()) {
      rec = std::to_string(r.front()) + "/" + std::to_string(r[r.size() / 2]) + "/" +
            std::to_string(r.back());
    }
    std::printf("%-10s %8lld %8lld %-32s %5lld  %s (%zu)\n", w->name,
                static_cast<long long>(w->calls), static_cast<long long>(w->ok),
                other.empty() ? "-" : other.c_str(), static_cast<long long>(w->violations),
                rec.c_str(), r.size());
  }
  std::printf("\ninvariant violations: %s\n", g_violations.empty() ? "none" : "");
  for (auto& [name, v] : g_violations) {
    std::printf("  %-9s %5d  first: %s\n", name.c_str(), v.first, v.second.c_str());
  }
}

// A call running longer than kStuckMs ends the run: names, stacks, exit 1.
void Watchdog(const std::vector<std::unique_ptr<Worker>>& workers, const std::atomic<bool>& done) {
  for (std::string stuck; !done && stuck.empty(); SleepMs(200)) {
    for (auto& w : workers) {
      const int64_t start = w->call_start;
      if (start >= 0 && Now() - start > kStuckMs) {
        stuck += std::string(" ") + w->name + " in " + w->call_name.load() + " since " +
                 Fixed(start) + " s;";
      }
    }
    if (stuck.empty()) continue;
    Violate("stuck", "watchdog", "calls over 17 s:" + stuck);
    const std::string gdb = "command -v gdb >/dev/null && gdb -p " + std::to_string(getpid()) +
                            " -batch -ex 'thread apply all bt' 1>&2";
    if (std::system(gdb.c_str()) != 0) std::fprintf(stderr, "(no thread stacks: no gdb)\n");
    PrintTable(workers);
    if (g_sim > 0) kill(g_sim, SIGINT);
    std::fflush(nullptr);
    _exit(1);
  }
}

// The simulator's control socket: one line out, one line back.
int g_control = -1;
std::string g_control_path;
bool ConnectControl(const std::string& path);
std::string Ask(const std::string& command) {
  std::string answer, line = command + "\n";
  char c = 0;
  if (send(g_control, line.data(), line.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(line.size())) {
    while (recv(g_control, &c, 1, 0) == 1 && c != '\n') answer += c;
  }
  if (c != '\n') {
    // A late answer would pair every later command with the answer before
    // it: start a fresh connection. The command counts as not given.
    std::fprintf(stderr, "%9s s  control: no answer to '%s' within 5 s; reconnected\n",
                 Fixed(Now()).c_str(), command.c_str());
    close(g_control);
    ConnectControl(g_control_path);
    return "";
  }
  return answer;
}
// The number after `key` in the answer to `command`, -1 when there is none.
int64_t AskNumber(const std::string& command, const std::string& key) {
  for (int attempt = 0; attempt < 3; ++attempt) {  // again after a reconnect
    const std::string a = " " + Ask(command) + " ";
    const size_t at = a.find(" " + key + " ");
    if (at != std::string::npos) return std::atoll(a.c_str() + at + key.size() + 2);
  }
  Violate("control", "soak", "no answer to '" + command + "' in three tries");
  return -1;
}
bool ConnectControl(const std::string& path) {
  g_control_path = path;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  g_control = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{5, 0};
  setsockopt(g_control, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return connect(g_control, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t seconds = 60;
  std::string sim_path = ORV_SIM_PATH, com_dir;
  g.seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") return std::fputs(kHelp, stdout), 0;
    if (arg == "--verbose") {
      g_verbose = true;
      continue;
    }
    const char* value = i + 1 < argc ? argv[++i] : "";
    char* end = nullptr;
    if (arg == "--seconds") seconds = std::strtoll(value, &end, 10);
    if (arg == "--seed") g.seed = std::strtoull(value, &end, 10);
    if (arg == "--sim") sim_path = value;
    if (arg == "--com-dir") com_dir = value;
    const bool number = arg == "--seconds" || arg == "--seed";
    if (*value == '\0' || (number && *end != '\0') || seconds < 6 ||
        (!number && arg != "--sim" && arg != "--com-dir")) {
      return std::fprintf(stderr, "chaos_soak: bad argument %s\n%s", arg.c_str(), kHelp), 2;
    }
  }
  std::printf("chaos_soak: seed %llu (repeat with --seed %llu), %lld s\n",
              static_cast<unsigned long long>(g.seed), static_cast<unsigned long long>(g.seed),
              static_cast<long long>(seconds));
  std::fflush(stdout);
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);  // lets the watchdog's gdb attach
  g.dir = (std::filesystem::temp_directory_path() / "orv-soak-XXXXXX").string();
  if (mkdtemp(g.dir.data()) == nullptr) return std::perror("mkdtemp"), 1;
  const std::string com = com_dir.empty() ? g.dir + "/com" : com_dir, ready = g.dir + "/ready",
                    log = g.dir + "/sim.log", control = g.dir + "/control";

  // The simulator, its standard error in sim.log.
  std::vector<std::string> sim_args{sim_path, "--com-dir",    com,  "--port",
                                    "7",      "--ready-file", ready};
  sim_args.insert(sim_args.end(),
                  {"--control", control, "--bus-traffic", "10:0123A55A0001C0DE:20"});
  std::vector<char*> sim_argv;
  for (auto& a : sim_args) sim_argv.push_back(a.data());
  sim_argv.push_back(nullptr);
  if ((g_sim = fork()) == 0) {         // still one thread here
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // the simulator ends with the soak, however it ends
    dup2(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), 2);
    execv(sim_path.c_str(), sim_argv.data());
    _exit(127);
  }
  bool ok = g_sim > 0;
  for (int i = 0; ok && i < 2000 && !std::filesystem::exists(ready); ++i, SleepMs(10)) {
    if (waitpid(g_sim, nullptr, WNOHANG) != 0) ok = false, g_sim = -1;  // it refused its arguments
  }
  if (!ok) g_sim = -1;
  if (!(ok = ok && std::filesystem::exists(ready) && ConnectControl(control))) {
    Violate("setup", "soak", "the simulator or its control socket did not start; see " + log);
  }
  setenv("ORVANTA_COM_DIR", com.c_str(), 1);
  auto mask = Msg(ISO15765, 0x7FF, {}), pattern = Msg(ISO15765, 0x7E8, {}),
       flow = Msg(ISO15765, 0x7E0, {}), can_mask = Msg(CAN, 0x7FF, {}),
       can_pattern = Msg(CAN, 0x123, {});
  uint32_t filter = 0;
  for (auto [what, call] : std::vector<std::pair<const char*, std::function<int32_t()>>>{
           {"PassThruOpen", [&] { return PassThruOpen(const_cast<char*>("COM7"), &g.device); }},
           {"ISO 15765 connect",
            [&] { return PassThruConnect(g.device, ISO15765, 0, 500000, &g.iso); }},
           {"CAN connect", [&] { return PassThruConnect(g.device, CAN, 0, 500000, &g.can); }},
           {"flow-control filter",
            [&] {
              return PassThruStartMsgFilter(g.iso, FLOW_CONTROL_FILTER, mask.get(), pattern.get(),
                                            flow.get(), &filter);
            }},
           {"pass filter", [&] {
              return PassThruStartMsgFilter(g.can, PASS_FILTER, can_mask.get(), can_pattern.get(),
                                            nullptr, &filter);
            }}}) {
    const int32_t rc = ok ? call() : 0;
    if (rc != 0) Violate("setup", "soak", std::string(what) + " returned " + std::to_string(rc));
    ok = ok && rc == 0;
  }

  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<std::thread> threads;
  for (auto [name, body] :
       std::vector<std::pair<const char*, void (*)(Worker&)>>{{"vin", VinReader},
                                                              {"vbatt", Vbatt},
                                                              {"can-read", CanReader},
                                                              {"periodic", Periodic},
                                                              {"can-write", CanWriter},
                                                              {"file", FileStore}}) {
    workers.push_back(std::make_unique<Worker>());
    workers.back()->name = name;
    if (ok) threads.emplace_back(body, std::ref(*workers.back()));
  }
  std::atomic<bool> done{false};
  std::thread watchdog(Watchdog, std::cref(workers), std::cref(done));
  const int64_t end = Now() + seconds * 1000, quiet = 1500;
  auto resources = [] {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    using std::filesystem::directory_iterator;
    return std::pair(static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE),
                     std::distance(directory_iterator("/proc/self/fd"), directory_iterator{}));
  };
  auto check_desync = [] {
    if (const int64_t d = AskNumber("desync", "desync"); d > 0) {
      Violate("desync", "simulator", std::to_string(d) + " host bytes were no well-formed frame");
    }
  };
  SleepMs(ok ? 2000 : 0);  // warm-up, without faults
  for (auto& w : workers) {
    if (ok && w->ok == 0) w->Violation("warm-up", "no success in the first 2 s, without faults");
  }
  const auto [rss0, fds0] = resources();

  // Faults, one at a time with calm gaps, all chosen from the seed.
  std::mt19937_64 rng(g.seed);
  auto pick = [&](int64_t lo, int64_t hi) {
    return lo + static_cast<int64_t>(rng() % (hi - lo + 1));
  };
  while (ok && Now() + 1000 < end - quiet) {
    const int kind = static_cast<int>(rng() % 5);
    const int64_t ms = kind < 2 ? pick(kind == 0 ? 200 : 500, 2000) : pick(1000, 4000);
    const std::string command =
        kind == 0   ? "stall " + std::to_string(ms)
        : kind == 1 ? "unplug " + std::to_string(ms)
        : kind == 2 ? "split " + std::to_string(pick(1, 32)) + " " + std::to_string(pick(1, 30))
        : kind == 3 ? "delay " + std::to_string(pick(50, 800))
                    : "baud 115200";
    std::printf("%8s s  fault: %s for %lld ms\n", Fixed(Now()).c_str(), command.c_str(),
                static_cast<long long>(ms));
    std::fflush(stdout);
    const int64_t unplugged_at = Now();
    if (const std::string a = Ask(command); a != "ok" && !a.empty()) {  // "": counted by Ask
      Violate("control", "soak", command + ": " + a);
    }
    if (kind == 1) {
      // The replug moment: the last time the simulator still said unplugged.
      int64_t replug = unplugged_at + ms;
      SleepMs(ms);
      for (int i = 0; i < 500 && AskNumber("state", "unplugged") == 1; ++i, SleepMs(10))
        replug = Now();
      for (auto& w : workers) w->Replugged(replug);
      SleepMs(replug + kRecoveryMs - Now());
      for (auto& w : workers) {
        if (w->Unrecovered(replug)) {
          w->Violation("recovery",
                       "no success within 2 s of the replug at " + Fixed(replug) + " s");
        }
      }
    } else {
      SleepMs(std::min(ms, end - quiet - Now()));
      const std::string a = kind < 2 ? "ok"
                                     : Ask(kind == 2   ? "split 0 0"
                                           : kind == 3 ? "delay 0"
                                                       : "baud 0");
      if (a != "ok" && !a.empty()) Violate("control", "soak", "ending " + command + ": " + a);
    }
    check_desync();
    SleepMs(std::min(pick(500, 2000), end - quiet - Now()));
  }

  // Quiet end: the threads end, then the simulator's counts and the resources.
  g_stop = true;
  for (auto& t : threads) t.join();
  if (ok) {
    SleepMs(std::max<int64_t>(1000, end - Now()));
    if (const int64_t tx = AskNumber("txcount 6F0", "txcount"); tx >= 0 && tx < g.can_written) {
      workers[4]->Violation("txcount", std::to_string(g.can_written) +
                                           " writes of 0x6F0 returned 0, the adapter took " +
                                           std::to_string(tx));
    }
    check_desync();
    const auto [rss, fds] = resources();
    std::printf("after warm-up: %lld kB resident, %ld descriptors; at the end: %lld kB, %ld\n",
                static_cast<long long>(rss0 >> 10), static_cast<long>(fds0),
                static_cast<long long>(rss >> 10), static_cast<long>(fds));
    if (rss > rss0 + kRssMargin) Violate("memory", "soak", "resident memory grew over 16 MiB");
    if (fds > fds0 + kFdMargin) Violate("fds", "soak", "open descriptors grew by more than 2");
    PassThruDisconnect(g.can);
    PassThruDisconnect(g.iso);
    PassThruClose(g.device);
  }
  done = true;
  watchdog.join();
  if (g_sim > 0) kill(g_sim, SIGINT), waitpid(g_sim, nullptr, 0);
  PrintTable(workers);
  std::error_code ec;
  if (g_violations.empty()) std::filesystem::remove_all(g.dir, ec);
  if (!g_violations.empty()) std::printf("work directory kept: %s\n", g.dir.c_str());
  return g_violations.empty() ? 0 : 1;
}
