// In-process benchmarks (no pseudo-terminal, replayed adapter bytes):
//   - receive: raw adapter bytes of 256 bus frames through the receive pass,
//     the filter lookups and the queues to delivered PASSTHRU_MSG records,
//     for raw CAN and for ISO 15765 single frames, with 1 and with 64
//     filters installed (the matching filter is the last one scanned);
//   - transmit: one 4095-byte ISO 15765 message turned into its wire bytes
//     (first frame, 585 consecutive frames, resume frame) and handed to the
//     port in one write.
//   - the call guard: the same receive through the core function without the
//     export's guard, and PassThruGetLastError against its core function,
//     as same-run baselines of what the lock costs per call.
// Each reports items (frames or messages) per second; run_benchmarks.sh
// turns them into nanoseconds per frame and microseconds per message.
#include <benchmark/benchmark.h>

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

// The same receive through the core function: no call guard.
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
  RunLastError(state, api::GetLastError);
}
BENCHMARK(BM_LastErrorCore);

void BM_ReceiveIso15765Single(benchmark::State& state) {
  RunReceive(state, ISO15765, 0x20, {0x07, 0xE8, 0x03, 0x41, 0x0D, 0x37, 0xCC, 0xCC, 0xCC, 0xCC});
}
BENCHMARK(BM_ReceiveIso15765Single)->Arg(1)->Arg(64);

void BM_TransmitIso15765Max(benchmark::State& state) {
  InProcessWorld world;
  uint32_t id = 0;
  if (!world.ok() || PassThruConnect(world.device_id, ISO15765, 0, 500000, &id) != 0) {
    state.SkipWithError("cannot connect");
    return;
  }
  std::vector<uint8_t> data = {0, 0, 0x07, 0xE0};
  for (uint32_t i = 0; i < 4095; ++i) data.push_back(static_cast<uint8_t>(i));
  PASSTHRU_MSG msg = MakeMsg(ISO15765, data);
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

}  // namespace
}  // namespace orv::bench
