// The Win32 backend of the platform seam.
//
// Serial ports: CreateFileA on the device name ("\\.\COM7"), exclusive,
// existing devices only, opened for overlapped transfers so that a wait on
// the port never holds up a write; the line settings are the DCB of
// GetCommState/SetCommState; queue sizes SetupComm, purge PurgeComm, time
// limits SetCommTimeouts (also kept here), break SetCommBreak/ClearCommBreak.
// Transfers are waited for at once, as the seam's transfers are
// synchronous: a write is bounded by the driver's write limit; a read waits
// for its first byte itself (below), at most the read limit, then takes the
// bytes queued. The seam's SerialHandle is a 32-bit
// number, a HANDLE is pointer-sized: open ports live in a small table and
// the handle given out names the slot and the open of it (a generation), so
// a handle kept after its close never reaches the port opened next in the
// same slot. Trace sockets are kept in a table of their own.
//
// Waits and time: Windows' timer runs at 64 Hz unless a program asks for
// more, so Sleep(1), GetTickCount and the time limits of waits move in
// 15.6 ms steps. The millisecond tick therefore comes from the performance
// counter, and a wait for bytes sleeps in WaitForMultipleObjects on an
// EV_RXCHAR comm event (an arriving byte wakes it at once), the port's close
// event and a high-resolution waitable timer for its time limit. A driver
// whose comm event ends without an event (Wine on a pseudo-terminal) is
// looked at once per millisecond of that timer instead.
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
#include "platform/win32/win32_api.h"

namespace orv::platform {

namespace {

constexpr int32_t kMaxPorts = 64;
// A handle is slot + kMaxPorts * generation, generation 1 to kGenerations-1.
constexpr uint32_t kGenerations = 1u << 24;
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

// One open port: its handle, what a wait on it needs, and what lets a
// thread wait on it while another closes it (see serial_wait_readable).
struct PortState {
  HANDLE port = INVALID_HANDLE_VALUE;
  uint32_t generation = 0;  // bumped by every open of the slot
  HANDLE read_done = nullptr;
  HANDLE write_done = nullptr;
  HANDLE event_done = nullptr;  // the comm event of a wait
  HANDLE closing_event = nullptr;
  HANDLE timer = nullptr;       // the timer of the comm event's holder
  HANDLE read_timer = nullptr;  // a read's while another holds the comm event
  SerialTimeouts timeouts;
  uint32_t waiters = 0;
  bool comm_event_taken = false;
  bool closing = false;
  bool no_comm_events = false;  // the driver's comm events end at once
  // The EV_RXCHAR wait stays pending from one wait to the next (Wine cannot
  // cancel it on a serial device): the holder of the comm event owns these,
  // and the close ends the wait with the port.
  OVERLAPPED comm_wait{};
  DWORD comm_mask = 0;
  bool comm_pending = false;
};

// What one wait sleeps on: the port's comm event (null: looks every
// millisecond instead), its closing event and a timer.
struct WaitObjects {
  HANDLE port = INVALID_HANDLE_VALUE;
  PortState* state = nullptr;
  HANDLE comm_event = nullptr;
  HANDLE closing = nullptr;
  HANDLE timer = nullptr;
  bool holds_comm_event = false;
  bool comm_events_fail = false;  // found: the driver's comm events end at once
};

// How long a read waits for its first byte under the port's time limits
// (COMMTIMEOUTS): interval MAXDWORD alone means not at all, no limits at
// all means without end. The interval limit is not applied: a read returns
// what has arrived as soon as anything has.
uint32_t ReadWaitMs(const SerialTimeouts& t, uint32_t count) {
  if (t.read_total_multiplier == 0 && t.read_total_constant == 0) {
    return t.read_interval == MAXDWORD ? 0 : UINT32_MAX;
  }
  const uint64_t ms = uint64_t{t.read_total_constant} + uint64_t{t.read_total_multiplier} * count;
  return ms < UINT32_MAX ? static_cast<uint32_t>(ms) : UINT32_MAX - 1;
}

class Win32Platform final : public Platform {
 public:
  explicit Win32Platform(win32::Api& api) : api_(api) {
    sockets_.fill(INVALID_SOCKET);
    InitializeSRWLock(&table_);
    InitializeConditionVariable(&waiters_left_);
    frequency_ = static_cast<uint64_t>(api_.QueryPerformanceFrequency());
    if (frequency_ == 0) frequency_ = 1000;
  }

