// In-process benchmarks (no pseudo-terminal, replayed adapter bytes):
//   - receive: raw adapter bytes of 256 bus frames through the receive pass,
//     the filter lookups and the queues to delivered PASSTHRU_MSG records,
//     for raw CAN and for ISO 15765 single frames, with 1 and with 64
//     filters installed (the matching filter is the last one scanned);
//   - transmit: one 4095-byte ISO 15765 message turned into its wire bytes
//     (first frame, 585 consecutive frames, resume frame) and handed to the
//     port in one write; as a same-run baseline, a plain loop that writes
//     the same frames' headers and data into a byte buffer (checked to be
//     byte for byte what the library writes).
//   - the call guard: the same receive through the core function without the
//     export's guard, and PassThruGetLastError against its core function,
//     as same-run baselines of what the lock costs per call.
// Each reports items (frames or messages) per second; run_benchmarks.sh
// turns them into nanoseconds per frame and microseconds per message.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "bench/bench_support.h"
#include "passthru/api.h"

namespace orv::bench {
namespace {

constexpr uint32_t kFramesPerRound = 256;

void StartFilter(benchmark::State& state, uint32_t channel, uint32_t type, PASSTHRU_MSG mask,
                 PASSTHRU_MSG pattern, PASSTHRU_MSG* flow) {
  uint32_t id = 0;
  if (PassThruStartMsgFilter(channel, type, &mask, &pattern, flow, &id) != STATUS_NOERROR) {
    state.SkipWithError("filter refused");
  }
}

// Raw CAN: pass filters on identifiers 0x600 + i; the matching 0x7E8 one
// is installed first, so it lands in slot 63 and is scanned last.
void InstallCanFilters(benchmark::State& state, uint32_t count) {
  StartFilter(state, CAN, PASS_FILTER, MakeMsg(CAN, {0, 0, 0x07, 0xFF}),
              MakeMsg(CAN, {0, 0, 0x07, 0xE8}), nullptr);
  for (uint32_t i = 1; i < count; ++i) {
    StartFilter(state, CAN, PASS_FILTER, MakeMsg(CAN, {0, 0, 0x07, 0xFF}),
                MakeMsg(CAN, {0, 0, 0x06, static_cast<uint8_t>(i)}), nullptr);
  }
}

// ISO 15765: flow-control filters fill from slot 0, so the matching one
// goes in last.
void InstallIsoFilters(benchmark::State& state, uint32_t count) {
  for (uint32_t i = 1; i < count; ++i) {
    PASSTHRU_MSG flow = MakeMsg(ISO15765, {0, 0, 0x06, static_cast<uint8_t>(i)});
    StartFilter(state, ISO15765, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0, 0, 0x07, 0xFF}),
                MakeMsg(ISO15765, {0, 0, 0x06, static_cast<uint8_t>(0x80 + i)}), &flow);
  }
  PASSTHRU_MSG flow = MakeMsg(ISO15765, {0, 0, 0x07, 0xE0});
  StartFilter(state, ISO15765, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0, 0, 0x07, 0xFF}),
              MakeMsg(ISO15765, {0, 0, 0x07, 0xE8}), &flow);
}

using ReadFunction = int32_t (*)(uint32_t, PASSTHRU_MSG*, uint32_t*, uint32_t);

int32_t GuardedRead(uint32_t channel, PASSTHRU_MSG* msgs, uint32_t* count, uint32_t timeout) {
  return PassThruReadMsgs(channel, msgs, count, timeout);
}

