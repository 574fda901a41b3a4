// Sending frames, the reconnect-and-retry, and the receive pass that cuts
// frames out of the byte stream and files the answers.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

class LinkFramesTest : public LibraryTest {
 protected:
  // The link functions run inside a call: the test holds the state lock
  // as an export would, from the open link on.
  void SetUp() override {
    LibraryTest::SetUp();
    OpenLink();
    held_.emplace();
  }
  void TearDown() override { held_.reset(); }
  // The last error text, read under the lock the test holds.
  static std::string LastErrorText() { return orv::LastErrorText(); }
  // Puts raw bytes into the adapter's output, then runs receive passes
  // until they have all been read.
  void Deliver(const std::vector<uint8_t>& bytes) {
    adapter_.inject_bytes(bytes);
    for (int i = 0; i < 8; ++i) JmsgReceiveMsgs();
  }
  static std::vector<uint8_t> Wire(uint8_t dev, uint8_t op, uint8_t type, uint8_t flags,
                                   std::vector<uint8_t> data) {
    return emu::to_wire(emu::Frame::make(dev, op, type, flags, data));
  }

  std::optional<StateHeld> held_;
};

TEST_F(LinkFramesTest, CommandWithoutDataIsTenBytes) {
  ASSERT_EQ(JmsgSendCmd(0xF0, 2, 0x0D, 0, 0, nullptr, 100), 0);
  const auto& writes = platform_.port(kAdapterPort).writes;
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], (std::vector<uint8_t>{0, 0, 0xF0, 2, 0, 0x0D, 0, 0, 0, 0}));
}

TEST_F(LinkFramesTest, OversizedCommandIsRefusedBeforeWriting) {
  uint8_t data[69] = {};
  EXPECT_EQ(JmsgSendCmd(0xE0, 3, 0, 0, 69, data, 100), 7);
  EXPECT_EQ(JmsgSendCmd(0xE0, 3, 0, 0, 4, nullptr, 100), 7);
  EXPECT_TRUE(platform_.port(kAdapterPort).writes.empty());
}

TEST_F(LinkFramesTest, BatchLargerThanTheSendBufferIsRefusedWhole) {
  std::vector<JMSG> frames(211, MakeJmsg(0x10, 3, 5, 0, std::vector<uint8_t>(68, 1)));
  EXPECT_EQ(JmsgSendMsgs(frames.data(), static_cast<uint32_t>(frames.size()), 1500), 7);
  EXPECT_TRUE(platform_.port(kAdapterPort).writes.empty());
}

