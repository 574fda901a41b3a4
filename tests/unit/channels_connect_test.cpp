// Connect and disconnect: the setup records and their values, the frames
// and their order, the connect flags, and the channel's periodic messages
// and filters stopped through their own operations.
#include <gtest/gtest.h>

#include "link/discovery.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "passthru/rx_queues.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

using ConnectTest = ChannelTest;

TEST_F(ConnectTest, Iso15765SetupGoesToTheCanDeviceBeforeTheConnectFrame) {
  uint32_t channel = 0;
  ASSERT_EQ(PassThruConnect(device_id_, ISO15765, 0, 250000, &channel), 0);
  EXPECT_EQ(channel, 6u);

  const auto frames = Sent();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].dev, 0x10);
  EXPECT_EQ(frames[0].op, 3);
  EXPECT_EQ(frames[0].type, 7);
  EXPECT_EQ(frames[0].flags, 0);
  EXPECT_EQ(frames[0].size, 20);
  EXPECT_EQ(frames[1].dev, 0x20);
  EXPECT_EQ(frames[1].op, 0);
  EXPECT_EQ(frames[1].size, 0);

  // What the adapter read from the 20 bytes.
  const auto setup = bus_->can_setup(0x10);
  ASSERT_TRUE(setup.has_value());
  EXPECT_EQ(setup->baud_rate, 250000u);
  EXPECT_EQ(setup->fd_baud_rate, 2000000u);
  EXPECT_EQ(setup->interframe_delay, 0);
  EXPECT_EQ(setup->bit_sample_point_percent, 80);
  EXPECT_EQ(setup->sync_jump_width_percent, 20);
  EXPECT_EQ(setup->block_size, 0);
  EXPECT_EQ(setup->separation_time, 0);
  EXPECT_EQ(setup->bs_tx_override, 0xFF);
  EXPECT_EQ(setup->stmin_tx_override, 0xFF);
  EXPECT_EQ(setup->wft_max, 0xFF);
  EXPECT_EQ(setup->tx_data_length, 8);
  EXPECT_EQ(setup->termination, 0);
  EXPECT_EQ(setup->pad_value, 0xCC);
  EXPECT_TRUE(bus_->device(0x20).connected);
  EXPECT_FALSE(bus_->device(0x10).connected);
}

TEST_F(ConnectTest, CanConnectKeepsTheIsoFieldsAnIsoConnectResetsThem) {
  State().channels.CANSetup.iso15765_block_size = 9;  // as a SET_CONFIG of ISO15765_BS leaves it
  State().channels.CANSetup.iso15765_pad_value = 0x55;
  Connect(CAN, 0, 125000);
  EXPECT_EQ(State().channels.CANSetup.baud_rate, 125000u);
  EXPECT_EQ(State().channels.CANSetup.iso15765_block_size, 9);
  EXPECT_EQ(bus_->can_setup(0x10)->block_size, 9);
  EXPECT_EQ(bus_->can_setup(0x10)->pad_value, 0x55);

  Connect(ISO15765);
  EXPECT_EQ(State().channels.CANSetup.iso15765_block_size, 0);
  EXPECT_EQ(bus_->can_setup(0x10)->block_size, 0);
  EXPECT_EQ(bus_->can_setup(0x10)->pad_value, 0xCC);
  EXPECT_EQ(State().channels.MSCANSetup.baud_rate, 0u);  // the second bus is untouched
}

TEST_F(ConnectTest, SecondBusChannelsUseItsOwnRecordAndDevices) {
  Connect(ISO15765_PS, 0, 33333);
  EXPECT_EQ(State().channels.MSCANSetup.baud_rate, 33333u);
  EXPECT_EQ(bus_->can_setup(0x30)->baud_rate, 33333u);
  EXPECT_TRUE(bus_->device(0x40).connected);
  EXPECT_EQ(State().channels.CANSetup.baud_rate, 0u);
}

TEST_F(ConnectTest, KLineSetupValuesAndInitType) {
  Connect(ISO14230, ISO9141_NO_CHECKSUM, 10400);
  EXPECT_EQ(State().channels.ISO9141Setup.init_type, 0x80);
  EXPECT_EQ(State().channels.ISO9141NoChecksum, 1u);
  const auto s = bus_->kline_setup();
  ASSERT_TRUE(s.has_value());
  using T = emu::KLineSetupView;
  EXPECT_EQ(s->baud_rate, 10400u);
  EXPECT_EQ(s->init_address, 0x33);
  EXPECT_EQ(s->init_type, 0x80);
  EXPECT_EQ(s->timing(T::kP1Max), 20);
  EXPECT_EQ(s->timing(T::kP2Min), 25);
  EXPECT_EQ(s->timing(T::kP3Max), 5000);
  EXPECT_EQ(s->timing(T::kP4Min), 5);
  EXPECT_EQ(s->timing(T::kW0Min), 5);
  EXPECT_EQ(s->timing(T::kW1Max), 300);
  EXPECT_EQ(s->timing(T::kW4Max), 50);
  EXPECT_EQ(s->timing(T::kW5Min), 300);
  EXPECT_EQ(s->timing(T::kW5Max), 500);
  EXPECT_EQ(s->timing(T::kTiniL), 25);
  EXPECT_EQ(s->timing(T::kTwup), 50);
  EXPECT_EQ(s->timing(T::kP5Max), 0);
  EXPECT_EQ(s->parity, 0);
  EXPECT_EQ(s->data_bits, 8);
  ASSERT_EQ(PassThruDisconnect(4), 0);

  Connect(ISO9141, 0x20000200, 10400);
  EXPECT_EQ(bus_->kline_setup()->init_type, 0xC0);
  ASSERT_EQ(PassThruDisconnect(3), 0);
  Connect(ISO9141, 0, 10400);
  EXPECT_EQ(bus_->kline_setup()->init_type, 0);
  EXPECT_EQ(State().channels.ISO9141NoChecksum, 0u);
}

