// The provisioning core over the in-process emulated adapter: the exact
// bytes of "IOT.NET" locally and in the adapter's store, open-on-paint,
// and the outcomes that must send nothing.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "app/provision_core.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

#if defined(_WIN32)
constexpr bool kPosixFiles = false;
#else
constexpr bool kPosixFiles = true;
#endif

namespace fs = std::filesystem;
using app::Provision;

std::vector<uint8_t> Bytes(std::initializer_list<std::string> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<uint8_t> Built(std::string_view ssid, std::string_view password) {
  std::array<uint8_t, app::kMaxNetworkFileSize> out{};
  const size_t size = app::BuildNetworkFile(ssid, password, out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size)};
}

TEST(NetworkFileLayout, LengthBytesFrameTheTwoFields) {
  EXPECT_EQ(Built("Home", "secret12"), Bytes({"\x04", "Home", "\x08", "secret12"}));
  EXPECT_EQ(Built("", ""), (std::vector<uint8_t>{0, 0}));
  const std::string ssid(31, 'S'), password(63, 'P');
  const auto longest = Built(ssid, password);
  ASSERT_EQ(longest.size(), 96u);
  EXPECT_EQ(longest[0], 31);
  EXPECT_EQ(longest[32], 63);
  EXPECT_TRUE(Built(std::string(32, 'S'), "").empty());
  EXPECT_TRUE(Built("", std::string(64, 'P')).empty());
}

// Runs each test in a fresh current directory, where "IOT.NET" is written.
class ProvisionTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    fs::current_path(scratch_.path());
  }
  void TearDown() override {
    fs::current_path(previous_);
    LibraryTest::TearDown();
  }
  static std::vector<uint8_t> LocalFile() {
    std::ifstream in("IOT.NET", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  const fs::path previous_ = fs::current_path();
  ScratchDir scratch_{"provision"};
};

TEST_F(ProvisionTest, OpenOnPaintFindsTheAdapterOrReportsNotConnected) {
  uint32_t id = 0;
  EXPECT_EQ(app::ProvisionOpenOnPaint(&id), 0);
  EXPECT_EQ(id, kAdapterPort);
  EXPECT_EQ(app::ProvisionCancel(id), 0);
  EXPECT_EQ(app::ProvisionOpenOnPaint(&id, "COM7"), 0);
  EXPECT_EQ(app::ProvisionCancel(id), 0);

  platform_.remove_port(kAdapterPort);
  EXPECT_EQ(app::ProvisionOpenOnPaint(&id), 8);
  EXPECT_EQ(id, 0u);
}

TEST_F(ProvisionTest, WritesIotNetAndStoresTheSameBytesOnTheAdapter) {
  OpenLink();
  StartTrace();
  ASSERT_EQ(Provision("Home", "secret12"), 0) << LastErrorText();
  const auto expected = Bytes({"\x04", "Home", "\x08", "secret12"});
  EXPECT_EQ(LocalFile(), expected);
  if (kPosixFiles) {
    EXPECT_EQ(fs::status("IOT.NET").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(adapter_.files().get("IOT.NET"), expected);
  // Anyone on the machine may be the trace's listener: the data frame shows
  // its header and length, never "secret12" (73 65 63 72 ...).
  const std::string trace = platform_.trace_text();
  EXPECT_NE(trace.find("00 0E E0 03 80 00 (00000000) [14 data bytes not shown]"), std::string::npos)
      << trace;
  EXPECT_EQ(trace.find("73 65 63 72"), std::string::npos) << trace;

  // Empty boxes still give a two-byte file that is copied. The new file
  // replaces the old one: a reader holding the old one never sees it.
  std::ifstream held;
  if (kPosixFiles) held.open("IOT.NET", std::ios::binary);  // Windows renames no open file
  ASSERT_EQ(Provision("", ""), 0);
  EXPECT_EQ(LocalFile(), (std::vector<uint8_t>{0, 0}));
  if (kPosixFiles) {
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(held), {}), expected);
  }
  EXPECT_EQ(adapter_.files().get("IOT.NET"), (std::vector<uint8_t>{0, 0}));
}

TEST_F(ProvisionTest, RefusedTransferReturnsTheStatusAndKeepsTheLocalFile) {
  OpenLink();
  adapter_.files().set_refuse_write_open(true);
  EXPECT_EQ(Provision("Home", "secret12"), 7);
  EXPECT_EQ(LocalFile(), Bytes({"\x04", "Home", "\x08", "secret12"}));
  EXPECT_FALSE(adapter_.files().exists("IOT.NET"));
}

TEST_F(ProvisionTest, NothingIsWrittenOrSentForFieldsTooLong) {
  OpenLink();
  EXPECT_EQ(Provision(std::string(32, 'S'), "pw"), app::kProvisionSsidTooLong);
  EXPECT_EQ(Provision("ssid", std::string(64, 'P')), app::kProvisionPasswordTooLong);
  EXPECT_FALSE(fs::exists("IOT.NET"));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ProvisionTest, IotNetThatCannotBeWrittenOrIsNotOursIsNeverSent) {
  OpenLink();
  adapter_.files().put("IOT.NET", {1, 'x', 0});
  std::ofstream("victim") << "victim's";
  const struct {
    void (*make)();
    int32_t outcome;
  } cases[] = {
      {[] { fs::create_directory("IOT.NET"); }, app::kProvisionFileNotWritten},
      {[] { fs::create_symlink("victim", "IOT.NET"); }, app::kProvisionFileNotOwn},
      {[] { fs::create_hard_link("victim", "IOT.NET"); }, app::kProvisionFileNotOwn},
  };
  // Windows has no owner-only mode bits, and links need privileges there.
  for (const auto& c : std::span(cases).first(kPosixFiles ? std::size(cases) : 1)) {
    c.make();
    EXPECT_EQ(Provision("Home", "secret12"), c.outcome);
    EXPECT_TRUE(Sent().empty());
    fs::remove("IOT.NET");
  }
  EXPECT_EQ(adapter_.files().get("IOT.NET"), (std::vector<uint8_t>{1, 'x', 0}));
  std::ifstream victim("victim");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "victim's");
}

}  // namespace
}  // namespace orv::test
