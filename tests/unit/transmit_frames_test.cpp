// PassThruWriteMsgs: the transmit frames byte for byte, batching, time
// budget, refusals and the blocking wait.
#include "link/jmsg.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"
#include "passthru/tx_frames.h"
#include "tests/unit/txrx_test_support.h"

namespace orv::test {
namespace {

class Transmit : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    OpenLink();
  }
  int32_t Write(uint32_t channel, std::vector<PASSTHRU_MSG> msgs, uint32_t timeout = 0,
                uint32_t* count = nullptr) {
    uint32_t n = static_cast<uint32_t>(msgs.size());
    const int32_t rc = PassThruWriteMsgs(channel, msgs.data(), &n, timeout);
    if (count) *count = n;
    return rc;
  }
  uint32_t TimeLimit(const emu::Frame& f) const {
    return f.timestamp[0] | f.timestamp[1] << 8 | f.timestamp[2] << 16 |
           static_cast<uint32_t>(f.timestamp[3]) << 24;
  }
};

// The frames of one write on each protocol, "dev op type flags: data".
TEST_F(Transmit, FramesOfEachProtocol) {
  const std::string can = "10 03 05 ", iso = "20 03 05 ", kline = "90 03 05 ";
  const std::string resume = "20 03 00 20: ";
  const struct {
    uint32_t protocol;
    std::vector<PASSTHRU_MSG> msgs;
    std::vector<std::string> frames;
  } cases[] = {
      {CAN,
       {CanMsg(CAN, 0x7E0, {0x02, 0x01, 0x00}), CanMsg(CAN, 0x18DA10F1, {0xAA}, 0x00180100)},
       {can + "00: 07 E0 02 01 00", can + "13: 18 DA 10 F1 AA"}},
      // Single frames: unpadded, padded, with address byte 9 but no payload
      // byte (PCI 0, padded), and with a 29-bit identifier.
      {ISO15765,
       {CanMsg(ISO15765, 0x7E0, {1, 2, 3}), CanMsg(ISO15765, 0x7E0, {1, 2, 3}, ISO15765_FRAME_PAD),
        CanMsg(ISO15765, 0x7E0, {9}, ISO15765_ADDR_TYPE | ISO15765_FRAME_PAD),
        CanMsg(ISO15765, 0x18DA10F1, {0x3E}, CAN_29BIT_ID)},
       {iso + "00: 07 E0 03 01 02 03", iso + "00: 07 E0 03 01 02 03 CC CC CC CC",
        iso + "20: 07 E0 09 00 CC CC CC CC CC CC", iso + "10: 18 DA 10 F1 01 3E"}},
      // Segmented: flag 80 on the last consecutive frame, then the resume frame.
      {ISO15765,
       {CanMsg(ISO15765, 0x7E0, Count(20, 1))},
       {iso + "00: 07 E0 10 14 01 02 03 04 05 06", iso + "00: 07 E0 21 07 08 09 0A 0B 0C 0D",
        iso + "80: 07 E0 22 0E 0F 10 11 12 13 14", resume}},
      // DS 12 with L 8 is segmented: 6 bytes in the first frame, 2 after.
      {ISO15765,
       {CanMsg(ISO15765, 0x7E0, Count(8, 1), ISO15765_FRAME_PAD)},
       {iso + "00: 07 E0 10 08 01 02 03 04 05 06", iso + "80: 07 E0 21 07 08 CC CC CC CC CC",
        resume}},
      // The K-line in pieces of 68 bytes, flag 20 on all but the last.
      {ISO9141,
       {MakeMsg(ISO9141, Count(150)), MakeMsg(ISO9141, Count(68))},
       {kline + "20: " + Hex(Count(68)), kline + "20: " + Hex(Count(68, 68)),
        kline + "00: " + Hex(Count(14, 136)), kline + "00: " + Hex(Count(68))}},
  };
  for (const auto& c : cases) {
    if (!ChannelOpen(c.protocol)) Connect(c.protocol);
    ClearLogs();
    ASSERT_EQ(Write(c.protocol, c.msgs), 0);
    std::vector<std::string> frames;
    for (const emu::Frame& f : Sent()) {
      frames.push_back(Hex({f.dev, f.op, f.type, f.flags}) + ": " + Hex(DataOf(f)));
    }
    EXPECT_EQ(frames, c.frames);
  }
}

