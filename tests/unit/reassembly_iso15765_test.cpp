// The ISO 15765 drain step: single frames, first-frame indications,
// reassembly per flow-control filter, sequence errors, bounds, mixed
// format. Frames are handed straight to the drain; the filter tables are
// set up as PassThruStartMsgFilter leaves them.

#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/filter_table.h"
#include "passthru/iso15765_reassembly.h"
#include "passthru/library_state.h"
#include "tests/unit/txrx_test_support.h"

namespace orv::test {
namespace {

class Reassembly : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLibraryState();
    State().channels.CANSetup.iso15765_tx_data_length = 8;
    State().channels.MSCANSetup.iso15765_tx_data_length = 8;
    FlowFilter(0, {0x07, 0xE8});  // the filter most cases use
  }
  void TearDown() override { ResetLibraryState(); }

  // A flow-control filter in `slot` for the identifier bytes `id` (2 or 4,
  // plus the address byte when given).
  void FlowFilter(uint32_t slot, std::vector<uint8_t> id, uint8_t dev = 0x20) {
    JMSG mask =
        MakeJmsg(dev, 3, 1, id.size() >= 4 ? 0x10 : 0, std::vector<uint8_t>(id.size(), 0xFF));
    JMSG pattern = MakeJmsg(dev, 3, 2, mask.flags, id);
    std::vector<uint8_t> flow = id;
    flow.insert(flow.end(), {0x30, 0, 0});
    State().filters.mask[slot] = mask;
    State().filters.pattern[slot] = pattern;
    State().filters.flow[slot] = MakeJmsg(dev, 3, 3, mask.flags, flow);
    State().filters.type[slot] = FLOW_CONTROL_FILTER;
  }

  // A received frame: identifier bytes, then the CAN data; the time stamp
  // is `ms` milliseconds.
  JMSG Frame(std::vector<uint8_t> bytes, uint8_t flags = 0, uint32_t ms = 1, uint8_t type = 0) {
    JMSG f = MakeJmsg(0x10, 2, type, flags, bytes);
    const uint32_t raw = ms * 256;  // most significant byte first
    for (int i = 0; i < 4; ++i) f.timestamp[i] = static_cast<uint8_t>(raw >> (24 - 8 * i));
    return f;
  }

  // `payload` cut into a first frame and consecutive frames of `length`
  // data bytes (padded with 0xCC) behind the identifier 07 E8, stamped 1,
  // 2, 3, ... ms.
  std::vector<JMSG> Segmented(const std::vector<uint8_t>& payload, size_t length = 8,
                              uint8_t flags = 0) {
    const size_t total = payload.size();
    std::vector<uint8_t> f{0x07, 0xE8, static_cast<uint8_t>(0x10 | total >> 8),
                           static_cast<uint8_t>(total)};
    size_t at = std::min(length - 2, total);
    f.insert(f.end(), payload.begin(), payload.begin() + static_cast<long>(at));
    std::vector<JMSG> frames{Frame(f, flags, 1)};
    for (uint8_t sn = 1; at < total; ++sn) {
      const size_t n = std::min(length - 1, total - at);
      f = {0x07, 0xE8, static_cast<uint8_t>(0x20 | (sn & 0x0F))};
      f.insert(f.end(), payload.begin() + static_cast<long>(at),
               payload.begin() + static_cast<long>(at + n));
      f.resize(2 + length, 0xCC);
      frames.push_back(Frame(f, flags, static_cast<uint32_t>(frames.size() + 1)));
      at += n;
    }
    return frames;
  }

  // Feeds frames to channel 6 and returns what was delivered.
  std::vector<PASSTHRU_MSG> Feed(const std::vector<JMSG>& frames, uint32_t channel = 6,
                                 uint32_t connect_flags = CAN_ID_BOTH) {
    std::vector<PASSTHRU_MSG> out(frames.size() * 2 + 1);
    RxOutput o;
    o.msgs = out.data();
    o.wanted = static_cast<uint32_t>(out.size());
    for (const JMSG& f : frames) TakeIso15765Frame(f, channel, connect_flags, o);
    out.resize(o.delivered);
    return out;
  }

  std::string LastError() const { return ::orv::LastErrorText(); }
};

