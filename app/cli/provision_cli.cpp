// orvanta-provision's command line: options, the password (option, one line
// of standard input, or a prompt without echo on a terminal), the owner-only
// network setup file, and the dialog's texts on standard output and error.
//
// The terminal comes through the tools' platform services; the
// provisioning itself is the platform-free core.
#include "app/cli/provision_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/provision_core.h"
#include "orvanta_j2534.h"
#include "platform/tool/tool_platform.h"

namespace orv::app {

namespace {

constexpr char kProgram[] = "orvanta-provision";
// Kept equal to the project version; the install tests compare the two.
constexpr char kVersion[] = "1.2.0";
constexpr unsigned long kHighestPort = 1000;
// A line longer than this is certainly too long; reading stops there.
constexpr size_t kLineCapacity = 1024;

constexpr char kHelp[] =
    "Usage: orvanta-provision --ssid NAME [--password-stdin | --password PASS] [--port N]\n"
    "Provisions an Orvanta-IOT adapter with a wireless network: writes the network\n"
    "setup file IOT.NET (owner-only, mode 0600) in the current directory and copies\n"
    "it into the adapter's file store. Power-cycle the adapter afterwards.\n"
    "\n"
    "Options:\n"
    "  --ssid NAME         the network name (SSID), at most 31 bytes\n"
    "  --password-stdin    read the password as one line from standard input\n"
    "  --password PASS     the password as an argument, at most 63 bytes; it stays\n"
    "                      visible to other users of this machine (process list,\n"
    "                      shell history): prefer --password-stdin or the prompt\n"
    "  --port N            the adapter's COM port (1 to 1000); without it every\n"
    "                      port is searched, from 1000 down to 1\n"
    "  --version           print the program version and exit\n"
    "  --help              print this text and exit\n"
    "Without a password option, on a terminal, the password is asked for and not\n"
    "echoed.\n"
    "\n"
    "Environment:\n"
    "  ORVANTA_COM_DIR     directory holding the COM ports as comN entries, for\n"
    "                      example a symlink com3 -> /dev/ttyUSB0 (default\n"
    "                      /dev/orvanta)\n"
    "  ORVANTA_REGISTRY    the adapter's settings file (default\n"
    "                      /etc/orvanta/registry.ini)\n"
    "\n"
    "Exit codes:\n"
    "  0  provisioned\n"
    "  1  the adapter did not take IOT.NET (ERROR:FILE)\n"
    "  2  bad usage, or an SSID or password too long (nothing written or sent)\n"
    "  3  no adapter found\n"
    "  4  IOT.NET could not be written in the current directory (nothing sent)\n";

struct Options {
  std::string ssid;
  bool have_ssid = false;
  std::string password;
  bool have_password = false;
  bool password_stdin = false;
  unsigned long port = 0;  // 0: search every port
  bool help = false;
  bool version = false;
};

int UsageError(const char* message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message, kProgram);
  return kExitUsage;
}

bool ParsePort(const char* text, unsigned long* port) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0 || value > kHighestPort) return false;
  *port = value;
  return true;
}

// Takes the value of option `name` from "--name=value" or the next
// argument. Returns null when `arg` is not that option.
const char* OptionValue(std::string_view name, int argc, char** argv, int* i, bool* missing) {
  const std::string_view arg = argv[*i];
  if (arg == name) {
    if (*i + 1 >= argc) {
      *missing = true;
      return nullptr;
    }
    return argv[++*i];
  }
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    return argv[*i] + name.size() + 1;
  }
  return nullptr;
}

// Returns kExitProvisioned when the options are usable, else the usage exit.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    bool missing = false;
    if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--password-stdin") {
      options->password_stdin = true;
    } else if (const char* v = OptionValue("--ssid", argc, argv, &i, &missing)) {
      options->ssid = v;
      options->have_ssid = true;
    } else if (const char* p = OptionValue("--password", argc, argv, &i, &missing)) {
      options->password = p;
      options->have_password = true;
      // Other users read the argument list (ps, /proc): copied, it goes.
      WipeSecret(const_cast<char*>(p), std::strlen(p));
    } else if (const char* n = OptionValue("--port", argc, argv, &i, &missing)) {
      if (!ParsePort(n, &options->port)) return UsageError("--port needs a number from 1 to 1000");
    } else if (missing) {
      std::fprintf(stderr, "%s: %s needs a value\n", kProgram, argv[i]);
      return kExitUsage;
    } else {
      std::fprintf(stderr, "%s: unknown argument '%s'\nTry '%s --help'.\n", kProgram, argv[i],
                   kProgram);
      return kExitUsage;
    }
  }
  if (options->help || options->version) return kExitProvisioned;
  if (!options->have_ssid) return UsageError("--ssid NAME is required");
  if (options->have_password && options->password_stdin) {
    return UsageError("give either --password or --password-stdin, not both");
  }
  return kExitProvisioned;
}

// --- password input ------------------------------------------------------------

