// Files of the desktop dialog outside the library: the owner-only network
// setup file and the state log that automated tests read.
//
// Failure reporting: MakeOwnerOnlyFile() returns false (and leaves nothing
// written) when the file cannot be made safe; the state log drops lines it
// cannot write.
#pragma once

namespace orv::app::desktop {

// Makes `name` in the current directory a regular file that only its owner
// can read, before the password goes into it: created with mode 0600, or an
// existing file narrowed to 0600. A symlink or anything but a regular file
// is refused, so the password never lands elsewhere through a link.
bool MakeOwnerOnlyFile(const char* name);

// Appends one line to the file named by $ORVANTA_GTK_TEST_LOG, if set: the
// dialog's visible state changes (texts put into boxes, boxes shown, calls
// started and finished), so a test driving the window from outside can
// check what the user sees. Thread-safe.
void LogState(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orv::app::desktop
