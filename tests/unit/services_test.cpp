// The adapter services over the in-process emulated adapter: the file
// store (the exact frames and batches of a write, reads, deletes and
// listings), memory, clock, firmware update and security key: the exact
// requests, their chunking and batching, refusals, missing, late and
// hostile answers, host-file failures and bad arguments. A late answer must
// never turn a later operation into a false success, and no operation may
// hand the caller bytes the adapter did not send for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "emulator/service_units.h"
#include "orvanta_j2534.h"
#include "services/file_store.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t kSysDev = 0xF0;
constexpr uint8_t kDirType = 0x0F;
constexpr uint8_t kClockType = 0x0E;
constexpr uint32_t kPastTheWaitMs = kFileStoreWaitMs + 1000;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 3) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

std::vector<uint8_t> Data(const emu::Frame& f) {
  return {f.data.begin(), f.data.begin() + f.size};
}

// The address and the length, big-endian, as memory requests carry them.
std::vector<uint8_t> AddressAndLength(uint32_t address, uint32_t length) {
  std::vector<uint8_t> out;
  for (const uint32_t value : {address, length}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(value >> shift));
  }
  return out;
}

// The name with its NUL, as open frames carry it; `pad` zeros after it.
std::vector<uint8_t> NameData(const std::string& name, size_t pad = 0) {
  std::vector<uint8_t> data(name.begin(), name.end());
  data.resize(data.size() + 1 + pad, 0);
  return data;
}

// The data frames of a copy: 64 bytes each, the last of every batch of
// `per_batch` frames and the last of all flagged.
void AddDataFrames(std::vector<emu::Frame>& frames, std::span<const uint8_t> bytes,
                   size_t per_batch) {
  for (size_t at = 0, i = 1; at < bytes.size(); at += 64, ++i) {
    const size_t n = std::min<size_t>(64, bytes.size() - at);
    const bool last = i % per_batch == 0 || at + n == bytes.size();
    frames.push_back(emu::Frame::make(kDevMemory, 3, 0, last ? 0x80 : 0, bytes.subspan(at, n)));
  }
}

emu::Frame DirFrame(uint8_t op, const std::vector<uint8_t>& data = {}) {
  return emu::Frame::make(kSysDev, op, kDirType, 0, data);
}

// A listing answer with the entry name from data byte 16.
emu::Frame ListingAnswer(uint8_t op, const std::string& name) {
  std::vector<uint8_t> data(17 + name.size(), 0);
  std::fill_n(data.begin(), 16, uint8_t{0xAB});
  std::copy(name.begin(), name.end(), data.begin() + 16);
  return DirFrame(op, data);
}

void ExpectFrames(const std::vector<emu::Frame>& actual, const std::vector<emu::Frame>& expected) {
  std::vector<std::string> a, e;
  for (const auto& f : actual) a.push_back(emu::describe(f));
  for (const auto& f : expected) e.push_back(emu::describe(f));
  EXPECT_EQ(a, e);
}

class ServicesTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    OpenLink();
  }

  std::string HostPath(const std::string& name) const { return (dir_ / name).string(); }
  std::string MakeHostFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string path = HostPath(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static std::vector<uint8_t> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  uint32_t Since(uint32_t start) const { return platform_.now() - start; }

  // The calls take writable strings.
  static int32_t Write(std::string host, std::string stored) {
    return PassThruWriteFile(host.data(), stored.data(), 0);
  }
  static int32_t Read(std::string host, std::string stored) {
    return PassThruReadFile(host.data(), stored.data(), 0);
  }
  static int32_t Delete(std::string stored) { return PassThruDeleteFile(stored.data(), 0); }
  static int32_t List(std::string pattern, char* list) {
    return PassThruReadDir(pattern.data(), list);
  }

  emu::ServiceUnits units_ = emu::add_service_units(adapter_);
  ScratchDir scratch_{"services"};
  const fs::path dir_ = scratch_.path();
};

// --- file store: writing -------------------------------------------------------------

