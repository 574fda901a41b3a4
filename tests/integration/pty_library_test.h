// Base fixture of the tests that run the library in-process with its native
// POSIX backend against orvanta-adapter-sim on a pseudo-terminal: fresh
// library state, and a registry file of the test's own (empty unless the
// test writes one) so that the machine's settings never leak in.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "passthru/library_state.h"

namespace orv::test {

class PtyLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLibraryState();
    registry_ = std::string(::testing::TempDir()) + "orvanta_pty_registry.ini";
    WriteRegistry("");
    setenv("ORVANTA_REGISTRY", registry_.c_str(), 1);
  }
  void TearDown() override {
    ResetLibraryState();
    unsetenv("ORVANTA_REGISTRY");
    std::remove(registry_.c_str());
  }
  void WriteRegistry(const std::string& text) { std::ofstream(registry_) << text; }

  std::string registry_;
};

}  // namespace orv::test
