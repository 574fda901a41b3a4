// The device and channel ioctls over the in-process emulated adapter with
// its bus simulation: information lists, the voltage and digital reads
// with and without an answer, clearing of periodic messages and filters,
// the two K-line initialisations, the adapter controls, and null pointers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/bus_sim_unit.h"
#include "emulator/ecu_kline.h"
#include "emulator/kline_init_unit.h"
#include "emulator/service_units.h"
#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "passthru/rx_queues.h"
#include "tests/support/library_fixture.h"
#include "tests/support/messages.h"

namespace orv::test {
namespace {

// Scripts the K-line ECU's answer to `request`; empty: no answer. Kept
// out of line: inlined with a constant key size, the map insertion trips a
// false bounds warning of the compiler.
[[gnu::noinline]] void ScriptEcu(emu::KLineEcu& ecu, std::vector<uint8_t> request,
                                 std::vector<uint8_t> answer) {
  ecu.responder().script(std::move(request), std::move(answer));
}

// StartCommunication, the request of a fast initialisation.
const std::vector<uint8_t> kStartCommunication{0x81};

class DeviceIoctlTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    device_id_ = OpenLink();
  }

  // An ioctl that answers one unsigned long.
  int32_t Read(uint32_t channel, uint32_t ioctl_id, uint32_t* value) {
    return PassThruIoctl(channel, ioctl_id, nullptr, value);
  }
  std::vector<emu::Frame> SentTo(uint8_t dev) const {
    std::vector<emu::Frame> out;
    for (const emu::Frame& f : Sent()) {
      if (f.dev == dev) out.push_back(f);
    }
    return out;
  }
  emu::BusSimUnits bus_ = emu::add_bus_sim(adapter_);
  emu::ServiceUnits units_ = emu::add_service_units(adapter_);
  emu::KLineInitUnit& kline_init_ = emu::add_kline_init_unit(adapter_);
  uint32_t device_id_ = 0;
};

// --- the channel test of the entry ------------------------------------------------------

TEST_F(DeviceIoctlTest, DeviceWideIoctlsNeedNoOpenChannel) {
  constexpr uint32_t kClosed = 9;
  uint32_t value = 0;
  for (uint32_t id : {READ_VBATT, READ_PROG_VOLTAGE, READ_CH1_VOLTAGE, READ_CH2_VOLTAGE,
                      READ_CH3_VOLTAGE, READ_DIO1, READ_DIO2}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Read(kClosed, id, &value), 0);
  }
  const uint8_t level = 1;
  EXPECT_EQ(PassThruIoctl(kClosed, WRITE_DIO2, const_cast<uint8_t*>(&level), nullptr), 0);
  for (uint32_t id : {RESET_TIMER, TIMESTAMP_MSEC, WRITE_LCD_TEST}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(PassThruIoctl(kClosed, id, nullptr, nullptr), 0);
  }
  EXPECT_EQ(State().options.TimestampMsec, 1);  // for every channel
  EXPECT_EQ(PassThruIoctl(0, TIMESTAMP_USEC, nullptr, nullptr), 0);
  EXPECT_EQ(State().options.TimestampMsec, 0);
  SPARAM param{1, 0, 0};
  SPARAM_LIST list{1, &param};
  EXPECT_EQ(PassThruIoctl(kClosed, GET_DEVICE_INFO, nullptr, &list), 0);
  EXPECT_EQ(PassThruIoctl(kClosed, GET_PROTOCOL_INFO, nullptr, &list), 1);

  // The channel ioctls turn a closed channel away before anything is sent.
  ClearLogs();
  for (uint32_t id :
       {FIVE_BAUD_INIT, FAST_INIT, CLEAR_PERIODIC_MSGS, CLEAR_MSG_FILTERS, CAN_D2_FLOW_CONTROL}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(PassThruIoctl(kChannelCan, id, nullptr, nullptr), 8);
    EXPECT_EQ(LastErrorText(), "PassThruIoctl invalid ChannelID");
  }
  EXPECT_TRUE(Sent().empty());
}

// --- information lists --------------------------------------------------------------------

