// Shared pieces of the benchmarks.
//
// In-process: ReplayPlatform, the emulated platform with a replay mode in
// which every read hands out prepared adapter bytes (memcpy, nothing else)
// and every write is only counted, so that a benchmark times the library's
// own work and not the emulator's.
//
// Over a pseudo-terminal: SimProgram runs orvanta-adapter-sim with a fresh
// link directory (exported as ORVANTA_COM_DIR while it lives, with
// ORVANTA_REGISTRY pointing at an empty registry) and stops it again;
// RawPort opens the adapter's pseudo-terminal directly, as a program that
// bypasses the library would. POSIX only: benchmarks stand outside the
// library.
//
// Failure reporting: the benchmarks call state.SkipWithError() when a
// helper reports false.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/emulated_platform.h"
#include "orvanta_j2534.h"
#include "tests/support/messages.h"
#include "tests/support/world.h"

namespace orv::bench {

class ReplayPlatform : public emu::EmulatedPlatform {
 public:
  // From now on reads hand out `bytes` from the start (then nothing), and
  // writes are counted and dropped.
  void StartReplay(std::span<const uint8_t> bytes);
  void Rewind() { position_ = 0; }
  void StopReplay() { replaying_ = false; }
  uint64_t written() const { return written_; }
  // While `into` is set, replayed writes are also appended to it.
  void CaptureWrites(std::vector<uint8_t>* into) { capture_ = into; }

  platform::OsError serial_read(platform::SerialHandle handle, uint8_t* buffer, uint32_t count,
                                uint32_t* done) override;
  platform::OsError serial_write(platform::SerialHandle handle, const uint8_t* buffer,
                                 uint32_t count, uint32_t* done) override;
  platform::OsError serial_wait_readable(platform::SerialHandle handle, uint32_t ms,
                                         bool* readable) override;

 private:
  bool replaying_ = false;
  std::vector<uint8_t> replay_;
  size_t position_ = 0;
  uint64_t written_ = 0;
  std::vector<uint8_t>* capture_ = nullptr;
};

// The tests' world (tests/support/world.h) on a ReplayPlatform, link open.
class InProcessWorld : public test::BasicWorld<ReplayPlatform> {
 public:
  InProcessWorld() : ok_(OpenLink() == STATUS_NOERROR) {}
  ~InProcessWorld() { platform.StopReplay(); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

using test::MakeMsg;
// The wire bytes of one received bus frame (op 2) from `dev`.
std::vector<uint8_t> BusFrameWire(uint8_t dev, std::vector<uint8_t> data);

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point start);

// orvanta-adapter-sim on a pseudo-terminal as COM7.
class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> args = {});
  ~SimProgram();
  SimProgram(const SimProgram&) = delete;
  SimProgram& operator=(const SimProgram&) = delete;

  bool started() const { return pid_ > 0; }
  const std::string& dir() const { return dir_; }
  std::string com_dir() const { return dir_ + "/com"; }
  std::string link() const { return com_dir() + "/com7"; }
  void Stop();

 private:
  pid_t pid_ = -1;
  std::string dir_;
};

// The adapter's pseudo-terminal opened raw, without the library.
class RawPort {
 public:
  explicit RawPort(const std::string& path);
  ~RawPort();
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Writes all of `bytes` (blocking); false on an error.
  bool WriteAll(std::span<const uint8_t> bytes);

 private:
  int fd_ = -1;
};

}  // namespace orv::bench
