// The one in-process world of the tests, the fuzz targets and the
// benchmarks: the library reset onto an emulated platform (virtual clock,
// an adapter on COM7) behind a FaultPlatform, and reset again, with the
// native platform back, when the world goes. `Emulated` is the emulated
// platform or a variant of it (the fuzzers' faster idle reads, the
// benchmarks' replay). Needs no test framework.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/emulated_platform.h"
#include "orvanta_j2534.h"
#include "passthru/api_guard.h"
#include "passthru/library_state.h"
#include "passthru/testing/lock_rules.h"
#include "platform/platform.h"
#include "platform/testing/fault_platform.h"

namespace orv::test {

// The library reset onto `table` while this object lives, and reset again,
// with the native platform back, when it goes.
class InstalledPlatform {
 public:
  explicit InstalledPlatform(platform::Platform& table) {
    ResetLibraryState();
    platform::install(&table);
  }
  ~InstalledPlatform() {
    ResetLibraryState();
    platform::install(nullptr);
  }
  InstalledPlatform(const InstalledPlatform&) = delete;
  InstalledPlatform& operator=(const InstalledPlatform&) = delete;
};

template <class Emulated = emu::EmulatedPlatform>
class BasicWorld {
 public:
  static constexpr uint32_t kPort = 7;

  // The core's lock rules are checked on every serial read and write
  // (passthru/testing/lock_rules.h): a test that calls core functions
  // directly holds a StateHeld (below) meanwhile, as an export would.
  BasicWorld() {
    platform.attach_adapter(kPort, adapter);
    InstallLockRules(faults);
  }

  // PassThruOpen (a null name searches) into device_id; forgets the logs.
  int32_t OpenLink(const char* name = "COM7") {
    const int32_t status = PassThruOpen(name, &device_id);
    ClearLogs();
    return status;
  }
  // PassThruConnect into *channel; forgets the logs.
  int32_t Connect(uint32_t protocol, uint32_t* channel, uint32_t flags = 0,
                  uint32_t baud = 500000) {
    const int32_t status = PassThruConnect(device_id, protocol, flags, baud, channel);
    ClearLogs();
    return status;
  }
  // Forgets what the adapter received and what was written to its port.
  void ClearLogs() {
    platform.clear_port_logs();
    adapter.clear_log();
  }
  // The frames written to the adapter's port since the last ClearLogs.
  std::vector<emu::Frame> Sent() const { return platform.written_frames(kPort); }

  emu::Adapter adapter;
  Emulated platform;
  platform::FaultPlatform faults{platform};
  InstalledPlatform installed{faults};
  uint32_t device_id = 0;
};

using EmulatedWorld = BasicWorld<>;

// The call guard an export takes, for a test that calls core functions (a
// receive pass, a core API function) directly: kAnswerSlot around one that
// waits in the adapter's answer place.
class StateHeld {
 public:
  explicit StateHeld(api::CallKind kind = api::CallKind::kPlain) : guard_(kind) {}
  StateHeld(const StateHeld&) = delete;
  StateHeld& operator=(const StateHeld&) = delete;

 private:
  api::CallGuard guard_;
};

}  // namespace orv::test
