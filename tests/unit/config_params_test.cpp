// GET_CONFIG and SET_CONFIG over the in-process emulated adapter: the
// halved K-line timings, field widths, the option frames, which channels
// accept which parameter, how a list stops or goes on, the special cases
// and every trace and error text.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/library_state.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

class ConfigTest : public ChannelTest {
 protected:
  int32_t Set(uint32_t channel, std::vector<SCONFIG> entries) {
    SCONFIG_LIST list{static_cast<uint32_t>(entries.size()), entries.data()};
    return PassThruIoctl(channel, SET_CONFIG, &list, nullptr);
  }
  int32_t Set(uint32_t channel, uint32_t parameter, uint32_t value) {
    return Set(channel, {{parameter, value}});
  }
  // GET_CONFIG of one parameter; the value lands in *value.
  int32_t Get(uint32_t channel, uint32_t parameter, uint32_t* value) {
    SCONFIG entry{parameter, 0xDEADBEEF};
    SCONFIG_LIST list{1, &entry};
    const int32_t rc = PassThruIoctl(channel, GET_CONFIG, &list, nullptr);
    *value = entry.Value;
    return rc;
  }
  uint32_t GetOk(uint32_t channel, uint32_t parameter) {
    uint32_t value = 0;
    EXPECT_EQ(Get(channel, parameter, &value), 0);
    return value;
  }

  // The flags of the option frames of one type, in order.
  std::vector<uint8_t> OptionFlags(uint8_t type) const {
    std::vector<uint8_t> flags;
    for (const emu::Frame& f : SentOfType(0xF0, 3, type)) flags.push_back(f.flags);
    return flags;
  }
  ISO_SETUP LastKLineSetup() const {
    const auto frames = SentOfType(0x90, 3, 7);
    uint8_t bytes[kIsoSetupSize] = {};
    if (!frames.empty()) std::memcpy(bytes, frames.back().data.data(), kIsoSetupSize);
    return IsoSetupFromBytes(bytes);
  }
};

// --- K-line timings and field widths ------------------------------------------------

TEST_F(ConfigTest, KLineTimingsAreStoredHalvedAndReadBackDoubled) {
  const uint32_t ch = Connect(ISO9141, 0, 10400);
  ASSERT_EQ(Set(ch, P1_MIN, 25), 0);
  EXPECT_EQ(State().channels.ISO9141Setup.p1_min, 12);
  EXPECT_EQ(GetOk(ch, P1_MIN), 24u);  // an odd value comes back one lower
  EXPECT_EQ(LastKLineSetup().p1_min, 12);

  ASSERT_EQ(Set(ch, P1_MIN, 0x1FFFF), 0);
  EXPECT_EQ(State().channels.ISO9141Setup.p1_min, 0x7FFF);
  EXPECT_EQ(GetOk(ch, P1_MIN), 0xFFFEu);

  // The W and T timings are milliseconds already: only cut to 16 bits.
  ASSERT_EQ(Set(ch, {{W1, 0x10123}, {TIDLE, 300}, {TINIL, 25}, {TWUP, 50}}), 0);
  EXPECT_EQ(State().channels.ISO9141Setup.w1_max, 0x0123);
  EXPECT_EQ(State().channels.ISO9141Setup.w5_min, 300);
  EXPECT_EQ(GetOk(ch, W5), 300u);
  EXPECT_EQ(LastKLineSetup().twup, 50);
  // The K-line setup goes to 0x90 once per entry, as a whole record.
  EXPECT_EQ(SentOfType(0x90, 3, 7).size(), 2u + 4);
  EXPECT_EQ(SentOfType(0x90, 3, 7).back().size, kIsoSetupSize);
}

