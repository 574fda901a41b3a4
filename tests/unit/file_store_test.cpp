// The adapter file store over the in-process emulated adapter: the exact
// frames and batches of a write, reads, deletes and listings, and every
// refusal, missing answer and host-file failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "link/jmsg.h"
#include "orvanta_j2534.h"
#include "services/file_store.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t kFileDev = 0xE0;
constexpr uint8_t kSysDev = 0xF0;
constexpr uint8_t kDirType = 0x0F;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// The name with its NUL, as open frames carry it.
std::vector<uint8_t> NameData(const std::string& name) {
  std::vector<uint8_t> data = Bytes(name);
  data.push_back(0);
  return data;
}

emu::Frame DeleteFrame(const std::string& name) {
  std::vector<uint8_t> data = NameData(name);
  data.resize(data.size() + 10, 0);
  return emu::Frame::make(kFileDev, 7, 0, 0, data);
}

// A listing answer with the entry name from data byte 16.
emu::Frame ListingAnswer(uint8_t op, const std::string& name) {
  emu::Frame f = emu::Frame::make(kSysDev, op, kDirType);
  std::fill_n(f.data.begin(), 16, uint8_t{0xAB});
  std::copy(name.begin(), name.end(), f.data.begin() + 16);
  f.data[16 + name.size()] = 0;
  f.size = static_cast<uint8_t>(17 + name.size());
  return f;
}

void ExpectFrames(const std::vector<emu::Frame>& actual, const std::vector<emu::Frame>& expected) {
  std::vector<std::string> a, e;
  for (const auto& f : actual) a.push_back(emu::describe(f));
  for (const auto& f : expected) e.push_back(emu::describe(f));
  EXPECT_EQ(a, e);
}

class FileStoreTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    OpenLink();
  }

  std::string HostPath(const std::string& name) const { return (dir_ / name).string(); }
  std::string MakeHostFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string path = HostPath(name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static std::vector<uint8_t> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  const std::vector<std::vector<uint8_t>>& Writes() { return platform_.port(kAdapterPort).writes; }

  int32_t Write(std::string host, std::string stored) {
    return PassThruWriteFile(host.data(), stored.data(), 0);
  }
  int32_t Read(std::string host, std::string stored) {
    return PassThruReadFile(host.data(), stored.data(), 0);
  }
  int32_t Delete(std::string stored) { return PassThruDeleteFile(stored.data(), 0); }
  int32_t List(std::string pattern, char* list) { return PassThruReadDir(pattern.data(), list); }

  ScratchDir scratch_{"file-store"};
  const fs::path dir_ = scratch_.path();
};

// --- writing ---------------------------------------------------------------------

struct WriteCase {
  size_t length;
  std::vector<std::vector<uint8_t>> batches;  // data frame sizes per batch
};

// Names the case by its file length in test listings.
void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.length;
}

class FileStoreWriteFramesTest : public FileStoreTest,
                                 public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FileStoreWriteFramesTest, SendsDeleteOpenBatchesAndCloseAndStoresTheBytes) {
  const WriteCase& c = GetParam();
  const std::vector<uint8_t> contents = Pattern(c.length);
  const std::string host = MakeHostFile("host.bin", contents);
  ASSERT_EQ(Write(host, "DATA.BIN"), 0) << LastErrorText();

  std::vector<emu::Frame> expected{DeleteFrame("DATA.BIN"),
                                   emu::Frame::make(kFileDev, 5, 0, 0, NameData("DATA.BIN"))};
  size_t at = 0;
  for (const auto& batch : c.batches) {
    for (size_t i = 0; i < batch.size(); ++i) {
      const uint8_t flags = i + 1 == batch.size() ? 0x80 : 0x00;
      expected.push_back(
          emu::Frame::make(kFileDev, 3, 0, flags, std::span(contents).subspan(at, batch[i])));
      at += batch[i];
    }
  }
  expected.push_back(emu::Frame::make(kFileDev, 6, 0, 0));
  ExpectFrames(Sent(), expected);
  // One serial write each for delete, open, every batch and close.
  EXPECT_EQ(Writes().size(), 3 + c.batches.size());
  ASSERT_TRUE(adapter_.files().exists("DATA.BIN"));
  EXPECT_EQ(adapter_.files().get("DATA.BIN"), contents);
}

std::vector<uint8_t> Frames(size_t count, uint8_t last) {
  std::vector<uint8_t> sizes(count, 64);
  sizes.back() = last;
  return sizes;
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileStoreWriteFramesTest,
                         ::testing::Values(WriteCase{0, {}}, WriteCase{64, {{64}}},
                                           WriteCase{65, {{64, 1}}},
                                           WriteCase{4096, {Frames(64, 64)}},
                                           WriteCase{4097, {Frames(64, 64), {1}}}),
                         [](const auto& p) { return std::to_string(p.param.length); });

