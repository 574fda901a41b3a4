// The fault-injecting wrapper: see fault_platform.h.
#include "platform/testing/fault_platform.h"

#include <algorithm>

namespace orv::platform {

void FaultPlatform::fail(Call kind, uint64_t nth, uint64_t times, OsError error) {
  const std::lock_guard<std::mutex> hold(mutex_);
  Rule& rule = rules_[Index(kind)];
  if (nth == 0 || times == 0) {
    rule = Rule{};
    return;
  }
  rule.first = counts_[Index(kind)] + nth;
  rule.last = times == kFromThenOn ? UINT64_MAX : rule.first + times - 1;
  rule.error = error;
}

void FaultPlatform::clear() {
  const std::lock_guard<std::mutex> hold(mutex_);
  rules_ = {};
  cuts_left_ = 0;
}

void FaultPlatform::reset_counts() {
  clear();
  const std::lock_guard<std::mutex> hold(mutex_);
  counts_ = {};
  failures_ = 0;
}

OsError FaultPlatform::Count(Call kind) {
  const std::lock_guard<std::mutex> hold(mutex_);
  const uint64_t mine = ++counts_[Index(kind)];
  const uint64_t all = ++counts_[Index(Call::kAny)];
  const Rule& own = rules_[Index(kind)];
  const Rule& any = rules_[Index(Call::kAny)];
  OsError error = kOk;
  if (Fires(own, mine)) {
    error = own.error;
  } else if (Fires(any, all)) {
    error = any.error;
  }
  if (error != kOk) {
    ++failures_;
    last_failure_ = kind;
  }
  return error;
}

OsError FaultPlatform::serial_open(const char* device_name, SerialHandle* handle) {
  if (handle != nullptr) *handle = kInvalidHandle;
  if (const OsError e = Count(Call::kOpen)) return e;
  const OsError e = inner_.serial_open(device_name, handle);
  if (e == kOk && handle != nullptr && *handle != kInvalidHandle) {
    last_open_ = *handle;
    ++open_count_;
  }
  return e;
}

// A failing close still closes: see the header.
OsError FaultPlatform::serial_close(SerialHandle handle) {
  const OsError injected = Count(Call::kClose);
  const OsError e = inner_.serial_close(handle);
  if (e == kOk && open_count_ != 0) --open_count_;
  return injected != kOk ? injected : e;
}

OsError FaultPlatform::serial_get_settings(SerialHandle handle, SerialSettings* settings) {
  if (const OsError e = Count(Call::kGetSettings)) return e;
  return inner_.serial_get_settings(handle, settings);
}

OsError FaultPlatform::serial_set_settings(SerialHandle handle, const SerialSettings& settings) {
  if (const OsError e = Count(Call::kSetSettings)) return e;
  return inner_.serial_set_settings(handle, settings);
}

OsError FaultPlatform::serial_set_queue_sizes(SerialHandle handle, uint32_t in_bytes,
                                              uint32_t out_bytes) {
  if (const OsError e = Count(Call::kQueueSizes)) return e;
  return inner_.serial_set_queue_sizes(handle, in_bytes, out_bytes);
}

OsError FaultPlatform::serial_purge(SerialHandle handle, uint32_t flags) {
  if (const OsError e = Count(Call::kPurge)) return e;
  return inner_.serial_purge(handle, flags);
}

OsError FaultPlatform::serial_set_timeouts(SerialHandle handle, const SerialTimeouts& timeouts) {
  if (const OsError e = Count(Call::kTimeouts)) return e;
  write_limit_ms_ = timeouts.write_total_constant;
  return inner_.serial_set_timeouts(handle, timeouts);
}

OsError FaultPlatform::serial_get_properties(SerialHandle handle, SerialProperties* properties) {
  if (const OsError e = Count(Call::kProperties)) return e;
  return inner_.serial_get_properties(handle, properties);
}

OsError FaultPlatform::serial_read(SerialHandle handle, uint8_t* buffer, uint32_t count,
                                   uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (io_hook_) io_hook_(handle);
  if (const OsError e = Count(Call::kRead)) return e;
  return inner_.serial_read(handle, buffer, count, done);
}

bool FaultPlatform::NextReadFails() {
  const std::lock_guard<std::mutex> hold(mutex_);
  return Fires(rules_[Index(Call::kRead)], counts_[Index(Call::kRead)] + 1) ||
         Fires(rules_[Index(Call::kAny)], counts_[Index(Call::kAny)] + 1);
}

OsError FaultPlatform::serial_wait_readable(SerialHandle handle, uint32_t ms, bool* readable) {
  if (wait_hook_) wait_hook_();
  if (NextReadFails()) {
    *readable = true;
    return kOk;
  }
  return inner_.serial_wait_readable(handle, ms, readable);
}

OsError FaultPlatform::serial_write(SerialHandle handle, const uint8_t* buffer, uint32_t count,
                                    uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (io_hook_) io_hook_(handle);
  if (const OsError e = Count(Call::kWrite)) return e;
  if (cuts_left_ == 0 || count <= cut_bytes_)
    return inner_.serial_write(handle, buffer, count, done);
  --cuts_left_;
  const OsError e = inner_.serial_write(handle, buffer, cut_bytes_, done);
  inner_.sleep_ms(std::max<uint32_t>(write_limit_ms_, 1));
  return e;
}

OsError FaultPlatform::serial_set_break(SerialHandle handle) {
  if (const OsError e = Count(Call::kBreak)) return e;
  return inner_.serial_set_break(handle);
}

OsError FaultPlatform::serial_clear_break(SerialHandle handle) {
  if (const OsError e = Count(Call::kBreak)) return e;
  return inner_.serial_clear_break(handle);
}

OsError FaultPlatform::socket_startup() {
  if (const OsError e = Count(Call::kSocket)) return e;
  return inner_.socket_startup();
}

OsError FaultPlatform::trace_connect(uint16_t port, SocketHandle* socket) {
  if (socket != nullptr) *socket = kInvalidHandle;
  if (const OsError e = Count(Call::kSocket)) return e;
  return inner_.trace_connect(port, socket);
}

bool FaultPlatform::trace_send(SocketHandle socket, const char* text, uint32_t length) {
  if (Count(Call::kSocket) != kOk) return false;
  return inner_.trace_send(socket, text, length);
}

void FaultPlatform::trace_close(SocketHandle socket) {
  inner_.trace_close(socket);
}

}  // namespace orv::platform
