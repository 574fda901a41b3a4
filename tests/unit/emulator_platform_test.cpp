// The in-process platform: virtual clock, ports, faults, registry, trace.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "emulator/emulated_platform.h"

namespace orv::emu {
namespace {

using platform::kInvalidHandle;
using platform::SerialHandle;

class EmulatedPlatformTest : public ::testing::Test {
 protected:
  SerialHandle open(uint32_t port, platform::OsError expect = 0) {
    SerialHandle h = kInvalidHandle;
    const std::string name = "\\\\.\\COM" + std::to_string(port);
    EXPECT_EQ(plat.serial_open(name.c_str(), &h), expect) << name;
    return h;
  }
  platform::OsError write(SerialHandle h, const Frame& f) {
    const auto wire = to_wire(f);
    uint32_t done = 0;
    return plat.serial_write(h, wire.data(), static_cast<uint32_t>(wire.size()), &done);
  }
  uint32_t read(SerialHandle h, uint32_t count = 4096) {
    uint32_t done = 0;
    EXPECT_EQ(plat.serial_read(h, buf.data(), count, &done), 0);
    return done;
  }

  EmulatedPlatform plat;
  Adapter adapter;
  std::array<uint8_t, 4096> buf{};
  const Frame version_request = Frame::make(dev::kSystem, op::kRead, type::kVersion);
};

TEST_F(EmulatedPlatformTest, VirtualClockAndReads) {
  EXPECT_EQ(plat.tick_ms(), 1000u);
  plat.sleep_ms(200);
  EXPECT_EQ(plat.tick_ms(), 1200u);
  plat.attach_adapter(7, adapter);
  const SerialHandle h = open(7);
  // Empty reads cost 1 ms each: a 15 s wait is 15000 reads.
  for (int i = 0; i < 15000; ++i) ASSERT_EQ(read(h), 0u);
  EXPECT_EQ(plat.tick_ms(), 16200u);

  ASSERT_EQ(write(h, version_request), 0);
  EXPECT_EQ(read(h), 12u) << "the answer falls due during the 1 ms read";
  EXPECT_EQ(plat.tick_ms(), 16201u);
  adapter.set_answer_latency(0);
  ASSERT_EQ(write(h, version_request), 0);
  EXPECT_EQ(read(h), 12u);
  EXPECT_EQ(plat.tick_ms(), 16201u) << "a read that returns bytes takes no time";

  ASSERT_EQ(plat.port(7).writes.size(), 2u);
  EXPECT_EQ(plat.written_frames(7), (std::vector<Frame>{version_request, version_request}));

  // Setting the clock near the wrap passes no time for the adapter.
  plat.set_tick(0xFFFFFFFFu);
  ASSERT_EQ(write(h, Frame::make(dev::kSystem, op::kRead, type::kSerialNumber)), 0);
  EXPECT_EQ(read(h), 26u);
  EXPECT_EQ(read(h), 0u);
  EXPECT_EQ(plat.tick_ms(), 0u);
}

TEST_F(EmulatedPlatformTest, PortsAreExclusiveAndSilentPortsSwallow) {
  plat.attach_adapter(7, adapter);
  plat.add_silent_port(3);
  open(5, oserr::kFileNotFound);
  SerialHandle bad = 0;
  EXPECT_EQ(plat.serial_open("COM7", &bad), oserr::kFileNotFound);
  EXPECT_EQ(bad, kInvalidHandle);
  const SerialHandle h7 = open(7);
  open(7, oserr::kAccessDenied);
  const SerialHandle h3 = open(3);
  ASSERT_EQ(write(h3, version_request), 0);
  EXPECT_EQ(read(h3), 0u);
  EXPECT_EQ(plat.port(3).writes.size(), 1u);
  EXPECT_EQ(plat.serial_close(h7), 0);
  EXPECT_EQ(plat.serial_close(h7), oserr::kInvalidHandle);
  open(7);
  EXPECT_EQ(plat.port(7).opens, 2u);
  EXPECT_EQ(plat.open_attempts(), (std::vector<uint32_t>{5, 7, 7, 3, 7}));
}

TEST_F(EmulatedPlatformTest, PurgeClearsOnlyWhatHasArrived) {
  plat.attach_adapter(7, adapter);
  const SerialHandle h = open(7);
  adapter.delay_answer({dev::kSystem, op::kRead, type::kSerialNumber}, 100);
  ASSERT_EQ(write(h, version_request), 0);
  ASSERT_EQ(write(h, Frame::make(dev::kSystem, op::kRead, type::kSerialNumber)), 0);
  plat.sleep_ms(10);
  platform::SerialProperties props;
  ASSERT_EQ(plat.serial_get_properties(h, &props), 0);
  EXPECT_EQ(props.current_rx_queue, 12u);
  ASSERT_EQ(plat.serial_purge(h, platform::kPurgeAll), 0);
  EXPECT_EQ(read(h), 0u);
  plat.sleep_ms(100);
  EXPECT_EQ(read(h), 26u) << "the serial answer was still in the adapter";
}

TEST_F(EmulatedPlatformTest, Faults) {
  plat.attach_adapter(7, adapter);
  SerialHandle h = open(7);
  plat.fail_next_writes(1);
  EXPECT_EQ(write(h, version_request), oserr::kGenFailure);
  plat.fail_write_number(2, 1167);
  EXPECT_EQ(write(h, version_request), 0);
  EXPECT_EQ(write(h, version_request), 1167);
  EXPECT_EQ(adapter.received_frames().size(), 1u) << "failed writes reach nobody";

  plat.fail_next_reads(1);
  uint32_t done = 99;
  EXPECT_EQ(plat.serial_read(h, buf.data(), 10, &done), oserr::kGenFailure);
  EXPECT_EQ(done, 0u);
  plat.set_max_read(7, 5);
  EXPECT_EQ(read(h), 5u);
  EXPECT_EQ(read(h), 5u);
  EXPECT_EQ(read(h), 2u);

  plat.vanish_port(7);
  EXPECT_EQ(write(h, version_request), oserr::kBadCommand);
  EXPECT_EQ(plat.serial_read(h, buf.data(), 10, &done), oserr::kBadCommand);
  EXPECT_EQ(plat.serial_close(h), 0);
  open(7, oserr::kFileNotFound);
  plat.restore_port(7);
  plat.fail_next_opens(7, 1, 5);
  open(7, 5);
  h = open(7);

  plat.reset_call_count();
  plat.fail_call_number(2);
  EXPECT_EQ(write(h, version_request), 0);
  EXPECT_EQ(write(h, version_request), oserr::kGenFailure);
  EXPECT_EQ(write(h, version_request), 0);
  EXPECT_EQ(plat.call_count(), 3u);
  plat.fail_call_number(4, 1, true);
  EXPECT_EQ(plat.socket_startup(), 1);
  EXPECT_EQ(plat.serial_close(h), 1);
  plat.clear_faults();
  EXPECT_EQ(plat.serial_close(h), 0);
}

TEST_F(EmulatedPlatformTest, RegistryEnumerationAndCapacity) {
  char name[8];
  EXPECT_EQ(plat.registry_enum_subkey(0, name, sizeof name), oserr::kFileNotFound);
  RegistrySubkey other{"Other", {}};
  RegistrySubkey ours{"Orvanta", {}};
  ours.text("Name", "Orvanta-IOT").bytes("Debug", {}).text("IOT", "0012");
  plat.set_registry({other, ours, RegistrySubkey{"TooLongName", {}}});

  EXPECT_EQ(plat.registry_enum_subkey(1, name, 8), 0);
  EXPECT_STREQ(name, "Orvanta");
  EXPECT_EQ(plat.registry_enum_subkey(1, name, 7), oserr::kMoreData) << "no room for the NUL";
  EXPECT_EQ(plat.registry_enum_subkey(2, name, sizeof name), oserr::kMoreData);
  EXPECT_EQ(plat.registry_enum_subkey(3, name, sizeof name), oserr::kNoMoreItems);

  uint8_t data[12];
  uint32_t size = sizeof data;
  EXPECT_EQ(plat.registry_query_value("orvanta", "NAME", data, &size), 0);
  EXPECT_EQ(size, 12u);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "Orvanta-IOT");
  size = 11;
  EXPECT_EQ(plat.registry_query_value("Orvanta", "Name", data, &size), oserr::kMoreData);
  size = 0;
  EXPECT_EQ(plat.registry_query_value("Orvanta", "Debug", data, &size), 0) << "empty value";
  EXPECT_EQ(size, 0u);
  size = sizeof data;
  EXPECT_EQ(plat.registry_query_value("Orvanta", "SuppressPopups", data, &size),
            oserr::kFileNotFound);
  EXPECT_EQ(plat.registry_query_value("Missing", "Name", data, &size), platform::kErrorCantOpen);

