// The fault matrix (tests/support/fault_matrix.h) over the native POSIX
// backend, against orvanta-adapter-sim on a pseudo-terminal: the library's
// error paths with real file descriptors, termios and real time. A single
// failing call is tried at every point of each operation; every call
// failing from a point on only for the open, whose waits are short (the
// others would wait out their 15 s answer limit in real time).
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <vector>

#include "passthru/library_state.h"
#include "platform/platform.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/fault_matrix.h"
#include "tests/support/sim_process.h"

namespace orv::test {
namespace {

class PtyWorld {
 public:
  static constexpr uint32_t kPort = 7;
  std::string LastError() const { return LastErrorString(); }

  platform::FaultPlatform faults{platform::native()};
  InstalledPlatform installed{faults};
  uint32_t device_id = 0;
};

// What is set up before the operation, each step on top of the one before.
enum SetUp { kNothing, kLinkOpen, kCanConnected };

struct PtyCase {
  const char* name;
  SetUp set_up;
  std::function<int32_t(PtyWorld&)> operation;
  std::vector<int32_t> allowed;
  std::vector<const char*> prefixes;
  std::vector<FaultMode> modes = {FaultMode::kOnce};
};

using FaultMatrixPtyTest = PtyLibraryTest;

TEST_F(FaultMatrixPtyTest, EveryFailingCallEndsCleanlyAndTheLinkRecovers) {
  SimProcess sim({"--answer-latency", "0"});
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const PtyCase cases[] = {
      {"open COM7",
       kNothing,
       [](PtyWorld& w) { return PassThruOpen("COM7", &w.device_id); },
       {0, ERR_DEVICE_NOT_CONNECTED},
       {""},  // as over the emulator, no last-error text is promised
       {FaultMode::kOnce, FaultMode::kFromThenOn}},
      {"connect CAN",
       kLinkOpen,
       [](PtyWorld& w) {
         uint32_t channel = 0;
         return PassThruConnect(w.device_id, CAN, 0, 500000, &channel);
       },
       {0, ERR_FAILED},
       {"PassThruConnect"}},
      {"write CAN",
       kCanConnected,
       [](PtyWorld&) {
         PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 0x07, 0xE0, 0x02, 0x01, 0x00});
         uint32_t count = 1;
         return PassThruWriteMsgs(CAN, &msg, &count, 0);
       },
       {0, ERR_FAILED},
       {"JmsgSendMsgs", "PassThruWriteMsgs"}},
  };
  for (const PtyCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunFaultMatrix<PtyWorld>(
        [&c](PtyWorld& w) {
          uint32_t channel = 0;
          if (c.set_up >= kLinkOpen) {
            ASSERT_EQ(PassThruOpen("COM7", &w.device_id), 0);
          }
          if (c.set_up >= kCanConnected) {
            ASSERT_EQ(PassThruConnect(w.device_id, CAN, 0, 500000, &channel), 0);
          }
        },
        c.operation,
        [&c](const BasicFaultRun<PtyWorld>& run) {
          ExpectCleanFailure(run, c.allowed, c.prefixes);
        },
        500, c.modes);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace orv::test
