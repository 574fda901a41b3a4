// Test fixture for the library against the in-process emulated adapter on
// a virtual clock: installs an EmulatedPlatform (wrapped in a FaultPlatform)
// with an adapter on COM7,
// resets the library's process-wide state before and after each test, and
// restores the native platform afterwards.
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

namespace orv::test {

class LibraryTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kAdapterPort = 7;

  void SetUp() override;
  void TearDown() override;

  // PassThruOpen(nullptr) and expects success; returns the device ID.
  uint32_t OpenLink();
  // Forgets what the adapter received and what was written so far.
  void ClearLogs();
  // Frames the library wrote to the adapter's port since the last clear.
  std::vector<emu::Frame> Sent() const { return platform_.written_frames(kAdapterPort); }
  std::string LastErrorText() const;

  emu::EmulatedPlatform platform_;
  platform::FaultPlatform faults_{platform_};  // the installed table
  emu::Adapter adapter_;
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