  plat.set_registry({});
  EXPECT_EQ(plat.registry_enum_subkey(0, name, sizeof name), oserr::kNoMoreItems);
  plat.clear_registry();
  EXPECT_EQ(plat.registry_query_value("Orvanta", "Name", data, &size), platform::kErrorCantOpen);
}

TEST_F(EmulatedPlatformTest, TraceAndMessageBoxAreRecorded) {
  platform::SocketHandle s = 0;
  EXPECT_EQ(plat.socket_startup(), 0);
  EXPECT_EQ(plat.trace_connect(8609, &s), oserr::kConnRefused);
  EXPECT_EQ(s, kInvalidHandle);
  plat.set_trace_listener(true);
  ASSERT_EQ(plat.trace_connect(8609, &s), 0);
  const char line[] = "E 7 5000 text\r\n";
  plat.trace_send(s, line, static_cast<uint32_t>(std::strlen(line)));
  plat.trace_send(s + 1, "lost", 4);
  EXPECT_EQ(plat.trace_text(), line);
  EXPECT_EQ(plat.trace_port(), 8609);
  EXPECT_EQ(plat.trace_connect_attempts(), 2u);
  plat.message_box("Orvanta not detected", "ERROR");
  ASSERT_EQ(plat.message_boxes().size(), 1u);
  EXPECT_EQ(plat.message_boxes()[0].second, "ERROR");
}

}  // namespace
}  // namespace orv::emu
