// PassThruReadMsgs over frames the adapter sends: CAN conversion and
// identifier acceptance, time stamps, K-line joining, checksum and filter,
// overflow reporting, every outcome of the read loop, and whole ISO 15765
// conversations with the emulated ECUs.
#include "emulator/ecu_responder.h"
#include "passthru/config_options.h"
#include "passthru/library_state.h"
#include "passthru/rx_frames.h"
#include "passthru/rx_queues.h"
#include "tests/unit/txrx_test_support.h"

namespace orv::test {
namespace {

class Receive : public BusTest {
 protected:
  // A bus frame from the adapter, time stamp `raw` (1/256 ms).
  void Inject(uint8_t dev, std::vector<uint8_t> data, uint8_t flags = 0, uint32_t raw = 0x100,
              uint8_t type = 0) {
    emu::Frame f = emu::Frame::make(dev, 2, type, flags, data);
    f.timestamp = {static_cast<uint8_t>(raw >> 24), static_cast<uint8_t>(raw >> 16),
                   static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw)};
    adapter_.inject_frame(f);
  }
  std::vector<uint8_t> KLine(std::vector<uint8_t> body) {
    body.push_back(emu::kline_checksum(body));
    return body;
  }
};

TEST_F(Receive, CanFramesAreWidenedAndMarked) {
  const uint32_t ch = Connect(CAN);
  PassFilter(ch, {0, 0, 0x07, 0xFF}, {0, 0, 0x07, 0xE8});
  Inject(0x10, {0x07, 0xE8, 1, 2, 3, 4, 5, 6, 7, 8});
  Inject(0x10, {0x07, 0xE8, 9}, 0x43);  // CAN FD, bit-rate switch, marked
  Inject(0x10, {0x07, 0xE9, 9});        // no filter admits it
  const auto msgs = Read(ch, 3, 100);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_BYTES(DataOf(msgs[0]), 0, 0, 0x07, 0xE8, 1, 2, 3, 4, 5, 6, 7, 8);
  EXPECT_EQ(msgs[0].DataSize, 12u);
  EXPECT_EQ(msgs[0].ExtraDataIndex, 12u);
  EXPECT_EQ(msgs[0].RxStatus, 0u);
  EXPECT_EQ(msgs[0].ProtocolID, CAN);
  EXPECT_EQ(msgs[1].RxStatus, CAN_FD_FORMAT | CAN_FD_BRS | ORV_RX_ADAPTER_FLAG);
  EXPECT_BYTES(DataOf(msgs[1]), 0xFE, 0xFE, 0xFE, 0xFE, 9);
}

TEST_F(Receive, IdentifierFormatFollowsTheConnectFlags) {
  uint32_t ch = Connect(CAN);
  PassFilter(ch, {0, 0, 0, 0}, {0, 0, 0, 0});
  Inject(0x10, {0x18, 0xDA, 0xF1, 0x10, 1}, 0x10);
  Inject(0x10, {0x07, 0xE8, 2});
  auto msgs = Read(ch, 2, 50);
  ASSERT_EQ(msgs.size(), 1u);  // the 29-bit frame is consumed, not delivered
  EXPECT_EQ(msgs[0].Data[4], 2);
  PassThruDisconnect(ch);

  ch = Connect(CAN, CAN_ID_BOTH);
  PassFilter(ch, {0, 0, 0, 0}, {0, 0, 0, 0});
  Inject(0x10, {0x18, 0xDA, 0xF1, 0x10, 1}, 0x10);
  Inject(0x10, {0x07, 0xE8, 2});
  msgs = Read(ch, 2, 50);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].RxStatus, CAN_29BIT_ID);
  EXPECT_BYTES(DataOf(msgs[0]), 0x18, 0xDA, 0xF1, 0x10, 1);
  EXPECT_EQ(msgs[1].RxStatus, 0u);
}

TEST_F(Receive, TimestampsInMicrosecondsOrMilliseconds) {
  const uint8_t one_ms[4] = {0, 0, 1, 0};
  const uint8_t all[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ConvertTimestamp(one_ms), 1000u);
  EXPECT_EQ(ConvertTimestamp(all), 3892314108u);
  State().options.TimestampMsec = 1;
  EXPECT_EQ(ConvertTimestamp(one_ms), 1u);
  EXPECT_EQ(ConvertTimestamp(all), 0xFFFFFFu);
}

