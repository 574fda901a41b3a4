// The platform table of the desktop dialog: every service of the table it
// wraps (the native backend), except the user notice, which goes to a
// function of the dialog that shows a real message box and returns once the
// user has pressed OK.
//
// Failure reporting: the wrapped table's own.
#pragma once

#include "platform/platform.h"

namespace orv::app::desktop {

class NoticePlatform final : public platform::Platform {
 public:
  using NoticeFn = void (*)(void* context, const char* text, const char* caption);

  NoticePlatform(platform::Platform& inner, NoticeFn notice, void* context)
      : inner_(inner), notice_(notice), context_(context) {}

  void message_box(const char* text, const char* caption) override {
    notice_(context_, text, caption);
  }

  // --- everything else is the wrapped table's ---------------------------------
  platform::OsError serial_open(const char* device_name, platform::SerialHandle* handle) override {
    return inner_.serial_open(device_name, handle);
  }
  const char* serial_open_refusal() override { return inner_.serial_open_refusal(); }
  platform::OpenFailure serial_open_failure_kind(platform::OsError error) override {
    return inner_.serial_open_failure_kind(error);
  }
  platform::OsError serial_close(platform::SerialHandle handle) override {
    return inner_.serial_close(handle);
  }
  platform::OsError serial_get_settings(platform::SerialHandle handle,
                                        platform::SerialSettings* settings) override {
    return inner_.serial_get_settings(handle, settings);
  }
  platform::OsError serial_set_settings(platform::SerialHandle handle,
                                        const platform::SerialSettings& settings) override {
    return inner_.serial_set_settings(handle, settings);
  }
  platform::OsError serial_set_queue_sizes(platform::SerialHandle handle, uint32_t in_bytes,
                                           uint32_t out_bytes) override {
    return inner_.serial_set_queue_sizes(handle, in_bytes, out_bytes);
  }
  platform::OsError serial_purge(platform::SerialHandle handle, uint32_t flags) override {
    return inner_.serial_purge(handle, flags);
  }
  platform::OsError serial_set_timeouts(platform::SerialHandle handle,
                                        const platform::SerialTimeouts& timeouts) override {
    return inner_.serial_set_timeouts(handle, timeouts);
  }
  platform::OsError serial_get_properties(platform::SerialHandle handle,
                                          platform::SerialProperties* properties) override {
    return inner_.serial_get_properties(handle, properties);
  }
  platform::OsError serial_read(platform::SerialHandle handle, uint8_t* buffer, uint32_t count,
                                uint32_t* done) override {
    return inner_.serial_read(handle, buffer, count, done);
  }
  platform::OsError serial_write(platform::SerialHandle handle, const uint8_t* buffer,
                                 uint32_t count, uint32_t* done) override {
    return inner_.serial_write(handle, buffer, count, done);
  }
  platform::OsError serial_wait_readable(platform::SerialHandle handle, uint32_t ms,
                                         bool* readable) override {
    return inner_.serial_wait_readable(handle, ms, readable);
  }
  platform::OsError serial_set_break(platform::SerialHandle handle) override {
    return inner_.serial_set_break(handle);
  }
  platform::OsError serial_clear_break(platform::SerialHandle handle) override {
    return inner_.serial_clear_break(handle);
  }
  uint32_t tick_ms() override { return inner_.tick_ms(); }
  void sleep_ms(uint32_t ms) override { inner_.sleep_ms(ms); }
  platform::OsError registry_enum_subkey(uint32_t index, char* name, uint32_t capacity) override {
    return inner_.registry_enum_subkey(index, name, capacity);
  }
  platform::OsError registry_query_value(const char* subkey, const char* value_name, uint8_t* data,
                                         uint32_t* size) override {
    return inner_.registry_query_value(subkey, value_name, data, size);
  }
  platform::OsError socket_startup() override { return inner_.socket_startup(); }
  platform::OsError trace_connect(uint16_t port, platform::SocketHandle* socket) override {
    return inner_.trace_connect(port, socket);
  }
  bool trace_send(platform::SocketHandle socket, const char* text, uint32_t length) override {
    return inner_.trace_send(socket, text, length);
  }
  void trace_close(platform::SocketHandle socket) override { inner_.trace_close(socket); }

 private:
  platform::Platform& inner_;
  NoticeFn notice_;
  void* context_;
};

}  // namespace orv::app::desktop
