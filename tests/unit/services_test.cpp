// Adapter memory, clock, firmware update and security key over the
// in-process emulated adapter: the exact requests, their chunking and
// batching, refusals, missing and late answers, and null pointers.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "emulator/service_units.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

constexpr uint8_t kMemDev = 0xE0;
constexpr uint8_t kSysDev = 0xF0;
constexpr uint8_t kClockType = 0x0E;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 3) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

std::vector<uint8_t> Data(const emu::Frame& f) {
  return {f.data.begin(), f.data.begin() + f.size};
}

uint32_t BigEndianAt(const emu::Frame& f, size_t at) {
  return static_cast<uint32_t>(f.data[at]) << 24 | static_cast<uint32_t>(f.data[at + 1]) << 16 |
         static_cast<uint32_t>(f.data[at + 2]) << 8 | f.data[at + 3];
}

class ServicesTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    OpenLink();
  }

  emu::ServiceUnits units_ = emu::add_service_units(adapter_);
};

// --- memory -------------------------------------------------------------------------

TEST_F(ServicesTest, ReadMemSplitsIntoRequestsOfAtMost64BytesEachAwaited) {
  const auto stored = Pattern(150);
  units_.memory.poke(0x1000, stored);
  std::vector<uint8_t> read(150, 0);
  ASSERT_EQ(PassThruReadMem(0x1000, 150, read.data(), 0x1234), 0);
  EXPECT_EQ(read, stored);

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  const uint32_t lengths[] = {64, 64, 22};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sent[i].dev, kMemDev);
    EXPECT_EQ(sent[i].op, 2);
    EXPECT_EQ(sent[i].flags, 0x34);  // the low byte of the caller's flags
    EXPECT_EQ(sent[i].size, 9);
    EXPECT_EQ(BigEndianAt(sent[i], 0), 0x1000 + 64 * i);
    EXPECT_EQ(BigEndianAt(sent[i], 4), lengths[i]);
  }
  // Each request went out only after the previous answer arrived.
  const auto& log = adapter_.received_log();
  EXPECT_LT(log[0].at_ms, log[1].at_ms);
  EXPECT_LT(log[1].at_ms, log[2].at_ms);
}

TEST_F(ServicesTest, ReadMemRequestIsBigEndianWithAZeroDataByte) {
  uint8_t read[16];
  ASSERT_EQ(PassThruReadMem(0x00012345, 16, read, 0), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Data(Sent()[0]),
            (std::vector<uint8_t>{0x00, 0x01, 0x23, 0x45, 0x00, 0x00, 0x00, 0x10, 0x00}));
}

TEST_F(ServicesTest, ReadMemOfNothingSendsNothing) {
  uint8_t byte = 0x5A;
  EXPECT_EQ(PassThruReadMem(0x10, 0, &byte, 0), 0);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(byte, 0x5A);
}

TEST_F(ServicesTest, WriteMemSendsOneLongFramePer64Bytes) {
  const auto bytes = Pattern(100);
  ASSERT_EQ(PassThruWriteMem(0x2000, 100, const_cast<uint8_t*>(bytes.data()), 7), 0);
  EXPECT_EQ(units_.memory.peek(0x2000, 100), bytes);

  const auto writes = platform_.port(kAdapterPort).writes;
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].size(), 92u);  // 10 + 8 + 64 + 10
  EXPECT_EQ(writes[1].size(), 64u);  // 10 + 8 + 36 + 10
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].size, 82);
  EXPECT_EQ(sent[0].flags, 0x10);
  EXPECT_EQ(sent[0].op, 3);
  EXPECT_EQ(BigEndianAt(sent[0], 0), 0x2000u);
  EXPECT_EQ(BigEndianAt(sent[0], 4), 64u);
  EXPECT_EQ(BigEndianAt(sent[1], 0), 0x2040u);
  EXPECT_EQ(BigEndianAt(sent[1], 4), 36u);
  // The ten trailing bytes are zero.
  const auto tail = Data(sent[1]);
  EXPECT_EQ(std::vector<uint8_t>(tail.end() - 10, tail.end()), std::vector<uint8_t>(10, 0));
}

TEST_F(ServicesTest, WriteMemOfTenBytesIsOneFrameOfSize28) {
  uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(PassThruWriteMem(0, 10, bytes, 0), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].size, 28);
  EXPECT_EQ(Sent()[0].flags, 0x10);
}

// --- clock --------------------------------------------------------------------------

TEST_F(ServicesTest, ClockRecordTravelsUnchangedFieldByField) {
  RTC_DAY_TIME set{-2, 0x07EA, 12, 7, 1, 30, 59, 0xA5};
  ASSERT_EQ(PassThruWriteRTC(&set), 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].dev, kSysDev);
  EXPECT_EQ(Sent()[0].op, 3);
  EXPECT_EQ(Sent()[0].type, kClockType);
  EXPECT_EQ(Data(Sent()[0]),
            (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0xEA, 0x07, 12, 7, 1, 30, 59, 0xA5}));

  RTC_DAY_TIME got{};
  ASSERT_EQ(PassThruReadRTC(&got), 0);
  EXPECT_EQ(got.jdn, -2);
  EXPECT_EQ(got.year, 0x07EA);
  EXPECT_EQ(got.sec, 59);
  EXPECT_EQ(got.pad, 0xA5);
  EXPECT_EQ(Sent()[1].size, 0);
  EXPECT_EQ(Sent()[1].type, kClockType);
}

