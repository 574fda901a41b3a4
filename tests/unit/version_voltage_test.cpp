// Programming voltage, version and last error over the in-process emulated
// adapter: the order of the voltage checks, the DAC record, both version
// text forms, the missing version answer and the last-error text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/service_units.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

class VersionVoltageTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    device_id_ = OpenLink();
  }

  std::vector<uint8_t> DacBytesSent() const {
    const auto sent = Sent();
    if (sent.size() != 1 || sent[0].dev != 0xC0 || sent[0].op != 3 || sent[0].type != 7) return {};
    return {sent[0].data.begin(), sent[0].data.begin() + sent[0].size};
  }

  emu::ServiceUnits units_ = emu::add_service_units(adapter_);
  uint32_t device_id_ = 0;
};

// --- programming voltage -------------------------------------------------------------

TEST_F(VersionVoltageTest, VoltageChecksRunInTheirOrderAndSendNothing) {
  const uint32_t bad_device = device_id_ + 1;
  struct Case {
    uint32_t device, pin, millivolts;
    int32_t result;
    const char* text;  // null: no message expected
  } cases[] = {
      {device_id_, 17, 5000, 19, "PassThruSetProgrammingVoltage invalid pin number"},
      {device_id_, 12, 5000, 1, "PassThruSetProgrammingVoltage pin number not supported"},
      {device_id_, 0, 5000, 1, "PassThruSetProgrammingVoltage pin number not supported"},
      {device_id_, 13, 5001, 12, "PassThruSetProgrammingVoltage voltage exceeded limit"},
      // The device ID is tested last, and silently.
      {bad_device, 12, 5000, 1, "PassThruSetProgrammingVoltage pin number not supported"},
      {bad_device, 13, 6000, 12, "PassThruSetProgrammingVoltage voltage exceeded limit"},
      {bad_device, 13, 5000, 26, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "pin " << c.pin << " mV " << c.millivolts);
    DbgMsg(kMsgError, "before");
    EXPECT_EQ(PassThruSetProgrammingVoltage(c.device, c.pin, c.millivolts), c.result);
    EXPECT_EQ(LastErrorText(), c.text ? c.text : "before");
  }
  EXPECT_TRUE(Sent().empty());
  EXPECT_FALSE(units_.io.dac().has_value());
}

TEST_F(VersionVoltageTest, VoltageGoesOutAsDacSetupAndWaitsHalfASecond) {
  const uint32_t start = platform_.now();
  ASSERT_EQ(PassThruSetProgrammingVoltage(device_id_, 13, 5000), 0);
  EXPECT_EQ(DacBytesSent(), (std::vector<uint8_t>{0x88, 0x13, 0x0D, 0x00}));
  EXPECT_GE(platform_.now() - start, 500u);
  ASSERT_TRUE(units_.io.dac().has_value());
  EXPECT_EQ(units_.io.dac()->millivolts, 5000);
  EXPECT_EQ(units_.io.dac()->pin, 13);
}

TEST_F(VersionVoltageTest, ShortToGroundAndOffAreSentAsZeroMillivolts) {
  for (uint32_t special : {SHORT_TO_GROUND, VOLTAGE_OFF}) {
    ClearLogs();
    ASSERT_EQ(PassThruSetProgrammingVoltage(device_id_, 13, special), 0);
    EXPECT_EQ(DacBytesSent(), (std::vector<uint8_t>{0x00, 0x00, 0x0D, 0x00}));
  }
}

// --- version ------------------------------------------------------------------------

TEST_F(VersionVoltageTest, TwoByteAnswerGivesTheShortFirmwareForm) {
  adapter_.system().set_version_size(2);
  adapter_.system().set_version_bytes({1, 7, 0, 0});
  char fw[80], dll[80], api[80];
  ASSERT_EQ(PassThruReadVersion(device_id_, fw, dll, api), 0);
  EXPECT_STREQ(fw, "01.07");
  EXPECT_STREQ(dll, "02.10");
  EXPECT_STREQ(api, "04.04");
}

TEST_F(VersionVoltageTest, FourByteAnswerIsReadInTheOrder2301) {
  adapter_.system().set_version_size(4);
  adapter_.system().set_version_bytes({5, 0, 1, 2});
  char fw[80], dll[80], api[80];
  ASSERT_EQ(PassThruReadVersion(device_id_, fw, dll, api), 0);
  EXPECT_STREQ(fw, "1.2.5.0");
  adapter_.system().set_version_bytes({255, 255, 255, 255});
  ASSERT_EQ(PassThruReadVersion(device_id_, fw, dll, api), 0);
  EXPECT_STREQ(fw, "255.255.255.255");
}

TEST_F(VersionVoltageTest, MissingVersionAnswerFailsAfter15Seconds) {
  adapter_.drop_answer({0xF0, 2, 0x0D});
  char fw[80], dll[80], api[80];
  const uint32_t start = platform_.now();
  EXPECT_EQ(PassThruReadVersion(device_id_, fw, dll, api), 7);
  EXPECT_GE(platform_.now() - start, 15000u);
  EXPECT_LT(platform_.now() - start, 15100u);
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion: No response");
}

TEST_F(VersionVoltageTest, VersionArgumentChecks) {
  char fw[80], dll[80], api[80];
  EXPECT_EQ(PassThruReadVersion(device_id_, fw, nullptr, api), 4);
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion null parameter");
  // Null pointers are found before the device ID is looked at.
  EXPECT_EQ(PassThruReadVersion(device_id_ + 1, nullptr, dll, api), 4);
  DbgMsg(kMsgError, "before");
  EXPECT_EQ(PassThruReadVersion(device_id_ + 1, fw, dll, api), 26);
  EXPECT_EQ(LastErrorText(), "before");
  EXPECT_TRUE(Sent().empty());
}

// With no network adapter number set, 0 is that number: older host
// programs pass device ID 0.
TEST_F(VersionVoltageTest, DeviceIdZeroIsAcceptedWhileNoNetworkAdapterNumberIsSet) {
  char fw[80], dll[80], api[80];
  uint32_t channel = 0;
  EXPECT_EQ(PassThruSetProgrammingVoltage(0, 13, 5000), 0);
  EXPECT_EQ(PassThruReadVersion(0, fw, dll, api), 0);
  EXPECT_EQ(PassThruConnect(0, CAN, 0, 500000, &channel), 0);
}

// --- last error ---------------------------------------------------------------------

TEST_F(VersionVoltageTest, LastErrorStartsAsNoErrorAndFollowsTheLastFailure) {
  EXPECT_EQ(LastErrorText(), "No Error");
  adapter_.drop_answer({0xF0, 2, 0x0D});
  char fw[80], dll[80], api[80];
  PassThruReadVersion(device_id_, fw, dll, api);
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion: No response");
  // Reading it does not change it.
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion: No response");
}

TEST_F(VersionVoltageTest, NullLastErrorBufferBecomesTheLastError) {
  EXPECT_EQ(PassThruGetLastError(nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruGetLastError null parameter");
}

TEST_F(VersionVoltageTest, LongLastErrorIsCutTo79Characters) {
  const std::string long_text(200, 'x');
  DbgMsg(kMsgError, long_text.c_str());
  char text[81];
  text[79] = '?';
  text[80] = '!';
  ASSERT_EQ(PassThruGetLastError(text), 0);
  EXPECT_EQ(std::string(text), std::string(79, 'x'));
  EXPECT_EQ(text[80], '!');  // the caller's 80 characters are not overrun
}

}  // namespace
}  // namespace orv::test
