// Test fixture for the library against the in-process emulated adapter on
// a virtual clock: a fresh world (tests/support/world.h) for each test,
// with helpers that expect success.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/emulated_platform.h"
#include "link/jmsg.h"
#include "platform/testing/fault_platform.h"
#include "tests/support/world.h"

namespace orv::test {

class LibraryTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kAdapterPort = EmulatedWorld::kPort;

  // PassThruOpen(nullptr) and expects success; returns the device ID.
  uint32_t OpenLink() {
    EXPECT_EQ(world_.OpenLink(nullptr), 0);
    return world_.device_id;
  }
  // PassThruConnect on the open link, expecting success; forgets the logs.
  uint32_t Connect(uint32_t protocol, uint32_t flags = 0, uint32_t baud = 500000) {
    uint32_t channel = 0;
    EXPECT_EQ(world_.Connect(protocol, &channel, flags, baud), 0);
    return channel;
  }
  void ClearLogs() { world_.ClearLogs(); }
  std::vector<emu::Frame> Sent() const { return world_.Sent(); }
  std::string LastErrorText() const;
  // Switches the debug trace on to the emulated listener, emptied.
  void StartTrace();

  EmulatedWorld world_;
  emu::EmulatedPlatform& platform_ = world_.platform;
  platform::FaultPlatform& faults_ = world_.faults;  // the installed table
  emu::Adapter& adapter_ = world_.adapter;
};

// A fresh directory under the system's temporary directory for host files,
// removed with everything in it when the object goes.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Builds a JMSG for tests.
JMSG MakeJmsg(uint8_t dev, uint8_t op, uint8_t type, uint8_t flags, std::vector<uint8_t> data = {});

}  // namespace orv::test
