// Receive routing: which queue a bus frame enters (echoes, pass and
// flow-control filters of both buses), the ring rules, overflow reported
// once until read, the channel-stop and adapter-overflow reports.
#include <gtest/gtest.h>

#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/rx_queues.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

class RxQueuesTest : public ChannelTest {
 protected:
  static JMSG Bus(uint8_t dev, std::vector<uint8_t> data, uint8_t type = 0) {
    return MakeJmsg(dev, 2, type, 0, std::move(data));
  }
  uint32_t PassFilter(uint32_t channel, uint32_t protocol, std::vector<uint8_t> mask,
                      std::vector<uint8_t> pattern) {
    return Filter(channel, PASS_FILTER, MakeMsg(protocol, mask), MakeMsg(protocol, pattern));
  }
  void MarkLastError() { DbgMsg(kMsgError, "marker"); }
};

TEST_F(RxQueuesTest, EchoesNeedNoFilter) {
  RouteReceivedFrame(Bus(0x20, {7, 0xE0, 2, 0x10, 3}, 5));
  EXPECT_EQ(State().queues.iso15765.count, 1u);
  EXPECT_EQ(State().queues.can.count, 1u);  // the pass lookup admits every echo

  RouteReceivedFrame(Bus(0x10, {7, 0xDF, 1}, 5));
  EXPECT_EQ(State().queues.iso15765.count, 1u);  // a raw-CAN echo is no ISO 15765 echo
  EXPECT_EQ(State().queues.can.count, 2u);

  RouteReceivedFrame(Bus(0x40, {7, 0xE0}, 5));
  EXPECT_EQ(State().queues.ms_iso15765.count, 1u);
  EXPECT_EQ(State().queues.ms_can.count, 1u);
  EXPECT_EQ(State().queues.iso15765.count, 1u);
}

TEST_F(RxQueuesTest, PassFiltersChooseTheQueueOfTheirChannel) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  PassFilter(can, CAN, {0, 0, 0xFF, 0xFF}, {0, 0, 7, 0xE8});
  PassFilter(iso, ISO15765, {0, 0, 0xFF, 0xFF}, {0, 0, 7, 0xE9});

  RouteReceivedFrame(Bus(0x10, {7, 0xE8, 1}));  // raw CAN only
  EXPECT_EQ(State().queues.can.count, 1u);
  EXPECT_EQ(State().queues.iso15765.count, 0u);
  RouteReceivedFrame(Bus(0x20, {7, 0xE8, 1}));  // the pass lookup reads 0x20 as 0x10
  EXPECT_EQ(State().queues.can.count, 2u);

  RouteReceivedFrame(Bus(0x10, {7, 0xE9, 1}));  // the ISO 15765 channel's pass filter
  EXPECT_EQ(State().queues.iso15765.count, 1u);
  EXPECT_EQ(State().queues.can.count, 2u);
  RouteReceivedFrame(Bus(0x20, {7, 0xE9, 1}));  // never through the ISO pass lookup
  EXPECT_EQ(State().queues.iso15765.count, 1u);

  RouteReceivedFrame(Bus(0x30, {7, 0xE8, 1}));  // the other bus has no filter
  EXPECT_EQ(State().queues.ms_can.count, 0u);
}

TEST_F(RxQueuesTest, OneFrameCanEnterBothQueues) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  PassFilter(can, CAN, {0, 0, 0xFF, 0xFF}, {0, 0, 7, 0xE8});
  PASSTHRU_MSG fc = MakeMsg(ISO15765, {0, 0, 7, 0xE0});
  Filter(iso, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0, 0, 0xFF, 0xFF}),
         MakeMsg(ISO15765, {0, 0, 7, 0xE8}), &fc);
  RouteReceivedFrame(Bus(0x10, {7, 0xE8, 0x10, 0x14}));
  EXPECT_EQ(State().queues.can.count, 1u);
  EXPECT_EQ(State().queues.iso15765.count, 1u);
}

