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

double TimeTool(std::vector<std::string> args, std::FILE* sink) {
  std::vector<char*> argv{const_cast<char*>("orvanta-adapter")};
  for (auto& a : args) argv.push_back(a.data());
  const app::adapter::Streams streams{stdin, sink, sink, false, true};
  const auto start = Clock::now();
  const int rc = app::adapter::RunAdapterTool(static_cast<int>(argv.size()), argv.data(), streams);
  return rc == 0 ? SecondsSince(start) : -1;
}

template <typename Call>
double TimeLibrary(Call call) {
  const auto start = Clock::now();
  return call() == STATUS_NOERROR ? SecondsSince(start) : -1;
}

void BM_ToolPutGet1MiB(benchmark::State& state) {
  SimProgram sim({"--answer-latency", "0"});  // no wait hides what the tool adds
  std::FILE* sink = std::fopen("/dev/null", "w");
  if (!sim.started() || sink == nullptr) {
    state.SkipWithError("orvanta-adapter-sim did not start");
    return;
  }
  const std::string host = sim.dir() + "/up.bin", back = sim.dir() + "/back.bin";
  std::ofstream(host, std::ios::binary) << std::string(kTransferBytes, 'x');
  for (auto _ : state) {
    ResetLibraryState();
    uint32_t device = 0;
    if (PassThruOpen("COM7", &device) != STATUS_NOERROR) {
      state.SkipWithError("no link to the simulator");
      break;
    }
    std::string h = host, b = back, stored = "LIB.BIN";
    const double lib_put =
        TimeLibrary([&] { return PassThruWriteFile(h.data(), stored.data(), 0); });
    const double lib_get =
        TimeLibrary([&] { return PassThruReadFile(b.data(), stored.data(), 0); });
    const double tool_put = TimeTool({"--port", "7", "put", host, "TOOL.BIN"}, sink);
    const double tool_get = TimeTool({"--port", "7", "get", "TOOL.BIN", back}, sink);
    PassThruClose(device);
    if (lib_put <= 0 || lib_get <= 0 || tool_put <= 0 || tool_get <= 0) {
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
