// The library with its native POSIX backend against orvanta-adapter-sim on
// a pseudo-terminal: what only a real port shows. The exclusive open, the
// pseudo-terminal closed under the library (the adapter gone), answers
// that come after discovery's real-time waits, a trace listener that never
// reads, two threads on one port (the thread-sanitizer step runs that
// case), and ISO 15765 with real-time flow control: long messages both ways
// and a 64 kB file over a line paced at 115200 baud, and the VIN demo
// program. (Search, named ports, the trace's lines and their faults run in
// the unit tests and in the fault matrix on a pseudo-terminal; the trace
// reaching a real listener in the adapter tool's trace test.)
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "emulator/ecu_responder.h"
#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/library_state.h"
#include "platform/platform.h"
#include "platform/posix/posix_hooks.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/fault_matrix.h"
#include "tests/support/library_fixture.h"
#include "tests/support/sim_process.h"

namespace orv::test {
namespace {

using Clock = std::chrono::steady_clock;
using PortPtyTest = PtyLibraryTest;

TEST_F(PortPtyTest, OpenIsExclusive) {
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  int32_t first = -1;
  int32_t second = -1;
  ASSERT_EQ(com_open(&first, 7, 115200, 8, 1, 0), COM_OK);
  EXPECT_EQ(com_open(&second, 7, 115200, 8, 1, 0), COM_ERR_OPEN);
  EXPECT_EQ(com_close(&first), COM_OK);
  EXPECT_EQ(com_open(&second, 7, 115200, 8, 1, 0), COM_OK);
  com_close(&second);
}

// What is checked is what is opened: an entry that appears, or is swapped
// for a link to another terminal, between the check and the open (as
// another user may do in a shared directory) is not used.
TEST_F(PortPtyTest, ComEntryThatChangesBetweenCheckAndOpenIsNotUsed) {
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const int decoy = posix_openpt(O_RDWR | O_NOCTTY);  // another user's emulator
  ASSERT_TRUE(decoy >= 0 && grantpt(decoy) == 0 && unlockpt(decoy) == 0);
  static std::string entry, other;
  entry = sim.com_dir() + "/com7";
  other = ptsname(decoy);
  platform::SetComEntryCheckedHook([](const char*) {
    unlink(entry.c_str());
    EXPECT_EQ(symlink(other.c_str(), entry.c_str()), 0);
  });
  const std::string real = sim.com_dir() + "/real7";
  ASSERT_EQ(std::rename(entry.c_str(), real.c_str()), 0);
  int32_t h = -1;
  EXPECT_EQ(com_open(&h, 7, 115200, 8, 1, 0), COM_ERR_OPEN);  // missing: no such port
  unlink(entry.c_str());
  ASSERT_EQ(symlink(real.c_str(), entry.c_str()), 0);
  EXPECT_EQ(com_open(&h, 7, 115200, 8, 1, 0), COM_ERR_OPEN);  // swapped
  platform::SetComEntryCheckedHook(nullptr);
  unlink(entry.c_str());
  ASSERT_EQ(symlink(real.c_str(), entry.c_str()), 0);
  ASSERT_EQ(com_open(&h, 7, 115200, 8, 1, 0), COM_OK);
  com_close(&h);
  close(decoy);
}

// The call fails cleanly (status, last-error text, no false success),
// waits out its time without spinning a core, and the link works again
// once an adapter is back.
TEST_F(PortPtyTest, PseudoTerminalClosedUnderTheLibrary) {
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
  const std::clock_t cpu = std::clock();  // of the whole process
  const auto start = Clock::now();
  EXPECT_EQ(PassThruReadMsgs(CAN, &msg, &count, 300), ERR_BUFFER_EMPTY);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(count, 0u);
  EXPECT_GE(wall, 0.29);
  EXPECT_LT(wall, 2.0);
  const double cpu_seconds = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_seconds / wall, 0.25) << "the read spun on the hung-up port";

