// Files of the desktop dialog outside the library: the state log that
// automated tests read.
//
// Failure reporting: the state log drops lines it cannot write.
#pragma once

namespace orv::app::desktop {

// Appends one line to the file named by $ORVANTA_GTK_TEST_LOG, if set: the
// dialog's visible state changes (texts put into boxes, boxes shown, calls
// started and finished), so a test driving the window from outside can
// check what the user sees. Thread-safe.
void LogState(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orv::app::desktop
