// Discovery of the adapter, the registry switches, the "not detected"
// notice, PassThruOpen/PassThruClose and the debug trace.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

class DiscoveryTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    platform_.add_silent_port(8);
    platform_.add_silent_port(9);
  }
  void SetAdapterKey(emu::RegistrySubkey key) {
    std::vector<emu::RegistrySubkey> keys;
    keys.push_back(emu::RegistrySubkey{"Other", {}}.text("Name", "Someone Else"));
    keys.push_back(std::move(key));
    platform_.set_registry(std::move(keys));
  }
  std::vector<uint32_t> Attempts() const { return platform_.open_attempts(); }
  // Opens the link with the registry's Debug switch on and a listener waiting.
  void OpenWithDebugSwitch() {
    SetAdapterKey(emu::RegistrySubkey{"Orvanta", {}}.text("Name", "Orvanta-IOT").text("Debug", ""));
    platform_.set_trace_listener(true);
    OpenLink();
  }
};

TEST_F(DiscoveryTest, SearchWalksDownFromPortThousandAndKeepsTheFirstAdapter) {
  adapter_.system().set_serial_number(123456);
  uint32_t id = 0;
  ASSERT_EQ(PassThruOpen(nullptr, &id), 0);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(Link().CommPortNum, 7u);
  EXPECT_EQ(Link().SerialNumber, 123456u);
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 994u);
  EXPECT_EQ(attempts.front(), 1000u);
  EXPECT_EQ(attempts.back(), 7u);
  // The silent ports were opened, probed and closed again.
  EXPECT_EQ(platform_.port(8).opens, 1u);
  EXPECT_EQ(platform_.port(8).handle, -1);
  // The probe: stop command, version request, serial-number request.
  const auto frames = Sent();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], emu::Frame::make(0xF0, 1, 0));
  EXPECT_EQ(frames[1], emu::Frame::make(0xF0, 2, 0x0D));
  EXPECT_EQ(frames[2], emu::Frame::make(0xF0, 2, 8));

  // A second open returns at once with the same ID.
  ClearLogs();
  const uint32_t before = platform_.now();
  uint32_t again = 0;
  ASSERT_EQ(PassThruOpen(nullptr, &again), 0);
  EXPECT_EQ(again, 7u);
  EXPECT_TRUE(Attempts().empty());
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(platform_.now(), before);
}

TEST_F(DiscoveryTest, NamedPortIsTheOnlyOneProbedAndStaysInForce) {
  uint32_t id = 99;
  EXPECT_EQ(PassThruOpen("COM5", &id), 8);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(Attempts(), std::vector<uint32_t>{5});
  ASSERT_EQ(platform_.message_boxes().size(), 1u);
  EXPECT_EQ(platform_.message_boxes()[0],
            (std::pair<std::string, std::string>{"Orvanta not detected", "ERROR"}));
  ClearLogs();
  EXPECT_EQ(PassThruOpen(nullptr, &id), 8);
  EXPECT_EQ(Attempts(), std::vector<uint32_t>{5});
  EXPECT_EQ(platform_.message_boxes().size(), 1u);  // once per process
}

// A failed open leaves its cause as the last error: why the named port
// could not be opened, a port the search found but could not open, or that
// no adapter answered.
TEST_F(DiscoveryTest, FailedOpenLeavesItsCauseAsTheLastError) {
  platform::SerialHandle held = -1;  // another program holds the adapter's port
  ASSERT_EQ(platform_.serial_open("\\\\.\\COM7", &held), 0);
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "COM7: in use by another program"},
      {"COM7", "COM7: in use by another program"},
      {"COM5", "COM5: no such port"},
      {"COM8", "no adapter answered on COM8"},  // a port that never answers
  };
  uint32_t id = 0;
  for (const auto& [name, text] : cases) {
    EXPECT_EQ(PassThruOpen(name, &id), 8) << name;
    EXPECT_EQ(LastErrorText(), text) << name;
  }
  platform_.remove_port(7);
  EXPECT_EQ(PassThruOpen("COM0", &id), 8);  // no port named: search again
  EXPECT_EQ(LastErrorText(), "no adapter answered on COM1000 to COM1");
}

TEST_F(DiscoveryTest, OtherNameFormsSelectPortsOrTheNetworkAdapter) {
  uint32_t id = 0;
  ASSERT_EQ(PassThruOpen("J2534-2:7", &id), 0);
  EXPECT_EQ(Attempts(), std::vector<uint32_t>{7});
  ASSERT_EQ(PassThruClose(id), 0);
  ClearLogs();
  // "COM" alone (number 0) means every port again.
  Link().UserSpecifiedCommPort = 3;
  ASSERT_EQ(PassThruOpen("COM", &id), 0);
  EXPECT_EQ(Attempts().size(), 994u);
  ASSERT_EQ(PassThruClose(id), 0);
  ClearLogs();
  // A network adapter number turns the search off.
  EXPECT_EQ(PassThruOpen("IOT:0012", &id), 8);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(Link().UserSpecifiedIOTNum, 12u);
  EXPECT_TRUE(Attempts().empty());
}

