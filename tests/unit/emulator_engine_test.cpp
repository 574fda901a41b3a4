// What the library's tests take on trust from the emulator: that it
// behaves like the adapter and a COM port where the library can tell. Opens
// are exclusive; an answer falls due within the read that waits for it; a
// purge drops only what has arrived; the adapter cuts frames out of any
// split of the byte stream and answers a write batch once; the registry
// refuses a name without room for its NUL. The empty read's 1 ms wait is
// checked through the serial driver, the scripting helpers by the tests
// that use them.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/emulated_platform.h"

namespace orv::emu {
namespace {

using platform::kInvalidHandle;
using platform::SerialHandle;

class EmulatorTest : public ::testing::Test {
 protected:
  SerialHandle open(uint32_t port, platform::OsError expect = 0) {
    SerialHandle h = kInvalidHandle;
    const std::string name = "\\\\.\\COM" + std::to_string(port);
    EXPECT_EQ(plat.serial_open(name.c_str(), &h), expect) << name;
    return h;
  }
  void write(SerialHandle h, const Frame& f) {
    const auto wire = to_wire(f);
    uint32_t done = 0;
    ASSERT_EQ(plat.serial_write(h, wire.data(), static_cast<uint32_t>(wire.size()), &done), 0);
  }
  uint32_t read(SerialHandle h) {
    uint32_t done = 0;
    EXPECT_EQ(plat.serial_read(h, buf.data(), static_cast<uint32_t>(buf.size()), &done), 0);
    return done;
  }

