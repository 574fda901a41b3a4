// Calls from several threads at once over the in-process adapter: a reader
// and a writer on different channels (each frame carries a sequence number,
// so a lost or doubled frame shows), voltage and digital-line ioctls, file
// store listings and periodic start/stop, all at the same time. Every
// answer must be the caller's own.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emulator/service_units.h"
#include "tests/unit/txrx_test_support.h"

namespace orv::test {
namespace {

constexpr uint32_t kFrames = 300;
constexpr uint32_t kRounds = 40;
constexpr uint32_t kSeqId = 0x123;

// Passes every frame of the second CAN bus on to the first.
class Relay : public emu::CanNode {
 public:
  explicit Relay(emu::BusSim& bus) : bus_(bus) {}
  void on_can_frame(const emu::CanFrame& frame, uint64_t at_ms) override {
    bus_.can_transmit(0, frame, at_ms + 1, this);
  }

 private:
  emu::BusSim& bus_;
};

class ConcurrencyTest : public BusTest {
 protected:
  emu::ServiceUnits services_ = emu::add_service_units(adapter_);
};

TEST_F(ConcurrencyTest, ChannelsIoctlsListingsAndPeriodicsRunTogether) {
  Relay relay(bus());
  bus().attach_can_node(1, relay);
  const uint32_t reader = Connect(CAN);
  const uint32_t writer = Connect(MSCAN);
  PassFilter(reader, {0, 0, 0xFF, 0xFF}, {0, 0, 0x01, 0x23});
  services_.io.set_analog(1, 1234);
  services_.io.set_line(2, 0xA5);
  adapter_.files().put("A.TXT", {1});
  adapter_.files().put("B.TXT", {2});
  std::atomic<int> failures{0};
  const auto check = [&](bool ok) {
    if (!ok) ++failures;
  };

  std::atomic<bool> written{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // writer: sequence numbers on the second bus
    for (uint32_t i = 0; i < kFrames; ++i) {
      PASSTHRU_MSG msg =
          CanMsg(writer, kSeqId, {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
      uint32_t n = 1;
      check(PassThruWriteMsgs(writer, &msg, &n, 0) == STATUS_NOERROR && n == 1);
    }
    written = true;
  });
  std::vector<uint32_t> seen;
  threads.emplace_back([&] {  // reader: the relayed frames on the first bus, in order
    // The virtual clock runs as fast as the other threads wait, so give up
    // only once everything has been written and nothing more comes.
    for (int idle = 0; seen.size() < kFrames && idle < 200; idle += written ? 1 : 0) {
      PASSTHRU_MSG msgs[16];
      uint32_t n = 16;
      PassThruReadMsgs(reader, msgs, &n, 20);
      for (uint32_t k = 0; k < n; ++k) seen.push_back(msgs[k].Data[4] << 8 | msgs[k].Data[5]);
    }
  });
  threads.emplace_back([&] {  // ioctls that wait in the answer places
    for (uint32_t r = 0; r < kRounds; ++r) {
      uint32_t millivolts = 0;
      uint32_t level = 0;
      check(PassThruIoctl(0, READ_VBATT, nullptr, &millivolts) == 0 && millivolts == 12340);
      check(PassThruIoctl(0, READ_DIO2, nullptr, &level) == 0 && level == 0xA5);
    }
  });
  threads.emplace_back([&] {  // file store listings
    for (uint32_t r = 0; r < kRounds; ++r) {
      char list[256] = {};
      char pattern[] = "*.TXT";
      check(PassThruReadDir(pattern, list) == 0 && std::string(list) == "A.TXT,B.TXT,");
    }
  });
  threads.emplace_back([&] {  // periodic messages on the reader's channel
    for (uint32_t r = 0; r < kRounds; ++r) {
      PASSTHRU_MSG msg = CanMsg(reader, 0x456, {static_cast<uint8_t>(r)});
      uint32_t id = 0;
      check(PassThruStartPeriodicMsg(reader, &msg, &id, 50) == 0);
      check(PassThruStopPeriodicMsg(reader, id) == 0);
    }
  });
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(seen.size(), kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) ASSERT_EQ(seen[i], i) << "frame " << i;
}

// The adapter has one answer place, so a call waiting in it keeps other
// such calls out until it has its answer. The second listing starts on
// another thread while the first waits with the state released, and gets
// the time to overtake it if it could.
TEST_F(ConcurrencyTest, AnAnswerWaitKeepsTheNextAnswerCallOut) {
  adapter_.files().put("A.TXT", {1});
  adapter_.files().put("C.BIN", {3});
  const auto list = [](std::string pattern) {
    char names[256] = {};
    return PassThruReadDir(pattern.data(), names) == 0 ? std::string(names) : "failed";
  };
  std::atomic<bool> started{false};
  std::thread second;
  std::string second_list;
  faults_.on_wait([&] {
    if (started.exchange(true)) return;
    second = std::thread([&] { second_list = list("*.BIN"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  EXPECT_EQ(list("*.TXT"), "A.TXT,");
  second.join();
  EXPECT_EQ(second_list, "C.BIN,");
}

}  // namespace
}  // namespace orv::test
