// Periodic messages: IDs, the table limit, the frame of each channel family
// (CAN, ISO 15765 plain, padded, escape form, extended address, K-line),
// update, stop, suspend and resume.
#include <gtest/gtest.h>

#include "passthru/channel_table.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "tests/unit/channels_fixture.h"

namespace orv::test {
namespace {

class PeriodicTest : public ChannelTest {
 protected:
  // Starts `msg` and expects success; returns the ID.
  uint32_t Start(uint32_t channel, PASSTHRU_MSG msg, uint32_t interval = 100) {
    uint32_t id = 0xFFFF;
    EXPECT_EQ(PassThruStartPeriodicMsg(channel, &msg, &id, interval), 0);
    return id;
  }
  // The data of the only periodic frame sent since the last clear.
  emu::Frame OnlyPeriodicFrame() {
    std::vector<emu::Frame> frames;
    for (const emu::Frame& f : Sent()) {
      if (f.op == 3 && f.type == 4) frames.push_back(f);
    }
    EXPECT_EQ(frames.size(), 1u);
    return frames.empty() ? emu::Frame{} : frames[0];
  }
};

TEST_F(PeriodicTest, IdsAreTheLowestFreeEntriesUpToAHundred) {
  const uint32_t ch = Connect(CAN);
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 7, 0xDF, 2, 1});
  for (uint32_t i = 0; i < kPeriodicEntries; ++i) ASSERT_EQ(Start(ch, msg), i);
  ASSERT_EQ(PassThruStopPeriodicMsg(ch, 0), 0);
  EXPECT_EQ(Start(ch, msg), 0u);
  ClearLogs();
  uint32_t id = 5555;
  EXPECT_EQ(PassThruStartPeriodicMsg(ch, &msg, &id, 100), 12);
  EXPECT_EQ(LastErrorText(), "PassThruStartPeriodic exceeded periodic message limit");
  EXPECT_EQ(id, 5555u);
  EXPECT_TRUE(Sent().empty());
}

// The channel's device, the flags and the data after the identifier cut;
// the interval goes out least significant byte first.
TEST_F(PeriodicTest, FrameOfEachChannelFamily) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  const uint32_t kline = Connect(ISO9141);
  State().channels.CANSetup.iso15765_pad_value = 0x55;
  const uint32_t kPad = ISO15765_FRAME_PAD;
  const struct {
    uint32_t channel, tx_flags;  // the channel ID is the protocol ID
    uint8_t dev, flags;
    std::vector<uint8_t> data, sent;
  } cases[] = {
      {can, 0, 0x10, 0, {0, 0, 7, 0xDF, 2, 1}, {7, 0xDF, 2, 1}},
      {can, CAN_29BIT_ID, 0x10, 0x10, {0x18, 0xDB, 0x33, 0xF1, 2}, {0x18, 0xDB, 0x33, 0xF1, 2}},
      {can, CAN_FD_FORMAT, 0x10, 0x01, {0, 0, 7, 0xDF, 2}, {7, 0xDF, 2}},
      {can, CAN_FD_FORMAT | CAN_FD_BRS, 0x10, 0x03, {0, 0, 7, 0xDF, 2}, {7, 0xDF, 2}},
      {can, CAN_FD_BRS, 0x10, 0x00, {0, 0, 7, 0xDF, 2}, {7, 0xDF, 2}},
      {iso, 0, 0x20, 0, {0, 0, 7, 0xDF, 2, 1, 0}, {7, 0xDF, 3, 2, 1, 0}},
      {iso, kPad, 0x20, 0, {0, 0, 7, 0xDF, 2, 1, 0}, {7, 0xDF, 3, 2, 1, 0, 0x55, 0x55, 0x55, 0x55}},
      // Twelve bytes or more: the escape form with the length in the next byte.
      {iso, 0, 0x20, 0, {0, 0, 7, 1, 1, 2, 3, 4, 5, 6, 7, 8}, {7, 1, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8}},
      // Extended address: the byte after the identifier.
      {iso, ISO15765_ADDR_TYPE, 0x20, 0x20, {0, 0, 7, 0xDF, 0xF1, 2, 1}, {7, 0xDF, 0xF1, 2, 2, 1}},
      // 29-bit, extended address, padded: 8 bytes after the identifier.
      {iso,
       CAN_29BIT_ID | ISO15765_ADDR_TYPE | kPad,
       0x20,
       0x30,
       {0x18, 0xDA, 0x10, 0xF1, 0xAA, 0x3E},
       {0x18, 0xDA, 0x10, 0xF1, 0xAA, 1, 0x3E, 0x55, 0x55, 0x55, 0x55, 0x55}},
      {kline, 0, 0x90, 0, {0x68, 0x6A, 0xF1, 0x01, 0x00}, {0x68, 0x6A, 0xF1, 0x01, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "channel " << c.channel << " flags " << c.tx_flags);
    ClearLogs();
    const uint32_t id = Start(c.channel, MakeMsg(c.channel, c.data, c.tx_flags), 1000);
    const emu::Frame f = OnlyPeriodicFrame();
    EXPECT_EQ(f.id, id);
    EXPECT_EQ(f.dev, c.dev);
    EXPECT_EQ(f.flags, c.flags);
    EXPECT_EQ(Data(f), c.sent);
    EXPECT_EQ(f.timestamp, (std::array<uint8_t, 4>{0xE8, 0x03, 0, 0}));
  }
}

