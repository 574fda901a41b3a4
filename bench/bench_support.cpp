// Benchmark helpers: see bench_support.h.
#include "bench/bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/jmsg.h"
#include "platform/platform.h"

namespace orv::bench {

// --- in-process ----------------------------------------------------------------

void ReplayPlatform::StartReplay(std::span<const uint8_t> bytes) {
  replay_.assign(bytes.begin(), bytes.end());
  position_ = 0;
  replaying_ = true;
}

platform::OsError ReplayPlatform::serial_read(platform::SerialHandle handle, uint8_t* buffer,
                                              uint32_t count, uint32_t* done) {
  if (!replaying_) return EmulatedPlatform::serial_read(handle, buffer, count, done);
  const size_t n = std::min<size_t>(count, replay_.size() - position_);
  std::memcpy(buffer, replay_.data() + position_, n);
  position_ += n;
  *done = static_cast<uint32_t>(n);
  if (n == 0) advance_ms(1);  // an empty read waits out the read limit
  return platform::kOk;
}

// Readable while replayed bytes are left; otherwise the wait takes its time
// on the virtual clock, as an empty read does.
platform::OsError ReplayPlatform::serial_wait_readable(platform::SerialHandle handle, uint32_t ms,
                                                       bool* readable) {
  if (!replaying_) return EmulatedPlatform::serial_wait_readable(handle, ms, readable);
  *readable = position_ < replay_.size();
  if (!*readable) advance_ms(ms);
  return platform::kOk;
}

platform::OsError ReplayPlatform::serial_write(platform::SerialHandle handle, const uint8_t* buffer,
                                               uint32_t count, uint32_t* done) {
  if (!replaying_) return EmulatedPlatform::serial_write(handle, buffer, count, done);
  written_ += count;
  if (capture_ != nullptr) capture_->insert(capture_->end(), buffer, buffer + count);
  *done = count;
  return platform::kOk;
}

std::vector<uint8_t> BusFrameWire(uint8_t dev, std::vector<uint8_t> data) {
  return emu::to_wire(emu::Frame::make(dev, 2, 0, 0, data));
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// --- over a pseudo-terminal ---------------------------------------------------------

SimProgram::SimProgram(std::vector<std::string> args) {
  char pattern[] = "/tmp/orv-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  dir_ = pattern;
  std::ofstream(dir_ + "/registry.ini") << "";
  setenv("ORVANTA_COM_DIR", com_dir().c_str(), 1);
  setenv("ORVANTA_REGISTRY", (dir_ + "/registry.ini").c_str(), 1);

  std::vector<std::string> argv_text = {ORV_SIM_PATH, "--com-dir",    com_dir(),      "--port",
                                        "7",          "--ready-file", dir_ + "/ready"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string log = dir_ + "/sim.log";

  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) dup2(fd, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return;
  pid_ = pid;
  for (int i = 0; i < 500; ++i) {
    if (std::filesystem::exists(dir_ + "/ready")) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
}

void SimProgram::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

SimProgram::~SimProgram() {
  Stop();
  unsetenv("ORVANTA_COM_DIR");
  unsetenv("ORVANTA_REGISTRY");
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

RawPort::RawPort(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return;
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd_, TCSANOW, &tio);
}

RawPort::~RawPort() {
  if (fd_ >= 0) close(fd_);
}

bool RawPort::WriteAll(std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace orv::bench
