// The in-process platform: see emulated_platform.h.
#include "emulator/emulated_platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace orv::emu {

using platform::kInvalidHandle;
using platform::kOk;
using platform::OsError;
using platform::SerialHandle;

namespace {

constexpr uint32_t kPurgeRxClear = 0x08;

bool same_text_nocase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

RegistrySubkey& RegistrySubkey::text(const std::string& value_name, const std::string& value) {
  std::vector<uint8_t> data(value.begin(), value.end());
  data.push_back(0);
  values.emplace_back(value_name, std::move(data));
  return *this;
}

RegistrySubkey& RegistrySubkey::bytes(const std::string& value_name, std::vector<uint8_t> value) {
  values.emplace_back(value_name, std::move(value));
  return *this;
}

EmulatedPlatform::EmulatedPlatform() = default;

// --- clock -------------------------------------------------------------------

// Renames the present instant: attached adapters see no time pass.
void EmulatedPlatform::set_tick(uint32_t ms) {
  now_ = ms;
  for (auto& [n, port] : ports_) {
    if (port.adapter != nullptr) port.adapter->resync_clock(now_);
  }
}

void EmulatedPlatform::advance_ms(uint32_t ms) {
  now_ += ms;
  for (auto& [n, port] : ports_) {
    if (port.adapter != nullptr) port.adapter->advance(now_);
  }
}

void EmulatedPlatform::sleep_ms(uint32_t ms) {
  const std::lock_guard<std::mutex> hold(mutex_);
  slept_ += ms;
  advance_ms(ms);
}

// --- ports -------------------------------------------------------------------

void EmulatedPlatform::attach_adapter(uint32_t port, Adapter& adapter) {
  ports_[port].adapter = &adapter;
  adapter.resync_clock(now_);
}

void EmulatedPlatform::add_silent_port(uint32_t port) {
  ports_[port].adapter = nullptr;
}

void EmulatedPlatform::remove_port(uint32_t port) {
  auto it = ports_.find(port);
  if (it == ports_.end()) return;
  handles_.erase(it->second.handle);
  ports_.erase(it);
}

std::vector<uint8_t> EmulatedPlatform::written_bytes(uint32_t port) const {
  std::vector<uint8_t> all;
  auto it = ports_.find(port);
  if (it == ports_.end()) return all;
  for (const auto& w : it->second.writes) all.insert(all.end(), w.begin(), w.end());
  return all;
}

std::vector<Frame> EmulatedPlatform::written_frames(uint32_t port) const {
  const std::vector<uint8_t> bytes = written_bytes(port);
  std::vector<Frame> frames;
  size_t pos = 0;
  Frame f;
  while (const size_t used = cut_frame(std::span(bytes).subspan(pos), &f)) {
    frames.push_back(f);
    pos += used;
  }
  return frames;
}

void EmulatedPlatform::clear_port_logs() {
  open_log_.clear();
  for (auto& [n, port] : ports_) {
    port.writes.clear();
    port.purges.clear();
    port.opens = 0;
    port.open_attempts = 0;
    port.breaks = 0;
  }
}

EmulatedPort* EmulatedPlatform::open_port(SerialHandle handle, OsError* error) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) {
    *error = oserr::kInvalidHandle;
    return nullptr;
  }
  *error = kOk;
  return &ports_[it->second];
}

// --- serial ------------------------------------------------------------------

bool EmulatedPlatform::parse_device_name(const char* name, uint32_t* port) {
  static constexpr char kPrefix[] = "\\\\.\\COM";
  if (name == nullptr || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return false;
  const char* digits = name + sizeof kPrefix - 1;
  if (*digits == '\0') return false;
  uint64_t value = 0;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*c - '0');
    if (value > UINT32_MAX) return false;
  }
  *port = static_cast<uint32_t>(value);
  return true;
}

OsError EmulatedPlatform::serial_open(const char* device_name, SerialHandle* handle) {
  const std::lock_guard<std::mutex> hold(mutex_);
  if (handle != nullptr) *handle = kInvalidHandle;
  if (handle == nullptr) return oserr::kInvalidParameter;
  uint32_t n = 0;
  if (!parse_device_name(device_name, &n)) return oserr::kFileNotFound;
  open_log_.push_back(n);
  auto it = ports_.find(n);
  if (it == ports_.end()) return oserr::kFileNotFound;
  EmulatedPort& port = it->second;
  ++port.open_attempts;
  if (port.handle != kInvalidHandle) return oserr::kAccessDenied;
  port.handle = next_handle_++;
  handles_[port.handle] = n;
  ++port.opens;
  *handle = port.handle;
  return kOk;
}