TEST_F(DeviceIoctlTest, DeviceInfoStopsAtTheFirstUnknownParameter) {
  std::array<SPARAM, 4> params{{{1, 0, 9}, {73, 0, 9}, {3, 0, 9}, {6, 0, 9}}};
  SPARAM_LIST list{4, params.data()};
  EXPECT_EQ(PassThruIoctl(0, GET_DEVICE_INFO, nullptr, &list), 1);
  EXPECT_EQ(LastErrorText(), "Requested Ioctl parameter (3) not supported");
  EXPECT_EQ(params[0].Value, Link().SerialNumber);
  EXPECT_EQ(params[0].Value, adapter_.system().serial_number());
  EXPECT_EQ(params[0].Supported, 1u);
  EXPECT_EQ(params[1].Value, 2003u);
  EXPECT_EQ(params[2].Supported, 0u);
  EXPECT_EQ(params[3].Supported, 9u);  // not looked at

  std::array<SPARAM, 6> known{
      {{5, 0, 0}, {7, 0, 0}, {21, 0, 0}, {56, 0, 0}, {58, 0, 0}, {79, 0, 0}}};
  SPARAM_LIST all{6, known.data()};
  ASSERT_EQ(PassThruIoctl(0, GET_DEVICE_INFO, nullptr, &all), 0);
  const uint32_t values[] = {0x10001, 0x20001, 0x20000, 0x10001, 0x20001, 0x20000};
  for (size_t i = 0; i < known.size(); ++i) {
    EXPECT_EQ(known[i].Value, values[i]) << known[i].Parameter;
    EXPECT_EQ(known[i].Supported, 1u);
  }
}

TEST_F(DeviceIoctlTest, ProtocolInfoIsTheSameOnEveryChannel) {
  const uint32_t kline = Connect(ISO9141, 0, 10400);
  for (uint32_t channel : {0u, kline}) {
    std::array<SPARAM, 3> params{{{5, 0, 0}, {2, 0, 0}, {25, 0, 0}}};
    SPARAM_LIST list{3, params.data()};
    ASSERT_EQ(PassThruIoctl(channel, GET_PROTOCOL_INFO, nullptr, &list), 0);
    EXPECT_EQ(params[0].Value, 100u);
    EXPECT_EQ(params[1].Value, 64u);
    EXPECT_EQ(params[2].Value, 20000u);
  }
  SPARAM unknown{3, 0, 1};
  SPARAM_LIST list{1, &unknown};
  EXPECT_EQ(PassThruIoctl(0, GET_PROTOCOL_INFO, nullptr, &list), 1);
  EXPECT_EQ(unknown.Supported, 0u);
}

// --- voltage and digital readings ----------------------------------------------------------

TEST_F(DeviceIoctlTest, VoltageReadsAskTheirInputAndReportMillivolts) {
  struct Case {
    uint32_t ioctl_id;
    uint8_t input;
  } cases[] = {{READ_PROG_VOLTAGE, 0},
               {READ_VBATT, 1},
               {READ_CH2_VOLTAGE, 2},
               {READ_CH3_VOLTAGE, 3},
               {READ_CH1_VOLTAGE, 4}};  // channel 1 is input 4
  for (const Case& c : cases) units_.io.set_analog(c.input, static_cast<uint16_t>(1000 + c.input));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ioctl_id);
    ClearLogs();
    uint32_t millivolts = 0;
    ASSERT_EQ(Read(0, c.ioctl_id, &millivolts), 0);
    EXPECT_EQ(millivolts, (1000u + c.input) * 10);
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0].dev, 0xB0);
    EXPECT_EQ(Sent()[0].op, 2);
    EXPECT_EQ(Sent()[0].size, 1);
    EXPECT_EQ(Sent()[0].data[0], c.input);
  }
  units_.io.set_analog(1, 1234);
  uint32_t vbatt = 0;
  ASSERT_EQ(Read(0, READ_VBATT, &vbatt), 0);
  EXPECT_EQ(vbatt, 12340u);
}