TEST_F(Transmit, CanFdDataLengthFromExtraDataIndexStaysInTheSetupRecord) {
  const uint32_t ch = Connect(ISO15765);
  PASSTHRU_MSG m = CanMsg(ISO15765, 0x7E0, Count(100), 0x10100000 | ISO15765_FRAME_PAD);
  m.ExtraDataIndex = 64;
  ASSERT_EQ(Write(ch, {m}), 0);
  EXPECT_EQ(State().channels.CANSetup.iso15765_tx_data_length, 64);
  const auto f = Sent();
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].size, 66);  // L + 2 identifier bytes
  EXPECT_EQ(f[0].flags, 0x01);
  EXPECT_EQ(f[1].data[2], 0x21);
  // 100 - 62 = 38 bytes + PCI = 39, padded to 48.
  EXPECT_EQ(f[1].size, 2 + 48);
  EXPECT_EQ(f[1].data[2 + 1 + 38], 0xCC);

  // A 13-byte frame with L 64 is padded to 16; without the FD flag L is 8.
  ClearLogs();
  ASSERT_EQ(Write(ch, {CanMsg(ISO15765, 0x7E0, Count(11), 0x00100000 | ISO15765_FRAME_PAD)}), 0);
  const auto fd = Sent();
  EXPECT_EQ(fd[0].size, 2 + 16);
  EXPECT_BYTES(std::vector<uint8_t>(fd[0].data.begin() + 2, fd[0].data.begin() + 4), 0x00, 11);
  ASSERT_EQ(Write(ch, {CanMsg(ISO15765, 0x7E0, {1})}), 0);
  EXPECT_EQ(State().channels.CANSetup.iso15765_tx_data_length, 8);
}

// The consecutive frames between the first and the last are built from a
// header worked out once per message: byte for byte what the frame builder
// makes one call at a time, for each framing, also where a 16384-byte
// batch ends inside a message.
TEST_F(Transmit, MiddleFramesAreWhatTheFrameBuilderMakes) {
  const uint32_t ch = Connect(ISO15765);
  const struct {
    uint32_t flags;
    uint32_t length;
    size_t payload;
  } cases[] = {{0, 8, 4095},
               {CAN_29BIT_ID | ISO15765_ADDR_TYPE | ISO15765_FRAME_PAD, 8, 301},
               {0x10100000 | ISO15765_FRAME_PAD, 64, 4000},
               {0x10180000 | ISO15765_ADDR_TYPE | CAN_29BIT_ID, 12, 2500}};
  for (const auto& c : cases) {
    PASSTHRU_MSG m = CanMsg(ISO15765, 0x18DA10F1, Count(c.payload, 1), c.flags);
    m.ExtraDataIndex = c.length;
    std::vector<uint8_t> expected;
    for (int copy = 0; copy < 3; ++copy) {
      TxCursor cursor;
      uint8_t frame[kTxFrameRoom];
      for (bool done = false; !done;) {
        done = BuildIso15765Frame(m, kDevIso15765_1, {c.length, 0xCC}, 1000, cursor, frame);
        expected.insert(expected.end(), frame, frame + TxWireSize(frame));
      }
      BuildResumeFrame(kDevIso15765_1, frame);
      expected.insert(expected.end(), frame, frame + kJmsgHeaderSize);
    }
    ClearLogs();
    ASSERT_EQ(Write(ch, {m, m, m}, 3500), 0);
    std::vector<uint8_t> written;
    for (const auto& w : platform_.port(kAdapterPort).writes) {
      written.insert(written.end(), w.begin(), w.end());
    }
    EXPECT_TRUE(written == expected) << "TxFlags " << std::hex << c.flags;
  }
}

TEST_F(Transmit, TimeBudgetIsSharedByTheMessages) {
  const uint32_t ch = Connect(CAN);
  ASSERT_EQ(Write(ch, {CanMsg(CAN, 1, {1}), CanMsg(CAN, 2, {2}), CanMsg(CAN, 3, {3})}, 0), 0);
  for (const auto& f : Sent()) EXPECT_EQ(TimeLimit(f), 333u);
  ClearLogs();
  ASSERT_EQ(Write(ch, {CanMsg(CAN, 1, {1})}, 10500), 0);
  EXPECT_EQ(TimeLimit(Sent()[0]), 10000u);
  // A segmented message gets at least a second, whatever its share.
  const uint32_t iso = Connect(ISO15765);
  const PASSTHRU_MSG single = CanMsg(ISO15765, 0x7E0, {1});
  ASSERT_EQ(Write(iso, {CanMsg(ISO15765, 0x7E0, Count(20)), single, single}, 0), 0);
  EXPECT_EQ(TimeLimit(Sent()[0]), 1000u);
  EXPECT_EQ(TimeLimit(Sent().back()), 333u);
}