OsError EmulatedPlatform::serial_close(SerialHandle handle) {
  const std::lock_guard<std::mutex> hold(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return oserr::kInvalidHandle;
  ports_[it->second].handle = kInvalidHandle;
  handles_.erase(it);
  return kOk;
}

OsError EmulatedPlatform::serial_get_settings(SerialHandle handle,
                                              platform::SerialSettings* settings) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  if (settings == nullptr) return oserr::kInvalidParameter;
  *settings = port->settings;
  return kOk;
}

OsError EmulatedPlatform::serial_set_settings(SerialHandle handle,
                                              const platform::SerialSettings& settings) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  port->settings = settings;
  return kOk;
}

OsError EmulatedPlatform::serial_set_queue_sizes(SerialHandle handle, uint32_t in_bytes,
                                                 uint32_t out_bytes) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  port->in_queue = in_bytes;
  port->out_queue = out_bytes;
  return kOk;
}

// Clearing the input queue drops what has reached the port; what the
// adapter has not sent yet still comes later.
OsError EmulatedPlatform::serial_purge(SerialHandle handle, uint32_t flags) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  port->purges.push_back(flags);
  if ((flags & kPurgeRxClear) != 0 && port->adapter != nullptr) {
    port->adapter->discard_due_output(now_);
  }
  return kOk;
}

OsError EmulatedPlatform::serial_set_timeouts(SerialHandle handle,
                                              const platform::SerialTimeouts& timeouts) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  port->timeouts = timeouts;
  return kOk;
}

OsError EmulatedPlatform::serial_get_properties(SerialHandle handle,
                                                platform::SerialProperties* properties) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  if (properties == nullptr) return oserr::kInvalidParameter;
  properties->current_rx_queue =
      port->adapter != nullptr ? static_cast<uint32_t>(port->adapter->output_due_bytes(now_)) : 0;
  properties->current_tx_queue = 0;
  return kOk;
}

// How long an empty read waits: the port's total read limit, at least 1 ms.
uint32_t EmulatedPlatform::read_wait_ms(const EmulatedPort& port, uint32_t count) const {
  const uint64_t total = uint64_t{port.timeouts.read_total_constant} +
                         uint64_t{port.timeouts.read_total_multiplier} * count;
  return static_cast<uint32_t>(std::clamp<uint64_t>(total, 1, UINT32_MAX));
}

OsError EmulatedPlatform::serial_read(SerialHandle handle, uint8_t* buffer, uint32_t count,
                                      uint32_t* done) {
  const std::lock_guard<std::mutex> hold(mutex_);
  if (done != nullptr) *done = 0;
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  if (buffer == nullptr || done == nullptr) return oserr::kInvalidParameter;
  Adapter* adapter = port->adapter;
  const std::span<uint8_t> out(buffer, count);
  size_t n = adapter != nullptr ? adapter->read_host_bytes(out, now_) : 0;
  if (n == 0) {
    const uint32_t wait = read_wait_ms(*port, count);
    for (uint32_t waited = 0; waited < wait; ++waited) {
      advance_ms(1);
      if (adapter != nullptr && adapter->has_output_due(now_)) break;
    }
    if (adapter != nullptr) n = adapter->read_host_bytes(out, now_);
  }
  *done = static_cast<uint32_t>(n);
  return kOk;
}

// Advances the clock like an empty read, up to `ms`, until adapter output
// falls due. A read failure waiting to be injected counts as readable, so
// that the read which fails comes at once.
OsError EmulatedPlatform::serial_wait_readable(SerialHandle handle, uint32_t ms, bool* readable) {
  const std::lock_guard<std::mutex> hold(mutex_);
  *readable = false;
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  Adapter* adapter = port->adapter;
  const auto due = [&] { return adapter != nullptr && adapter->has_output_due(now_); };
  for (uint32_t waited = 0; !due() && waited < ms; ++waited) advance_ms(1);
  *readable = due();
  return kOk;
}