TEST_F(DeviceIoctlTest, ReadingsWithoutAnAnswerTimeOutAfter15Seconds) {
  units_.io.set_analog_answer(false);
  uint32_t value = 77;
  uint32_t start = platform_.now();
  EXPECT_EQ(Read(0, READ_CH1_VOLTAGE, &value), 9);
  EXPECT_EQ(LastErrorText(), "PassThruIoctl ADC read timeout");
  EXPECT_GE(platform_.now() - start, 15000u);
  EXPECT_LT(platform_.now() - start, 15100u);
  EXPECT_EQ(Link().AdcReadings[4], 0xFFFF);
  EXPECT_EQ(value, 77u);

  units_.io.set_digital_answer(false);
  start = platform_.now();
  EXPECT_EQ(Read(0, READ_DIO2, &value), 9);
  EXPECT_EQ(LastErrorText(), "PassThruIoctl DIO read timeout");
  EXPECT_GE(platform_.now() - start, 15000u);

  // A late answer lands all the same; the next request starts over.
  units_.io.set_analog_answer(true);
  ASSERT_EQ(Read(0, READ_CH1_VOLTAGE, &value), 0);
}

TEST_F(DeviceIoctlTest, DigitalLinesAreWrittenAndRead) {
  uint8_t level = 1;
  ASSERT_EQ(PassThruIoctl(0, WRITE_DIO1, &level, nullptr), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].dev, 0xD0);
  EXPECT_EQ(Sent()[0].op, 3);
  EXPECT_EQ(Sent()[0].size, 2);
  EXPECT_EQ(Sent()[0].data[0], 1);
  EXPECT_EQ(Sent()[0].data[1], 1);
  units_.io.set_line(2, 0xA5);
  uint32_t value = 0;
  ASSERT_EQ(Read(0, READ_DIO1, &value), 0);
  EXPECT_EQ(value, 1u);
  ASSERT_EQ(Read(0, READ_DIO2, &value), 0);
  EXPECT_EQ(value, 0xA5u);
}

// --- clearing ----------------------------------------------------------------------------

TEST_F(DeviceIoctlTest, ClearPeriodicMsgsStopsEveryEntryOfTheDeviceAgain) {
  const uint32_t kline = Connect(ISO9141, 0, 10400);
  const uint32_t can = Connect(CAN);
  PASSTHRU_MSG k = MakeMsg(ISO9141, {0x68, 0x6A, 0xF1, 0x01, 0x00});
  PASSTHRU_MSG c = MakeMsg(CAN, {0, 0, 0x07, 0xDF, 0x02, 0x01, 0x00});
  uint32_t id_a = 0, id_b = 0, id_can = 0;
  ASSERT_EQ(PassThruStartPeriodicMsg(kline, &k, &id_a, 100), 0);
  ASSERT_EQ(PassThruStartPeriodicMsg(can, &c, &id_can, 100), 0);
  ASSERT_EQ(PassThruStartPeriodicMsg(kline, &k, &id_b, 200), 0);
  ASSERT_EQ(PassThruStopPeriodicMsg(kline, id_a), 0);
  ClearLogs();

  ASSERT_EQ(PassThruIoctl(kline, CLEAR_PERIODIC_MSGS, nullptr, nullptr), 0);
  std::vector<uint8_t> stopped;
  for (const emu::Frame& f : SentTo(0x90)) {
    if (f.op == 3 && f.type == 4 && f.size == 0) stopped.push_back(f.id);
  }
  // The entry stopped before gets another stop frame; the CAN entry none.
  EXPECT_EQ(stopped,
            (std::vector<uint8_t>{static_cast<uint8_t>(id_a), static_cast<uint8_t>(id_b)}));
  EXPECT_TRUE(SentTo(0x10).empty());
  EXPECT_NE(State().periodic.entries[id_can].size, 0);

  // ChannelID 0 has no device and matches no entry.
  ClearLogs();
  EXPECT_EQ(PassThruIoctl(0, CLEAR_PERIODIC_MSGS, nullptr, nullptr), 0);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(DeviceIoctlTest, ClearMsgFiltersStopsOnlyTheChannelsFilters) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0x07, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
  uint32_t can_a = 0, can_b = 0, iso_id = 0;
  ASSERT_EQ(PassThruStartMsgFilter(can, PASS_FILTER, &mask, &pattern, nullptr, &can_a), 0);
  ASSERT_EQ(PassThruStartMsgFilter(can, BLOCK_FILTER, &mask, &pattern, nullptr, &can_b), 0);
  PASSTHRU_MSG flow = MakeMsg(ISO15765, {0, 0, 0x07, 0xE0});
  mask.ProtocolID = pattern.ProtocolID = ISO15765;
  ASSERT_EQ(PassThruStartMsgFilter(iso, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &iso_id), 0);
  ClearLogs();

  ASSERT_EQ(PassThruIoctl(can, CLEAR_MSG_FILTERS, nullptr, nullptr), 0);
  EXPECT_FALSE(FilterSlotInUse(can_a));
  EXPECT_FALSE(FilterSlotInUse(can_b));
  EXPECT_TRUE(FilterSlotInUse(iso_id));
  EXPECT_TRUE(SentTo(0x20).empty());
}