  EmulatedPlatform plat;
  Adapter adapter;
  std::array<uint8_t, 4096> buf{};
  const Frame version = Frame::make(dev::kSystem, op::kRead, type::kVersion);
  const Frame serial = Frame::make(dev::kSystem, op::kRead, type::kSerialNumber);
};

TEST_F(EmulatorTest, OpensAreExclusiveAndAnAnswerFallsDueDuringARead) {
  plat.attach_adapter(7, adapter);
  open(5, oserr::kFileNotFound);
  const SerialHandle h = open(7);
  open(7, oserr::kAccessDenied);
  const uint32_t before = plat.tick_ms();
  write(h, version);
  EXPECT_EQ(read(h), 12u) << "the answer falls due during the 1 ms read";
  EXPECT_EQ(plat.tick_ms() - before, 1u);
  EXPECT_EQ(plat.serial_close(h), 0);
  EXPECT_EQ(plat.serial_close(h), oserr::kInvalidHandle);
}

TEST_F(EmulatorTest, PurgeDropsOnlyWhatHasArrived) {
  plat.attach_adapter(7, adapter);
  const SerialHandle h = open(7);
  adapter.delay_answer({dev::kSystem, op::kRead, type::kSerialNumber}, 100);
  write(h, version);
  write(h, serial);
  plat.sleep_ms(10);
  platform::SerialProperties props;
  ASSERT_EQ(plat.serial_get_properties(h, &props), 0);
  EXPECT_EQ(props.current_rx_queue, 12u);
  ASSERT_EQ(plat.serial_purge(h, platform::kPurgeAll), 0);
  EXPECT_EQ(read(h), 0u);
  plat.sleep_ms(100);
  EXPECT_EQ(read(h), 26u) << "the serial answer was still in the adapter";
}

TEST_F(EmulatorTest, FramesAreCutFromAnySplitAndABatchIsAnsweredOnce) {
  std::vector<uint8_t> stream;
  append_wire(Frame::make(dev::kFileStore, op::kOpen, 0, 0, std::vector<uint8_t>{'A', 0}), stream);
  for (int i = 0; i < 3; ++i) {
    append_wire(Frame::make(dev::kFileStore, op::kWrite, 0, i == 2 ? 0x80 : 0,
                            std::vector<uint8_t>(64, uint8_t(i))),
                stream);
  }
  for (uint8_t byte : stream) adapter.on_host_bytes(std::span(&byte, 1), 5000);
  EXPECT_EQ(adapter.received_frames().size(), 4u);
  const size_t answers = adapter.read_host_bytes(buf, 5001);
  EXPECT_EQ(answers, 20u) << "one answer to the open, one to the batch";
}

// A byte that cannot start a well-formed header is counted and skipped,
// one at a time, however the stream is split; the good frame after the
// garbage is still dispatched. Without a checksum the resync may land on a
// plausible header inside the garbage: a memory write header read from its
// third byte on is a CAN connect with 3 data bytes.
TEST_F(EmulatorTest, MalformedHeadersAreCountedAndSkipped) {
  const auto zeros = [](size_t n) { return std::vector<uint8_t>(n, 0); };
  const auto mem_write = [&](uint8_t flags, size_t n) {
    return to_wire(Frame::make(dev::kFileStore, op::kWrite, 0, flags, zeros(n)));
  };
  const struct {
    const char* what;
    std::vector<uint8_t> lead;
    uint64_t desync;
    uint64_t frames;  // the version request included
  } cases[] = {
      {"a good frame", to_wire(serial), 0, 2},
      {"unknown device", to_wire(Frame::make(0x55, op::kRead, 0)), 10, 1},
      {"unknown operation", to_wire(Frame::make(dev::kSystem, 4, 0)), 10, 1},
      {"69 data bytes", to_wire(Frame::make(dev::kCan1, op::kWrite, 5, 0, zeros(69))), 79, 1},
      {"memory write of 82", mem_write(kMemoryWriteFlags, 82), 0, 2},
      {"82 without the memory write flags", mem_write(0, 82), 92, 1},
      {"memory write of 83", mem_write(kMemoryWriteFlags, 83), 2 + 78, 2},
      {"garbage", {0xFF, 0x13, 0x37}, 3, 1},
  };
  for (const auto& c : cases) {
    for (const bool bytewise : {false, true}) {
      Adapter a;
      std::vector<uint8_t> stream = c.lead;
      append_wire(version, stream);
      if (bytewise) {
        for (uint8_t byte : stream) a.on_host_bytes(std::span(&byte, 1), 5000);
      } else {
        a.on_host_bytes(stream, 5000);
      }
      const std::string what = std::string(c.what) + (bytewise ? " (bytewise)" : "");
      EXPECT_EQ(a.desync_bytes(), c.desync) << what;
      EXPECT_EQ(a.frames_received(), c.frames) << what;
      ASSERT_FALSE(a.received_frames().empty()) << what;
      EXPECT_EQ(a.received_frames().back(), version) << what;
    }
  }
}

// Unplugged: the partial frame and the queued answer are gone, so the next
// whole frame is read from its own first byte.
TEST_F(EmulatorTest, PowerCycleDropsThePartialFrameAndTheOutput) {
  adapter.on_host_bytes(to_wire(version), 5000);
  const auto wire = to_wire(serial);
  adapter.on_host_bytes(std::span(wire).first(5), 5000);
  adapter.power_cycle();
  adapter.on_host_bytes(wire, 5000);
  EXPECT_EQ(adapter.desync_bytes(), 0u);
  EXPECT_EQ(adapter.frames_received(), 2u);
  EXPECT_EQ(adapter.read_host_bytes(buf, 5001), 26u) << "only the serial number's answer";
}

TEST_F(EmulatorTest, RegistryNamesNeedRoomForTheirNulAndIgnoreCase) {
  RegistrySubkey ours{"Orvanta", {}};
  ours.text("Name", "Orvanta-IOT");
  plat.set_registry({ours});
  char name[8];
  EXPECT_EQ(plat.registry_enum_subkey(0, name, 8), 0);
  EXPECT_EQ(plat.registry_enum_subkey(0, name, 7), oserr::kMoreData);
  EXPECT_EQ(plat.registry_enum_subkey(1, name, 8), oserr::kNoMoreItems);
  uint8_t data[12];
  uint32_t size = 11;
  EXPECT_EQ(plat.registry_query_value("orvanta", "NAME", data, &size), oserr::kMoreData);
  size = sizeof data;
  EXPECT_EQ(plat.registry_query_value("orvanta", "NAME", data, &size), 0);
  EXPECT_EQ(size, 12u);
}

TEST_F(EmulatorTest, StoreDirectoryKeepsNamesThatWouldLeaveIt) {
  const auto dir = std::filesystem::path(::testing::TempDir()) / "orv_emu_store";
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(adapter.files().set_store_dir(dir.string()));
  for (const char* name : {"NEW.TXT", "../ESCAPE.TXT"}) {
    const std::string text(name);
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    adapter.on_host_bytes(to_wire(Frame::make(dev::kFileStore, op::kOpen, 0, 0, data)), 5000);
    adapter.on_host_bytes(to_wire(Frame::make(dev::kFileStore, op::kClose, 0)), 5000);
  }
  EXPECT_TRUE(std::filesystem::exists(dir / "NEW.TXT"));
  EXPECT_FALSE(std::filesystem::exists(dir.parent_path() / "ESCAPE.TXT"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orv::emu
