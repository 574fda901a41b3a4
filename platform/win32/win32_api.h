// The Win32 calls behind the serial port's waits and the clock of the Win32
// backend, in one table: the backend makes these calls only through it, so
// that a test can stand in for them with a machine whose timer runs at
// Windows' default 64 Hz (Sleep(1) takes 15.6 ms, GetTickCount moves in
// 15.6 ms steps, wait time limits end on those steps) and whose port
// receives bytes at chosen moments.
//
// The other port calls (line settings, queues, purge, break) work on the
// HANDLE that OpenPort gave and stay direct calls.
#pragma once

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>

#include "platform/platform.h"

namespace orv::platform::win32 {

class Api {
 public:
  virtual ~Api() = default;

  // CreateFileA of a COM device for overlapped transfers, exclusive.
  virtual HANDLE OpenPort(const char* device_name) = 0;
  virtual BOOL ClosePort(HANDLE port) = 0;
  virtual BOOL SetCommMask(HANDLE port, DWORD mask) = 0;
  virtual BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) = 0;
  virtual BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) = 0;
  virtual BOOL WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped) = 0;
  virtual BOOL ReadFile(HANDLE port, void* buffer, DWORD count, OVERLAPPED* overlapped) = 0;
  virtual BOOL WriteFile(HANDLE port, const void* buffer, DWORD count, OVERLAPPED* overlapped) = 0;
  virtual BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* done, BOOL wait) = 0;
  virtual BOOL CancelIoEx(HANDLE port, OVERLAPPED* overlapped) = 0;
  virtual DWORD GetLastError() = 0;

  // Manual-reset events and a timer that fires `due_us` microseconds from
  // now (a high-resolution waitable timer where Windows has one).
  virtual HANDLE CreateEvent() = 0;
  virtual BOOL SetEvent(HANDLE event) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual HANDLE CreateTimer() = 0;
  virtual BOOL SetTimer(HANDLE timer, uint64_t due_us) = 0;
  virtual BOOL CloseHandle(HANDLE object) = 0;
  virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, DWORD ms) = 0;

  virtual int64_t QueryPerformanceCounter() = 0;
  virtual int64_t QueryPerformanceFrequency() = 0;
  virtual DWORD GetTickCount() = 0;
  virtual void Sleep(DWORD ms) = 0;
};

// The real calls.
Api& RealApi();

// A Win32 backend over `api` (which must outlive it); native() is the one
// over RealApi().
std::unique_ptr<Platform> MakePlatform(Api& api);

}  // namespace orv::platform::win32
