// orvanta-adapter's put and get of 1 MiB against orvanta-adapter-sim on a
// pseudo-terminal, with the progress bar drawn (to /dev/null, as on a
// terminal), each against PassThruWriteFile / PassThruReadFile alone in
// the same run. The link is open before either is timed, so both sides
// measure the transfer and not the discovery.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/adapter/adapter_cli.h"
#include "bench/bench_support.h"
#include "passthru/library_state.h"

namespace orv::bench {
namespace {

constexpr size_t kTransferBytes = 1u << 20;

bool RunTool(std::vector<std::string> args, std::FILE* sink) {
  std::vector<char*> argv{const_cast<char*>("orvanta-adapter")};
  for (auto& a : args) argv.push_back(a.data());
  const app::adapter::Streams streams{stdin, sink, sink, false, true};
  return app::adapter::RunAdapterTool(static_cast<int>(argv.size()), argv.data(), streams) == 0;
}

// The best of kRounds, each side with a freshly opened link (the tool
// closes it when it is done), so that load from other programs on the
// machine weighs on neither side.
constexpr int kRounds = 5;

void BM_ToolPutGet1MiB(benchmark::State& state) {
  SimProgram sim({"--answer-latency", "0"});  // no wait hides what the tool adds
  std::FILE* sink = std::fopen("/dev/null", "w");
  if (!sim.started() || sink == nullptr) {
    state.SkipWithError("orvanta-adapter-sim did not start");
    return;
  }
  const std::string host = sim.dir() + "/up.bin", back = sim.dir() + "/back.bin";
  std::ofstream(host, std::ios::binary) << std::string(kTransferBytes, 'x');
  uint32_t device = 0;
  // Discovery allows the simulator 200 ms per answer, which a busy machine
  // can miss: a few attempts.
  auto open = [&] {
    for (int attempt = 0; attempt < 3; ++attempt) {
      ResetLibraryState();
      if (PassThruOpen("COM7", &device) == STATUS_NOERROR) return true;
    }
    return false;
  };
  // Times `call` on a fresh link, with the link's close (the tool closes it
  // itself), and keeps the best time in `slot`.
  auto best = [&](double& slot, bool close, auto call) {
    if (!open()) return false;
    const auto start = Clock::now();
    const bool done = call();
    if (close) PassThruClose(device);
    const double seconds = SecondsSince(start);
    if (done && (slot <= 0 || seconds < slot)) slot = seconds;
    return done;
  };
  std::string h = host, b = back, stored = "LIB.BIN";
  auto lib_write = [&] { return PassThruWriteFile(h.data(), stored.data(), 0) == 0; };
  auto lib_read = [&] { return PassThruReadFile(b.data(), stored.data(), 0) == 0; };
  auto tool_write = [&] { return RunTool({"--port", "7", "put", host, "TOOL.BIN"}, sink); };
  auto tool_read = [&] { return RunTool({"--port", "7", "get", "TOOL.BIN", back}, sink); };
  for (auto _ : state) {
    double lib_put = -1, lib_get = -1, tool_put = -1, tool_get = -1;
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
      ok = best(lib_put, true, lib_write) && best(lib_get, true, lib_read) &&
           best(tool_put, false, tool_write) && best(tool_get, false, tool_read);
    }
    if (!ok) {
      state.SkipWithError("a transfer failed");
      break;
    }
    state.counters["put_ratio"] = tool_put / lib_put;
    state.counters["get_ratio"] = tool_get / lib_get;
    state.counters["lib_put_ms"] = lib_put * 1000;
    state.counters["lib_get_ms"] = lib_get * 1000;
  }
  ResetLibraryState();
  std::fclose(sink);
}
BENCHMARK(BM_ToolPutGet1MiB)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace orv::bench
