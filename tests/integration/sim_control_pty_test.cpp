// orvanta-adapter-sim's control socket against the program itself: the
// desync count and the bus transmit count, an unplug that takes the port
// away and brings back a fresh adapter on a new pseudo-terminal, and a
// stall that leaves the host's bytes unread until it ends.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/adapter.h"
#include "tests/support/sim_process.h"

namespace orv::test {
namespace {

using emu::Frame;
namespace dev = emu::dev;
namespace op = emu::op;

const Frame kVersion = Frame::make(dev::kSystem, op::kRead, emu::type::kVersion);
constexpr size_t kVersionAnswerBytes = 12;

class SimControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = ::testing::TempDir() + "orv-sim-ctl-" + std::to_string(getpid());
    sim_.emplace(std::vector<std::string>{"--control", control_});
    ASSERT_TRUE(sim_->started()) << sim_->log_text();
    link_ = sim_->com_dir() + "/com7";
  }
  void TearDown() override {
    for (int fd : ports_) close(fd);
  }

  // One command on a connection of its own; its answer line, or "" when
  // none came within 10 s.
  std::string Ask(const std::string& command) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, control_.c_str(), sizeof addr.sun_path - 1);
    std::string answer;
    const std::string line = command + "\n";
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
      pollfd p{fd, POLLIN, 0};
      char c = 0;
      while (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c != '\n') answer += c;
    }
    close(fd);
    return answer;
  }
  // Asks until the answer is `expected` (up to 10 s); the last answer.
  std::string AwaitAnswer(const std::string& command, const std::string& expected) {
    std::string answer;
    for (int i = 0; i < 200 && (answer = Ask(command)) != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return answer;
  }
  int OpenPort() {
    const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ports_.push_back(fd);
    return fd;
  }
  static bool Send(int fd, const std::vector<uint8_t>& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // What the port delivers within `ms`, up to `want` bytes.
  static size_t Receive(int fd, size_t want, int ms) {
    uint8_t buf[256];
    size_t got = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got < want && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) == 1) {
        const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got));
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
    }
    return got;
  }

  std::string control_;
  std::string link_;
  std::optional<SimProcess> sim_;
  std::vector<int> ports_;
};

TEST_F(SimControlTest, GarbageIsCountedAndTheFrameAfterItAnswered) {
  const int port = OpenPort();
  ASSERT_GE(port, 0);
  std::vector<uint8_t> bytes{0xFF, 0x13, 0x37};
  emu::append_wire(kVersion, bytes);
  ASSERT_TRUE(Send(port, bytes));
  EXPECT_EQ(Receive(port, kVersionAnswerBytes, 10000), kVersionAnswerBytes);
  EXPECT_EQ(Ask("desync"), "desync 3");
  EXPECT_EQ(Ask("open sesame"), "error unknown command");
  sim_->stop();
  EXPECT_NE(sim_->log_text().find("desync bytes: 3\n"), std::string::npos) << sim_->log_text();
}

TEST_F(SimControlTest, UnplugTakesThePortAwayAndBringsBackAFreshAdapter) {
  const int port = OpenPort();
  ASSERT_GE(port, 0);
  std::vector<uint8_t> bytes = emu::to_wire(Frame::make(dev::kCan1, op::kStart, 0));
  emu::append_wire(Frame::make(dev::kCan1, op::kWrite, 5, 0, std::vector<uint8_t>{6, 0xF0, 1}),
                   bytes);
  ASSERT_TRUE(Send(port, bytes));
  ASSERT_EQ(AwaitAnswer("state", "connected 1 unplugged 0 desync 0 frames 2"),
            "connected 1 unplugged 0 desync 0 frames 2");
  const auto old_pty = std::filesystem::read_symlink(link_);

  ASSERT_EQ(Ask("unplug 300"), "ok");
  EXPECT_FALSE(std::filesystem::is_symlink(link_)) << "the port is gone while unplugged";
  EXPECT_FALSE(Send(port, emu::to_wire(kVersion))) << "the host sees a hang-up";
  for (int i = 0; i < 200 && !std::filesystem::is_symlink(link_); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(std::filesystem::is_symlink(link_));
  EXPECT_NE(std::filesystem::read_symlink(link_), old_pty) << "a new pseudo-terminal";
  EXPECT_EQ(Ask("state"), "connected 0 unplugged 0 desync 0 frames 2");
  EXPECT_EQ(Ask("txcount 6F0"), "txcount 1");

  const int fresh = OpenPort();
  ASSERT_GE(fresh, 0);
  ASSERT_TRUE(Send(fresh, emu::to_wire(kVersion)));
  EXPECT_EQ(Receive(fresh, kVersionAnswerBytes, 10000), kVersionAnswerBytes);
}

TEST_F(SimControlTest, StallLeavesTheHostsBytesUnreadUntilItEnds) {
  const int port = OpenPort();
  ASSERT_GE(port, 0);
  ASSERT_EQ(Ask("stall 2000"), "ok");
  ASSERT_TRUE(Send(port, emu::to_wire(kVersion)));
  EXPECT_EQ(Receive(port, kVersionAnswerBytes, 300), 0u);
  EXPECT_EQ(Ask("state"), "connected 0 unplugged 0 desync 0 frames 0");
  EXPECT_EQ(Receive(port, kVersionAnswerBytes, 10000), kVersionAnswerBytes);
}

}  // namespace
}  // namespace orv::test
