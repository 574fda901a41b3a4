// The command-line front end of the provisioning tool (orvanta-provision):
// the same two steps as the dialog (open the adapter link, provision a
// network), driven by options instead of boxes.
//
// Failure reporting: the process exit codes below, with a message on
// standard error.
#pragma once

namespace orv::app {

inline constexpr int kExitProvisioned = 0;
inline constexpr int kExitTransferFailed = 1;  // the adapter did not take IOT.NET
inline constexpr int kExitUsage = 2;           // bad options, over-long SSID or password
inline constexpr int kExitNoAdapter = 3;       // no adapter found on the COM ports
inline constexpr int kExitFileNotWritten = 4;  // IOT.NET could not be written locally

// Runs the tool for `argv` (program name first) and returns the exit code.
int RunCommandLine(int argc, char** argv);

}  // namespace orv::app
