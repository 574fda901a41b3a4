// The serial driver over the emulated platform: handle checks, the line
// settings and time limits it configures, and its failure codes.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "link/comdrvr.h"
#include "link/link_state.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

class SerialDriverTest : public LibraryTest {
 protected:
  void TearDown() override { com_close(&h_); }
  void Open(uint32_t stop_bits = 1, uint32_t parity = 0) {
    ASSERT_EQ(com_open(&h_, kAdapterPort, 115200, 8, stop_bits, parity), COM_OK);
  }
  int32_t h_ = -1;
};

TEST_F(SerialDriverTest, EveryCallOnAClosedHandleIsRefusedWithoutSideEffects) {
  int32_t h = -1;
  uint8_t buffer[4];
  uint32_t count = 99;
  DRVSETTINGS settings{};
  EXPECT_EQ(com_close(&h), COM_ERR_HANDLE);
  EXPECT_EQ(com_read(&h, buffer, sizeof buffer, &count), COM_ERR_HANDLE);
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(com_write(&h, buffer, sizeof buffer, &count), COM_ERR_HANDLE);
  EXPECT_EQ(com_ioctl(&h, 3, &settings, nullptr), COM_ERR_HANDLE);
  EXPECT_EQ(com_rx_count(&h, &count), COM_ERR_HANDLE);
  EXPECT_EQ(com_set_timeout(&h, 10), COM_ERR_HANDLE);
  EXPECT_EQ(com_set_dtr(&h, 1), COM_ERR_HANDLE);
  EXPECT_EQ(com_set_rts(&h, 1), COM_ERR_HANDLE);
  EXPECT_EQ(com_close(nullptr), COM_ERR_HANDLE);
  EXPECT_EQ(faults_.calls(), 0u);
}

TEST_F(SerialDriverTest, NullBufferAndUnknownIoctlAreRefused) {
  Open();
  uint32_t count = 42;
  EXPECT_EQ(com_read(&h_, nullptr, 4, &count), COM_ERR_HANDLE);
  EXPECT_EQ(count, 42u);
  EXPECT_EQ(com_ioctl(&h_, 0, nullptr, nullptr), COM_ERR_HANDLE);
  EXPECT_EQ(com_ioctl(&h_, 7, nullptr, nullptr), COM_ERR_HANDLE);
  EXPECT_EQ(com_close(&h_), COM_OK);
}

TEST_F(SerialDriverTest, OpenOfAMissingPortFailsAndLeavesTheHandleClosed) {
  int32_t h = 5;
  EXPECT_EQ(com_open(&h, 0, 115200, 8, 1, 0), COM_ERR_OPEN);
  EXPECT_EQ(h, -1);
  EXPECT_NE(ComLastOsError(), 0);
  char name[kDeviceNameSize];
  FormatComDeviceName(name, 1000);
  EXPECT_STREQ(name, "\\\\.\\COM1000");
}

TEST_F(SerialDriverTest, OpenConfiguresTheFixedLineSettingsAndLimits) {
  Open(2, 2);  // parity 2 is not applied; stop bits 2 (anything but 1) gives two
  const auto& port = platform_.port(kAdapterPort);
  EXPECT_EQ(port.settings.baud_rate, 115200u);
  EXPECT_EQ(port.settings.byte_size, 8);
  EXPECT_EQ(port.settings.parity, 0);
  EXPECT_EQ(port.settings.stop_bits, 2);
  EXPECT_TRUE(port.settings.out_dsr_flow);
  EXPECT_FALSE(port.settings.out_cts_flow);
  EXPECT_EQ(port.settings.dtr_control, 1);
  EXPECT_EQ(port.settings.rts_control, 0);
  EXPECT_EQ(port.settings.xon_limit, 64);
  EXPECT_EQ(port.settings.xoff_limit, 16);
  EXPECT_EQ(port.in_queue, 32768u);
  EXPECT_EQ(port.out_queue, 262144u);
  EXPECT_EQ(port.timeouts.read_total_constant, 1u);
  EXPECT_EQ(port.timeouts.write_total_constant, 1000u);
  EXPECT_EQ(port.timeouts.read_interval, 0u);

  DRVSETTINGS s{};
  ASSERT_EQ(com_ioctl(&h_, 3, &s, nullptr), COM_OK);
  EXPECT_EQ(s.BaudRate, 115200u);
  EXPECT_EQ(s.DtrDsr, 1);
  EXPECT_EQ(s.XonXoff, 0);
  ASSERT_EQ(com_ioctl(&h_, 1, nullptr, nullptr), COM_OK);
  ASSERT_EQ(com_ioctl(&h_, 3, &s, nullptr), COM_OK);
  EXPECT_EQ(s.XonXoff, 1);
  ASSERT_EQ(com_set_rts(&h_, 7), COM_OK);
  EXPECT_EQ(platform_.port(kAdapterPort).settings.rts_control, 3);
  // Open and close clear only the input: what the port took to send is
  // counted as written and must reach the adapter.
  ASSERT_EQ(com_close(&h_), COM_OK);
  h_ = -1;
  EXPECT_EQ(platform_.port(kAdapterPort).purges,
            (std::vector<uint32_t>{platform::kPurgeInput, platform::kPurgeInput}));
}

TEST_F(SerialDriverTest, EachThreadKeepsItsOwnLastPlatformError) {
  int32_t h = -1;
  ASSERT_EQ(com_open(&h, kAdapterPort, 115200, 8, 1, 0), COM_OK);
  EXPECT_EQ(ComLastOsError(), 0);
  std::thread([] {
    int32_t missing = -1;
    EXPECT_EQ(com_open(&missing, 0, 115200, 8, 1, 0), COM_ERR_OPEN);
    EXPECT_NE(ComLastOsError(), 0);
  }).join();
  EXPECT_EQ(ComLastOsError(), 0);
  com_close(&h);
}

TEST_F(SerialDriverTest, EmptyReadReturnsNothingAfterTheOneMillisecondLimit) {
  Open();
  uint8_t buffer[16];
  uint32_t count = 7;
  const uint32_t before = platform_.now();
  EXPECT_EQ(com_read(&h_, buffer, sizeof buffer, &count), COM_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(platform_.now() - before, 1u);
}

TEST_F(SerialDriverTest, BreakPulseHoldsTheBreakForOneHundredMilliseconds) {
  Open();
  const uint32_t before = platform_.now();
  EXPECT_EQ(com_ioctl(&h_, 5, nullptr, nullptr), COM_OK);
  EXPECT_EQ(platform_.now() - before, 200u);
  EXPECT_EQ(platform_.port(kAdapterPort).breaks, 1u);
  EXPECT_FALSE(platform_.port(kAdapterPort).break_on);
}

TEST_F(SerialDriverTest, PlatformFailuresMapToTheDriverCodes) {
  Open();
  uint8_t byte = 0;
  uint32_t count = 0;
  faults_.fail(platform::Call::kWrite, 1, 1, emu::oserr::kGenFailure);
  EXPECT_EQ(com_write(&h_, &byte, 1, &count), COM_ERR_WRITE);
  EXPECT_EQ(ComLastOsError(), emu::oserr::kGenFailure);
  faults_.fail(platform::Call::kRead, 1, 1);
  EXPECT_EQ(com_read(&h_, &byte, 1, &count), COM_ERR_READ);
}

}  // namespace
}  // namespace orv::test
