// Faults end to end on a pseudo-terminal, with the real library and its
// POSIX backend against orvanta-adapter-sim: the pseudo-terminal closed
// under the library (the adapter gone), and answers that arrive after the
// wait for them has ended. Each time the call
// fails cleanly (status, last-error text, no false success), waits out its
// time without spinning a core, and the link works again once an adapter
// is back.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "orvanta_j2534.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/fault_matrix.h"
#include "tests/support/sim_process.h"

namespace orv::test {
namespace {

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

using FaultPtyTest = PtyLibraryTest;

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
  EXPECT_EQ(LastErrorString(), "PassThruReadVersion: JmsgSendCmd returned 7");
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
  EXPECT_EQ(PassThruReadVersion(device, fw, dll, api), 0) << LastErrorString();
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
