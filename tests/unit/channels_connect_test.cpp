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

// The setup records travel as little-endian images, fields in record order.
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
  // 250000 bit/s, 2 Mbit/s data phase, no interframe delay, 80 % and 20 %,
  // BS 0, STmin 0, no overrides, WFTmax 0xFF, length 8, no termination, pad 0xCC.
  EXPECT_EQ(Data(frames[0]),
            (std::vector<uint8_t>{0x90, 0xD0, 0x03, 0, 0x80, 0x84, 0x1E, 0, 0, 0,
                                  80,   20,   0,    0, 0xFF, 0xFF, 0xFF, 8, 0, 0xCC}));
  EXPECT_EQ(frames[1], emu::Frame::make(0x20, 0, 0));
  EXPECT_TRUE(bus_->device(0x20).connected);
  EXPECT_FALSE(bus_->device(0x10).connected);
}

TEST_F(ConnectTest, CanConnectKeepsTheIsoFieldsAnIsoConnectResetsThemTheSecondBusIsApart) {
  CAN_SETUP& can = State().channels.CANSetup;  // as SET_CONFIG calls leave it
  can.iso15765_block_size = 9;
  can.iso15765_separation_time = 1;
  can.iso15765_bs_tx_override = 2;
  can.iso15765_stmin_tx_override = 3;
  can.iso15765_wft_max = 4;
  can.iso15765_tx_data_length = 12;
  can.termination = 6;
  can.iso15765_pad_value = 0x55;
  uint32_t channel = 0;
  ASSERT_EQ(PassThruConnect(device_id_, CAN, 0, 125000, &channel), 0);
  EXPECT_EQ(Data(SentOfType(0x10, 3, 7).at(0)),
            (std::vector<uint8_t>{0x48, 0xE8, 0x01, 0, 0x80, 0x84, 0x1E, 0,  0, 0,
                                  80,   20,   9,    1, 2,    3,    4,    12, 6, 0x55}));
  EXPECT_EQ(bus_->can_setup(0x10)->pad_value, 0x55);  // the adapter reads the same record

  Connect(ISO15765);
  EXPECT_EQ(can.iso15765_block_size, 0);
  EXPECT_EQ(bus_->can_setup(0x10)->block_size, 0);
  EXPECT_EQ(bus_->can_setup(0x10)->pad_value, 0xCC);
  EXPECT_EQ(State().channels.MSCANSetup.baud_rate, 0u);  // the second bus is untouched

  // The second bus's channels use its own record and devices.
  Connect(ISO15765_PS, 0, 33333);
  EXPECT_EQ(State().channels.MSCANSetup.baud_rate, 33333u);
  EXPECT_EQ(bus_->can_setup(0x30)->baud_rate, 33333u);
  EXPECT_TRUE(bus_->device(0x40).connected);
  EXPECT_EQ(State().channels.CANSetup.baud_rate, 500000u);
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
  const std::pair<T::Timing, int> timings[] = {{T::kP1Max, 20}, {T::kP2Min, 25},  {T::kP3Max, 5000},
                                               {T::kP4Min, 5},  {T::kW0Min, 5},   {T::kW1Max, 300},
                                               {T::kW4Max, 50}, {T::kW5Min, 300}, {T::kW5Max, 500},
                                               {T::kTiniL, 25}, {T::kTwup, 50},   {T::kP5Max, 0}};
  for (const auto& [timing, ms] : timings) EXPECT_EQ(s->timing(timing), ms) << timing;
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

// CAN FD reaches the adapter in the connect frame; the no-popups flag holds
// for the rest of the process: a later open that finds no adapter shows no
// "not detected" box (DiscoveryTest shows the box without the flag).
TEST_F(ConnectTest, CanFdFlagMarksTheConnectFrameAndNoPopupsSilencesALaterSearch) {
  Connect(CAN, CAN_FD_ENABLE | ORV_CONNECT_NO_POPUPS);
  EXPECT_EQ(bus_->device(0x10).connect_flags, 0x20);
  ASSERT_EQ(PassThruClose(device_id_), 0);
  platform_.remove_port(kAdapterPort);
  uint32_t id = 0;
  EXPECT_EQ(PassThruOpen(nullptr, &id), ERR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(platform_.message_boxes().empty());
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

// Disconnect stops the running periodic messages and the filters through
// their own frames; the next connect stops every entry that still names the
// device, even a stopped one.
TEST_F(ConnectTest, DisconnectStopsPeriodicsAndFiltersAndConnectStopsStaleEntries) {
  const uint32_t ch = Connect(CAN);
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 7, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 7, 0xE8});
  const uint32_t filter = Filter(ch, PASS_FILTER, mask, pattern);
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 7, 0xDF, 2, 1});
  uint32_t stopped = 0, running = 0;
  ASSERT_EQ(PassThruStartPeriodicMsg(ch, &msg, &stopped, 100), 0);
  ASSERT_EQ(PassThruStartPeriodicMsg(ch, &msg, &running, 100), 0);
  ASSERT_EQ(PassThruStopPeriodicMsg(ch, stopped), 0);
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
  EXPECT_EQ(State().periodic.entries[running].size, 0);
  // Stop periodic (only the running one), the filter frames, the disconnect last.
  const auto frames = Sent();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().type, 4);
  EXPECT_EQ(SentOfType(0x10, 3, 4).size(), 1u);
  EXPECT_EQ(SentOfType(0x10, 3, 1).size(), 1u);
  EXPECT_EQ(frames.back().op, 1);
  EXPECT_EQ(frames.back().dev, 0x10);

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
