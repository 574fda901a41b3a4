// Runs orvanta-adapter-sim as a child process for end-to-end tests: a fresh
// temporary link directory (exported as ORVANTA_COM_DIR while the object
// lives, so the library's POSIX backend finds the ports there), a wait for
// the program's ready file, and SIGTERM plus reaping on stop or
// destruction. POSIX only.
//
// Failure reporting: started() is false when the program did not come up
// within the time limit; log_text() holds its stderr.
//
// ChildProcess runs any program the same way, with its output in files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv::test {

class SimProcess {
 public:
  // `args` are passed on after --com-dir, --ready-file and --port.
  explicit SimProcess(std::vector<std::string> args = {}, uint32_t port = 7,
                      int ready_timeout_ms = 5000);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool started() const { return started_; }
  uint32_t port() const { return port_; }
  const std::string& work_dir() const { return work_dir_; }  // temp dir of this run
  const std::string& com_dir() const { return com_dir_; }
  std::string link(uint32_t port) const { return com_dir_ + "/com" + std::to_string(port); }
  std::string log_text() const;

  // SIGTERM, then waits up to 5 s (SIGKILL after that). Returns the exit
  // code, or -1 when the program died by a signal or was not running.
  int stop();
  bool running() const { return pid_ > 0; }
  // The program's process ID (-1 when it is not running), e.g. to kill it
  // abruptly; stop() still reaps it.
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool started_ = false;
  uint32_t port_ = 7;
  std::string work_dir_;
  std::string com_dir_;
  std::optional<std::string> saved_env_;
  bool env_set_ = false;
  int exit_code_ = -1;
};

// A program run as a child process: standard input read from a file that
// holds `input`, standard output and error written to files in `dir`, the
// current directory `cwd` when one is given. Interrupted (SIGINT) and
// reaped on destruction.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, std::vector<std::string> args, std::string dir,
               const std::string& input = "", const std::string& cwd = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Wait();       // the exit code, or -1 when it died by a signal
  int Interrupt();  // SIGINT, then Wait()
  std::string Out() const;
  std::string Err() const;
  bool AwaitErr(const std::string& text) const;  // waits up to 10 s for `text`

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// The whole contents of a file ("" when it cannot be read).
std::string ReadFileText(const std::string& path);

}  // namespace orv::test