// A write cut short at the port's 1 s write limit: the rest follows while
// the caller's send time allows, else through the retry path; a frame
// never goes out twice.
TEST_F(LinkFramesTest, WriteCutShortGoesOnWithTheRestAndNeverRepeatsAFrame) {
  const std::vector<JMSG> batch(20, MakeJmsg(0x10, 3, 5, 0, std::vector<uint8_t>(12, 7)));
  struct Case {
    bool command;  // JmsgSendCmd (10 bytes, 100 ms) instead of the batch (440 bytes, 1500 ms)
    uint32_t cut_at, cuts;
    int32_t result;
    const char* text;
  } cases[] = {
      {false, 100, 1, 0, "before"},
      {false, 100, 2, 0, "JmsgSendMsgs com_write sent 200 of 440 bytes, retry"},
      {false, 0, 4, 7, "JmsgSendMsgs com_write sent 0 of 440 bytes, retry"},
      {true, 4, 1, 0, "JmsgSendCmd com_write sent 4 of 10 bytes, retry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ClearLogs();
    DbgMsg(kMsgError, "before");
    faults_.cut_writes(c.cut_at, c.cuts);
    EXPECT_EQ(c.command ? JmsgSendCmd(0xF0, 1, 0, 0, 0, nullptr, 100)
                        : JmsgSendMsgs(batch.data(), 20, 1500),
              c.result);
    EXPECT_EQ(LastErrorText(), c.text);
    EXPECT_EQ(Sent().size(), c.result != 0 ? 0u : c.command ? 1u : 20u);
  }
}

// A batch the port keeps cutting fails, and the rest of the frame it cut
// goes out first with the next write: the adapter never reads a header
// inside a frame's data.
TEST_F(LinkFramesTest, FrameCutByAFailedWriteIsCompletedBeforeTheNextFrame) {
  const std::vector<uint8_t> data(12, 7);
  const std::vector<JMSG> batch(20, MakeJmsg(0x10, 3, 5, 0, data));
  faults_.cut_writes(50, 4);
  EXPECT_EQ(JmsgSendMsgs(batch.data(), 20, 1500), 7);
  ASSERT_EQ(JmsgSendCmd(0xF0, 1, 0, 0, 0, nullptr, 100), 0);
  std::vector<emu::Frame> expected(10, emu::Frame::make(0x10, 3, 5, 0, data));
  expected.push_back(emu::Frame::make(0xF0, 1, 0));
  EXPECT_EQ(Sent(), expected);
}

TEST_F(LinkFramesTest, PartialFrameIsKeptUntilItsRestArrives) {
  auto wire = Wire(0xB0, 2, 0, 0, {2, 0x34, 0x12});  // the header and one data byte first
  Deliver(std::vector<uint8_t>(wire.begin(), wire.begin() + 11));
  EXPECT_EQ(Link().com_buf_len, 11u);
  EXPECT_EQ(Link().AdcReadings[2], 0);
  Deliver(std::vector<uint8_t>(wire.begin() + 11, wire.end()));
  EXPECT_EQ(Link().com_buf_len, 0u);
  EXPECT_EQ(Link().AdcReadings[2], 0x1234);
}

TEST_F(LinkFramesTest, SeveralFramesInOneReadAreDispatchedInOrder) {
  Link().MemSize = 0;
  std::vector<uint8_t> bytes = Wire(0xE0, 2, 0, 0, {1, 2, 3, 4, 5});
  auto second = Wire(0xE0, 2, 0, 0, {6, 7, 8, 9, 10});
  auto third = Wire(0xD0, 2, 0, 0, {1, 1});
  bytes.insert(bytes.end(), second.begin(), second.end());
  bytes.insert(bytes.end(), third.begin(), third.end());
  adapter_.inject_bytes(bytes);
  ASSERT_EQ(JmsgReceiveMsgs(), 0);
  EXPECT_EQ(Link().com_buf_len, 0u);
  EXPECT_EQ(Link().MemSize, 10);
  EXPECT_EQ(Link().MemStatus, kMemAccepted);
  EXPECT_EQ(Link().MemData[9], 10);
  EXPECT_EQ(Link().DioReadings[1], 1);
}

TEST_F(LinkFramesTest, RefusedMemoryAnswerResetsTheArea) {
  Link().MemSize = 5;
  Deliver(Wire(0xE0, 2, 0, 0x40, {}));
  EXPECT_EQ(Link().MemSize, 0);
  EXPECT_EQ(Link().MemStatus, kMemRefused);
}

TEST_F(LinkFramesTest, InvalidOperationIsReportedAndSkipped) {
  Deliver(Wire(0x10, 0, 0, 0, {}));
  EXPECT_EQ(LastErrorText(),
            "Received invalid operation (dev=10, op=00, flags=00, type=00, size=00)");
  EXPECT_EQ(Link().com_buf_len, 0u);
}

TEST_F(LinkFramesTest, HostileAnswersNeverWriteOutOfBounds) {
  // A reading for an input beyond the table, a too-short reading, an
  // oversized answer, and more memory data than the answer area holds.
  Deliver(Wire(0xB0, 2, 0, 0, {200, 1, 1}));
  Deliver(Wire(0xB0, 2, 0, 0, {3}));
  Deliver(Wire(0xD0, 2, 0, 0, {9, 1}));
  Link().DioReadings[1] = 0xFF;
  Deliver(Wire(0xD0, 2, 0, 0, {1}));  // a digital reading without its level
  EXPECT_EQ(Link().DioReadings[1], 0xFF);
  ClearReply();
  Deliver(Wire(0xF0, 2, 0x0D, 0, std::vector<uint8_t>(200, 7)));
  EXPECT_FALSE(ReplyIs(0xF0, 2, 0x0D));
  Link().MemSize = 0;
  for (int i = 0; i < 130; ++i) Deliver(Wire(0xE0, 2, 0, 0, std::vector<uint8_t>(64, 1)));
  EXPECT_LE(Link().MemSize, static_cast<int32_t>(kMemDataSize));
  EXPECT_EQ(Link().MemStatus, kMemRefused);
  EXPECT_EQ(Link().AdcReadings[3], 0);
}

}  // namespace
}  // namespace orv::test
