// The Win32 backend's port waits and clock on a machine as Windows runs by
// default: a 64 Hz timer (Sleep(1) takes 15.6 ms, GetTickCount moves in
// 15.6 ms steps, WaitForMultipleObjects' limit ends on such a step), a
// fine performance counter and a high-resolution waitable timer. The port
// receives bytes at chosen moments of the fake's clock; events, the close
// included, are real Win32 events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_api.h"

namespace orv::platform {
namespace {

constexpr uint64_t kTimerStepUs = 15625;  // 64 Hz
const HANDLE kPort = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4000));

class CoarseWindows final : public win32::Api {
 public:
  uint64_t now_us = 5'000'000;
  std::vector<uint64_t> arrivals;  // when each byte comes, in order (Arrive)
  bool comm_events_work = true;    // false: a comm event ends at once, aborted (Wine, a pty)
  DWORD real_pause_ms = 0;         // real time each fake wait step takes (other threads)
  bool used_after_close = false;   // a port call came after the port's close

  HANDLE OpenPort(const char*) override {
    closed_ = false;
    return kPort;
  }
  BOOL ClosePort(HANDLE port) override {
    closed_ = true;
    return port == kPort;
  }
  BOOL SetCommMask(HANDLE, DWORD) override { return TRUE; }
  BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS*) override { return TRUE; }
  BOOL ClearCommError(HANDLE, DWORD* errors, COMSTAT* status) override {
    used_after_close |= closed_;
    *errors = 0;
    *status = COMSTAT{};
    for (uint64_t at : arrivals) status->cbInQue += at <= now_us ? 1 : 0;
    status->cbInQue -= consumed_;
    return TRUE;
  }
  BOOL WaitCommEvent(HANDLE, DWORD* mask, OVERLAPPED* o) override {
    used_after_close |= closed_;
    *mask = 0;
    event_ = o;
    event_mask_ = mask;
    event_since_ = now_us;
    event_result_ = ERROR_IO_PENDING;
    if (!comm_events_work) End(ERROR_OPERATION_ABORTED);
    last_error_ = ERROR_IO_PENDING;
    return FALSE;
  }
  // Takes what has arrived, at once (the backend reads only that much).
  BOOL ReadFile(HANDLE port, void* buffer, DWORD count, OVERLAPPED*) override {
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(port, &errors, &status);
    read_ = std::min(count, status.cbInQue);
    std::memset(buffer, 0x55, read_);
    consumed_ += read_;
    return TRUE;
  }
  BOOL WriteFile(HANDLE, const void*, DWORD, OVERLAPPED*) override {
    return Fail(ERROR_NOT_SUPPORTED);
  }
  BOOL GetOverlappedResult(HANDLE, OVERLAPPED* o, DWORD* done, BOOL) override {
    used_after_close |= closed_;
    *done = o != event_ ? read_ : 0;
    if (o != event_) return TRUE;
    if (event_result_ == ERROR_IO_PENDING) return Fail(ERROR_IO_INCOMPLETE);  // never waited here
    event_ = nullptr;
    return event_result_ == ERROR_SUCCESS ? TRUE : Fail(event_result_);
  }
  BOOL CancelIoEx(HANDLE, OVERLAPPED* o) override {
    used_after_close |= closed_;
    if (o != event_ || event_result_ != ERROR_IO_PENDING) return Fail(ERROR_NOT_FOUND);
    End(ERROR_OPERATION_ABORTED);
    return TRUE;
  }
  DWORD GetLastError() override { return last_error_; }
  void Arrive(std::vector<uint64_t> at) {
    arrivals = std::move(at);
    consumed_ = 0;
  }

  HANDLE CreateEvent() override { return ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  BOOL SetEvent(HANDLE event) override { return ::SetEvent(event); }
  BOOL ResetEvent(HANDLE event) override { return ::ResetEvent(event); }
  HANDLE CreateTimer() override { return CreateEvent(); }
  BOOL SetTimer(HANDLE timer, uint64_t due_us) override {
    timer_ = timer;  // the one a wait is about to sleep on
    timer_due_ = now_us + due_us;
    return ::ResetEvent(timer);
  }
  BOOL CloseHandle(HANDLE object) override { return ::CloseHandle(object); }

  // Moves the clock to the next moment something happens: a byte for a
  // pending comm event, the timer, or the end of the limit on the coarse
  // timer's step.
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, DWORD ms) override {
    const uint64_t limit = StepAtOrAfter(now_us + uint64_t{ms} * 1000u);
    for (;;) {
      const DWORD r = ::WaitForMultipleObjects(count, objects, FALSE, real_pause_ms);
      if (r != WAIT_TIMEOUT) return r;
      uint64_t next = limit;
      if (timer_due_ > now_us && timer_due_ < next) next = timer_due_;
      for (uint64_t at : arrivals) {
        if (event_result_ == ERROR_IO_PENDING && at > event_since_ && at > now_us && at < next) {
          next = at;
        }
      }
      if (real_pause_ms != 0) next = std::min(next, now_us + kTimerStepUs);
      now_us = std::max(now_us, next);
      if (timer_due_ != 0 && timer_due_ <= now_us) ::SetEvent(timer_);
      for (uint64_t at : arrivals) {
        if (event_result_ == ERROR_IO_PENDING && at > event_since_ && at <= now_us) {
          *event_mask_ = EV_RXCHAR;
          End(ERROR_SUCCESS);
        }
      }
      if (now_us >= limit && ::WaitForMultipleObjects(count, objects, FALSE, 0) == WAIT_TIMEOUT) {
        return WAIT_TIMEOUT;
      }
    }
  }

  int64_t QueryPerformanceCounter() override { return static_cast<int64_t>(now_us * 10u); }
  int64_t QueryPerformanceFrequency() override { return 10'000'000; }
  DWORD GetTickCount() override {
    return static_cast<DWORD>(now_us / kTimerStepUs * kTimerStepUs / 1000u);
  }
  void Sleep(DWORD ms) override {
    now_us = ms == 0 ? now_us + 1 : StepAtOrAfter(now_us + ms * 1000u);
  }

 private:
  static uint64_t StepAtOrAfter(uint64_t us) {
    return (us + kTimerStepUs - 1) / kTimerStepUs * kTimerStepUs;
  }
  BOOL Fail(DWORD error) {
    last_error_ = error;
    return FALSE;
  }
  void End(DWORD result) {
    event_result_ = result;
    ::SetEvent(event_->hEvent);
  }

  bool closed_ = false;
  DWORD consumed_ = 0;
  DWORD read_ = 0;
  DWORD last_error_ = 0;
  OVERLAPPED* event_ = nullptr;
  DWORD* event_mask_ = nullptr;
  uint64_t event_since_ = 0;
  DWORD event_result_ = ERROR_SUCCESS;
  HANDLE timer_ = nullptr;
  uint64_t timer_due_ = 0;
};