  // --- serial port -------------------------------------------------------
  OsError serial_open(const char* device_name, SerialHandle* handle) override {
    HANDLE port = api_.OpenPort(device_name);
    if (port == INVALID_HANDLE_VALUE) return ApiError();
    PortState fresh;
    fresh.port = port;
    fresh.read_done = api_.CreateEvent();
    fresh.write_done = api_.CreateEvent();
    fresh.event_done = api_.CreateEvent();
    fresh.closing_event = api_.CreateEvent();
    fresh.timer = api_.CreateTimer();
    fresh.read_timer = api_.CreateTimer();
    OsError e = kOk;
    if (fresh.read_done == nullptr || fresh.write_done == nullptr || fresh.event_done == nullptr ||
        fresh.closing_event == nullptr || fresh.timer == nullptr || fresh.read_timer == nullptr ||
        !api_.SetCommMask(port, EV_RXCHAR)) {
      e = ApiError();
    }
    AcquireSRWLockExclusive(&table_);
    PortState* slot = e == kOk ? FreeSlot() : nullptr;
    if (e == kOk && slot == nullptr) e = ERROR_TOO_MANY_OPEN_FILES;
    if (e == kOk) {
      fresh.generation = slot->generation % (kGenerations - 1) + 1;
      *slot = fresh;
      *handle = static_cast<SerialHandle>(static_cast<uint32_t>(slot - ports_.data()) +
                                          kMaxPorts * fresh.generation);
    }
    ReleaseSRWLockExclusive(&table_);
    if (e != kOk) Release(fresh);
    return e;
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

  // A thread waiting on the port (serial_wait_readable) is woken and has
  // left before the port is closed, so that it never waits on a handle
  // value the system may already have given to another object.
  OsError serial_close(SerialHandle handle) override {
    AcquireSRWLockExclusive(&table_);
    PortState* p = Slot(handle);
    if (p == nullptr || p->closing) {
      ReleaseSRWLockExclusive(&table_);
      return ERROR_INVALID_HANDLE;
    }
    p->closing = true;
    if (p->waiters != 0) api_.SetEvent(p->closing_event);
    while (p->waiters != 0) SleepConditionVariableSRW(&waiters_left_, &table_, INFINITE, 0);
    ReleaseSRWLockExclusive(&table_);
    // The slot stays taken (closing) until a pending comm event wait has
    // ended: its OVERLAPPED lives there.
    if (p->comm_pending) api_.CancelIoEx(p->port, &p->comm_wait);
    const OsError e = Release(*p);
    AcquireSRWLockExclusive(&table_);
    // The slot is free either way: a handle that fails to close is unusable.
    p->port = INVALID_HANDLE_VALUE;
    p->closing = false;
    p->comm_pending = false;
    ReleaseSRWLockExclusive(&table_);
    return e;
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
    if (!api_.SetCommTimeouts(port, &timeouts)) return ApiError();
    AcquireSRWLockExclusive(&table_);
    if (PortState* p = Slot(handle)) p->timeouts = t;
    ReleaseSRWLockExclusive(&table_);
    return kOk;
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
    if (!api_.ClearCommError(port, &errors, &status)) return ApiError();
    properties->current_rx_queue = status.cbInQue;
    properties->current_tx_queue = status.cbOutQue;
    return kOk;
  }

  // Waits for the first byte as serial_wait_readable does, at most the
  // read limit, then takes what has arrived. The driver's own time limits
  // are not relied on: they end on the coarse timer's steps, and Wine
  // leaves an overlapped read that got part of its bytes pending for good.
  OsError serial_read(SerialHandle handle, uint8_t* buffer, uint32_t count,
                      uint32_t* done) override {
    *done = 0;
    WaitObjects w;
    uint32_t wait_ms = 0;
    HANDLE read_done = nullptr;
    AcquireSRWLockExclusive(&table_);
    PortState* p = Slot(handle);
    if (p == nullptr || p->closing) {
      ReleaseSRWLockExclusive(&table_);
      return ERROR_INVALID_HANDLE;
    }
    wait_ms = ReadWaitMs(p->timeouts, count);
    read_done = p->read_done;
    Enter(*p, &w);
    ReleaseSRWLockExclusive(&table_);

    uint32_t queued = 0;
    OsError e = count == 0 ? kOk : WaitForBytes(w, wait_ms, &queued);
    if (e == kOk && queued != 0) {
      e = Transfer(w.port, read_done, done, [&](OVERLAPPED* o) {
        return api_.ReadFile(w.port, buffer, queued < count ? queued : count, o);
      });
    }
    Leave(*p, w);
    return e;
  }

  // Runs without the library's lock, so another thread may close the port
  // meanwhile: the close sets the port's closing event, which ends this
  // wait, and waits for it to leave. A port has one comm event: while
  // another thread waits on it, this one is told "readable" at once, the
  // seam's default, and then reads under the port's read limit.
  OsError serial_wait_readable(SerialHandle handle, uint32_t ms, bool* readable) override {
    *readable = false;
    WaitObjects w;
    AcquireSRWLockExclusive(&table_);
    PortState* p = Slot(handle);
    if (p == nullptr || p->closing) {
      ReleaseSRWLockExclusive(&table_);
      return ERROR_INVALID_HANDLE;
    }
    if (p->comm_event_taken) {
      ReleaseSRWLockExclusive(&table_);
      *readable = true;
      return kOk;
    }
    Enter(*p, &w);
    ReleaseSRWLockExclusive(&table_);

    uint32_t queued = 0;
    const OsError e = WaitForBytes(w, ms, &queued);
    *readable = e == kOk && queued != 0;
    Leave(*p, w);
    return e;
  }

  OsError serial_write(SerialHandle handle, const uint8_t* buffer, uint32_t count,
                       uint32_t* done) override {
    *done = 0;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    if (!Lookup(handle, &port, nullptr, &event)) return ERROR_INVALID_HANDLE;
    return Transfer(port, event, done,
                    [&](OVERLAPPED* o) { return api_.WriteFile(port, buffer, count, o); });
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
  // The performance counter in milliseconds, wrapping at 32 bits like
  // GetTickCount but moving every millisecond.
  uint32_t tick_ms() override { return static_cast<uint32_t>(MicrosecondsNow() / 1000u); }
  void sleep_ms(uint32_t ms) override { api_.Sleep(ms); }

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
  // What woke a wait (Pause).
  enum class Woke { kEvent, kClosing, kTimer, kFailed };

  // The timer backs its limit up with WaitForMultipleObjects' own, which
  // ends on the coarse timer's steps.
  static constexpr DWORD kBackupSlackMs = 20;
  // How often a port without working comm events is looked at.
  static constexpr uint64_t kLookIntervalUs = 1000;
  static constexpr DWORD kCommWaitEndMs = 1000;

  OsError ApiError() {
    const DWORD error = api_.GetLastError();
    return error != ERROR_SUCCESS ? static_cast<OsError>(error) : ERROR_GEN_FAILURE;
  }

  uint64_t MicrosecondsNow() {
    const auto counter = static_cast<uint64_t>(api_.QueryPerformanceCounter());
    return counter / frequency_ * 1000000u + counter % frequency_ * 1000000u / frequency_;
  }

  // The slot an open handle names, or null; the table lock is held.
  PortState* Slot(SerialHandle handle) {
    if (handle < 0) return nullptr;
    const auto slot = static_cast<uint32_t>(handle) % kMaxPorts;
    const auto generation = static_cast<uint32_t>(handle) / kMaxPorts;
    PortState& p = ports_[slot];
    return p.port != INVALID_HANDLE_VALUE && p.generation == generation ? &p : nullptr;
  }

  PortState* FreeSlot() {
    for (auto& p : ports_) {
      if (p.port == INVALID_HANDLE_VALUE) return &p;
    }
    return nullptr;
  }

  bool Lookup(SerialHandle handle, HANDLE* port, HANDLE* read_done, HANDLE* write_done) {
    AcquireSRWLockShared(&table_);
    const PortState* p = Slot(handle);
    if (p != nullptr && !p->closing) {
      *port = p->port;
      if (read_done != nullptr) *read_done = p->read_done;
      if (write_done != nullptr) *write_done = p->write_done;
    }
    ReleaseSRWLockShared(&table_);
    return *port != INVALID_HANDLE_VALUE;
  }

  HANDLE Port(SerialHandle handle) {
    HANDLE port = INVALID_HANDLE_VALUE;
    Lookup(handle, &port, nullptr, nullptr);
    return port;
  }

  // Closes the port, then its events; a comm event wait that is still
  // pending ends with the port (its event is left open if it does not
  // within kCommWaitEndMs, so that nothing else can get its handle value).
  OsError Release(PortState& p) {
    const OsError e = api_.ClosePort(p.port) ? kOk : ApiError();
    if (p.comm_pending &&
        api_.WaitForMultipleObjects(1, &p.event_done, kCommWaitEndMs) != WAIT_OBJECT_0) {
      p.event_done = nullptr;
    }
    for (HANDLE object :
         {p.read_done, p.write_done, p.event_done, p.closing_event, p.timer, p.read_timer}) {
      if (object != nullptr) api_.CloseHandle(object);
    }
    return e;
  }

  // One overlapped transfer, waited for to its end (the port's time limits
  // bound it).
  template <class Start>
  OsError Transfer(HANDLE port, HANDLE done_event, uint32_t* done, Start start) {
    OVERLAPPED o{};
    o.hEvent = done_event;
    if (!start(&o) && api_.GetLastError() != ERROR_IO_PENDING) return ApiError();
    DWORD moved = 0;
    if (!api_.GetOverlappedResult(port, &o, &moved, TRUE)) return ApiError();
    *done = moved;
    return kOk;
  }

  // Counts a wait on the port (a close waits for it to leave) and gives
  // it the port's comm event and timer, or, when another wait holds them,
  // the read timer and a look every millisecond. The table lock is held.
  static void Enter(PortState& p, WaitObjects* w) {
    ++p.waiters;
    w->port = p.port;
    w->state = &p;
    w->closing = p.closing_event;
    w->holds_comm_event = !p.comm_event_taken;
    if (w->holds_comm_event) {
      p.comm_event_taken = true;
      w->comm_event = p.no_comm_events ? nullptr : p.event_done;
      w->timer = p.timer;
    } else {
      w->timer = p.read_timer;
    }
  }

  void Leave(PortState& p, const WaitObjects& w) {
    AcquireSRWLockExclusive(&table_);
    if (w.holds_comm_event) p.comm_event_taken = false;
    if (w.comm_events_fail) p.no_comm_events = true;
    if (--p.waiters == 0) WakeAllConditionVariable(&waiters_left_);
    ReleaseSRWLockExclusive(&table_);
  }

  OsError LookAtQueue(HANDLE port, uint32_t* queued) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!api_.ClearCommError(port, &errors, &status)) return ApiError();
    *queued = status.cbInQue;
    return kOk;
  }

