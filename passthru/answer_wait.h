// Bounded waits for an adapter answer: receive waits (passthru/call_sync.h)
// against the millisecond tick count until the answer place shows the
// answer or the time limit has passed.
//
// Failure reporting: the waits return whether the answer came; the caller
// reports a missing answer in its own words.
#pragma once

#include <cstdint>

#include "link/jmsg.h"
#include "passthru/call_sync.h"
#include "platform/platform.h"

namespace orv {

// Almost every answer gets 15 seconds; the clock write gets 30.
inline constexpr uint32_t kAnswerWaitMs = 15000;
inline constexpr uint32_t kClockWriteWaitMs = 30000;

// Runs receive passes until `answered()` holds or more than `limit_ms` - 1
// milliseconds have passed since the call. Returns `answered()` at the end.
// A link lost meanwhile ends the wait at once: the request went to an
// adapter that is gone, and any answer now would not be its own.
template <class Answered>
bool AwaitAnswer(Answered answered, uint32_t limit_ms) {
  const uint32_t start = platform::current().tick_ms();
  const uint32_t losses = LinkLosses();
  while (!answered()) {
    const uint32_t elapsed = platform::current().tick_ms() - start;
    if (elapsed >= limit_ms || LinkLosses() != losses) return false;
    AnswerReceiveWait(limit_ms - elapsed);
  }
  return true;
}

// Waits for the reply slot to hold an answer with this device, operation
// and type. The caller cleared the slot (ClearReply) before sending.
inline bool AwaitReply(uint8_t dev, uint8_t op, uint8_t type, uint32_t limit_ms) {
  return AwaitAnswer([&] { return ReplyIs(dev, op, type); }, limit_ms);
}

}  // namespace orv
