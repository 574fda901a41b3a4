// The PassThruIoctl entry and the device calls over the in-process
// emulated adapter: the channel test and its skip list, the buffer ioctls,
// information lists, the voltage and digital reads with and without an
// answer, clearing of periodic messages and filters, the two K-line
// initialisations, the adapter controls, null pointers, and the
// programming voltage, version and last-error calls.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/bus_sim_unit.h"
#include "emulator/ecu_kline.h"
#include "emulator/kline_init_unit.h"
#include "emulator/service_units.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/rx_queues.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

// --- the entry: channel test, dispatch and the buffer ioctls -------------------------------

using IoctlEntryTest = ChannelTest;

TEST_F(IoctlEntryTest, ChannelZeroHasNoQueuesAndUnknownIdsAreNotSupported) {
  EXPECT_EQ(PassThruIoctl(0, CLEAR_TX_BUFFER, nullptr, nullptr), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for CLEAR_TX_BUFFER");
  EXPECT_EQ(PassThruIoctl(0, CLEAR_RX_BUFFER, nullptr, nullptr), 2);
  EXPECT_EQ(LastErrorText(), "Invalid channel ID for CLEAR_RX_BUFFER");
  EXPECT_EQ(PassThruIoctl(0, 0x0B, nullptr, nullptr), 1);
  EXPECT_TRUE(Sent().empty());

  const uint32_t ch = Connect(CAN);
  for (uint32_t ioctl : {0x06u, 0x0Bu, 0x0Fu, 0x8000u, 0x10008u, 0xFFFFFFFFu}) {
    EXPECT_EQ(PassThruIoctl(ch, ioctl, nullptr, nullptr), 1) << ioctl;
  }
  EXPECT_EQ(LastErrorText(), "Ioctl function not supported");
  // Nothing is queued on the host for transmission: nothing to send.
  EXPECT_EQ(PassThruIoctl(ch, CLEAR_TX_BUFFER, nullptr, nullptr), 0);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(IoctlEntryTest, ClearRxBufferEmptiesOnlyTheChannelsQueueAndKeepsItsOverflow) {
  Connect(CAN);
  const uint32_t iso = Connect(ISO15765, CAN_ID_BOTH);
  const JMSG echo = MakeJmsg(0x20, 2, 5, 0, {7, 0xE8, 1});
  RouteReceivedFrame(echo);  // into both queues of the first bus
  RouteReceivedFrame(echo);
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
  // One empty clear frame, to the ISO 15765 channel's CAN device.
  const auto frames = Sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].flags, 0);
  EXPECT_EQ(frames[0].size, 0);
  EXPECT_EQ(bus_->device(0x10).receive_clears, 1u);

  // The second bus clears at its own CAN device; the K-line has nothing to send.
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

// --- the device calls over the bus simulation -------------------------------------------

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
  std::vector<uint8_t> DacBytesSent() const {
    const auto sent = Sent();
    if (sent.size() != 1 || sent[0].dev != 0xC0 || sent[0].op != 3 || sent[0].type != 7) return {};
    return {sent[0].data.begin(), sent[0].data.begin() + sent[0].size};
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

TEST_F(DeviceIoctlTest, ClosedChannelAnswersNotConnectedUnlessTheTestIsSkipped) {
  constexpr uint32_t kClosed = 9;
  for (uint32_t ioctl : {0x01u, 0x02u, 0x04u, 0x05u, 0x06u, 0x07u, 0x08u, 0x09u, 0x0Au, 0x10200u}) {
    SCOPED_TRACE(ioctl);
    EXPECT_EQ(PassThruIoctl(kChannelCan, ioctl, nullptr, nullptr), 8);
    EXPECT_EQ(LastErrorText(), "PassThruIoctl invalid ChannelID");
  }
  // Skipped IDs without a handler end as "not supported", whatever the channel.
  for (uint32_t ioctl : {0x10003u, 0x10004u, 0x10006u, 0x10007u, 0x10500u, 0x10501u}) {
    SCOPED_TRACE(ioctl);
    EXPECT_EQ(PassThruIoctl(kChannelCan, ioctl, nullptr, nullptr), 1);
    EXPECT_EQ(LastErrorText(), "Ioctl function not supported");
  }
  EXPECT_TRUE(Sent().empty());

  // The device-wide ioctls skip the test.
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
}

// --- information lists --------------------------------------------------------------------

TEST_F(DeviceIoctlTest, InfoListsStopAtTheFirstUnknownParameter) {
  constexpr uint32_t kUnset = 0xFFFFFFFF;
  std::array<SPARAM, 4> params{{{1, kUnset, 9}, {73, kUnset, 9}, {3, kUnset, 9}, {6, kUnset, 9}}};
  SPARAM_LIST list{4, params.data()};
  EXPECT_EQ(PassThruIoctl(0, GET_DEVICE_INFO, nullptr, &list), 1);
  EXPECT_EQ(LastErrorText(), "Requested Ioctl parameter (3) not supported");
  EXPECT_EQ(params[0].Value, adapter_.system().serial_number());
  EXPECT_EQ(params[0].Supported, 1u);
  EXPECT_NE(params[1].Value, kUnset);  // the part number, from the library's table
  EXPECT_EQ(params[1].Supported, 1u);
  EXPECT_EQ(params[2].Supported, 0u);
  EXPECT_EQ(params[3].Supported, 9u);  // not looked at

  // Protocol information is the same on every channel.
  const uint32_t kline = Connect(ISO9141, 0, 10400);
  uint32_t first = kUnset;
  for (uint32_t channel : {0u, kline}) {
    std::array<SPARAM, 2> info{{{5, kUnset, 0}, {3, 0, 1}}};
    SPARAM_LIST info_list{2, info.data()};
    EXPECT_EQ(PassThruIoctl(channel, GET_PROTOCOL_INFO, nullptr, &info_list), 1);
    if (first == kUnset) first = info[0].Value;
    EXPECT_NE(info[0].Value, kUnset);
    EXPECT_EQ(info[0].Value, first);
    EXPECT_EQ(info[0].Supported, 1u);
    EXPECT_EQ(info[1].Supported, 0u);
  }
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
  // Each input holds its own value: the reading shows which one was asked.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ioctl_id);
    uint32_t millivolts = 0;
    ASSERT_EQ(Read(0, c.ioctl_id, &millivolts), 0);
    EXPECT_EQ(millivolts, (1000u + c.input) * 10);
  }
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
  EXPECT_EQ(units_.io.line(1), 1);
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

// The display write as the adapter reads it: a mode byte (2), two zero
// bytes, then a 16-byte text field: printable text, zero-padded.
TEST_F(DeviceIoctlTest, DisplayTestWritesOneTextFrame) {
  ASSERT_EQ(PassThruIoctl(0, WRITE_LCD_TEST, nullptr, nullptr), 0);
  const auto sent = SentTo(0xF1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].op, 3);
  ASSERT_EQ(sent[0].size, 19u);
  EXPECT_EQ(sent[0].data[0], 2);
  EXPECT_EQ(sent[0].data[1] | sent[0].data[2], 0);
  size_t text = 3;
  while (text < 19 && sent[0].data[text] >= 0x20 && sent[0].data[text] < 0x7F) ++text;
  EXPECT_GT(text, 3u);
  for (size_t i = text; i < 19; ++i) EXPECT_EQ(sent[0].data[i], 0) << i;
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

// --- programming voltage -------------------------------------------------------------

TEST_F(DeviceIoctlTest, VoltageChecksRunInTheirOrderAndSendNothing) {
  const uint32_t bad_device = device_id_ + 1;
  struct Case {
    uint32_t device, pin, millivolts;
    int32_t result;
    const char* text;  // null: no message expected
  } cases[] = {
      {device_id_, 17, 5000, 19, "PassThruSetProgrammingVoltage invalid pin number"},
      {device_id_, 12, 5000, 1, "PassThruSetProgrammingVoltage pin number not supported"},
      {device_id_, 0, 5000, 1, "PassThruSetProgrammingVoltage pin number not supported"},
      {device_id_, 13, 5001, 12, "PassThruSetProgrammingVoltage voltage exceeded limit"},
      // The device ID is tested last, and silently.
      {bad_device, 12, 5000, 1, "PassThruSetProgrammingVoltage pin number not supported"},
      {bad_device, 13, 6000, 12, "PassThruSetProgrammingVoltage voltage exceeded limit"},
      {bad_device, 13, 5000, 26, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pin " << c.pin << " mV " << c.millivolts);
    DbgMsg(kMsgError, "before");
    EXPECT_EQ(PassThruSetProgrammingVoltage(c.device, c.pin, c.millivolts), c.result);
    EXPECT_EQ(LastErrorText(), c.text ? c.text : "before");
  }
  EXPECT_TRUE(Sent().empty());
  EXPECT_FALSE(units_.io.dac().has_value());
}

// Short to ground and off are sent as zero millivolts.
TEST_F(DeviceIoctlTest, VoltageGoesOutAsDacSetupAndWaitsHalfASecond) {
  const struct {
    uint32_t millivolts;
    uint8_t low, high;
  } cases[] = {{5000, 0x88, 0x13}, {SHORT_TO_GROUND, 0, 0}, {VOLTAGE_OFF, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.millivolts);
    ClearLogs();
    const uint32_t start = platform_.now();
    ASSERT_EQ(PassThruSetProgrammingVoltage(device_id_, 13, c.millivolts), 0);
    EXPECT_EQ(DacBytesSent(), (std::vector<uint8_t>{c.low, c.high, 0x0D, 0x00}));
    EXPECT_GE(platform_.now() - start, 500u);
  }
}

// --- version ------------------------------------------------------------------------

// A two-byte answer gives the short firmware form, a four-byte one is read
// in the order 2 3 0 1.
TEST_F(DeviceIoctlTest, VersionTextsOfBothAnswerSizes) {
  const struct {
    uint8_t size;
    std::array<uint8_t, 4> bytes;
    const char* firmware;
  } cases[] = {{2, {1, 7, 0, 0}, "01.07"},
               {4, {5, 0, 1, 2}, "1.2.5.0"},
               {4, {255, 255, 255, 255}, "255.255.255.255"}};
  char fw[80], dll[80], api[80];
  for (const auto& c : cases) {
    adapter_.system().set_version_size(c.size);
    adapter_.system().set_version_bytes(c.bytes);
    ASSERT_EQ(PassThruReadVersion(device_id_, fw, dll, api), 0);
    EXPECT_STREQ(fw, c.firmware);
    EXPECT_STREQ(dll, "02.10");
    EXPECT_STREQ(api, "04.04");
  }
}

TEST_F(DeviceIoctlTest, MissingVersionAnswerFailsAfter15SecondsAndIsTheLastError) {
  EXPECT_EQ(LastErrorText(), "No Error");
  adapter_.drop_answer({0xF0, 2, 0x0D});
  char fw[80], dll[80], api[80];
  const uint32_t start = platform_.now();
  EXPECT_EQ(PassThruReadVersion(device_id_, fw, dll, api), 7);
  EXPECT_GE(platform_.now() - start, 15000u);
  EXPECT_LT(platform_.now() - start, 15100u);
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion: No response");
  // Reading it does not change it.
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion: No response");
}

TEST_F(DeviceIoctlTest, VersionArgumentChecks) {
  char fw[80], dll[80], api[80];
  EXPECT_EQ(PassThruReadVersion(device_id_, fw, nullptr, api), 4);
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion null parameter");
  // Null pointers are found before the device ID is looked at.
  EXPECT_EQ(PassThruReadVersion(device_id_ + 1, nullptr, dll, api), 4);
  DbgMsg(kMsgError, "before");
  EXPECT_EQ(PassThruReadVersion(device_id_ + 1, fw, dll, api), 26);
  EXPECT_EQ(LastErrorText(), "before");
  EXPECT_TRUE(Sent().empty());
}

// With no network adapter number set, 0 is that number: older host
// programs pass device ID 0.
TEST_F(DeviceIoctlTest, DeviceIdZeroIsAcceptedWhileNoNetworkAdapterNumberIsSet) {
  char fw[80], dll[80], api[80];
  uint32_t channel = 0;
  EXPECT_EQ(PassThruSetProgrammingVoltage(0, 13, 5000), 0);
  EXPECT_EQ(PassThruReadVersion(0, fw, dll, api), 0);
  EXPECT_EQ(PassThruConnect(0, CAN, 0, 500000, &channel), 0);
}

// --- last error ---------------------------------------------------------------------

TEST_F(DeviceIoctlTest, LastErrorIsCutTo79CharactersAndANullBufferRefused) {
  EXPECT_EQ(PassThruGetLastError(nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruGetLastError null parameter");
  const std::string long_text(200, 'x');
  DbgMsg(kMsgError, long_text.c_str());
  char text[81];
  text[79] = '?';
  text[80] = '!';
  ASSERT_EQ(PassThruGetLastError(text), 0);
  EXPECT_EQ(std::string(text), std::string(79, 'x'));
  EXPECT_EQ(text[80], '!');  // the caller's 80 characters are not overrun
}

}  // namespace
}  // namespace orv::test
