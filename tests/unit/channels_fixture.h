// Shared fixture of the channel tests: the library over the in-process
// emulated adapter with its bus unit, the link open, and helpers to build
// messages, open channels and look at the frames the library wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/bus_unit.h"
#include "link/jmsg.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"
#include "tests/support/messages.h"

namespace orv::test {

class ChannelTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    bus_ = &emu::add_bus_unit(adapter_);
    device_id_ = OpenLink();
  }

  // Installs a filter and expects success; returns its ID.
  uint32_t Filter(uint32_t channel, uint32_t type, PASSTHRU_MSG mask, PASSTHRU_MSG pattern,
                  PASSTHRU_MSG* flow = nullptr) {
    uint32_t id = 0xFFFF;
    EXPECT_EQ(PassThruStartMsgFilter(channel, type, &mask, &pattern, flow, &id), 0);
    return id;
  }

  static std::vector<uint8_t> Data(const emu::Frame& f) {
    return {f.data.begin(), f.data.begin() + f.size};
  }

  // Frames sent with the given type on a device, in order.
  std::vector<emu::Frame> SentOfType(uint8_t dev, uint8_t op, uint8_t type) const {
    std::vector<emu::Frame> out;
    for (const emu::Frame& f : Sent()) {
      if (f.dev == dev && f.op == op && f.type == type) out.push_back(f);
    }
    return out;
  }

  // Runs receive passes until the adapter's pending output has been read.
  void Pump(int passes = 4) {
    const StateHeld held;
    for (int i = 0; i < passes; ++i) JmsgReceiveMsgs();
  }

  emu::BusUnit* bus_ = nullptr;
  uint32_t device_id_ = 0;
};

}  // namespace orv::test
