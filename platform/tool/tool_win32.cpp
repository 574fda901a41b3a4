// Win32 backend of the tools' services: _isatty, the console mode and
// control handler, Winsock.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
// winsock2.h comes first: it must precede windows.h.
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/tool/tool_platform.h"

namespace orv::platform::tool {

namespace {

volatile LONG g_interrupted = 0;

// The console input mode to put back if Ctrl-C ends the program while the
// echo is off.
HANDLE g_console_input = INVALID_HANDLE_VALUE;
DWORD g_saved_mode = 0;
volatile LONG g_echo_off = 0;

BOOL WINAPI RestoreConsoleOnControl(DWORD) {
  if (g_echo_off != 0) SetConsoleMode(g_console_input, g_saved_mode);
  return FALSE;  // the handlers after this one, at last the default, go on
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // The first press asks to stop; the second takes the default way out.
  return InterlockedExchange(&g_interrupted, 1) == 0 ? TRUE : FALSE;
}

SOCKET Handle(NetSocket socket) {
  return static_cast<SOCKET>(socket);
}

OsError WsaError() {
  const int e = WSAGetLastError();
  return e != 0 ? e : WSAEFAULT;
}

OsError StartWinsock() {
  static bool started = false;
  if (started) return kOk;
  WSADATA data{};
  if (const int e = WSAStartup(MAKEWORD(2, 2), &data)) return e;
  started = true;
  return kOk;
}

OsError OwnHostAddress(sockaddr_in* address) {
  char host[241] = {};
  if (gethostname(host, static_cast<int>(sizeof host - 1)) != 0) return WsaError();
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr) return WsaError();
  if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr) ||
      entry->h_addr_list[0] == nullptr) {
    return WSAHOST_NOT_FOUND;
  }
  address->sin_family = AF_INET;
  std::memcpy(&address->sin_addr, entry->h_addr_list[0], sizeof(in_addr));
  return kOk;
}

}  // namespace

bool IsTerminal(Stream stream) {
  std::FILE* file = stream == Stream::kInput ? stdin : stream == Stream::kOutput ? stdout : stderr;
  return _isatty(_fileno(file)) != 0;
}

bool ReadWithoutEcho(const char* prompt, const std::function<bool()>& read) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  if (input == INVALID_HANDLE_VALUE || GetConsoleMode(input, &saved) == 0) return false;
  g_console_input = input;
  g_saved_mode = saved;
  SetConsoleCtrlHandler(RestoreConsoleOnControl, TRUE);
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  InterlockedExchange(&g_echo_off, 1);
  SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  const bool done = read();
  SetConsoleMode(input, saved);
  InterlockedExchange(&g_echo_off, 0);
  SetConsoleCtrlHandler(RestoreConsoleOnControl, FALSE);
  std::fputs("\n", stderr);  // the line end the console did not echo
  return done;
}

void CatchInterrupt() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool Interrupted() {
  return g_interrupted != 0;
}

OsError Listen(uint16_t port, NetSocket* listener, char (&address_text)[kAddressTextSize]) {
  if (OsError e = StartWinsock()) return e;
  sockaddr_in address{};
  if (OsError e = OwnHostAddress(&address)) return e;
  address.sin_port = htons(port);
  const unsigned char* a = reinterpret_cast<const unsigned char*>(&address.sin_addr);
  std::snprintf(address_text, kAddressTextSize, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return WsaError();
  // Exclusive use: no other program may take over the port while we listen.
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 8) != 0) {
    const OsError e = WsaError();
    closesocket(s);
    return e;
  }
  *listener = static_cast<NetSocket>(s);
  return kOk;
}

OsError WaitReadable(const NetSocket* sockets, size_t count, uint32_t timeout_ms, bool* ready) {
  fd_set readable;
  FD_ZERO(&readable);
  for (size_t i = 0; i < count && i < FD_SETSIZE; ++i) FD_SET(Handle(sockets[i]), &readable);
  timeval limit{static_cast<long>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000};
  const int n = select(0, &readable, nullptr, nullptr, &limit);
  for (size_t i = 0; i < count; ++i) ready[i] = n > 0 && FD_ISSET(Handle(sockets[i]), &readable);
  return n == SOCKET_ERROR ? WsaError() : kOk;
}

// Windows does not tell the peer's user here: only its address.
OsError Accept(NetSocket listener, NetSocket* connection, Peer* peer) {
  sockaddr_in from{};
  int from_size = sizeof from;
  const SOCKET s = accept(Handle(listener), reinterpret_cast<sockaddr*>(&from), &from_size);
  if (s == INVALID_SOCKET) return WsaError();
  *peer = Peer{};
  if (from.sin_family == AF_INET) std::memcpy(peer->address, &from.sin_addr, 4);
  *connection = static_cast<NetSocket>(s);
  return kOk;
}

OsError Receive(NetSocket connection, char* buffer, uint32_t capacity, uint32_t* received) {
  const int n = recv(Handle(connection), buffer, static_cast<int>(capacity), 0);
  if (n == SOCKET_ERROR) return WsaError();
  *received = static_cast<uint32_t>(n);
  return kOk;
}

void CloseSocket(NetSocket socket) {
  if (socket != kNoSocket) closesocket(Handle(socket));
}

OsError OpenOutputFile(const char* path, std::FILE** file, bool binary) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return static_cast<OsError>(GetLastError());
  BY_HANDLE_FILE_INFORMATION info{};
  OsError result = kOk;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1) {
    result = kErrorNotOwnFile;
  } else if (!SetEndOfFile(handle)) {  // the position is 0 after the open
    result = static_cast<OsError>(GetLastError());
  }
  const int fd = result == kOk ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0) : -1;
  if (fd < 0) {
    CloseHandle(handle);
    return result != kOk ? result : static_cast<OsError>(ERROR_GEN_FAILURE);
  }
  *file = _fdopen(fd, binary ? "wb" : "w");
  if (*file == nullptr) {
    _close(fd);  // closes the handle too
    return static_cast<OsError>(ERROR_GEN_FAILURE);
  }
  return kOk;
}

OsError OpenCapturePipe(const char* path, std::FILE** file) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return static_cast<OsError>(GetLastError());
  if (GetFileType(handle) != FILE_TYPE_PIPE) {
    CloseHandle(handle);
    return kErrorNotOwnFile;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
  if (fd < 0) {
    CloseHandle(handle);
    return static_cast<OsError>(ERROR_GEN_FAILURE);
  }
  *file = _fdopen(fd, "wb");
  if (*file == nullptr) {
    _close(fd);
    return static_cast<OsError>(ERROR_GEN_FAILURE);
  }
  return kOk;
}

}  // namespace orv::platform::tool
