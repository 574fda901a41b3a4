// A fault simulator over the platform seam, after SQLite's: an operation
// that talks to the adapter is run again and again in a fresh world, with
// platform call number N (counted from the start of the operation) failing
// through a platform::FaultPlatform, for N = 1, 2, ... until a run
// completes without reaching call N. Each fault is tried once (a single
// failing call) and from then on (every call from N fails). Every run must
// end with a clean status, leave the library's port handle in agreement
// with the platform, and, once the fault is lifted, leave a link that works
// again; a single failing write must not fail the operation (the link
// retries it); the operation's own check looks at its status, the
// last-error text and what reached the adapter or the caller.
//
// The world is the in-process emulator (FaultWorld) or the native backend
// on a pseudo-terminal (the integration tests' world); both have
// `faults`, `device_id`, OpenLink() and LastError().
//
// Failure reporting: gtest expectations; the matrix stops at the first
// run that broke one, with N and the mode in the trace.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/bus_unit.h"
#include "emulator/emulated_platform.h"
#include "emulator/service_units.h"
#include "orvanta_j2534.h"
#include "platform/testing/fault_platform.h"
#include "tests/support/messages.h"
#include "tests/support/world.h"

namespace orv::test {

// PassThruGetLastError as a string.
std::string LastErrorString();
// The library's port handle agrees with the platform: both closed, or the
// library holds the one handle open through `faults`.
bool HandlesAgree(const platform::FaultPlatform& faults);

// The emulated world with bus and service units behind the adapter.
class FaultWorld : public EmulatedWorld {
 public:
  // PassThruOpen("COM7") and PassThruConnect, expecting success.
  void OpenLink() { ASSERT_EQ(EmulatedWorld::OpenLink(), 0); }
  uint32_t Connect(uint32_t protocol, uint32_t flags = 0, uint32_t baud = 500000) {
    uint32_t channel = 0;
    EXPECT_EQ(EmulatedWorld::Connect(protocol, &channel, flags, baud), 0);
    return channel;
  }
  std::string LastError() const { return LastErrorString(); }

  emu::BusUnit& bus = emu::add_bus_unit(adapter);
  emu::ServiceUnits services = emu::add_service_units(adapter);
};

enum class FaultMode { kOnce, kFromThenOn };

template <class World>
struct BasicFaultRun {
  World& world;
  uint64_t n;
  FaultMode mode;
  int32_t status;
  bool fault_hit;  // the operation reached call n
};
using FaultRun = BasicFaultRun<FaultWorld>;

// `status` is one of `allowed`; a failure leaves a last-error text that
// starts with one of `prefixes`.
void ExpectCleanFailure(int32_t status, const std::vector<int32_t>& allowed,
                        const std::vector<const char*>& prefixes);
template <class World>
void ExpectCleanFailure(const BasicFaultRun<World>& run, const std::vector<int32_t>& allowed,
                        const std::vector<const char*>& prefixes) {
  ExpectCleanFailure(run.status, allowed, prefixes);
}

const char* ModeName(FaultMode mode);

// Runs the matrix described at the top of this file. `prepare(world)`
// builds the state the operation needs (without faults), `operation(world)`
// returns its status, `check(run)` judges one run.
template <class World = FaultWorld, class Prepare, class Operation, class Check>
void RunFaultMatrix(Prepare prepare, Operation operation, Check check, uint64_t limit = 20000,
                    const std::vector<FaultMode>& modes = {FaultMode::kOnce,
                                                           FaultMode::kFromThenOn}) {
  for (FaultMode mode : modes) {
    for (uint64_t n = 1; n <= limit; ++n) {
      SCOPED_TRACE("fault at platform call " + std::to_string(n) + ", " + ModeName(mode));
      World world;
      prepare(world);
      if (::testing::Test::HasFailure()) return;
      platform::FaultPlatform& faults = world.faults;
      faults.reset_counts();
      const bool once = mode == FaultMode::kOnce;
      faults.fail(platform::Call::kAny, n, once ? 1 : platform::kFromThenOn);
      const int32_t status = operation(world);
      const bool hit = faults.calls() >= n;
      faults.clear();
      EXPECT_TRUE(HandlesAgree(faults)) << "hCommPort and the platform disagree";
      if (!hit) {
        EXPECT_EQ(status, 0) << "the run without a fault failed";
      }
      if (once && faults.failures() == 1 && faults.last_failure() == platform::Call::kWrite) {
        EXPECT_EQ(status, 0) << "one failed write was not retried: " << world.LastError();
      }
      check(BasicFaultRun<World>{world, n, mode, status, hit});
      // With the fault lifted the link serves again.
      char firmware[80], dll[80], api[80];
      EXPECT_EQ(PassThruReadVersion(World::kPort, firmware, dll, api), 0)
          << "the link did not recover: " << world.LastError();
      EXPECT_TRUE(HandlesAgree(faults)) << "after recovery";
      if (::testing::Test::HasFailure() || !hit) break;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace orv::test