TEST_F(RxQueuesTest, FramesWithoutAPassFilterEnterNoQueue) {
  RouteReceivedFrame(Bus(0x10, {7, 0xE8, 2, 0x41, 0}));
  RouteReceivedFrame(Bus(0x30, {7, 0xE8, 2, 0x41, 0}));
  const uint32_t can = Connect(CAN);  // block filters admit nothing on the host
  Filter(can, BLOCK_FILTER, MakeMsg(CAN, {0, 0, 0, 0}), MakeMsg(CAN, {0, 0, 0, 0}));
  RouteReceivedFrame(Bus(0x10, {7, 0xE8}));
  EXPECT_EQ(State().queues.can.count + State().queues.iso15765.count + State().queues.ms_can.count +
                State().queues.ms_iso15765.count,
            0u);
}

TEST_F(RxQueuesTest, LookupsScanFromTheLowestSlot) {
  EXPECT_EQ(GetFirstISOFlowFilterIndex(), -1);
  const JMSG echo = Bus(0x10, {1}, 5);
  EXPECT_EQ(GetPassFilterIndex(&echo), 0);

  const uint32_t ms = Connect(ISO15765_PS);
  const uint32_t iso = Connect(ISO15765);
  PASSTHRU_MSG fc1 = MakeMsg(ISO15765, {0, 0, 7, 0xE0});
  PASSTHRU_MSG fc2 = MakeMsg(ISO15765, {0, 0, 7, 0xE1});
  const uint32_t first = Filter(ms, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0, 0, 0xFF, 0xF0}),
                                MakeMsg(ISO15765, {0, 0, 7, 0xE0}), &fc1);
  const uint32_t second = Filter(iso, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0, 0, 0xFF, 0xFF}),
                                 MakeMsg(ISO15765, {0, 0, 7, 0xE8}), &fc2);
  ASSERT_LT(first, second);
  EXPECT_EQ(GetFirstISOFlowFilterIndex(), static_cast<int32_t>(first));
  // A flow-control filter of the second bus matches a first-bus frame.
  const JMSG frame = Bus(0x10, {7, 0xE8, 0x21});
  EXPECT_EQ(GetISOFlowFilterIndex(&frame), static_cast<int32_t>(first));
  RouteReceivedFrame(frame);
  EXPECT_EQ(State().queues.iso15765.count, 1u);
  EXPECT_EQ(State().queues.ms_iso15765.count, 0u);
}

TEST_F(RxQueuesTest, OverflowIsReportedOnceUntilTheReaderLooks) {
  Connect(CAN);
  const JMSG echo = Bus(0x10, {7, 0xDF}, 5);
  for (uint32_t i = 0; i < kRxQueueSlots; ++i) RouteReceivedFrame(echo);
  ASSERT_EQ(State().queues.can.count, kRxQueueSlots);
  EXPECT_EQ(State().queues.can.overflow, 0u);

  RouteReceivedFrame(echo);
  EXPECT_EQ(State().queues.can.count, kRxQueueSlots);
  EXPECT_EQ(State().queues.can.overflow, 1u);
  EXPECT_EQ(LastErrorText(), "CAN buffer overflow");
  MarkLastError();
  RouteReceivedFrame(echo);
  EXPECT_EQ(LastErrorText(), "marker");  // no second report

  RxQueue q{};
  ASSERT_TRUE(RxQueueOfChannel(5, &q));
  EXPECT_TRUE(RxQueueTakeOverflow(q));
  EXPECT_FALSE(RxQueueTakeOverflow(q));
  RouteReceivedFrame(echo);
  EXPECT_EQ(LastErrorText(), "CAN buffer overflow");
  EXPECT_EQ(State().queues.can.overflow, 1u);
}