TEST_F(ServicesTest, ClockWriteWaits30SecondsButTheReadOnly15) {
  units_.clock.set_answer_delay(20000);
  RTC_DAY_TIME rtc{};
  uint32_t start = platform_.now();
  EXPECT_EQ(PassThruWriteRTC(&rtc), 0);
  EXPECT_GE(platform_.now() - start, 20000u);

  start = platform_.now();
  EXPECT_EQ(PassThruReadRTC(&rtc), 7);
  EXPECT_EQ(LastErrorText(), "PassThruReadRTC: No response");
  EXPECT_GE(platform_.now() - start, 15000u);
  EXPECT_LT(platform_.now() - start, 20000u);

  units_.clock.set_answer_delay(0);
  adapter_.drop_answer({kSysDev, 3, kClockType});
  start = platform_.now();
  EXPECT_EQ(PassThruWriteRTC(&rtc), 7);
  EXPECT_EQ(LastErrorText(), "PassThruWriteRTC: No response");
  EXPECT_GE(platform_.now() - start, 30000u);
}

// --- firmware -----------------------------------------------------------------------

std::vector<uint8_t> FirmwareNameData() {
  std::vector<uint8_t> data{'A', 'P', 'P', '.', 'L', 'D', 'R', 0};
  data.resize(18, 0);
  return data;
}

TEST_F(ServicesTest, FirmwareGoesInBatchesOf8FramesEachMarkedAtItsEnd) {
  const auto image = Pattern(600);
  ASSERT_EQ(PassThruUpdateFirmware(const_cast<uint8_t*>(image.data()), 600), 0);
  EXPECT_EQ(adapter_.files().get("APP.LDR"), image);

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u + 1 + 8 + 2 + 1);
  EXPECT_EQ(sent[0].op, 7);
  EXPECT_EQ(Data(sent[0]), FirmwareNameData());
  EXPECT_EQ(sent[1].op, 5);
  EXPECT_EQ(Data(sent[1]), FirmwareNameData());
  for (size_t i = 2; i < 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sent[i].op, 3);
    EXPECT_EQ(sent[i].size, 64);
    EXPECT_EQ(sent[i].flags, i == 9 ? 0x80 : 0x00);
  }
  EXPECT_EQ(sent[10].size, 64);
  EXPECT_EQ(sent[10].flags, 0x00);
  EXPECT_EQ(sent[11].size, 24);
  EXPECT_EQ(sent[11].flags, 0x80);
  EXPECT_EQ(sent[12].op, 6);
  EXPECT_EQ(Data(sent[12]), std::vector<uint8_t>(10, 0));

  // One serial write per frame request and per batch.
  EXPECT_EQ(platform_.port(kAdapterPort).writes.size(), 5u);
}

TEST_F(ServicesTest, EmptyFirmwareIsDeleteOpenClose) {
  uint8_t none = 0;
  ASSERT_EQ(PassThruUpdateFirmware(&none, 0), 0);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].op, 7);
  EXPECT_EQ(sent[1].op, 5);
  EXPECT_EQ(sent[2].op, 6);
  EXPECT_TRUE(adapter_.files().exists("APP.LDR"));
}

TEST_F(ServicesTest, FirmwareCloseIsNotAwaited) {
  adapter_.drop_answer({kMemDev, 6});
  uint8_t image[3] = {1, 2, 3};
  const uint32_t start = platform_.now();
  ASSERT_EQ(PassThruUpdateFirmware(image, 3), 0);
  EXPECT_LT(platform_.now() - start, 100u);
}

// --- security -----------------------------------------------------------------------

// Level is a byte, as host programs pass it.
static_assert(std::is_same_v<decltype(&PassThruSecurity),
                             int32_t(ORV_CALL*)(unsigned char, uint8_t*, uint8_t*, uint8_t*)>);

