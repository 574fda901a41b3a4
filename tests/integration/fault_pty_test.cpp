// Faults end to end on a pseudo-terminal, with the real library and its
// POSIX backend against orvanta-adapter-sim: the simulator killed while a
// file is being written, the pseudo-terminal closed under the library, and
// answers that arrive after the wait for them has ended. Each time the call
// fails cleanly (status, last-error text, no false success), waits out its
// time without spinning a core, and the link works again once an adapter
// is back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "orvanta_j2534.h"
#include "passthru/library_state.h"
#include "tests/support/sim_process.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `call`, returning its result; `cpu_share` receives the CPU time it
// took as a share of the wall time.
template <class Call>
int32_t Timed(Call call, double* wall_s, double* cpu_share) {
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  const int32_t status = call();
  *wall_s = SecondsSince(start);
  *cpu_share = (CpuSeconds() - cpu) / *wall_s;
  return status;
}

std::string LastError() {
  char text[256] = {};
  PassThruGetLastError(text);
  return text;
}

std::vector<uint8_t> FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FaultPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLibraryState();
    dir_ = fs::path(::testing::TempDir()) / ("orv-fault-pty-" + std::to_string(getpid()));
    fs::create_directories(dir_ / "store");
    std::ofstream(dir_ / "registry.ini") << "";
    setenv("ORVANTA_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
  }
  void TearDown() override {
    ResetLibraryState();
    unsetenv("ORVANTA_REGISTRY");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_F(FaultPtyTest, AdapterKilledWhileAFileIsBeingWritten) {
  std::vector<uint8_t> contents(4u << 20);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i * 31 + i / 977);
  const fs::path host = dir_ / "big.bin";
  std::ofstream(host, std::ios::binary)
      .write(reinterpret_cast<const char*>(contents.data()),
             static_cast<std::streamsize>(contents.size()));
  std::string host_name = host.string();
  std::string stored = "BIG.BIN";
  const std::string store = (dir_ / "store").string();
  {
    SimProcess sim({"--store", store, "--answer-latency", "0"});
    ASSERT_TRUE(sim.started()) << sim.log_text();
    uint32_t device = 0;
    ASSERT_EQ(PassThruOpen("COM7", &device), 0);
    const pid_t pid = sim.pid();
    std::thread killer([pid] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      kill(pid, SIGKILL);
    });
    double wall = 0, cpu_share = 0;
    const int32_t status = Timed(
        [&] { return PassThruWriteFile(host_name.data(), stored.data(), 0); }, &wall, &cpu_share);
    killer.join();
    EXPECT_EQ(status, ERR_FAILED) << "the write outlived its adapter";
    EXPECT_EQ(LastError().rfind("PassThruWriteFile", 0), 0u) << LastError();
    EXPECT_LT(wall, 20.0);
    EXPECT_LT(cpu_share, 0.25) << "the library spun while the adapter was gone";
    // Killed, the simulator mirrored nothing of the unfinished file.
    if (fs::exists(dir_ / "store" / stored)) {
      const std::vector<uint8_t> partial = FileBytes(dir_ / "store" / stored);
      EXPECT_NE(partial, contents);
    }
  }
  // A new adapter on the same port: the next write reopens it and succeeds.
  SimProcess sim({"--store", store, "--answer-latency", "0"});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  EXPECT_EQ(PassThruWriteFile(host_name.data(), stored.data(), 0), 0) << LastError();
  sim.stop();  // writes the store
  EXPECT_EQ(FileBytes(dir_ / "store" / stored), contents);
}

TEST_F(FaultPtyTest, PseudoTerminalClosedUnderTheLibrary) {
  uint32_t device = 0;
  {
    SimProcess sim;
    ASSERT_TRUE(sim.started()) << sim.log_text();
    ASSERT_EQ(PassThruOpen("COM7", &device), 0);
    uint32_t channel = 0;
    ASSERT_EQ(PassThruConnect(device, CAN, 0, 500000, &channel), 0);
    sim.stop();  // the far side of the pseudo-terminal goes away
  }
  PASSTHRU_MSG msg{};
  uint32_t count = 1;
  double wall = 0, cpu_share = 0;
  EXPECT_EQ(Timed([&] { return PassThruReadMsgs(CAN, &msg, &count, 300); }, &wall, &cpu_share),
            ERR_BUFFER_EMPTY);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(wall, 0.29);
  EXPECT_LT(wall, 2.0);
  EXPECT_LT(cpu_share, 0.25) << "the read spun on the hung-up port";

  char fw[80], dll[80], api[80];
  EXPECT_EQ(PassThruReadVersion(device, fw, dll, api), ERR_FAILED);
  EXPECT_EQ(LastError(), "PassThruReadVersion: JmsgSendCmd returned 7");
  EXPECT_EQ(Link().hCommPort, -1);
  PASSTHRU_MSG out{};
  out.ProtocolID = CAN;
  out.DataSize = 6;
  out.Data[2] = 0x07;
  out.Data[3] = 0xDF;
  count = 1;
  EXPECT_EQ(PassThruWriteMsgs(CAN, &out, &count, 0), ERR_FAILED);

  SimProcess again;
  ASSERT_TRUE(again.started()) << again.log_text();
  EXPECT_EQ(PassThruReadVersion(device, fw, dll, api), 0) << LastError();
  EXPECT_STREQ(fw, "01.02");
}

TEST_F(FaultPtyTest, AnswersAfterTheFixedWaitsNeverMakeDiscoverySucceed) {
  {
    // The version answer comes 250 ms after the request, after discovery's
    // 200 ms wait for it: the adapter counts as absent, every time, also
    // when the late answer of the previous probe is still on its way.
    SimProcess sim({"--answer-latency", "250"});
    ASSERT_TRUE(sim.started()) << sim.log_text();
    for (int attempt = 0; attempt < 2; ++attempt) {
      uint32_t device = 99;
      EXPECT_EQ(PassThruOpen("COM7", &device), ERR_DEVICE_NOT_CONNECTED) << attempt;
      EXPECT_EQ(device, 0u);
      EXPECT_EQ(Link().hCommPort, -1);
    }
  }
  ResetLibraryState();
  SimProcess sim({"--answer-latency", "150"});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  uint32_t device = 0;
  EXPECT_EQ(PassThruOpen("COM7", &device), 0);
  EXPECT_EQ(device, 7u);
}

}  // namespace
}  // namespace orv::test
