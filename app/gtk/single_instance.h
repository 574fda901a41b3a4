// One desktop dialog per user, without a session bus.
//
// The first instance takes an exclusive lock on "orvanta-provision.lock" in
// the user's private runtime directory ($XDG_RUNTIME_DIR, or
// /tmp/orvanta-provision-<uid> made with mode 0700) and listens on the local
// socket "orvanta-provision.sock" beside it. A later instance finds the lock
// taken, sends the first one line, "present" and the launcher's startup id,
// and ends; the first then brings its window to the front. The lock dies
// with its process, so a crashed instance never blocks the next start; a
// stale socket is replaced by the next first instance.
//
// Failure reporting: ClaimInstance() returns the role. When the directory
// is not private to the user (wrong owner or mode, a symlink) or the lock
// cannot be taken for another reason, the instance runs unguarded rather
// than refusing to start.
#pragma once

#include <cstddef>

namespace orv::app::desktop {

enum class InstanceRole {
  kFirst,      // holds the lock; listens when listen_fd >= 0
  kLater,      // another instance holds the lock
  kUnguarded,  // no usable private directory: run without the guard
};

struct InstanceGuard {
  int lock_fd = -1;
  int listen_fd = -1;
  char socket_path[108] = {};  // the size of sockaddr_un::sun_path on Linux
};

InstanceRole ClaimInstance(InstanceGuard* guard);

// For a later instance: asks the first to present its window, passing
// `startup_id` (may be null) on. Retries for about a second while the first
// is still setting up its socket. True when the request was delivered.
bool AskFirstToPresent(const InstanceGuard& guard, const char* startup_id);

// For the first instance, when listen_fd is readable: takes one request.
// True for a "present" request, with its startup id (printable ASCII only,
// cut to fit, empty when none) in `startup_id`.
bool TakePresentRequest(const InstanceGuard& guard, char* startup_id, size_t capacity);

// Stops listening, removes the socket and gives up the lock.
void ReleaseInstance(InstanceGuard* guard);

}  // namespace orv::app::desktop