// --- five-baud initialisation ------------------------------------------------------------

TEST_F(DeviceIoctlTest, FiveBaudInitReturnsTheKeyBytes) {
  const uint32_t ch = Connect(ISO9141, 0x20000000 | ISO9141_NO_CHECKSUM, 10400);
  ASSERT_EQ(State().channels.ISO9141Setup.init_type & 0xC0, 0xC0);
  kline_init_.set_key_bytes(0x94, 0x94);
  uint8_t address = 0x33;
  uint8_t keys[2] = {0xEE, 0xEE};
  SBYTE_ARRAY in{1, &address};
  SBYTE_ARRAY out{2, keys};
  const uint32_t start = platform_.now();
  ASSERT_EQ(PassThruIoctl(ch, FIVE_BAUD_INIT, &in, &out), 0);
  EXPECT_EQ(keys[0], 0x94);
  EXPECT_EQ(keys[1], 0x94);
  EXPECT_EQ(out.NumOfBytes, 2u);
  EXPECT_EQ(State().options.ISO9141Address, 0xCC);  // the ECU's inverted address
  EXPECT_LT(platform_.now() - start, 5000u);

  // The request rode in the setup record; it and bit 6 are gone afterwards.
  const auto setups = SentTo(0x90);
  ASSERT_EQ(setups.size(), 1u);
  EXPECT_EQ(setups[0].data[4], 0x33);
  EXPECT_EQ(setups[0].data[5], 0xA0);
  EXPECT_EQ(State().channels.ISO9141Setup.init_type, 0x80);
  EXPECT_EQ(State().channels.ISO9141Setup.init_address, 0x33);
}

TEST_F(DeviceIoctlTest, FiveBaudInitWithoutAnAnswerGivesZeroKeysAfterFiveSeconds) {
  const uint32_t ch = Connect(ISO14230, 0, 10400);
  uint8_t address = 0x10;  // nobody answers this address
  uint8_t keys[2] = {0xEE, 0xEE};
  SBYTE_ARRAY in{1, &address};
  SBYTE_ARRAY out{2, keys};
  const uint32_t start = platform_.now();
  ASSERT_EQ(PassThruIoctl(ch, FIVE_BAUD_INIT, &in, &out), 0);
  EXPECT_GE(platform_.now() - start, 5000u);
  EXPECT_LT(platform_.now() - start, 5200u);
  EXPECT_EQ(keys[0], 0);
  EXPECT_EQ(keys[1], 0);
  EXPECT_EQ(kline_init_.five_baud_requests(), 1u);
  EXPECT_EQ(kline_init_.last_init_address(), 0x10);
}

