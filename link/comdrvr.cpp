// The serial driver over the platform seam's serial-port services.
#include "link/comdrvr.h"

#include <cstdio>

#include "platform/platform.h"

namespace orv {

namespace {

using platform::OsError;

platform::Platform& os() {
  return platform::current();
}

// Per thread: the com_* exports work on their callers' own handles, so
// threads must not share (and race on) one record of the last failure.
thread_local OsError t_last_os_error = 0;

bool HandleOpen(const int32_t* h_drv) {
  return h_drv != nullptr && *h_drv >= 0;
}

// Records a failed platform call and yields the driver's code for it.
int32_t Fail(OsError error, int32_t code) {
  t_last_os_error = error;
  return code;
}

// Applies the driver's fixed line settings on top of what the port had.
void ApplyLineSettings(platform::SerialSettings& s, uint32_t baud, uint32_t data_bits,
                       uint32_t stop_bits) {
  s.baud_rate = baud;
  s.byte_size = static_cast<uint8_t>(data_bits);
  s.stop_bits = stop_bits == 1 ? 0 : 2;  // one, otherwise two
  s.parity = 0;                          // the parity argument is not applied
  s.binary = true;
  s.parity_check = false;
  s.out_cts_flow = false;
  s.out_dsr_flow = true;
  s.dtr_control = 1;  // DTR raised
  s.dsr_sensitivity = false;
  s.tx_continue_on_xoff = false;
  s.out_xon_xoff = false;
  s.in_xon_xoff = false;
  s.error_char_enabled = false;
  s.null_strip = false;
  s.rts_control = 0;  // RTS low
  s.abort_on_error = false;
  s.xon_limit = 64;
  s.xoff_limit = 16;
  s.xon_char = 0x11;
  s.xoff_char = 0x13;
  s.error_char = 0;
  s.eof_char = 0;
  s.event_char = 0;
}

platform::SerialTimeouts TimeoutsWithReadLimit(uint32_t read_ms) {
  platform::SerialTimeouts t;
  t.read_interval = 0;
  t.read_total_multiplier = 0;
  t.read_total_constant = read_ms;
  t.write_total_multiplier = 0;
  t.write_total_constant = kWriteLimitMs;
  return t;
}

// Reads the settings, lets `change` edit them, writes them back.
template <typename Change>
int32_t EditSettings(int32_t handle, Change change) {
  platform::SerialSettings s;
  if (OsError e = os().serial_get_settings(handle, &s)) return Fail(e, com::kErrState);
  change(s);
  if (OsError e = os().serial_set_settings(handle, s)) return Fail(e, com::kErrState);
  return com::kOk;
}

int32_t Purge(int32_t handle, int32_t code) {
  if (OsError e = os().serial_purge(handle, platform::kPurgeAll)) return Fail(e, code);
  return com::kOk;
}

int32_t BreakPulse(int32_t handle) {
  os().serial_purge(handle, platform::kPurgeAll);
  if (OsError e = os().serial_set_break(handle)) return Fail(e, com::kErrBreak);
  os().sleep_ms(kBreakHalfMs);
  if (OsError e = os().serial_clear_break(handle)) return Fail(e, com::kErrBreak);
  os().sleep_ms(kBreakHalfMs);
  os().serial_purge(handle, platform::kPurgeAll);
  return com::kOk;
}

int32_t ReadDriverSettings(int32_t handle, DriverSettings* out) {
  platform::SerialSettings s;
  if (OsError e = os().serial_get_settings(handle, &s)) return Fail(e, com::kErrState);
  out->BaudRate = s.baud_rate;
  out->DataBits = s.byte_size;
  out->Parity = s.parity;
  out->StopBits = s.stop_bits;
  out->DtrDsr = s.out_dsr_flow ? 1 : 0;
  out->RtsCts = s.out_cts_flow ? 1 : 0;
  out->XonXoff = s.out_xon_xoff ? 1 : 0;
  return com::kOk;
}

int32_t ApplyDriverSettings(int32_t handle, const DriverSettings& in) {
  return EditSettings(handle, [&](platform::SerialSettings& s) {
    s.baud_rate = in.BaudRate;
    s.byte_size = in.DataBits;
    s.parity = in.Parity;
    s.stop_bits = in.StopBits;
    s.out_dsr_flow = in.DtrDsr != 0;
    s.out_cts_flow = in.RtsCts != 0;
    s.out_xon_xoff = in.XonXoff != 0;
  });
}

}  // namespace

int32_t ComLastOsError() {
  return t_last_os_error;
}

void ResetComLastOsError() {
  t_last_os_error = 0;
}

void FormatComDeviceName(char (&name)[kDeviceNameSize], uint32_t port) {
  std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(port));
}

