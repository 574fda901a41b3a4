// What only a real port shows, with the library's native POSIX backend and
// orvanta-adapter-sim on a pseudo-terminal: the debug trace reaching a TCP
// listener, and the exclusive open. (Search, named ports and their faults
// run in the unit tests and in the fault matrix on a pseudo-terminal.)
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "link/discovery.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "platform/platform.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/sim_process.h"
#include "tests/support/trace_host.h"

namespace orv::test {
namespace {

// Accepts one connection on TCP port 8609 and collects what arrives; or,
// not `reading`, leaves it unread behind a 1 kB receive buffer.
class TraceListener {
 public:
  explicit TraceListener(bool reading = true) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int small = 1024;
    if (!reading) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8609);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ok_ =
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 4) == 0;
    if (ok_ && reading) thread_ = std::thread([this] { Run(); });
  }
  ~TraceListener() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  std::string Text() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  void Run() {
    int client = -1;
    while (!stop_) {
      pollfd pfd{client < 0 ? fd_ : client, POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0) continue;
      if (client < 0) {
        client = ::accept(fd_, nullptr, nullptr);
        continue;
      }
      char buffer[4096];
      ssize_t n = ::read(client, buffer, sizeof buffer);
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      text_.append(buffer, static_cast<size_t>(n));
    }
    if (client >= 0) ::close(client);
  }
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string text_;
};

// Why the trace cannot reach `listener` on this machine, or "" when it can.
std::string TraceUnreachableReason(const TraceListener& listener) {
  if (!listener.ok()) return "TCP port 8609 is taken by another program";
  return TraceHostUnusableReason();
}

using DiscoveryPtyTest = PtyLibraryTest;

TEST_F(DiscoveryPtyTest, TraceLinesReachAListenerOnPort8609) {
  TraceListener listener;
  if (const std::string why = TraceUnreachableReason(listener); !why.empty()) GTEST_SKIP() << why;
  WriteRegistry("[Orvanta]\nName=Orvanta-IOT\nDebug=\nSuppressPopups=\n");
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  uint32_t id = 0;
  ASSERT_EQ(PassThruOpen("COM7", &id), 0);
  PassThruOpen(nullptr, nullptr);  // an error line
  const std::string text = listener.Text();
  EXPECT_NE(text.find("D 7 "), std::string::npos) << text;
  EXPECT_NE(text.find("Looking for Orvanta on COM7 port\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("PassThruOpen null pointer to device ID\r\n"), std::string::npos) << text;
  // Every line has the form "%c %ld %ld %s\r\n".
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    EXPECT_EQ(line[1], ' ') << line;
    char type = 0;
    long port = -1;
    long tick = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%c %ld %ld", &type, &port, &tick), 3) << line;
    start = end + 2;
  }
  PassThruClose(id);
}

TEST_F(DiscoveryPtyTest, ListenerThatNeverReadsCannotHangTheLibrary) {
  TraceListener listener(false);
  if (const std::string why = TraceUnreachableReason(listener); !why.empty()) GTEST_SKIP() << why;
  WriteRegistry("[Orvanta]\nName=Orvanta-IOT\nDebug=\nSuppressPopups=\n");
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  uint32_t id = 0;
  ASSERT_EQ(PassThruOpen("COM7", &id), 0);
  const std::string text(500, 'x');
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (TraceOn() && std::chrono::steady_clock::now() < give_up) DbgMsg('D', text.c_str());
  EXPECT_FALSE(TraceOn());  // closed after a few seconds of refused lines
  EXPECT_GT(Link().TraceDroppedLines, 0u);
  PassThruClose(id);
}

TEST(OwnAddress, LoopbackIsOwnAndADocumentationAddressIsNot) {
  EXPECT_TRUE(platform::IsOwnIpv4Address({127, 0, 0, 1}));
  EXPECT_FALSE(platform::IsOwnIpv4Address({192, 0, 2, 1}));
}

TEST_F(DiscoveryPtyTest, OpenIsExclusive) {
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

}  // namespace
}  // namespace orv::test
