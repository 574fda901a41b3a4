// Diagnostic conversations through the library with the emulated bus:
// requests written with PassThruWriteMsgs reach the simulated ECUs, their
// answers come back reassembled through PassThruReadMsgs.
#include "emulator/ecu_responder.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"
#include "tests/unit/txrx_test_support.h"

namespace orv::test {
namespace {

class EcuConversation : public BusTest {};

TEST_F(EcuConversation, VinOverIso15765ArrivesAsIndicationThenWholeMessage) {
  const uint32_t ch = Connect(ISO15765);
  FlowFilter(ch, 0x7E8, 0x7E0);
  ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, {0x09, 0x02}, ISO15765_FRAME_PAD)), 0);

  const auto first = Read(ch, 1, 1000);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].RxStatus, START_OF_MESSAGE);
  EXPECT_EQ(first[0].DataSize, 4u);
  EXPECT_BYTES(DataOf(first[0]), 0x00, 0x00, 0x07, 0xE8);

  const auto vin = ReadMessage(ch);
  ASSERT_TRUE(vin);
  EXPECT_EQ(vin->DataSize, 24u);
  EXPECT_EQ(vin->ExtraDataIndex, 24u);
  EXPECT_EQ(vin->RxStatus, 0u);
  const std::vector<uint8_t> payload = PayloadOf(*vin);
  EXPECT_EQ(std::string(payload.begin() + 3, payload.end()), emu::kDefaultVin);
  EXPECT_EQ(ecu().requests().size(), 1u);
}

TEST_F(EcuConversation, LongAnswerAndLongRequestOf4095BytesArriveIntact) {
  const uint32_t ch = Connect(ISO15765);
  FlowFilter(ch, 0x7E8, 0x7E0);
  ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, {0x22, 0xFF, 0x00}, ISO15765_FRAME_PAD)), 0);
  const auto answer = ReadMessage(ch, 5000);
  ASSERT_TRUE(answer);
  EXPECT_EQ(PayloadOf(*answer), emu::long_answer_bytes(4095));

  std::vector<uint8_t> request{0x36, 0x01};
  for (size_t i = 2; i < 4095; ++i) request.push_back(static_cast<uint8_t>(i * 13));
  ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, request, ISO15765_FRAME_PAD), 5000), 0);
  const auto ack = ReadMessage(ch, 5000);
  ASSERT_TRUE(ack);
  const uint16_t sum = emu::byte_sum16(request);
  EXPECT_BYTES(PayloadOf(*ack), 0x76, 0x01, 0x0F, 0xFF, static_cast<uint8_t>(sum >> 8),
               static_cast<uint8_t>(sum));
  ASSERT_EQ(ecu().requests().size(), 2u);
  EXPECT_EQ(ecu().requests()[1], request);
}

TEST_F(EcuConversation, EcuHonoursBlockSizeAndSeparationTimeOfTheFlowControl) {
  const uint32_t ch = Connect(ISO15765);
  State().channels.CANSetup.iso15765_block_size = 2;  // what the flow frame of the filter carries
  State().channels.CANSetup.iso15765_separation_time = 5;
  FlowFilter(ch, 0x7E8, 0x7E0);
  ecu().responder().set_long_answer_size(100);  // first frame + 14 consecutive frames
  ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, {0x22, 0xFF, 0x00}, ISO15765_FRAME_PAD)), 0);
  const auto answer = ReadMessage(ch, 5000);
  ASSERT_TRUE(answer);
  EXPECT_EQ(PayloadOf(*answer), emu::long_answer_bytes(100));

  ASSERT_GE(ecu().flow_controls().size(), 7u);  // one per block of two
  EXPECT_EQ(ecu().flow_controls()[0], std::make_pair(uint8_t{2}, uint8_t{5}));
  const auto& times = ecu().consecutive_frame_times();
  ASSERT_EQ(times.size(), 14u);
  for (size_t i = 1; i < times.size(); i += 2) EXPECT_GE(times[i] - times[i - 1], 5u) << i;
}

