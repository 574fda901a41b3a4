// Operating-system services of the project's command-line tools, kept out
// of the library's platform table: whether a standard stream is a
// terminal, a password read without echo, Ctrl-C as a request to stop
// instead of an abrupt end, and the TCP listening side of the debug trace.
// POSIX and Win32 backends.
//
// Failure reporting: calls that can fail return an OsError, 0 for success,
// else errno or the Winsock error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "platform/platform.h"

namespace orv::platform::tool {

enum class Stream { kInput, kOutput, kError };
bool IsTerminal(Stream stream);

// Shows `prompt` on standard error, turns the echo of the terminal on
// standard input off (the typed line end still shows) and runs `read`,
// which reads standard input. The terminal's settings come back afterwards,
// and also when a signal or Ctrl-C ends the program during the read. False,
// with no prompt shown, when the terminal's settings cannot be read; else
// what `read` returned.
bool ReadWithoutEcho(const char* prompt, const std::function<bool()>& read);

// From now on the first Ctrl-C (or SIGTERM on POSIX, Ctrl-Break on
// Windows) only sets the flag that Interrupted() reports; a second one
// ends the program as usual, so a stuck program can still be stopped.
void CatchInterrupt();
bool Interrupted();

// A socket handle wide enough for both systems; kNoSocket when none.
using NetSocket = int64_t;
inline constexpr NetSocket kNoSocket = -1;
inline constexpr size_t kAddressTextSize = 16;  // "255.255.255.255" and its NUL

// Listens for TCP connections on `port` at the first IPv4 address of this
// machine's own host name: the address the library's trace connects to.
// `address` receives that address as dotted text.
OsError Listen(uint16_t port, NetSocket* listener, char (&address)[kAddressTextSize]);

// Waits up to `timeout_ms` until one of `sockets` has a connection to
// accept or data to read (or was closed by its peer); `ready[i]` tells
// which. A wait cut short by a signal is no error.
OsError WaitReadable(const NetSocket* sockets, size_t count, uint32_t timeout_ms, bool* ready);

// Who is at the other end of an accepted connection.
struct Peer {
  uint8_t address[4] = {};  // IPv4, network byte order
  // The kernel's TCP table (Linux) names another user than this program's
  // effective one as the owner of the peer's socket. False where the
  // system does not tell.
  bool other_user = false;
};
OsError Accept(NetSocket listener, NetSocket* connection, Peer* peer);

// Receives up to `capacity` bytes; *received is 0 when the peer closed.
OsError Receive(NetSocket connection, char* buffer, uint32_t capacity, uint32_t* received);

void CloseSocket(NetSocket socket);

// Opens `path` for writing from its start without following a symbolic
// link (or reparse point) and without truncating a file that is not the
// user's own regular file with a single link (kErrorNotOwnFile then); a new
// file is readable by its owner only. `binary`: no line-end translation
// (Windows).
OsError OpenOutputFile(const char* path, std::FILE** file, bool binary = false);

// Opens the pipe a capture program (Wireshark's extcap) made at `path` and
// reads from, for binary writing: a FIFO of this user (POSIX), waiting
// until its reader has opened it, or a named pipe (Windows); never through
// a symbolic link (kErrorNotOwnFile for another kind of file). A write
// after the reader has gone fails instead of ending the program.
OsError OpenCapturePipe(const char* path, std::FILE** file);

}  // namespace orv::platform::tool
