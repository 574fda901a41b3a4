// The core's lock rules checked in the tests' platform: installed into a
// FaultPlatform, every serial read and write of the link's own handle
// outside the state lock, or in an answer wait without the answer lock
// (passthru/call_sync.h), ends the program with a message naming the
// rule, so that the test that made it fails whatever it looks at. The
// com_* functions (a caller's own handle) and the port wait are outside
// the rule. Built into the test support only, never into the library.
#pragma once

#include "platform/testing/fault_platform.h"

namespace orv {

void InstallLockRules(platform::FaultPlatform& faults);

}  // namespace orv