TEST_F(Receive, KLinePiecesAreJoinedAndTheChecksumRemoved) {
  const uint32_t ch = Connect(ISO9141);
  const std::vector<uint8_t> body = Count(69);
  const auto msg = KLine(body);  // 70 bytes: a piece of 68 and one of 2
  Inject(0x90, {msg.begin(), msg.begin() + 68}, 0, 0x100);
  Inject(0x90, {msg.begin() + 68, msg.end()}, 0, 0x200);
  auto bad = KLine({0x48, 0x6B, 0x10, 0x41});
  bad.back() ^= 1;
  Inject(0x90, bad);
  Inject(0x90, KLine({0x48, 0x6B, 0x10, 0x42}));
  Inject(0x90, {}, 0x80, 0x300);           // start of a message
  Inject(0x90, {0x8F, 0xE9, 0x33}, 0x40);  // key bytes of an initialisation
  const auto msgs = Read(ch, 4, 100);
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(msgs[0].DataSize, 69u);
  EXPECT_EQ(msgs[0].ExtraDataIndex, 69u);
  EXPECT_EQ(msgs[0].Timestamp, 2000u);  // the last piece's
  EXPECT_EQ(DataOf(msgs[0]), body);
  EXPECT_BYTES(DataOf(msgs[1]), 0x48, 0x6B, 0x10, 0x42);
  EXPECT_EQ(msgs[2].RxStatus, START_OF_MESSAGE);
  EXPECT_EQ(msgs[2].DataSize, 0u);
  EXPECT_EQ(LastErrorText(), "ISO9141/14230 Bad RX checksum");
  EXPECT_EQ(State().options.ISO9141Keyword1, 0x8F);
  EXPECT_EQ(State().options.ISO9141Keyword2, 0xE9);
  EXPECT_EQ(State().options.ISO9141Address, 0x33);
}

TEST_F(Receive, KLineFilterAdmitsOnlyMatchingMessages) {
  const uint32_t ch = Connect(ISO9141);
  const uint32_t id = PassFilter(ch, {0xFF, 0xFF, 0xFF, 0xFF}, {0x48, 0x6B, 0x10, 0x41});
  Inject(0x90, KLine({0x48, 0x6B, 0x10, 0x42, 1}));
  Inject(0x90, KLine({0x48, 0x6B, 0x10, 0x41, 1}));
  Inject(0x90, KLine({0x48, 0x6B}));  // shorter than the filter: no match
  auto msgs = Read(ch, 3, 50);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Data[3], 0x41);
  ASSERT_EQ(PassThruStopMsgFilter(ch, id), 0);
  Inject(0x90, KLine({0x48, 0x6B, 0x10, 0x42, 1}));
  EXPECT_EQ(Read(ch, 1, 50).size(), 1u);
}

TEST_F(Receive, OverLongKLineMessageIsDroppedWhole) {
  const uint32_t ch = Connect(ISO14230);
  for (int i = 0; i < 61; ++i) Inject(0x90, std::vector<uint8_t>(68, 0x11));  // 4148 bytes
  Inject(0x90, {0x22, 0x33});
  Inject(0x90, KLine({0x83, 0xF1, 0x10, 0x41}));
  const auto msgs = Read(ch, 2, 100);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_BYTES(DataOf(msgs[0]), 0x83, 0xF1, 0x10, 0x41);
  EXPECT_EQ(LastErrorText(), "ISO9141/14230 RX message too long, dropped");
}

TEST_F(Receive, OverflowIsReportedWithTheQueuedMessagesOrAlone) {
  const uint32_t ch = Connect(CAN);
  PassFilter(ch, {0, 0, 0, 0}, {0, 0, 0, 0});
  Inject(0x10, {0x07, 0xE8, 1});
  Inject(0x10, {0x07, 0xE8, 2});
  int32_t status = 0;
  Read(ch, 1, 0, &status);  // takes the first frame into the queue
  ASSERT_EQ(status, 0);
  State().queues.can.overflow = 1;
  EXPECT_EQ(Read(ch, 5, 1000, &status).size(), 1u);
  EXPECT_EQ(status, ERR_BUFFER_OVERFLOW);
  EXPECT_EQ(LastErrorText(), "PassThruReadMsgs receive queue overflowed: messages were lost");
  EXPECT_EQ(State().queues.can.overflow, 0u);

  // The adapter's own overflow report, with nothing to read.
  adapter_.inject_frame(emu::Frame::make(0xF0, 2, 0, 0x40, std::vector<uint8_t>{0x10}));
  EXPECT_TRUE(Read(ch, 1, 0, &status).empty());
  EXPECT_EQ(status, ERR_BUFFER_OVERFLOW);
  EXPECT_TRUE(Read(ch, 1, 10, &status).empty());
  EXPECT_EQ(status, ERR_BUFFER_EMPTY);  // reported once
}

