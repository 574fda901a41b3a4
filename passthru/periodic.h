// The periodic-message table: entry i is the last frame sent for periodic
// message i (the message ID handed to the caller is the entry index, and
// travels in the frame's `id` byte). `size` non-zero: running or
// suspended; `size` 0: free. `dev` names the channel's device code that
// last used the entry (kept by a stop; 0 for an entry never used).
#pragma once

#include <cstdint>

#include "link/jmsg.h"

namespace orv {

inline constexpr uint32_t kPeriodicEntries = 100;

struct PeriodicTable {
  JMSG entries[kPeriodicEntries];

  void Reset();
};

}  // namespace orv
