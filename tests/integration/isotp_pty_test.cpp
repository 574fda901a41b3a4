// ISO 15765 end to end over a pseudo-terminal: the library with its POSIX
// backend talks to orvanta-adapter-sim, whose emulated ECU answers on
// 0x7E8. A 4095-byte answer arrives intact, a 4095-byte request arrives
// intact at the ECU (it answers with the length and byte sum it received),
// also with a 64 kB file over a line paced at 115200 baud, and the VIN demo
// program prints the VIN.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "emulator/ecu_responder.h"
#include "orvanta_j2534.h"
#include "passthru/library_state.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/library_fixture.h"
#include "tests/support/sim_process.h"

namespace orv::test {
namespace {

class IsoTpPtyTest : public PtyLibraryTest {
 protected:
  static PASSTHRU_MSG IsoMsg(uint32_t id, const std::vector<uint8_t>& payload) {
    PASSTHRU_MSG m{};
    m.ProtocolID = ISO15765;
    m.TxFlags = ISO15765_FRAME_PAD;
    m.Data[2] = static_cast<uint8_t>(id >> 8);
    m.Data[3] = static_cast<uint8_t>(id);
    if (!payload.empty()) std::memcpy(m.Data + 4, payload.data(), payload.size());
    m.DataSize = static_cast<uint32_t>(4 + payload.size());
    return m;
  }

  // Opens, connects ISO 15765 and installs the 0x7E8/0x7E0 flow filter.
  uint32_t OpenIsoChannel() {
    uint32_t device = 0;
    EXPECT_EQ(PassThruOpen(nullptr, &device), 0);
    uint32_t channel = 0;
    EXPECT_EQ(PassThruConnect(device, ISO15765, 0, 500000, &channel), 0);
    PASSTHRU_MSG mask = IsoMsg(0x7FF, {});
    PASSTHRU_MSG pattern = IsoMsg(0x7E8, {});
    PASSTHRU_MSG flow = IsoMsg(0x7E0, {});
    uint32_t filter = 0;
    EXPECT_EQ(PassThruStartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter),
              0);
    return channel;
  }

  // The next whole message (first-frame indications skipped), or DataSize 0.
  PASSTHRU_MSG ReadMessage(uint32_t channel) {
    PASSTHRU_MSG m{};
    for (int i = 0; i < 5; ++i) {
      uint32_t n = 1;
      PassThruReadMsgs(channel, &m, &n, 3000);
      if (n == 1 && !(m.RxStatus & START_OF_MESSAGE)) return m;
    }
    m.DataSize = 0;
    return m;
  }

  // Sends a 4095-byte request; the ECU answers with the length and byte
  // sum it received.
  void ExpectLongRequestArrivesIntact(uint32_t channel, const SimProcess& sim) {
    std::vector<uint8_t> payload{0x36, 0x01};
    for (size_t i = 2; i < 4095; ++i) payload.push_back(static_cast<uint8_t>(i * 11 + 5));
    uint32_t n = 1;
    PASSTHRU_MSG request = IsoMsg(0x7E0, payload);
    ASSERT_EQ(PassThruWriteMsgs(channel, &request, &n, 5000), 0);
    EXPECT_EQ(n, 1u);
    const PASSTHRU_MSG answer = ReadMessage(channel);
    const uint16_t sum = emu::byte_sum16(payload);
    const std::vector<uint8_t> expected{
        0x76, 0x01, 0x0F, 0xFF, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
    ASSERT_EQ(answer.DataSize, 10u) << sim.log_text();
    EXPECT_EQ(std::vector<uint8_t>(answer.Data + 4, answer.Data + 10), expected);
  }
};

TEST_F(IsoTpPtyTest, AnswerOf4095BytesArrivesIntact) {
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const uint32_t channel = OpenIsoChannel();
  uint32_t n = 1;
  PASSTHRU_MSG request = IsoMsg(0x7E0, {0x22, 0xFF, 0x00});
  ASSERT_EQ(PassThruWriteMsgs(channel, &request, &n, 1000), 0);
  const PASSTHRU_MSG answer = ReadMessage(channel);
  ASSERT_EQ(answer.DataSize, 4u + 4095u) << sim.log_text();
  const std::vector<uint8_t> expected = emu::long_answer_bytes(4095);
  EXPECT_EQ(std::vector<uint8_t>(answer.Data + 4, answer.Data + answer.DataSize), expected);
  EXPECT_EQ(answer.RxStatus, 0u);
}

TEST_F(IsoTpPtyTest, RequestOf4095BytesArrivesIntactAtTheEcu) {
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  ExpectLongRequestArrivesIntact(OpenIsoChannel(), sim);
}

// A line paced like a 115200-baud UART: the 11.7 kB of the long request
// and the 64 kB file take about as long as the port's 1 s write limit.
TEST_F(IsoTpPtyTest, LongRequestAnd64kBFileGetThroughAt115200Baud) {
  ScratchDir scratch("baud");
  const std::string store = scratch.path().string() + "/store";
  SimProcess sim({"--baud", "115200", "--store", store});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  ExpectLongRequestArrivesIntact(OpenIsoChannel(), sim);
  std::vector<char> contents(64 << 10);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7);
  const std::string host = sim.work_dir() + "/file64k.bin";
  std::ofstream(host, std::ios::binary).write(contents.data(), static_cast<long>(contents.size()));
  std::string host_name = host, stored = "FILE64K.BIN";
  ASSERT_EQ(PassThruWriteFile(host_name.data(), stored.data(), 0), 0) << sim.log_text();
  std::ifstream in(store + "/FILE64K.BIN", std::ios::binary);
  EXPECT_EQ(std::vector<char>(std::istreambuf_iterator<char>(in), {}), contents);
}

TEST_F(IsoTpPtyTest, VinDemoPrintsTheVin) {
  SimProcess sim;
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const std::string command = std::string(ORV_BINARY_DIR) + "/examples/vin_reader COM7 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  std::array<char, 256> buffer{};
  while (fgets(buffer.data(), static_cast<int>(buffer.size()), pipe)) output += buffer.data();
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << output << sim.log_text();
  EXPECT_EQ(output, std::string("VIN: ") + emu::kDefaultVin + "\n");
}

}  // namespace
}  // namespace orv::test
