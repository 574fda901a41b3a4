// The in-process platform for tests, benchmarks and fuzzers: a virtual
// clock, COM ports wired to emulated adapters, a registry, a trace listener
// and a message box that only record. Faults come from wrapping it in
// platform::FaultPlatform.
//
// Time: `tick_ms()` is the virtual clock (starts at 1000, wraps at 32
// bits). `sleep_ms(n)` advances it by n. A serial read that finds nothing
// due waits like a real port under its read limit: the clock moves on by
// the read's total time limit (at least 1 ms), stopping early once adapter
// output falls due. A read that returns bytes takes no time. So a 15 s
// polling loop costs 15000 iterations and no real time.
//
// Ports: "\\.\COMn" names port n. A port exists when an adapter is attached
// to it or it was added as a silent port; any other name fails to open with
// error 2. Opens are exclusive (a second open fails with error 5).
//
// Threads: the seam's calls (serial, clock) may come from several threads
// at once, as the library's waits call serial_wait_readable outside its
// own lock; they are serialised here. The control functions are for the
// test's own thread while no library call runs.
//
// Failure reporting: the Win32-style OsError codes of the seam; nothing
// throws. All control goes through this object.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "emulator/adapter.h"
#include "platform/platform.h"

namespace orv::emu {

namespace oserr {
inline constexpr platform::OsError kFileNotFound = 2;
inline constexpr platform::OsError kAccessDenied = 5;
inline constexpr platform::OsError kInvalidHandle = 6;
inline constexpr platform::OsError kBadCommand = 22;
inline constexpr platform::OsError kGenFailure = 31;
inline constexpr platform::OsError kInvalidParameter = 87;
inline constexpr platform::OsError kMoreData = 234;
inline constexpr platform::OsError kNoMoreItems = 259;
inline constexpr platform::OsError kConnRefused = 10061;
}  // namespace oserr

struct RegistrySubkey {
  std::string name;
  // Value name -> data bytes, in order; names compared without regard to case.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> values;

  // A text value as the registry stores it: the characters and their NUL.
  RegistrySubkey& text(const std::string& value_name, const std::string& value);
  RegistrySubkey& bytes(const std::string& value_name, std::vector<uint8_t> value);
};

// Everything recorded for one COM port.
struct EmulatedPort {
  Adapter* adapter = nullptr;                                // null: a silent port
  platform::SerialHandle handle = platform::kInvalidHandle;  // open handle or -1
  uint32_t opens = 0;                                        // successful opens
  uint32_t open_attempts = 0;
  std::vector<std::vector<uint8_t>> writes;  // bytes of each successful write call
  platform::SerialSettings settings;
  platform::SerialTimeouts timeouts;
  uint32_t in_queue = 0;
  uint32_t out_queue = 0;
  std::vector<uint32_t> purges;  // flags of each purge
  bool break_on = false;
  uint32_t breaks = 0;  // times the break was raised
};

class EmulatedPlatform : public platform::Platform {
 public:
  EmulatedPlatform();

  // --- clock ---
  // Sets the clock without time passing for the attached adapters.
  void set_tick(uint32_t ms);
  void advance_ms(uint32_t ms);
  uint32_t now() const { return now_; }
  uint64_t slept_ms() const { return slept_; }

  // --- ports ---
  void attach_adapter(uint32_t port, Adapter& adapter);
  void add_silent_port(uint32_t port);
  void remove_port(uint32_t port);
  EmulatedPort& port(uint32_t n) { return ports_[n]; }
  bool has_port(uint32_t n) const { return ports_.count(n) != 0; }
  // Ports whose open was attempted, in order (also ports that do not exist).
  const std::vector<uint32_t>& open_attempts() const { return open_log_; }
  // All bytes of all writes on a port, and the frames they hold.
  std::vector<uint8_t> written_bytes(uint32_t port) const;
  std::vector<Frame> written_frames(uint32_t port) const;
  void clear_port_logs();

  // --- registry ---
  void set_registry(std::vector<RegistrySubkey> subkeys);
  void clear_registry();  // the key itself is missing
  // The subkey of this name is listed but cannot be opened (access denied).
  void lock_registry_subkey(const std::string& name) { locked_subkeys_.insert(name); }
  uint32_t registry_calls() const { return registry_calls_; }