TEST_F(ServicesTest, WriteFileSendsDeleteOpenBatchesAndCloseAndStoresTheBytes) {
  const struct {
    size_t length, batches;
  } cases[] = {{0, 0}, {64, 1}, {65, 1}, {4096, 1}, {4097, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    ClearLogs();
    const std::vector<uint8_t> contents = Pattern(c.length);
    ASSERT_EQ(Write(MakeHostFile("host.bin", contents), "DATA.BIN"), 0) << LastErrorText();
    std::vector<emu::Frame> expected{
        emu::Frame::make(kDevMemory, 7, 0, 0, NameData("DATA.BIN", 10)),
        emu::Frame::make(kDevMemory, 5, 0, 0, NameData("DATA.BIN"))};
    AddDataFrames(expected, contents, 64);
    expected.push_back(emu::Frame::make(kDevMemory, 6, 0, 0));
    ExpectFrames(Sent(), expected);
    // One serial write each for delete, open, every batch and close.
    EXPECT_EQ(platform_.port(kAdapterPort).writes.size(), 3 + c.batches);
    EXPECT_EQ(adapter_.files().get("DATA.BIN"), contents);
  }
}

// The store refuses to delete a file it does not hold, and the answers to
// the delete and the close may never come: the copy goes on either way.
TEST_F(ServicesTest, WriteGoesOnPastARefusedDeleteAndUnansweredDeleteAndClose) {
  const std::string host = MakeHostFile("a", Pattern(10));
  auto& refused_delete = adapter_.refuse_answer({kDevMemory, 7});
  ASSERT_EQ(Write(host, "IOT.NET"), 0);
  EXPECT_EQ(refused_delete.seen, 1u);
  EXPECT_EQ(adapter_.files().get("IOT.NET"), Pattern(10));

  adapter_.clear_rules();
  adapter_.drop_answer({kDevMemory, 7});
  adapter_.drop_answer({kDevMemory, 6});
  const uint32_t start = platform_.now();
  ASSERT_EQ(Write(host, "X.BIN"), 0);
  EXPECT_GE(Since(start), 2 * kFileStoreWaitMs);
  EXPECT_LT(Since(start), 2 * kFileStoreWaitMs + 100);
  EXPECT_EQ(adapter_.files().get("X.BIN"), Pattern(10));
}

TEST_F(ServicesTest, HostFileThatCannotBeReadOrWrittenFailsTheCopy) {
  EXPECT_EQ(Write(HostPath("missing"), "X.BIN"), 7);
  EXPECT_EQ(LastErrorText().rfind("PassThruWriteFile(): ", 0), 0u);
  EXPECT_NE(LastErrorText().find("file open error"), std::string::npos);
  EXPECT_TRUE(Sent().empty());

  // A directory opens but reads nothing (POSIX; Windows refuses to open
  // it): no byte of it may go out as data.
  ClearLogs();
  EXPECT_EQ(Write(dir_.string(), "X.BIN"), 7);
  EXPECT_TRUE(LastErrorText().find("file read error") != std::string::npos ||
              LastErrorText().find("file open error") != std::string::npos)
      << LastErrorText();
  for (const auto& f : Sent()) EXPECT_NE(f.op, 3) << emu::describe(f);
}

#if !defined(_WIN32)
// The host file is replaced whole, never written through: a symbolic link,
// a file with a second name or a device is refused and left as it was, a
// reader that holds the old file keeps the old bytes, the copy is 0600, a
// failed read leaves nothing behind, and the trace shows no data.
TEST_F(ServicesTest, ReadFileReplacesOnlyTheUsersOwnFileAndTracesNoData) {
  const std::vector<uint8_t> net{4, 'H', 'o', 'm', 'e', 3, 'p', 'w', 'd'};
  adapter_.files().put("IOT.NET", net);
  const std::string copy = MakeHostFile("copy.net", {1, 2});
  std::ifstream held(copy, std::ios::binary);
  StartTrace();
  ASSERT_EQ(Read(copy, "IOT.NET"), 0) << LastErrorText();
  EXPECT_EQ(ReadHostFile(copy), net);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), "\1\2");
  EXPECT_EQ(fs::status(copy).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string trace = platform_.trace_text();
  EXPECT_EQ(trace.find("70 77 64"), std::string::npos) << trace;  // "pwd"
  EXPECT_NE(trace.find("[9 data bytes not shown]"), std::string::npos) << trace;

  const std::string victim = MakeHostFile("victim", {9});
  fs::create_symlink(victim, HostPath("link"));
  fs::create_hard_link(victim, HostPath("second"));
  for (const std::string& target :
       {HostPath("link"), HostPath("second"), std::string("/dev/null")}) {
    ClearLogs();
    EXPECT_EQ(Read(target, "IOT.NET"), 7);
    EXPECT_NE(LastErrorText().find(" is not the user"), std::string::npos) << LastErrorText();
    EXPECT_TRUE(Sent().empty());
  }
  EXPECT_EQ(ReadHostFile(victim), std::vector<uint8_t>{9});
  const auto entries = [&] { return std::distance(fs::directory_iterator(dir_), {}); };
  const auto before = entries();
  adapter_.refuse_answer({kDevMemory, 2, emu::kAny, 0x20, 2});  // after the first block
  EXPECT_EQ(Read(HostPath("partial"), "IOT.NET"), 7);
  EXPECT_EQ(entries(), before);
}
#endif

