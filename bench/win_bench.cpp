// orvanta-win-bench: the Windows figures of the pseudo-terminal benchmarks
// as a plain timing program (Google Benchmark is not built for mingw-w64),
// run under wine64 against orvanta-adapter-sim on COM7 (started with
// --answer-latency 0) by bench/run_windows_benchmarks.sh. It loads
// orvanta_passthru.dll as host programs do and times, with the performance
// counter:
//   - PassThruReadMsgs with Timeout 0 on a quiet channel (median, p99);
//   - the process's CPU time while PassThruReadMsgs waits out 2 s;
//   - request to answer through a reader blocked in PassThruReadMsgs,
//     against the same request written to the port by this program and its
//     answer read with ReadFile (returning at the first bytes);
//   - a VIN reader and a voltage reader, each alone, then side by side;
//   - PassThruWriteMsgs on one channel while another thread waits in a 1 s
//     PassThruReadMsgs on another.
// Prints one JSON object; --smoke runs each part briefly (CI).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "orvanta_j2534.h"

namespace {

bool g_smoke = false;

double NowUs() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1e6 / frequency;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1,
                         static_cast<size_t>(p * static_cast<double>(values.size())))];
}

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

PASSTHRU_MSG Msg(uint32_t protocol, std::initializer_list<uint8_t> data, uint32_t flags = 0) {
  PASSTHRU_MSG m{};
  m.ProtocolID = protocol;
  m.TxFlags = flags;
  std::copy(data.begin(), data.end(), m.Data);
  m.DataSize = static_cast<ORV_ULONG>(data.size());
  return m;
}

struct Results {
  std::vector<std::pair<std::string, double>> values;
  bool ok = true;
  void Add(const char* name, double value) { values.emplace_back(name, value); }
  void Fail(const char* what) {
    std::fprintf(stderr, "orvanta-win-bench: %s\n", what);
    ok = false;
  }
};

bool OpenCan(uint32_t* device, uint32_t* channel) {
  return PassThruOpen("COM7", device) == 0 &&
         PassThruConnect(*device, CAN, 0, 500000, channel) == 0;
}

// ISO 15765 with the ECU's flow-control filter (answers from 0x7E8).
bool ConnectIsoToEcu(uint32_t* device, uint32_t* channel) {
  if (PassThruOpen("COM7", device) != 0) return false;
  if (PassThruConnect(*device, ISO15765, 0, 500000, channel) != 0) return false;
  PASSTHRU_MSG mask = Msg(ISO15765, {0, 0, 0x07, 0xFF});
  PASSTHRU_MSG pattern = Msg(ISO15765, {0, 0, 0x07, 0xE8});
  PASSTHRU_MSG flow = Msg(ISO15765, {0, 0, 0x07, 0xE0}, ISO15765_FRAME_PAD);
  uint32_t id = 0;
  return PassThruStartMsgFilter(*channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id) == 0;
}

