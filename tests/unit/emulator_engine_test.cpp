// The adapter engine on its own: frame cutting, the system and file-store
// units, and the test scripting. Time is whatever the test passes in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emulator/adapter.h"

namespace orv::emu {
namespace {

std::vector<uint8_t> bytes_of(const std::string& text, bool nul = true) {
  std::vector<uint8_t> b(text.begin(), text.end());
  if (nul) b.push_back(0);
  return b;
}

// Drives an Adapter like a host: sends frames, collects due answers.
struct Host {
  Adapter adapter;
  uint32_t now = 5000;

  void send(const Frame& f) { adapter.on_host_bytes(to_wire(f), now); }
  void send(uint8_t dev, uint8_t op, uint8_t type, uint8_t flags = 0,
            const std::vector<uint8_t>& data = {}) {
    send(Frame::make(dev, op, type, flags, data));
  }
  // Every frame due by now + ms.
  std::vector<Frame> answers(uint32_t ms = 1) {
    now += ms;
    std::vector<uint8_t> stream(4096);
    std::vector<uint8_t> all;
    while (size_t n = adapter.read_host_bytes(stream, now)) {
      all.insert(all.end(), stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
    }
    std::vector<Frame> frames;
    Frame f;
    size_t pos = 0;
    while (size_t used = cut_frame(std::span(all).subspan(pos), &f)) {
      frames.push_back(f);
      pos += used;
    }
    EXPECT_EQ(pos, all.size()) << "output ended inside a frame";
    return frames;
  }
  Frame one_answer() {
    auto a = answers();
    EXPECT_EQ(a.size(), 1u);
    return a.empty() ? Frame{} : a.front();
  }
};

bool refused(const Frame& f) {
  return (f.flags & kFlagRefused) != 0;
}

TEST(EmulatorFrames, CutsFramesAcrossPiecesAndKeepsPartialOnes) {
  Host host;
  std::vector<uint8_t> stream;
  append_wire(Frame::make(dev::kSystem, op::kStop, 0), stream);
  append_wire(Frame::make(dev::kCan1, op::kWrite, 5, 0x10, std::vector<uint8_t>(68, 0xAA)), stream);
  append_wire(Frame::make(dev::kSystem, op::kRead, type::kVersion), stream);
  // 9 bytes: nothing yet; then byte by byte through the big frame.
  host.adapter.on_host_bytes(std::span(stream).first(9), host.now);
  EXPECT_TRUE(host.adapter.received_frames().empty());
  size_t pos = 9;
  for (; pos < 10 + 10 + 68 - 1; ++pos)
    host.adapter.on_host_bytes(std::span(stream).subspan(pos, 1), host.now);
  EXPECT_EQ(host.adapter.received_frames().size(), 1u);
  host.adapter.on_host_bytes(std::span(stream).subspan(pos), host.now);
  const auto got = host.adapter.received_frames();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].size, 68);
  EXPECT_EQ(got[1].flags, 0x10);
  EXPECT_EQ(got[2].type, type::kVersion);
  EXPECT_EQ(describe(got[2]), "00 00 F0 02 00 0D (00000000)");
  host.adapter.clear_log();
  EXPECT_TRUE(host.adapter.received_log().empty());
}

TEST(EmulatorSystem, VersionSerialAndStop) {
  Host host;
  host.send(dev::kSystem, op::kStop, 0);
  EXPECT_TRUE(host.answers(100).empty());

  host.send(dev::kSystem, op::kRead, type::kVersion);
  EXPECT_TRUE(host.answers(0).empty()) << "answers come 1 ms after the request";
  Frame v = host.one_answer();
  EXPECT_EQ(describe(v), "00 02 F0 02 00 0D (00000000) 01 02");

  host.adapter.system().set_version_size(4);
  host.send(dev::kSystem, op::kRead, type::kVersion);
  EXPECT_EQ(host.one_answer().size, 4);
  host.adapter.system().set_version_size(3);
  host.send(dev::kSystem, op::kRead, type::kVersion);
  EXPECT_EQ(host.one_answer().size, 3);
  host.adapter.system().set_version_size(0);
  host.send(dev::kSystem, op::kRead, type::kVersion);
  EXPECT_TRUE(host.answers(1000).empty());

  host.adapter.system().set_serial_number(123456);
  host.send(dev::kSystem, op::kRead, type::kSerialNumber);
  Frame s = host.one_answer();
  ASSERT_EQ(s.size, 16);
  EXPECT_EQ(s.type, type::kSerialNumber);
  EXPECT_EQ((std::vector<uint8_t>{s.data[8], s.data[9], s.data[10], s.data[11]}),
            (std::vector<uint8_t>{0x00, 0x01, 0xE2, 0x40}));
}

TEST(EmulatorFileStore, WriteFileOneAnswerPerBatch) {
  Host host;
  const auto name = bytes_of("IOT.NET");
  auto del = name;
  del.resize(name.size() + 10, 0);
  host.send(dev::kFileStore, op::kDelete, 0, 0, del);
  EXPECT_TRUE(refused(host.one_answer())) << "no such file yet";
  host.send(dev::kFileStore, op::kOpen, 0, 0, name);
  EXPECT_FALSE(refused(host.one_answer()));

  std::vector<uint8_t> batch;
  for (int i = 0; i < 64; ++i) {
    append_wire(
        Frame::make(dev::kFileStore, op::kWrite, 0, 0, std::vector<uint8_t>(64, uint8_t(i))),
        batch);
  }
  append_wire(Frame::make(dev::kFileStore, op::kWrite, 0, 0x80, std::vector<uint8_t>{7}), batch);
  host.adapter.on_host_bytes(batch, host.now);
  const auto acks = host.answers();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(describe(acks[0]), "00 00 E0 02 00 00 (00000000)");

  host.send(dev::kFileStore, op::kClose, 0);
  EXPECT_FALSE(refused(host.one_answer()));
  const auto stored = host.adapter.files().get("iot.net");  // names ignore case
  ASSERT_EQ(stored.size(), 64u * 64u + 1u);
  EXPECT_EQ(stored[64 * 5], 5);
  EXPECT_EQ(stored.back(), 7);

  host.send(dev::kFileStore, op::kDelete, 0, 0, del);
  EXPECT_FALSE(refused(host.one_answer()));
  EXPECT_FALSE(host.adapter.files().exists("IOT.NET"));
}

TEST(EmulatorFileStore, RefusalsAndReading) {
  Host host;
  host.send(dev::kFileStore, op::kOpen, 0, 0x04, bytes_of("NONE.BIN"));
  EXPECT_TRUE(refused(host.one_answer()));
  host.send(dev::kFileStore, op::kWrite, 0, 0x80, {1, 2});
  EXPECT_TRUE(refused(host.one_answer())) << "data without an open file";
  host.adapter.files().set_refuse_write_open(true);
  host.send(dev::kFileStore, op::kOpen, 0, 0, bytes_of("A.BIN"));
  EXPECT_TRUE(refused(host.one_answer()));
  EXPECT_FALSE(host.adapter.files().exists("A.BIN"));

  std::vector<uint8_t> contents(100);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = uint8_t(i);
  host.adapter.files().put("DATA.BIN", contents);
  host.send(dev::kFileStore, op::kOpen, 0, 0x04, bytes_of("DATA.BIN"));
  EXPECT_FALSE(refused(host.one_answer()));
  std::vector<uint8_t> got;
  for (int i = 0; i < 3; ++i) {
    host.send(dev::kFileStore, op::kRead, 0, 0x20);
    const Frame f = host.one_answer();
    EXPECT_FALSE(refused(f));
    got.insert(got.end(), f.payload().begin(), f.payload().end());
    EXPECT_EQ(f.size, i == 0 ? 64 : i == 1 ? 36 : 0);
  }
  EXPECT_EQ(got, contents);
  // Memory requests on the same device are not the file store's.
  host.send(dev::kFileStore, op::kRead, 0, 0, std::vector<uint8_t>(9));
  EXPECT_TRUE(host.answers().empty());
}

TEST(EmulatorFileStore, MirrorsIntoStoreDirectory) {
  const auto dir = std::filesystem::path(::testing::TempDir()) / "orv_emu_store";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "OLD.TXT") << "old";
  Host host;
  ASSERT_TRUE(host.adapter.files().set_store_dir(dir.string()));
  EXPECT_EQ(host.adapter.files().get("OLD.TXT"), bytes_of("old", false));
  host.send(dev::kFileStore, op::kOpen, 0, 0, bytes_of("NEW.TXT"));
  host.send(dev::kFileStore, op::kWrite, 0, 0x80, bytes_of("hi", false));
  host.send(dev::kFileStore, op::kClose, 0);
  // A name that would leave the directory stays in memory only.
  host.send(dev::kFileStore, op::kOpen, 0, 0, bytes_of("../ESCAPE.TXT"));
  host.send(dev::kFileStore, op::kClose, 0);
  EXPECT_EQ(host.answers().size(), 5u);
  EXPECT_EQ(std::filesystem::file_size(dir / "NEW.TXT"), 2u);
  EXPECT_FALSE(std::filesystem::exists(dir.parent_path() / "ESCAPE.TXT"));
  EXPECT_TRUE(host.adapter.files().exists("../ESCAPE.TXT"));
  std::filesystem::remove_all(dir);
}