  // Sleeps until `event` (may be null) is set, the port closes or `us`
  // microseconds have passed.
  Woke Pause(const WaitObjects& w, HANDLE event, uint64_t us) {
    if (!api_.SetTimer(w.timer, us)) return Woke::kFailed;
    HANDLE objects[3];
    DWORD count = 0;
    if (event != nullptr) objects[count++] = event;
    objects[count++] = w.closing;
    objects[count++] = w.timer;
    const uint64_t backup_ms = us / 1000u + kBackupSlackMs;
    const DWORD r = api_.WaitForMultipleObjects(
        count, objects, static_cast<DWORD>(backup_ms < INFINITE ? backup_ms : INFINITE - 1));
    if (r == WAIT_TIMEOUT) return Woke::kTimer;
    if (r >= WAIT_OBJECT_0 + count) return Woke::kFailed;
    const HANDLE woke = objects[r - WAIT_OBJECT_0];
    return woke == event ? Woke::kEvent : woke == w.closing ? Woke::kClosing : Woke::kTimer;
  }

  // Looks at the input queue, then sleeps on an EV_RXCHAR comm event until
  // a byte comes, `ms` have passed or the port closes; *queued is the count
  // of bytes waiting at the end. The comm event wait is left pending when
  // the time is up, for the next wait to sleep on. One that ends without
  // EV_RXCHAR (the driver cannot wait for one) turns the port over to a
  // look every millisecond.
  OsError WaitForBytes(WaitObjects& w, uint32_t ms, uint32_t* queued) {
    const uint64_t deadline = MicrosecondsNow() + uint64_t{ms} * 1000u;
    for (;;) {
      if (OsError e = LookAtQueue(w.port, queued); e != kOk || *queued != 0) return e;
      const uint64_t now = MicrosecondsNow();
      if (now >= deadline) return kOk;
      const uint64_t left = deadline - now;
      if (w.comm_event == nullptr) {
        const Woke woke = Pause(w, nullptr, left < kLookIntervalUs ? left : kLookIntervalUs);
        if (woke == Woke::kClosing) return ERROR_INVALID_HANDLE;
        if (woke == Woke::kFailed) return ApiError();
        continue;
      }
      PortState& p = *w.state;
      if (!p.comm_pending) {
        if (!api_.ResetEvent(w.comm_event)) return ApiError();
        p.comm_wait = OVERLAPPED{};
        p.comm_wait.hEvent = w.comm_event;
        p.comm_mask = 0;
        const bool at_once = api_.WaitCommEvent(w.port, &p.comm_mask, &p.comm_wait);
        if (at_once || api_.GetLastError() != ERROR_IO_PENDING) {
          if (!at_once || (p.comm_mask & EV_RXCHAR) == 0) NoCommEvents(w);
          continue;
        }
        p.comm_pending = true;
        // A byte that came between the look and the wait's start raises
        // no event: look once more before sleeping.
        if (OsError e = LookAtQueue(w.port, queued); e != kOk || *queued != 0) return e;
      }
      const Woke woke = Pause(w, w.comm_event, left);
      if (woke == Woke::kClosing) return ERROR_INVALID_HANDLE;
      if (woke == Woke::kFailed) return ApiError();
      if (woke == Woke::kEvent) {
        DWORD unused = 0;
        p.comm_pending = false;
        if (!api_.GetOverlappedResult(w.port, &p.comm_wait, &unused, FALSE) ||
            (p.comm_mask & EV_RXCHAR) == 0) {
          NoCommEvents(w);
        }
      }
    }
  }

