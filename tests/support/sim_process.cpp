// See sim_process.h. Uses real time: only end-to-end tests use this.
#if !defined(_WIN32)
#include "tests/support/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#ifndef ORV_SIM_PATH
#error "ORV_SIM_PATH must name the orvanta-adapter-sim program"
#endif

extern char** environ;

namespace orv::test {

namespace {

std::string make_temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orv-sim-XXXXXX").string();
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> args, uint32_t port, int ready_timeout_ms)
    : port_(port) {
  work_dir_ = make_temp_dir();
  if (work_dir_.empty()) return;
  com_dir_ = work_dir_ + "/com";
  const std::string ready = work_dir_ + "/ready";
  const std::string log = work_dir_ + "/sim.log";

  std::vector<std::string> argv_text{
      ORV_SIM_PATH, "--com-dir", com_dir_, "--ready-file", ready, "--port", std::to_string(port)};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, ORV_SIM_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return;
  pid_ = pid;

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ready_timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(ready)) {
      started_ = true;
      break;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {  // gave up early
      pid_ = -1;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!started_) {
    stop();
    return;
  }
  if (const char* old = std::getenv("ORVANTA_COM_DIR")) saved_env_ = old;
  setenv("ORVANTA_COM_DIR", com_dir_.c_str(), 1);
  env_set_ = true;
}

SimProcess::~SimProcess() {
  stop();
  if (env_set_) {
    if (saved_env_) {
      setenv("ORVANTA_COM_DIR", saved_env_->c_str(), 1);
    } else {
      unsetenv("ORVANTA_COM_DIR");
    }
  }
  if (!work_dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(work_dir_, ec);
  }
}

int SimProcess::stop() {
  if (pid_ <= 0) return exit_code_;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  exit_code_ = done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return exit_code_;
}

std::string SimProcess::log_text() const {
  return ReadFileText(work_dir_ + "/sim.log");
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

ChildProcess::ChildProcess(const std::string& program, std::vector<std::string> args,
                           std::string dir, const std::string& input, const std::string& cwd)
    : dir_(std::move(dir)) {
  const std::string in = dir_ + "/stdin";
  std::ofstream(in, std::ios::binary) << input;
  pid_ = fork();
  if (pid_ != 0) return;
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(120);
  const int fds[3] = {open(in.c_str(), O_RDONLY),
                      open((dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                      open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
  for (int i = 0; i < 3; ++i) dup2(fds[i], i);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Interrupt();
}

int ChildProcess::Interrupt() {
  kill(pid_, SIGINT);
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

}  // namespace orv::test
#endif
