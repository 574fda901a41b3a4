// Benchmarks over a pseudo-terminal against orvanta-adapter-sim, with the
// library on its native POSIX backend. Each runs once (the figures are
// counters) and measures its own reference in the same run:
//   - upload: PassThruWriteFile of a 4 MiB file, against the same frames
//     written straight to the simulator's pseudo-terminal by this program
//     without waiting for the batch answers ("raw"); with the simulator
//     answering at once and with its default 1 ms answer latency;
//   - bus receive: frames per second delivered by PassThruReadMsgs while
//     the simulator sends steady CAN traffic, against the frames per second
//     a plain read() loop on the same pseudo-terminal gets ("raw"); also
//     with the simulator offering frames as fast as the line takes them
//     (saturation), where the reader, not the offer, sets the rate;
//   - idle wait: the CPU time (getrusage) PassThruReadMsgs spends while it
//     waits out a 2 s time limit with nothing arriving, as a share of the
//     wall time;
//   - discovery of COM7 among 1000 ports, and the README's provisioning demo
//     (orvanta-provision against the simulator): wall time above the fixed
//     waits of discovery (200 + 100 + 200 + 200 ms);
//   - at 115200 baud (the simulator paces the line): provisioning, a
//     4095-byte ISO 15765 request and a 64 kB PassThruWriteFile, wall time
//     each, set against the line rate by bench/run_benchmarks.sh.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "link/jmsg.h"
#include "passthru/library_state.h"