TEST_F(Reassembly, SingleFrameIsDeliveredAndPaddingChecked) {
  auto out = Feed({Frame({0x07, 0xE8, 0x03, 1, 2, 3, 0xAA, 0xAA, 0xAA, 0xAA}),
                   Frame({0x07, 0xE8, 0x03, 1, 2, 3})});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_BYTES(DataOf(out[0]), 0, 0, 0x07, 0xE8, 1, 2, 3);
  EXPECT_EQ(out[0].ExtraDataIndex, 7u);
  EXPECT_EQ(out[0].RxStatus, 0u);
  EXPECT_EQ(out[0].ProtocolID, 6u);
  EXPECT_EQ(out[0].Timestamp, 1000u);
  EXPECT_EQ(out[1].RxStatus, ISO15765_PADDING_ERROR);
  EXPECT_EQ(out[1].DataSize, 7u);
}

TEST_F(Reassembly, FirstFrameIndicationThenMessageWithFirstOrLastTimestamp) {
  const std::vector<JMSG> frames = Segmented(Count(20, 1));
  auto out = Feed(frames);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].RxStatus, START_OF_MESSAGE);
  EXPECT_EQ(out[0].DataSize, 4u);
  EXPECT_EQ(out[0].ExtraDataIndex, 0u);
  EXPECT_EQ(out[1].DataSize, 24u);
  EXPECT_EQ(out[1].ExtraDataIndex, 24u);
  EXPECT_EQ(out[1].Timestamp, 1000u);
  EXPECT_EQ(PayloadOf(out[1]), Count(20, 1));

  State().options.last_segment_flag = 1;
  out = Feed(frames);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].Timestamp, 3000u);
}

TEST_F(Reassembly, SequenceWrapsAndALostFrameAbandonsTheMessage) {
  const std::vector<JMSG> frames = Segmented(Count(125));  // consecutive frames 21..2F, 20, 21
  auto out = Feed(frames);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(LastError(), "No Error");
  EXPECT_EQ(PayloadOf(out[1]), Count(125));

  // Consecutive frame 0x23 lost: no message; later frames of it are ignored.
  std::vector<JMSG> lossy = frames;
  lossy.erase(lossy.begin() + 3);
  out = Feed(lossy);
  ASSERT_EQ(out.size(), 1u);  // the indication only
  EXPECT_EQ(LastError(), "Flow control PCI error");
  // A stray consecutive frame after a complete message is not a second copy.
  out = Feed(frames);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(Feed({frames.back()}).empty());
}

TEST_F(Reassembly, ExtendedAddressingAnd29BitIdentifiers) {
  FlowFilter(0, {0x07, 0xE8, 0xF1});
  auto out = Feed({Frame({0x07, 0xE8, 0xF1, 0x02, 0x50, 0x01, 0, 0, 0, 0, 0})});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_BYTES(DataOf(out[0]), 0, 0, 0x07, 0xE8, 0xF1, 0x50, 0x01);

  FlowFilter(1, {0x18, 0xDA, 0xF1, 0x10});
  out = Feed({Frame({0x18, 0xDA, 0xF1, 0x10, 0x10, 8, 1, 2, 3, 4, 5, 6}, 0x10),
              Frame({0x18, 0xDA, 0xF1, 0x10, 0x21, 7, 8, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, 0x10)});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].RxStatus, START_OF_MESSAGE | CAN_29BIT_ID);
  EXPECT_EQ(out[1].RxStatus, CAN_29BIT_ID);
  EXPECT_BYTES(DataOf(out[1]), 0x18, 0xDA, 0xF1, 0x10, 1, 2, 3, 4, 5, 6, 7, 8);
}

TEST_F(Reassembly, IdentifierFormatOfTheConnectFlagsIsEnforced) {
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x01, 0x7E}, 0x10)}, 6, 0).empty());
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x01, 0x7E})}, 6, CAN_29BIT_ID).empty());
  EXPECT_EQ(Feed({Frame({0x07, 0xE8, 0x01, 0x7E})}, 6, 0).size(), 1u);
}

