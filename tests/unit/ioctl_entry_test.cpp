// The PassThruIoctl entry: the channel test and its skip list, dispatch of
// IDs without a handler, and the two buffer ioctls.
#include <gtest/gtest.h>

#include "passthru/library_state.h"
#include "passthru/rx_queues.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

class IoctlEntryTest : public ChannelTest {
 protected:
  static JMSG Echo(uint8_t dev) { return MakeJmsg(dev, 2, 5, 0, {7, 0xE8, 1}); }
};

TEST_F(IoctlEntryTest, ClosedChannelAnswersNotConnectedUnlessTheTestIsSkipped) {
  for (uint32_t ioctl : {0x01u, 0x02u, 0x04u, 0x05u, 0x06u, 0x07u, 0x08u, 0x09u, 0x0Au, 0x10200u}) {
    SCOPED_TRACE(ioctl);
    EXPECT_EQ(PassThruIoctl(5, ioctl, nullptr, nullptr), 8);
    EXPECT_EQ(LastErrorText(), "PassThruIoctl invalid ChannelID");
  }
  // Skipped IDs without a handler end as "not supported", whatever the channel.
  for (uint32_t ioctl : {0x10003u, 0x10004u, 0x10006u, 0x10007u, 0x10500u, 0x10501u}) {
    SCOPED_TRACE(ioctl);
    EXPECT_EQ(PassThruIoctl(5, ioctl, nullptr, nullptr), 1);
    EXPECT_EQ(LastErrorText(), "Ioctl function not supported");
  }
  EXPECT_TRUE(Sent().empty());
}

TEST_F(IoctlEntryTest, ChannelZeroSkipsTheTestAndHasNoQueues) {
  EXPECT_EQ(PassThruIoctl(0, CLEAR_TX_BUFFER, nullptr, nullptr), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for CLEAR_TX_BUFFER");
  EXPECT_EQ(PassThruIoctl(0, CLEAR_RX_BUFFER, nullptr, nullptr), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for CLEAR_RX_BUFFER");
  EXPECT_EQ(PassThruIoctl(0, 0x0B, nullptr, nullptr), 1);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(IoctlEntryTest, UnknownIdsOnAnOpenChannelAreNotSupported) {
  const uint32_t ch = Connect(CAN);
  for (uint32_t ioctl : {0x06u, 0x0Bu, 0x0Fu, 0x8000u, 0x10008u, 0xFFFFFFFFu}) {
    EXPECT_EQ(PassThruIoctl(ch, ioctl, nullptr, nullptr), 1) << ioctl;
  }
  EXPECT_EQ(LastErrorText(), "Ioctl function not supported");
}

TEST_F(IoctlEntryTest, ClearTxBufferHasNothingToSend) {
  const uint32_t ch = Connect(CAN);
  EXPECT_EQ(PassThruIoctl(ch, CLEAR_TX_BUFFER, nullptr, nullptr), 0);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(IoctlEntryTest, ClearRxBufferEmptiesOnlyTheChannelsQueueAndKeepsItsOverflow) {
  Connect(CAN);
  const uint32_t iso = Connect(ISO15765, CAN_ID_BOTH);
  RouteReceivedFrame(Echo(0x20));  // into both queues of the first bus
  RouteReceivedFrame(Echo(0x20));
  State().queues.iso15765.overflow = 1;
  ASSERT_EQ(State().queues.iso15765.count, 2u);
  ASSERT_EQ(State().queues.can.count, 2u);

  ASSERT_EQ(PassThruIoctl(iso, CLEAR_RX_BUFFER, nullptr, nullptr), 0);
  EXPECT_EQ(State().queues.iso15765.count, 0u);
  EXPECT_EQ(State().queues.iso15765.head, 0u);
  EXPECT_EQ(State().queues.iso15765.tail, 0u);
  EXPECT_EQ(State().queues.iso15765.overflow, 1u);
  EXPECT_EQ(State().queues.iso15765.flags, CAN_ID_BOTH);
  EXPECT_EQ(State().queues.can.count, 2u);
  // The ISO 15765 channel addresses its CAN device.
  const auto frames = Sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].dev, 0x10);
  EXPECT_EQ(frames[0].op, 0);
  EXPECT_EQ(frames[0].type, 0x0C);
  EXPECT_EQ(frames[0].flags, 0);
  EXPECT_EQ(frames[0].size, 0);
  EXPECT_EQ(bus_->device(0x10).receive_clears, 1u);
}

TEST_F(IoctlEntryTest, ClearRxBufferOnTheSecondBusAndOnTheKLine) {
  const uint32_t ms = Connect(ISO15765_PS);
  ASSERT_EQ(PassThruIoctl(ms, CLEAR_RX_BUFFER, nullptr, nullptr), 0);
  EXPECT_EQ(bus_->device(0x30).receive_clears, 1u);

  const uint32_t k3 = Connect(ISO9141);
  for (int i = 0; i < 3; ++i) RouteReceivedFrame(MakeJmsg(0x90, 2, 0, 0, {0x48}));
  ClearLogs();
  // Channel 4 shares the queue that channel 3's clear empties.
  ASSERT_EQ(PassThruIoctl(k3, CLEAR_RX_BUFFER, nullptr, nullptr), 0);
  EXPECT_EQ(State().queues.iso9141.count, 0u);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(IoctlEntryTest, ClearRxBufferFilesPendingFramesAndSurvivesASendFailure) {
  const uint32_t can = Connect(CAN);
  bus_->send_bus_frame(0x10, std::vector<uint8_t>{7, 0xE8}, 0, 5);  // due now, not yet read
  faults_.fail(platform::Call::kWrite, 1, 2);
  EXPECT_EQ(PassThruIoctl(can, CLEAR_RX_BUFFER, nullptr, nullptr), 0);
  EXPECT_EQ(LastErrorText(), "PassThruIoctl: JmsgSendCmd returned 7");
  EXPECT_EQ(State().queues.can.count, 0u);  // filed by the first pass, then discarded
  Pump();
  EXPECT_EQ(State().queues.can.count, 0u);
}

}  // namespace
}  // namespace orv::test