bool ReadEcuAnswer(uint32_t channel, uint8_t sid, uint32_t timeout_ms) {
  PASSTHRU_MSG msg{};
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

void TimeoutZero(Results& r) {
  uint32_t device = 0;
  uint32_t channel = 0;
  if (!OpenCan(&device, &channel)) return r.Fail("no CAN channel");
  std::vector<double> ms;
  const int calls = g_smoke ? 100 : 1000;
  for (int i = 0; i < calls; ++i) {
    PASSTHRU_MSG msg{};
    uint32_t count = 1;
    const double start = NowUs();
    PassThruReadMsgs(channel, &msg, &count, 0);
    ms.push_back((NowUs() - start) / 1000);
  }
  r.Add("timeout0_median_ms", Percentile(ms, 0.5));
  r.Add("timeout0_p99_ms", Percentile(ms, 0.99));

  PASSTHRU_MSG msg{};
  uint32_t count = 1;
  const uint32_t wait_ms = g_smoke ? 500 : 2000;
  const double cpu = CpuSeconds();
  const double start = NowUs();
  const int32_t status = PassThruReadMsgs(channel, &msg, &count, wait_ms);
  const double wall = (NowUs() - start) / 1e6;
  if (status != ERR_BUFFER_EMPTY) r.Fail("something arrived during the idle wait");
  r.Add("idle_wall_s", wall);
  r.Add("idle_cpu_percent", 100 * (CpuSeconds() - cpu) / wall);
  PassThruClose(device);
}

struct Answer {
  uint32_t channel = 0;
  double answered_us = 0;
  bool ok = false;
  volatile LONG reading = 0;
};

DWORD WINAPI AwaitAnswer(void* argument) {
  auto* a = static_cast<Answer*>(argument);
  InterlockedExchange(&a->reading, 1);
  a->ok = ReadEcuAnswer(a->channel, 0x41, 1000);
  a->answered_us = NowUs();
  return 0;
}

double LibraryAnswerUs(uint32_t channel) {
  Answer a;
  a.channel = channel;
  HANDLE reader = CreateThread(nullptr, 0, AwaitAnswer, &a, 0, nullptr);
  while (InterlockedCompareExchange(&a.reading, 0, 0) == 0) SwitchToThread();
  const double settle = NowUs();
  while (NowUs() - settle < 2000) SwitchToThread();  // the reader now waits on the port
  PASSTHRU_MSG request = Msg(ISO15765, {0, 0, 0x07, 0xE0, 0x01, 0x00}, ISO15765_FRAME_PAD);
  uint32_t count = 1;
  const double sent = NowUs();
  PassThruWriteMsgs(channel, &request, &count, 0);
  WaitForSingleObject(reader, INFINITE);
  CloseHandle(reader);
  return a.ok ? a.answered_us - sent : -1;
}

// The OBD request 01 00 as the library writes it on the ISO 15765 channel:
// one padded single frame to 0x7E0 with a 1000 ms transmit limit.
constexpr uint8_t kObdRequestWire[] = {0x00, 0x0A, 0x20, 0x03, 0x00, 0x05, 0xE8, 0x03, 0x00, 0x00,
                                       0x07, 0xE0, 0x02, 0x01, 0x00, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
constexpr DWORD kAnswerBytes = 20;  // two frame headers at least

// Microseconds from WriteFile of the request until ReadFile has the answer.
double RawAnswerUs(HANDLE port) {
  const double sent = NowUs();
  DWORD done = 0;
  if (!WriteFile(port, kObdRequestWire, sizeof kObdRequestWire, &done, nullptr) ||
      done != sizeof kObdRequestWire) {
    return -1;
  }
  uint8_t buffer[256];
  DWORD got = 0;
  while (got < kAnswerBytes) {
    if (!ReadFile(port, buffer, kAnswerBytes - got, &done, nullptr) || done == 0) return -1;
    got += done;
  }
  return NowUs() - sent;
}

void WakeUp(Results& r) {
  uint32_t device = 0;
  uint32_t channel = 0;
  if (!ConnectIsoToEcu(&device, &channel)) return r.Fail("no ISO 15765 channel");
  const int rounds = g_smoke ? 20 : 100;
  std::vector<double> lib;
  for (int i = 0; i < rounds; ++i) lib.push_back(LibraryAnswerUs(channel));
  // The channel and its filter stay set up on the adapter: this program
  // takes the port over and asks the same.
  PassThruClose(device);
  HANDLE port = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (port == INVALID_HANDLE_VALUE) return r.Fail("COM7 would not open");
  // A read returns once it has the bytes asked for, or after 1 s.
  COMMTIMEOUTS timeouts{0, 0, 1000, 0, 1000};
  SetCommTimeouts(port, &timeouts);
  PurgeComm(port, PURGE_RXCLEAR);
  std::vector<double> raw;
  for (int i = 0; i < rounds; ++i) {
    raw.push_back(RawAnswerUs(port));
    Sleep(2);
    PurgeComm(port, PURGE_RXCLEAR);  // any later bytes of this answer
  }
  CloseHandle(port);
  if (Percentile(lib, 0) < 0 || Percentile(raw, 0) < 0) {
    return r.Fail("the ECU did not answer every request");
  }
  r.Add("wakeup_lib_median_us", Percentile(lib, 0.5));
  r.Add("wakeup_raw_median_us", Percentile(raw, 0.5));
  r.Add("wakeup_above_raw_us", Percentile(lib, 0.5) - Percentile(raw, 0.5));
}

struct Rate {
  bool (*call)(uint32_t);
  uint32_t id = 0;
  double seconds = 0;
  double per_s = 0;
  volatile LONG failures = 0;
};

DWORD WINAPI RunRate(void* argument) {
  auto* rate = static_cast<Rate*>(argument);
  uint64_t done = 0;
  const double start = NowUs();
  while (NowUs() - start < rate->seconds * 1e6) {
    if (rate->call(rate->id)) {
      ++done;
    } else {
      InterlockedIncrement(&rate->failures);
    }
  }
  rate->per_s = static_cast<double>(done) / ((NowUs() - start) / 1e6);
  return 0;
}

bool AskVin(uint32_t channel) {
  PASSTHRU_MSG msg = Msg(ISO15765, {0, 0, 0x07, 0xE0, 0x09, 0x02}, ISO15765_FRAME_PAD);
  uint32_t count = 1;
  return PassThruWriteMsgs(channel, &msg, &count, 1000) == 0 && ReadEcuAnswer(channel, 0x49, 1000);
}

bool ReadVolts(uint32_t device) {
  uint32_t millivolts = 0;
  return PassThruIoctl(device, READ_VBATT, nullptr, &millivolts) == 0 && millivolts > 0;
}

void VinBesideVoltage(Results& r) {
  uint32_t device = 0;
  uint32_t channel = 0;
  if (!ConnectIsoToEcu(&device, &channel)) return r.Fail("no ISO 15765 channel");
  const double alone_s = g_smoke ? 0.3 : 1.0;
  Rate vin{AskVin, channel, alone_s};
  Rate volts{ReadVolts, device, alone_s};
  RunRate(&vin);
  RunRate(&volts);
  const double vin_alone = vin.per_s;
  const double volts_alone = volts.per_s;
  vin.seconds = volts.seconds = 2 * alone_s;
  HANDLE second = CreateThread(nullptr, 0, RunRate, &volts, 0, nullptr);
  RunRate(&vin);
  WaitForSingleObject(second, INFINITE);
  CloseHandle(second);
  if (vin.failures + volts.failures > 0) r.Fail("a VIN or voltage call failed");
  r.Add("vin_alone_per_s", vin_alone);
  r.Add("volts_alone_per_s", volts_alone);
  r.Add("vin_share", vin.per_s / vin_alone);
  r.Add("volts_share", volts.per_s / volts_alone);
  PassThruClose(device);
}

struct BlockedReader {
  volatile LONG stop = 0;
  volatile LONG reading = 0;
};

DWORD WINAPI ReadQuietCan(void* argument) {
  auto* b = static_cast<BlockedReader*>(argument);
  std::vector<PASSTHRU_MSG> msgs(4);
  while (InterlockedCompareExchange(&b->stop, 0, 0) == 0) {
    uint32_t count = static_cast<uint32_t>(msgs.size());
    InterlockedExchange(&b->reading, 1);
    PassThruReadMsgs(CAN, msgs.data(), &count, 1000);
  }
  return 0;
}

void WriteBesideBlockedRead(Results& r) {
  uint32_t device = 0;
  uint32_t can = 0;
  uint32_t writer = 0;
  PASSTHRU_MSG mask = Msg(CAN, {0, 0, 0x07, 0xFF});
  PASSTHRU_MSG pattern = Msg(CAN, {0, 0, 0x07, 0xE8});
  uint32_t id = 0;
  if (!OpenCan(&device, &can) ||
      PassThruStartMsgFilter(can, PASS_FILTER, &mask, &pattern, nullptr, &id) != 0 ||
      PassThruConnect(device, MSCAN, 0, 500000, &writer) != 0) {
    return r.Fail("no CAN and MSCAN channels");
  }
  BlockedReader b;
  HANDLE reader = CreateThread(nullptr, 0, ReadQuietCan, &b, 0, nullptr);
  while (InterlockedCompareExchange(&b.reading, 0, 0) == 0) SwitchToThread();
  std::vector<double> ms;
  int failures = 0;
  for (int i = 0; i < 20; ++i) {
    Sleep(20);
    PASSTHRU_MSG msg = Msg(MSCAN, {0, 0, 0x01, 0x23, static_cast<uint8_t>(i)});
    uint32_t count = 1;
    const double start = NowUs();
    if (PassThruWriteMsgs(writer, &msg, &count, 100) != 0 || count != 1) ++failures;
    ms.push_back((NowUs() - start) / 1000);
  }
  InterlockedExchange(&b.stop, 1);
  WaitForSingleObject(reader, INFINITE);
  CloseHandle(reader);
  if (failures > 0) r.Fail("PassThruWriteMsgs failed");
  r.Add("write_beside_read_median_ms", Percentile(ms, 0.5));
  r.Add("write_beside_read_max_ms", Percentile(ms, 1.0));
  PassThruClose(device);
}

}  // namespace

int main(int argc, char** argv) {
  g_smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  Results r;
  const struct {
    const char* name;
    void (*run)(Results&);
  } parts[] = {{"Timeout 0 and idle wait", TimeoutZero},
               {"wake-up", WakeUp},
               {"VIN beside voltage", VinBesideVoltage},
               {"write beside a blocked read", WriteBesideBlockedRead}};
  for (const auto& part : parts) {
    std::fprintf(stderr, "orvanta-win-bench: %s\n", part.name);
    part.run(r);
  }
  std::printf("{");
  for (size_t i = 0; i < r.values.size(); ++i) {
    std::printf("%s\"%s\": %.4f", i == 0 ? "" : ", ", r.values[i].first.c_str(),
                r.values[i].second);
  }
  std::printf("}\n");
  return r.ok ? 0 : 1;
}
