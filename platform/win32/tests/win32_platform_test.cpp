// Tests of the Win32 backend against the real Win32 functions, run under
// Wine in a throw-away prefix: the registry walk and its error codes (the
// same codes as the INI stand-in of the POSIX backend), refused serial
// handles, and the trace socket table. Serial transfers on a real port are
// covered by the Wine integration test against the emulator.
//
// The registry tests write HKEY_LOCAL_MACHINE\Software\PassThruSupport.04.04;
// outside Wine they skip themselves rather than touch a real machine's
// J2534 registrations.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
// winsock2.h must precede windows.h.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "link/discovery.h"
#include "orvanta_j2534.h"
#include "platform/platform.h"
#include "platform/registry_ini.h"

namespace orv::platform {
namespace {

constexpr char kPassThruKey[] = "Software\\PassThruSupport.04.04";

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void SetText(HKEY key, const char* name, const std::string& text) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
}

// Lays out the key afresh: a foreign subkey first, then the adapter's.
class Win32Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!RunningUnderWine()) GTEST_SKIP() << "writes HKLM; runs only in a Wine prefix";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPassThruKey);
    AddSubkey("Acme Scope", {{"Name", "Acme"}});
    AddSubkey("Orvanta-IOT", {{"Name", "orvanta-iot"},
                              {"Debug", ""},
                              {"SuppressPopups", ""},
                              {"IOT", "0x1F"},
                              {"Big", std::string(300, 'x')}});
  }
  void TearDown() override {
    if (RunningUnderWine()) RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPassThruKey);
  }

  static void AddSubkey(const char* name,
                        std::initializer_list<std::pair<const char*, std::string>> values) {
    const std::string path = std::string(kPassThruKey) + "\\" + name;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    for (const auto& [value, text] : values) SetText(key, value, text);
    RegCloseKey(key);
  }

  Platform& os = native();
};

TEST_F(Win32Registry, EnumeratesSubkeysInOrderThenReportsNoMoreItems) {
  std::array<char, 240> name{};
  ASSERT_EQ(os.registry_enum_subkey(0, name.data(), 240), kOk);
  EXPECT_STREQ(name.data(), "Acme Scope");
  ASSERT_EQ(os.registry_enum_subkey(1, name.data(), 240), kOk);
  EXPECT_STREQ(name.data(), "Orvanta-IOT");
  EXPECT_EQ(os.registry_enum_subkey(2, name.data(), 240), kErrorNoMoreItems);
  // A name that does not fit is an error: "Orvanta-IOT" needs 12.
  EXPECT_EQ(os.registry_enum_subkey(1, name.data(), 11), kErrorMoreData);
  EXPECT_EQ(os.registry_enum_subkey(1, name.data(), 12), kOk);
}

// The size counts the terminating zero; values too big or missing and
// a subkey that cannot be opened are errors.
TEST_F(Win32Registry, QueriesGiveTheValueAndItsSizeOrTheError) {
  const struct {
    const char* subkey;
    const char* value;
    OsError status;
    const char* text;
  } rows[] = {
      {"Orvanta-IOT", "Name", kOk, "orvanta-iot"},
      {"Orvanta-IOT", "Debug", kOk, ""},  // present with empty text
      {"Orvanta-IOT", "Big", kErrorMoreData, nullptr},
      {"Orvanta-IOT", "Missing", kErrorFileNotFound, nullptr},
      {"Nobody", "Name", kErrorCantOpen, nullptr},
  };
  for (const auto& row : rows) {
    std::array<uint8_t, 240> data{};
    uint32_t size = 240;
    EXPECT_EQ(os.registry_query_value(row.subkey, row.value, data.data(), &size), row.status)
        << row.value;
    if (row.status != kOk) continue;
    EXPECT_EQ(size, std::strlen(row.text) + 1) << row.value;
    EXPECT_STREQ(reinterpret_cast<const char*>(data.data()), row.text);
  }
}

