// Test hooks of the POSIX backend.
#pragma once

namespace orv::platform {

// Runs `hook` with the entry's path between the check of a COM port entry
// and its open (null: nothing), so that a test can change the entry there
// as another user might.
void SetComEntryCheckedHook(void (*hook)(const char* path));

}  // namespace orv::platform