TEST_F(Receive, ReadLoopOutcomes) {
  const uint32_t ch = Connect(CAN);
  PassFilter(ch, {0, 0, 0, 0}, {0, 0, 0, 0});
  int32_t status = 0;
  uint32_t n = 0;
  EXPECT_EQ(PassThruReadMsgs(ch, nullptr, &n, 0), ERR_NULL_PARAMETER);
  EXPECT_EQ(PassThruReadMsgs(ch, reinterpret_cast<PASSTHRU_MSG*>(8), &n, 0), ERR_BUFFER_EMPTY);
  EXPECT_EQ(n, 0u);

  const uint32_t start = platform_.now();
  EXPECT_TRUE(Read(ch, 1, 0, &status).empty());
  EXPECT_EQ(status, ERR_BUFFER_EMPTY);
  EXPECT_TRUE(Read(ch, 1, 200, &status).empty());
  EXPECT_EQ(status, ERR_BUFFER_EMPTY);
  EXPECT_GT(platform_.now() - start, 200u);

  Inject(0x10, {0x07, 0xE8, 1});
  Inject(0x10, {0x07, 0xE8, 2});
  EXPECT_EQ(Read(ch, 3, 100, &status).size(), 2u);
  EXPECT_EQ(status, ERR_TIMEOUT);
  Inject(0x10, {0x07, 0xE8, 3});
  EXPECT_EQ(Read(ch, 2, 0, &status).size(), 1u);
  EXPECT_EQ(status, 0);
  Inject(0x10, {0x07, 0xE8, 4});
  EXPECT_EQ(Read(ch, 1, 100, &status).size(), 1u);
  EXPECT_EQ(status, 0);

  EXPECT_EQ(PassThruReadMsgs(9, nullptr, &n, 0), ERR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(LastErrorText(), "PassThruReadMsgs invalid ChannelID");
  PASSTHRU_MSG m;
  n = 1;
  EXPECT_EQ(PassThruReadMsgs(37, &m, &n, 0), ERR_INVALID_CHANNEL_ID);
  EXPECT_EQ(n, 0u);
}

// Conversations with the emulated ECUs: requests written with
// PassThruWriteMsgs, answers reassembled through PassThruReadMsgs.
TEST_F(Receive, EcuConversationOf4095ByteMessagesBothWays) {
  const uint32_t ch = Connect(ISO15765);
  FlowFilter(ch, 0x7E8, 0x7E0);
  ASSERT_EQ(Write(ch, CanMsg(ch, 0x7E0, {0x22, 0xFF, 0x00}, ISO15765_FRAME_PAD)), 0);
  const auto first = Read(ch, 1, 1000);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].RxStatus, START_OF_MESSAGE);
  EXPECT_BYTES(DataOf(first[0]), 0x00, 0x00, 0x07, 0xE8);
  const auto answer = ReadMessage(ch, 5000);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->RxStatus, 0u);
  EXPECT_EQ(answer->ExtraDataIndex, answer->DataSize);
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

TEST_F(Receive, EcuConversationOnTheSecondBus) {
  const uint32_t ms = Connect(ISO15765, 0x80000000);
  EXPECT_EQ(ms, MSISO15765);
  FlowFilter(ms, 0x7E8, 0x7E0);
  ASSERT_EQ(Write(ms, CanMsg(ms, 0x7E0, {0x09, 0x02}, ISO15765_FRAME_PAD)), 0);
  const auto vin = ReadMessage(ms);
  ASSERT_TRUE(vin);
  EXPECT_EQ(vin->ProtocolID, MSISO15765);
  EXPECT_EQ(units_->ecu_second.requests().size(), 1u);
  EXPECT_TRUE(ecu().requests().empty());
}

}  // namespace
}  // namespace orv::test
