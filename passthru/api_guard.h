// The guard every exported call takes before it enters the core, and the one
// way the export faces call the core: Guarded<&api::Function>(arguments)
// takes the guard of the lock kind declared for that function (beside its
// declaration in passthru/api.h) and calls it. No export body takes a guard
// of its own, so the rules are the same whichever face a host loads, and a
// function whose lock kind is not declared does not compile.
#pragma once

namespace orv::api {

// Calls that wait for an answer in the adapter's single answer place
// (version, serial number, voltages, digital lines, file store, memory,
// clock, security, firmware) take it with kAnswerSlot.
enum class CallKind { kPlain, kAnswerSlot };

// Holds the state lock, and with kAnswerSlot the answer lock before it
// (see passthru/call_sync.h), for its lifetime.
class CallGuard {
 public:
  explicit CallGuard(CallKind kind);
  ~CallGuard();
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  CallKind kind_;
};

// The lock kind of API function `Function`: every function of passthru/api.h
// specialises it right after its declaration, with one of the two below or
// (when the kind depends on the arguments) an Of() of its own.
template <auto Function>
struct LockOf;

struct PlainLock {
  template <class... Args>
  static constexpr CallKind Of(const Args&...) {
    return CallKind::kPlain;
  }
};
struct AnswerSlotLock {
  template <class... Args>
  static constexpr CallKind Of(const Args&...) {
    return CallKind::kAnswerSlot;
  }
};

// Calls `Function` under the guard of its declared kind: how both export
// faces (and the library's own programs) enter the core.
template <auto Function, class... Args>
auto Guarded(Args... args) {
  const CallGuard guard(LockOf<Function>::Of(args...));
  return Function(args...);
}

}  // namespace orv::api
