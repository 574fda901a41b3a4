// The guard every exported call takes before it enters the core: it makes
// the call safe from any thread (see passthru/call_sync.h). Both export
// faces use it, so the rules are the same whichever face a host loads.
#pragma once

namespace orv::api {

// Calls that wait for an answer in the adapter's single answer place
// (version, serial number, voltages, digital lines, file store, memory,
// clock, security, firmware) take it with kAnswerSlot.
enum class CallKind { kPlain, kAnswerSlot };

class CallGuard {
 public:
  explicit CallGuard(CallKind kind = CallKind::kPlain);
  ~CallGuard();
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  CallKind kind_;
};

}  // namespace orv::api