TEST_F(Win32Registry, LinkReadsTheSwitchesOfTheAdaptersSubkey) {
  EXPECT_EQ(AllowDebug(), 1);
  EXPECT_EQ(SuppressPopups(), 1);
  EXPECT_EQ(CheckIOTNumInRegistry(), 31u);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPassThruKey);
  EXPECT_EQ(AllowDebug(), 0);
  EXPECT_EQ(SuppressPopups(), 0);
  EXPECT_EQ(CheckIOTNumInRegistry(), 0u);
}

TEST(Win32Serial, MissingPortFailsAndLeavesTheHandleClosed) {
  SerialHandle handle = kInvalidHandle;
  EXPECT_NE(native().serial_open("\\\\.\\COM250", &handle), kOk);
  EXPECT_EQ(handle, kInvalidHandle);
}

TEST(Win32Serial, HandlesOutsideTheTableOrNotOpenAreRefused) {
  Platform& os = native();
  for (const SerialHandle handle : {-1, 0, 63, 64, 1000}) {
    SCOPED_TRACE(handle);
    SerialSettings settings;
    SerialProperties properties;
    uint8_t byte = 0;
    uint32_t done = 7;
    EXPECT_EQ(os.serial_get_settings(handle, &settings), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_set_settings(handle, settings), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_set_queue_sizes(handle, 1, 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_purge(handle, kPurgeAll), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_set_timeouts(handle, SerialTimeouts{}), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_get_properties(handle, &properties), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_read(handle, &byte, 1, &done), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_write(handle, &byte, 1, &done), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_set_break(handle), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_clear_break(handle), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.serial_close(handle), ERROR_INVALID_HANDLE);
  }
}

// A listening socket on an ephemeral port of every local address.
class Listener {
 public:
  Listener() {
    socket_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    listen(socket_, 32);
    int length = sizeof address;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener() { closesocket(socket_); }

  uint16_t port() const { return port_; }

  // Accepts one connection and reads until it closes.
  std::string AcceptAndReadAll() {
    SOCKET peer = accept(socket_, nullptr, nullptr);
    std::string text;
    std::array<char, 256> chunk{};
    for (int n; (n = recv(peer, chunk.data(), static_cast<int>(chunk.size()), 0)) > 0;) {
      text.append(chunk.data(), static_cast<size_t>(n));
    }
    closesocket(peer);
    return text;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

class Win32TraceSocket : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(os.socket_startup(), kOk); }
  Platform& os = native();
};

TEST_F(Win32TraceSocket, SendsTextToTheOwnHostAddress) {
  Listener listener;
  SocketHandle trace = kInvalidHandle;
  ASSERT_EQ(os.trace_connect(listener.port(), &trace), kOk);
  constexpr char kLine[] = "E 7 5000 PassThruOpen null pointer to device ID\r\n";
  os.trace_send(trace, kLine, sizeof kLine - 1);
  os.trace_close(trace);
  EXPECT_EQ(listener.AcceptAndReadAll(), kLine);
}

TEST_F(Win32TraceSocket, ClosedAndFailedConnectionsGiveTheirSlotsBack) {
  Listener listener;
  uint16_t unused_port = 0;
  {
    Listener closed;  // its port refuses connections once it is gone
    unused_port = closed.port();
  }
  for (int i = 0; i < 40; ++i) {
    SocketHandle trace = kInvalidHandle;
    EXPECT_NE(os.trace_connect(unused_port, &trace), kOk);
    EXPECT_EQ(trace, kInvalidHandle);
    ASSERT_EQ(os.trace_connect(listener.port(), &trace), kOk) << "connection " << i;
    os.trace_close(trace);
    listener.AcceptAndReadAll();
  }
  os.trace_send(-1, "x", 1);  // unknown handles are ignored
  os.trace_close(99);
}

}  // namespace
}  // namespace orv::platform
