// orvanta-adapter's command line: the subcommands (parsed with CLI11),
// their text and JSON output, confirmations, the progress display and the
// debug-trace listener, over the platform-free core.
//
// Failure reporting: the exit codes below, with a message on the error
// stream that carries the library's last-error text.
#pragma once

#include <cstdio>

namespace orv::app::adapter {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;     // the adapter refused or did not answer
inline constexpr int kExitUsage = 2;      // bad usage; nothing was sent
inline constexpr int kExitNoAdapter = 3;  // no adapter found

// The streams the tool talks through, and whether they are terminals
// (a confirmation is asked on a terminal; the progress bar needs one).
struct Streams {
  std::FILE* in = stdin;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool in_terminal = false;
  bool err_terminal = false;
};

// Runs the tool for `argv` (program name first) and returns the exit code.
int RunAdapterTool(int argc, char** argv, const Streams& streams);

// Wireshark's extcap interface "orvanta-trace" (program name first in
// `argv`): --extcap-interfaces, --extcap-dlts, --extcap-config, and
// --capture --fifo PATH, which listens for the debug trace as `trace` does
// and streams the bus frames into PATH as pcapng until SIGTERM (Ctrl-C) or
// until the reader goes.
int RunExtcap(int argc, char** argv, const Streams& streams);

}  // namespace orv::app::adapter
