// orvanta-adapter's command line over the core. Every argument is checked
// before the adapter is opened, so bad usage never sends anything.
#include "app/adapter/adapter_cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/adapter/adapter_core.h"
#include "app/adapter/pcapng.h"
#include "app/adapter/progress.h"
#include "app/adapter/trace_decode.h"
#include "passthru/app_core.h"
#include "platform/platform.h"
#include "platform/tool/tool_platform.h"

namespace orv::app::adapter {

namespace {

namespace fs = std::filesystem;
namespace tool = platform::tool;
using nlohmann::json;

constexpr char kProgram[] = "orvanta-adapter";
constexpr uint16_t kTracePort = 8609;
constexpr uint32_t kTraceWaitMs = 200;
constexpr size_t kMaxTraceConnections = 8;
constexpr uint32_t kMaxMemoryRead = 1u << 20;
constexpr uintmax_t kMaxFirmwareSize = 64u << 20;

struct Options {
  uint32_t port = 0;
  bool json = false;
  bool yes = false;
  std::string pattern = "*.*";
  std::string name, host_file, time, address, length;
  std::vector<std::string> hex;
  bool decode = false;
  std::string candump, pcap;
};

// --- reporting -------------------------------------------------------------------

int Usage(const Streams& s, const std::string& message) {
  std::fprintf(s.err, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
  return kExitUsage;
}

int Failed(const Streams& s, const std::string& what, const Outcome& outcome) {
  std::fprintf(s.err, "%s: %s failed (status %ld: %s)\n", kProgram, what.c_str(),
               static_cast<long>(outcome.status), outcome.error.c_str());
  return kExitFailed;
}

void PrintJson(const Streams& s, const json& value) {
  // Names come from the adapter: bytes that are not UTF-8 are replaced, not fatal.
  std::fprintf(s.out, "%s\n", value.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

// --- checks before anything is sent -----------------------------------------------

int CheckName(const Streams& s, const std::string& name, size_t limit) {
  if (name.empty()) return Usage(s, "the stored file name is empty");
  if (name.size() > limit) {
    return Usage(s, "the stored file name '" + name + "' is " + std::to_string(name.size()) +
                        " characters long; the adapter takes at most " + std::to_string(limit) +
                        " here");
  }
  return kExitDone;
}

bool Confirmed(const Streams& s, const Options& o, const std::string& question, int* rc) {
  if (o.yes) return true;
  if (!s.in_terminal) {
    *rc = Usage(s, "this changes the adapter: confirm with --yes when not on a terminal");
    return false;
  }
  std::fprintf(s.err, "%s [y/N] ", question.c_str());
  std::fflush(s.err);
  char answer[16] = {};
  if (std::fgets(answer, sizeof answer, s.in) != nullptr &&
      (answer[0] == 'y' || answer[0] == 'Y')) {
    return true;
  }
  std::fprintf(s.err, "%s: nothing was changed\n", kProgram);
  *rc = kExitFailed;
  return false;
}

int Open(const Streams& s, const Options& o, uint32_t* device_id) {
  const Outcome outcome = OpenAdapter(o.port, device_id);
  if (outcome.ok()) return kExitDone;
  std::fprintf(s.err, "%s: no adapter found on %s (%s)\n", kProgram,
               o.port != 0 ? ("COM" + std::to_string(o.port)).c_str() : "any COM port",
               outcome.error.c_str());
  return kExitNoAdapter;
}

// --- transfers with progress and Ctrl-C ---------------------------------------------

// Draws the progress and stops the transfer once Ctrl-C was pressed.
bool OnProgress(uint64_t done, uint64_t total, void* context) {
  static_cast<ProgressMeter*>(context)->Update(done, total);
  return !tool::Interrupted();
}

template <typename Transfer>
Outcome WithProgress(const Streams& s, const std::string& label, uint64_t total,
                     Transfer transfer) {
  ProgressMeter meter(s.err, s.err_terminal, label);
  meter.Update(0, total);
  tool::CatchInterrupt();
  app_core::SetTransferProgressHook(OnProgress, &meter);
  const Outcome outcome = transfer();
  app_core::SetTransferProgressHook(nullptr, nullptr);
  meter.Finish();
  return outcome;
}

int TransferFailed(const Streams& s, const std::string& what, const Outcome& outcome) {
  if (tool::Interrupted()) {
    std::fprintf(s.err, "%s: %s interrupted: the transfer stopped and did not complete (%s)\n",
                 kProgram, what.c_str(), outcome.error.c_str());
    return kExitFailed;
  }
  return Failed(s, what, outcome);
}

// --- the subcommands ------------------------------------------------------------------

int RunInfo(const Streams& s, const Options& o, uint32_t device_id) {
  AdapterInfo info;
  const Outcome outcome = ReadInfo(device_id, &info);
  if (!outcome.ok()) return Failed(s, "info", outcome);
  const std::string port = "COM" + std::to_string(info.port);
  if (o.json) {
    PrintJson(s, json{{"port", port},
                      {"firmware_version", info.firmware},
                      {"library_version", info.library},
                      {"api_version", info.api},
                      {"serial_number", info.serial_number},
                      {"battery_mv", info.battery_mv},
                      {"programming_mv", info.programming_mv}});
    return kExitDone;
  }
  std::fprintf(s.out,
               "Port:                %s\nFirmware version:    %s\nLibrary version:     %s\n"
               "API version:         %s\nSerial number:       %u\n"
               "Battery voltage:     %u.%03u V\nProgramming voltage: %u.%03u V\n",
               port.c_str(), info.firmware.c_str(), info.library.c_str(), info.api.c_str(),
               info.serial_number, info.battery_mv / 1000, info.battery_mv % 1000,
               info.programming_mv / 1000, info.programming_mv % 1000);
  return kExitDone;
}

int RunList(const Streams& s, const Options& o) {
  std::vector<std::string> names;
  const Outcome outcome = ListFiles(o.pattern, &names);
  if (!outcome.ok()) return Failed(s, "ls", outcome);
  if (o.json) {
    PrintJson(s, json{{"pattern", o.pattern}, {"files", names}});
    return kExitDone;
  }
  for (const auto& name : names) std::fprintf(s.out, "%s\n", name.c_str());
  return kExitDone;
}

// A failed copy leaves the host file as it was (the library replaces it
// only with a whole copy).
int RunGet(const Streams& s, const Options& o) {
  const Outcome outcome =
      WithProgress(s, "get " + o.name, 0, [&] { return GetFile(o.name, o.host_file); });
  return outcome.ok() ? kExitDone : TransferFailed(s, "get " + o.name, outcome);
}

int RunPut(const Streams& s, const Options& o) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(o.host_file, ec);
  const Outcome outcome =
      WithProgress(s, "put " + o.name, ec ? 0 : size, [&] { return PutFile(o.host_file, o.name); });
  return outcome.ok() ? kExitDone : TransferFailed(s, "put " + o.name, outcome);
}

int RunRemove(const Streams& s, const Options& o) {
  const Outcome outcome = RemoveFile(o.name);
  return outcome.ok() ? kExitDone : Failed(s, "rm " + o.name, outcome);
}

int RunClockRead(const Streams& s, const Options& o) {
  ClockTime time;
  const Outcome outcome = ReadClock(&time);
  if (!outcome.ok()) return Failed(s, "clock", outcome);
  if (o.json) {
    PrintJson(s, json{{"time", FormatClockTime(time)}, {"unix_seconds", ToUnixSeconds(time)}});
  } else {
    std::fprintf(s.out, "%s UTC\n", FormatClockTime(time).c_str());
  }
  return kExitDone;
}

int RunClockSet(const Streams& s, const ClockTime& time) {
  const Outcome outcome = SetClock(time);
  return outcome.ok() ? kExitDone : Failed(s, "clock set", outcome);
}

// Adapter clock minus host clock, in seconds.
bool ClockDifference(const Streams& s, int64_t* difference, int* rc) {
  ClockTime adapter;
  const Outcome outcome = ReadClock(&adapter);
  if (!outcome.ok()) {
    *rc = Failed(s, "clock sync", outcome);
    return false;
  }
  *difference = ToUnixSeconds(adapter) - ToUnixSeconds(HostClockNow());
  return true;
}

int RunClockSync(const Streams& s, const Options& o) {
  int64_t before = 0, after = 0;
  int rc = kExitDone;
  if (!ClockDifference(s, &before, &rc)) return rc;
  const Outcome outcome = SetClock(HostClockNow());
  if (!outcome.ok()) return Failed(s, "clock sync", outcome);
  if (!ClockDifference(s, &after, &rc)) return rc;
  if (o.json) {
    PrintJson(s, json{{"before_s", before}, {"after_s", after}});
  } else {
    std::fprintf(s.out, "Adapter clock minus host clock: %lld s before, %lld s after\n",
                 static_cast<long long>(before), static_cast<long long>(after));
  }
  return kExitDone;
}

int RunMemoryRead(const Streams& s, const Options& o, uint32_t address, uint32_t length) {
  std::vector<uint8_t> data;
  const Outcome outcome = ReadMemory(address, length, &data);
  if (!outcome.ok()) return Failed(s, "mem read", outcome);
  if (o.json) {
    std::string hex;
    char cell[4];
    for (const uint8_t b : data) {
      std::snprintf(cell, sizeof cell, "%02X", b);
      hex += cell;
    }
    PrintJson(s, json{{"address", address}, {"length", length}, {"data", hex}});
  } else {
    std::fputs(HexDump(address, data).c_str(), s.out);
  }
  return kExitDone;
}

int RunMemoryWrite(const Streams& s, uint32_t address, const std::vector<uint8_t>& bytes) {
  const Outcome outcome = WriteMemory(address, bytes);
  return outcome.ok() ? kExitDone : Failed(s, "mem write", outcome);
}

int RunFirmware(const Streams& s, const std::vector<uint8_t>& image) {
  const Outcome outcome =
      WithProgress(s, "firmware", image.size(), [&] { return UpdateFirmware(image); });
  if (!outcome.ok()) return TransferFailed(s, "firmware", outcome);
  std::fprintf(s.out, "Firmware image stored as APP.LDR: power-cycle the adapter to start it\n");
  return kExitDone;
}

// --- the trace listener ----------------------------------------------------------------

struct TraceConnection {
  tool::NetSocket socket;
  LineAssembler lines;
};

int64_t UnixMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Text from a socket must not drive the terminal: every control character
// (C0, DEL, C1 also as UTF-8) and every byte that is no whole UTF-8
// character is shown as '?'.
std::string Printable(std::string_view line) {
  std::string out;
  for (size_t i = 0, n = 0; i < line.size(); i += n) {
    n = line[i] == '\t' ? 1 : app_core::PrintableCharLength(line.data() + i, line.size() - i);
    out.append(n == 0 ? std::string_view("?") : line.substr(i, n));
    n = std::max<size_t>(n, 1);
  }
  return out;
}

bool WriteAll(std::FILE* file, const std::vector<uint8_t>& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0;
}

// Where the listener puts what arrives: the lines on standard output
// (not for extcap, whose standard output is Wireshark's), the candump
// log, the pcapng capture.
struct TraceSinks {
  bool show = true;
  bool decode = false;
  std::FILE* candump = nullptr;
  std::FILE* pcap = nullptr;
};

class TraceListener {
 public:
  TraceListener(const Streams& s, const TraceSinks& sinks) : s_(s), sinks_(sinks) {}

  // The capture could not be written (its reader has gone): the listener stops.
  bool capture_failed() const { return capture_failed_; }

  void Show(std::string_view line) {
    if (sinks_.show) std::fprintf(s_.out, "%s\n", Printable(line).c_str());
    const bool logs = sinks_.candump != nullptr || sinks_.pcap != nullptr;
    const bool describe = sinks_.show && sinks_.decode;
    if (describe || logs) {
      if (const auto frame = ParseFrameLine(line)) {
        if (describe) {
          std::fprintf(s_.out, "    = %s\n", DescribeFrame(*frame).c_str());
        }
        const auto bus = logs ? BusFrameOf(*frame) : std::nullopt;
        const int64_t now = UnixMicroseconds();
        const auto logged =
            bus && sinks_.candump != nullptr ? CandumpLine(*frame, now) : std::nullopt;
        if (logged) {
          std::fprintf(sinks_.candump, "%s\n", logged->c_str());
          std::fflush(sinks_.candump);
        }
        const auto packet = bus && sinks_.pcap != nullptr ? PcapngPacket(*bus, now) : std::nullopt;
        if (packet && !capture_failed_) capture_failed_ = !WriteAll(sinks_.pcap, *packet);
      }
    }
    if (sinks_.show) std::fflush(s_.out);
  }

  // Only this machine and, where the system tells, this user may feed the
  // trace (and the candump log). When all places are taken the earliest
  // connections stay: later ones cannot silence the library's.
  void Accept(tool::NetSocket listener) {
    tool::NetSocket socket = tool::kNoSocket;
    tool::Peer peer;
    if (tool::Accept(listener, &socket, &peer) != platform::kOk) return;
    const char* refused = !platform::IsOwnIpv4Address(peer.address)     ? "from another machine"
                          : peer.other_user                             ? "from another user"
                          : connections_.size() == kMaxTraceConnections ? "over the limit"
                                                                        : nullptr;
    if (refused != nullptr) {
      tool::CloseSocket(socket);
      if (sinks_.show) std::fprintf(s_.err, "-- trace connection %s refused\n", refused);
      return;
    }
    connections_.push_back(TraceConnection{socket, {}});
    if (sinks_.show) std::fprintf(s_.err, "-- trace connection opened\n");
  }

  // Reads connection `i`; false when it closed (and was dropped).
  bool Read(size_t i) {
    char buffer[4096];
    uint32_t received = 0;
    if (tool::Receive(connections_[i].socket, buffer, sizeof buffer, &received) != platform::kOk ||
        received == 0) {
      Drop(i);
      if (sinks_.show) std::fprintf(s_.err, "-- trace connection closed\n");
      return false;
    }
    connections_[i].lines.Feed({buffer, received}, [&](std::string_view l) { Show(l); });
    return true;
  }

  void Drop(size_t i) {
    connections_[i].lines.Flush([&](std::string_view l) { Show(l); });
    tool::CloseSocket(connections_[i].socket);
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
  }

  void Run(tool::NetSocket listener) {
    while (!tool::Interrupted() && !capture_failed_) {
      std::vector<tool::NetSocket> sockets{listener};
      for (const auto& c : connections_) sockets.push_back(c.socket);
      const auto ready = std::make_unique<bool[]>(sockets.size());
      if (tool::WaitReadable(sockets.data(), sockets.size(), kTraceWaitMs, ready.get()) !=
          platform::kOk) {
        break;
      }
      // Connections first, from the back, so dropping one moves no index still to visit.
      for (size_t i = sockets.size() - 1; i > 0; --i) {
        if (ready[i]) Read(i - 1);
      }
      if (ready[0]) Accept(listener);
    }
    while (!connections_.empty()) Drop(connections_.size() - 1);
  }

 private:
  const Streams& s_;
  TraceSinks sinks_;
  bool capture_failed_ = false;
  std::vector<TraceConnection> connections_;
};

// Opens an output file of the listener (never through a link, never
// another user's file); false after the usage message.
bool OpenLog(const Streams& s, const std::string& path, const char* what, bool binary,
             std::FILE** file, int* rc) {
  if (path.empty()) return true;
  const platform::OsError e = tool::OpenOutputFile(path.c_str(), file, binary);
  if (e == platform::kOk) return true;
  *rc = Usage(s, e == platform::kErrorNotOwnFile
                     ? std::string(what) + " " + path +
                           " is a link or not your own file; choose another name"
                     : std::string("cannot write ") + what + " " + path);
  return false;
}

bool ListenForTrace(const Streams& s, tool::NetSocket* listener,
                    char (&address)[tool::kAddressTextSize]) {
  if (const platform::OsError e = tool::Listen(kTracePort, listener, address)) {
    std::fprintf(s.err,
                 "%s: cannot listen on TCP port %u (error %ld); is another listener running?\n",
                 kProgram, kTracePort, static_cast<long>(e));
    return false;
  }
  return true;
}

int RunTrace(const Streams& s, const Options& o) {
  TraceSinks sinks;
  sinks.decode = o.decode;
  int rc = kExitDone;
  const auto close_logs = [&] {
    if (sinks.candump != nullptr) std::fclose(sinks.candump);
    if (sinks.pcap != nullptr) std::fclose(sinks.pcap);
  };
  if (!OpenLog(s, o.candump, "the candump log", false, &sinks.candump, &rc) ||
      !OpenLog(s, o.pcap, "the pcapng capture", true, &sinks.pcap, &rc)) {
    close_logs();
    return rc;
  }
  if (sinks.pcap != nullptr && !WriteAll(sinks.pcap, PcapngStart())) {
    close_logs();
    return Usage(s, "cannot write the pcapng capture " + o.pcap);
  }
  tool::NetSocket listener = tool::kNoSocket;
  char address[tool::kAddressTextSize] = {};
  if (!ListenForTrace(s, &listener, address)) {
    close_logs();
    return kExitFailed;
  }
  tool::CatchInterrupt();
  std::fprintf(s.err, "Listening for the debug trace on %s:%u; Ctrl-C stops.\n", address,
               kTracePort);
  TraceListener trace(s, sinks);
  trace.Run(listener);
  tool::CloseSocket(listener);
  close_logs();
  if (trace.capture_failed()) {
    std::fprintf(s.err, "%s: writing the pcapng capture %s failed\n", kProgram, o.pcap.c_str());
    return kExitFailed;
  }
  std::fprintf(s.err, "-- stopped\n");
  return kExitDone;
}

// --- Wireshark's extcap interface --------------------------------------------------------

constexpr char kExtcapInterface[] = "orvanta-trace";

struct ExtcapOptions {
  bool interfaces = false, dlts = false, config = false, capture = false;
  std::string interface, fifo;
};

// Wireshark's arguments, as "--name value" or "--name=value"; options it
// may add in later versions are passed over.
bool ParseExtcap(int argc, char** argv, ExtcapOptions* o, std::string* error) {
  const std::pair<const char*, bool*> flags[] = {{"--extcap-interfaces", &o->interfaces},
                                                 {"--extcap-dlts", &o->dlts},
                                                 {"--extcap-config", &o->config},
                                                 {"--capture", &o->capture}};
  const std::pair<const char*, std::string*> values[] = {{"--extcap-interface", &o->interface},
                                                         {"--fifo", &o->fifo}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    for (const auto& [flag, set] : flags) {
      if (name == flag) *set = true;
    }
    for (const auto& [option, set] : values) {
      if (name != option) continue;
      if (equals != std::string_view::npos) {
        *set = std::string(arg.substr(equals + 1));
      } else if (i + 1 < argc) {
        *set = argv[++i];
      } else {
        *error = std::string(option) + " needs a value";
        return false;
      }
    }
  }
  return true;
}

int RunExtcapCapture(const Streams& s, const ExtcapOptions& o) {
  tool::NetSocket listener = tool::kNoSocket;
  char address[tool::kAddressTextSize] = {};
  if (!ListenForTrace(s, &listener, address)) return kExitFailed;
  tool::CatchInterrupt();
  TraceSinks sinks;
  sinks.show = false;
  const platform::OsError e = tool::OpenCapturePipe(o.fifo.c_str(), &sinks.pcap);
  if (e != platform::kOk) {
    tool::CloseSocket(listener);
    std::fprintf(s.err, "%s: cannot write the capture pipe %s (%s)\n", kProgram, o.fifo.c_str(),
                 e == platform::kErrorNotOwnFile ? "not your own pipe, or a link"
                                                 : ("error " + std::to_string(e)).c_str());
    return kExitFailed;
  }
  if (WriteAll(sinks.pcap, PcapngStart())) TraceListener(s, sinks).Run(listener);
  tool::CloseSocket(listener);
  std::fclose(sinks.pcap);
  return kExitDone;
}

// --- parsing --------------------------------------------------------------------------

struct Commands {
  CLI::App* info;
  CLI::App* ls;
  CLI::App* get;
  CLI::App* put;
  CLI::App* rm;
  CLI::App* clock;
  CLI::App* clock_set;
  CLI::App* clock_sync;
  CLI::App* mem_read;
  CLI::App* mem_write;
  CLI::App* firmware;
  CLI::App* trace;
};

Commands Define(CLI::App& app, Options& o) {
  app.set_version_flag("--version", std::string(kProgram) + " " + ORV_VERSION);
  app.add_option("--port", o.port, "the adapter's COM port; every port is searched without it")
      ->check(CLI::Range(1, 1000));
  app.add_flag("--json", o.json, "machine-readable output (info, ls, clock, mem read)");
  app.fallthrough();
  Commands c{};
  c.info = app.add_subcommand("info", "port, versions, serial number and voltages");
  c.ls = app.add_subcommand("ls", "list the adapter's stored files");
  c.ls->add_option("PATTERN", o.pattern, "names to list, with * and ? (default *.*)");
  c.get = app.add_subcommand("get", "copy a stored file to the host");
  c.get->add_option("NAME", o.name, "the stored file")->required();
  c.get->add_option("HOSTFILE", o.host_file, "where to write it (default: NAME)");
  c.put = app.add_subcommand("put", "copy a host file into the adapter's store");
  c.put->add_option("HOSTFILE", o.host_file, "the file to copy")->required();
  c.put->add_option("NAME", o.name, "its stored name (default: the host file's name)");
  c.rm = app.add_subcommand("rm", "delete a stored file");
  c.rm->add_option("NAME", o.name, "the stored file")->required();
  c.clock = app.add_subcommand("clock", "read the adapter's clock (UTC), or set it");
  c.clock_set = c.clock->add_subcommand("set", "set the adapter's clock");
  c.clock_set->add_option("TIME", o.time, "\"YYYY-MM-DD HH:MM:SS\", UTC")->required();
  c.clock_sync = c.clock->add_subcommand("sync", "set the adapter's clock to the host's");
  c.clock->require_subcommand(0, 1);
  CLI::App* mem = app.add_subcommand("mem", "read or write the adapter's memory");
  c.mem_read = mem->add_subcommand("read", "hex dump of adapter memory");
  c.mem_read->add_option("ADDR", o.address, "address (decimal or 0x...)")->required();
  c.mem_read->add_option("LEN", o.length, "number of bytes")->required();
  c.mem_write = mem->add_subcommand("write", "write bytes to adapter memory");
  c.mem_write->add_option("ADDR", o.address, "address (decimal or 0x...)")->required();
  c.mem_write->add_option("HEX", o.hex, "bytes in hex, e.g. DE AD or DEAD")->required();
  c.mem_write->add_flag("--yes,-y", o.yes, "do not ask for confirmation");
  mem->require_subcommand(1);
  c.firmware = app.add_subcommand("firmware", "store a new firmware image (APP.LDR)");
  c.firmware->add_option("FILE", o.host_file, "the firmware image")->required();
  c.firmware->add_flag("--yes,-y", o.yes, "do not ask for confirmation");
  c.trace = app.add_subcommand("trace", "listen for the library's debug trace on TCP port 8609");
  c.trace->add_flag("--decode", o.decode, "describe every frame dump in words");
  c.trace->add_option("--candump", o.candump, "write the bus frames to FILE as a candump log");
  c.trace->add_option("--pcap", o.pcap, "write the bus frames to FILE as pcapng (Wireshark)");
  app.require_subcommand(1);
  return c;
}

// Runs the chosen subcommand once its arguments are checked.
int Dispatch(const Commands& c, Options& o, const Streams& s) {
  if (c.trace->parsed()) return RunTrace(s, o);
  uint32_t address = 0, length = 0;
  std::vector<uint8_t> bytes;
  ClockTime time;
  int rc = kExitDone;
  if (c.get->parsed()) {
    if ((rc = CheckName(s, o.name, kMaxNameToRead)) != kExitDone) return rc;
    if (o.host_file.empty()) o.host_file = fs::path(o.name).filename().string();
    if (o.host_file.empty()) return Usage(s, "give a HOSTFILE to write " + o.name + " to");
  } else if (c.put->parsed()) {
    if (o.name.empty()) o.name = fs::path(o.host_file).filename().string();
    if ((rc = CheckName(s, o.name, kMaxNameToWrite)) != kExitDone) return rc;
    std::error_code ec;
    if (!fs::is_regular_file(o.host_file, ec)) return Usage(s, "cannot read " + o.host_file);
  } else if (c.rm->parsed()) {
    if ((rc = CheckName(s, o.name, kMaxNameToWrite)) != kExitDone) return rc;
  } else if (c.ls->parsed() && o.pattern.size() > kMaxPatternLength) {
    return Usage(s, "the pattern is longer than 67 characters");
  } else if (c.clock_set->parsed() && !ParseClockTime(o.time, &time)) {
    return Usage(s, "TIME must be \"YYYY-MM-DD HH:MM:SS\", not '" + o.time + "'");
  } else if (c.mem_read->parsed()) {
    if (!ParseNumber(o.address, &address)) return Usage(s, "bad address '" + o.address + "'");
    if (!ParseNumber(o.length, &length) || length > kMaxMemoryRead) {
      return Usage(s, "LEN must be a number up to 1048576");
    }
  } else if (c.mem_write->parsed()) {
    if (!ParseNumber(o.address, &address)) return Usage(s, "bad address '" + o.address + "'");
    if (!ParseHexBytes(o.hex, &bytes)) return Usage(s, "HEX must be whole bytes in hex");
    char question[96];
    std::snprintf(question, sizeof question, "Write %zu bytes to adapter memory at 0x%08X?",
                  bytes.size(), static_cast<unsigned>(address));
    if (!Confirmed(s, o, question, &rc)) return rc;
  } else if (c.firmware->parsed()) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(o.host_file, ec);
    if (ec || !fs::is_regular_file(o.host_file, ec) || size > kMaxFirmwareSize) {
      return Usage(s, "cannot read the firmware image " + o.host_file);
    }
    std::ifstream in(o.host_file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    if (bytes.size() != size) return Usage(s, "cannot read the firmware image " + o.host_file);
    if (!Confirmed(s, o,
                   "Replace the adapter's firmware image with " + o.host_file + " (" +
                       std::to_string(size) + " bytes)?",
                   &rc)) {
      return rc;
    }
  }

  uint32_t device_id = 0;
  if ((rc = Open(s, o, &device_id)) != kExitDone) return rc;
  rc = c.info->parsed()         ? RunInfo(s, o, device_id)
       : c.ls->parsed()         ? RunList(s, o)
       : c.get->parsed()        ? RunGet(s, o)
       : c.put->parsed()        ? RunPut(s, o)
       : c.rm->parsed()         ? RunRemove(s, o)
       : c.clock_set->parsed()  ? RunClockSet(s, time)
       : c.clock_sync->parsed() ? RunClockSync(s, o)
       : c.clock->parsed()      ? RunClockRead(s, o)
       : c.mem_read->parsed()   ? RunMemoryRead(s, o, address, length)
       : c.mem_write->parsed()  ? RunMemoryWrite(s, address, bytes)
                                : RunFirmware(s, bytes);
  PassThruClose(device_id);
  return rc;
}

}  // namespace

int RunExtcap(int argc, char** argv, const Streams& s) {
  ExtcapOptions o;
  std::string error;
  if (!ParseExtcap(argc, argv, &o, &error)) return Usage(s, error);
  if (o.interfaces) {
    std::fprintf(s.out,
                 "extcap {version=%s}{display=Orvanta adapter buses from the library's debug "
                 "trace}\n"
                 "interface {value=%s}{display=Orvanta adapter CAN buses (debug trace, TCP "
                 "%u)}\n",
                 ORV_VERSION, kExtcapInterface, kTracePort);
    return kExitDone;
  }
  if (!o.interface.empty() && o.interface != kExtcapInterface) {
    return Usage(s, "no extcap interface '" + o.interface + "'; it is " + kExtcapInterface);
  }
  if (o.dlts) {
    std::fprintf(s.out, "dlt {number=227}{name=CAN_SOCKETCAN}{display=SocketCAN}\n");
    return kExitDone;
  }
  if (o.config) return kExitDone;  // nothing to set: the trace's port is fixed
  if (o.capture) {
    if (o.fifo.empty()) return Usage(s, "--capture needs --fifo PATH");
    return RunExtcapCapture(s, o);
  }
  return Usage(s, "give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture");
}

int RunAdapterTool(int argc, char** argv, const Streams& streams) {
  CLI::App app{
      "Talks to an Orvanta adapter: its file store, clock, memory and firmware, "
      "and listens for the pass-thru library's debug trace.",
      kProgram};
  Options options;
  const Commands commands = Define(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    std::fputs(out.str().c_str(), streams.out);
    std::fputs(err.str().c_str(), streams.err);
    return code == 0 ? kExitDone : kExitUsage;
  }
  return Dispatch(commands, options, streams);
}

}  // namespace orv::app::adapter