TEST_F(ConfigTest, ValuesAreCutToTheirFieldButTracedWhole) {
  const uint32_t ch = Connect(CAN);
  StartTrace();
  ASSERT_EQ(Set(ch, HS_CAN_TERMINATION, 256), 0);
  EXPECT_EQ(State().channels.CANSetup.termination, 0);
  EXPECT_EQ(GetOk(ch, HS_CAN_TERMINATION), 0u);
  ASSERT_EQ(Set(ch, INTERFRAME_DELAY, 0x12345), 0);
  EXPECT_EQ(State().channels.CANSetup.interframe_delay, 0x2345);
  const uint32_t kline = Connect(ISO14230, 0, 10400);
  ASSERT_EQ(Set(kline, NODE_ADDRESS, 0x1F3), 0);
  EXPECT_EQ(State().channels.ISO9141Setup.init_address, 0xF3);

  // The API lines, in order, each ending its trace line.
  const std::string trace = platform_.trace_text();
  size_t at = 0;
  for (const char* text :
       {" PassThruIoctl(5, 2, pInput, pOutput)\r", "  SET_CONFIG\r", " HS_CAN_TERMINATION = 256\r",
        " PassThruIoctl(5, 1, pInput, pOutput)\r", "  GET_CONFIG\r", "  HS_CAN_TERMINATION\r",
        " PassThruIoctl(5, 2, pInput, pOutput)\r", "  SET_CONFIG\r", " INTERFRAME_DELAY = 74565\r",
        "  NODE_ADDRESS = 1F3\r"}) {
    at = trace.find(text, at);
    ASSERT_NE(at, std::string::npos) << text << " in\n" << trace;
  }
}

// --- option flags and their frames --------------------------------------------------

// Loopback and trigger always travel together; bus errors and automatic
// suspend each carry only their own bit.
TEST_F(ConfigTest, OptionFrames) {
  const uint32_t can = Connect(CAN);
  ASSERT_EQ(Set(can, {{LOOPBACK, 1}, {MSG_TRIGGER, 1}, {LOOPBACK, 2}}), 0);  // only 1 is on
  EXPECT_EQ(OptionFlags(0), (std::vector<uint8_t>{0x40, 0xC0, 0x80}));
  EXPECT_EQ(SentOfType(0xF0, 3, 0).back().size, 0);
  EXPECT_EQ(GetOk(can, LOOPBACK), 0u);
  EXPECT_EQ(GetOk(can, MSG_TRIGGER), 1u);

  const uint32_t iso = Connect(ISO15765);
  EXPECT_EQ(GetOk(iso, AUTOMATIC_SUSPEND), 1u);  // on from the start
  ASSERT_EQ(Set(iso, {{BUS_ERROR_MSGS, 1}, {AUTOMATIC_SUSPEND, 0}, {AUTOMATIC_SUSPEND, 1}}), 0);
  EXPECT_EQ(OptionFlags(7), (std::vector<uint8_t>{0x10, 0x80, 0x00}));
  EXPECT_TRUE(OptionFlags(0).empty());
  EXPECT_EQ(GetOk(iso, BUS_ERROR_MSGS), 1u);
}

TEST_F(ConfigTest, FlagsWithoutAFrame) {
  const uint32_t ch = Connect(CAN);
  ASSERT_EQ(Set(ch, {{LAST_SEGMENT_TIMESTAMP, 1}, {CAN_MIXED_FORMAT, 0}}), 0);
  EXPECT_EQ(State().options.last_segment_flag, 1u);
  EXPECT_EQ(State().options.can_mixed_format_flag, 1u);  // set whatever the value
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(GetOk(ch, LAST_SEGMENT_TIMESTAMP), 1u);
  // Neither a later value nor a new connect clears the mixed format.
  ASSERT_EQ(Set(ch, CAN_MIXED_FORMAT, 0), 0);
  Connect(ISO15765);
  EXPECT_EQ(State().options.can_mixed_format_flag, 1u);
  uint32_t value = 0;
  EXPECT_EQ(Get(ch, CAN_MIXED_FORMAT, &value), 1);
  EXPECT_EQ(LastErrorText(), "Requested Ioctl parameter (32768) not supported");
}

// --- channels -------------------------------------------------------------------------