TEST_F(PeriodicTest, StartCarriesTheTopIdentifierBitsIntoTheSentByte) {
  const uint32_t ch = Connect(CAN);
  PASSTHRU_MSG msg = MakeMsg(CAN, {0x40, 0, 0x07, 0xDF, 2, 1});
  uint32_t id = 0;
  ASSERT_EQ(PassThruStartPeriodicMsg(ch, &msg, &id, 100), 0);
  EXPECT_EQ(msg.Data[2], 0x47);  // the caller sees the change
  EXPECT_EQ(OnlyPeriodicFrame().data[0], 0x47);

  PASSTHRU_MSG update = MakeMsg(CAN, {0x40, 0, 0x07, 0xDF, 2, 1});
  ClearLogs();
  ASSERT_EQ(PassThruUpdatePeriodicMsg(ch, &update, id, 200), 0);
  EXPECT_EQ(update.Data[2], 0x07);
  EXPECT_EQ(OnlyPeriodicFrame().data[0], 0x07);
}

TEST_F(PeriodicTest, PaddedMessageCanSetTheTransmitLengthOnTheHostOnly) {
  const uint32_t ch = Connect(ISO15765_PS);
  // Eight payload bytes: escape form, 10 bytes after the identifier, padded
  // to the next CAN FD length 12 because the transmit length is now 12.
  PASSTHRU_MSG msg =
      MakeMsg(ISO15765, {0, 0, 7, 0xDF, 1, 2, 3, 4, 5, 6, 7, 8}, ISO15765_FRAME_PAD | 0x10000000);
  msg.ExtraDataIndex = 12;
  Start(ch, msg);
  EXPECT_EQ(State().channels.MSCANSetup.iso15765_tx_data_length, 12);
  EXPECT_EQ(OnlyPeriodicFrame().size, 2u + 12);
  EXPECT_EQ(SentOfType(0x30, 3, 7).size(), 0u);  // no setup frame
}

TEST_F(PeriodicTest, MessagesThatDoNotFitAreRefusedBeforeAnythingIsWritten) {
  const uint32_t can = Connect(CAN);
  const uint32_t iso = Connect(ISO15765);
  const uint32_t kline = Connect(ISO9141);
  struct Case {
    uint32_t channel;
    PASSTHRU_MSG msg;
  };
  const Case cases[] = {
      {can, MakeMsg(CAN, std::vector<uint8_t>(71, 0x40))},                // 69 after the ID cut
      {can, MakeMsg(CAN, std::vector<uint8_t>(69, 0x40), CAN_29BIT_ID)},  // 69
      {can, MakeMsg(CAN, {0x40, 0, 7})},                                  // shorter than the ID
      {iso, MakeMsg(ISO15765, std::vector<uint8_t>(69, 0x40))},           // 2 + 2 + 65
      {iso, MakeMsg(ISO15765, {0, 0, 7, 0xDF}, ISO15765_ADDR_TYPE)},      // no address byte
      {kline, MakeMsg(ISO9141, std::vector<uint8_t>(69, 0x40))},
      {kline, MakeMsg(ISO9141, {})},  // would look free
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msg.DataSize);
    PASSTHRU_MSG msg = c.msg;
    uint32_t id = 77;
    EXPECT_EQ(PassThruStartPeriodicMsg(c.channel, &msg, &id, 100), 10);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(msg.Data[2], c.msg.Data[2]);  // untouched
    EXPECT_EQ(PassThruUpdatePeriodicMsg(c.channel, &msg, 3, 100), 10);
  }
  EXPECT_EQ(LastErrorText(), "PassThruUpdatePeriodicMsg invalid message size");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(State().periodic.entries[0].size, 0);
  EXPECT_EQ(State().periodic.entries[3].size, 0);

  // The largest messages that fit.
  Start(can, MakeMsg(CAN, std::vector<uint8_t>(70, 1)));
  Start(iso, MakeMsg(ISO15765, std::vector<uint8_t>(68, 1)));  // 2 + 2 + 64
  PASSTHRU_MSG padded =
      MakeMsg(ISO15765, std::vector<uint8_t>(66, 1), ISO15765_FRAME_PAD | 0x10000000);
  padded.ExtraDataIndex = 64;  // 62 payload + 2 protocol bytes: padded to 64
  Start(iso, padded);
  EXPECT_EQ(State().periodic.entries[2].size, 66);
}

