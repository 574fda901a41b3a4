// The channel model: aliases of an open channel, the order of the
// channel checks every channel operation shares, the protocol test, and
// the wire images of the setup records.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

using ChannelModelTest = ChannelTest;

TEST_F(ChannelModelTest, AnOpenChannelIsInUseUnderEveryAlias) {
  Connect(CAN_PS);
  for (uint32_t alias : {CAN_CH2, FD_CAN_CH2, CAN_PS}) {
    uint32_t channel = 77;
    EXPECT_EQ(PassThruConnect(device_id_, alias, 0, 500000, &channel), 20);
    EXPECT_EQ(channel, 77u);  // untouched on refusal
    EXPECT_EQ(LastErrorText(), "PassThruConnect channel 11 in use");
  }
  uint32_t channel = 0;
  EXPECT_EQ(PassThruConnect(device_id_, CAN, 0x80000000, 500000, &channel), 20);
}

TEST_F(ChannelModelTest, UnsupportedAndInvalidProtocolsAreRefusedWithoutFrames) {
  uint32_t channel = 0;
  EXPECT_EQ(PassThruConnect(device_id_, J1850PWM, 0, 41600, &channel), 1);
  EXPECT_EQ(LastErrorText(), "PassThruConnect protocol not supported");
  EXPECT_EQ(PassThruConnect(device_id_, 13, 0, 500000, &channel), 3);
  EXPECT_EQ(LastErrorText(), "PassThruConnect invalid protocol ID (13)");
  EXPECT_EQ(PassThruConnect(device_id_, 0, 0, 500000, &channel), 3);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(State().channels.ChannelStatus, 0u);
}

TEST_F(ChannelModelTest, ConnectChecksLinkPointerAndDeviceFirst) {
  uint32_t channel = 0;
  EXPECT_EQ(PassThruConnect(device_id_, CAN, 0, 500000, nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruConnect null pointer to channel ID");
  EXPECT_EQ(PassThruConnect(device_id_ + 1, CAN, 0, 500000, &channel), 26);
  EXPECT_TRUE(Sent().empty());
}

// A channel ID of 37 tests bit 5: with CAN open it passes the bit test and
// then fails the channel switch; a closed channel is "not connected".
TEST_F(ChannelModelTest, ChannelIdsAboveThirtyOneTestTheBitOfTheirRemainder) {
  Connect(CAN);
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 7, 0xFF});
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 7, 0xDF, 1, 2});
  uint32_t id = 0;
  EXPECT_EQ(PassThruStartMsgFilter(37, PASS_FILTER, &mask, &mask, nullptr, &id), 2);
  EXPECT_EQ(LastErrorText(), "PassThruStartMsgFilter invalid channel ID");
  EXPECT_EQ(PassThruStopMsgFilter(37, 0), 2);
  EXPECT_EQ(PassThruStartPeriodicMsg(37, &msg, &id, 100), 2);
  EXPECT_EQ(LastErrorText(), "PassThruStartPeriodic invalid channel ID");
  EXPECT_EQ(PassThruUpdatePeriodicMsg(37, &msg, 0, 100), 2);
  EXPECT_EQ(PassThruStopPeriodicMsg(37, 0), 2);
  EXPECT_EQ(PassThruSuspendPeriodic(37), 2);
  EXPECT_EQ(PassThruResumePeriodic(37), 2);
  EXPECT_EQ(PassThruIoctl(37, CLEAR_TX_BUFFER, nullptr, nullptr), 2);
  EXPECT_EQ(PassThruIoctl(37, CLEAR_RX_BUFFER, nullptr, nullptr), 2);
  EXPECT_EQ(PassThruDisconnect(37), 2);
  EXPECT_EQ(LastErrorText(), "PassThruDisconnect invalid channel ID");
  EXPECT_TRUE(ChannelOpen(kChannelCan));
}

