// Regression tests for the faults the fuzzers and the fault matrix found:
// each case is the smallest input that showed the fault, with the sound
// behaviour it now has.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/link_state.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"
#include "tests/support/messages.h"

namespace orv::test {
namespace {

class FaultRegressionTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    device_ = OpenLink();
  }
  uint32_t device_ = 0;
};

// fuzz_transmit: an ISO 15765 periodic message whose DataSize lies far
// beyond the Data field wrapped the frame-size sum round to a small value
// and copied gigabytes onto the stack.
TEST_F(FaultRegressionTest, PeriodicIso15765WithDataSizeBeyondTheRecordIsRefused) {
  Connect(ISO15765);
  PASSTHRU_MSG msg{};
  msg.ProtocolID = ISO15765;
  msg.Data[2] = 0x07;
  msg.Data[3] = 0xE0;
  for (const uint32_t size : {0xFFFFFFFEu, 0xFFFFFFFBu, PASSTHRU_MSG_DATA_SIZE + 1}) {
    msg.DataSize = size;
    uint32_t id = 77;
    EXPECT_EQ(PassThruStartPeriodicMsg(ISO15765, &msg, &id, 100), ERR_INVALID_MSG) << size;
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(PassThruUpdatePeriodicMsg(ISO15765, &msg, 0, 100), ERR_INVALID_MSG) << size;
  }
  EXPECT_TRUE(Sent().empty());
}

// fuzz_services: a clock answer shorter than the 12-byte record was copied
// as if whole, handing the caller bytes the adapter never sent.
TEST_F(FaultRegressionTest, ShortClockAnswerIsRefused) {
  const uint8_t three[] = {0x60, 0x89, 0x25};
  adapter_.replace_answer({0xF0, 2, 0x0E}, {emu::Frame::make(0xF0, 2, 0x0E, 0, three)});
  RTC_DAY_TIME rtc, before;
  std::memset(&before, 0xAA, sizeof before);
  rtc = before;
  EXPECT_EQ(PassThruReadRTC(&rtc), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruReadRTC: Error");
  EXPECT_EQ(0, std::memcmp(&rtc, &before, sizeof rtc));  // untouched
}

// Fault matrix: with the port closed after a failed reopen every read
// fails at once, and a caller waiting for an answer spun through its whole
// time limit without a pause (on the virtual clock it never returned).
// Each failed pass now waits out the driver's read limit (and tries a
// reopen now and then, which fails here).
TEST_F(FaultRegressionTest, WaitingOnAClosedPortSleepsInsteadOfSpinning) {
  const uint32_t channel = Connect(CAN);
  com_close(&Link().hCommPort);
  Link().hCommPort = -1;
  faults_.fail(platform::Call::kOpen, 1, platform::kFromThenOn);
  const uint64_t slept_before = platform_.slept_ms();
  PASSTHRU_MSG msg{};
  uint32_t count = 1;
  EXPECT_EQ(PassThruReadMsgs(channel, &msg, &count, 100), ERR_BUFFER_EMPTY);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(platform_.slept_ms() - slept_before, 100u);
  EXPECT_EQ(LastErrorText(), "JmsgReceiveMsgs com_read returned -32749");
}

// An adapter unplugged and plugged in again has lost its channels, filters
// and periodic messages. A write failed while it was away; once it is back
// the library sets it up again before the next frame, so a write that
// returns 0 goes to a channel the adapter has.
TEST_F(FaultRegressionTest, RepluggedAdapterGetsItsChannelsBackBeforeTheNextWrite) {
  const uint32_t channel = Connect(CAN);
  PASSTHRU_MSG mask = MakeMsg(CAN, {0xFF, 0xFF, 0xFF, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
  uint32_t filter = 0;
  ASSERT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &filter), 0);
  PASSTHRU_MSG tester = MakeMsg(CAN, {0, 0, 0x07, 0xDF, 0x02, 0x3E, 0x00});
  uint32_t periodic = 0;
  ASSERT_EQ(PassThruStartPeriodicMsg(channel, &tester, &periodic, 1000), 0);

  platform_.remove_port(kAdapterPort);
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 0x07, 0xE0, 0x02, 0x01, 0x00});
  uint32_t count = 1;
  EXPECT_EQ(PassThruWriteMsgs(channel, &msg, &count, 0), ERR_FAILED);

  emu::Adapter replugged;
  platform_.attach_adapter(kAdapterPort, replugged);
  count = 1;
  EXPECT_EQ(PassThruWriteMsgs(channel, &msg, &count, 0), 0) << LastErrorText();
  std::vector<std::pair<int, int>> got;  // operation and type of each frame for the CAN device
  for (const emu::Frame& f : replugged.received_frames()) {
    if (f.dev == 0x10) got.emplace_back(f.op, f.type);
  }
  platform_.remove_port(kAdapterPort);  // before `replugged` goes
  // Setup record, connect, the filter's three frames, the periodic message,
  // then the message itself.
  EXPECT_EQ(got, (std::vector<std::pair<int, int>>{
                     {3, 7}, {0, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}}));
}

}  // namespace
}  // namespace orv::test
