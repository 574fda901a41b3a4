// Message filters: slot order per channel, the link form of mask, pattern
// and flow-control frames, every refusal, removal, and what the adapter
// holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>

#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

class FiltersTest : public ChannelTest {
 protected:
  // A pass filter on `channel` with a 4-byte mask and pattern.
  int32_t StartPass(uint32_t channel, uint32_t protocol, uint32_t* id,
                    std::vector<uint8_t> mask = {0, 0, 7, 0xFF},
                    std::vector<uint8_t> pattern = {0, 0, 7, 0xE8}, uint32_t tx_flags = 0) {
    PASSTHRU_MSG m = MakeMsg(protocol, mask, tx_flags);
    PASSTHRU_MSG p = MakeMsg(protocol, pattern, tx_flags);
    return PassThruStartMsgFilter(channel, PASS_FILTER, &m, &p, nullptr, id);
  }
  // A flow-control filter sending `flow`, with an all-ones mask of its length.
  int32_t StartFlow(uint32_t channel, PASSTHRU_MSG flow, uint32_t* id) {
    PASSTHRU_MSG mask = flow;
    std::fill_n(mask.Data, mask.DataSize, 0xFF);
    return PassThruStartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &flow, &flow, id);
  }
};

TEST_F(FiltersTest, RawCanAndIso9141CountDownTheOthersCountUp) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  const uint32_t k3 = Connect(ISO9141);
  uint32_t id = 0;
  ASSERT_EQ(StartPass(can, CAN, &id), 0);
  EXPECT_EQ(id, 63u);
  ASSERT_EQ(StartPass(iso, ISO15765, &id), 0);
  EXPECT_EQ(id, 0u);
  ASSERT_EQ(StartPass(k3, ISO9141, &id, {0xFF}, {0x48}), 0);
  EXPECT_EQ(id, 62u);
  ASSERT_EQ(PassThruDisconnect(k3), 0);
  const uint32_t k4 = Connect(ISO14230);
  ASSERT_EQ(StartPass(k4, ISO14230, &id, {0xFF, 0, 0, 0}, {0x80, 0, 0, 0}), 0);
  EXPECT_EQ(id, 1u);
  const uint32_t ms = Connect(CAN_PS);
  ASSERT_EQ(StartPass(ms, CAN_PS, &id), 0);
  EXPECT_EQ(id, 62u);  // freed by the ISO 9141 disconnect
}

TEST_F(FiltersTest, SixtyFourFiltersThenTheTableIsFull) {
  const uint32_t ch = Connect(CAN);
  for (uint32_t expected = 64; expected-- > 0;) {
    uint32_t id = 0;
    ASSERT_EQ(StartPass(ch, CAN, &id), 0);
    ASSERT_EQ(id, expected);
  }
  ClearLogs();
  uint32_t id = 99;
  EXPECT_EQ(StartPass(ch, CAN, &id), 12);
  EXPECT_EQ(LastErrorText(), "PassThruStartMsgFilter exceeded filter limit");
  EXPECT_EQ(id, 99u);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(FiltersTest, MaskFramesCarryTheIdentifierAsTheLinkDoes) {
  const uint32_t ch = Connect(CAN);
  uint32_t id = 0;
  ASSERT_EQ(
      StartPass(ch, CAN, &id, {0xFF, 0xFF, 0xFF, 0xFF}, {0x18, 0xDA, 0xF1, 0x10}, CAN_29BIT_ID), 0);
  const auto masks = SentOfType(0x10, 3, 1);
  ASSERT_EQ(masks.size(), 1u);
  EXPECT_EQ(masks[0].flags, 0x10);
  EXPECT_EQ(masks[0].id, id);
  EXPECT_EQ(Data(masks[0]), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));

  ClearLogs();
  ASSERT_EQ(StartPass(ch, CAN, &id, {0, 0, 7, 0xFF, 0xAA}, {0, 0, 7, 0xE8, 0x0A},
                      CAN_FD_FORMAT | CAN_FD_BRS),
            0);
  const auto frames = Sent();
  // The receive clear goes first, then the three filter frames in one write.
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].type, 0x0C);
  EXPECT_EQ(frames[1].type, 1);
  EXPECT_EQ(frames[1].flags, 0x03);
  EXPECT_EQ(Data(frames[1]), (std::vector<uint8_t>{7, 0xFF, 0xAA}));
  EXPECT_EQ(frames[2].type, 2);
  EXPECT_EQ(Data(frames[2]), (std::vector<uint8_t>{7, 0xE8, 0x0A}));
  EXPECT_EQ(frames[3].type, 3);
  EXPECT_EQ(frames[3].size, 0);
  EXPECT_EQ(frames[3].flags, 0);
  EXPECT_EQ(platform_.port(kAdapterPort).writes.back().size(), 10u + 3 + 10 + 3 + 10);
}

