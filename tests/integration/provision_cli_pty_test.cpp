// orvanta-provision end to end: the program, the shared library and
// orvanta-adapter-sim on a pseudo-terminal. Checks the bytes the emulated
// adapter stored, the local file and its mode, the exit codes and messages,
// and that the password prompt does not echo.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/cli/provision_cli.h"
#include "tests/integration/pty_library_test.h"
#include "tests/support/library_fixture.h"
#include "tests/support/sim_process.h"

#if defined(ORV_PROVISION_PATH)

namespace orv::test {
namespace {

namespace fs = std::filesystem;

using app::kExitFileNotWritten;
using app::kExitNoAdapter;
using app::kExitTransferFailed;
using app::kExitUsage;

// What IOT.NET holds: each field after its length byte.
std::string NetworkFile(const std::string& ssid, const std::string& password) {
  return static_cast<char>(ssid.size()) + ssid + static_cast<char>(password.size()) + password;
}

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// A temporary directory for one test: the tool's current directory and
// the emulated adapter's store; the library's settings file is empty.
class ProvisionCliTest : public PtyLibraryTest {
 protected:
  void SetUp() override {
    PtyLibraryTest::SetUp();
    fs::create_directories(work_);
  }

  std::vector<std::string> SimArgs(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args{"--store", store_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Runs orvanta-provision in work_ with `input` as standard input.
  RunResult Run(const std::vector<std::string>& args, const std::string& input = "") const {
    ChildProcess tool(ORV_PROVISION_PATH, args, dir_, input, work_);
    const int exit_code = tool.Wait();
    return {exit_code, tool.Out(), tool.Err()};
  }

  ScratchDir scratch_{"provision-cli"};
  const fs::path dir_ = scratch_.path();
  const fs::path work_ = dir_ / "work";
  const fs::path store_ = dir_ / "store";
};

TEST_F(ProvisionCliTest, ProvisionsTheEmulatedAdapter) {
  SimProcess sim(SimArgs());
  ASSERT_TRUE(sim.started()) << sim.log_text();
  RunResult r = Run({"--ssid", "Home", "--password-stdin"}, "secret12\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "SUCCESS: Provisioning Setup Configured\nPower Cycle To Complete\n");

  const auto expected = NetworkFile("Home", "secret12");
  EXPECT_EQ(ReadFileText(store_ / "IOT.NET"), expected);
  EXPECT_EQ(ReadFileText(work_ / "IOT.NET"), expected);
  EXPECT_EQ(fs::status(work_ / "IOT.NET").permissions(), fs::perms(0600));

  // An older, world-readable IOT.NET is narrowed to the owner and replaced;
  // the longest fields, a named port and the password option.
  std::ofstream(work_ / "IOT.NET") << "an older and longer network setup file";
  fs::permissions(work_ / "IOT.NET", fs::perms(0644));
  const std::string ssid(31, 'S'), password(63, 'p');
  r = Run({"--port", "7", "--ssid=" + ssid, "--password", password});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileText(store_ / "IOT.NET"), NetworkFile(ssid, password));
  EXPECT_EQ(ReadFileText(work_ / "IOT.NET"), NetworkFile(ssid, password));
  EXPECT_EQ(fs::status(work_ / "IOT.NET").permissions(), fs::perms(0600));
}

struct UsageRow {
  std::vector<std::string> args;
  std::string input;
  int exit_code;
  std::string shown;  // in standard error, or standard output when the exit is 0
};

TEST_F(ProvisionCliTest, RefusedRunsSendNothingAndNameTheirReason) {
  SimProcess sim(SimArgs());  // on COM7; nothing answers on COM5
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const UsageRow rows[] = {
      {{}, "", kExitUsage, ""},
      {{"--ssid"}, "", kExitUsage, ""},
      {{"--ssid", "a", "--port", "0", "--password", "b"}, "", kExitUsage, ""},
      {{"--ssid", "a", "--password", "b", "--password-stdin"}, "", kExitUsage, ""},
      {{"--ssid", "a"}, "", kExitUsage, ""},  // standard input is no terminal
      {{"--help"}, "", 0, "visible to other users"},
      {{"--ssid", std::string(32, 'S'), "--password", "pw"},
       "",
       kExitUsage,
       "the SSID is 32 bytes long; at most 31"},
      {{"--ssid", "Home", "--password-stdin"},
       std::string(64, 'p') + "\n",
       kExitUsage,
       "the password is 64 bytes long; at most 63"},
      {{"--port", "5", "--ssid", "Home", "--password", "pw"},
       "",
       kExitNoAdapter,
       "no adapter found on COM5 in "},
  };
  for (const UsageRow& row : rows) {
    const RunResult r = Run(row.args, row.input);
    EXPECT_EQ(r.exit_code, row.exit_code) << r.err;
    EXPECT_NE((row.exit_code == 0 ? r.out : r.err).find(row.shown), std::string::npos) << r.err;
    if (row.exit_code == kExitNoAdapter) {
      EXPECT_NE(r.err.find("Orvanta not detected"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("(COM5: no such port)"), std::string::npos) << r.err;
    }
  }
  // A COM directory others may write is no place to look for the adapter.
  ASSERT_EQ(chmod(sim.com_dir().c_str(), 0770), 0);
  const RunResult r = Run({"--ssid", "Home", "--password", "pw", "--port", "7"});
  EXPECT_EQ(r.exit_code, kExitNoAdapter);
  EXPECT_NE(r.err.find("COM directory is writable by other users"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(work_ / "IOT.NET"));
  ASSERT_EQ(chmod(sim.com_dir().c_str(), 01770), 0);  // the sticky bit makes it safe
  EXPECT_EQ(Run({"--ssid", "Home", "--password", "pw", "--port", "7"}).exit_code, 0);
}

TEST_F(ProvisionCliTest, RefusedTransferShowsErrorFile) {
  SimProcess sim(SimArgs({"--refuse-files"}));
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const RunResult r = Run({"--ssid", "Home", "--password-stdin"}, "secret12\n");
  EXPECT_EQ(r.exit_code, kExitTransferFailed);
  EXPECT_EQ(r.err.rfind("ERROR:FILE\n", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("PassThruWriteFile(OPEN): Error"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_FALSE(fs::exists(store_ / "IOT.NET"));
  EXPECT_EQ(ReadFileText(work_ / "IOT.NET"), NetworkFile("Home", "secret12"));
}

TEST_F(ProvisionCliTest, AnUnwritableIotNetIsNeverSent) {
  // IOT.NET cannot be made, or is a link another user may have swapped
  // in: nothing is written through it and nothing is sent.
  SimProcess sim(SimArgs());
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const fs::path iot = work_ / "IOT.NET", elsewhere = dir_ / "readable-by-attacker";
  for (const auto make : {+[](const fs::path&p, const fs::path&) { fs::create_directory(p); },
                          +[](const fs::path&p, const fs::path&t) { fs::create_symlink(t, p); }}) {
    make(iot, elsewhere);
    const RunResult r = Run({"--ssid", "Home", "--password", "pw"});
    EXPECT_EQ(r.exit_code, kExitFileNotWritten);
    EXPECT_NE(r.err.find("IOT.NET"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(elsewhere));
    fs::remove(iot);
  }
  EXPECT_FALSE(fs::exists(store_ / "IOT.NET"));

  // A file pre-created by another user keeps its contents and owner.
  std::ofstream(iot) << "theirs";
  if (geteuid() != 0 || chown(iot.c_str(), 65534, 65534) != 0) {
    GTEST_SKIP() << "another user's IOT.NET needs root to chown; that case did not run";
  }
  const RunResult r = Run({"--ssid", "Home", "--password", "pw"});
  EXPECT_EQ(r.exit_code, kExitFileNotWritten) << r.err;
  EXPECT_EQ(ReadFileText(iot), "theirs");
  EXPECT_FALSE(fs::exists(store_ / "IOT.NET"));
}

// Reads from the pty master until `needle` shows or `ms` pass.
std::string ReadUntil(int master, const std::string& needle, int ms) {
  std::string text;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (text.find(needle) == std::string::npos && std::chrono::steady_clock::now() < end) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[256];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

// Starts the program on a new terminal and waits until it asks for the
// password with the echo off. Returns its pid; *master is the terminal.
pid_t StartAtSilentPrompt(const fs::path& work, int* master) {
  const pid_t pid = forkpty(master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(work.c_str()) != 0) _exit(120);
    execl(ORV_PROVISION_PATH, ORV_PROVISION_PATH, "--ssid", "Home", static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string seen = ReadUntil(*master, "Network Password: ", 5000);
  EXPECT_NE(seen.find("Network Password: "), std::string::npos) << seen;
  // The prompt is written before the echo is switched off: wait for that.
  termios t{};
  for (int i = 0; i < 100 && tcgetattr(*master, &t) == 0 && (t.c_lflag & ECHO) != 0; ++i) {
    usleep(10000);
  }
  EXPECT_EQ(t.c_lflag & ECHO, 0u);
  return pid;
}

TEST_F(ProvisionCliTest, SignalAtThePromptPutsTheEchoBack) {
  int master = -1;
  const pid_t pid = StartAtSilentPrompt(work_, &master);
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  termios t{};
  EXPECT_EQ(tcgetattr(master, &t), 0);
  close(master);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_NE(t.c_lflag & ECHO, 0u);
}

TEST_F(ProvisionCliTest, PasswordPromptOnATerminalDoesNotEcho) {
  SimProcess sim(SimArgs());
  ASSERT_TRUE(sim.started()) << sim.log_text();
  int master = -1;
  const pid_t pid = StartAtSilentPrompt(work_, &master);
  ASSERT_GT(pid, 0);
  const std::string typed = "hunter2secret\n";
  ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  const std::string seen = ReadUntil(master, "Power Cycle To Complete", 15000);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_EQ(seen.find("hunter2secret"), std::string::npos) << seen;
  EXPECT_NE(seen.find("Power Cycle To Complete"), std::string::npos) << seen;
  EXPECT_EQ(ReadFileText(store_ / "IOT.NET"), NetworkFile("Home", "hunter2secret"));
}

}  // namespace
}  // namespace orv::test

#endif  // ORV_PROVISION_PATH
