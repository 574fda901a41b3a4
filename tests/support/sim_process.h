// Child processes for the end-to-end tests. POSIX only.
//
// ChildProcess runs a program with its standard input read from a file
// that holds `input` and its standard output and error written to files
// in `dir`, in the current directory `cwd` when one is given; it is
// interrupted (SIGINT) and reaped on destruction.
//
// SimProcess runs orvanta-adapter-sim on COM7 in a fresh temporary
// directory whose link directory is exported as ORVANTA_COM_DIR while the
// object lives (so the library's POSIX backend finds the port there), after
// a wait for the program's ready file. started() is false when the program
// did not come up in time; log_text() holds its standard error.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace orv::test {

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

class SimProcess {
 public:
  // `args` are passed on after --com-dir, --ready-file and --port 7.
  explicit SimProcess(std::vector<std::string> args = {});
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool started() const { return started_; }
  std::string com_dir() const { return work_dir_ + "/com"; }
  std::string log_text() const;
  void stop();  // SIGINT, then waits for the program to end

 private:
  std::string work_dir_;
  std::optional<ChildProcess> child_;
  bool started_ = false;
};

// The whole contents of a file ("" when it cannot be read).
std::string ReadFileText(const std::string& path);

// Whether this machine can carry the library's debug trace at all: the
// library connects to its own host name, which must resolve to one of the
// machine's own IPv4 addresses (a bare chroot or container often has no
// such name). "" when it can, else why not; tests that need a trace
// listener skip with the reason.
std::string TraceHostUnusableReason();

}  // namespace orv::test