// --- file store: reading, deleting, listing ------------------------------------------

// An empty stored file leaves an empty host file, a refused open none.
TEST_F(ServicesTest, ReadFileCopiesTheStoredFileInBlocksUntilAnEmptyAnswer) {
  const std::vector<uint8_t> contents = Pattern(130);
  adapter_.files().put("LOG.TXT", contents);
  const std::string host = HostPath("log.txt");
  ASSERT_EQ(Read(host, "LOG.TXT"), 0) << LastErrorText();
  EXPECT_EQ(ReadHostFile(host), contents);

  std::vector<emu::Frame> expected{emu::Frame::make(kDevMemory, 5, 0, 0x04, NameData("LOG.TXT"))};
  for (int i = 0; i < 4; ++i) expected.push_back(emu::Frame::make(kDevMemory, 2, 0, 0x20));
  expected.push_back(emu::Frame::make(kDevMemory, 6, 0, 0));
  ExpectFrames(Sent(), expected);

  adapter_.files().put("EMPTY", {});
  const std::string old = MakeHostFile("old", Pattern(50));  // truncated by the read
  ASSERT_EQ(Read(old, "EMPTY"), 0);
  EXPECT_TRUE(fs::exists(old));
  EXPECT_EQ(fs::file_size(old), 0u);
  EXPECT_EQ(Read(HostPath("x"), "NOPE"), 7);
  EXPECT_EQ(LastErrorText(), "PassThruReadFile(OPEN): Error");
  EXPECT_FALSE(fs::exists(HostPath("x")));
}

TEST_F(ServicesTest, ListingSendsOpenReadsAndCloseAndEndsEachNameWithAComma) {
  char list[64] = "leftover";
  ASSERT_EQ(List("*.*", list), 0);
  EXPECT_STREQ(list, "");
  ExpectFrames(Sent(), {DirFrame(5, NameData("*.*")), DirFrame(6)});

  ClearLogs();
  adapter_.files().put("A.TXT", {1});
  adapter_.files().put("B.TXT", {2, 2});
  adapter_.files().put("C.BIN", {3});
  adapter_.drop_answer({kSysDev, 6, kDirType});  // an unanswered close still completes it
  ASSERT_EQ(List("*.TXT", list), 0);
  EXPECT_STREQ(list, "A.TXT,B.TXT,");
  ExpectFrames(Sent(), {DirFrame(5, NameData("*.TXT")), DirFrame(2), DirFrame(2), DirFrame(6)});
}

TEST_F(ServicesTest, ListingNeverReadsPastTheAnswerFrame) {
  // An entry without its NUL fills the frame: the name stops at its end.
  adapter_.replace_answer({kSysDev, 5, kDirType}, {DirFrame(5, std::vector<uint8_t>(68, 'X'))});
  // An entry shorter than the 16 unused bytes has an empty name.
  adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, 1}, {DirFrame(2, {1, 2, 3})});
  adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, 2}, {ListingAnswer(2, "LAST")});
  char list[128];
  std::memset(list, 0x55, sizeof list);
  ASSERT_EQ(List("*", list), 0);
  const std::string expected = std::string(52, 'X') + ",," + "LAST,";
  EXPECT_STREQ(list, expected.c_str());
  EXPECT_EQ(static_cast<uint8_t>(list[expected.size() + 1]), 0x55);
}

TEST_F(ServicesTest, HostileListingStaysInsideTheListMaximum) {
  // Entries with a comma or a control character are skipped; then the
  // adapter never ends the listing.
  adapter_.replace_answer({kSysDev, 5, kDirType}, {ListingAnswer(5, "A,B")});
  adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, 1}, {ListingAnswer(2, "C\nD")});
  adapter_.replace_answer({kSysDev, 2, kDirType}, {ListingAnswer(2, std::string(51, 'N'))});
  std::vector<char> list(ORV_FILE_LIST_MAX + 64, 0x55);
  EXPECT_EQ(List("*", list.data()), 7);
  EXPECT_EQ(LastErrorText(), "PassThruReadDir list too long");
  const std::string text(list.data());
  EXPECT_EQ(text.size(), 157u * 52);  // whole entries only, the first one a plain name
  EXPECT_EQ(text.substr(0, 52), std::string(51, 'N') + ",");
  for (size_t i = ORV_FILE_LIST_MAX; i < list.size(); ++i) ASSERT_EQ(list[i], 0x55) << i;
  EXPECT_EQ(Sent().back().op, 6);  // the listing is closed on the adapter

  // Skipped entries that never end count against the maximum too.
  adapter_.replace_answer({kSysDev, 2, kDirType}, {ListingAnswer(2, "E,F")});
  EXPECT_EQ(List("*", list.data()), 7);
  EXPECT_STREQ(list.data(), "");
}