TEST_F(ServicesTest, SecurityReturnsExactly18KeyBytes) {
  std::array<uint8_t, 12> fixed{};
  std::array<uint8_t, 16> seed{};
  for (uint8_t i = 0; i < 12; ++i) fixed[i] = static_cast<uint8_t>(0x10 + i);
  for (uint8_t i = 0; i < 16; ++i) seed[i] = static_cast<uint8_t>(0x80 + 3 * i);
  std::array<uint8_t, 20> key;
  key.fill(0xCC);
  StartTrace();
  ASSERT_EQ(PassThruSecurity(0x05, fixed.data(), seed.data(), key.data()), 0);

  const auto expected = emu::MemoryUnit::security_key(0x05, fixed, seed);
  EXPECT_EQ(0, std::memcmp(key.data(), expected.data(), 18));
  // Neither the seed nor the key reaches the trace, only their lengths.
  char key_hex[16];
  std::snprintf(key_hex, sizeof key_hex, " %02X %02X %02X", key[0], key[1], key[2]);
  const std::string trace = platform_.trace_text();
  EXPECT_EQ(trace.find(key_hex), std::string::npos) << trace;
  EXPECT_EQ(trace.find(" 10 11 12"), std::string::npos) << trace;
  EXPECT_NE(trace.find("[47 data bytes not shown]"), std::string::npos) << trace;
  EXPECT_NE(trace.find("[18 data bytes not shown]"), std::string::npos) << trace;
  EXPECT_EQ(key[18], 0xCC);  // nothing beyond the 18 bytes
  EXPECT_EQ(key[19], 0xCC);

  ASSERT_EQ(Sent().size(), 1u);
  const auto request = Data(Sent()[0]);
  EXPECT_EQ(Sent()[0].dev, 0xF2);
  EXPECT_EQ(Sent()[0].op, 2);
  ASSERT_EQ(request.size(), 47u);
  EXPECT_EQ(request[0], 0x05);
  EXPECT_EQ(std::vector<uint8_t>(request.begin() + 1, request.begin() + 13),
            std::vector<uint8_t>(fixed.begin(), fixed.end()));
  EXPECT_EQ(std::vector<uint8_t>(request.begin() + 13, request.begin() + 29),
            std::vector<uint8_t>(seed.begin(), seed.end()));
  EXPECT_EQ(std::vector<uint8_t>(request.begin() + 29, request.end()), std::vector<uint8_t>(18, 0));
}

// Refused and short answers: the call fails with its own text and sends
// nothing after the refused request.
struct Refusal {
  const char* name;
  emu::RequestMatch refused;
  std::function<int32_t()> call;
  const char* error;
  size_t frames_sent;
};

TEST_F(ServicesTest, RefusedAnswersStopTheServiceWithItsText) {
  static std::vector<uint8_t> bytes = Pattern(1100);
  static uint8_t key[18];
  const Refusal cases[] = {
      {"read mem",
       {kMemDev, 2, 0, emu::kAny, 2},
       [] { return PassThruReadMem(0, 100, bytes.data(), 0); },
       "PassThruReadMem: Error",
       2},
      {"write mem",
       {kMemDev, 3, emu::kAny, emu::kAny, 2},
       [] { return PassThruWriteMem(0, 200, bytes.data(), 0); },
       "PassThruWriteMem: Error",
       2},
      {"firmware open",
       {kMemDev, 5},
       [] { return PassThruUpdateFirmware(bytes.data(), 1100); },
       "PassThruUpdateFirmware(OPEN): Error",
       2},
      {"firmware batch",
       {kMemDev, 3, emu::kAny, 0x80, 2},
       [] { return PassThruUpdateFirmware(bytes.data(), 1100); },
       "PassThruUpdateFirmware(LAST): Errror",
       18},
      {"security",
       {0xF2, 2},
       [] { return PassThruSecurity(1, key, key, key); },
       "PassThruSecurity: Error",
       1},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLogs();
    adapter_.clear_rules();
    adapter_.refuse_answer(c.refused);
    EXPECT_EQ(c.call(), 7);
    EXPECT_EQ(LastErrorText(), c.error);
    EXPECT_EQ(Sent().size(), c.frames_sent);
  }
}

TEST_F(ServicesTest, ShortAnswersAreNoSuccess) {
  // The missing bytes would be left-overs of an earlier answer.
  uint8_t read[16] = {};
  units_.memory.set_read_answer_limit(10);
  EXPECT_EQ(PassThruReadMem(0, 16, read, 0), 7);
  uint8_t fixed[12] = {}, seed[16] = {}, key[18] = {};
  adapter_.replace_answer({0xF2, 2},
                          {emu::Frame::make(kMemDev, 2, 0, 0, std::vector<uint8_t>(17, 9))});
  EXPECT_EQ(PassThruSecurity(1, fixed, seed, key), 7);
  EXPECT_EQ(key[0], 0);
}

// --- arguments and link -------------------------------------------------------------

TEST_F(ServicesTest, NullPointersAreRefusedBeforeAnythingIsSent) {
  uint8_t buf[18] = {};
  EXPECT_EQ(PassThruReadMem(0, 4, nullptr, 0), 4);
  EXPECT_EQ(LastErrorText(), "PassThruReadMem null parameter");
  EXPECT_EQ(PassThruWriteMem(0, 4, nullptr, 0), 4);
  EXPECT_EQ(PassThruReadRTC(nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruReadRTC null parameter");
  EXPECT_EQ(PassThruWriteRTC(nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruWriteRTC null parameter");
  EXPECT_EQ(PassThruUpdateFirmware(nullptr, 10), 4);
  EXPECT_EQ(PassThruSecurity(1, nullptr, buf, buf), 4);
  EXPECT_EQ(PassThruSecurity(1, buf, nullptr, buf), 4);
  EXPECT_EQ(PassThruSecurity(1, buf, buf, nullptr), 4);
  EXPECT_EQ(LastErrorText(), "PassThruSecurity null parameter");
  EXPECT_TRUE(Sent().empty());
}

}  // namespace
}  // namespace orv::test
