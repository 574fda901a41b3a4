// Channels end to end over a pseudo-terminal: the real library with its
// native POSIX backend talks to orvanta-adapter-sim, which sends steady bus
// traffic on the first CAN interface; a CAN channel with a pass filter
// receives it into its own queue and nowhere else.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "link/jmsg.h"
#include "orvanta_j2534.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/rx_queues.h"
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
  EXPECT_EQ(State().queues.can.count, 0u);

  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0xFF, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
  uint32_t filter = 0;
  ASSERT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &filter), 0);
  EXPECT_EQ(filter, 63u);

  ASSERT_TRUE(ReceiveUntil([] { return State().queues.can.count >= 3; })) << sim.log_text();
  for (uint32_t i = 0; i < 3; ++i) {
    const JMSG& f = State().queues.can.slots[(State().queues.can.tail + i) % kRxQueueSlots];
    EXPECT_EQ(f.dev, 0x10);
    EXPECT_EQ(f.op, 2);
    ASSERT_EQ(f.size, 9);
    EXPECT_EQ(f.data[0], 0x07);
    EXPECT_EQ(f.data[1], 0xE8);
    EXPECT_EQ(f.data[8], 0x13);
  }
  EXPECT_EQ(State().queues.iso15765.count, 0u);
  EXPECT_EQ(State().queues.ms_can.count, 0u);
  EXPECT_EQ(State().queues.can.overflow, 0u);

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
  const uint32_t after = State().queues.can.count;
  ReceiveUntil([] { return false; }, 200);
  EXPECT_EQ(State().queues.can.count, after);
  EXPECT_EQ(PassThruClose(device), 0);
}

// One thread reads bus traffic on its channel while another asks the
// adapter for its version: both get their own answers, and the bus frames
// keep coming while the version requests wait.
using ConcurrencyPtyTest = ChannelsPtyTest;

TEST_F(ConcurrencyPtyTest, BusReadsAndVersionRequestsFromTwoThreads) {
  SimProcess sim({"--bus-traffic", "10:07E8064100BE1FA813:5"});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  uint32_t device = 0;
  ASSERT_EQ(PassThruOpen(nullptr, &device), 0);
  uint32_t channel = 0;
  ASSERT_EQ(PassThruConnect(device, CAN, 0, 500000, &channel), 0);
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0xFF, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
  uint32_t filter = 0;
  ASSERT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &filter), 0);

  int frames = 0;
  int wrong_frames = 0;
  std::thread reader([&] {
    for (int i = 0; i < 20; ++i) {
      PASSTHRU_MSG got[4]{};
      uint32_t count = 4;
      PassThruReadMsgs(channel, got, &count, 200);
      for (uint32_t k = 0; k < count; ++k) {
        ++frames;
        if (got[k].Data[3] != 0xE8 || got[k].DataSize != 11) ++wrong_frames;
      }
    }
  });
  char first[80] = {};
  for (int i = 0; i < 10; ++i) {
    char fw[80] = {};
    char dll[80] = {};
    char api[80] = {};
    ASSERT_EQ(PassThruReadVersion(device, fw, dll, api), 0);
    if (i == 0) std::snprintf(first, sizeof first, "%s", fw);
    EXPECT_STREQ(fw, first);
    EXPECT_STREQ(api, "04.04");
  }
  reader.join();
  EXPECT_GT(frames, 20);
  EXPECT_EQ(wrong_frames, 0);
  EXPECT_EQ(PassThruClose(device), 0);
}

}  // namespace
}  // namespace orv::test