TEST(EmulatorListing, WildcardsAndEntries) {
  EXPECT_TRUE(wildcard_match("*.*", "README"));
  EXPECT_TRUE(wildcard_match("*.txt", "A.TXT"));
  EXPECT_TRUE(wildcard_match("?.T*", "b.txt"));
  EXPECT_FALSE(wildcard_match("?.TXT", "AB.TXT"));
  EXPECT_FALSE(wildcard_match("*.TXT", "A.TXT.BAK"));
  EXPECT_TRUE(wildcard_match("*A*B*", "xxAyyBzz"));

  Host host;
  host.adapter.files().put("B.TXT", {1, 2, 3});
  host.adapter.files().put("A.TXT", {});
  host.adapter.files().put("C.BIN", {});
  host.send(dev::kSystem, op::kOpen, type::kDirectory, 0, bytes_of("*.TXT"));
  Frame first = host.one_answer();
  EXPECT_EQ(first.op, op::kOpen);
  EXPECT_EQ(first.type, type::kDirectory);
  EXPECT_EQ(text_from(first.payload().subspan(16)), "A.TXT");
  host.send(dev::kSystem, op::kRead, type::kDirectory);
  Frame second = host.one_answer();
  EXPECT_EQ(text_from(second.payload().subspan(16)), "B.TXT");
  EXPECT_EQ(second.data[0], 3) << "file size in the first bytes";
  host.send(dev::kSystem, op::kRead, type::kDirectory);
  EXPECT_EQ(host.one_answer().size, 0);
  host.send(dev::kSystem, op::kClose, type::kDirectory);
  Frame closed = host.one_answer();
  EXPECT_EQ(closed.op, op::kClose);
  EXPECT_EQ(closed.size, 0);
}