TEST_F(FiltersTest, FlowControlFrameWithAndWithoutPadding) {
  const uint32_t ch = Connect(ISO15765);
  uint32_t id = 0;
  ASSERT_EQ(StartFlow(ch, MakeMsg(ISO15765, {0, 0, 7, 0xE0}, ISO15765_FRAME_PAD), &id), 0);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(Data(SentOfType(0x20, 3, 3).at(0)),
            (std::vector<uint8_t>{7, 0xE0, 0x30, 0, 0, 0, 0, 0, 0, 0}));

  ClearLogs();
  State().channels.CANSetup.iso15765_block_size = 8;
  State().channels.CANSetup.iso15765_separation_time = 20;
  ASSERT_EQ(StartFlow(ch, MakeMsg(ISO15765, {0, 0, 7, 0xE1}), &id), 0);
  EXPECT_EQ(Data(SentOfType(0x20, 3, 3).at(0)), (std::vector<uint8_t>{7, 0xE1, 0x30, 8, 20}));

  // 29-bit identifier with extended address: 4 + 1 identifier bytes,
  // padded to 8 payload bytes counted after the 4-byte identifier.
  ClearLogs();
  const uint32_t flags = CAN_29BIT_ID | ISO15765_FRAME_PAD | ISO15765_ADDR_TYPE;
  ASSERT_EQ(StartFlow(ch, MakeMsg(ISO15765, {0x18, 0xDA, 0xF1, 0x10, 0x55}, flags), &id), 0);
  const auto f = SentOfType(0x20, 3, 3).at(0);
  EXPECT_EQ(f.flags, 0x10);
  EXPECT_EQ(Data(f), (std::vector<uint8_t>{0x18, 0xDA, 0xF1, 0x10, 0x55, 0x30, 8, 20, 0, 0, 0, 0}));

  // A padded flow-control message can set the transmit length.
  ClearLogs();
  PASSTHRU_MSG flow = MakeMsg(ISO15765, {0, 0, 7, 0xE0}, ISO15765_FRAME_PAD | 0x10000000);
  flow.ExtraDataIndex = 0x110;  // low byte 16
  ASSERT_EQ(StartFlow(ch, flow, &id), 0);
  EXPECT_EQ(State().channels.CANSetup.iso15765_tx_data_length, 16);
  EXPECT_EQ(SentOfType(0x20, 3, 3).at(0).size, 2u + 8);  // payload 3 padded to the FD length 8
}

TEST_F(FiltersTest, RefusalsLeaveTablesAndAdapterUntouched) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  const uint32_t k4 = Connect(ISO14230);
  PASSTHRU_MSG m4 = MakeMsg(CAN, {0, 0, 7, 0xFF});
  PASSTHRU_MSG m5 = MakeMsg(CAN, {0, 0, 7, 0xFF, 0});
  PASSTHRU_MSG m3 = MakeMsg(ISO14230, {0xFF, 0, 0});
  uint32_t id = 0;
  const auto expect = [&](int32_t rc, int32_t status, const char* text) {
    EXPECT_EQ(rc, status) << text;
    EXPECT_EQ(LastErrorText(), text);
  };
  const char* kNull = "PassThruStartMsgFilter null parameter";
  expect(PassThruStartMsgFilter(can, PASS_FILTER, nullptr, &m4, nullptr, &id), 4, kNull);
  expect(PassThruStartMsgFilter(can, PASS_FILTER, &m4, nullptr, nullptr, &id), 4, kNull);
  expect(PassThruStartMsgFilter(can, PASS_FILTER, &m4, &m4, nullptr, nullptr), 4, kNull);
  expect(PassThruStartMsgFilter(can, PASS_FILTER, &m4, &m5, nullptr, &id), 10,
         "PassThruStartMsgFilter mask and pattern not same length");
  expect(PassThruStartMsgFilter(k4, PASS_FILTER, &m3, &m3, nullptr, &id), 10,
         "PassThruStartMsgFilter mask and pattern less than the minimum data size (4)");
  expect(PassThruStartMsgFilter(can, FLOW_CONTROL_FILTER, &m4, &m4, &m4, &id), 2,
         "PassThruStartMsgFilter flow control filter on non-ISO15765 channel");
  expect(PassThruStartMsgFilter(iso, FLOW_CONTROL_FILTER, &m4, &m4, nullptr, &id), 4,
         "PassThruStartMsgFilter null flow control message pointer");
  expect(PassThruStartMsgFilter(iso, FLOW_CONTROL_FILTER, &m4, &m4, &m5, &id), 10,
         "PassThruStartMsgFilter mask and flow control not same length");
  EXPECT_TRUE(Sent().empty());
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) ASSERT_FALSE(FilterSlotInUse(slot));
}