// C1 controls are control characters too, raw or as UTF-8; other UTF-8
// passes. The list bound exactly: 8191 characters and the NUL fit, one
// character more does not.
TEST_F(ServicesTest, ListingSkipsC1ControlsAndFillsTheListToItsLastByte) {
  std::vector<char> list(ORV_FILE_LIST_MAX + 64, 0x55);
  for (const size_t last : {20u, 21u}) {
    adapter_.clear_rules();
    adapter_.replace_answer({kSysDev, 2, kDirType}, {ListingAnswer(2, std::string(51, 'N'))});
    adapter_.replace_answer({kSysDev, 5, kDirType}, {ListingAnswer(5, "\xC3\xA9\xE2\x82\xAC")});
    const char* skipped[] = {"A\x9B", "B\xC2\x9B", "C\x85", "D\xE2\x82"};
    for (uint32_t i = 0; i < std::size(skipped); ++i) {
      adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, i + 1},
                              {ListingAnswer(2, skipped[i])});
    }
    // The open's entry and a comma (6 bytes), 157 of 51 and a comma, the last.
    adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, 162},
                            {ListingAnswer(2, std::string(last, 'L'))});
    adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, 163}, {DirFrame(2)});
    EXPECT_EQ(List("*", list.data()), last == 20 ? 0 : 7) << last;
    const std::string text(list.data());
    EXPECT_EQ(text.size(), last == 20 ? ORV_FILE_LIST_MAX - 1 : 6 + 157 * 52);
    EXPECT_EQ(text.substr(0, 12), "\xC3\xA9\xE2\x82\xAC,NNNNNN");
    for (size_t i = ORV_FILE_LIST_MAX; i < list.size(); ++i) ASSERT_EQ(list[i], 0x55) << i;
  }
}

// --- memory, clock, firmware, security -----------------------------------------------

TEST_F(ServicesTest, ReadMemSplitsIntoBigEndianRequestsOfAtMost64BytesEachAwaited) {
  const auto stored = Pattern(150);
  units_.memory.poke(0x12345, stored);
  std::vector<uint8_t> read(150, 0);
  ASSERT_EQ(PassThruReadMem(0x12345, 150, read.data(), 0x1234), 0);
  EXPECT_EQ(read, stored);
  std::vector<emu::Frame> expected;
  for (uint32_t at = 0; at < 150; at += 64) {
    std::vector<uint8_t> data = AddressAndLength(0x12345 + at, std::min(64u, 150 - at));
    data.push_back(0);
    // The flags are the low byte of the caller's.
    expected.push_back(emu::Frame::make(kDevMemory, 2, 0, 0x34, data));
  }
  ExpectFrames(Sent(), expected);
  // Each request went out only after the previous answer arrived.
  const auto& log = adapter_.received_log();
  EXPECT_LT(log[0].at_ms, log[1].at_ms);
  EXPECT_LT(log[1].at_ms, log[2].at_ms);

  ClearLogs();
  uint8_t byte = 0x5A;
  EXPECT_EQ(PassThruReadMem(0x10, 0, &byte, 0), 0);  // nothing to read: nothing sent
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(byte, 0x5A);
}

TEST_F(ServicesTest, WriteMemSendsOneLongFramePer64Bytes) {
  const auto bytes = Pattern(100);
  ASSERT_EQ(PassThruWriteMem(0x2000, 100, const_cast<uint8_t*>(bytes.data()), 7), 0);
  EXPECT_EQ(units_.memory.peek(0x2000, 100), bytes);
  std::vector<emu::Frame> expected;
  for (uint32_t at = 0; at < 100; at += 64) {
    const uint32_t n = std::min(64u, 100 - at);
    std::vector<uint8_t> data = AddressAndLength(0x2000 + at, n);
    data.insert(data.end(), bytes.begin() + at, bytes.begin() + at + n);
    data.resize(data.size() + 10, 0);  // ten trailing zeros
    expected.push_back(emu::Frame::make(kDevMemory, 3, 0, 0x10, data));
  }
  ExpectFrames(Sent(), expected);
  // One serial write per frame.
  EXPECT_EQ(platform_.port(kAdapterPort).writes.size(), 2u);
}

