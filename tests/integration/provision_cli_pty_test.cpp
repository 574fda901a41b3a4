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

#include "tests/support/sim_process.h"

#if defined(ORV_PROVISION_PATH)

namespace orv::test {
namespace {

namespace fs = std::filesystem;

constexpr int kExitTransferFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAdapter = 3;
constexpr int kExitFileNotWritten = 4;
// The simulator may start slowly on a loaded machine.
constexpr uint32_t kSimPort = 7;
constexpr int kSimReadyMs = 20000;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
  const std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

std::vector<uint8_t> NetworkFile(const std::string& ssid, const std::string& password) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(ssid.size())};
  bytes.insert(bytes.end(), ssid.begin(), ssid.end());
  bytes.push_back(static_cast<uint8_t>(password.size()));
  bytes.insert(bytes.end(), password.begin(), password.end());
  return bytes;
}

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// A temporary directory for one test: the tool's current directory and
// the emulated adapter's store.
class ProvisionCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "orv-provision-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    work_ = dir_ / "work";
    store_ = dir_ / "store";
    fs::create_directories(work_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::vector<std::string> SimArgs(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args{"--store", store_.string(), "--log"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Runs orvanta-provision in work_ with `input` as standard input and the
  // library's settings file pointed at a file that does not exist.
  RunResult Run(const std::vector<std::string>& args, const std::string& input = "") const {
    const fs::path in = dir_ / "stdin", out = dir_ / "stdout", err = dir_ / "stderr";
    std::ofstream(in, std::ios::binary) << input;
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(work_.c_str()) != 0) _exit(120);
      setenv("ORVANTA_REGISTRY", (dir_ / "no-registry.ini").c_str(), 1);
      const int fds[3] = {open(in.c_str(), O_RDONLY),
                          open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                          open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
      for (int i = 0; i < 3; ++i) dup2(fds[i], i);
      std::vector<char*> argv{const_cast<char*>(ORV_PROVISION_PATH)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    RunResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
      result.exit_code = WEXITSTATUS(status);
    }
    result.out = ReadText(out);
    result.err = ReadText(err);
    return result;
  }

  static size_t FramesReceived(const SimProcess& sim) {
    const std::string log = sim.log_text();
    size_t count = 0;
    for (size_t at = log.find("IN"); at != std::string::npos; at = log.find("IN", at + 2)) ++count;
    return count;
  }

  fs::path dir_;
  fs::path work_;
  fs::path store_;
};

TEST_F(ProvisionCliTest, ProvisionsTheEmulatedAdapter) {
  SimProcess sim(SimArgs(), kSimPort, kSimReadyMs);
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const RunResult r = Run({"--ssid", "Home", "--password-stdin"}, "secret12\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "SUCCESS: Provisioning Setup Configured\nPower Cycle To Complete\n");

  const auto expected = NetworkFile("Home", "secret12");
  ASSERT_EQ(expected.size(), 14u);
  EXPECT_EQ(ReadBytes(store_ / "IOT.NET"), expected);
  EXPECT_EQ(ReadBytes(work_ / "IOT.NET"), expected);
  struct stat st {};
  ASSERT_EQ(stat((work_ / "IOT.NET").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ProvisionCliTest, NamedPortAndPasswordOptionReplaceAnOlderFile) {
  SimProcess sim(SimArgs(), kSimPort, kSimReadyMs);
  ASSERT_TRUE(sim.started()) << sim.log_text();
  // An older, world-readable IOT.NET is narrowed to the owner and replaced.
  std::ofstream(work_ / "IOT.NET") << "an older and longer network setup file";
  fs::permissions(work_ / "IOT.NET", fs::perms(0644));
  const std::string ssid(31, 'S'), password(63, 'p');
  const RunResult r = Run({"--port", "7", "--ssid=" + ssid, "--password", password});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadBytes(store_ / "IOT.NET"), NetworkFile(ssid, password));
  EXPECT_EQ(ReadBytes(work_ / "IOT.NET"), NetworkFile(ssid, password));
  EXPECT_EQ(fs::status(work_ / "IOT.NET").permissions(), fs::perms(0600));
}

TEST_F(ProvisionCliTest, NoAdapterExitsWithItsCodeAndTheNotDetectedLine) {
  SimProcess sim(SimArgs(), kSimPort, kSimReadyMs);  // on COM7; nothing answers on COM5
  ASSERT_TRUE(sim.started()) << sim.log_text();
  RunResult r = Run({"--port", "5", "--ssid", "Home", "--password", "pw"});
  EXPECT_EQ(r.exit_code, kExitNoAdapter);
  EXPECT_NE(r.err.find("Orvanta not detected"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("no adapter found on COM5"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(work_ / "IOT.NET"));

  sim.stop();
  r = Run({"--ssid", "Home", "--password", "pw"});
  EXPECT_EQ(r.exit_code, kExitNoAdapter);
  EXPECT_NE(r.err.find("Orvanta not detected"), std::string::npos) << r.err;
}

TEST_F(ProvisionCliTest, RefusedTransferShowsErrorFile) {
  SimProcess sim(SimArgs({"--refuse-files"}), kSimPort, kSimReadyMs);
  ASSERT_TRUE(sim.started()) << sim.log_text();
  const RunResult r = Run({"--ssid", "Home", "--password-stdin"}, "secret12\n");
  EXPECT_EQ(r.exit_code, kExitTransferFailed);
  EXPECT_EQ(r.err.rfind("ERROR:FILE\n", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("PassThruWriteFile(OPEN): Error"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_FALSE(fs::exists(store_ / "IOT.NET"));
  EXPECT_EQ(ReadBytes(work_ / "IOT.NET"), NetworkFile("Home", "secret12"));
}

TEST_F(ProvisionCliTest, OverlongFieldsAreRefusedAndNothingIsSent) {
  SimProcess sim(SimArgs(), kSimPort, kSimReadyMs);
  ASSERT_TRUE(sim.started()) << sim.log_text();
  RunResult r = Run({"--ssid", std::string(32, 'S'), "--password", "pw"});
  EXPECT_EQ(r.exit_code, kExitUsage);
  EXPECT_NE(r.err.find("the SSID is 32 bytes long; at most 31"), std::string::npos) << r.err;

  r = Run({"--ssid", "Home", "--password-stdin"}, std::string(64, 'p') + "\n");
  EXPECT_EQ(r.exit_code, kExitUsage);
  EXPECT_NE(r.err.find("the password is 64 bytes long; at most 63"), std::string::npos) << r.err;

  EXPECT_FALSE(fs::exists(work_ / "IOT.NET"));
  EXPECT_EQ(FramesReceived(sim), 0u) << sim.log_text();
}

TEST_F(ProvisionCliTest, BadUsageAndAnUnwritableIotNet) {
  EXPECT_EQ(Run({}).exit_code, kExitUsage);
  EXPECT_EQ(Run({"--ssid"}).exit_code, kExitUsage);
  EXPECT_EQ(Run({"--ssid", "a", "--port", "0", "--password", "b"}).exit_code, kExitUsage);
  EXPECT_EQ(Run({"--ssid", "a", "--password", "b", "--password-stdin"}).exit_code, kExitUsage);
  // Standard input is no terminal and no password option was given.
  EXPECT_EQ(Run({"--ssid", "a"}).exit_code, kExitUsage);
  const RunResult help = Run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("visible to other users"), std::string::npos);

  // IOT.NET cannot be made, or is a link another user may have swapped
  // in: nothing is written through it and nothing is sent.
  SimProcess sim(SimArgs(), kSimPort, kSimReadyMs);
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
  EXPECT_EQ(ReadText(iot), "theirs");
  EXPECT_FALSE(fs::exists(store_ / "IOT.NET"));
}

TEST_F(ProvisionCliTest, ComDirectoryOthersMayWriteIsRefused) {
  SimProcess sim(SimArgs(), kSimPort, kSimReadyMs);
  ASSERT_TRUE(sim.started()) << sim.log_text();
  ASSERT_EQ(chmod(sim.com_dir().c_str(), 0770), 0);
  const RunResult r = Run({"--ssid", "Home", "--password", "pw", "--port", "7"});
  EXPECT_EQ(r.exit_code, kExitNoAdapter);
  EXPECT_NE(r.err.find("COM directory is writable by other users"), std::string::npos) << r.err;
  EXPECT_EQ(FramesReceived(sim), 0u);
  ASSERT_EQ(chmod(sim.com_dir().c_str(), 01770), 0);  // the sticky bit makes it safe
  EXPECT_EQ(Run({"--ssid", "Home", "--password", "pw", "--port", "7"}).exit_code, 0);
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
pid_t StartAtSilentPrompt(const fs::path& work, const fs::path& dir, int* master) {
  const pid_t pid = forkpty(master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(work.c_str()) != 0) _exit(120);
    setenv("ORVANTA_REGISTRY", (dir / "no-registry.ini").c_str(), 1);
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
  const pid_t pid = StartAtSilentPrompt(work_, dir_, &master);
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
  SimProcess sim(SimArgs(), kSimPort, kSimReadyMs);
  ASSERT_TRUE(sim.started()) << sim.log_text();
  int master = -1;
  const pid_t pid = StartAtSilentPrompt(work_, dir_, &master);
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
  EXPECT_EQ(ReadBytes(store_ / "IOT.NET"), NetworkFile("Home", "hunter2secret"));
}

}  // namespace
}  // namespace orv::test

#endif  // ORV_PROVISION_PATH
