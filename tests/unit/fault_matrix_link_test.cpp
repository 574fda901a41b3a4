// Fault matrix of the link and channel operations: open (named port and the
// full discovery walk), connect and disconnect, message transmit (raw CAN,
// a segmented ISO 15765 message, a long K-line message, a blocking write)
// and message receive. What the adapter received must be the operation's
// frames in order, a prefix when the operation failed, never a frame twice
// or one it did not build; what a read returns must be exactly what the
// adapter sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/link_state.h"
#include "passthru/channel_table.h"
#include "tests/support/fault_matrix.h"

namespace orv::test {
namespace {

constexpr uint8_t kCanDev = 0x10;
constexpr uint8_t kIsoDev = 0x20;

std::vector<std::string> Described(const std::vector<emu::Frame>& frames) {
  std::vector<std::string> out;
  for (const emu::Frame& f : frames) out.push_back(emu::describe(f));
  return out;
}

// The frames the adapter received, described, except the version requests
// of a blocking write.
std::vector<std::string> ReceivedBusFrames(const FaultWorld& world) {
  std::vector<emu::Frame> frames = world.adapter.received_frames();
  std::erase_if(frames, [](const emu::Frame& f) { return f.dev == 0xF0; });
  return Described(frames);
}

void ExpectPrefixOf(const std::vector<std::string>& got, const std::vector<std::string>& all,
                    bool whole) {
  ASSERT_LE(got.size(), all.size()) << "more frames reached the adapter than were sent";
  EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()))
      << "the adapter received frames the operation did not build, or twice";
  if (whole) {
    EXPECT_EQ(got.size(), all.size()) << "success, but frames are missing";
  }
}

TEST(FaultMatrixLink, OpenOnANamedPort) {
  RunFaultMatrix(
      [](FaultWorld&) {}, [](FaultWorld& w) { return PassThruOpen("COM7", &w.device_id); },
      [](const FaultRun& run) {
        EXPECT_TRUE(run.status == 0 || run.status == ERR_DEVICE_NOT_CONNECTED) << run.status;
        // Found, the link may still be closed by a failed write after the
        // version answer: the next send reopens it.
        if (run.status == 0) {
          EXPECT_EQ(run.world.device_id, 7u);
          EXPECT_EQ(Link().CommPortNum, 7u);
        } else {
          EXPECT_EQ(Link().hCommPort, -1);
          EXPECT_EQ(run.world.device_id, 0u);
        }
      });
}

TEST(FaultMatrixLink, DiscoveryWalkOverAThousandPorts) {
  RunFaultMatrix(
      [](FaultWorld&) {}, [](FaultWorld& w) { return PassThruOpen(nullptr, &w.device_id); },
      [](const FaultRun& run) {
        EXPECT_TRUE(run.status == 0 || run.status == ERR_DEVICE_NOT_CONNECTED) << run.status;
        if (run.status == 0) {
          EXPECT_EQ(Link().CommPortNum, 7u);
        } else {
          EXPECT_EQ(Link().CommPortNum, 0u);
          EXPECT_EQ(Link().hCommPort, -1);
        }
      },
      3000);
}

// `dev` is the channel's device, `setup_dev` the one that takes its setup.
void ConnectMatrix(uint32_t protocol, uint8_t dev, uint8_t setup_dev) {
  RunFaultMatrix([](FaultWorld& w) { w.OpenLink(); },
                 [protocol](FaultWorld& w) {
                   uint32_t channel = 0;
                   return PassThruConnect(w.device_id, protocol, 0, 500000, &channel);
                 },
                 [protocol, dev, setup_dev](const FaultRun& run) {
                   ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruConnect: JmsgSendCmd"});
                   if (run.status == 0) {
                     EXPECT_TRUE(ChannelOpen(protocol));
                     EXPECT_TRUE(run.world.bus.device(dev).connected)
                         << "success, but the adapter never connected";
                     EXPECT_GE(run.world.bus.device(setup_dev).setups, 1u)
                         << "success, but no setup record arrived";
                   } else {
                     EXPECT_FALSE(ChannelOpen(protocol));
                   }
                 });
}

TEST(FaultMatrixLink, ConnectCan) {
  ConnectMatrix(CAN, kCanDev, kCanDev);
}
TEST(FaultMatrixLink, ConnectIso15765) {
  ConnectMatrix(ISO15765, kIsoDev, kCanDev);
}
TEST(FaultMatrixLink, ConnectKLine) {
  ConnectMatrix(ISO9141, 0x90, 0x90);
}

TEST(FaultMatrixLink, Disconnect) {
  RunFaultMatrix(
      [](FaultWorld& w) {
        w.OpenLink();
        w.Connect(CAN);
      },
      [](FaultWorld&) { return PassThruDisconnect(CAN); },
      [](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruDisconnect: JmsgSendCmd"});
        EXPECT_FALSE(ChannelOpen(CAN));
        if (run.status == 0) {
          EXPECT_FALSE(run.world.bus.device(kCanDev).connected);
        }
      });
}