TEST_F(FileStoreTest, WriteReplacesAStoredFileAndGoesOnWhenTheDeleteIsRefused) {
  adapter_.files().put("IOT.NET", {9, 9, 9});
  const std::string host = MakeHostFile("a", {1, 2});
  ASSERT_EQ(Write(host, "IOT.NET"), 0);
  EXPECT_EQ(adapter_.files().get("IOT.NET"), (std::vector<uint8_t>{1, 2}));

  // The file no longer exists: the store refuses the delete, the copy goes on.
  adapter_.files().clear();
  auto& refused_delete = adapter_.add_rule({kFileDev, 7}, emu::Scripted::kRefuse);
  ASSERT_EQ(Write(host, "IOT.NET"), 0);
  EXPECT_EQ(refused_delete.seen, 1u);
  EXPECT_EQ(adapter_.files().get("IOT.NET"), (std::vector<uint8_t>{1, 2}));
}

TEST_F(FileStoreTest, RefusedOpenSendsNoDataAndFails) {
  adapter_.files().set_refuse_write_open(true);
  const std::string host = MakeHostFile("a", Pattern(100));
  EXPECT_EQ(Write(host, "IOT.NET"), 7);
  EXPECT_EQ(LastErrorText(), "PassThruWriteFile(OPEN): Error");
  const auto frames = Sent();
  ASSERT_EQ(frames.size(), 2u);  // delete and open only: no data, no close
  EXPECT_EQ(frames[1].op, 5);
}

TEST_F(FileStoreTest, UnansweredDeleteAndCloseStillSucceedAfterTheirWaits) {
  adapter_.drop_answer({kFileDev, 7});
  adapter_.drop_answer({kFileDev, 6});
  const std::string host = MakeHostFile("a", Pattern(10));
  const uint32_t start = platform_.now();
  ASSERT_EQ(Write(host, "X.BIN"), 0);
  const uint32_t elapsed = platform_.now() - start;
  EXPECT_GE(elapsed, 2 * kFileStoreWaitMs);
  EXPECT_LT(elapsed, 2 * kFileStoreWaitMs + 100);
  EXPECT_EQ(adapter_.files().get("X.BIN"), Pattern(10));
}

TEST_F(FileStoreTest, WriteFailingPartWayStopsAndLeavesThePartialFile) {
  const std::string host = MakeHostFile("a", Pattern(3 * 4096));
  // The second batch is refused: no third batch and no close follow.
  adapter_.refuse_answer({kFileDev, 3, emu::kAny, 0x80, 2});
  EXPECT_EQ(Write(host, "BIG.BIN"), 7);
  EXPECT_EQ(LastErrorText(), "PassThruWriteFile: Error");
  const auto frames = Sent();
  EXPECT_EQ(frames.size(), 2u + 2 * 64);
  EXPECT_EQ(frames.back().op, 3);
  EXPECT_TRUE(adapter_.file_unit().is_open());

  // A batch that is never acknowledged fails after the wait.
  ClearLogs();
  adapter_.clear_rules();
  adapter_.drop_answer({kFileDev, 3, emu::kAny, 0x80, 1});
  const uint32_t start = platform_.now();
  EXPECT_EQ(Write(host, "BIG.BIN"), 7);
  EXPECT_GE(platform_.now() - start, kFileStoreWaitMs);
  EXPECT_EQ(Sent().size(), 2u + 64);
}