// The record goes out as the caller's bytes; reading it back is in the
// fault matrix.
TEST_F(ServicesTest, ClockWriteSendsTheRecordFieldByField) {
  RTC_DAY_TIME set{-2, 0x07EA, 12, 7, 1, 30, 59, 0xA5};
  ASSERT_EQ(PassThruWriteRTC(&set), 0);
  ExpectFrames(Sent(), {emu::Frame::make(kSysDev, 3, kClockType, 0,
                                         std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0xEA, 0x07,
                                                              12, 7, 1, 30, 59, 0xA5})});
}

TEST_F(ServicesTest, FirmwareGoesInBatchesOf8FramesEachMarkedAtItsEndAndTheCloseWaitsASecond) {
  adapter_.drop_answer({kDevMemory, 6});
  for (const size_t size : {600u, 0u}) {
    SCOPED_TRACE(size);
    ClearLogs();
    std::vector<uint8_t> image = Pattern(size);
    image.reserve(1);  // an empty image is no null pointer
    const uint32_t start = platform_.now();
    ASSERT_EQ(PassThruUpdateFirmware(image.data(), static_cast<uint32_t>(size)), 0);
    EXPECT_LT(Since(start), 1100u);  // the close's missing answer, awaited for a second
    EXPECT_EQ(adapter_.files().get("APP.LDR"), image);
    std::vector<emu::Frame> expected{
        emu::Frame::make(kDevMemory, 7, 0, 0, NameData("APP.LDR", 10)),
        emu::Frame::make(kDevMemory, 5, 0, 0, NameData("APP.LDR", 10))};
    AddDataFrames(expected, image, 8);
    expected.push_back(emu::Frame::make(kDevMemory, 6, 0, 0, std::vector<uint8_t>(10, 0)));
    ExpectFrames(Sent(), expected);
    // One serial write per frame request and per batch.
    EXPECT_EQ(platform_.port(kAdapterPort).writes.size(), size == 0 ? 3u : 5u);
  }
}

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
  EXPECT_EQ(key[18], 0xCC);  // nothing beyond the 18 bytes
  EXPECT_EQ(key[19], 0xCC);
  // Neither the seed nor the key reaches the trace, only their lengths.
  char key_hex[16];
  std::snprintf(key_hex, sizeof key_hex, " %02X %02X %02X", key[0], key[1], key[2]);
  const std::string trace = platform_.trace_text();
  EXPECT_EQ(trace.find(key_hex), std::string::npos) << trace;
  EXPECT_EQ(trace.find(" 10 11 12"), std::string::npos) << trace;
  EXPECT_NE(trace.find("[47 data bytes not shown]"), std::string::npos) << trace;
  EXPECT_NE(trace.find("[18 data bytes not shown]"), std::string::npos) << trace;

  // The level, the fixed bytes, the seed and 18 zeros.
  std::vector<uint8_t> request{0x05};
  request.insert(request.end(), fixed.begin(), fixed.end());
  request.insert(request.end(), seed.begin(), seed.end());
  request.resize(47, 0);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].dev, 0xF2);
  EXPECT_EQ(Sent()[0].op, 2);
  EXPECT_EQ(Data(Sent()[0]), request);
}

// --- refusals, missing, late and short answers ---------------------------------------

// The adapter refuses one request, or never answers it: the call fails
// with its own text once its wait is over, and sends nothing after that
// request.
emu::RequestMatch Req(uint8_t dev, uint8_t op, int type = emu::kAny, int flags = emu::kAny,
                      uint32_t nth = 0) {
  return {dev, op, type, flags, nth};
}

struct Unanswered {
  const char* name;
  emu::Scripted how;
  emu::RequestMatch request;
  std::function<int32_t()> call;
  const char* error;
  size_t frames_sent;
  uint32_t wait_ms = 0;
};

