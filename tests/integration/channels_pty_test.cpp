// Channels end to end over a pseudo-terminal: the real library with its
// native POSIX backend talks to orvanta-adapter-sim, which sends steady bus
// traffic on the first CAN interface; a CAN channel with a pass filter
// receives it into its own queue and nowhere else.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "link/jmsg.h"
#include "link/rx_queues.h"
#include "orvanta_j2534.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/messages.h"
#include "tests/support/sim_process.h"

namespace orv::test {
namespace {

using Clock = std::chrono::steady_clock;

class ChannelsPtyTest : public PtyLibraryTest {
 protected:
  // Runs receive passes until `done` holds or `ms` of real time pass.
  template <class Done>
  bool ReceiveUntil(Done done, int ms = 3000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      JmsgReceiveMsgs();
    }
    return true;
  }
};

TEST_F(ChannelsPtyTest, PassFilteredBusFramesReachTheCanQueue) {
  // 0x7E8 is wanted, 0x7E9 is not; the second bus also talks.
  SimProcess sim({"--log", "--bus-traffic", "10:07E8064100BE1FA813:20", "--bus-traffic",
                  "10:07E9064100BE1FA813:20", "--bus-traffic", "30:07E8024100:20"});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  uint32_t device = 0;
  ASSERT_EQ(PassThruOpen(nullptr, &device), 0);
  uint32_t channel = 0;
  ASSERT_EQ(PassThruConnect(device, CAN, 0, 500000, &channel), 0);
  ASSERT_EQ(channel, 5u);

  // Nothing arrives before a filter admits it.
  ReceiveUntil([] { return false; }, 200);
  EXPECT_EQ(CANBufferCount, 0u);

  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0xFF, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
  uint32_t filter = 0;
  ASSERT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &filter), 0);
  EXPECT_EQ(filter, 63u);

  ASSERT_TRUE(ReceiveUntil([] { return CANBufferCount >= 3; })) << sim.log_text();
  for (uint32_t i = 0; i < 3; ++i) {
    const JMSG& f = CANBuffer[(CANTailIndex + i) % kRxQueueSlots];
    EXPECT_EQ(f.dev, 0x10);
    EXPECT_EQ(f.op, 2);
    ASSERT_EQ(f.size, 9);
    EXPECT_EQ(f.data[0], 0x07);
    EXPECT_EQ(f.data[1], 0xE8);
    EXPECT_EQ(f.data[8], 0x13);
  }
  EXPECT_EQ(ISO15765BufferCount, 0u);
  EXPECT_EQ(MSCANBufferCount, 0u);
  EXPECT_EQ(CANOverflow, 0u);

  // The read path hands the frames out with the identifier widened.
  PASSTHRU_MSG got[2]{};
  uint32_t count = 2;
  ASSERT_EQ(PassThruReadMsgs(channel, got, &count, 1000), 0);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(got[0].DataSize, 11u);
  EXPECT_EQ(got[0].Data[2], 0x07);
  EXPECT_EQ(got[0].Data[3], 0xE8);
  EXPECT_EQ(got[0].Data[4], 0x06);

  // Disconnect removes the filter on both sides and the traffic stops.
  ASSERT_EQ(PassThruDisconnect(channel), 0);
  EXPECT_FALSE(FilterSlotInUse(63));
  EXPECT_NE(sim.log_text().find("IN  3F 00 10 03 00 01"), std::string::npos) << sim.log_text();
  ReceiveUntil([] { return false; }, 100);
  const uint32_t after = CANBufferCount;
  ReceiveUntil([] { return false; }, 200);
  EXPECT_EQ(CANBufferCount, after);
  EXPECT_EQ(PassThruClose(device), 0);
}

}  // namespace
}  // namespace orv::test