// One line from `stream` without its line end. False at end of input with
// nothing read, or when the line is longer than the buffer.
bool ReadLine(std::FILE* stream, std::string* line) {
  // Unbuffered, so that no stdio buffer keeps a copy of the password (set
  // before the stream's first read, which this is).
  std::setvbuf(stream, nullptr, _IONBF, 0);
  char buffer[kLineCapacity];
  if (std::fgets(buffer, sizeof buffer, stream) == nullptr) return false;
  size_t length = std::strlen(buffer);
  const bool complete = length > 0 && buffer[length - 1] == '\n';
  if (!complete && length == sizeof buffer - 1) return false;  // longer than any password
  while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
  line->assign(buffer, length);
  WipeSecret(buffer, sizeof buffer);
  return true;
}

bool PromptPassword(std::string* password) {
  return platform::tool::ReadWithoutEcho("Network Password: ",
                                         [password] { return ReadLine(stdin, password); });
}

int ObtainPassword(Options* options) {
  if (options->have_password) return kExitProvisioned;
  if (options->password_stdin) {
    if (!ReadLine(stdin, &options->password)) {
      return UsageError("--password-stdin: no password line (or one far too long) on stdin");
    }
    return kExitProvisioned;
  }
  if (!platform::tool::IsTerminal(platform::tool::Stream::kInput)) {
    return UsageError("no password: use --password-stdin, --password, or run on a terminal");
  }
  if (!PromptPassword(&options->password)) return UsageError("no password was entered");
  return kExitProvisioned;
}

int CheckFieldLengths(const Options& options) {
  if (options.ssid.size() > kMaxSsidLength) {
    std::fprintf(stderr,
                 "%s: the SSID is %zu bytes long; at most %zu fit in IOT.NET. "
                 "Nothing was written or sent.\n",
                 kProgram, options.ssid.size(), kMaxSsidLength);
    return kExitUsage;
  }
  if (options.password.size() > kMaxPasswordLength) {
    std::fprintf(stderr,
                 "%s: the password is %zu bytes long; at most %zu fit in IOT.NET. "
                 "Nothing was written or sent.\n",
                 kProgram, options.password.size(), kMaxPasswordLength);
    return kExitUsage;
  }
  return kExitProvisioned;
}

// --- the two steps of the dialog ----------------------------------------------------

int OpenAdapter(const Options& options) {
  char port_name[32] = {};
  if (options.port != 0) std::snprintf(port_name, sizeof port_name, "COM%lu", options.port);
  uint32_t device_id = 0;
  if (ProvisionOpenOnPaint(&device_id, options.port != 0 ? port_name : nullptr) == STATUS_NOERROR) {
    return kExitProvisioned;
  }
  const char* dir = std::getenv("ORVANTA_COM_DIR");
  // A port refused as unsafe leaves the reason in the last-error text.
  char reason[80] = {};
  PassThruGetLastError(reason);
  const bool has_reason = std::strcmp(reason, "No Error") != 0;
  std::fprintf(stderr, "%s: no adapter found on %s in %s%s%s%s\n", kProgram,
               options.port != 0 ? port_name : "any COM port",
               dir != nullptr && *dir != '\0' ? dir : "/dev/orvanta", has_reason ? " (" : "",
               has_reason ? reason : "", has_reason ? ")" : "");
  return kExitNoAdapter;
}

int ProvisionNetwork(const Options& options) {
  const int32_t status = Provision(options.ssid, options.password);
  if (status == STATUS_NOERROR) {
    std::printf("%s: %s\n", kCaptionProvisioned, kTextProvisioned);
    return kExitProvisioned;
  }
  if (status == kProvisionFileNotOwn) {
    std::fprintf(stderr,
                 "%s: %s in the current directory is not a regular file of your own with a "
                 "single link; it was left as it is and nothing was sent\n",
                 kProgram, kNetworkFileName);
    return kExitFileNotWritten;
  }
  if (status == kProvisionFileNotWritten) {
    std::fprintf(stderr, "%s: cannot write %s in the current directory; nothing was sent\n",
                 kProgram, kNetworkFileName);
    return kExitFileNotWritten;
  }
  char reason[80] = {};
  PassThruGetLastError(reason);
  std::fprintf(stderr, "%s\n%s: the adapter did not take %s (status %ld: %s)\n",
               kTextTransferFailed, kProgram, kNetworkFileName, static_cast<long>(status), reason);
  return kExitTransferFailed;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  Options options;
  int rc = ParseOptions(argc, argv, &options);
  if (rc != kExitProvisioned) return rc;
  if (options.help) {
    std::fputs(kHelp, stdout);
    return kExitProvisioned;
  }
  if (options.version) {
    std::printf("%s %s\n", kProgram, kVersion);
    return kExitProvisioned;
  }
  // An SSID too long is refused before anyone types a password.
  if ((rc = CheckFieldLengths(options)) != kExitProvisioned) return rc;
  if ((rc = ObtainPassword(&options)) != kExitProvisioned) return rc;
  if ((rc = CheckFieldLengths(options)) != kExitProvisioned) return rc;
  if ((rc = OpenAdapter(options)) == kExitProvisioned) rc = ProvisionNetwork(options);
  WipeSecret(options.password.data(), options.password.size());
  return rc;
}

}  // namespace orv::app
