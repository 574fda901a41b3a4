// The Win32 backend of the platform seam.
//
// Serial ports: CreateFileA on the device name ("\\.\COM7"), exclusive,
// existing devices only, no overlapped transfers; the line settings are the
// DCB of GetCommState/SetCommState; queue sizes SetupComm, purge PurgeComm,
// time limits SetCommTimeouts, transfers ReadFile/WriteFile bounded by those
// limits, break SetCommBreak/ClearCommBreak. The seam's SerialHandle is a
// 32-bit number, a HANDLE is pointer-sized: open ports live in a small table
// and the handle given out is the slot number. Trace sockets are kept in a
// table of their own for the same reason.
//
// Registry: HKEY_LOCAL_MACHINE\Software\PassThruSupport.04.04 opened with
// read access (RegOpenKeyExA, RegEnumKeyExA, RegQueryValueExA, RegCloseKey);
// a 32-bit program on 64-bit Windows reads the WOW6432Node view, as the
// registry redirects it there.
//
// Failure reporting: the Win32 error code (GetLastError, the registry
// functions' result, WSAGetLastError). A call that failed without leaving
// an error code still reports a failure, never success.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
// winsock2.h comes first: it must precede windows.h.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace orv::platform {

namespace {

constexpr int32_t kMaxPorts = 64;
constexpr int32_t kMaxSockets = 16;
constexpr const char* kPassThruKey = "Software\\PassThruSupport.04.04";
constexpr uint32_t kHostNameSize = 240;

// The error of a failed call; a generic failure when the call left none.
OsError LastErrorOrFailure() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? static_cast<OsError>(error) : ERROR_GEN_FAILURE;
}

OsError WsaErrorOrFailure() {
  const int error = WSAGetLastError();
  return error != 0 ? static_cast<OsError>(error) : ERROR_GEN_FAILURE;
}

OsError Result(BOOL succeeded) {
  return succeeded ? kOk : LastErrorOrFailure();
}

OsError RegistryResult(LSTATUS status) {
  return static_cast<OsError>(status);
}

void DcbToSettings(const DCB& dcb, SerialSettings* s) {
  s->baud_rate = dcb.BaudRate;
  s->byte_size = dcb.ByteSize;
  s->parity = dcb.Parity;
  s->stop_bits = dcb.StopBits;
  s->binary = dcb.fBinary != 0;
  s->parity_check = dcb.fParity != 0;
  s->out_cts_flow = dcb.fOutxCtsFlow != 0;
  s->out_dsr_flow = dcb.fOutxDsrFlow != 0;
  s->dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
  s->dsr_sensitivity = dcb.fDsrSensitivity != 0;
  s->tx_continue_on_xoff = dcb.fTXContinueOnXoff != 0;
  s->out_xon_xoff = dcb.fOutX != 0;
  s->in_xon_xoff = dcb.fInX != 0;
  s->error_char_enabled = dcb.fErrorChar != 0;
  s->null_strip = dcb.fNull != 0;
  s->rts_control = static_cast<uint8_t>(dcb.fRtsControl);
  s->abort_on_error = dcb.fAbortOnError != 0;
  s->xon_limit = dcb.XonLim;
  s->xoff_limit = dcb.XoffLim;
  s->xon_char = dcb.XonChar;
  s->xoff_char = dcb.XoffChar;
  s->error_char = dcb.ErrorChar;
  s->eof_char = dcb.EofChar;
  s->event_char = dcb.EvtChar;
}

// Writes every modelled field; the DCB's reserved fields keep what the
// driver reported.
void SettingsToDcb(const SerialSettings& s, DCB* dcb) {
  dcb->BaudRate = s.baud_rate;
  dcb->ByteSize = s.byte_size;
  dcb->Parity = s.parity;
  dcb->StopBits = s.stop_bits;
  dcb->fBinary = s.binary;
  dcb->fParity = s.parity_check;
  dcb->fOutxCtsFlow = s.out_cts_flow;
  dcb->fOutxDsrFlow = s.out_dsr_flow;
  dcb->fDtrControl = s.dtr_control & 3u;
  dcb->fDsrSensitivity = s.dsr_sensitivity;
  dcb->fTXContinueOnXoff = s.tx_continue_on_xoff;
  dcb->fOutX = s.out_xon_xoff;
  dcb->fInX = s.in_xon_xoff;
  dcb->fErrorChar = s.error_char_enabled;
  dcb->fNull = s.null_strip;
  dcb->fRtsControl = s.rts_control & 3u;
  dcb->fAbortOnError = s.abort_on_error;
  dcb->XonLim = s.xon_limit;
  dcb->XoffLim = s.xoff_limit;
  dcb->XonChar = s.xon_char;
  dcb->XoffChar = s.xoff_char;
  dcb->ErrorChar = s.error_char;
  dcb->EofChar = s.eof_char;
  dcb->EvtChar = s.event_char;
}

