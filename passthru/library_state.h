// Process-wide state of the library in one place for resetting: restores
// every module's start-up values. Used when a host process (or a test)
// needs the library as freshly loaded.
#pragma once

namespace orv {

void ResetLibraryState();

}  // namespace orv