TEST_F(ServicesTest, RefusedOrUnansweredRequestStopsTheServiceWithItsText) {
  static std::vector<uint8_t> bytes = Pattern(1100);
  static uint8_t key[18];
  static RTC_DAY_TIME rtc{};
  const std::string small = MakeHostFile("small", Pattern(100));
  const std::string big = MakeHostFile("big", Pattern(3 * 4096));
  constexpr auto kRefuse = emu::Scripted::kRefuse;
  constexpr auto kDrop = emu::Scripted::kDrop;
  const Unanswered cases[] = {
      {"read mem", kRefuse, Req(kDevMemory, 2, 0, emu::kAny, 2),
       [] { return PassThruReadMem(0, 100, bytes.data(), 0); }, "PassThruReadMem: Error", 2},
      {"write mem", kRefuse, Req(kDevMemory, 3, emu::kAny, emu::kAny, 2),
       [] { return PassThruWriteMem(0, 200, bytes.data(), 0); }, "PassThruWriteMem: Error", 2},
      {"firmware open", kRefuse, Req(kDevMemory, 5),
       [] { return PassThruUpdateFirmware(bytes.data(), 1100); },
       "PassThruUpdateFirmware(OPEN): Error", 2},
      {"firmware batch", kRefuse, Req(kDevMemory, 3, emu::kAny, 0x80, 2),
       [] { return PassThruUpdateFirmware(bytes.data(), 1100); },
       "PassThruUpdateFirmware(LAST): Errror", 18},
      {"security", kRefuse, Req(0xF2, 2), [] { return PassThruSecurity(1, key, key, key); },
       "PassThruSecurity: Error", 1},
      // Refused open: delete and open only, no data, no close.
      {"file open", kRefuse, Req(kDevMemory, 5), [&small] { return Write(small, "IOT.NET"); },
       "PassThruWriteFile(OPEN): Error", 2},
      // The second batch refused: no third batch and no close follow.
      {"file batch", kRefuse, Req(kDevMemory, 3, emu::kAny, 0x80, 2),
       [&big] { return Write(big, "BIG.BIN"); }, "PassThruWriteFile: Error", 2 + 2 * 64},
      {"file batch unanswered", kDrop, Req(kDevMemory, 3, emu::kAny, 0x80, 1),
       [&big] { return Write(big, "BIG.BIN"); }, "PassThruWriteFile: Error", 2 + 64,
       kFileStoreWaitMs},
      {"delete", kRefuse, Req(kDevMemory, 7), [] { return Delete("OLD.TXT"); },
       "PassThruDeleteFile(DELETE): Error", 1},
      {"delete unanswered", kDrop, Req(kDevMemory, 7), [] { return Delete("ANY"); },
       "PassThruDeleteFile(DELETE): No response", 1, kFileStoreWaitMs},
      {"clock read", kDrop, Req(kSysDev, 2, kClockType), [] { return PassThruReadRTC(&rtc); },
       "PassThruReadRTC: No response", 1, 15000},
      // The clock takes its time to set: its wait is twice as long.
      {"clock write", kDrop, Req(kSysDev, 3, kClockType), [] { return PassThruWriteRTC(&rtc); },
       "PassThruWriteRTC: No response", 1, 30000},
  };
  for (const Unanswered& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLogs();
    adapter_.clear_rules();
    adapter_.add_rule(c.request, c.how);
    const uint32_t start = platform_.now();
    EXPECT_EQ(c.call(), 7);
    EXPECT_EQ(LastErrorText(), c.error);
    EXPECT_EQ(Sent().size(), c.frames_sent);
    EXPECT_GE(Since(start), c.wait_ms);
    EXPECT_TRUE(c.wait_ms == 0 || Since(start) < c.wait_ms + 1000) << Since(start);
  }
}

TEST_F(ServicesTest, ShortAnswersAreNoSuccess) {
  // The missing bytes would be left-overs of an earlier answer.
  uint8_t read[16] = {};
  units_.memory.set_read_answer_limit(10);
  EXPECT_EQ(PassThruReadMem(0, 16, read, 0), 7);
  uint8_t fixed[12] = {}, seed[16] = {}, key[18] = {};
  adapter_.replace_answer({0xF2, 2},
                          {emu::Frame::make(kDevMemory, 2, 0, 0, std::vector<uint8_t>(17, 9))});
  EXPECT_EQ(PassThruSecurity(1, fixed, seed, key), 7);
  EXPECT_EQ(key[0], 0);
}

TEST_F(ServicesTest, LateDeleteAnswerDoesNotCorruptTheCopy) {
  const std::vector<uint8_t> bytes = Pattern(5000, 1);
  adapter_.files().put("DATA.BIN", Pattern(10, 9));
  const std::string host = MakeHostFile("in.bin", bytes);
  adapter_.delay_answer({kDevMemory, 7, emu::kAny, emu::kAny, 1}, kPastTheWaitMs);
  EXPECT_EQ(Write(host, "DATA.BIN"), 0);
  EXPECT_EQ(adapter_.files().get("DATA.BIN"), bytes);
  // The stale delete answer arrives later and is taken by the next wait.
  platform_.advance_ms(kPastTheWaitMs);  // the late answer reaches the port
  EXPECT_EQ(Write(host, "DATA.BIN"), 0);
  EXPECT_EQ(adapter_.files().get("DATA.BIN"), bytes);
}

