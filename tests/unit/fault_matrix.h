// A fault simulator over the platform seam, after SQLite's: an operation
// that talks to the adapter is run again and again in a fresh world, with
// platform call number N (counted from the start of the operation) failing,
// for N = 1, 2, ... until a run completes without reaching call N. Each
// fault is tried once (a single failing call) and from then on (every call
// from N fails). Every run must end with a clean status, agree with the
// emulated port about the handle, and, once the fault is lifted, leave a
// link that works again; the operation's own check looks at its status,
// the last-error text and what reached the adapter or the caller.
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
#include "link/link_state.h"
#include "orvanta_j2534.h"

namespace orv::test {

// The emulated platform with the close of a real system: a failing close
// still releases the handle (POSIX close() and Win32 CloseHandle do), so a
// port the library no longer knows but the platform still holds is a leak.
class FaultPlatform : public emu::EmulatedPlatform {
 public:
  FaultPlatform() { set_close_releases_on_failure(true); }
};

// A fresh library and adapter (with bus and service units) on COM7.
class FaultWorld {
 public:
  static constexpr uint32_t kPort = 7;

  FaultWorld();
  ~FaultWorld();
  FaultWorld(const FaultWorld&) = delete;
  FaultWorld& operator=(const FaultWorld&) = delete;

  // PassThruOpen("COM7"); expects success.
  void OpenLink();
  // PassThruConnect; expects success and returns the channel.
  uint32_t Connect(uint32_t protocol, uint32_t flags = 0, uint32_t baud = 500000);
  std::string LastError() const;
  // The library's port handle and the emulated port agree: both closed, or
  // the library holds the port's one open handle.
  bool HandlesAgree() const;
  void ClearLogs();

  FaultPlatform platform;
  emu::Adapter adapter;
  emu::BusUnit& bus;
  emu::ServiceUnits services;
  uint32_t device_id = 0;
};

enum class FaultMode { kOnce, kFromThenOn };

struct FaultRun {
  FaultWorld& world;
  uint64_t n;
  FaultMode mode;
  int32_t status;
  bool fault_hit;  // the operation reached call n
};

// Status and last-error expectations shared by the checks: `status` is
// one of `allowed`; a failure leaves a last-error text that starts with one
// of `prefixes`.
void ExpectCleanFailure(const FaultRun& run, std::initializer_list<int32_t> allowed,
                        std::initializer_list<const char*> prefixes);

const char* ModeName(FaultMode mode);

// Runs the matrix described at the top of this file. `prepare(world)`
// builds the state the operation needs (without faults), `operation(world)`
// returns its status, `check(run)` judges one run.
template <class Prepare, class Operation, class Check>
void RunFaultMatrix(Prepare prepare, Operation operation, Check check, uint64_t limit = 20000) {
  for (FaultMode mode : {FaultMode::kOnce, FaultMode::kFromThenOn}) {
    for (uint64_t n = 1; n <= limit; ++n) {
      SCOPED_TRACE("fault at platform call " + std::to_string(n) + ", " + ModeName(mode));
      FaultWorld world;
      prepare(world);
      if (::testing::Test::HasFailure()) return;
      world.platform.reset_call_count();
      world.platform.fail_call_number(n, emu::oserr::kGenFailure, mode == FaultMode::kFromThenOn);
      const int32_t status = operation(world);
      const bool hit = world.platform.call_count() >= n;
      world.platform.fail_call_number(0);
      const FaultRun run{world, n, mode, status, hit};
      EXPECT_TRUE(world.HandlesAgree()) << "hCommPort and the emulated port disagree";
      if (!hit) {
        EXPECT_EQ(status, 0) << "the run without a fault failed";
      }
      check(run);
      // With the fault lifted the link serves again.
      char firmware[80], dll[80], api[80];
      EXPECT_EQ(PassThruReadVersion(FaultWorld::kPort, firmware, dll, api), 0)
          << "the link did not recover: " << world.LastError();
      EXPECT_TRUE(world.HandlesAgree()) << "after recovery";
      if (::testing::Test::HasFailure() || !hit) break;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

PASSTHRU_MSG MakeMsg(uint32_t protocol, std::initializer_list<uint8_t> data, uint32_t tx_flags = 0);

}  // namespace orv::test