TEST_F(EcuConversation, SecondInterfaceAnd29BitEcusAnswerToo) {
  const uint32_t ms = Connect(ISO15765, 0x80000000);
  EXPECT_EQ(ms, MSISO15765);
  FlowFilter(ms, 0x7E8, 0x7E0);
  ASSERT_EQ(Write(ms, CanMsg(ms, 0x7E0, {0x09, 0x02}, ISO15765_FRAME_PAD)), 0);
  const auto vin = ReadMessage(ms);
  ASSERT_TRUE(vin);
  EXPECT_EQ(vin->ProtocolID, MSISO15765);
  EXPECT_EQ(units_->ecu_second.requests().size(), 1u);
  EXPECT_TRUE(ecu().requests().empty());

  const uint32_t ch = Connect(ISO15765, CAN_29BIT_ID);
  FlowFilter(ch, 0x18DAF110, 0x18DA10F1, CAN_29BIT_ID);
  ASSERT_EQ(
      Write(ch, CanMsg(ch, 0x18DA10F1, {0x22, 0xF1, 0x90}, CAN_29BIT_ID | ISO15765_FRAME_PAD)), 0);
  const auto answer = ReadMessage(ch);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->RxStatus, CAN_29BIT_ID);
  EXPECT_BYTES(std::vector<uint8_t>(answer->Data, answer->Data + 4), 0x18, 0xDA, 0xF1, 0x10);
  EXPECT_EQ(answer->DataSize, 4u + 3u + 17u);
}

TEST_F(EcuConversation, SkippedOrMisnumberedConsecutiveFrameLosesOnlyThatMessage) {
  const uint32_t ch = Connect(ISO15765);
  FlowFilter(ch, 0x7E8, 0x7E0);
  for (int fault = 0; fault < 2; ++fault) {
    if (fault == 0) ecu().skip_consecutive_frame(1);
    if (fault == 1) ecu().wrong_sequence_number(2);
    ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, {0x09, 0x02}, ISO15765_FRAME_PAD)), 0);
    EXPECT_FALSE(ReadMessage(ch, 500)) << fault;
    EXPECT_EQ(LastErrorText(), "Flow control PCI error");

    ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, {0x09, 0x02}, ISO15765_FRAME_PAD)), 0);
    const auto vin = ReadMessage(ch);
    ASSERT_TRUE(vin) << fault;
    EXPECT_EQ(vin->DataSize, 24u);
  }
}

TEST_F(EcuConversation, ScriptedAnswerAndLoopbackEcho) {
  const uint32_t ch = Connect(ISO15765);
  FlowFilter(ch, 0x7E8, 0x7E0);
  ecu().responder().script({0x01, 0x0D}, {0x41, 0x0D, 0x77});
  bus().set_loopback(true);
  ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, {0x01, 0x0D}, ISO15765_FRAME_PAD)), 0);
  const auto msgs = Read(ch, 2, 1000);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].RxStatus, TX_MSG_TYPE);
  EXPECT_BYTES(DataOf(msgs[0]), 0x00, 0x00, 0x07, 0xE0, 0x01, 0x0D);
  EXPECT_EQ(msgs[1].RxStatus, 0u);
  EXPECT_BYTES(DataOf(msgs[1]), 0x00, 0x00, 0x07, 0xE8, 0x41, 0x0D, 0x77);
}

TEST_F(EcuConversation, KLineAnswerLongerThanOneFrameIsJoinedAndChecked) {
  const uint32_t ch = Connect(ISO14230);
  ASSERT_EQ(Write(ch, MakeMsg(ch, {0xC2, 0x10, 0xF1, 0x21, 0x01})), 0);
  auto answer = ReadMessage(ch, 2000);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->DataSize, 4u + 102u);
  EXPECT_EQ(answer->ExtraDataIndex, answer->DataSize);
  EXPECT_BYTES(std::vector<uint8_t>(answer->Data, answer->Data + 6), 0x80, 0xF1, 0x10, 102, 0x61,
               0x01);
  ASSERT_EQ(units_->kline.requests().size(), 1u);
  EXPECT_EQ(units_->kline.requests()[0].back(),
            emu::kline_checksum(std::vector<uint8_t>{0xC2, 0x10, 0xF1, 0x21, 0x01}));

  units_->kline.set_bad_checksum(true);
  ASSERT_EQ(Write(ch, MakeMsg(ch, {0xC2, 0x10, 0xF1, 0x01, 0x00})), 0);
  EXPECT_FALSE(ReadMessage(ch, 300));
  EXPECT_EQ(LastErrorText(), "ISO9141/14230 Bad RX checksum");
}

TEST_F(EcuConversation, BlockingWriteReturnsAfterTheAdapterAnswered) {
  const uint32_t ch = Connect(CAN);
  EXPECT_EQ(Write(ch, CanMsg(ch, 0x7E0, {1, 2}, 0x02000000)), 0);
  adapter_.system().set_version_size(0);  // no answer any more
  const uint32_t before = platform_.now();
  EXPECT_EQ(Write(ch, CanMsg(ch, 0x7E0, {1, 2}, 0x02000000)), ERR_TIMEOUT);
  EXPECT_GE(platform_.now() - before, 15000u);
}

}  // namespace
}  // namespace orv::test