TEST_F(FileStoreTest, HostFileThatCannotBeReadNeverSendsDataBytes) {
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

// Null pointers and names longer than a frame holds fail before anything
// is sent; the longest names that fit go out whole.
TEST_F(FileStoreTest, ArgumentsAreCheckedBeforeAnythingIsSent) {
  std::string host = MakeHostFile("a", {1});
  std::string s = "S", longest_delete(58, 'N'), longest_open(68, 'L');
  char list[16] = "x";
  const struct {
    int32_t status;
    int32_t expected;
  } cases[] = {
      {PassThruWriteFile(nullptr, s.data(), 0), 4},
      {PassThruWriteFile(host.data(), nullptr, 0), 4},
      {Write(host, longest_delete), 7},
      {PassThruReadFile(host.data(), nullptr, 0), 4},
      {Read(host, longest_open), 7},
      {PassThruDeleteFile(nullptr, 0), 4},
      {Delete(longest_delete), 7},
      {PassThruReadDir(nullptr, list), 4},
      {PassThruReadDir(s.data(), nullptr), 4},
      {List(longest_open, list), 7},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, c.expected);
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

// --- reading ----------------------------------------------------------------------

TEST_F(FileStoreTest, ReadCopiesTheStoredFileInBlocksUntilAnEmptyAnswer) {
  const std::vector<uint8_t> contents = Pattern(130);
  adapter_.files().put("LOG.TXT", contents);
  const std::string host = HostPath("log.txt");
  ASSERT_EQ(Read(host, "LOG.TXT"), 0) << LastErrorText();
  EXPECT_EQ(ReadHostFile(host), contents);

  std::vector<emu::Frame> expected{emu::Frame::make(kFileDev, 5, 0, 0x04, NameData("LOG.TXT"))};
  for (int i = 0; i < 4; ++i) expected.push_back(emu::Frame::make(kFileDev, 2, 0, 0x20));
  expected.push_back(emu::Frame::make(kFileDev, 6, 0, 0));
  ExpectFrames(Sent(), expected);
}

TEST_F(FileStoreTest, ReadOfAnEmptyStoredFileLeavesAnEmptyHostFile) {
  adapter_.files().put("EMPTY", {});
  const std::string host = MakeHostFile("old", Pattern(50));  // truncated by the read
  ASSERT_EQ(Read(host, "EMPTY"), 0);
  EXPECT_TRUE(fs::exists(host));
  EXPECT_EQ(fs::file_size(host), 0u);
  EXPECT_EQ(Read(HostPath("x"), "NOPE"), 7);  // a refused open makes no host file
  EXPECT_EQ(LastErrorText(), "PassThruReadFile(OPEN): Error");
  EXPECT_FALSE(fs::exists(HostPath("x")));
}

TEST_F(FileStoreTest, ReadRoundTripsWhatWasWritten) {
  for (size_t length : {0u, 1u, 64u, 4097u}) {
    const std::vector<uint8_t> contents = Pattern(length);
    ASSERT_EQ(Write(MakeHostFile("in", contents), "RT.BIN"), 0);
    ASSERT_EQ(Read(HostPath("out"), "RT.BIN"), 0);
    EXPECT_EQ(ReadHostFile(HostPath("out")), contents) << length;
  }
}

TEST_F(FileStoreTest, ReadIntoAFullDiskIsNoSuccess) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  adapter_.files().put("F", Pattern(300));
  EXPECT_EQ(Read("/dev/full", "F"), 7);
  EXPECT_NE(LastErrorText().find("file write error"), std::string::npos) << LastErrorText();
}

// --- deleting ---------------------------------------------------------------------

TEST_F(FileStoreTest, DeleteReportsWhetherTheStoreDeletedTheFile) {
  adapter_.files().put("OLD.TXT", {1});
  EXPECT_EQ(Delete("OLD.TXT"), 0);
  EXPECT_FALSE(adapter_.files().exists("OLD.TXT"));
  ExpectFrames(Sent(), {DeleteFrame("OLD.TXT")});

  EXPECT_EQ(Delete("OLD.TXT"), 7);
  EXPECT_EQ(LastErrorText(), "PassThruDeleteFile(DELETE): Error");

  adapter_.drop_answer({kFileDev, 7});
  const uint32_t start = platform_.now();
  EXPECT_EQ(Delete("ANY"), 7);
  EXPECT_GE(platform_.now() - start, kFileStoreWaitMs);
  EXPECT_EQ(LastErrorText(), "PassThruDeleteFile(DELETE): No response");
}

// --- listing ----------------------------------------------------------------------

TEST_F(FileStoreTest, ListingOfNoFilesIsTheEmptyText) {
  char list[16] = "leftover";
  ASSERT_EQ(List("*.*", list), 0);
  EXPECT_STREQ(list, "");
  ExpectFrames(Sent(), {emu::Frame::make(kSysDev, 5, kDirType, 0, NameData("*.*")),
                        emu::Frame::make(kSysDev, 6, kDirType, 0)});
}

TEST_F(FileStoreTest, ListingOfTwoFilesEndsEachWithAComma) {
  adapter_.files().put("A.TXT", {1});
  adapter_.files().put("B.TXT", {2, 2});
  adapter_.files().put("C.BIN", {3});
  adapter_.drop_answer({kSysDev, 6, kDirType});  // an unanswered close still completes it
  char list[64] = {};
  ASSERT_EQ(List("*.TXT", list), 0);
  EXPECT_STREQ(list, "A.TXT,B.TXT,");
  ExpectFrames(
      Sent(), {emu::Frame::make(kSysDev, 5, kDirType, 0, NameData("*.TXT")),
               emu::Frame::make(kSysDev, 2, kDirType, 0), emu::Frame::make(kSysDev, 2, kDirType, 0),
               emu::Frame::make(kSysDev, 6, kDirType, 0)});
}

TEST_F(FileStoreTest, ListingNeverReadsPastTheAnswerFrame) {
  // An entry without its NUL fills the frame: the name stops at its end.
  std::vector<uint8_t> data(68, 'X');
  adapter_.replace_answer({kSysDev, 5, kDirType},
                          {emu::Frame::make(kSysDev, 5, kDirType, 0, data)});
  // An entry shorter than the 16 unused bytes has an empty name.
  const std::vector<uint8_t> short_entry{1, 2, 3};
  adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, 1},
                          {emu::Frame::make(kSysDev, 2, kDirType, 0, short_entry)});
  adapter_.replace_answer({kSysDev, 2, kDirType, emu::kAny, 2}, {ListingAnswer(2, "LAST")});
  char list[128];
  std::memset(list, 0x55, sizeof list);
  ASSERT_EQ(List("*", list), 0);
  const std::string expected = std::string(52, 'X') + ",," + "LAST,";
  EXPECT_STREQ(list, expected.c_str());
  EXPECT_EQ(static_cast<uint8_t>(list[expected.size() + 1]), 0x55);
}

TEST_F(FileStoreTest, HostileListingStaysInsideTheListMaximum) {
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

}  // namespace
}  // namespace orv::test