TEST_F(ChannelModelTest, ClosedChannelsAnswerNotConnectedNeverInvalidChannel) {
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 7, 0xFF});
  uint32_t id = 0;
  const uint32_t closed[] = {3, 5, 6, 7, 11, 12, 37};
  for (uint32_t ch : closed) {
    SCOPED_TRACE(ch);
    EXPECT_EQ(PassThruStartMsgFilter(ch, PASS_FILTER, &mask, &mask, nullptr, &id), 8);
    EXPECT_EQ(LastErrorText(), "PassThruStartMsgFilter invalid ChannelID");
    EXPECT_EQ(PassThruStopMsgFilter(ch, 0), 8);
    EXPECT_EQ(PassThruStartPeriodicMsg(ch, &mask, &id, 10), 8);
    EXPECT_EQ(LastErrorText(), "PassThruStartPeriodicMsg invalid ChannelID");
    EXPECT_EQ(PassThruUpdatePeriodicMsg(ch, &mask, 0, 10), 8);
    EXPECT_EQ(PassThruStopPeriodicMsg(ch, 0), 8);
    EXPECT_EQ(PassThruSuspendPeriodic(ch), 8);
    EXPECT_EQ(PassThruResumePeriodic(ch), 8);
    EXPECT_EQ(PassThruIoctl(ch, CLEAR_RX_BUFFER, nullptr, nullptr), 8);
    EXPECT_EQ(PassThruDisconnect(ch), 8);
  }
  EXPECT_EQ(LastErrorText(), "PassThruDisconnect invalid ChannelID (37)");
  EXPECT_TRUE(Sent().empty());
}

// Without an adapter every export that needs the link answers "device not
// connected" under its own name, before it looks at its arguments.
TEST_F(ChannelModelTest, EveryExportThatNeedsTheLinkChecksItFirst) {
  ASSERT_EQ(PassThruClose(0), 0);
  platform_.remove_port(kAdapterPort);
  static PASSTHRU_MSG m = MakeMsg(CAN, {0, 0, 7, 0xFF});
  static uint32_t id = 0;
  static uint8_t buf[18] = {};
  static char text[80] = "junk", name[] = "b";
  static RTC_DAY_TIME rtc{};
  const struct {
    const char* name;
    int32_t (*call)();
  } cases[] = {
      {"PassThruDisconnect", [] { return PassThruDisconnect(5); }},
      {"PassThruStartMsgFilter",
       [] { return PassThruStartMsgFilter(5, PASS_FILTER, &m, &m, nullptr, &id); }},
      {"PassThruStopMsgFilter", [] { return PassThruStopMsgFilter(5, 0); }},
      {"PassThruStartPeriodic", [] { return PassThruStartPeriodicMsg(5, &m, &id, 10); }},
      {"PassThruUpdatePeriodic", [] { return PassThruUpdatePeriodicMsg(5, &m, 0, 10); }},
      {"PassThruStopPeriodic", [] { return PassThruStopPeriodicMsg(5, 0); }},
      {"PassThruSuspendPeriodic", [] { return PassThruSuspendPeriodic(5); }},
      {"PassThruResumePeriodic", [] { return PassThruResumePeriodic(5); }},
      {"PassThruIoctl", [] { return PassThruIoctl(5, CLEAR_RX_BUFFER, nullptr, nullptr); }},
      {"PassThruReadVersion", [] { return PassThruReadVersion(7, text, text, text); }},
      {"PassThruSetProgrammingVoltage", [] { return PassThruSetProgrammingVoltage(7, 13, 0); }},
      {"PassThruReadMem", [] { return PassThruReadMem(0, 4, buf, 0); }},
      {"PassThruWriteMem", [] { return PassThruWriteMem(0, 4, buf, 0); }},
      {"PassThruReadRTC", [] { return PassThruReadRTC(&rtc); }},
      {"PassThruWriteRTC", [] { return PassThruWriteRTC(nullptr); }},
      {"PassThruUpdateFirmware", [] { return PassThruUpdateFirmware(buf, 4); }},
      {"PassThruSecurity", [] { return PassThruSecurity(1, buf, buf, buf); }},
      {"PassThruWriteFile", [] { return PassThruWriteFile(name, name, 0); }},
      {"PassThruReadFile", [] { return PassThruReadFile(name, name, 0); }},
      {"PassThruDeleteFile", [] { return PassThruDeleteFile(name, 0); }},
      {"PassThruReadDir", [] { return PassThruReadDir(nullptr, text); }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), 8) << c.name;
    EXPECT_EQ(LastErrorText(), std::string(c.name) + " device not connected");
  }
  EXPECT_STREQ(text, "");  // the listing is emptied all the same
  EXPECT_EQ(PassThruConnect(device_id_, CAN, 0, 500000, &id), 8);
}