// The adapter answers a read's close too. Left in flight, that answer was
// taken for the next request's: the delete of a missing file "succeeded".
TEST_F(ServicesTest, ReadFileAwaitsItsCloseAnswerSoTheNextRequestGetsItsOwn) {
  adapter_.files().put("LOG.BIN", Pattern(100, 2));
  adapter_.delay_answer({kDevMemory, 7}, 5);  // the delete's answer comes after the close's
  ASSERT_EQ(Read(HostPath("copy"), "LOG.BIN"), 0);
  char missing[] = "NOSUCH.TXT";
  EXPECT_EQ(PassThruDeleteFile(missing, 0), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruDeleteFile(DELETE): Error");
}

TEST_F(ServicesTest, LateReadAnswerFailsTheReadAndNoLaterReadClaimsAFileItDidNotGet) {
  const std::vector<uint8_t> stored = Pattern(300, 4);
  adapter_.files().put("LOG.BIN", stored);
  // The second block's answer comes after its wait has ended.
  adapter_.delay_answer({kDevMemory, 2, emu::kAny, 0x20, 2}, kPastTheWaitMs);
  EXPECT_EQ(Read(HostPath("first"), "LOG.BIN"), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruReadFile(READ): Error");
  platform_.advance_ms(kPastTheWaitMs);
  // The late block lies in the port when the next read starts; the answers
  // then come one per read, as a slow link delivers them.
  adapter_.set_read_pieces({74, 10, 74, 74, 74, 74, 74, 74});
  if (Read(HostPath("second"), "LOG.BIN") == 0) {
    EXPECT_EQ(ReadHostFile(HostPath("second")), stored)
        << "a read succeeded with a file that is not the stored one";
  }
  // Whatever the outcome, a later read is whole again.
  platform_.advance_ms(kPastTheWaitMs);
  ASSERT_EQ(Read(HostPath("third"), "LOG.BIN"), 0);
  EXPECT_EQ(ReadHostFile(HostPath("third")), stored);
}

// The first read is answered with two frames; the second lies in the port
// when the first wait has ended.
TEST_F(ServicesTest, ReadDataArrivingAfterItsWaitReachesTheHostFileInOrder) {
  adapter_.files().put("TWO.BIN", {});
  const std::vector<uint8_t> a(4, 'A'), b(4, 'B');
  adapter_.replace_answer(
      {kDevMemory, 2, emu::kAny, 0x20, 1},
      {emu::Frame::make(kDevMemory, 2, 0, 0, a), emu::Frame::make(kDevMemory, 2, 0, 0, b)});
  adapter_.set_read_pieces({10, 14});  // the open's answer, then "AAAA" alone
  ASSERT_EQ(Read(HostPath("two"), "TWO.BIN"), 0);
  EXPECT_EQ(ReadHostFile(HostPath("two")),
            (std::vector<uint8_t>{'A', 'A', 'A', 'A', 'B', 'B', 'B', 'B'}));
}

// An adapter that never ends a file: the host file stops at the cap.
TEST_F(ServicesTest, ReadDataBeyondTheHostFileCapFails) {
  adapter_.replace_answer({kDevMemory, 2, emu::kAny, 0x20},
                          {emu::Frame::make(kDevMemory, 2, 0, 0, Pattern(64, 1))});
  platform::FileReplacement file(HostPath("endless").c_str());
  {
    const StateHeld held(api::CallKind::kAnswerSlot);
    EXPECT_EQ(ReceiveFileContents(file, "endless.bin", 1000), ERR_FAILED);
  }
  EXPECT_EQ(LastErrorText(), "PassThruReadFile(): endless.bin would exceed 1000 bytes");
  ASSERT_EQ(file.commit(), platform::kOk);
  EXPECT_EQ(fs::file_size(HostPath("endless")), 960u);
}

TEST_F(ServicesTest, LateListingAnswerNeverAddsAForeignEntry) {
  adapter_.files().put("A.TXT", {1});
  adapter_.files().put("B.TXT", {2});
  adapter_.delay_answer({kSysDev, 2, kDirType, emu::kAny, 1}, kPastTheWaitMs);
  char list[512];
  EXPECT_EQ(List("*.TXT", list), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruReadDir: No response");
  platform_.advance_ms(kPastTheWaitMs);
  EXPECT_TRUE(List("*.TXT", list) != 0 || std::string(list) == "A.TXT,B.TXT,") << list;
}

TEST_F(ServicesTest, LateVersionAnswerIsNotTakenForTheClockRecord) {
  adapter_.delay_answer({kSysDev, 2, 0x0D, emu::kAny, 1}, kPastTheWaitMs);
  char fw[80], dll[80], api[80];
  EXPECT_EQ(PassThruReadVersion(7, fw, dll, api), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion: No response");
  platform_.advance_ms(kPastTheWaitMs);
  // The version answer lies in the port when the clock is read.
  const std::array<uint8_t, 12> record{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  units_.clock.set_record(record);
  RTC_DAY_TIME rtc{};
  EXPECT_EQ(PassThruReadRTC(&rtc), 0);
  EXPECT_EQ(0, std::memcmp(&rtc, record.data(), sizeof rtc));
  EXPECT_EQ(PassThruReadVersion(7, fw, dll, api), 0);
  EXPECT_STREQ(fw, "01.02");
}

// --- arguments -----------------------------------------------------------------------

// Null pointers and names longer than a frame holds fail before anything
// is sent; the longest names that fit go out whole.
TEST_F(ServicesTest, ArgumentsAreCheckedBeforeAnythingIsSent) {
  std::string host = MakeHostFile("a", {1});
  std::string s = "S", longest_delete(58, 'N'), longest_open(68, 'L');
  char list[16] = "x";
  uint8_t buf[18] = {};
  const struct {
    int32_t status;
    int32_t expected;
    std::string text;  // the last error just after the call
    const char* expected_text;
  } cases[] = {
      {PassThruWriteFile(nullptr, s.data(), 0), 4, LastErrorText(), ""},
      {PassThruWriteFile(host.data(), nullptr, 0), 4, LastErrorText(), ""},
      {Write(host, longest_delete), 7, LastErrorText(), ""},
      {Write(host, "A,B"), 7, LastErrorText(), ""},
      {Write(host, "A\x9B"), 7, LastErrorText(),
       "PassThruWriteFile stored file name has a comma or control character"},
      {PassThruReadFile(host.data(), nullptr, 0), 4, LastErrorText(), ""},
      {Read(host, longest_open), 7, LastErrorText(), ""},
      {PassThruDeleteFile(nullptr, 0), 4, LastErrorText(), ""},
      {Delete(longest_delete), 7, LastErrorText(), ""},
      {PassThruReadDir(nullptr, list), 4, LastErrorText(), ""},
      {PassThruReadDir(s.data(), nullptr), 4, LastErrorText(), ""},
      {List(longest_open, list), 7, LastErrorText(), ""},
      {PassThruReadMem(0, 4, nullptr, 0), 4, LastErrorText(), "PassThruReadMem null parameter"},
      {PassThruWriteMem(0, 4, nullptr, 0), 4, LastErrorText(), ""},
      {PassThruReadRTC(nullptr), 4, LastErrorText(), "PassThruReadRTC null parameter"},
      {PassThruWriteRTC(nullptr), 4, LastErrorText(), "PassThruWriteRTC null parameter"},
      {PassThruUpdateFirmware(nullptr, 10), 4, LastErrorText(), ""},
      {PassThruSecurity(1, nullptr, buf, buf), 4, LastErrorText(), ""},
      {PassThruSecurity(1, buf, nullptr, buf), 4, LastErrorText(), ""},
      {PassThruSecurity(1, buf, buf, nullptr), 4, LastErrorText(),
       "PassThruSecurity null parameter"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, c.expected) << c.text;
    EXPECT_TRUE(*c.expected_text == 0 || c.text == c.expected_text) << c.text;
  }
  EXPECT_STREQ(list, "");
  EXPECT_TRUE(Sent().empty());

  ASSERT_EQ(Write(host, std::string(57, 'N')), 0);
  ASSERT_GE(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0].size, 68);  // 57 characters, the NUL and ten zeros
  EXPECT_EQ(Sent()[1].size, 58);
  adapter_.files().put(std::string(67, 'L'), {5});
  ClearLogs();
  ASSERT_EQ(Read(HostPath("x"), std::string(67, 'L')), 0);
  EXPECT_EQ(Sent().front().size, 68);
}

}  // namespace
}  // namespace orv::test