TEST_F(DiscoveryTest, ProbeNeedsAVersionOfTwoOrFourBytesButNoSerialNumber) {
  uint32_t id = 0;
  adapter_.system().set_version_size(3);
  EXPECT_EQ(PassThruOpen("COM7", &id), 8);
  adapter_.system().set_version_size(0);
  const uint32_t before = platform_.now();
  EXPECT_EQ(PassThruOpen("COM7", &id), 8);
  const uint32_t spent = platform_.now() - before;  // the fixed waits of an unanswered probe
  EXPECT_GE(spent, 500u);
  EXPECT_LE(spent, 510u);

  adapter_.system().set_version_size(4);
  adapter_.system().set_serial_answer(false);
  Link().SerialNumber = 77;
  EXPECT_EQ(PassThruOpen("COM7", &id), 0);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(Link().SerialNumber, 77u);
}

TEST_F(DiscoveryTest, SuppressPopupsInTheRegistryHidesTheNotice) {
  SetAdapterKey(
      emu::RegistrySubkey{"Orvanta", {}}.text("name", "ORVANTA-IOT").text("SuppressPopups", ""));
  uint32_t id = 0;
  EXPECT_EQ(PassThruOpen("COM4", &id), 8);
  EXPECT_TRUE(platform_.message_boxes().empty());
}

TEST_F(DiscoveryTest, RegistryRules) {
  // Only the first adapter key counts; an over-long value counts as missing.
  std::vector<emu::RegistrySubkey> keys;
  keys.push_back(emu::RegistrySubkey{"A", {}}.text("Name", "Orvanta-FD").text("IOT", "0x1F"));
  keys.push_back(emu::RegistrySubkey{"B", {}}.text("Name", "Orvanta-IOT").text("Debug", "1"));
  platform_.set_registry(keys);
  EXPECT_EQ(CheckIOTNumInRegistry(), 31u);
  EXPECT_EQ(AllowDebug(), 0);
  keys[0].text("Debug", std::string(240, 'x'));
  platform_.set_registry(keys);
  EXPECT_EQ(AllowDebug(), 0);
  keys[0].values.back().second.resize(240);
  platform_.set_registry(keys);
  EXPECT_EQ(AllowDebug(), 1);
  // The walk stops at a subkey it cannot open: "B" behind it is not read.
  keys[0].values.clear();
  platform_.set_registry(keys);
  platform_.lock_registry_subkey("A");
  EXPECT_EQ(AllowDebug(), 0);
  platform_.clear_registry();
  EXPECT_EQ(SuppressPopups(), 0);
  EXPECT_EQ(CheckIOTNumInRegistry(), 0u);
}

TEST_F(DiscoveryTest, CloseForgetsThePortAndEveryChannel) {
  uint32_t id = 0;
  ASSERT_EQ(PassThruOpen(nullptr, &id), 0);
  State().channels.ChannelStatus = 0x60;
  EXPECT_EQ(PassThruClose(id), 0);
  EXPECT_EQ(State().channels.ChannelStatus, 0u);
  EXPECT_EQ(Link().hCommPort, -1);
  EXPECT_EQ(Link().CommPortNum, 0u);
  ClearLogs();
  ASSERT_EQ(PassThruOpen(nullptr, &id), 0);  // a new discovery
  EXPECT_EQ(Attempts().size(), 994u);
}

TEST_F(DiscoveryTest, TraceLinesCarryTypePortTickAndText) {
  OpenWithDebugSwitch();
  EXPECT_EQ(platform_.trace_port(), 8609);
  EXPECT_NE(platform_.trace_text().find("D 7 "), std::string::npos);
  EXPECT_NE(platform_.trace_text().find("C 7 "), std::string::npos);
  EXPECT_NE(platform_.trace_text().find(" 00 00 F0 02 00 0D (00000000)\r\n"), std::string::npos);
  platform_.clear_trace();
  platform_.set_tick(5000);
  EXPECT_EQ(PassThruOpen(nullptr, nullptr), 4);
  EXPECT_EQ(platform_.trace_text(), "E 7 5000 PassThruOpen null pointer to device ID\r\n");
}

TEST_F(DiscoveryTest, ListenerThatStopsReadingLosesLinesThenTheConnection) {
  OpenWithDebugSwitch();
  platform_.set_trace_reading(false);
  platform_.set_tick(10000);
  DbgMsg('D', "refused");
  platform_.set_tick(12999);
  DbgMsg('D', "refused");
  EXPECT_TRUE(TraceOn());
  platform_.set_tick(13000);
  DbgMsg('D', "refused");
  EXPECT_FALSE(TraceOn());  // closed after three seconds of refusals
  EXPECT_EQ(Link().TraceDroppedLines, 3u);
  // The next discovery connects anew.
  platform_.set_trace_reading(true);
  ASSERT_EQ(PassThruClose(7), 0);
  OpenLink();
  EXPECT_TRUE(TraceOn());
  EXPECT_EQ(platform_.trace_connects(), 2u);
}

TEST_F(DiscoveryTest, LongTextsAreCutToFitTheirBuffers) {
  StartTrace();
  const std::string long_text(5000, 'x');
  DbgMsg('E', long_text.c_str());
  EXPECT_EQ(std::string(orv::LastErrorText()), long_text.substr(0, 239));
  const std::string line = platform_.trace_text();
  EXPECT_EQ(line.size(), 1023u);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  char caller[80];
  EXPECT_EQ(PassThruGetLastError(caller), 0);
  EXPECT_EQ(std::string(caller), long_text.substr(0, 79));
  EXPECT_EQ(PassThruGetLastError(nullptr), 4);
}

}  // namespace
}  // namespace orv::test
