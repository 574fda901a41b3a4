// The locks that make every exported call safe from any thread, and the
// receive waits built on them.
//
//   state lock   held by a call while it touches the library state; taken
//                by the call guard of every export, released while the
//                call waits (so other channels' traffic keeps flowing).
//   answer lock  held by a call that waits in the adapter's answer places
//                (reply slot, memory answer, voltage and digital readings)
//                from its request to its answer, so that it gets exactly
//                its own answer; always taken before the state lock.
//
// Receive passes run only under the state lock, so never in two threads at
// once. A waiting call either sleeps on the port itself (one thread at a
// time, without the state lock) and runs the pass when bytes arrive, or,
// while another thread does that, sleeps on a condition variable that is
// signalled after every pass: whoever runs the pass that files an answer,
// its waiter wakes.
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace orv {

struct CallSync {
  platform::Mutex state;
  platform::Mutex answer;
  platform::CondVar pass_done;  // signalled after each pass of a port waiter
  bool port_waiter = false;     // a thread sleeps on the port
};

// True while this thread holds the state lock (inside a guarded call).
// Every function below is called only there.
bool HoldsStateLock();

// One step of a wait: sleeps at most `ms` (in slices, see the .cpp) until
// bytes arrive and files them with a receive pass, or waits for another
// thread's pass. The caller re-checks what it waits for and its time.
void ReceiveWait(uint32_t ms);

// ReceiveWait for an answer in the adapter's answer place: the call holds
// the answer lock (its guard's kind, or an AnswerSlotHold).
void AnswerReceiveWait(uint32_t ms);

// Whether serial I/O on `handle` on this thread keeps the lock rules: the
// link's own handle is read and written only under the state lock, and in
// an answer wait with the answer lock too. The tests' platform checks it on
// every serial read and write (passthru/testing/lock_rules.h).
bool SerialIoKeepsLockRules(int32_t handle);

// Sleeps `ms` without holding the state lock (a settling time).
void SleepReleasingState(uint32_t ms);

// Holds the answer lock for the rest of a call that finds out only inside
// the core that it needs an answer (a blocking write). Takes it in the
// right order: the state lock is released and taken again.
class AnswerSlotHold {
 public:
  AnswerSlotHold();
  ~AnswerSlotHold();
  AnswerSlotHold(const AnswerSlotHold&) = delete;
  AnswerSlotHold& operator=(const AnswerSlotHold&) = delete;

 private:
  bool taken_ = false;
};

}  // namespace orv
