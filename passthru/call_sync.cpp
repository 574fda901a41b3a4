// The locks of passthru/call_sync.h: the receive waits, the answer-slot
// hold, the lock-rule check, and the call guard that takes them
// (passthru/api_guard.h), which shares their per-thread record of the locks
// held.
#include "passthru/api_guard.h"

#include <algorithm>

#include "link/jmsg.h"
#include "passthru/call_sync.h"
#include "passthru/library_state.h"
#include "platform/platform.h"

namespace orv {

namespace {

thread_local bool t_state_held = false;
thread_local bool t_answer_held = false;
thread_local bool t_answer_wait = false;  // inside AnswerReceiveWait

// A thread sleeping on the port wakes at least this often, so that it
// notices an answer that another call's receive pass filed meanwhile.
constexpr uint32_t kPortSliceMs = 100;

CallSync& Sync() {
  return State().sync;
}

// Waits on the port; true when a receive pass should run (bytes are there
// or the port failed, which the pass reports).
bool PortReady(int32_t port, uint32_t ms) {
  bool readable = false;
  const platform::OsError e = platform::current().serial_wait_readable(port, ms, &readable);
  return readable || e != platform::kOk;
}

}  // namespace

bool HoldsStateLock() {
  return t_state_held;
}

void ReceiveWait(uint32_t ms) {
  const uint32_t slice = std::min(ms, kPortSliceMs);
  CallSync& sync = Sync();
  if (sync.port_waiter) {
    sync.pass_done.wait_for_ms(sync.state, slice);
    return;
  }
  sync.port_waiter = true;
  const int32_t port = Link().hCommPort;
  sync.state.unlock();
  const bool ready = PortReady(port, slice);
  sync.state.lock();
  sync.port_waiter = false;
  if (ready) JmsgReceiveMsgs();
  sync.pass_done.notify_all();
}

void AnswerReceiveWait(uint32_t ms) {
  t_answer_wait = true;
  ReceiveWait(ms);
  t_answer_wait = false;
}

bool SerialIoKeepsLockRules(int32_t handle) {
  if (!t_state_held) return handle != Link().hCommPort;
  return !t_answer_wait || t_answer_held;
}

void SleepReleasingState(uint32_t ms) {
  Sync().state.unlock();
  platform::current().sleep_ms(ms);
  Sync().state.lock();
}

AnswerSlotHold::AnswerSlotHold() {
  if (t_answer_held) return;
  CallSync& sync = Sync();
  sync.state.unlock();
  sync.answer.lock();
  sync.state.lock();
  t_answer_held = true;
  taken_ = true;
}

AnswerSlotHold::~AnswerSlotHold() {
  if (!taken_) return;
  t_answer_held = false;
  Sync().answer.unlock();
}

namespace api {

CallGuard::CallGuard(CallKind kind) : kind_(kind) {
  CallSync& sync = Sync();
  if (kind_ == CallKind::kAnswerSlot) {
    sync.answer.lock();
    t_answer_held = true;
  }
  sync.state.lock();
  t_state_held = true;
}

CallGuard::~CallGuard() {
  CallSync& sync = Sync();
  t_state_held = false;
  sync.state.unlock();
  if (kind_ == CallKind::kAnswerSlot) {
    t_answer_held = false;
    sync.answer.unlock();
  }
}

}  // namespace api

}  // namespace orv