DCB EmptyDcb() {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  return dcb;
}

// An open registry key, closed when it goes out of scope.
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }

  OsError Open(HKEY parent, const char* path) {
    return RegistryResult(RegOpenKeyExA(parent, path, 0, KEY_READ, &key_));
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class Win32Platform final : public Platform {
 public:
  Win32Platform() {
    ports_.fill(INVALID_HANDLE_VALUE);
    sockets_.fill(INVALID_SOCKET);
  }

  // --- serial port -------------------------------------------------------
  OsError serial_open(const char* device_name, SerialHandle* handle) override {
    const int32_t slot = FreePortSlot();
    if (slot < 0) return ERROR_TOO_MANY_OPEN_FILES;
    HANDLE port = CreateFileA(device_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) return LastErrorOrFailure();
    ports_[static_cast<size_t>(slot)] = port;
    *handle = slot;
    return kOk;
  }

  // A COM port that another program holds fails with ERROR_ACCESS_DENIED.
  OpenFailure serial_open_failure_kind(OsError error) override {
    switch (error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return OpenFailure::kNoSuchPort;
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
        return OpenFailure::kInUse;
      default:
        return OpenFailure::kOther;
    }
  }

  OsError serial_close(SerialHandle handle) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    // The slot is free either way: a handle that fails to close is unusable.
    ports_[static_cast<size_t>(handle)] = INVALID_HANDLE_VALUE;
    return Result(CloseHandle(port));
  }

  OsError serial_get_settings(SerialHandle handle, SerialSettings* settings) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DCB dcb = EmptyDcb();
    if (!GetCommState(port, &dcb)) return LastErrorOrFailure();
    DcbToSettings(dcb, settings);
    return kOk;
  }

  OsError serial_set_settings(SerialHandle handle, const SerialSettings& settings) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DCB dcb = EmptyDcb();
    if (!GetCommState(port, &dcb)) return LastErrorOrFailure();
    SettingsToDcb(settings, &dcb);
    return Result(SetCommState(port, &dcb));
  }

  OsError serial_set_queue_sizes(SerialHandle handle, uint32_t in_bytes,
                                 uint32_t out_bytes) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return Result(SetupComm(port, in_bytes, out_bytes));
  }

  OsError serial_purge(SerialHandle handle, uint32_t flags) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return Result(PurgeComm(port, flags));
  }

  OsError serial_set_timeouts(SerialHandle handle, const SerialTimeouts& t) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = t.read_interval;
    timeouts.ReadTotalTimeoutMultiplier = t.read_total_multiplier;
    timeouts.ReadTotalTimeoutConstant = t.read_total_constant;
    timeouts.WriteTotalTimeoutMultiplier = t.write_total_multiplier;
    timeouts.WriteTotalTimeoutConstant = t.write_total_constant;
    return Result(SetCommTimeouts(port, &timeouts));
  }

  // GetCommProperties' dwCurrentRxQueue is the size of the driver's input
  // buffer, not what is waiting in it; the counts of waiting bytes that the
  // seam promises come from the port status (COMSTAT).
  OsError serial_get_properties(SerialHandle handle, SerialProperties* properties) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    COMMPROP prop{};
    if (!GetCommProperties(port, &prop)) return LastErrorOrFailure();
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) return LastErrorOrFailure();
    properties->current_rx_queue = status.cbInQue;
    properties->current_tx_queue = status.cbOutQue;
    return kOk;
  }

  OsError serial_read(SerialHandle handle, uint8_t* buffer, uint32_t count,
                      uint32_t* done) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DWORD moved = 0;
    const BOOL ok = ReadFile(port, buffer, count, &moved, nullptr);
    *done = ok ? moved : 0;
    return Result(ok);
  }

  // Looks at the input queue once per read limit (1 ms) until bytes are
  // there or the time is up: the port is not opened for overlapped
  // transfers, so a blocking wait on it would also hold up writes.
  OsError serial_wait_readable(SerialHandle handle, uint32_t ms, bool* readable) override {
    *readable = false;
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const DWORD start = GetTickCount();
    for (;;) {
      DWORD errors = 0;
      COMSTAT status{};
      if (!ClearCommError(port, &errors, &status)) return LastErrorOrFailure();
      if (status.cbInQue != 0) {
        *readable = true;
        return kOk;
      }
      if (GetTickCount() - start >= ms) return kOk;
      Sleep(1);
    }
  }

  OsError serial_write(SerialHandle handle, const uint8_t* buffer, uint32_t count,
                       uint32_t* done) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DWORD moved = 0;
    const BOOL ok = WriteFile(port, buffer, count, &moved, nullptr);
    *done = ok ? moved : 0;
    return Result(ok);
  }

  OsError serial_set_break(SerialHandle handle) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return Result(SetCommBreak(port));
  }

  OsError serial_clear_break(SerialHandle handle) override {
    HANDLE port = Port(handle);
    if (port == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return Result(ClearCommBreak(port));
  }

  // --- time ---------------------------------------------------------------
  uint32_t tick_ms() override { return GetTickCount(); }
  void sleep_ms(uint32_t ms) override { Sleep(ms); }

  // --- registry -----------------------------------------------------------
  OsError registry_enum_subkey(uint32_t index, char* name, uint32_t capacity) override {
    RegistryKey root;
    if (OsError e = root.Open(HKEY_LOCAL_MACHINE, kPassThruKey)) return e;
    DWORD length = capacity;  // in: room with the zero; out: characters stored
    return RegistryResult(
        RegEnumKeyExA(root.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr));
  }

  OsError registry_query_value(const char* subkey, const char* value_name, uint8_t* data,
                               uint32_t* size) override {
    RegistryKey root;
    RegistryKey adapter;
    if (root.Open(HKEY_LOCAL_MACHINE, kPassThruKey) != kOk ||
        adapter.Open(root.get(), subkey) != kOk) {
      return kErrorCantOpen;  // as the walk must tell it from a missing value
    }
    DWORD length = *size;
    const LSTATUS status =
        RegQueryValueExA(adapter.get(), value_name, nullptr, nullptr, data, &length);
    if (status != ERROR_SUCCESS) return RegistryResult(status);
    *size = length;
    return kOk;
  }

  // --- debug trace socket -------------------------------------------------
  OsError socket_startup() override {
    WSADATA data;
    return static_cast<OsError>(WSAStartup(MAKEWORD(2, 2), &data));
  }

  OsError trace_connect(uint16_t port, SocketHandle* socket_out) override {
    const int32_t slot = FreeSocketSlot();
    if (slot < 0) return WSAEMFILE;
    sockaddr_in address{};
    if (OsError e = OwnHostAddress(&address)) return e;
    uint8_t octets[4];
    std::memcpy(octets, &address.sin_addr, sizeof octets);
    if (!IsOwnIpv4Address(octets)) return WSAEADDRNOTAVAIL;
    address.sin_port = htons(port);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return WsaErrorOrFailure();
    u_long non_blocking = 1;
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
      const OsError e = WsaErrorOrFailure();
      closesocket(s);
      return e;
    }
    sockets_[static_cast<size_t>(slot)] = s;
    *socket_out = slot;
    return kOk;
  }

  // The socket is non-blocking (FIONBIO): a full send buffer refuses the
  // line with WSAEWOULDBLOCK instead of waiting.
  bool trace_send(SocketHandle handle, const char* text, uint32_t length) override {
    SOCKET s = Socket(handle);
    if (s == INVALID_SOCKET) return false;
    return send(s, text, static_cast<int>(length), 0) == static_cast<int>(length);
  }

  void trace_close(SocketHandle handle) override {
    SOCKET s = Socket(handle);
    if (s == INVALID_SOCKET) return;
    sockets_[static_cast<size_t>(handle)] = INVALID_SOCKET;
    closesocket(s);
  }

  // --- user notice --------------------------------------------------------
  void message_box(const char* text, const char* caption) override {
    MessageBoxA(GetFocus(), text, caption, MB_OK);
  }

 private:
  HANDLE Port(SerialHandle handle) const {
    if (handle < 0 || handle >= kMaxPorts) return INVALID_HANDLE_VALUE;
    return ports_[static_cast<size_t>(handle)];
  }

  int32_t FreePortSlot() const {
    for (int32_t i = 0; i < kMaxPorts; ++i) {
      if (ports_[static_cast<size_t>(i)] == INVALID_HANDLE_VALUE) return i;
    }
    return -1;
  }

  SOCKET Socket(SocketHandle handle) const {
    if (handle < 0 || handle >= kMaxSockets) return INVALID_SOCKET;
    return sockets_[static_cast<size_t>(handle)];
  }

  int32_t FreeSocketSlot() const {
    for (int32_t i = 0; i < kMaxSockets; ++i) {
      if (sockets_[static_cast<size_t>(i)] == INVALID_SOCKET) return i;
    }
    return -1;
  }

  // The first IPv4 address of the machine's own host name.
  static OsError OwnHostAddress(sockaddr_in* address) {
    char host[kHostNameSize + 1] = {};
    if (gethostname(host, static_cast<int>(kHostNameSize)) != 0) return WsaErrorOrFailure();
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr) return WsaErrorOrFailure();
    if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr) ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
      return WSAHOST_NOT_FOUND;
    }
    address->sin_family = AF_INET;
    std::memcpy(&address->sin_addr, entry->h_addr_list[0], sizeof(in_addr));
    return kOk;
  }

  std::array<HANDLE, kMaxPorts> ports_;
  std::array<SOCKET, kMaxSockets> sockets_;
};

}  // namespace

