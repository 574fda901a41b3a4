// Answers that arrive after their wait has ended, over the in-process
// emulated adapter (virtual clock): the late answer must never turn a later
// operation into a false success, and no operation may hand the caller
// bytes the adapter did not send for it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "orvanta_j2534.h"
#include "services/file_store.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPastTheWaitMs = 16000;  // every file-store wait is 15 s

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 5 + seed);
  return bytes;
}

class LateAnswerTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    OpenLink();
  }
  int32_t ReadFile(const std::string& stored, const fs::path& host) {
    std::string h = host.string();
    std::string s = stored;
    return PassThruReadFile(h.data(), s.data(), 0);
  }
  int32_t WriteFile(const fs::path& host, const std::string& stored) {
    std::string h = host.string();
    std::string s = stored;
    return PassThruWriteFile(h.data(), s.data(), 0);
  }
  static std::vector<uint8_t> HostBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Lets the virtual clock run so that late answers reach the port.
  void LetTimePass(uint32_t ms) { platform_.advance_ms(ms); }

  ScratchDir scratch_{"late"};
  const fs::path dir_ = scratch_.path();
};

TEST_F(LateAnswerTest, LateDeleteAnswerDoesNotCorruptTheCopy) {
  const std::vector<uint8_t> bytes = Pattern(5000, 1);
  adapter_.files().put("DATA.BIN", Pattern(10, 9));
  std::ofstream(dir_ / "in.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  adapter_.delay_answer({0xE0, 7, emu::kAny, emu::kAny, 1}, kPastTheWaitMs);
  EXPECT_EQ(WriteFile(dir_ / "in.bin", "DATA.BIN"), 0);
  EXPECT_EQ(adapter_.files().get("DATA.BIN"), bytes);
  // The stale delete answer arrives later and is taken by the next wait.
  LetTimePass(kPastTheWaitMs);
  EXPECT_EQ(WriteFile(dir_ / "in.bin", "DATA.BIN"), 0);
  EXPECT_EQ(adapter_.files().get("DATA.BIN"), bytes);
}

TEST_F(LateAnswerTest, LateReadAnswerFailsTheReadAndNoLaterReadClaimsAFileItDidNotGet) {
  const std::vector<uint8_t> stored = Pattern(300, 4);
  adapter_.files().put("LOG.BIN", stored);
  // The second block's answer comes after its wait has ended.
  adapter_.delay_answer({0xE0, 2, emu::kAny, 0x20, 2}, kPastTheWaitMs);
  EXPECT_EQ(ReadFile("LOG.BIN", dir_ / "first.bin"), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruReadFile(READ): Error");
  LetTimePass(kPastTheWaitMs);
  // The late block lies in the port when the next read starts; the answers
  // then come one per read, as a slow link delivers them.
  adapter_.set_read_pieces({74, 10, 74, 74, 74, 74, 74, 74});
  const int32_t status = ReadFile("LOG.BIN", dir_ / "second.bin");
  const std::vector<uint8_t> got = HostBytes(dir_ / "second.bin");
  if (status == 0) {
    EXPECT_EQ(got, stored) << "a read succeeded with a file that is not the stored one";
  }
  // Whatever the outcome, a later read is whole again.
  LetTimePass(kPastTheWaitMs);
  ASSERT_EQ(ReadFile("LOG.BIN", dir_ / "third.bin"), 0);
  EXPECT_EQ(HostBytes(dir_ / "third.bin"), stored);
}

// The first read is answered with two frames; the second lies in the port
// when the first wait has ended.
TEST_F(LateAnswerTest, ReadDataArrivingAfterItsWaitReachesTheHostFileInOrder) {
  adapter_.files().put("TWO.BIN", {});
  const std::vector<uint8_t> a(4, 'A'), b(4, 'B');
  adapter_.replace_answer({0xE0, 2, emu::kAny, 0x20, 1},
                          {emu::Frame::make(0xE0, 2, 0, 0, a), emu::Frame::make(0xE0, 2, 0, 0, b)});
  adapter_.set_read_pieces({10, 14});  // the open's answer, then "AAAA" alone
  ASSERT_EQ(ReadFile("TWO.BIN", dir_ / "two.bin"), 0);
  EXPECT_EQ(HostBytes(dir_ / "two.bin"),
            (std::vector<uint8_t>{'A', 'A', 'A', 'A', 'B', 'B', 'B', 'B'}));
}

// An adapter that never ends a file: the host file stops at the cap.
TEST_F(LateAnswerTest, ReadDataBeyondTheHostFileCapFails) {
  adapter_.replace_answer({0xE0, 2, emu::kAny, 0x20},
                          {emu::Frame::make(0xE0, 2, 0, 0, Pattern(64, 1))});
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ReceiveFileContents(file, "endless.bin", 1000), ERR_FAILED);
  EXPECT_EQ(std::ftell(file), 960);
  EXPECT_EQ(LastErrorText(), "PassThruReadFile(): endless.bin would exceed 1000 bytes");
  std::fclose(file);
}

TEST_F(LateAnswerTest, LateListingAnswerNeverAddsAForeignEntry) {
  adapter_.files().put("A.TXT", {1});
  adapter_.files().put("B.TXT", {2});
  adapter_.delay_answer({0xF0, 2, 0x0F, emu::kAny, 1}, kPastTheWaitMs);
  char list[512];
  std::string pattern = "*.TXT";
  EXPECT_EQ(PassThruReadDir(pattern.data(), list), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruReadDir: No response");
  LetTimePass(kPastTheWaitMs);
  const int32_t status = PassThruReadDir(pattern.data(), list);
  if (status == 0) {
    EXPECT_EQ(std::string(list), "A.TXT,B.TXT,");
  }
}

TEST_F(LateAnswerTest, LateClockAndVersionAnswersAreNotTakenForTheNextRequest) {
  adapter_.delay_answer({0xF0, 2, 0x0D, emu::kAny, 1}, kPastTheWaitMs);
  char fw[80], dll[80], api[80];
  EXPECT_EQ(PassThruReadVersion(7, fw, dll, api), ERR_FAILED);
  EXPECT_EQ(LastErrorText(), "PassThruReadVersion: No response");
  LetTimePass(kPastTheWaitMs);
  // A version answer lying in the port is no clock answer.
  RTC_DAY_TIME rtc{};
  EXPECT_EQ(PassThruReadRTC(&rtc), ERR_FAILED);  // no clock unit: no clock answer
  EXPECT_EQ(LastErrorText(), "PassThruReadRTC: No response");
  EXPECT_EQ(PassThruReadVersion(7, fw, dll, api), 0);
  EXPECT_STREQ(fw, "01.02");
}

}  // namespace
}  // namespace orv::test