TEST_F(Reassembly, MalformedFramesAreDroppedWithoutCopying) {
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8})}).empty());              // nothing after the identifier
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x00})}).empty());        // CAN FD single frame, no length
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x10})}).empty());        // first frame, no length byte
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x05, 1, 2})}).empty());  // announces more than it has
  EXPECT_EQ(LastError(), "ISO15765 single frame shorter than its length");
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x10, 0x00, 0, 0, 0x10, 0, 1, 2})}).empty());
  EXPECT_EQ(LastError(), "ISO15765 first frame with escaped length dropped");
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x45, 1})}).empty());
  EXPECT_EQ(LastError(), "ISO15765 Bad PCI type");
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x45, 1})}, 12).empty());
  EXPECT_EQ(LastError(), "MSISO15765 Bad PCI type");
  // A flow filter whose length names no identifier layout is not used.
  FlowFilter(0, {0x07, 0xE8, 0x01, 0x02, 0x03, 0x04, 0x05});
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x01, 0x02, 0x03, 0x04, 0x05, 0x01, 0x7E})}).empty());
}

TEST_F(Reassembly, CanFdMessageOf4095BytesStaysWithinTheRecord) {
  State().channels.CANSetup.iso15765_tx_data_length = 64;
  const auto out = Feed(Segmented(Count(4095), 64, 0x01));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].DataSize, 4099u);
  EXPECT_EQ(out[1].RxStatus, CAN_FD_FORMAT);
  EXPECT_EQ(PayloadOf(out[1]), Count(4095));
  EXPECT_LE(State().reassembly.ISO15765FlowMsg[0].DataSize, 4128u);
}

TEST_F(Reassembly, FlowControlFrameRestartsTheSequenceOnlyBetweenMessages) {
  // The echo of a flow-control frame between two consecutive frames.
  std::vector<JMSG> frames = Segmented(Count(20));
  frames.insert(frames.begin() + 2, Frame({0x07, 0xE0, 0x30, 0, 0}, 0, 1, 5));
  auto out = Feed(frames);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].DataSize, 24u);
  EXPECT_TRUE(Feed({Frame({0x07, 0xE8, 0x30, 0, 0})}).empty());
  EXPECT_EQ(State().reassembly.ConsecutivePCI[0], 0x21);
}

// A first frame that carries all it announces: the message follows at the
// next consecutive frame, cut to the announced length.
TEST_F(Reassembly, FirstFrameCarryingItsWholeLengthCompletesAtTheNextConsecutiveFrame) {
  const auto out = Feed({Frame({0x07, 0xE8, 0x10, 5, 1, 2, 3, 4, 5, 6}),
                         Frame({0x07, 0xE8, 0x21, 9, 9, 9, 9, 9, 9, 9})});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_BYTES(DataOf(out[1]), 0, 0, 0x07, 0xE8, 1, 2, 3, 4, 5);
}

TEST_F(Reassembly, MixedFormatDeliversTheRawCanFrameSecond) {
  State().filters.mask[5] = MakeJmsg(0x20, 3, 1, 0, {0x07, 0xFF});
  State().filters.pattern[5] = MakeJmsg(0x20, 3, 2, 0, {0x07, 0xE8});
  State().filters.type[5] = PASS_FILTER;
  const JMSG sf = Frame({0x07, 0xE8, 0x01, 0x7E, 0, 0, 0, 0, 0, 0}, 0x01);
  EXPECT_EQ(Feed({sf}).size(), 1u);  // mixed format off
  State().options.can_mixed_format_flag = 1;
  const auto out = Feed({sf});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].ProtocolID, 6u);
  EXPECT_EQ(out[0].RxStatus, CAN_FD_FORMAT);
  EXPECT_EQ(out[1].ProtocolID, 5u);
  EXPECT_EQ(out[1].DataSize, 12u);
  EXPECT_EQ(out[1].ExtraDataIndex, 12u);
  EXPECT_EQ(out[1].RxStatus, 0u);
}

TEST_F(Reassembly, EchoOfASegmentedTransmitUsesTheFirstFlowFilter) {
  State().filters.mask[0] = {};  // no flow filter below slot 3
  FlowFilter(3, {0x07, 0xE8});
  const auto out = Feed({Frame({0x07, 0xE0, 0x10, 8, 1, 2, 3, 4, 5, 6}, 0, 1, 5),
                         Frame({0x07, 0xE0, 0x21, 7, 8, 0, 0, 0, 0, 0}, 0, 2, 5)});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].RxStatus, START_OF_MESSAGE | TX_MSG_TYPE);
  EXPECT_EQ(out[1].RxStatus, TX_MSG_TYPE);
  EXPECT_BYTES(DataOf(out[1]), 0, 0, 0x07, 0xE0, 1, 2, 3, 4, 5, 6, 7, 8);
}

}  // namespace
}  // namespace orv::test
