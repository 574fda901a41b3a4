// orvanta-adapter end to end against orvanta-adapter-sim on a
// pseudo-terminal: a file's round trip over a real port (every
// subcommand's rows are in the unit test), a put stopped by Ctrl-C,
// and the trace listener fed by the library (in this process, Debug
// switched on) while it talks to the simulator, with its candump log read
// back by python-can.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "orvanta_j2534.h"
#include "platform/posix/host_address.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/library_fixture.h"
#include "tests/support/sim_process.h"

#if defined(ORV_ADAPTER_PATH)

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class AdapterToolPtyTest : public PtyLibraryTest {
 protected:
  void SetUp() override {
    PtyLibraryTest::SetUp();
    fs::create_directories(dir_ / "store");
  }
  std::vector<std::string> SimArgs(std::vector<std::string> extra = {}) const {
    extra.insert(extra.begin(), {"--store", (dir_ / "store").string()});
    return extra;
  }
  ScratchDir scratch_{"adapter-tool"};
  const fs::path dir_ = scratch_.path();
};

TEST_F(AdapterToolPtyTest, FileRoundTrip) {
  SimProcess sim(SimArgs());
  ASSERT_TRUE(sim.started()) << sim.log_text();
  std::ofstream(dir_ / "up.txt") << "hello adapter";
  const std::string up = (dir_ / "up.txt").string(), down = (dir_ / "down.txt").string();
  for (const auto& args : {std::vector<std::string>{"put", up, "HELLO.TXT"},
                           std::vector<std::string>{"get", "HELLO.TXT", down}}) {
    int rc = ChildProcess(ORV_ADAPTER_PATH, args, dir_).Wait();
    if (rc == 3) {  // discovery's 200 ms waits missed on a loaded machine
      rc = ChildProcess(ORV_ADAPTER_PATH, args, dir_).Wait();
    }
    EXPECT_EQ(rc, 0) << args[0] << "\n" << ReadFileText(dir_ / "stderr");
  }
  EXPECT_EQ(ReadFileText(down), "hello adapter");
}

TEST_F(AdapterToolPtyTest, CtrlCStopsAPutWhichThenFails) {
  // 256 KiB in 64 batches, each answered 100 ms late: several seconds.
  SimProcess sim(SimArgs({"--answer-latency", "100"}));
  ASSERT_TRUE(sim.started()) << sim.log_text();
  constexpr size_t kSize = 256 * 1024;
  std::ofstream(dir_ / "big.bin") << std::string(kSize, 'b');
  ChildProcess tool(ORV_ADAPTER_PATH, {"put", (dir_ / "big.bin").string(), "BIG.BIN"}, dir_);
  ASSERT_TRUE(tool.AwaitErr("put BIG.BIN: ")) << tool.Err();
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(tool.Interrupt(), 1);
  EXPECT_NE(tool.Err().find("interrupted"), std::string::npos) << tool.Err();
  EXPECT_NE(tool.Err().find("PassThruWriteFile: stopped"), std::string::npos) << tool.Err();
  EXPECT_LT(ReadFileText(dir_ / "store" / "BIG.BIN").size(), kSize);
}

// A python3 that has python-can, or "".
std::string PythonWithCan() {
  for (const char* python : {"/usr/bin/python3", "python3"}) {
    const std::string probe = std::string(python) + " -c 'import can' 2>/dev/null";
    if (std::system(probe.c_str()) == 0) return python;
  }
  return "";
}