TEST_F(DeviceIoctlTest, FiveBaudInitChecksChannelAndArrays) {
  const uint32_t can = Connect(CAN);
  const uint32_t kline = Connect(ISO9141, 0, 10400);
  uint8_t bytes[2] = {0x33, 0};
  SBYTE_ARRAY in{1, bytes};
  SBYTE_ARRAY out{2, bytes};
  EXPECT_EQ(PassThruIoctl(can, FIVE_BAUD_INIT, &in, &out), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for FIVE_BAUD_INIT");

  SBYTE_ARRAY empty{0, bytes};
  SBYTE_ARRAY short_out{1, bytes};
  SBYTE_ARRAY no_bytes{2, nullptr};
  struct Case {
    SBYTE_ARRAY* in;
    SBYTE_ARRAY* out;
  } cases[] = {{nullptr, &out},   {&in, nullptr},    {&empty, &out},
               {&in, &short_out}, {&no_bytes, &out}, {&in, &no_bytes}};
  for (const Case& c : cases) {
    EXPECT_EQ(PassThruIoctl(kline, FIVE_BAUD_INIT, c.in, c.out), 4);
    EXPECT_EQ(LastErrorText(), "PassThruIoctl null parameter");
  }
  EXPECT_TRUE(Sent().empty());
}

// --- fast initialisation -----------------------------------------------------------------

TEST_F(DeviceIoctlTest, FastInitReturnsTheEcuAnswerAndSkipsTheEcho) {
  const uint32_t ch = Connect(ISO14230, 0, 10400);
  ScriptEcu(bus_.kline, kStartCommunication, {0xC1, 0xEF, 0x8F});
  SCONFIG loopback{LOOPBACK, 1};
  SCONFIG_LIST list{1, &loopback};
  ASSERT_EQ(PassThruIoctl(ch, SET_CONFIG, &list, nullptr), 0);
  ClearLogs();

  PASSTHRU_MSG request = MakeMsg(ISO14230, {0xC1, 0x33, 0xF1, 0x81});
  PASSTHRU_MSG answer{};
  ASSERT_EQ(PassThruIoctl(ch, FAST_INIT, &request, &answer), 0);
  EXPECT_EQ(answer.RxStatus & (TX_MSG_TYPE | START_OF_MESSAGE), 0u);
  ASSERT_EQ(answer.DataSize, 6u);
  EXPECT_EQ(std::vector<uint8_t>(answer.Data, answer.Data + 6),
            (std::vector<uint8_t>{0x83, 0xF1, 0x33, 0xC1, 0xEF, 0x8F}));

  // The setup carried the fast-init request before the wake-up message.
  const auto sent = SentTo(0x90);
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, 7);
  EXPECT_EQ(sent[0].data[5] & 0x30, 0x10);
  EXPECT_EQ(sent[1].type, 5);
  EXPECT_EQ(State().channels.ISO9141Setup.init_type & 0x10, 0);
  EXPECT_EQ(kline_init_.fast_init_requests(), 1u);
}

// The read that delivers the answer reports the K-line overflow (0x12).
TEST_F(DeviceIoctlTest, FastInitTakesAnAnswerReadTogetherWithAnOverflow) {
  const uint32_t ch = Connect(ISO14230, 0, 10400);
  ScriptEcu(bus_.kline, kStartCommunication, {0xC1, 0xEF, 0x8F});
  PASSTHRU_MSG request = MakeMsg(ISO14230, {0xC1, 0x33, 0xF1, 0x81});
  PASSTHRU_MSG answer{};
  State().queues.iso9141.overflow = 1;
  ASSERT_EQ(PassThruIoctl(ch, FAST_INIT, &request, &answer), 0);
  EXPECT_EQ(answer.DataSize, 6u);
}

TEST_F(DeviceIoctlTest, FastInitWhoseOnlyMessageIsTheEchoFails) {
  const uint32_t ch = Connect(ISO14230, 0, 10400);
  ScriptEcu(bus_.kline, kStartCommunication, {});  // the ECU stays silent
  SCONFIG loopback{LOOPBACK, 1};
  SCONFIG_LIST list{1, &loopback};
  ASSERT_EQ(PassThruIoctl(ch, SET_CONFIG, &list, nullptr), 0);

  PASSTHRU_MSG request = MakeMsg(ISO14230, {0xC1, 0x33, 0xF1, 0x81});
  PASSTHRU_MSG answer{};
  answer.DataSize = 0xABCD;
  const uint32_t start = platform_.now();
  EXPECT_EQ(PassThruIoctl(ch, FAST_INIT, &request, &answer), 7);
  EXPECT_EQ(LastErrorText(), "No response to FAST_INIT");
  EXPECT_GE(platform_.now() - start, 1000u);
  EXPECT_EQ(answer.DataSize, 0xABCDu);  // the echo is not handed out

  EXPECT_EQ(PassThruIoctl(ch, FAST_INIT, nullptr, &answer), 4);
  EXPECT_EQ(PassThruIoctl(ch, FAST_INIT, &request, nullptr), 4);
}