TEST(EmulatorScripting, DropDelayRefuseReplace) {
  Host host;
  host.adapter.drop_answer({dev::kSystem, op::kRead, type::kVersion, kAny, 2});
  for (int i = 0; i < 3; ++i) host.send(dev::kSystem, op::kRead, type::kVersion);
  EXPECT_EQ(host.answers().size(), 2u) << "only the second is dropped";

  host.adapter.clear_rules();
  host.adapter.delay_answer({dev::kSystem, op::kRead, type::kSerialNumber}, 500);
  host.send(dev::kSystem, op::kRead, type::kSerialNumber);
  host.send(dev::kSystem, op::kRead, type::kVersion);
  auto early = host.answers(1);
  ASSERT_EQ(early.size(), 1u) << "the later answer overtakes the delayed one";
  EXPECT_EQ(early[0].type, type::kVersion);
  EXPECT_TRUE(host.answers(499).empty());
  EXPECT_EQ(host.answers(1).size(), 1u);

  host.adapter.clear_rules();
  // A write batch is counted by its last frame.
  host.adapter.refuse_answer({dev::kFileStore, op::kWrite, kAny, 0x80, 2});
  host.send(dev::kFileStore, op::kOpen, 0, 0, bytes_of("X"));
  for (int batch = 0; batch < 3; ++batch) {
    host.send(dev::kFileStore, op::kWrite, 0, 0, {1});
    host.send(dev::kFileStore, op::kWrite, 0, 0x80, {2});
  }
  const auto acks = host.answers();
  ASSERT_EQ(acks.size(), 4u);
  EXPECT_FALSE(refused(acks[1]));
  EXPECT_TRUE(refused(acks[2]));
  EXPECT_FALSE(refused(acks[3]));

  const Frame adc = Frame::make(dev::kAdc, op::kRead, 0, 0, std::vector<uint8_t>{2, 0x34, 0x12});
  ScriptRule& rule = host.adapter.replace_answer({dev::kAdc, op::kRead}, {adc, adc});
  host.send(dev::kAdc, op::kRead, 0, 0, {2});
  EXPECT_EQ(host.answers(), (std::vector<Frame>{adc, adc}));
  EXPECT_EQ(rule.seen, 1u);
}

TEST(EmulatorScripting, SplitReadsAndInjection) {
  Host host;
  host.adapter.set_answer_latency(0);
  host.adapter.set_read_pieces({3, 9});
  host.adapter.set_max_read(5);
  host.send(dev::kSystem, op::kRead, type::kSerialNumber);  // 26 bytes
  std::array<uint8_t, 64> buf{};
  std::vector<size_t> sizes;
  while (size_t n = host.adapter.read_host_bytes(buf, host.now)) sizes.push_back(n);
  EXPECT_EQ(sizes, (std::vector<size_t>{3, 9, 5, 5, 4}));

  host.adapter.set_max_read(0);
  const std::vector<uint8_t> junk{0xDE, 0xAD};
  host.adapter.inject_bytes_at(junk, host.now + 10);
  host.adapter.inject_frame(
      Frame::make(dev::kSystem, op::kRead, 0, kFlagRefused, std::vector<uint8_t>{0x10}));
  EXPECT_EQ(host.adapter.read_host_bytes(buf, host.now), 11u);
  EXPECT_EQ(host.adapter.ms_until_next_output(host.now), 10);
  EXPECT_FALSE(host.adapter.has_output_due(host.now + 9));
  EXPECT_EQ(host.adapter.read_host_bytes(buf, host.now + 10), 2u);
  EXPECT_EQ(buf[0], 0xDE);
}

TEST(EmulatorScripting, ClockWrapKeepsOrder) {
  Host host;
  host.now = 0xFFFFFFF0u;
  host.adapter.delay_answer({dev::kSystem, op::kRead, type::kVersion}, 30);
  host.send(dev::kSystem, op::kRead, type::kVersion);
  EXPECT_TRUE(host.answers(20).empty());
  EXPECT_EQ(host.answers(11).size(), 1u) << "due after the 32-bit wrap";
}

}  // namespace
}  // namespace orv::emu