  // --- trace listener ---
  void set_trace_listener(bool accepting) { trace_accepting_ = accepting; }
  // A listener that stops reading: every send is refused (and not kept).
  void set_trace_reading(bool reading) { trace_reading_ = reading; }
  uint32_t socket_startups() const { return socket_startups_; }
  uint32_t trace_connects() const { return trace_connects_; }  // successful ones
  uint32_t trace_connect_attempts() const { return trace_connect_attempts_; }
  uint16_t trace_port() const { return trace_port_; }
  const std::vector<std::string>& trace_sends() const { return trace_sends_; }
  std::string trace_text() const;
  void clear_trace() { trace_sends_.clear(); }

  // --- message boxes ---
  const std::vector<std::pair<std::string, std::string>>& message_boxes() const { return boxes_; }
  void clear_message_boxes() { boxes_.clear(); }

  // --- Platform ---
  platform::OsError serial_open(const char* device_name, platform::SerialHandle* handle) override;
  // Win32's meanings: a missing port, one open already (access denied).
  platform::OpenFailure serial_open_failure_kind(platform::OsError error) override {
    if (error == oserr::kFileNotFound) return platform::OpenFailure::kNoSuchPort;
    if (error == oserr::kAccessDenied) return platform::OpenFailure::kInUse;
    return platform::OpenFailure::kOther;
  }
  platform::OsError serial_close(platform::SerialHandle handle) override;
  platform::OsError serial_get_settings(platform::SerialHandle handle,
                                        platform::SerialSettings* settings) override;
  platform::OsError serial_set_settings(platform::SerialHandle handle,
                                        const platform::SerialSettings& settings) override;
  platform::OsError serial_set_queue_sizes(platform::SerialHandle handle, uint32_t in_bytes,
                                           uint32_t out_bytes) override;
  platform::OsError serial_purge(platform::SerialHandle handle, uint32_t flags) override;
  platform::OsError serial_set_timeouts(platform::SerialHandle handle,
                                        const platform::SerialTimeouts& timeouts) override;
  platform::OsError serial_get_properties(platform::SerialHandle handle,
                                          platform::SerialProperties* properties) override;
  platform::OsError serial_read(platform::SerialHandle handle, uint8_t* buffer, uint32_t count,
                                uint32_t* done) override;
  platform::OsError serial_write(platform::SerialHandle handle, const uint8_t* buffer,
                                 uint32_t count, uint32_t* done) override;
  platform::OsError serial_set_break(platform::SerialHandle handle) override;
  platform::OsError serial_clear_break(platform::SerialHandle handle) override;
  platform::OsError serial_wait_readable(platform::SerialHandle handle, uint32_t ms,
                                         bool* readable) override;
  uint32_t tick_ms() override {
    const std::lock_guard<std::mutex> hold(mutex_);
    return now_;
  }
  void sleep_ms(uint32_t ms) override;
  platform::OsError registry_enum_subkey(uint32_t index, char* name, uint32_t capacity) override;
  platform::OsError registry_query_value(const char* subkey, const char* value_name, uint8_t* data,
                                         uint32_t* size) override;
  platform::OsError socket_startup() override;
  platform::OsError trace_connect(uint16_t port, platform::SocketHandle* socket) override;
  bool trace_send(platform::SocketHandle socket, const char* text, uint32_t length) override;
  void message_box(const char* text, const char* caption) override;

 private:
  // The port behind an open handle, or null (error in *error).
  EmulatedPort* open_port(platform::SerialHandle handle, platform::OsError* error);
  uint32_t read_wait_ms(const EmulatedPort& port, uint32_t count) const;
  static bool parse_device_name(const char* name, uint32_t* port);

  std::mutex mutex_;  // serialises the seam's calls
  uint32_t now_ = 1000;
  uint64_t slept_ = 0;
  std::map<uint32_t, EmulatedPort> ports_;
  std::map<platform::SerialHandle, uint32_t> handles_;
  platform::SerialHandle next_handle_ = 3;
  std::vector<uint32_t> open_log_;

  bool registry_present_ = false;
  std::vector<RegistrySubkey> registry_;
  std::set<std::string> locked_subkeys_;
  uint32_t registry_calls_ = 0;

  bool trace_accepting_ = false;
  bool trace_reading_ = true;
  uint32_t socket_startups_ = 0;
  uint32_t trace_connects_ = 0;
  uint32_t trace_connect_attempts_ = 0;
  uint16_t trace_port_ = 0;
  platform::SocketHandle next_socket_ = 100;
  std::set<platform::SocketHandle> sockets_;
  std::vector<std::string> trace_sends_;

  std::vector<std::pair<std::string, std::string>> boxes_;
};

}  // namespace orv::emu