// --- adapter controls --------------------------------------------------------------------

TEST_F(DeviceIoctlTest, ResetTimerCarriesOnlyItsOwnBit) {
  const uint32_t ch = Connect(CAN);
  SCONFIG loopback{LOOPBACK, 1};
  SCONFIG_LIST list{1, &loopback};
  ASSERT_EQ(PassThruIoctl(ch, SET_CONFIG, &list, nullptr), 0);
  ClearLogs();
  ASSERT_EQ(PassThruIoctl(0, RESET_TIMER, nullptr, nullptr), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].dev, 0xF0);
  EXPECT_EQ(Sent()[0].op, 3);
  EXPECT_EQ(Sent()[0].type, 0);
  EXPECT_EQ(Sent()[0].flags, 0x20);
}

TEST_F(DeviceIoctlTest, D2FlowControlGoesOnlyToTheRawCanChannels) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  const uint32_t ms = Connect(MSCAN);
  const CAN_SETUP before = State().channels.CANSetup;
  ASSERT_EQ(PassThruIoctl(can, CAN_D2_FLOW_CONTROL, nullptr, nullptr), 0);
  ASSERT_EQ(PassThruIoctl(ms, CAN_D2_FLOW_CONTROL, nullptr, nullptr), 0);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].dev, 0x10);
  EXPECT_EQ(sent[1].dev, 0x30);
  for (const auto& f : sent) {
    EXPECT_EQ(f.flags, 0x80);
    EXPECT_EQ(f.type, 7);
    EXPECT_EQ(f.size, kCanSetupSize);
  }
  EXPECT_EQ(std::memcmp(&before, &State().channels.CANSetup, sizeof before), 0);

  DbgMsg(kMsgError, "before");
  ClearLogs();
  EXPECT_EQ(PassThruIoctl(iso, CAN_D2_FLOW_CONTROL, nullptr, nullptr), 3);
  EXPECT_EQ(LastErrorText(), "before");
  EXPECT_TRUE(Sent().empty());
}

TEST_F(DeviceIoctlTest, DisplayTestWritesItsText) {
  ASSERT_EQ(PassThruIoctl(0, WRITE_LCD_TEST, nullptr, nullptr), 0);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  const emu::Frame& f = sent[0];
  EXPECT_EQ(f.dev, 0xF1);
  EXPECT_EQ(f.op, 3);
  ASSERT_EQ(f.size, 19);
  std::vector<uint8_t> expected{2, 0, 0, 'I', 'O', 'T', ' ', 'T', 'e', 's', 't'};
  expected.resize(19, 0);
  EXPECT_EQ(std::vector<uint8_t>(f.data.begin(), f.data.begin() + 19), expected);
  ASSERT_EQ(units_.display.texts().size(), 1u);
  EXPECT_EQ(units_.display.texts()[0], "IOT Test");
}

TEST_F(DeviceIoctlTest, NullPointersSendNothing) {
  for (uint32_t id : {READ_VBATT, READ_PROG_VOLTAGE, READ_DIO1, WRITE_DIO1, WRITE_DIO2,
                      GET_DEVICE_INFO, GET_PROTOCOL_INFO}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(PassThruIoctl(0, id, nullptr, nullptr), 4);
    EXPECT_EQ(LastErrorText(), "PassThruIoctl null parameter");
  }
  SPARAM_LIST no_params{3, nullptr};
  EXPECT_EQ(PassThruIoctl(0, GET_DEVICE_INFO, nullptr, &no_params), 4);
  EXPECT_TRUE(Sent().empty());
}

}  // namespace
}  // namespace orv::test