TEST(ChannelTableTest, ProtocolTestAndCanFdLengths) {
  EXPECT_EQ(VerifyProtocol(0x9881, 11), 1);
  EXPECT_EQ(VerifyProtocol(5, 11), 0);
  EXPECT_EQ(VerifyProtocol(3, 4), 1);
  EXPECT_EQ(VerifyProtocol(4, 3), 1);
  EXPECT_EQ(VerifyProtocol(0, 3), 0);
  EXPECT_EQ(VerifyProtocol(5, 37), 0);
  for (uint32_t n : {8u, 12u, 64u}) EXPECT_EQ(can_fd_valid_data_length(n), 1) << n;
  for (uint32_t n : {0u, 7u, 9u, 65u}) EXPECT_EQ(can_fd_valid_data_length(n), 0) << n;
}

TEST(ChannelTableTest, SetupRecordsGoOutAsLittleEndianImages) {
  CAN_SETUP can{};
  can.baud_rate = 0x0007A120;  // 500000
  can.fd_baud_rate = 0x001E8480;
  can.interframe_delay = 0x1234;
  can.bit_sample_point_percent = 80;
  can.sync_jump_width_percent = 20;
  can.iso15765_block_size = 1;
  can.iso15765_separation_time = 2;
  can.iso15765_bs_tx_override = 3;
  can.iso15765_stmin_tx_override = 4;
  can.iso15765_wft_max = 5;
  can.iso15765_tx_data_length = 6;
  can.termination = 7;
  can.iso15765_pad_value = 0xCC;
  const std::array<uint8_t, 20> can_image{0x20, 0xA1, 0x07, 0x00, 0x80, 0x84, 0x1E,
                                          0x00, 0x34, 0x12, 80,   20,   1,    2,
                                          3,    4,    5,    6,    7,    0xCC};
  EXPECT_EQ(CanSetupBytes(can), can_image);
  uint8_t raw[20];
  std::copy(can_image.begin(), can_image.end(), raw);
  EXPECT_EQ(CanSetupBytes(CanSetupFromBytes(raw)), can_image);

  ISO_SETUP iso{};
  iso.baud_rate = 10400;
  iso.init_address = 0x33;
  iso.init_type = 0xC0;
  iso.p3_max = 5000;
  iso.w5_max = 0x01F4;
  iso.twup = 0xABCD;
  iso.data_bits = 8;
  const auto image = IsoSetupBytes(iso);
  std::array<uint8_t, 56> expected{};
  expected[0] = 0xA0;
  expected[1] = 0x28;
  expected[4] = 0x33;
  expected[5] = 0xC0;
  expected[16] = 0x88;
  expected[17] = 0x13;
  expected[48] = 0xF4;
  expected[49] = 0x01;
  expected[52] = 0xCD;
  expected[53] = 0xAB;
  expected[55] = 8;
  EXPECT_EQ(image, expected);
  uint8_t iso_raw[56];
  std::copy(expected.begin(), expected.end(), iso_raw);
  EXPECT_EQ(IsoSetupBytes(IsoSetupFromBytes(iso_raw)), expected);
}

}  // namespace
}  // namespace orv::test