  static void NoCommEvents(WaitObjects& w) {
    w.comm_event = nullptr;
    w.comm_events_fail = true;
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

  win32::Api& api_;
  uint64_t frequency_ = 1000;
  SRWLOCK table_;
  CONDITION_VARIABLE waiters_left_;
  std::array<PortState, kMaxPorts> ports_{};
  std::array<SOCKET, kMaxSockets> sockets_;
};

}  // namespace

namespace win32 {

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

class Real final : public Api {
 public:
  HANDLE OpenPort(const char* device_name) override {
    return ::CreateFileA(device_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  }
  BOOL ClosePort(HANDLE port) override { return ::CloseHandle(port); }
  BOOL SetCommMask(HANDLE port, DWORD mask) override { return ::SetCommMask(port, mask); }
  BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) override {
    return ::SetCommTimeouts(port, timeouts);
  }
  BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) override {
    return ::ClearCommError(port, errors, status);
  }
  BOOL WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) override {
    return ::WaitCommEvent(port, mask, overlapped);
  }
  BOOL ReadFile(HANDLE port, void* buffer, DWORD count, OVERLAPPED* overlapped) override {
    return ::ReadFile(port, buffer, count, nullptr, overlapped);
  }
  BOOL WriteFile(HANDLE port, const void* buffer, DWORD count, OVERLAPPED* overlapped) override {
    return ::WriteFile(port, buffer, count, nullptr, overlapped);
  }
  BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* done, BOOL wait) override {
    return ::GetOverlappedResult(port, overlapped, done, wait);
  }
  BOOL CancelIoEx(HANDLE port, OVERLAPPED* overlapped) override {
    return ::CancelIoEx(port, overlapped);
  }
  DWORD GetLastError() override { return ::GetLastError(); }
  HANDLE CreateEvent() override { return ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  BOOL SetEvent(HANDLE event) override { return ::SetEvent(event); }
  BOOL ResetEvent(HANDLE event) override { return ::ResetEvent(event); }
  // High resolution where Windows has it (10, version 1803 on); an
  // ordinary timer, which ends on the coarse timer's steps, elsewhere.
  HANDLE CreateTimer() override {
    constexpr DWORD kManual = CREATE_WAITABLE_TIMER_MANUAL_RESET;
    HANDLE timer = ::CreateWaitableTimerExW(
        nullptr, nullptr, kManual | CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr)
      timer = ::CreateWaitableTimerExW(nullptr, nullptr, kManual, TIMER_ALL_ACCESS);
    return timer;
  }
  BOOL SetTimer(HANDLE timer, uint64_t due_us) override {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(due_us * 10u);  // relative, in 100 ns
    return ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
  }
  BOOL CloseHandle(HANDLE object) override { return ::CloseHandle(object); }
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, DWORD ms) override {
    return ::WaitForMultipleObjects(count, objects, FALSE, ms);
  }
  int64_t QueryPerformanceCounter() override {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return counter.QuadPart;
  }
  int64_t QueryPerformanceFrequency() override {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }
  DWORD GetTickCount() override { return ::GetTickCount(); }
  void Sleep(DWORD ms) override { ::Sleep(ms); }
};

}  // namespace

Api& RealApi() {
  static Real api;
  return api;
}

std::unique_ptr<Platform> MakePlatform(Api& api) {
  return std::make_unique<Win32Platform>(api);
}

}  // namespace win32

Platform& native() {
  static Win32Platform instance(win32::RealApi());
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