OsError EmulatedPlatform::serial_write(SerialHandle handle, const uint8_t* buffer, uint32_t count,
                                       uint32_t* done) {
  const std::lock_guard<std::mutex> hold(mutex_);
  if (done != nullptr) *done = 0;
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  if ((buffer == nullptr && count != 0) || done == nullptr) return oserr::kInvalidParameter;
  const std::span<const uint8_t> bytes(buffer, count);
  port->writes.emplace_back(bytes.begin(), bytes.end());
  if (port->adapter != nullptr) port->adapter->on_host_bytes(bytes, now_);
  *done = count;
  return kOk;
}

OsError EmulatedPlatform::serial_set_break(SerialHandle handle) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  port->break_on = true;
  ++port->breaks;
  return kOk;
}

OsError EmulatedPlatform::serial_clear_break(SerialHandle handle) {
  const std::lock_guard<std::mutex> hold(mutex_);
  OsError error = kOk;
  EmulatedPort* port = open_port(handle, &error);
  if (port == nullptr) return error;
  port->break_on = false;
  return kOk;
}

// --- registry ------------------------------------------------------------------

void EmulatedPlatform::set_registry(std::vector<RegistrySubkey> subkeys) {
  registry_present_ = true;
  registry_ = std::move(subkeys);
}

void EmulatedPlatform::clear_registry() {
  registry_present_ = false;
  registry_.clear();
  locked_subkeys_.clear();
}

OsError EmulatedPlatform::registry_enum_subkey(uint32_t index, char* name, uint32_t capacity) {
  ++registry_calls_;
  if (!registry_present_) return oserr::kFileNotFound;
  if (index >= registry_.size()) return oserr::kNoMoreItems;
  if (name == nullptr) return oserr::kInvalidParameter;
  const std::string& key = registry_[index].name;
  if (key.size() + 1 > capacity) return oserr::kMoreData;
  std::memcpy(name, key.c_str(), key.size() + 1);
  return kOk;
}

OsError EmulatedPlatform::registry_query_value(const char* subkey, const char* value_name,
                                               uint8_t* data, uint32_t* size) {
  ++registry_calls_;
  if (!registry_present_ || subkey == nullptr) return platform::kErrorCantOpen;
  auto key = std::find_if(registry_.begin(), registry_.end(), [&](const RegistrySubkey& k) {
    return same_text_nocase(k.name, subkey);
  });
  if (key == registry_.end() || locked_subkeys_.count(key->name) != 0) {
    return platform::kErrorCantOpen;
  }
  const char* wanted = value_name != nullptr ? value_name : "";
  auto value = std::find_if(key->values.begin(), key->values.end(),
                            [&](const auto& v) { return same_text_nocase(v.first, wanted); });
  if (value == key->values.end()) return oserr::kFileNotFound;
  if (size == nullptr) return oserr::kInvalidParameter;
  const auto length = static_cast<uint32_t>(value->second.size());
  if (data == nullptr) {
    *size = length;
    return kOk;
  }
  if (length > *size) {
    *size = length;
    return oserr::kMoreData;
  }
  std::copy(value->second.begin(), value->second.end(), data);
  *size = length;
  return kOk;
}

// --- trace socket and message box ---------------------------------------------------

OsError EmulatedPlatform::socket_startup() {
  ++socket_startups_;
  return kOk;
}

OsError EmulatedPlatform::trace_connect(uint16_t port, platform::SocketHandle* socket) {
  if (socket != nullptr) *socket = kInvalidHandle;
  ++trace_connect_attempts_;
  if (socket == nullptr) return oserr::kInvalidParameter;
  if (!trace_accepting_) return oserr::kConnRefused;
  ++trace_connects_;
  trace_port_ = port;
  *socket = next_socket_++;
  sockets_.insert(*socket);
  return kOk;
}

bool EmulatedPlatform::trace_send(platform::SocketHandle socket, const char* text,
                                  uint32_t length) {
  if (sockets_.count(socket) == 0 || text == nullptr || !trace_reading_) return false;
  trace_sends_.emplace_back(text, length);
  return true;
}

std::string EmulatedPlatform::trace_text() const {
  std::string all;
  for (const std::string& s : trace_sends_) all += s;
  return all;
}

void EmulatedPlatform::message_box(const char* text, const char* caption) {
  boxes_.emplace_back(text != nullptr ? text : "", caption != nullptr ? caption : "");
}

}  // namespace orv::emu
