// The platform seam: every service the library needs from the operating
// system goes through one table, `Platform`, installed at run time.
//
// The default is the native backend of the build (POSIX or Win32). Tests,
// benchmarks and fuzzers install their own table: a virtual clock with an
// in-process emulated adapter, or a wrapper that fails chosen calls.
// Nothing above platform/ includes an OS header; it includes this file.
//
// Failure reporting: calls that can fail return an `OsError`, 0 for success
// and otherwise the platform's own error code (errno, GetLastError()), which
// the serial driver keeps for inspection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::platform {

using OsError = int32_t;
inline constexpr OsError kOk = 0;
// A registry key or subkey that cannot be opened, whatever the cause (Win32
// ERROR_CANTOPEN): the registry walk stops there, while a missing value
// only skips its subkey.
inline constexpr OsError kErrorCantOpen = 1011;

// Why a serial_open failed, as far as the backend can tell: the port does
// not exist, another program holds it, or this user may not open it.
enum class OpenFailure : uint8_t { kOther, kNoSuchPort, kInUse, kPermission };

// Serial handles are small non-negative numbers chosen by the backend;
// negative means "not open".
using SerialHandle = int32_t;
using SocketHandle = int32_t;
inline constexpr int32_t kInvalidHandle = -1;

// The line settings record of a COM port, with the fields the serial
// driver reads and writes. Codes follow the Win32 DCB.
struct SerialSettings {
  uint32_t baud_rate = 0;
  uint8_t byte_size = 8;
  uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stop_bits = 0;  // 0 one, 1 one and a half, 2 two
  bool binary = true;
  bool parity_check = false;
  bool out_cts_flow = false;
  bool out_dsr_flow = false;
  uint8_t dtr_control = 0;  // 0 disable, 1 enable, 2 handshake
  bool dsr_sensitivity = false;
  bool tx_continue_on_xoff = false;
  bool out_xon_xoff = false;
  bool in_xon_xoff = false;
  bool error_char_enabled = false;
  bool null_strip = false;
  uint8_t rts_control = 0;  // 0 disable, 1 enable, 2 handshake, 3 toggle
  bool abort_on_error = false;
  uint16_t xon_limit = 0;
  uint16_t xoff_limit = 0;
  char xon_char = 0x11;
  char xoff_char = 0x13;
  char error_char = 0;
  char eof_char = 0;
  char event_char = 0;
};

// The five time limits of a COM port, in milliseconds (Win32 COMMTIMEOUTS).
struct SerialTimeouts {
  uint32_t read_interval = 0;
  uint32_t read_total_multiplier = 0;
  uint32_t read_total_constant = 0;
  uint32_t write_total_multiplier = 0;
  uint32_t write_total_constant = 0;
};

struct SerialProperties {
  uint32_t current_rx_queue = 0;  // bytes waiting to be read
  uint32_t current_tx_queue = 0;
};

// Purge flags (Win32 PURGE_*): abort writes, abort reads, clear output,
// clear input. An explicit purge (the driver's purge control, the break
// pulse) passes all four. Opening and closing the port clear only the
// input side: output the port took is counted as written, so throwing it
// away would cut a frame the adapter has begun to receive.
inline constexpr uint32_t kPurgeTxAbort = 0x01;
inline constexpr uint32_t kPurgeRxAbort = 0x02;
inline constexpr uint32_t kPurgeTxClear = 0x04;
inline constexpr uint32_t kPurgeRxClear = 0x08;
inline constexpr uint32_t kPurgeAll = 0x0F;
inline constexpr uint32_t kPurgeInput = kPurgeRxAbort | kPurgeRxClear;

class Platform {
 public:
  virtual ~Platform() = default;

  // --- serial port -------------------------------------------------------
  // Opens a COM device by its Win32 device name ("\\.\COM7") for exclusive
  // use. The device must already exist.
  virtual OsError serial_open(const char* device_name, SerialHandle* handle) = 0;
  // Why the last serial_open refused a device because another user could
  // have put it there (a COM directory or entry that is not safe), or null
  // when it refused none for that reason.
  virtual const char* serial_open_refusal() { return nullptr; }
  // What a failed serial_open's error means for the user (the backend's
  // own codes stay below this seam).
  virtual OpenFailure serial_open_failure_kind(OsError /*error*/) { return OpenFailure::kOther; }
  virtual OsError serial_close(SerialHandle handle) = 0;
  virtual OsError serial_get_settings(SerialHandle handle, SerialSettings* settings) = 0;
  virtual OsError serial_set_settings(SerialHandle handle, const SerialSettings& settings) = 0;
  virtual OsError serial_set_queue_sizes(SerialHandle handle, uint32_t in_bytes,
                                         uint32_t out_bytes) = 0;
  virtual OsError serial_purge(SerialHandle handle, uint32_t flags) = 0;
  virtual OsError serial_set_timeouts(SerialHandle handle, const SerialTimeouts& timeouts) = 0;
  virtual OsError serial_get_properties(SerialHandle handle, SerialProperties* properties) = 0;
  // One synchronous transfer bounded by the port's time limits; the count
  // moved (possibly 0) is stored in *done.
  virtual OsError serial_read(SerialHandle handle, uint8_t* buffer, uint32_t count,
                              uint32_t* done) = 0;
  virtual OsError serial_write(SerialHandle handle, const uint8_t* buffer, uint32_t count,
                               uint32_t* done) = 0;
  // Waits until the port has bytes to read or `ms` milliseconds pass (0:
  // only looks), without taking any bytes. *readable tells which; a port
  // that fails (closed, hung up) is an error. The default says "readable"
  // at once, so that a read then waits under the port's read limit.
  virtual OsError serial_wait_readable(SerialHandle /*handle*/, uint32_t /*ms*/, bool* readable) {
    *readable = true;
    return kOk;
  }
  virtual OsError serial_set_break(SerialHandle handle) = 0;
  virtual OsError serial_clear_break(SerialHandle handle) = 0;