// CAN parameters go to the bus's CAN device and are shared by the two
// channels of the bus; ISO 15765 parameters go to the channel's device.
// The second bus has its own record and devices.
TEST_F(ConfigTest, EachBusHasItsOwnRecordAndDevices) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  ASSERT_EQ(Set(iso, {{DATA_RATE, 250000}, {ISO15765_BS, 8}}), 0);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].dev, 0x10);
  EXPECT_EQ(sent[0].size, kCanSetupSize);
  EXPECT_EQ(sent[1].dev, 0x20);
  EXPECT_EQ(sent[1].data[12], 8);
  EXPECT_EQ(GetOk(can, DATA_RATE), 250000u);

  const uint32_t ms = Connect(FD_ISO15765_CH2);
  ASSERT_EQ(ms, MSISO15765);
  ASSERT_EQ(Set(ms, {{DATA_RATE, 125000}, {ISO15765_STMIN, 5}}), 0);
  EXPECT_EQ(State().channels.MSCANSetup.baud_rate, 125000u);
  EXPECT_EQ(State().channels.MSCANSetup.iso15765_separation_time, 5);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0].dev, 0x30);
  EXPECT_EQ(Sent()[1].dev, 0x40);
  EXPECT_EQ(State().channels.CANSetup.baud_rate, 250000u);
}