int32_t ComOpen(int32_t* h_drv, uint32_t port, uint32_t baud, uint32_t data_bits,
                uint32_t stop_bits, uint32_t /*parity*/) {
  if (h_drv == nullptr) return com::kErrHandle;
  char name[kDeviceNameSize];
  FormatComDeviceName(name, port);
  *h_drv = -1;
  t_last_os_error = 0;

  platform::SerialHandle handle = -1;
  if (OsError e = os().serial_open(name, &handle)) {
    *h_drv = -1;
    return Fail(e, com::kErrOpen);
  }
  *h_drv = handle;
  // From here on a failure leaves the handle open; the caller closes it.
  int32_t rc = EditSettings(handle, [&](platform::SerialSettings& s) {
    ApplyLineSettings(s, baud, data_bits, stop_bits);
  });
  if (rc != com::kOk) return rc;
  if (OsError e = os().serial_set_queue_sizes(handle, kInputQueueBytes, kOutputQueueBytes)) {
    return Fail(e, com::kErrQueue);
  }
  os().serial_purge(handle, platform::kPurgeInput);
  if (OsError e = os().serial_set_timeouts(handle, TimeoutsWithReadLimit(kReadLimitMs))) {
    return Fail(e, com::kErrTimeouts);
  }
  platform::SerialProperties unused;
  os().serial_get_properties(handle, &unused);
  return com::kOk;
}

int32_t ComClose(int32_t* h_drv) {
  if (!HandleOpen(h_drv)) return com::kErrHandle;
  os().serial_purge(*h_drv, platform::kPurgeInput);
  if (OsError e = os().serial_close(*h_drv)) return Fail(e, com::kErrClose);
  return com::kOk;
}

int32_t ComRead(int32_t* h_drv, uint8_t* p_buffer, uint32_t count, uint32_t* p_bytes_read) {
  if (!HandleOpen(h_drv) || p_buffer == nullptr || p_bytes_read == nullptr) {
    return com::kErrHandle;
  }
  *p_bytes_read = 0;
  uint32_t done = 0;
  if (OsError e = os().serial_read(*h_drv, p_buffer, count, &done)) return Fail(e, com::kErrRead);
  *p_bytes_read = done <= count ? done : count;
  return com::kOk;
}

int32_t ComWrite(int32_t* h_drv, const uint8_t* p_buffer, uint32_t count,
                 uint32_t* p_bytes_written) {
  if (!HandleOpen(h_drv) || p_buffer == nullptr) return com::kErrHandle;
  uint32_t done = 0;
  if (p_bytes_written != nullptr) *p_bytes_written = 0;
  const OsError e = os().serial_write(*h_drv, p_buffer, count, &done);
  // Also after a failure: what went out before it must not be sent again.
  if (p_bytes_written != nullptr) *p_bytes_written = done;
  return e != 0 ? Fail(e, com::kErrWrite) : com::kOk;
}

int32_t ComIoctl(int32_t* h_drv, uint32_t func, void* p_parms) {
  if (!HandleOpen(h_drv)) return com::kErrHandle;
  const int32_t handle = *h_drv;
  switch (func) {
    case 1:
      return EditSettings(handle, [](platform::SerialSettings& s) { s.out_xon_xoff = true; });
    case 2:
      return EditSettings(handle, [](platform::SerialSettings& s) { s.out_xon_xoff = false; });
    case 3:
      if (p_parms == nullptr) return com::kErrHandle;
      return ReadDriverSettings(handle, static_cast<DriverSettings*>(p_parms));
    case 4:
      if (p_parms == nullptr) return com::kErrHandle;
      return ApplyDriverSettings(handle, *static_cast<const DriverSettings*>(p_parms));
    case 5:
      return BreakPulse(handle);
    case 6:
      return Purge(handle, com::kErrPurge);
    default:
      return com::kErrHandle;
  }
}

int32_t ComRxCount(int32_t* h_drv, uint32_t* count) {
  if (!HandleOpen(h_drv) || count == nullptr) return com::kErrHandle;
  platform::SerialProperties props;
  if (os().serial_get_properties(*h_drv, &props) == platform::kOk) {
    *count = props.current_rx_queue;
  }
  return com::kOk;
}

int32_t ComSetTimeout(int32_t* h_drv, uint32_t timeout_msec) {
  if (!HandleOpen(h_drv)) return com::kErrHandle;
  if (OsError e = os().serial_set_timeouts(*h_drv, TimeoutsWithReadLimit(timeout_msec))) {
    return Fail(e, com::kErrTimeouts);
  }
  return com::kOk;
}

int32_t ComSetDtr(int32_t* h_drv, uint32_t state) {
  if (!HandleOpen(h_drv)) return com::kErrHandle;
  return EditSettings(*h_drv, [&](platform::SerialSettings& s) {
    s.dtr_control = static_cast<uint8_t>(state & 3);
  });
}

int32_t ComSetRts(int32_t* h_drv, uint32_t state) {
  if (!HandleOpen(h_drv)) return com::kErrHandle;
  return EditSettings(*h_drv, [&](platform::SerialSettings& s) {
    s.rts_control = static_cast<uint8_t>(state & 3);
  });
}

}  // namespace orv