TEST_F(AdapterToolPtyTest, TraceDecodesDiscoveryAndLogsBusFramesForPythonCan) {
  if (const std::string why = TraceHostUnusableReason(); !why.empty()) GTEST_SKIP() << why;
  SimProcess sim(SimArgs({"--bus-traffic", "10:07E8024100:20"}));
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const fs::path log = dir_ / "bus.log";
  ChildProcess trace(ORV_ADAPTER_PATH, {"trace", "--decode", "--candump", log.string()}, dir_);
  ASSERT_TRUE(trace.AwaitErr("Listening")) << trace.Err();

  WriteRegistry("[Adapter]\nName=Orvanta-IOT\nDebug=\n");
  uint32_t device = 0, channel = 0, filter = 0;
  ASSERT_EQ(PassThruOpen(nullptr, &device), 0);
  ASSERT_EQ(PassThruConnect(device, CAN, 0, 500000, &channel), 0);
  PASSTHRU_MSG mask{}, pattern{};
  mask.ProtocolID = pattern.ProtocolID = CAN;
  mask.DataSize = pattern.DataSize = 4;  // an all-zero mask admits every frame
  ASSERT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &filter), 0);
  PASSTHRU_MSG received[4];
  uint32_t count = 4;
  EXPECT_EQ(PassThruReadMsgs(channel, received, &count, 1000), 0);
  PassThruClose(device);
  std::this_thread::sleep_for(milliseconds(300));

  EXPECT_EQ(trace.Interrupt(), 0);
  const std::string out = trace.Out();
  EXPECT_NE(out.find("C 7 "), std::string::npos) << out;
  EXPECT_NE(out.find(" Looking for Orvanta on COM7 port\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    = adapter read, version, flags 0x00"), std::string::npos) << out;
  EXPECT_NE(out.find("    = CAN1 read, plain, flags 0x00, id 7E8, data 02 41 00"),
            std::string::npos)
      << out;
  const std::string text = ReadFileText(log);
  EXPECT_NE(text.find(" can0 7E8#024100\n"), std::string::npos) << text;

  const std::string python = PythonWithCan();
  if (python.empty()) GTEST_SKIP() << "python-can (python3-can) is not installed";
  const std::string check = python +
                            " -c \"import can, sys; m = list(can.LogReader(sys.argv[1]));" +
                            " sys.exit(0 if m and m[0].arbitration_id == 0x7E8 and" +
                            " bytes(m[0].data) == bytes([2, 0x41, 0]) else 1)\" " + log.string();
  EXPECT_EQ(std::system(check.c_str()), 0) << text;
}

// Connects to the listener's address and sends `line`; the socket, or -1.
int ConnectAndSend(const std::string& line) {
  sockaddr_in address{};
  if (platform::OwnHostAddress(&address) != platform::kOk) return -1;
  address.sin_port = htons(8609);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

// Only this machine's own user feeds the listener and its candump log
// (root can play another user here); control characters show as '?'; the
// earliest connections stay; the log is never written through a link,
// and a new one is the user's alone.
TEST_F(AdapterToolPtyTest, TraceListenerTakesOnlyTheUsersOwnLinesAndWritesNoLinkedLog) {
  if (const std::string why = TraceHostUnusableReason(); !why.empty()) GTEST_SKIP() << why;
  const fs::path victim = dir_ / "victim", linked = dir_ / "linked.log", log = dir_ / "bus.log";
  std::ofstream(victim) << "victim's";
  fs::create_symlink(victim, linked);
  EXPECT_EQ(ChildProcess(ORV_ADAPTER_PATH, {"trace", "--candump", linked.string()}, dir_).Wait(),
            2);
  EXPECT_EQ(ReadFileText(victim), "victim's");

  ChildProcess trace(ORV_ADAPTER_PATH, {"trace", "--candump", log.string()}, dir_);
  ASSERT_TRUE(trace.AwaitErr("Listening")) << trace.Err();
  EXPECT_EQ(fs::status(log).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string frame = "M 7 1 00 05 10 02 00 00 (00000100) 07 E8 02 41 00\r\n";
  if (geteuid() == 0) {
    const pid_t child = fork();
    if (child == 0) {  // stays connected until the listener has judged it
      if (setgid(65534) != 0 || setuid(65534) != 0 ||
          ConnectAndSend("A 7 1 injected\r\n" + frame) < 0)
        _exit(1);
      pause();
    }
    EXPECT_TRUE(trace.AwaitErr("from another user refused")) << trace.Err();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  std::vector<int> own{ConnectAndSend("A 7 1 own \x9B[2J \xC2\x9B \xC3\xA9\r\n")};
  for (int i = 0; i < 8; ++i) own.push_back(ConnectAndSend(""));
  EXPECT_TRUE(trace.AwaitErr("over the limit refused")) << trace.Err();
  for (const int fd : own) close(fd);
  EXPECT_EQ(trace.Interrupt(), 0);
  EXPECT_EQ(trace.Out().find("injected"), std::string::npos) << trace.Out();
  EXPECT_NE(trace.Out().find("A 7 1 own ?[2J ?? \xC3\xA9\n"), std::string::npos) << trace.Out();
  EXPECT_EQ(ReadFileText(log), "");
}

}  // namespace
}  // namespace orv::test

#endif  // ORV_ADAPTER_PATH