TEST_F(RxQueuesTest, LossOnAClosedRawChannelIsSilentButIso15765AlwaysReports) {
  MarkLastError();
  const JMSG can_echo = Bus(0x10, {7, 0xDF}, 5);
  for (uint32_t i = 0; i <= kRxQueueSlots; ++i) RouteReceivedFrame(can_echo);
  EXPECT_EQ(State().queues.can.overflow, 0u);
  EXPECT_EQ(LastErrorText(), "marker");

  const JMSG iso_echo = Bus(0x40, {7, 0xDF}, 5);
  for (uint32_t i = 0; i <= kRxQueueSlots; ++i) RouteReceivedFrame(iso_echo);
  EXPECT_EQ(State().queues.ms_iso15765.overflow, 1u);
  EXPECT_EQ(State().queues.ms_can.overflow, 0u);  // MSCAN closed: its loss is silent
  EXPECT_EQ(LastErrorText(), "MSISO15765 buffer overflow");
}

TEST_F(RxQueuesTest, KLineQueueHoldsTwoHundredFiftySixFramesAndWraps) {
  Connect(ISO14230);  // only the ISO 14230 channel reads the shared queue
  for (uint32_t i = 0; i < kKLineQueueSlots; ++i) {
    RouteReceivedFrame(Bus(0x90, {static_cast<uint8_t>(i)}));
  }
  EXPECT_EQ(State().queues.iso9141.head, 0u);
  RouteReceivedFrame(Bus(0x90, {0xEE}));
  EXPECT_EQ(State().queues.iso9141.count, kKLineQueueSlots);
  EXPECT_EQ(State().queues.iso9141.overflow, 1u);
  EXPECT_EQ(LastErrorText(), "ISO9141 buffer overflow");

  RxQueue q{};
  ASSERT_TRUE(RxQueueOfChannel(4, &q));
  EXPECT_EQ(RxQueueTail(q).data[0], 0);
  RxQueueDropTail(q);
  RouteReceivedFrame(Bus(0x90, {0xAB}));  // into slot 0 again
  EXPECT_EQ(State().queues.iso9141.head, 1u);
  for (uint32_t i = 1; i < kKLineQueueSlots; ++i) RxQueueDropTail(q);
  EXPECT_EQ(State().queues.iso9141.tail, 0u);
  EXPECT_EQ(RxQueueTail(q).data[0], 0xAB);
  RxQueueDropTail(q);
  EXPECT_TRUE(RxQueueEmpty(q));
  RxQueueDropTail(q);  // nothing to take
  EXPECT_EQ(State().queues.iso9141.count, 0u);
  EXPECT_EQ(State().queues.iso9141.tail, 1u);
}

TEST_F(RxQueuesTest, ChannelStopReportsClearTheirChannelBit) {
  Connect(ISO9141);
  Connect(ISO14230);
  Connect(ISO15765);
  Connect(CAN);
  bus_->send_channel_stop(0x90);
  bus_->send_channel_stop(0x20);
  Pump();
  EXPECT_FALSE(ChannelOpen(3));
  EXPECT_TRUE(ChannelOpen(4));  // the report names the device, only ISO 9141 is marked
  EXPECT_FALSE(ChannelOpen(6));
  EXPECT_TRUE(ChannelOpen(5));
  RouteReceivedFrame(MakeJmsg(0xB0, 1, 0, 0));  // a device without a channel
  EXPECT_TRUE(ChannelOpen(5));
}

TEST_F(RxQueuesTest, AdapterOverflowReportFlagsBothQueuesOfTheNamedBus) {
  bus_->send_overflow_report(0x20);
  Pump();
  EXPECT_EQ(State().queues.can.overflow, 1u);
  EXPECT_EQ(State().queues.iso15765.overflow, 1u);
  EXPECT_EQ(State().queues.ms_can.overflow, 0u);
  EXPECT_EQ(LastErrorText(), "Orvanta buffer overflow");
  bus_->send_overflow_report(0x30);
  bus_->send_overflow_report(0x90);
  Pump();
  EXPECT_EQ(State().queues.ms_can.overflow, 1u);
  EXPECT_EQ(State().queues.ms_iso15765.overflow, 1u);
  EXPECT_EQ(State().queues.iso9141.overflow, 0u);
}

}  // namespace
}  // namespace orv::test