// Transmit: the frames a clean run delivers are the reference.
struct TransmitCase {
  uint32_t protocol;
  std::vector<PASSTHRU_MSG> msgs;
};

std::vector<std::string> CleanTransmit(const TransmitCase& c) {
  FaultWorld world;
  world.OpenLink();
  world.Connect(c.protocol);
  std::vector<PASSTHRU_MSG> msgs = c.msgs;
  uint32_t count = static_cast<uint32_t>(msgs.size());
  EXPECT_EQ(PassThruWriteMsgs(c.protocol, msgs.data(), &count, 0), 0);
  return ReceivedBusFrames(world);
}

void TransmitMatrix(const TransmitCase& c) {
  const std::vector<std::string> reference = CleanTransmit(c);
  ASSERT_FALSE(reference.empty());
  RunFaultMatrix(
      [&c](FaultWorld& w) {
        w.OpenLink();
        w.Connect(c.protocol);
      },
      [&c](FaultWorld&) {
        std::vector<PASSTHRU_MSG> msgs = c.msgs;
        uint32_t count = static_cast<uint32_t>(msgs.size());
        const int32_t status = PassThruWriteMsgs(c.protocol, msgs.data(), &count, 0);
        EXPECT_LE(count, msgs.size());
        return status;
      },
      [&reference](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED, ERR_TIMEOUT},
                           {"JmsgSendMsgs com_write", "PassThruWriteMsgs", "JmsgReceiveMsgs"});
        ExpectPrefixOf(ReceivedBusFrames(run.world), reference, run.status == 0);
      });
}

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

PASSTHRU_MSG MsgWith(uint32_t protocol, std::vector<uint8_t> head, size_t payload,
                     uint32_t tx_flags = 0) {
  PASSTHRU_MSG m = MakeMsg(protocol, {}, tx_flags);
  const std::vector<uint8_t> tail = Counting(payload);
  std::copy(head.begin(), head.end(), m.Data);
  std::copy(tail.begin(), tail.end(), m.Data + head.size());
  m.DataSize = static_cast<uint32_t>(head.size() + payload);
  return m;
}

TEST(FaultMatrixLink, TransmitRawCan) {
  TransmitMatrix({CAN,
                  {MakeMsg(CAN, {0, 0, 0x07, 0xE0, 0x02, 0x01, 0x00}),
                   MakeMsg(CAN, {0x18, 0xDA, 0x10, 0xF1, 0x02, 0x3E, 0x00}, CAN_29BIT_ID)}});
}

TEST(FaultMatrixLink, TransmitSegmentedIso15765) {
  TransmitMatrix({ISO15765, {MsgWith(ISO15765, {0, 0, 0x07, 0xE0}, 300, ISO15765_FRAME_PAD)}});
}

TEST(FaultMatrixLink, TransmitLongKLineMessage) {
  TransmitMatrix({ISO9141, {MsgWith(ISO9141, {0x68, 0x6A, 0xF1}, 150)}});
}

TEST(FaultMatrixLink, BlockingTransmitWaitsForTheAdapter) {
  TransmitMatrix({CAN, {MakeMsg(CAN, {0, 0, 0x07, 0xE0, 0x01, 0x0D}, 0x02000000)}});
}

TEST(FaultMatrixLink, ReceiveDeliversExactlyWhatTheAdapterSent) {
  const std::vector<std::vector<uint8_t>> sent = {
      {0x07, 0xE8, 0x03, 0x41, 0x0D, 0x37}, {0x07, 0xE8, 0x02, 0x41, 0x00}, {0x07, 0xE9, 0x01}};
  RunFaultMatrix(
      [&sent](FaultWorld& w) {
        w.OpenLink();
        w.Connect(CAN);
        PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0, 0});
        PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0, 0});
        uint32_t id = 0;
        ASSERT_EQ(PassThruStartMsgFilter(CAN, PASS_FILTER, &mask, &pattern, nullptr, &id), 0);
        for (const auto& data : sent) w.bus.send_bus_frame(kCanDev, data);
        w.ClearLogs();
      },
      [&sent](FaultWorld&) {
        std::vector<PASSTHRU_MSG> msgs(sent.size());
        uint32_t count = static_cast<uint32_t>(msgs.size());
        const int32_t status = PassThruReadMsgs(CAN, msgs.data(), &count, 20);
        EXPECT_LE(count, sent.size());
        for (uint32_t i = 0; i < count; ++i) {
          std::vector<uint8_t> expected = {0, 0};
          expected.insert(expected.end(), sent[i].begin(), sent[i].end());
          const std::vector<uint8_t> got(msgs[i].Data, msgs[i].Data + msgs[i].DataSize);
          EXPECT_EQ(got, expected) << "message " << i << " is not what the adapter sent";
        }
        if (status == 0) {
          EXPECT_EQ(count, sent.size());
        }
        return status;
      },
      [](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_TIMEOUT, ERR_BUFFER_EMPTY},
                           {"JmsgReceiveMsgs com_read returned"});
      });
}

}  // namespace
}  // namespace orv::test