  char fw[80], dll[80], api[80];
  EXPECT_EQ(PassThruReadVersion(device, fw, dll, api), ERR_FAILED);
  EXPECT_EQ(LastErrorString(), "PassThruReadVersion: JmsgSendCmd returned 7");
  EXPECT_EQ(Link().hCommPort, -1);
  PASSTHRU_MSG out = MakeMsg(CAN, {0, 0, 0x07, 0xDF, 0, 0});
  count = 1;
  EXPECT_EQ(PassThruWriteMsgs(CAN, &out, &count, 0), ERR_FAILED);

  SimProcess again;
  ASSERT_TRUE(again.started()) << again.log_text();
  EXPECT_EQ(PassThruReadVersion(device, fw, dll, api), 0) << LastErrorString();
  EXPECT_STREQ(fw, "01.02");
}

TEST_F(PortPtyTest, AnswersAfterTheFixedWaitsNeverMakeDiscoverySucceed) {
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

// A listener on TCP port 8609 that takes the connection into its backlog
// behind a 1 kB receive buffer and never reads: the library's sends must
// fail rather than block, and it gives the trace up.
TEST_F(PortPtyTest, TraceListenerThatNeverReadsCannotHangTheLibrary) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1, small = 1024;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kTracePort);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool listening = ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                         ::listen(listener, 4) == 0;
  std::string why = listening ? TraceHostUnusableReason() : "TCP port 8609 is taken";
  if (!why.empty()) {
    ::close(listener);
    GTEST_SKIP() << why;
  }
  WriteRegistry("[Orvanta]\nName=Orvanta-IOT\nDebug=\nSuppressPopups=\n");
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  uint32_t id = 0;
  ASSERT_EQ(PassThruOpen("COM7", &id), 0);
  const std::string text(500, 'x');
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  while (TraceOn() && Clock::now() < give_up) DbgMsg('D', text.c_str());
  EXPECT_FALSE(TraceOn());  // closed after a few seconds of refused lines
  EXPECT_GT(Link().TraceDroppedLines, 0u);
  PassThruClose(id);
  ::close(listener);
}

// A bare pseudo-terminal as COM port 7 whose far side reads only when the
// test says so: an adapter that has stopped reading.
class StalledPort {
 public:
  StalledPort() : dir_("stalled") {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    ok_ = symlink(ptsname(master_), (dir_.path() / "com7").c_str()) == 0;
    setenv("ORVANTA_COM_DIR", dir_.path().c_str(), 1);
  }
  ~StalledPort() {
    unsetenv("ORVANTA_COM_DIR");
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return ok_; }
  // Everything the port has passed on so far.
  size_t Drain() const {
    size_t total = 0;
    uint8_t buffer[4096];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;) {
      total += static_cast<size_t>(n);
    }
    return total;
  }

 private:
  ScratchDir dir_;
  int master_ = -1;
  bool ok_ = false;
};