void RunReceive(benchmark::State& state, uint32_t channel, uint8_t dev,
                const std::vector<uint8_t>& frame_data, ReadFunction read = GuardedRead) {
  InProcessWorld world;
  uint32_t id = 0;
  if (!world.ok() || PassThruConnect(world.device_id, channel, 0, 500000, &id) != 0) {
    state.SkipWithError("cannot connect");
    return;
  }
  const auto filters = static_cast<uint32_t>(state.range(0));
  if (channel == CAN) {
    InstallCanFilters(state, filters);
  } else {
    InstallIsoFilters(state, filters);
  }
  std::vector<uint8_t> stream;
  for (uint32_t i = 0; i < kFramesPerRound; ++i) {
    const std::vector<uint8_t> wire = BusFrameWire(dev, frame_data);
    stream.insert(stream.end(), wire.begin(), wire.end());
  }
  world.platform.StartReplay(stream);
  std::vector<PASSTHRU_MSG> msgs(kFramesPerRound);
  // The core function runs inside a call: the lock is taken once for the
  // whole run, so that each read goes without a guard of its own.
  std::optional<orv::test::StateHeld> held;
  if (read != GuardedRead) held.emplace();
  for (auto _ : state) {
    world.platform.Rewind();
    uint32_t count = kFramesPerRound;
    read(channel, msgs.data(), &count, 0);
    if (count != kFramesPerRound) {
      state.SkipWithError("frames were lost");
      break;
    }
    benchmark::DoNotOptimize(msgs.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFramesPerRound);
}

void BM_ReceiveCan(benchmark::State& state) {
  RunReceive(state, CAN, 0x10, {0x07, 0xE8, 0x03, 0x41, 0x0D, 0x37, 0xAA, 0xAA, 0xAA, 0xAA});
}
BENCHMARK(BM_ReceiveCan)->Arg(1)->Arg(64);

// The same receive through the core function: no guard per call.
void BM_ReceiveCanCore(benchmark::State& state) {
  RunReceive(state, CAN, 0x10, {0x07, 0xE8, 0x03, 0x41, 0x0D, 0x37, 0xAA, 0xAA, 0xAA, 0xAA},
             api::ReadMsgs);
}
BENCHMARK(BM_ReceiveCanCore)->Arg(1);

// The cheapest export with and without its guard: the lock's own cost.
void RunLastError(benchmark::State& state, int32_t (*get)(char*)) {
  char text[80];
  for (auto _ : state) {
    get(text);
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
void BM_LastErrorGuarded(benchmark::State& state) {
  RunLastError(state, [](char* text) { return PassThruGetLastError(text); });
}
BENCHMARK(BM_LastErrorGuarded);
void BM_LastErrorCore(benchmark::State& state) {
  const orv::test::StateHeld held;  // once for the run, see RunReceive
  RunLastError(state, api::GetLastError);
}
BENCHMARK(BM_LastErrorCore);

void BM_ReceiveIso15765Single(benchmark::State& state) {
  RunReceive(state, ISO15765, 0x20, {0x07, 0xE8, 0x03, 0x41, 0x0D, 0x37, 0xCC, 0xCC, 0xCC, 0xCC});
}
BENCHMARK(BM_ReceiveIso15765Single)->Arg(1)->Arg(64);

constexpr uint32_t kIsoMaxPayload = 4095;

// The longest ISO 15765 message: identifier 0x7E0, payload 0, 1, 2, ...
PASSTHRU_MSG IsoMaxMessage() {
  std::vector<uint8_t> data = {0, 0, 0x07, 0xE0};
  for (uint32_t i = 0; i < kIsoMaxPayload; ++i) data.push_back(static_cast<uint8_t>(i));
  return MakeMsg(ISO15765, data);
}

bool ConnectIso(benchmark::State& state, InProcessWorld& world) {
  uint32_t id = 0;
  if (!world.ok() || PassThruConnect(world.device_id, ISO15765, 0, 500000, &id) != 0) {
    state.SkipWithError("cannot connect");
    return false;
  }
  return true;
}

void BM_TransmitIso15765Max(benchmark::State& state) {
  InProcessWorld world;
  if (!ConnectIso(state, world)) return;
  PASSTHRU_MSG msg = IsoMaxMessage();
  world.platform.StartReplay({});
  for (auto _ : state) {
    uint32_t count = 1;
    if (PassThruWriteMsgs(ISO15765, &msg, &count, 0) != STATUS_NOERROR || count != 1) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["wire_bytes_per_msg"] =
      static_cast<double>(world.platform.written()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TransmitIso15765Max);

// One frame header at `at`: id 0, data size, device 0x20 (ISO 15765), op 3
// (write), flags, type, time limit in ms (least significant byte first).
uint8_t* PutTxHeader(uint8_t* at, uint8_t size, uint8_t flags, uint8_t type, uint32_t ms) {
  at[0] = 0;
  at[1] = size;
  at[2] = 0x20;
  at[3] = 3;
  at[4] = flags;
  at[5] = type;
  at[6] = static_cast<uint8_t>(ms);
  at[7] = static_cast<uint8_t>(ms >> 8);
  at[8] = static_cast<uint8_t>(ms >> 16);
  at[9] = static_cast<uint8_t>(ms >> 24);
  return at + 10;
}

// The wire bytes of the 4095-byte message written straight into `out`
// (room for 11724 bytes): first frame, 585 consecutive frames (the last
// flagged 0x80), each bus frame with type 5 and the 1000 ms segmented time
// limit, then the resume frame. Returns the bytes written.
size_t PlainIsoWire(const uint8_t* payload, uint8_t* out) {
  constexpr uint32_t kTimeLimitMs = 1000;
  uint8_t* at = PutTxHeader(out, 10, 0, 5, kTimeLimitMs);
  *at++ = 0x07;
  *at++ = 0xE0;
  *at++ = static_cast<uint8_t>(0x10 | (kIsoMaxPayload >> 8));
  *at++ = static_cast<uint8_t>(kIsoMaxPayload & 0xFF);
  std::memcpy(at, payload, 6);
  at += 6;
  uint8_t pci = 0x21;
  for (uint32_t i = 6; i < kIsoMaxPayload; i += 7) {
    const uint32_t k = std::min<uint32_t>(7, kIsoMaxPayload - i);
    const bool last = i + k == kIsoMaxPayload;
    at = PutTxHeader(at, static_cast<uint8_t>(3 + k), last ? 0x80 : 0, 5, kTimeLimitMs);
    *at++ = 0x07;
    *at++ = 0xE0;
    *at++ = pci;
    pci = pci == 0x2F ? 0x20 : static_cast<uint8_t>(pci + 1);
    std::memcpy(at, payload + i, k);
    at += k;
  }
  at = PutTxHeader(at, 0, 0x20, 0, 0);
  return static_cast<size_t>(at - out);
}

// The same-run baseline of BM_TransmitIso15765Max: the plain loop above,
// after a check that it builds what the library writes.
void BM_TransmitIso15765MaxPlainLoop(benchmark::State& state) {
  std::vector<uint8_t> library_wire;
  PASSTHRU_MSG msg = IsoMaxMessage();
  {
    InProcessWorld world;
    if (!ConnectIso(state, world)) return;
    world.platform.StartReplay({});
    world.platform.CaptureWrites(&library_wire);
    uint32_t count = 1;
    if (PassThruWriteMsgs(ISO15765, &msg, &count, 0) != STATUS_NOERROR || count != 1) {
      state.SkipWithError("write failed");
      return;
    }
    world.platform.CaptureWrites(nullptr);
  }
  std::vector<uint8_t> out(16384);  // as the library's send buffer
  const uint8_t* payload = msg.Data + 4;
  if (PlainIsoWire(payload, out.data()) != library_wire.size() ||
      !std::equal(library_wire.begin(), library_wire.end(), out.begin())) {
    state.SkipWithError("the plain loop does not build the library's wire bytes");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(PlainIsoWire(payload, out.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_TransmitIso15765MaxPlainLoop);

}  // namespace
}  // namespace orv::bench
