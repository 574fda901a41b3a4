// The provisioning dialog on the Linux desktop (GTK 3).
//
// Failure reporting: RunDesktopDialog() returns the process exit code: 0
// once the dialog has ended (provisioned, cancelled, or handed over to the
// instance already running), 2 when the display cannot be opened.
#pragma once

namespace orv::app::desktop {

// True when a display server is named in the environment ($DISPLAY or
// $WAYLAND_DISPLAY), so a window can be shown.
bool DisplayAvailable();

// Shows the dialog (or hands over to a running instance) and returns the
// exit code when it has ended.
int RunDesktopDialog();

}  // namespace orv::app::desktop