// What a write counted as written reaches the adapter, even when the port
// is closed before the adapter has read it.
TEST_F(PortPtyTest, ClosingThePortKeepsWhatWasWritten) {
  StalledPort port;
  ASSERT_TRUE(port.ok());
  int32_t h = -1;
  ASSERT_EQ(com_open(&h, 7, 115200, 8, 1, 0), COM_OK);
  const std::vector<uint8_t> bytes(10240, 0x5A);
  uint32_t written = 0;
  com_write(&h, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
  ASSERT_GT(written, 4096u);  // more than the far side's read buffer takes
  ASSERT_EQ(com_close(&h), COM_OK);
  EXPECT_EQ(port.Drain(), written);
}

// A thread waits on the port with the library's lock released while
// another closes it: the close ends the wait, and the old handle never
// reaches the port opened after it.
TEST_F(PortPtyTest, CloseEndsAWaitOnThePortAndRetiresItsHandle) {
  StalledPort port;
  ASSERT_TRUE(port.ok());
  platform::Platform& os = platform::current();
  platform::SerialHandle h = -1;
  ASSERT_EQ(os.serial_open("\\\\.\\COM7", &h), 0);
  platform::OsError waited = 0;
  bool readable = true;
  std::thread waiter([&] { waited = os.serial_wait_readable(h, 60000, &readable); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(os.serial_close(h), 0);
  waiter.join();
  EXPECT_NE(waited, 0) << "the wait ran out its time instead of ending with the close";
  EXPECT_FALSE(readable);
  platform::SerialHandle again = -1;
  ASSERT_EQ(os.serial_open("\\\\.\\COM7", &again), 0);
  EXPECT_NE(again, h);
  uint8_t byte = 0;
  uint32_t done = 0;
  EXPECT_NE(os.serial_read(h, &byte, 1, &done), 0);
  EXPECT_EQ(os.serial_close(again), 0);
}

// The trace goes only to this machine: the whole loopback network and every
// IPv4 address of its interfaces are its own, a documentation address is not.
TEST(PosixPlatform, OwnAddressesAreLoopbackAndThisMachinesInterfaces) {
  std::vector<std::array<uint8_t, 4>> own = {{127, 0, 0, 1}, {127, 8, 9, 10}};
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    std::array<uint8_t, 4> octets{};
    std::memcpy(octets.data(), &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
    own.push_back(octets);
  }
  freeifaddrs(list);
  for (const auto& a : own) {
    const uint8_t address[4] = {a[0], a[1], a[2], a[3]};
    EXPECT_TRUE(platform::IsOwnIpv4Address(address)) << int{a[0]} << "." << int{a[3]};
  }
  EXPECT_FALSE(platform::IsOwnIpv4Address({203, 0, 113, 77}));
}

// One thread reads bus traffic on its channel while another asks the
// adapter for its version: both get their own answers, and the bus frames
// keep coming while the version requests wait.
using ConcurrencyPtyTest = PtyLibraryTest;

TEST_F(ConcurrencyPtyTest, BusReadsAndVersionRequestsFromTwoThreads) {
  SimProcess sim({"--bus-traffic", "10:07E8064100BE1FA813:5"});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  uint32_t device = 0, channel = 0, filter = 0;
  ASSERT_EQ(PassThruOpen(nullptr, &device), 0);
  ASSERT_EQ(PassThruConnect(device, CAN, 0, 500000, &channel), 0);
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0xFF, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
  ASSERT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &filter), 0);

  int frames = 0, wrong_frames = 0;
  std::thread reader([&] {
    for (int i = 0; i < 20; ++i) {
      PASSTHRU_MSG got[4]{};
      uint32_t count = 4;
      PassThruReadMsgs(channel, got, &count, 200);
      for (uint32_t k = 0; k < count; ++k, ++frames) {
        if (got[k].Data[3] != 0xE8 || got[k].DataSize != 11) ++wrong_frames;
      }
    }
  });
  for (int i = 0; i < 10; ++i) {
    char fw[80] = {}, dll[80] = {}, api[80] = {};
    EXPECT_EQ(PassThruReadVersion(device, fw, dll, api), 0);
    EXPECT_STREQ(fw, "01.02");
    EXPECT_STREQ(api, "04.04");
  }
  reader.join();
  EXPECT_GT(frames, 20);
  EXPECT_EQ(wrong_frames, 0);
  EXPECT_EQ(PassThruClose(device), 0);
}

class IsoTpPtyTest : public PtyLibraryTest {
 protected:
  static PASSTHRU_MSG IsoMsg(uint32_t id, std::vector<uint8_t> payload) {
    payload.insert(payload.begin(),
                   {0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)});
    return MakeMsg(ISO15765, payload, ISO15765_FRAME_PAD);
  }

  // Opens, connects ISO 15765 and installs the 0x7E8/0x7E0 flow filter.
  uint32_t OpenIsoChannel() {
    uint32_t device = 0;
    EXPECT_EQ(PassThruOpen(nullptr, &device), 0);
    uint32_t channel = 0;
    EXPECT_EQ(PassThruConnect(device, ISO15765, 0, 500000, &channel), 0);
    PASSTHRU_MSG mask = IsoMsg(0x7FF, {});
    PASSTHRU_MSG pattern = IsoMsg(0x7E8, {});
    PASSTHRU_MSG flow = IsoMsg(0x7E0, {});
    uint32_t filter = 0;
    EXPECT_EQ(PassThruStartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter),
              0);
    return channel;
  }

  // The next whole message (first-frame indications skipped), or DataSize 0.
  PASSTHRU_MSG ReadMessage(uint32_t channel) {
    PASSTHRU_MSG m{};
    for (int i = 0; i < 5; ++i) {
      uint32_t n = 1;
      PassThruReadMsgs(channel, &m, &n, 3000);
      if (n == 1 && !(m.RxStatus & START_OF_MESSAGE)) return m;
    }
    m.DataSize = 0;
    return m;
  }
};

