// A platform that wraps another one and makes chosen calls fail, for tests
// of the library's error paths over any backend (the in-process emulator,
// or the native backend on a pseudo-terminal).
//
// Every serial and socket call is counted, per kind and in total; the
// clock, the registry and the message box pass through uncounted. A rule
// fails the Nth call from now (of one kind, or of any kind), once or for a
// given number of calls or from then on; a failing call never reaches the
// wrapped platform. Two exceptions keep the wrapped platform's bookkeeping
// true to a real system: a failing close still closes (POSIX close() and
// Win32 CloseHandle release the handle whatever they report), and a write
// can be cut: the wrapped platform takes only its first bytes and the call
// reports success with the shorter count, as a write that hit its time
// limit does. A failing trace_send is dropped (and reports false).
//
// serial_wait_readable is not counted (it takes no bytes) and cannot be
// failed on its own: when the next read is set to fail it reports readable
// at once, so that the failing read comes without a wait. The library
// calls it outside its own lock, so the counts and rules sit under a lock.
//
// The wrapper also tracks which serial handles are open through it, so a
// test can compare that with what the library believes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/platform.h"

namespace orv::platform {

enum class Call : uint8_t {
  kOpen,
  kClose,
  kGetSettings,
  kSetSettings,
  kQueueSizes,
  kPurge,
  kTimeouts,
  kProperties,
  kRead,
  kWrite,
  kBreak,   // set and clear
  kSocket,  // startup, connect, send, close
  kAny,     // a rule or count over every kind above
};
inline constexpr size_t kCallKinds = static_cast<size_t>(Call::kAny) + 1;

// Forever: a rule that fails every call from its first one on.
inline constexpr uint64_t kFromThenOn = UINT64_MAX;
// A general failure (ERROR_GEN_FAILURE; on POSIX it is just a non-zero code).
inline constexpr OsError kInjectedError = 31;

class FaultPlatform : public Platform {
 public:
  explicit FaultPlatform(Platform& inner) : inner_(inner) {}

  // Call number `nth` (1 = the next one) of `kind` fails, and the `times`
  // - 1 calls of that kind after it too. One rule per kind: arming a kind
  // again replaces its rule.
  void fail(Call kind, uint64_t nth, uint64_t times = 1, OsError error = kInjectedError);
  // The next `writes` writes longer than `bytes` pass only their first
  // `bytes` bytes and, as a write that its time limit ends, take that limit
  // (the last one set) on the clock; they report success, short.
  void cut_writes(uint32_t bytes, uint32_t writes = 1) {
    cut_bytes_ = bytes;
    cuts_left_ = writes;
  }
  // Lifts every rule; the counts go on.
  void clear();
  // Runs `hook` at the start of every serial_wait_readable, on the waiting
  // thread: a test stops a caller there, where it waits for an answer with
  // the library's state released, to let another thread in. Set it before
  // the threads start.
  void on_wait(std::function<void()> hook) { wait_hook_ = std::move(hook); }
  // Runs `hook` with the handle at the start of every serial_read and
  // serial_write, on the calling thread: the library above checks its own
  // rules there (which thread may touch which handle). Set it before the
  // threads start.
  void on_serial_io(std::function<void(SerialHandle)> hook) { io_hook_ = std::move(hook); }

  // Calls of `kind` since construction or reset_counts().
  uint64_t calls(Call kind = Call::kAny) const { return counts_[Index(kind)]; }
  // Calls that failed by a rule (cut writes not included).
  uint64_t failures() const { return failures_; }
  Call last_failure() const { return last_failure_; }
  void reset_counts();
  // The handle open through this wrapper (kInvalidHandle: none), and how
  // many are open.
  SerialHandle open_handle() const { return open_count_ != 0 ? last_open_ : kInvalidHandle; }
  uint32_t open_count() const { return open_count_; }

  OsError serial_open(const char* device_name, SerialHandle* handle) override;
  const char* serial_open_refusal() override { return inner_.serial_open_refusal(); }
  OpenFailure serial_open_failure_kind(OsError error) override {
    return inner_.serial_open_failure_kind(error);
  }
  OsError serial_close(SerialHandle handle) override;
  OsError serial_get_settings(SerialHandle handle, SerialSettings* settings) override;
  OsError serial_set_settings(SerialHandle handle, const SerialSettings& settings) override;
  OsError serial_set_queue_sizes(SerialHandle handle, uint32_t in_bytes,
                                 uint32_t out_bytes) override;
  OsError serial_purge(SerialHandle handle, uint32_t flags) override;
  OsError serial_set_timeouts(SerialHandle handle, const SerialTimeouts& timeouts) override;
  OsError serial_get_properties(SerialHandle handle, SerialProperties* properties) override;
  OsError serial_read(SerialHandle handle, uint8_t* buffer, uint32_t count,
                      uint32_t* done) override;
  OsError serial_write(SerialHandle handle, const uint8_t* buffer, uint32_t count,
                       uint32_t* done) override;
  OsError serial_wait_readable(SerialHandle handle, uint32_t ms, bool* readable) override;
  OsError serial_set_break(SerialHandle handle) override;
  OsError serial_clear_break(SerialHandle handle) override;
  uint32_t tick_ms() override { return inner_.tick_ms(); }
  void sleep_ms(uint32_t ms) override { inner_.sleep_ms(ms); }
  OsError registry_enum_subkey(uint32_t index, char* name, uint32_t capacity) override {
    return inner_.registry_enum_subkey(index, name, capacity);
  }
  OsError registry_query_value(const char* subkey, const char* value_name, uint8_t* data,
                               uint32_t* size) override {
    return inner_.registry_query_value(subkey, value_name, data, size);
  }
  OsError socket_startup() override;
  OsError trace_connect(uint16_t port, SocketHandle* socket) override;
  bool trace_send(SocketHandle socket, const char* text, uint32_t length) override;
  void trace_close(SocketHandle socket) override;
  void message_box(const char* text, const char* caption) override {
    inner_.message_box(text, caption);
  }

 private:
  struct Rule {
    uint64_t first = 0;  // 0: no rule; else the count of the first failing call
    uint64_t last = 0;
    OsError error = kInjectedError;
  };

  static constexpr size_t Index(Call kind) { return static_cast<size_t>(kind); }
  // Counts a call of `kind`; returns the error a rule injects, or kOk.
  OsError Count(Call kind);
  static bool Fires(const Rule& rule, uint64_t count) {
    return rule.first != 0 && count >= rule.first && count <= rule.last;
  }
  // Whether a rule fails the next read.
  bool NextReadFails();

  Platform& inner_;
  std::mutex mutex_;  // guards the counts and rules
  std::array<uint64_t, kCallKinds> counts_{};
  std::array<Rule, kCallKinds> rules_{};
  uint64_t failures_ = 0;
  Call last_failure_ = Call::kAny;
  uint32_t cuts_left_ = 0;
  uint32_t cut_bytes_ = 0;
  uint32_t write_limit_ms_ = 0;  // of the last serial_set_timeouts
  std::function<void()> wait_hook_;
  std::function<void(SerialHandle)> io_hook_;
  SerialHandle last_open_ = kInvalidHandle;
  uint32_t open_count_ = 0;
};

}  // namespace orv::platform
