// See sim_process.h. Uses real time: only end-to-end tests use this.
#if !defined(_WIN32)
#include "tests/support/sim_process.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "platform/platform.h"

#ifndef ORV_SIM_PATH
#error "ORV_SIM_PATH must name the orvanta-adapter-sim program"
#endif

namespace orv::test {

ChildProcess::ChildProcess(const std::string& program, std::vector<std::string> args,
                           std::string dir, const std::string& input, const std::string& cwd)
    : dir_(std::move(dir)) {
  const std::string in = dir_ + "/stdin", out = dir_ + "/stdout", err = dir_ + "/stderr";
  std::ofstream(in, std::ios::binary) << input;
  // Everything the child needs is built before the fork: it only execs.
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ != 0) return;
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(120);
  const int fds[3] = {open(in.c_str(), O_RDONLY),
                      open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                      open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
  for (int i = 0; i < 3; ++i) dup2(fds[i], i);
  execv(argv[0], argv.data());
  _exit(127);
}

ChildProcess::~ChildProcess() {
  Interrupt();
}

int ChildProcess::Interrupt() {
  if (pid_ > 0) kill(pid_, SIGINT);
  return Wait();
}

int ChildProcess::Wait() {
  int status = 0;
  const bool exited = pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status);
  pid_ = -1;
  return exited ? WEXITSTATUS(status) : -1;
}

std::string ChildProcess::Out() const {
  return ReadFileText(dir_ + "/stdout");
}
std::string ChildProcess::Err() const {
  return ReadFileText(dir_ + "/stderr");
}

bool ChildProcess::AwaitErr(const std::string& text) const {
  for (int i = 0; i < 200 && Err().find(text) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return Err().find(text) != std::string::npos;
}

SimProcess::SimProcess(std::vector<std::string> args) {
  std::string pattern = (std::filesystem::temp_directory_path() / "orv-sim-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  work_dir_ = pattern;
  const std::string ready = work_dir_ + "/ready";
  args.insert(args.begin(), {"--com-dir", com_dir(), "--ready-file", ready, "--port", "7"});
  child_.emplace(ORV_SIM_PATH, args, work_dir_);
  // The simulator may start slowly on a loaded machine.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!(started_ = std::filesystem::exists(ready)) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (started_) setenv("ORVANTA_COM_DIR", com_dir().c_str(), 1);
}

SimProcess::~SimProcess() {
  stop();
  unsetenv("ORVANTA_COM_DIR");
  std::error_code ec;
  if (!work_dir_.empty()) std::filesystem::remove_all(work_dir_, ec);
}

void SimProcess::stop() {
  if (child_) child_->Interrupt();
}

std::string SimProcess::log_text() const {
  return ReadFileText(work_dir_ + "/stderr");
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string TraceHostUnusableReason() {
  char host[256] = {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (gethostname(host, sizeof host - 1) != 0 || getaddrinfo(host, nullptr, &hints, &found) != 0)
    return "this machine's host name has no IPv4 address";
  uint8_t octets[4] = {};
  std::memcpy(octets, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, sizeof octets);
  freeaddrinfo(found);
  if (!platform::IsOwnIpv4Address(octets))
    return "this machine's host name resolves to an address not its own";
  return "";
}

}  // namespace orv::test
#endif