// A line paced like a 115200-baud UART: a 4095-byte answer and a 4095-byte
// request (the ECU answers with the length and byte sum it received) arrive
// intact, and the 64 kB file takes about as long as the port's 1 s write
// limit.
TEST_F(IsoTpPtyTest, LongMessagesBothWaysAnd64kBFileGetThroughAt115200Baud) {
  ScratchDir scratch("baud");
  const std::string store = scratch.path().string() + "/store";
  SimProcess sim({"--baud", "115200", "--store", store});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const uint32_t channel = OpenIsoChannel();
  uint32_t n = 1;
  PASSTHRU_MSG request = IsoMsg(0x7E0, {0x22, 0xFF, 0x00});
  ASSERT_EQ(PassThruWriteMsgs(channel, &request, &n, 1000), 0);
  PASSTHRU_MSG answer = ReadMessage(channel);
  ASSERT_EQ(answer.DataSize, 4u + 4095u) << sim.log_text();
  EXPECT_EQ(std::vector<uint8_t>(answer.Data + 4, answer.Data + answer.DataSize),
            emu::long_answer_bytes(4095));
  EXPECT_EQ(answer.RxStatus, 0u);

  std::vector<uint8_t> payload{0x36, 0x01};
  for (size_t i = 2; i < 4095; ++i) payload.push_back(static_cast<uint8_t>(i * 11 + 5));
  request = IsoMsg(0x7E0, payload);
  ASSERT_EQ(PassThruWriteMsgs(channel, &request, &n, 5000), 0);
  EXPECT_EQ(n, 1u);
  answer = ReadMessage(channel);
  const uint16_t sum = emu::byte_sum16(payload);
  ASSERT_EQ(answer.DataSize, 10u) << sim.log_text();
  EXPECT_EQ(std::vector<uint8_t>(answer.Data + 4, answer.Data + 10),
            (std::vector<uint8_t>{0x76, 0x01, 0x0F, 0xFF, static_cast<uint8_t>(sum >> 8),
                                  static_cast<uint8_t>(sum)}));

  std::vector<char> contents(64 << 10);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7);
  const std::string host = scratch.path().string() + "/file64k.bin";
  std::ofstream(host, std::ios::binary).write(contents.data(), static_cast<long>(contents.size()));
  std::string host_name = host, stored = "FILE64K.BIN";
  ASSERT_EQ(PassThruWriteFile(host_name.data(), stored.data(), 0), 0) << sim.log_text();
  std::ifstream in(store + "/FILE64K.BIN", std::ios::binary);
  EXPECT_EQ(std::vector<char>(std::istreambuf_iterator<char>(in), {}), contents);
}

TEST_F(IsoTpPtyTest, VinDemoPrintsTheVin) {
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  ScratchDir scratch("vin");
  ChildProcess demo(ORV_BINARY_DIR "/examples/vin_reader", {"COM7"}, scratch.path().string());
  EXPECT_EQ(demo.Wait(), 0) << demo.Err() << sim.log_text();
  EXPECT_EQ(demo.Out(), std::string("VIN: ") + emu::kDefaultVin + "\n");
  EXPECT_EQ(demo.Err(), "");
}

}  // namespace
}  // namespace orv::test