TEST_F(Transmit, BatchesSplitAt1000FramesAndAt16384Bytes) {
  const uint32_t ch = Connect(CAN);
  std::vector<PASSTHRU_MSG> msgs(1001, CanMsg(CAN, 0x100, {}));
  uint32_t n = 0;
  ASSERT_EQ(Write(ch, msgs, 0, &n), 0);
  EXPECT_EQ(n, 1001u);
  auto& writes = platform_.port(kAdapterPort).writes;
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].size(), 1000u * 12u);
  EXPECT_EQ(writes[1].size(), 12u);

  ClearLogs();
  std::vector<PASSTHRU_MSG> big(300, CanMsg(CAN, 0x100, Count(64), CAN_29BIT_ID));
  ASSERT_EQ(Write(ch, big, 0, &n), 0);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].size(), 210u * 78u);  // 16380 bytes: one more would pass 16384
  EXPECT_EQ(writes[1].size(), 90u * 78u);
}

TEST_F(Transmit, MessagesTheFramesCannotCarryAreRefusedBeforeTheirFramesGoOut) {
  const uint32_t can = Connect(CAN);
  uint32_t n = 0;
  PASSTHRU_MSG short_can = MakeMsg(CAN, {0, 0, 7});
  EXPECT_EQ(Write(can, {CanMsg(CAN, 1, {1}), short_can, CanMsg(CAN, 2, {2})}, 0, &n),
            ERR_INVALID_MSG);
  EXPECT_EQ(n, 1u);
  ASSERT_EQ(Sent().size(), 1u);  // the message before it still went out
  EXPECT_BYTES(DataOf(Sent()[0]), 0x00, 0x01, 0x01);
  EXPECT_EQ(Write(can, {CanMsg(CAN, 1, Count(67))}, 0, &n), ERR_INVALID_MSG);  // 69 on the wire
  EXPECT_EQ(Write(can, {CanMsg(CAN, 1, Count(66))}, 0, &n), 0);                // 68 on the wire
  PASSTHRU_MSG huge = CanMsg(CAN, 1, {});
  huge.DataSize = 4129;
  EXPECT_EQ(Write(can, {huge}, 0, &n), ERR_INVALID_MSG);

  const uint32_t iso = Connect(ISO15765);
  EXPECT_EQ(Write(iso, {CanMsg(ISO15765, 1, Count(4096))}, 0, &n), ERR_INVALID_MSG);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Write(iso, {MakeMsg(ISO15765, {0, 0, 7, 0xE0}, ISO15765_ADDR_TYPE)}, 0, &n),
            ERR_INVALID_MSG);
  PASSTHRU_MSG bad_length = CanMsg(ISO15765, 1, Count(20), 0x10100000);
  bad_length.ExtraDataIndex = 13;
  EXPECT_EQ(Write(iso, {bad_length}, 0, &n), ERR_INVALID_MSG);
  EXPECT_EQ(State().channels.CANSetup.iso15765_tx_data_length, 8);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Write(iso, {CanMsg(ISO15765, 1, Count(4095))}, 5000, &n), 0);
}

TEST_F(Transmit, EntryChecksAndTheEmptyCall) {
  uint32_t n = 1;
  PASSTHRU_MSG m = CanMsg(CAN, 1, {1});
  EXPECT_EQ(PassThruWriteMsgs(CAN, &m, &n, 0), ERR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(LastErrorText(), "PassThruWriteMsgs invalid ChannelID");
  const uint32_t ch = Connect(CAN);
  EXPECT_EQ(PassThruWriteMsgs(ch, nullptr, &n, 0), ERR_NULL_PARAMETER);
  n = 0;
  EXPECT_EQ(PassThruWriteMsgs(ch, &m, &n, 0), 0);
  EXPECT_TRUE(Sent().empty());
  n = 1;
  EXPECT_EQ(PassThruWriteMsgs(37, &m, &n, 0), ERR_INVALID_CHANNEL_ID);  // bit 5 is open
  EXPECT_EQ(n, 0u);
  m.ProtocolID = ISO15765;  // a mismatch is only logged
  n = 1;
  EXPECT_EQ(PassThruWriteMsgs(ch, &m, &n, 0), 0);
  EXPECT_EQ(LastErrorText(), "PassThruWriteMsgs protocol (6) mismatch for channel ID (5)");
}

TEST_F(Transmit, BlockingWriteWaitsForTheVersionAnswer) {
  const uint32_t ch = Connect(CAN);
  EXPECT_EQ(Write(ch, {CanMsg(CAN, 1, {1}, 0x02000000)}), 0);
  const auto f = Sent();
  ASSERT_EQ(f.size(), 2u);  // the transmit frame, then the version request
  EXPECT_EQ(f[1], emu::Frame::make(0xF0, 2, 0x0D));
  adapter_.system().set_version_size(0);  // no answer any more
  const uint32_t before = platform_.now();
  EXPECT_EQ(Write(ch, {CanMsg(CAN, 1, {1}, 0x02000000)}, 1000), ERR_TIMEOUT);
  EXPECT_GE(platform_.now() - before, 15000u);
}

}  // namespace
}  // namespace orv::test