  // --- time ---------------------------------------------------------------
  // Milliseconds from an arbitrary origin, wrapping at 32 bits.
  virtual uint32_t tick_ms() = 0;
  virtual void sleep_ms(uint32_t ms) = 0;

  // --- registry -----------------------------------------------------------
  // The key HKEY_LOCAL_MACHINE\Software\PassThruSupport.04.04 and its
  // subkeys. `registry_enum_subkey` stores the name of subkey `index`
  // (enumeration order) with its terminating zero; a name that does not fit
  // in `capacity` is an error. `registry_query_value` reads a value of one
  // subkey: on entry *size is the capacity of `data`, on success it is the
  // value's length; a value longer than the capacity is an error and leaves
  // `data` unspecified. A missing key, subkey or value is an error; a key or
  // subkey that cannot be opened (missing included) is kErrorCantOpen.
  virtual OsError registry_enum_subkey(uint32_t index, char* name, uint32_t capacity) = 0;
  virtual OsError registry_query_value(const char* subkey, const char* value_name, uint8_t* data,
                                       uint32_t* size) = 0;

  // --- debug trace socket -------------------------------------------------
  // Starts the socket library once per process (WSAStartup 2.2 on Win32).
  virtual OsError socket_startup() = 0;
  // Connects a stream socket to `port` at the first IPv4 address of the
  // machine's own host name, and only when that address is one of this
  // machine's own (IsOwnIpv4Address): the trace carries what the library
  // does, which must not leave the machine because a name server says so.
  virtual OsError trace_connect(uint16_t port, SocketHandle* socket) = 0;
  // Sends without blocking: true when the whole line went out at once. A
  // listener that stops reading must not stop the library.
  virtual bool trace_send(SocketHandle socket, const char* text, uint32_t length) = 0;
  // Closes a trace connection that a newer one replaces.
  virtual void trace_close(SocketHandle /*socket*/) {}

  // --- user notice --------------------------------------------------------
  // A modal notice with an OK button, owned by the window that has focus.
  virtual void message_box(const char* text, const char* caption) = 0;
};

// The installed table. Never null: before anything is installed it is the
// native backend of the build.
Platform& current();

// Installs `platform` (null restores the native backend) and returns the
// previous table so a caller can wrap or restore it.
Platform* install(Platform* platform);

// The native backend of this build (POSIX or Win32).
Platform& native();

// A target that is not the caller's own: a symbolic link (or reparse
// point), not a regular file, a file with other hard links or one that
// belongs to another user.
inline constexpr OsError kErrorNotOwnFile = -2;

// A host file replaced whole. The new bytes go into a new file beside the
// target, created readable by its owner only (0600), which commit() renames
// over the target: a descriptor someone still holds on the old file never
// sees them, and a target that is not the caller's own (kErrorNotOwnFile)
// is refused and left untouched. Without commit() the new file is removed,
// so a failed copy leaves no partial file. Native only.
class FileReplacement {
 public:
  explicit FileReplacement(const char* path);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  OsError status() const { return status_; }  // kOk while the new file is usable
  OsError write(const void* data, size_t size);
  OsError commit();

 private:
  std::string target_;
  std::string temporary_;
  intptr_t handle_ = -1;
  OsError status_ = kOk;
};

// Writes `size` bytes as the whole of `path` through a FileReplacement.
OsError WriteOwnerOnlyFile(const char* path, const uint8_t* data, size_t size);

// Sets `size` bytes at `data` to zero in a way the compiler cannot leave
// out: for buffers that held a secret.
void WipeMemory(void* data, size_t size);

// True for a loopback address or an address of one of this machine's own
// interfaces. `address` is in network byte order.
bool IsOwnIpv4Address(const uint8_t (&address)[4]);

}  // namespace orv::platform
