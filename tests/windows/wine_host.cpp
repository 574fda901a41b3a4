// orvanta-wine-host: a small J2534 host program for the Wine integration
// test. It links orvanta_passthru.dll through its import library, as a host
// program built against the public header would, and runs one scenario:
//
//   orvanta-wine-host open [NAME]            PassThruOpen(NAME or none)
//   orvanta-wine-host write-file NAME TEXT   write NAME locally with TEXT, open
//                                            the link, copy it to the adapter,
//                                            list the store, close
//   orvanta-wine-host serial PORT            the serial driver on COM PORT:
//                                            settings, a version request and
//                                            its answer, break pulse, purge
//   orvanta-wine-host registered write-file NAME TEXT
//                                            write-file through the library
//                                            found as host programs find it:
//                                            FunctionLibrary of the subkey of
//                                            HKLM\SOFTWARE\PassThruSupport.04.04
//                                            named "Orvanta-IOT", LoadLibrary,
//                                            GetProcAddress
//
// Each step prints one line "<step> <result> ..."; the exit code is 0 when
// every step gave the expected result, else 1 (2 for bad usage).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "orvanta_j2534.h"

namespace {

bool g_all_ok = true;

// The library functions the scenarios call: those this program imports, or
// those of the registered library.
struct Library {
  decltype(&PassThruOpen) open = PassThruOpen;
  decltype(&PassThruWriteFile) write_file = PassThruWriteFile;
  decltype(&PassThruReadDir) read_dir = PassThruReadDir;
  decltype(&PassThruClose) close = PassThruClose;
};
Library g_library;

bool Expect(const char* step, int32_t result, int32_t expected) {
  std::printf("%s %ld\n", step, static_cast<long>(result));
  if (result != expected) {
    std::printf("  expected %ld\n", static_cast<long>(expected));
    g_all_ok = false;
  }
  return result == expected;
}

void PrintLastError() {
  char text[256] = {};
  PassThruGetLastError(text);
  std::printf("last-error %s\n", text);
}

int Finish() {
  std::fflush(stdout);
  return g_all_ok ? 0 : 1;
}

int Open(const char* name) {
  uint32_t device_id = 0xFFFFFFFFu;
  const int32_t rc = PassThruOpen(name, &device_id);
  std::printf("open %ld device %lu\n", static_cast<long>(rc),
              static_cast<unsigned long>(device_id));
  PrintLastError();
  std::fflush(stdout);
  return rc == STATUS_NOERROR ? 0 : 1;
}

bool WriteLocalFile(const char* name, std::string_view text) {
  std::FILE* file = std::fopen(name, "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

int WriteFile(const char* name, const char* text) {
  if (!Expect("local-file", WriteLocalFile(name, text) ? 0 : 1, 0)) return Finish();
  uint32_t device_id = 0;
  if (!Expect("open", g_library.open(nullptr, &device_id), STATUS_NOERROR)) return Finish();
  std::printf("device %lu\n", static_cast<unsigned long>(device_id));
  char local[128];
  char stored[128];
  std::snprintf(local, sizeof local, "%s", name);
  std::snprintf(stored, sizeof stored, "%s", name);
  Expect("write-file", g_library.write_file(local, stored, 0), STATUS_NOERROR);
  char pattern[] = "*";
  char list[4096] = {};
  Expect("read-dir", g_library.read_dir(pattern, list), STATUS_NOERROR);
  std::printf("listing %s\n", list);
  if (std::strstr(list, name) == nullptr) {
    std::printf("  listing lacks %s\n", name);
    g_all_ok = false;
  }
  Expect("close", g_library.close(device_id), STATUS_NOERROR);
  return Finish();
}

// The FunctionLibrary of the first subkey of PassThruSupport.04.04 whose
// Name is "Orvanta-IOT", in this program's own registry view.
bool FindRegisteredLibrary(char* path, DWORD size) {
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\PassThruSupport.04.04", 0, KEY_READ, &root) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  char subkey[256];
  DWORD subkey_size = sizeof subkey;
  for (DWORD index = 0; !found && RegEnumKeyExA(root, index, subkey, &subkey_size, nullptr, nullptr,
                                                nullptr, nullptr) == ERROR_SUCCESS;
       ++index, subkey_size = sizeof subkey) {
    char name[64] = {};
    DWORD name_size = sizeof name;
    DWORD path_size = size;
    found = RegGetValueA(root, subkey, "Name", RRF_RT_REG_SZ, nullptr, name, &name_size) ==
                ERROR_SUCCESS &&
            std::strcmp(name, "Orvanta-IOT") == 0 &&
            RegGetValueA(root, subkey, "FunctionLibrary", RRF_RT_REG_SZ, nullptr, path,
                         &path_size) == ERROR_SUCCESS;
  }
  RegCloseKey(root);
  return found;
}

template <typename Function>
void Resolve(HMODULE module, const char* name, Function* function) {
  // Through void(*)(), which converts to any function type without a warning.
  *function =
      reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Points g_library at the registered library. This program imports the DLL
// beside it too, so the module must be the registered file.
bool UseRegisteredLibrary() {
  char path[MAX_PATH] = {};
  char loaded[MAX_PATH] = {};
  const HMODULE module = FindRegisteredLibrary(path, sizeof path) ? LoadLibraryA(path) : nullptr;
  if (module != nullptr) GetModuleFileNameA(module, loaded, sizeof loaded);
  std::printf("registered %s loaded %s\n", path, loaded);
  Resolve(module, "PassThruOpen", &g_library.open);
  Resolve(module, "PassThruWriteFile", &g_library.write_file);
  Resolve(module, "PassThruReadDir", &g_library.read_dir);
  Resolve(module, "PassThruClose", &g_library.close);
  return module != nullptr && lstrcmpiA(path, loaded) == 0 && g_library.open &&
         g_library.write_file && g_library.read_dir && g_library.close;
}

// Reads until `want` bytes arrived or two seconds passed.
uint32_t ReadAnswer(int32_t* port, uint8_t* buffer, uint32_t want) {
  uint32_t got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (got < want && std::chrono::steady_clock::now() < deadline) {
    uint32_t n = 0;
    if (com_read(port, buffer + got, want - got, &n) != COM_OK) break;
    got += n;
  }
  return got;
}

uint32_t WaitForWaitingBytes(int32_t* port, uint32_t want) {
  uint32_t waiting = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (waiting < want && std::chrono::steady_clock::now() < deadline) {
    com_rx_count(port, &waiting);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return waiting;
}

int Serial(uint32_t port_number) {
  int32_t port = -1;
  if (!Expect("com_open", com_open(&port, port_number, 115200, 8, 1, 2), COM_OK)) return Finish();

  DRVSETTINGS settings{};
  Expect("com_ioctl-read-settings", com_ioctl(&port, 3, &settings, nullptr), COM_OK);
  std::printf("settings baud %lu bits %u parity %u stop %u dsr %u cts %u xon %u\n",
              static_cast<unsigned long>(settings.BaudRate), settings.DataBits, settings.Parity,
              settings.StopBits, settings.DtrDsr, settings.RtsCts, settings.XonXoff);
  // The parity argument is not applied; one stop bit is code 0.
  Expect("settings-match",
         settings.BaudRate == 115200 && settings.DataBits == 8 && settings.Parity == 0 &&
                 settings.StopBits == 0 && settings.RtsCts == 0 && settings.XonXoff == 0
             ? 0
             : 1,
         0);

  // The adapter's version request: device 0xF0, operation 2, type 0x0D.
  const uint8_t request[10] = {0x00, 0x00, 0xF0, 0x02, 0x00, 0x0D, 0, 0, 0, 0};
  uint32_t written = 0;
  Expect("com_write", com_write(&port, request, sizeof request, &written), COM_OK);
  Expect("written", static_cast<int32_t>(written), 10);
  // The answer is a frame of 10 header bytes and 2 or 4 data bytes.
  const uint32_t waiting = WaitForWaitingBytes(&port, 12);
  std::printf("rx-count %lu\n", static_cast<unsigned long>(waiting));
  Expect("rx-count-at-least-12", waiting >= 12 ? 0 : 1, 0);
  uint8_t answer[14] = {};
  const uint32_t got = ReadAnswer(&port, answer, 10);
  std::printf("answer %lu bytes: dev %02X op %02X type %02X size %u\n",
              static_cast<unsigned long>(got), answer[2], answer[3], answer[5], answer[1]);
  Expect("version-answer",
         got == 10 && answer[2] == 0xF0 && answer[3] == 0x02 && answer[5] == 0x0D ? 0 : 1, 0);

  Expect("com_ioctl-break", com_ioctl(&port, 5, nullptr, nullptr), COM_OK);
  Expect("com_ioctl-purge", com_ioctl(&port, 6, nullptr, nullptr), COM_OK);
  uint32_t after_purge = 99;
  com_rx_count(&port, &after_purge);
  Expect("rx-count-after-purge", static_cast<int32_t>(after_purge), 0);
  Expect("com_ioctl-xon", com_ioctl(&port, 1, nullptr, nullptr), COM_OK);
  Expect("com_ioctl-xoff", com_ioctl(&port, 2, nullptr, nullptr), COM_OK);
  Expect("com_set_timeout", com_set_timeout(&port, 5), COM_OK);
  Expect("com_set_dtr", com_set_dtr(&port, 1), COM_OK);
  Expect("com_set_rts", com_set_rts(&port, 0), COM_OK);
  Expect("com_ioctl-unknown", com_ioctl(&port, 7, nullptr, nullptr), COM_ERR_HANDLE);
  Expect("com_close", com_close(&port), COM_OK);
  return Finish();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "open" && argc <= 3) return Open(argc == 3 ? argv[2] : nullptr);
  if (command == "write-file" && argc == 4) return WriteFile(argv[2], argv[3]);
  if (command == "registered" && argc == 5 && std::string_view(argv[2]) == "write-file") {
    return UseRegisteredLibrary() ? WriteFile(argv[3], argv[4]) : 1;
  }
  if (command == "serial" && argc == 3) {
    return Serial(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
  }
  std::fprintf(stderr,
               "usage: orvanta-wine-host open [NAME] | [registered] write-file NAME TEXT |"
               " serial PORT\n");
  return 2;
}