namespace orv::bench {
namespace {

constexpr size_t kUploadBytes = 4u << 20;
constexpr size_t kBatchFrames = 64;
constexpr size_t kFrameBytes = 64;
constexpr double kFixedDiscoveryWaitsMs = 700.0;
constexpr double kMeasureSeconds = 1.0;
constexpr double kWarmUpSeconds = 0.3;
// Steady traffic offered by the simulator: this many entries, each one CAN
// frame of 20 wire bytes every millisecond. At saturation the simulator
// offers the same frame without pause.
constexpr int kTrafficEntries = 1000;
constexpr char kTrafficFrame[] = "10:07E8084100BE1FA813AA";
constexpr size_t kTrafficFrameWire = 20;
constexpr size_t kFile64kBytes = 64u << 10;

std::vector<uint8_t> UploadContents() {
  std::vector<uint8_t> bytes(kUploadBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 4093);
  return bytes;
}

void Append(std::vector<uint8_t>& out, const emu::Frame& f) {
  emu::append_wire(f, out);
}

// The frames PassThruWriteFile sends for `contents` stored as `name`:
// delete, open, batches of 64 frames of 64 bytes (the last flagged 0x80),
// close. `answers` receives the number of answers the adapter gives.
std::vector<uint8_t> UploadWire(const std::vector<uint8_t>& contents, const std::string& name,
                                size_t* answers) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> name_data(name.begin(), name.end());
  name_data.push_back(0);
  std::vector<uint8_t> delete_data = name_data;
  delete_data.resize(delete_data.size() + 10, 0);
  Append(out, emu::Frame::make(0xE0, 7, 0, 0, delete_data));
  Append(out, emu::Frame::make(0xE0, 5, 0, 0, name_data));
  *answers = 3;
  for (size_t at = 0; at < contents.size(); at += kFrameBytes) {
    const size_t n = std::min(kFrameBytes, contents.size() - at);
    const bool last =
        (at / kFrameBytes) % kBatchFrames == kBatchFrames - 1 || at + n == contents.size();
    Append(out, emu::Frame::make(0xE0, 3, 0, last ? 0x80 : 0,
                                 std::span<const uint8_t>(contents.data() + at, n)));
    if (last) ++*answers;
  }
  Append(out, emu::Frame::make(0xE0, 6, 0, 0));
  return out;
}

// Writes the upload's frames straight to the simulator and reads its
// answers (10 bytes each) on a second thread; returns the seconds taken.
double RawUploadSeconds(const SimProgram& sim, const std::vector<uint8_t>& contents) {
  size_t answers = 0;
  const std::vector<uint8_t> wire = UploadWire(contents, "RAW.BIN", &answers);
  RawPort port(sim.link());
  if (!port.ok()) return -1;
  std::atomic<bool> done{false};
  const auto start = Clock::now();
  std::thread reader([&] {
    std::vector<uint8_t> buf(4096);
    size_t got = 0;
    while (got < answers * kJmsgHeaderSize) {
      const ssize_t n = read(port.fd(), buf.data(), buf.size());
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    done = true;
  });
  const bool written = port.WriteAll(wire);
  reader.join();
  const double seconds = SecondsSince(start);
  return written && done ? seconds : -1;
}

// False, with the benchmark skipped, when the simulator did not start.
bool SimStarted(benchmark::State& state, const SimProgram& sim) {
  if (!sim.started()) state.SkipWithError("orvanta-adapter-sim did not start");
  return sim.started();
}

// False, with the benchmark skipped, when the link could not be set up.
bool Linked(benchmark::State& state, bool linked) {
  if (!linked) state.SkipWithError("no link to the simulator");
  return linked;
}

// A fresh library opened on COM7 with a CAN channel connected.
bool OpenCan(uint32_t* device, uint32_t* channel) {
  ResetLibraryState();
  return PassThruOpen("COM7", device) == 0 &&
         PassThruConnect(*device, CAN, 0, 500000, channel) == 0;
}

// Argument: the simulator's answer latency in ms (0: it answers as soon as
// a request is in; 1: its default, one millisecond per batch answer).
void BM_PtyUpload4MiB(benchmark::State& state) {
  SimProgram sim({"--answer-latency", std::to_string(state.range(0))});
  if (!SimStarted(state, sim)) return;
  const std::vector<uint8_t> contents = UploadContents();
  const std::string host = sim.dir() + "/upload.bin";
  std::ofstream(host, std::ios::binary)
      .write(reinterpret_cast<const char*>(contents.data()),
             static_cast<std::streamsize>(contents.size()));
  for (auto _ : state) {
    const double raw = RawUploadSeconds(sim, contents);
    ResetLibraryState();
    uint32_t device = 0;
    if (!Linked(state, raw > 0 && PassThruOpen("COM7", &device) == STATUS_NOERROR)) return;
    std::string host_name = host;
    std::string stored = "BENCH.BIN";
    const auto start = Clock::now();
    const int32_t status = PassThruWriteFile(host_name.data(), stored.data(), 0);
    const double lib = SecondsSince(start);
    PassThruClose(device);
    ResetLibraryState();
    if (status != STATUS_NOERROR) {
      state.SkipWithError("PassThruWriteFile failed");
      return;
    }
    const double mib = static_cast<double>(kUploadBytes) / (1 << 20);
    state.counters["raw_MiB_per_s"] = mib / raw;
    state.counters["lib_MiB_per_s"] = mib / lib;
    state.counters["ratio"] = raw / lib;
  }
}
BENCHMARK(BM_PtyUpload4MiB)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

std::vector<std::string> TrafficArgs() {
  std::vector<std::string> args;
  for (int i = 0; i < kTrafficEntries; ++i) {
    args.push_back("--bus-traffic");
    args.push_back(std::string(kTrafficFrame) + ":1");
  }
  return args;
}

bool ConnectWithFilter(uint32_t* device) {
  ResetLibraryState();
  if (PassThruOpen("COM7", device) != STATUS_NOERROR) return false;
  uint32_t channel = 0;
  if (PassThruConnect(*device, CAN, 0, 500000, &channel) != STATUS_NOERROR) return false;
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0x07, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
  uint32_t id = 0;
  return PassThruStartMsgFilter(CAN, PASS_FILTER, &mask, &pattern, nullptr, &id) == 0;
}

// Frames per second a plain reader of the pseudo-terminal gets.
double RawReceiveRate(const SimProgram& sim) {
  RawPort port(sim.link());
  if (!port.ok()) return -1;
  std::vector<uint8_t> buf(65536);
  const auto start = Clock::now();
  size_t bytes = 0;
  bool measuring = false;
  Clock::time_point measure_start;
  for (;;) {
    const ssize_t n = read(port.fd(), buf.data(), buf.size());
    if (n <= 0) return -1;
    const double t = SecondsSince(start);
    if (!measuring && t >= kWarmUpSeconds) {
      measuring = true;
      measure_start = Clock::now();
      continue;
    }
    if (!measuring) continue;
    bytes += static_cast<size_t>(n);
    if (SecondsSince(measure_start) >= kMeasureSeconds) break;
  }
  return static_cast<double>(bytes) / kTrafficFrameWire / SecondsSince(measure_start);
}

// Messages per second PassThruReadMsgs delivers.
double LibraryReceiveRate() {
  std::vector<PASSTHRU_MSG> msgs(256);
  auto read_for = [&](double seconds) {
    uint64_t total = 0;
    const auto start = Clock::now();
    while (SecondsSince(start) < seconds) {
      uint32_t count = static_cast<uint32_t>(msgs.size());
      PassThruReadMsgs(CAN, msgs.data(), &count, 0);
      total += count;
    }
    return total;
  };
  read_for(kWarmUpSeconds);
  const auto start = Clock::now();
  const uint64_t frames = read_for(kMeasureSeconds);
  return static_cast<double>(frames) / SecondsSince(start);
}

void BM_PtyBusReceive(benchmark::State& state) {
  SimProgram sim(TrafficArgs());
  for (auto _ : state) {
    uint32_t device = 0;
    if (!SimStarted(state, sim) || !Linked(state, ConnectWithFilter(&device))) return;
    const double lib = LibraryReceiveRate();
    // The channel stays connected on the adapter: the raw reader takes the
    // port over and reads the same traffic.
    PassThruClose(device);
    ResetLibraryState();
    const double raw = RawReceiveRate(sim);
    if (raw <= 0) {
      state.SkipWithError("the raw reader got nothing");
      return;
    }
    state.counters["offered_frames_per_s"] = kTrafficEntries * 1000.0;
    state.counters["raw_frames_per_s"] = raw;
    state.counters["lib_frames_per_s"] = lib;
    state.counters["ratio"] = lib / raw;
  }
}
BENCHMARK(BM_PtyBusReceive)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bus receive at saturation: the simulator offers the frame whenever its
// backlog for the line runs low, so each reader gets what it can take.
void BM_PtyBusReceiveSaturated(benchmark::State& state) {
  SimProgram sim({"--saturate", kTrafficFrame});
  for (auto _ : state) {
    uint32_t device = 0;
    if (!SimStarted(state, sim) || !Linked(state, ConnectWithFilter(&device))) return;
    const double lib = LibraryReceiveRate();
    // As above: the channel stays connected, the raw reader takes over.
    PassThruClose(device);
    ResetLibraryState();
    const double raw = RawReceiveRate(sim);
    if (raw <= 0 || lib <= 0) {
      state.SkipWithError("a reader got nothing");
      return;
    }
    state.counters["raw_frames_per_s"] = raw;
    state.counters["lib_frames_per_s"] = lib;
    state.counters["ratio"] = lib / raw;
  }
}
BENCHMARK(BM_PtyBusReceiveSaturated)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bus receive while a second thread asks the adapter for its version
// without pause: the version waits must not hold up the channel's reads.
void BM_PtyBusReceiveBesideVersions(benchmark::State& state) {
  SimProgram sim(TrafficArgs());
  for (auto _ : state) {
    uint32_t device = 0;
    if (!SimStarted(state, sim) || !Linked(state, ConnectWithFilter(&device))) return;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> versions{0};
    std::thread asker([&] {
      char fw[80], dll[80], api[80];
      while (!stop) {
        if (PassThruReadVersion(device, fw, dll, api) == STATUS_NOERROR) ++versions;
      }
    });
    const double lib = LibraryReceiveRate();
    stop = true;
    asker.join();
    PassThruClose(device);
    ResetLibraryState();
    state.counters["lib_frames_per_s"] = lib;
    state.counters["versions_per_s"] = versions / (kWarmUpSeconds + kMeasureSeconds);
  }
}
BENCHMARK(BM_PtyBusReceiveBesideVersions)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

double MsSince(Clock::time_point start) {
  return SecondsSince(start) * 1000.0;
}

// PassThruReadMsgs with Timeout 0 on a quiet channel: how long one call
// takes (a millisecond of receive passes); mean, median and 99th percentile.
void BM_PtyReadTimeout0(benchmark::State& state) {
  SimProgram sim;
  uint32_t device = 0;
  uint32_t channel = 0;
  if (!SimStarted(state, sim) || !Linked(state, OpenCan(&device, &channel))) return;
  std::vector<double> call_ms;
  call_ms.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) {
    PASSTHRU_MSG msg{};
    uint32_t count = 1;
    const auto start = Clock::now();
    PassThruReadMsgs(channel, &msg, &count, 0);
    call_ms.push_back(MsSince(start));
  }
  state.counters["median_ms"] = Percentile(call_ms, 0.5);
  state.counters["p99_ms"] = Percentile(call_ms, 0.99);
  PassThruClose(device);
  ResetLibraryState();
}
BENCHMARK(BM_PtyReadTimeout0)->Iterations(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr uint32_t kRequestId = 0x7E0;
constexpr uint32_t kResponseId = 0x7E8;

std::vector<uint8_t> IsoData(uint32_t id, std::vector<uint8_t> payload) {
  payload.insert(payload.begin(), {0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)});
  return payload;
}

// The link open and an ISO 15765 channel with the ECU's flow-control
// filter (answers from 0x7E8, flow control to 0x7E0), as examples/vin_reader.c.
bool ConnectIsoToEcu(uint32_t* device, uint32_t* channel) {
  ResetLibraryState();
  if (PassThruOpen("COM7", device) != 0) return false;
  if (PassThruConnect(*device, ISO15765, 0, 500000, channel) != 0) return false;
  PASSTHRU_MSG mask = MakeMsg(ISO15765, {0, 0, 0x07, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(ISO15765, IsoData(kResponseId, {}));
  PASSTHRU_MSG flow = MakeMsg(ISO15765, IsoData(kRequestId, {}), ISO15765_FRAME_PAD);
  uint32_t id = 0;
  return PassThruStartMsgFilter(*channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id) == 0;
}

// Reads until the ECU's complete answer with service byte `sid` arrives
// (transmit indications and first-frame notices are passed over).
bool ReadEcuAnswer(uint32_t channel, uint8_t sid, uint32_t timeout_ms) {
  static thread_local PASSTHRU_MSG msg;
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint32_t count = 1;
    PassThruReadMsgs(channel, &msg, &count, timeout_ms);
    if (count == 1 && (msg.RxStatus & (START_OF_MESSAGE | TX_MSG_TYPE)) == 0 && msg.DataSize > 4 &&
        msg.Data[4] == sid) {
      return true;
    }
  }
  return false;
}

bool AskEcu(uint32_t channel, std::vector<uint8_t> request, uint8_t answer_sid) {
  PASSTHRU_MSG msg = MakeMsg(ISO15765, IsoData(kRequestId, std::move(request)), ISO15765_FRAME_PAD);
  uint32_t count = 1;
  return PassThruWriteMsgs(channel, &msg, &count, 1000) == 0 &&
         ReadEcuAnswer(channel, answer_sid, 1000);
}

// The OBD request 01 00 as the library sends it on the ISO 15765 channel
// (one padded single frame to 0x7E0, 1000 ms transmit limit).
std::vector<uint8_t> ObdRequestWire() {
  const std::vector<uint8_t> data{0x07, 0xE0, 0x02, 0x01, 0x00, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
  emu::Frame f = emu::Frame::make(emu::dev::kIso15765_1, emu::op::kWrite, 5, 0, data);
  f.timestamp = {0xE8, 0x03, 0, 0};
  return emu::to_wire(f);
}

// Microseconds from writing the request straight to the pseudo-terminal
// until a blocking read() has the ECU's answer (10 + 10 bytes); -1 if none.
double RawAnswerMicros(RawPort& port, const std::vector<uint8_t>& request) {
  uint8_t buf[64];
  size_t got = 0;
  const auto sent = Clock::now();
  if (!port.WriteAll(request)) return -1;
  while (got < 2 * kJmsgHeaderSize) {
    pollfd p{port.fd(), POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return -1;
    const ssize_t n = read(port.fd(), buf, sizeof buf);
    if (n <= 0) return -1;
    got += static_cast<size_t>(n);
  }
  return SecondsSince(sent) * 1e6;
}

// Microseconds from PassThruWriteMsgs of the request until a reader
// blocked in PassThruReadMsgs (1 s time limit) returns with the answer.
double LibraryAnswerMicros(uint32_t channel) {
  std::atomic<bool> reading{false};
  Clock::time_point answered;
  bool ok = false;
  std::thread reader([&] {
    reading = true;
    ok = ReadEcuAnswer(channel, 0x41, 1000);
    answered = Clock::now();
  });
  while (!reading) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the reader now waits in poll()
  PASSTHRU_MSG request = MakeMsg(ISO15765, IsoData(kRequestId, {0x01, 0x00}), ISO15765_FRAME_PAD);
  uint32_t count = 1;
  const auto sent = Clock::now();
  PassThruWriteMsgs(channel, &request, &count, 0);
  reader.join();
  return ok ? std::chrono::duration<double, std::micro>(answered - sent).count() : -1;
}

// Wake-up of a blocked PassThruReadMsgs by an arriving bus frame: the
// simulator's ECU answers an OBD request (01 00) on its next 1 ms bus tick,
// so the time from request to answer is measured twice, 100 times each:
// through the library with the answer picked up by a blocked reader, and
// by this program writing the same request bytes to the pseudo-terminal
// and waiting in read(). The difference of the medians is the library's
// share: its request path and the blocked reader's wake-up.
void BM_PtyFrameWakeup(benchmark::State& state) {
  SimProgram sim({"--answer-latency", "0"});
  uint32_t device = 0;
  uint32_t channel = 0;
  if (!SimStarted(state, sim) || !Linked(state, ConnectIsoToEcu(&device, &channel))) return;
  std::vector<double> lib_us;
  std::vector<double> raw_us;
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i) lib_us.push_back(LibraryAnswerMicros(channel));
    // The channel and its filter stay set up on the adapter: the raw
    // program takes the port over and asks the same.
    PassThruClose(device);
    ResetLibraryState();
    RawPort port(sim.link());
    const std::vector<uint8_t> request = ObdRequestWire();
    for (int i = 0; i < 100 && port.ok(); ++i) raw_us.push_back(RawAnswerMicros(port, request));
  }
  if (raw_us.size() != 100 || Percentile(lib_us, 0.0) < 0 || Percentile(raw_us, 0.0) < 0) {
    state.SkipWithError("the ECU did not answer every request");
    return;
  }
  state.counters["lib_median_us"] = Percentile(lib_us, 0.5);
  state.counters["raw_median_us"] = Percentile(raw_us, 0.5);
  state.counters["lib_p99_us"] = Percentile(lib_us, 0.99);
  state.counters["above_raw_us"] = Percentile(lib_us, 0.5) - Percentile(raw_us, 0.5);
}
BENCHMARK(BM_PtyFrameWakeup)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Calls per second of `call` for `seconds`.
template <typename Call>
double RateOf(Call call, double seconds, std::atomic<int>* failures) {
  uint64_t done = 0;
  const auto start = Clock::now();
  while (SecondsSince(start) < seconds) {
    if (call()) {
      ++done;
    } else {
      ++*failures;
    }
  }
  return static_cast<double>(done) / SecondsSince(start);
}

// A VIN reader (09 02 over ISO 15765) and a voltage reader (READ_VBATT)
// each alone for 1 s, then both on their own threads for 2 s.
void BM_PtyVinBesideVoltage(benchmark::State& state) {
  SimProgram sim({"--answer-latency", "0"});
  uint32_t device = 0;
  uint32_t channel = 0;
  if (!SimStarted(state, sim) || !Linked(state, ConnectIsoToEcu(&device, &channel))) return;
  auto vin = [&] { return AskEcu(channel, {0x09, 0x02}, 0x49); };
  auto volts = [&] {
    uint32_t millivolts = 0;
    return PassThruIoctl(device, READ_VBATT, nullptr, &millivolts) == 0 && millivolts > 0;
  };
  std::atomic<int> failures{0};
  for (auto _ : state) {
    const double vin_alone = RateOf(vin, 1.0, &failures);
    const double volts_alone = RateOf(volts, 1.0, &failures);
    double volts_both = 0;
    std::thread second([&] { volts_both = RateOf(volts, 2.0, &failures); });
    const double vin_both = RateOf(vin, 2.0, &failures);
    second.join();
    state.counters["vin_alone_per_s"] = vin_alone;
    state.counters["volts_alone_per_s"] = volts_alone;
    state.counters["vin_both_per_s"] = vin_both;
    state.counters["volts_both_per_s"] = volts_both;
    state.counters["vin_share"] = vin_both / vin_alone;
    state.counters["volts_share"] = volts_both / volts_alone;
  }
  if (failures > 0) state.SkipWithError("a VIN or voltage call failed");
  PassThruClose(device);
  ResetLibraryState();
}
BENCHMARK(BM_PtyVinBesideVoltage)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// PassThruWriteMsgs on an MSCAN channel while another thread waits in a
// 1 s PassThruReadMsgs on a quiet CAN channel: 20 writes, 20 ms apart.
void BM_PtyWriteBesideBlockedRead(benchmark::State& state) {
  SimProgram sim({"--answer-latency", "0"});
  uint32_t device = 0;
  uint32_t writer = 0;
  if (!SimStarted(state, sim) ||
      !Linked(state, ConnectWithFilter(&device) &&
                         PassThruConnect(device, MSCAN, 0, 500000, &writer) == 0)) {
    return;
  }
  std::vector<double> write_ms;
  int failures = 0;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::atomic<bool> reading{false};
    std::thread reader([&] {
      std::vector<PASSTHRU_MSG> msgs(4);
      while (!stop) {
        uint32_t count = static_cast<uint32_t>(msgs.size());
        reading = true;
        PassThruReadMsgs(CAN, msgs.data(), &count, 1000);
      }
    });
    while (!reading) std::this_thread::yield();
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      PASSTHRU_MSG msg = MakeMsg(MSCAN, {0, 0, 0x01, 0x23, static_cast<uint8_t>(i)});
      uint32_t count = 1;
      const auto start = Clock::now();
      if (PassThruWriteMsgs(writer, &msg, &count, 100) != 0 || count != 1) ++failures;
      write_ms.push_back(MsSince(start));
    }
    stop = true;
    reader.join();
  }
  if (failures > 0) state.SkipWithError("PassThruWriteMsgs failed");
  state.counters["median_ms"] = Percentile(write_ms, 0.5);
  state.counters["max_ms"] = Percentile(write_ms, 1.0);
  PassThruClose(device);
  ResetLibraryState();
}
BENCHMARK(BM_PtyWriteBesideBlockedRead)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_IdleReadCpuShare(benchmark::State& state) {
  SimProgram sim;
  if (!SimStarted(state, sim)) return;
  for (auto _ : state) {
    uint32_t device = 0;
    uint32_t channel = 0;
    if (!Linked(state, OpenCan(&device, &channel))) return;
    PASSTHRU_MSG msg{};
    uint32_t count = 1;
    const double cpu_before = CpuSeconds();
    const auto start = Clock::now();
    const int32_t status = PassThruReadMsgs(channel, &msg, &count, 2000);
    const double wall = SecondsSince(start);
    const double cpu = CpuSeconds() - cpu_before;
    PassThruClose(device);
    ResetLibraryState();
    if (status != ERR_BUFFER_EMPTY) {
      state.SkipWithError("something arrived during the idle wait");
      return;
    }
    state.counters["wall_s"] = wall;
    state.counters["cpu_s"] = cpu;
    state.counters["cpu_share_percent"] = 100.0 * cpu / wall;
  }
}
BENCHMARK(BM_IdleReadCpuShare)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DiscoveryCom7Of1000(benchmark::State& state) {
  SimProgram sim;
  if (!SimStarted(state, sim)) return;
  for (auto _ : state) {
    ResetLibraryState();
    uint32_t device = 0;
    const auto start = Clock::now();
    const int32_t status = PassThruOpen(nullptr, &device);
    const double ms = SecondsSince(start) * 1000.0;
    ResetLibraryState();
    if (status != STATUS_NOERROR || device != 7) {
      state.SkipWithError("the adapter was not found on COM7");
      return;
    }
    state.counters["wall_ms"] = ms;
    state.counters["above_fixed_waits_ms"] = ms - kFixedDiscoveryWaitsMs;
  }
}
BENCHMARK(BM_DiscoveryCom7Of1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Runs orvanta-provision as the README's demo does; returns the exit code.
int RunProvision(const std::string& work_dir) {
  int in[2];
  if (pipe(in) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    close(in[0]);
    close(in[1]);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    if (chdir(work_dir.c_str()) != 0) _exit(126);
    execl(ORV_PROVISION_PATH, "orvanta-provision", "--ssid", "DemoNetwork", "--password-stdin",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  const char password[] = "correct-horse-42\n";
  const ssize_t written = write(in[1], password, sizeof password - 1);
  close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (written < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_ProvisionDemo(benchmark::State& state) {
  char pattern[] = "/tmp/orv-bench-store-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string store = std::string(pattern) + "/store";
  const std::string work = std::string(pattern) + "/work";
  std::filesystem::create_directories(work);
  {
    SimProgram sim({"--store", store});
    if (!SimStarted(state, sim)) return;
    for (auto _ : state) {
      const auto start = Clock::now();
      const int code = RunProvision(work);
      const double ms = SecondsSince(start) * 1000.0;
      if (code != 0) {
        state.SkipWithError("orvanta-provision failed");
        break;
      }
      state.counters["wall_ms"] = ms;
      state.counters["above_fixed_waits_ms"] = ms - kFixedDiscoveryWaitsMs;
    }
  }
  const bool stored = std::filesystem::exists(store + "/IOT.NET");
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
  if (!stored) state.SkipWithError("IOT.NET did not reach the store");
}
BENCHMARK(BM_ProvisionDemo)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 4095-byte ISO 15765 request to the emulated ECU on 0x7E0, timed until
// its answer (length and byte sum) is read: only then has every byte
// crossed the line. Returns the seconds, or -1.
double LongIsoRequestSeconds(uint32_t device) {
  uint32_t channel = 0;
  if (PassThruConnect(device, ISO15765, 0, 500000, &channel) != STATUS_NOERROR) return -1;
  PASSTHRU_MSG mask = MakeMsg(ISO15765, {0, 0, 0x07, 0xFF}, ISO15765_FRAME_PAD);
  PASSTHRU_MSG pattern = MakeMsg(ISO15765, {0, 0, 0x07, 0xE8}, ISO15765_FRAME_PAD);
  PASSTHRU_MSG flow = MakeMsg(ISO15765, {0, 0, 0x07, 0xE0}, ISO15765_FRAME_PAD);
  uint32_t filter = 0;
  if (PassThruStartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter) != 0) {
    return -1;
  }
  std::vector<uint8_t> data{0, 0, 0x07, 0xE0, 0x36, 0x01};
  while (data.size() < 4 + 4095) data.push_back(static_cast<uint8_t>(data.size()));
  PASSTHRU_MSG request = MakeMsg(ISO15765, data, ISO15765_FRAME_PAD);
  const auto start = Clock::now();
  uint32_t count = 1;
  if (PassThruWriteMsgs(channel, &request, &count, 5000) != STATUS_NOERROR) return -1;
  for (int i = 0; i < 10; ++i) {
    PASSTHRU_MSG answer{};
    count = 1;
    PassThruReadMsgs(channel, &answer, &count, 3000);
    const bool whole = count == 1 && (answer.RxStatus & (START_OF_MESSAGE | TX_MSG_TYPE)) == 0;
    if (whole && answer.DataSize > 4 && answer.Data[4] == 0x76) return SecondsSince(start);
  }
  return -1;
}

// Provisioning, a 4095-byte ISO 15765 request and a 64 kB PassThruWriteFile
// with the simulator pacing the line at 115200 baud (11520 bytes/s).
void BM_PtyAt115200Baud(benchmark::State& state) {
  char pattern[] = "/tmp/orv-bench-baud-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string work = std::string(pattern) + "/work";
  std::filesystem::create_directories(work);
  const std::string host = work + "/file64k.bin";
  std::vector<uint8_t> contents(kFile64kBytes);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i * 7);
  std::ofstream(host, std::ios::binary)
      .write(reinterpret_cast<const char*>(contents.data()),
             static_cast<std::streamsize>(contents.size()));
  {
    SimProgram sim({"--baud", "115200"});
    if (!SimStarted(state, sim)) return;
    for (auto _ : state) {
      auto start = Clock::now();
      if (RunProvision(work) != 0) {
        state.SkipWithError("orvanta-provision failed");
        break;
      }
      state.counters["provision_ms"] = SecondsSince(start) * 1000.0;
      ResetLibraryState();
      uint32_t device = 0;
      if (PassThruOpen("COM7", &device) != STATUS_NOERROR) {
        state.SkipWithError("no link to the simulator");
        break;
      }
      const double iso = LongIsoRequestSeconds(device);
      std::string host_name = host;
      std::string stored = "FILE64K.BIN";
      start = Clock::now();
      const int32_t status = PassThruWriteFile(host_name.data(), stored.data(), 0);
      const double file = SecondsSince(start);
      PassThruClose(device);
      ResetLibraryState();
      if (iso < 0 || status != STATUS_NOERROR) {
        state.SkipWithError("a transfer failed at 115200 baud");
        break;
      }
      state.counters["iso_write_ms"] = iso * 1000.0;
      state.counters["file_64k_ms"] = file * 1000.0;
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
}
BENCHMARK(BM_PtyAt115200Baud)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace orv::bench

BENCHMARK_MAIN();