Platform& native() {
  static Win32Platform instance;
  return instance;
}

// A target with a reparse point, other hard links or that is no file is
// not the caller's own. The new file gets the ACL the directory gives it:
// on Windows the user's own directories are private already.
FileReplacement::FileReplacement(const char* path) : target_(path) {
  HANDLE old = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (old != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info{};
    const bool read = GetFileInformationByHandle(old, &info) != 0;
    CloseHandle(old);
    if (read && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      status_ = ERROR_ACCESS_DENIED;  // as an open of a directory for writing fails
      return;
    }
    if (!read || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        info.nNumberOfLinks != 1) {
      status_ = kErrorNotOwnFile;
      return;
    }
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    status_ = LastErrorOrFailure();
    return;
  }
  // CREATE_NEW: a name of its own, never an existing file or link.
  for (unsigned n = 0; n < 100 && handle_ == -1; ++n) {
    temporary_ = target_ + ".new" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n);
    HANDLE file = CreateFileA(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(file);
    } else if (GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (handle_ == -1) {
    status_ = LastErrorOrFailure();
    temporary_.clear();
  }
}

FileReplacement::~FileReplacement() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  if (!temporary_.empty()) DeleteFileA(temporary_.c_str());
}

OsError FileReplacement::write(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; status_ == kOk && done < size;) {
    const DWORD part = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), bytes + done, part, &written, nullptr) ||
        written == 0) {
      status_ = LastErrorOrFailure();
    }
    done += written;
  }
  return status_;
}

OsError FileReplacement::commit() {
  if (status_ != kOk) return status_;
  const bool closed = CloseHandle(reinterpret_cast<HANDLE>(handle_)) != 0;
  handle_ = -1;
  if (!closed || !MoveFileExA(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return status_ = LastErrorOrFailure();
  }
  temporary_.clear();
  return kOk;
}

// The stack lets a socket bind only to one of the machine's own addresses
// (WSAEADDRNOTAVAIL otherwise), which answers the question without a walk
// over the adapters.
bool IsOwnIpv4Address(const uint8_t (&address)[4]) {
  if (address[0] == 127) return true;
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  std::memcpy(&local.sin_addr, address, sizeof address);
  const bool own = bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  closesocket(s);
  return own;
}

}  // namespace orv::platform