TEST_F(PeriodicTest, UpdateReplacesTheEntryAndStopFreesIt) {
  const uint32_t ch = Connect(CAN);
  const uint32_t id = Start(ch, MakeMsg(CAN, {0, 0, 7, 0xDF, 2, 1}), 100);
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 7, 0xDF, 3, 1, 2});
  ClearLogs();
  ASSERT_EQ(PassThruUpdatePeriodicMsg(ch, &msg, id, 250), 0);
  const emu::Frame update = OnlyPeriodicFrame();
  EXPECT_EQ(update.id, id);
  EXPECT_EQ(update.size, 5);
  EXPECT_EQ(update.timestamp, (std::array<uint8_t, 4>{250, 0, 0, 0}));

  // Updating a free entry starts a message under that ID.
  ASSERT_EQ(PassThruUpdatePeriodicMsg(ch, &msg, 42, 50), 0);
  EXPECT_EQ(State().periodic.entries[42].size, 5);
  EXPECT_TRUE(bus_->periodic(42).running);

  ClearLogs();
  EXPECT_EQ(PassThruUpdatePeriodicMsg(ch, &msg, 100, 50), 12);
  EXPECT_EQ(LastErrorText(), "PassThruUpatePeriodicMsg exceeded periodic message limit");
  EXPECT_EQ(PassThruUpdatePeriodicMsg(ch, nullptr, 1, 50), 4);
  EXPECT_EQ(LastErrorText(), "PassThruUpdatePeriodicMsg null pointer to message");
  uint32_t out = 0;
  EXPECT_EQ(PassThruStartPeriodicMsg(ch, nullptr, &out, 100), 4);
  EXPECT_EQ(PassThruStartPeriodicMsg(ch, &msg, nullptr, 100), 4);
  EXPECT_EQ(LastErrorText(), "PassThruStartPeriodic null pointer to message or message ID");
  EXPECT_EQ(PassThruStopPeriodicMsg(ch, 100), 12);
  EXPECT_TRUE(Sent().empty());

  ASSERT_EQ(PassThruStopPeriodicMsg(ch, id), 0);
  const emu::Frame stop = OnlyPeriodicFrame();
  EXPECT_EQ(stop.size, 0);
  EXPECT_EQ(stop.id, id);
  EXPECT_EQ(stop.timestamp, (std::array<uint8_t, 4>{}));
  EXPECT_EQ(State().periodic.entries[id].size, 0);
  EXPECT_EQ(State().periodic.entries[id].dev, 0x10);
  EXPECT_FALSE(bus_->periodic(static_cast<uint8_t>(id)).running);

  ClearLogs();  // a stop of an entry that is not running still goes out
  EXPECT_EQ(PassThruStopPeriodicMsg(ch, 99), 0);
  EXPECT_EQ(OnlyPeriodicFrame().id, 99);
}

TEST_F(PeriodicTest, SuspendAndResumeNameTheChannelsDevice) {
  const uint32_t ch = Connect(ISO9141);
  const uint32_t id = Start(ch, MakeMsg(ISO9141, {0x68, 0x6A, 0xF1, 0x3E}), 100);
  ClearLogs();
  ASSERT_EQ(PassThruSuspendPeriodic(ch), 0);
  ASSERT_EQ(PassThruResumePeriodic(ch), 0);
  const auto frames = Sent();
  ASSERT_EQ(frames.size(), 2u);
  for (const emu::Frame& f : frames) {
    EXPECT_EQ(f.dev, 0x90);
    EXPECT_EQ(f.op, 3);
    EXPECT_EQ(f.type, 0);
    EXPECT_EQ(f.size, 0);
  }
  EXPECT_EQ(frames[0].flags, 0x10);
  EXPECT_EQ(frames[1].flags, 0x20);
  EXPECT_EQ(State().periodic.entries[id].size, 4);  // the table is untouched
}

}  // namespace
}  // namespace orv::test