TEST_F(ConnectTest, CanFdFlagMarksTheConnectFrameAndPopupFlagIsRemembered) {
  Connect(CAN, CAN_FD_ENABLE | ORV_CONNECT_NO_POPUPS);
  EXPECT_EQ(bus_->device(0x10).connect_flags, 0x20);
  EXPECT_EQ(Link().fSuppressPopups, 1u);
  EXPECT_EQ(State().queues.can.flags, CAN_FD_ENABLE | ORV_CONNECT_NO_POPUPS);
}

TEST_F(ConnectTest, ConnectEmptiesTheQueueButKeepsItsOverflowFlag) {
  Connect(CAN);
  bus_->send_bus_frame(0x10, std::vector<uint8_t>{7, 0xE8, 1}, 0, 5);  // echo: queued anyway
  Pump();
  ASSERT_EQ(State().queues.can.count, 1u);
  State().queues.can.overflow = 1;
  ASSERT_EQ(PassThruDisconnect(5), 0);
  Connect(CAN, CAN_29BIT_ID);
  EXPECT_EQ(State().queues.can.count, 0u);
  EXPECT_EQ(State().queues.can.head, 0u);
  EXPECT_EQ(State().queues.can.overflow, 1u);
  EXPECT_EQ(State().queues.can.flags, CAN_29BIT_ID);
}

TEST_F(ConnectTest, DisconnectStopsTheChannelsPeriodicsAndFiltersThenSleeps) {
  const uint32_t ch = Connect(CAN);
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 7, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 7, 0xE8});
  const uint32_t filter = Filter(ch, PASS_FILTER, mask, pattern);
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 7, 0xDF, 2, 1});
  uint32_t periodic = 0;
  ASSERT_EQ(PassThruStartPeriodicMsg(ch, &msg, &periodic, 100), 0);
  ASSERT_EQ(bus_->running_periodics(0x10).size(), 1u);
  ASSERT_EQ(bus_->filter_slots(0x10).size(), 1u);
  ClearLogs();

  const uint64_t slept_before = platform_.slept_ms();
  ASSERT_EQ(PassThruDisconnect(ch), 0);
  EXPECT_GE(platform_.slept_ms() - slept_before, 50u);
  EXPECT_FALSE(ChannelOpen(5));
  EXPECT_TRUE(bus_->running_periodics(0x10).empty());
  EXPECT_TRUE(bus_->filter_slots(0x10).empty());
  EXPECT_FALSE(bus_->device(0x10).connected);
  EXPECT_FALSE(FilterSlotInUse(filter));
  EXPECT_EQ(State().periodic.entries[periodic].size, 0);

  // Stop periodic, then the three filter frames, and the disconnect last.
  const auto frames = Sent();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().type, 4);
  EXPECT_EQ(frames.back().op, 1);
  EXPECT_EQ(frames.back().dev, 0x10);
  EXPECT_EQ(SentOfType(0x10, 3, 1).size(), 1u);
}

TEST_F(ConnectTest, ConnectStopsEntriesThatLastNamedTheDeviceEvenWhenStopped) {
  const uint32_t ch = Connect(CAN);
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 7, 0xDF, 2, 1});
  uint32_t a = 0, b = 0;
  ASSERT_EQ(PassThruStartPeriodicMsg(ch, &msg, &a, 100), 0);
  ASSERT_EQ(PassThruStartPeriodicMsg(ch, &msg, &b, 100), 0);
  ASSERT_EQ(PassThruStopPeriodicMsg(ch, a), 0);
  ClearLogs();
  ASSERT_EQ(PassThruDisconnect(ch), 0);
  EXPECT_EQ(SentOfType(0x10, 3, 4).size(), 1u);  // only the running one

  // Both entries still name device 0x10: each gets a stop frame on connect.
  ClearLogs();
  uint32_t again = 0;
  ASSERT_EQ(PassThruConnect(device_id_, CAN, 0, 500000, &again), 0);
  EXPECT_EQ(SentOfType(0x10, 3, 4).size(), 2u);
}

TEST_F(ConnectTest, DisconnectOfAClosedOrForeignChannel) {
  EXPECT_EQ(PassThruDisconnect(7), 8);
  EXPECT_EQ(LastErrorText(), "PassThruDisconnect invalid ChannelID (7)");
  Connect(ISO9141);
  EXPECT_EQ(PassThruDisconnect(35), 2);
}

}  // namespace
}  // namespace orv::test