TEST_F(ConfigTest, ParametersOnChannelsThatDoNotTakeThem) {
  const uint32_t can = Connect(CAN);
  struct Case {
    uint32_t channel, parameter;
    const char* text;
  } cases[] = {
      {can, P1_MIN, "Invalid channel ID for P1_MIN"},
      {can, TIDLE, "Invalid channel ID for W5"},
      {can, ISO15765_BS, "Invalid channel ID for ISO15765_BS"},
      {can, ISO15765_WFT_MAX, "Invalid channel ID for ISO15765_WFT_MAX"},
      {can, J1962_PINS, "Invalid channel ID for J1962_PINS"},
      {0, DATA_RATE, "Invalid channel ID for DATA_RATE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Set(c.channel, c.parameter, 0x030B), 2);
    EXPECT_EQ(LastErrorText(), c.text);
  }
  uint32_t value = 0;
  EXPECT_EQ(Get(0, DATA_RATE, &value), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for DATA_RATE");
  EXPECT_EQ(Get(can, TIDLE, &value), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for W5");
  EXPECT_TRUE(Sent().empty());

  // Channel-free parameters work with ChannelID 0, without a channel open.
  ASSERT_EQ(PassThruDisconnect(can), 0);
  EXPECT_EQ(Get(0, LOOPBACK, &value), 0);
  EXPECT_EQ(value, 0u);
  // A closed channel is turned away by the entry.
  EXPECT_EQ(Get(can, LOOPBACK, &value), 8);
}

// --- lists ----------------------------------------------------------------------------

TEST_F(ConfigTest, ZeroDataRateIsSkippedAndTheListGoesOn) {
  const uint32_t ch = Connect(ISO15765);
  const uint32_t rate = State().channels.CANSetup.baud_rate;
  ASSERT_EQ(Set(ch, {{DATA_RATE, 0}, {ISO15765_BS, 8}}), 0);
  EXPECT_EQ(LastErrorText(), "Invalid DATA_RATE");
  EXPECT_EQ(State().channels.CANSetup.baud_rate, rate);
  EXPECT_EQ(State().channels.CANSetup.iso15765_block_size, 8);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].dev, 0x20);
  // The zero test comes before the channel test.
  EXPECT_EQ(Set(0, DATA_RATE, 0), 0);
}

TEST_F(ConfigTest, AnEntryThatFailsEndsTheListAfterTheEntriesBeforeIt) {
  const uint32_t ch = Connect(ISO15765);
  EXPECT_EQ(Set(ch, {{ISO15765_BS, 8}, {P1_MIN, 20}, {ISO15765_STMIN, 9}}), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for P1_MIN");
  EXPECT_EQ(State().channels.CANSetup.iso15765_block_size, 8);
  EXPECT_NE(State().channels.CANSetup.iso15765_separation_time, 9);
  EXPECT_EQ(Sent().size(), 1u);

  EXPECT_EQ(Set(ch, {{ISO15765_STMIN, 9}, {0x02, 5}, {ISO15765_BS, 1}}), 1);
  EXPECT_EQ(LastErrorText(), "Requested Ioctl parameter (2) value (5) not supported");
  EXPECT_EQ(State().channels.CANSetup.iso15765_separation_time, 9);
  EXPECT_EQ(State().channels.CANSetup.iso15765_block_size, 8);

  SCONFIG entries[3] = {{DATA_RATE, 0}, {0x24, 0}, {DATA_RATE, 77}};
  SCONFIG_LIST list{3, entries};
  EXPECT_EQ(PassThruIoctl(ch, GET_CONFIG, &list, nullptr), 1);
  EXPECT_EQ(LastErrorText(), "Requested Ioctl parameter (36) not supported");
  EXPECT_EQ(entries[0].Value, State().channels.CANSetup.baud_rate);
  EXPECT_EQ(entries[2].Value, 77u);  // not looked at

  // Empty lists do nothing; a list without its entries is refused.
  ClearLogs();
  SCONFIG_LIST empty{0, nullptr};
  EXPECT_EQ(PassThruIoctl(ch, GET_CONFIG, &empty, nullptr), 0);
  EXPECT_EQ(PassThruIoctl(ch, SET_CONFIG, &empty, nullptr), 0);
  SCONFIG_LIST broken{2, nullptr};
  EXPECT_EQ(PassThruIoctl(ch, SET_CONFIG, &broken, nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruIoctl null parameter");
  EXPECT_EQ(PassThruIoctl(ch, GET_CONFIG, nullptr, nullptr), 4);
  EXPECT_TRUE(Sent().empty());
}

// --- special cases --------------------------------------------------------------------

TEST_F(ConfigTest, FiveBaudModAndJ1962PinsRefuseOtherValues) {
  const uint32_t ch = Connect(ISO9141, 0, 10400);
  const ISO_SETUP before = State().channels.ISO9141Setup;
  EXPECT_EQ(GetOk(ch, FIVE_BAUD_MOD), 0u);
  EXPECT_EQ(Set(ch, FIVE_BAUD_MOD, 0), 0);
  DbgMsg(kMsgError, "before");
  EXPECT_EQ(Set(ch, {{FIVE_BAUD_MOD, 2}, {P1_MAX, 40}}), 1);
  EXPECT_EQ(LastErrorText(), "before");  // refused without a message
  EXPECT_EQ(std::memcmp(&before, &State().channels.ISO9141Setup, sizeof before), 0);
  EXPECT_TRUE(Sent().empty());

  // J1962 pins take only pins 3 and 11, on the second bus.
  const uint32_t ms = Connect(MSCAN);
  EXPECT_EQ(Set(ms, J1962_PINS, 0xABCD030B), 0);  // upper half ignored
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Set(ms, {{J1962_PINS, 0x0306}, {DATA_RATE, 1000}}), 19);
  EXPECT_EQ(LastErrorText(), "Invalid pins for J1962_PINS");
  EXPECT_NE(State().channels.MSCANSetup.baud_rate, 1000u);
  uint32_t value = 0;
  EXPECT_EQ(Get(ms, J1962_PINS, &value), 1);
}

TEST_F(ConfigTest, DataPhaseRateBelowTheBitRateIsSkipped) {
  const uint32_t ch = Connect(FD_CAN_CH1, CAN_FD_ENABLE, 500000);
  ASSERT_EQ(Set(ch, {{FD_CAN_DATA_PHASE_RATE, 250000}, {BIT_SAMPLE_POINT, 80}}), 0);
  EXPECT_EQ(LastErrorText(), "Invalid FD_CAN_DATA_PHASE_RATE");
  EXPECT_NE(State().channels.CANSetup.fd_baud_rate, 250000u);
  EXPECT_EQ(State().channels.CANSetup.bit_sample_point_percent, 80);
  ASSERT_EQ(Set(ch, FD_CAN_DATA_PHASE_RATE, 2000000), 0);
  EXPECT_EQ(GetOk(ch, FD_CAN_DATA_PHASE_RATE), 2000000u);
  EXPECT_EQ(Sent().size(), 2u);
}

}  // namespace
}  // namespace orv::test