class CoarseTimer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(os->serial_open("\\\\.\\COM7", &port), kOk); }
  void TearDown() override {
    if (port != kInvalidHandle) os->serial_close(port);
  }

  // Waits up to `ms` for bytes through serial_wait_readable, or through a
  // one-byte read with that read limit; true when a byte came.
  bool WaitVia(bool read, uint32_t ms) {
    bool readable = false;
    if (!read) {
      EXPECT_EQ(os->serial_wait_readable(port, ms, &readable), kOk);
      return readable;
    }
    SerialTimeouts limits;
    limits.read_total_constant = ms;
    limits.read_interval = ms == 0 ? MAXDWORD : 0;
    EXPECT_EQ(os->serial_set_timeouts(port, limits), kOk);
    uint8_t byte = 0;
    uint32_t done = 0;
    EXPECT_EQ(os->serial_read(port, &byte, 1, &done), kOk);
    return done == 1 && byte == 0x55;
  }

  CoarseWindows fake;
  std::unique_ptr<Platform> os = win32::MakePlatform(fake);
  SerialHandle port = kInvalidHandle;
};

TEST_F(CoarseTimer, TheTickMovesEveryMillisecondAndWrapsAt32Bits) {
  for (const uint64_t us :
       {5'000'000ull, 5'000'999ull, 5'001'000ull, 5'015'700ull, (1ull << 32) * 1000u + 3'000u}) {
    fake.now_us = us;
    EXPECT_EQ(os->tick_ms(), static_cast<uint32_t>(us / 1000u)) << us;
  }
}

// What a Timeout 0 read and every other limit rests on: an empty port's
// wait, or read, ends at its limit, not on the next 15.6 ms step, and the
// tick has moved by as much.
TEST_F(CoarseTimer, AnEmptyPortsWaitLastsItsLimit) {
  for (const bool read : {false, true}) {
    for (const uint32_t ms : {0u, 1u, 2u, 20u, 100u}) {
      SCOPED_TRACE(testing::Message() << (read ? "read" : "wait") << " of " << ms << " ms");
      const uint64_t start = fake.now_us;
      const uint32_t tick = os->tick_ms();
      EXPECT_FALSE(WaitVia(read, ms));
      EXPECT_GE(fake.now_us - start, ms * 1000u);
      EXPECT_LE(fake.now_us - start, ms * 1000u + 1000u);
      EXPECT_GE(os->tick_ms() - tick, ms);
    }
  }
}

// A waiting thread (or read) wakes within 2 ms of its byte: at once where the
// driver's comm events work, within the 1 ms look otherwise.
TEST_F(CoarseTimer, AByteWakesTheWaiterWithin2Ms) {
  for (const bool comm_events : {true, false}) {
    for (const bool read : {false, true}) {
      for (const uint64_t after_us : {0ull, 300ull, 7'900ull, 50'300ull, 999'000ull}) {
        SCOPED_TRACE(testing::Message()
                     << "comm events " << comm_events << ", " << (read ? "read" : "wait")
                     << ", byte after " << after_us << " us");
        fake.comm_events_work = comm_events;
        const uint64_t start = fake.now_us;
        fake.Arrive({start + after_us});
        EXPECT_TRUE(WaitVia(read, 1000));
        EXPECT_GE(fake.now_us, start + after_us);
        EXPECT_LE(fake.now_us - start - after_us, 2000u);
        fake.now_us += 1000;
      }
    }
    // A new port finds out afresh whether its comm events work.
    os->serial_close(port);
    ASSERT_EQ(os->serial_open("\\\\.\\COM7", &port), kOk);
  }
}

DWORD WINAPI WaitLong(void* argument) {
  auto* call = static_cast<std::pair<Platform*, SerialHandle>*>(argument);
  bool readable = false;
  return static_cast<DWORD>(call->first->serial_wait_readable(call->second, 600'000, &readable));
}

// The close ends a wait that another thread has on the port and returns
// once that thread has left; the closed handle then never reaches the port
// opened next in the same slot.
TEST_F(CoarseTimer, CloseEndsAWaitAndTheOldHandleStaysClosed) {
  fake.real_pause_ms = 1;
  std::pair<Platform*, SerialHandle> call{os.get(), port};
  HANDLE waiter = CreateThread(nullptr, 0, WaitLong, &call, 0, nullptr);
  ASSERT_NE(waiter, nullptr);
  ::Sleep(50);
  EXPECT_EQ(WaitForSingleObject(waiter, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // still waiting
  EXPECT_EQ(os->serial_close(port), kOk);
  EXPECT_FALSE(fake.used_after_close);  // the waiter had left before the port closed
  EXPECT_EQ(WaitForSingleObject(waiter, 5000), WAIT_OBJECT_0);
  DWORD result = 0;
  GetExitCodeThread(waiter, &result);
  CloseHandle(waiter);
  EXPECT_EQ(result, static_cast<DWORD>(ERROR_INVALID_HANDLE));

  const SerialHandle old = port;
  ASSERT_EQ(os->serial_open("\\\\.\\COM7", &port), kOk);
  EXPECT_NE(port, old);
  bool readable = true;
  EXPECT_EQ(os->serial_wait_readable(old, 1, &readable), ERROR_INVALID_HANDLE);
  EXPECT_EQ(os->serial_close(old), ERROR_INVALID_HANDLE);
  EXPECT_EQ(os->serial_wait_readable(port, 1, &readable), kOk);
}

}  // namespace
}  // namespace orv::platform
