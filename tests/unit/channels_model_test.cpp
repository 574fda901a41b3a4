// The channel model: aliases of an open channel, and the order of the
// checks every channel operation shares (link, channel bit, channel).
#include <gtest/gtest.h>

#include <string>

#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

using ChannelModelTest = ChannelTest;

PASSTHRU_MSG g_msg = MakeMsg(CAN, {0, 0, 7, 0xDF, 1, 2});
uint32_t g_id = 0;

// Every operation on a channel, named as its "device not connected" text
// names it.
const struct ChannelOp {
  const char* name;
  int32_t (*call)(uint32_t channel);
} kChannelOps[] = {
    {"PassThruStartMsgFilter",
     [](uint32_t ch) {
       return PassThruStartMsgFilter(ch, PASS_FILTER, &g_msg, &g_msg, nullptr, &g_id);
     }},
    {"PassThruStopMsgFilter", [](uint32_t ch) { return PassThruStopMsgFilter(ch, 0); }},
    {"PassThruStartPeriodic",
     [](uint32_t ch) { return PassThruStartPeriodicMsg(ch, &g_msg, &g_id, 100); }},
    {"PassThruUpdatePeriodic",
     [](uint32_t ch) { return PassThruUpdatePeriodicMsg(ch, &g_msg, 0, 100); }},
    {"PassThruStopPeriodic", [](uint32_t ch) { return PassThruStopPeriodicMsg(ch, 0); }},
    {"PassThruSuspendPeriodic", [](uint32_t ch) { return PassThruSuspendPeriodic(ch); }},
    {"PassThruResumePeriodic", [](uint32_t ch) { return PassThruResumePeriodic(ch); }},
    {"PassThruIoctl",
     [](uint32_t ch) { return PassThruIoctl(ch, CLEAR_RX_BUFFER, nullptr, nullptr); }},
    {"PassThruDisconnect", [](uint32_t ch) { return PassThruDisconnect(ch); }},
};

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
  EXPECT_EQ(PassThruConnect(device_id_, CAN, 0, 500000, nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruConnect null pointer to channel ID");
  EXPECT_EQ(PassThruConnect(device_id_ + 1, CAN, 0, 500000, &channel), 26);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(State().channels.ChannelStatus, 0u);
}

// Closed channels answer "not connected", never "invalid channel". A
// channel ID of 37 tests bit 5: with CAN open it passes the bit test and
// then fails the channel switch.
TEST_F(ChannelModelTest, ChannelOperationsTestTheChannelBitThenTheChannel) {
  for (uint32_t ch : {3u, 5u, 6u, 7u, 11u, 12u, 37u}) {
    for (const ChannelOp& op : kChannelOps) EXPECT_EQ(op.call(ch), 8) << op.name << " " << ch;
  }
  EXPECT_EQ(LastErrorText(), "PassThruDisconnect invalid ChannelID (37)");
  kChannelOps[0].call(3);
  EXPECT_EQ(LastErrorText(), "PassThruStartMsgFilter invalid ChannelID");
  kChannelOps[2].call(3);
  EXPECT_EQ(LastErrorText(), "PassThruStartPeriodicMsg invalid ChannelID");
  EXPECT_TRUE(Sent().empty());

  Connect(CAN);
  for (const ChannelOp& op : kChannelOps) EXPECT_EQ(op.call(37), 2) << op.name;
  EXPECT_EQ(LastErrorText(), "PassThruDisconnect invalid channel ID");
  kChannelOps[0].call(37);
  EXPECT_EQ(LastErrorText(), "PassThruStartMsgFilter invalid channel ID");
  kChannelOps[2].call(37);
  EXPECT_EQ(LastErrorText(), "PassThruStartPeriodic invalid channel ID");
  EXPECT_EQ(PassThruIoctl(37, CLEAR_TX_BUFFER, nullptr, nullptr), 2);
  EXPECT_TRUE(ChannelOpen(kChannelCan));
}

// Without an adapter every export that needs the link answers "device not
// connected" under its own name, before it looks at its arguments.
TEST_F(ChannelModelTest, EveryExportThatNeedsTheLinkChecksItFirst) {
  ASSERT_EQ(PassThruClose(0), 0);
  platform_.remove_port(kAdapterPort);
  static uint8_t buf[18] = {};
  static char text[80] = "junk", name[] = "b";
  static RTC_DAY_TIME rtc{};
  const struct {
    const char* name;
    int32_t (*call)();
  } cases[] = {
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
  for (const ChannelOp& op : kChannelOps) {
    EXPECT_EQ(op.call(5), 8) << op.name;
    EXPECT_EQ(LastErrorText(), std::string(op.name) + " device not connected");
  }
  EXPECT_EQ(PassThruConnect(device_id_, CAN, 0, 500000, &g_id), 8);
}

}  // namespace
}  // namespace orv::test