TEST_F(FiltersTest, ShortMasksOnTheKLine) {
  const uint32_t k3 = Connect(ISO9141);
  uint32_t id = 0;
  // ISO 9141 takes any length ...
  ASSERT_EQ(StartPass(k3, ISO9141, &id, {0xFF, 0xFF, 0}, {0x48, 0x6B, 0}), 0);
  EXPECT_EQ(Data(bus_->filter(static_cast<uint8_t>(id)).mask),
            (std::vector<uint8_t>{0xFF, 0xFF, 0}));
  // ... but not an empty mask, which would leave the slot looking free.
  ClearLogs();
  EXPECT_EQ(StartPass(k3, ISO9141, &id, {}, {}), 10);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(FiltersTest, MessagesThatDoNotFitAFrameAreRefusedBeforeSending) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  uint32_t id = 0;
  // 70 bytes with an 11-bit identifier become 68: accepted.
  ASSERT_EQ(StartPass(can, CAN, &id, std::vector<uint8_t>(70, 0), std::vector<uint8_t>(70, 0)), 0);
  EXPECT_EQ(State().filters.mask[id].size, 68);
  ClearLogs();
  EXPECT_EQ(StartPass(can, CAN, &id, std::vector<uint8_t>(71, 0), std::vector<uint8_t>(71, 0)), 10);
  EXPECT_EQ(StartPass(can, CAN, &id, std::vector<uint8_t>(69, 0), std::vector<uint8_t>(69, 0),
                      CAN_29BIT_ID),
            10);
  // The flow frame adds three bytes: 67 + 3 - 2 = 68 fits, 68 + 3 - 2 does not.
  PASSTHRU_MSG mask = MakeMsg(ISO15765, std::vector<uint8_t>(68, 0));
  PASSTHRU_MSG flow = MakeMsg(ISO15765, std::vector<uint8_t>(68, 0));
  EXPECT_EQ(PassThruStartMsgFilter(iso, FLOW_CONTROL_FILTER, &mask, &mask, &flow, &id), 10);
  EXPECT_EQ(LastErrorText(), "PassThruStartMsgFilter message too long for a frame");
  EXPECT_TRUE(Sent().empty());
  mask.DataSize = flow.DataSize = 67;
  EXPECT_EQ(PassThruStartMsgFilter(iso, FLOW_CONTROL_FILTER, &mask, &mask, &flow, &id), 0);
  EXPECT_EQ(State().filters.flow[id].size, 68);
}

TEST_F(FiltersTest, ProtocolMismatchIsLoggedAndTheFilterInstalled) {
  const uint32_t ch = Connect(CAN);
  uint32_t id = 0;
  PASSTHRU_MSG m = MakeMsg(ISO15765, {0, 0, 7, 0xFF});
  PASSTHRU_MSG p = MakeMsg(CAN, {0, 0, 7, 0xE8});
  ASSERT_EQ(PassThruStartMsgFilter(ch, PASS_FILTER, &m, &p, nullptr, &id), 0);
  EXPECT_EQ(LastErrorText(),
            "PassThruStartMsgFilter mask filter protocol (6) mismatch for channel ID (5)");
  EXPECT_TRUE(FilterSlotInUse(id));
}

TEST_F(FiltersTest, StoppingSendsEmptyFramesAndFreesTheSlot) {
  const uint32_t ch = Connect(ISO15765);
  uint32_t id = 0;
  ASSERT_EQ(StartFlow(ch, MakeMsg(ISO15765, {0, 0, 7, 0xE0}), &id), 0);
  ClearLogs();
  ASSERT_EQ(PassThruStopMsgFilter(ch, id), 0);
  EXPECT_FALSE(FilterSlotInUse(id));
  EXPECT_EQ(State().filters.type[id], 0u);
  const auto frames = Sent();
  ASSERT_EQ(frames.size(), 4u);  // receive clear + mask, pattern, flow
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(frames[i].dev, 0x20);  // the removal frames name the channel
    EXPECT_EQ(frames[i].type, i);
    EXPECT_EQ(frames[i].size, 0);
    EXPECT_EQ(frames[i].id, id);
  }

  // A free slot below 64 is "removed" all the same; 64 is refused.
  ClearLogs();
  EXPECT_EQ(PassThruStopMsgFilter(ch, 40), 0);
  EXPECT_EQ(SentOfType(0x20, 3, 1).size(), 1u);
  ClearLogs();
  EXPECT_EQ(PassThruStopMsgFilter(ch, 64), 22);
  EXPECT_EQ(LastErrorText(), "PassThruStopMsgFilter invalid filter ID");
  EXPECT_TRUE(Sent().empty());
}

}  // namespace
}  // namespace orv::test
