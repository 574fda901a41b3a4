// orvanta-wine-host: a small J2534 host program for the Wine integration
// test. It links orvanta_passthru.dll through its import library, as a host
// program built against the public header would, and runs one scenario:
//
//   orvanta-wine-host write-file NAME TEXT   write NAME locally with TEXT, open
//                                            the link, copy it to the adapter,
//                                            list the store, close
//   orvanta-wine-host serial PORT            the serial driver on COM PORT:
//                                            settings, a version request and
//                                            its answer, break pulse, purge
//   orvanta-wine-host load DLL write-file NAME TEXT
//                                            write-file through the library
//                                            DLL (the registered FunctionLibrary),
//                                            loaded as host programs load it:
//                                            LoadLibrary, GetProcAddress
//
// Each step prints one line "<step> <result> ..."; the exit code is 0 when
// every step gave the expected result, else 1 (2 for bad usage).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

// A step whose result is a condition: printed as 0 when it holds, else 1.
bool Check(const char* step, bool holds) {
  return Expect(step, holds ? 0 : 1, 0);
}

int Finish() {
  std::fflush(stdout);
  return g_all_ok ? 0 : 1;
}

bool WriteLocalFile(const char* name, std::string_view text) {
  std::FILE* file = std::fopen(name, "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

int WriteFile(const char* name, const char* text) {
  if (!Check("local-file", WriteLocalFile(name, text))) return Finish();
  uint32_t device_id = 0;
  if (!Expect("open", g_library.open(nullptr, &device_id), STATUS_NOERROR)) return Finish();
  std::printf("device %lu\n", static_cast<unsigned long>(device_id));
  std::string local = name, stored = name;  // the library takes writable strings
  Expect("write-file", g_library.write_file(local.data(), stored.data(), 0), STATUS_NOERROR);
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

template <typename Function>
void Resolve(HMODULE module, const char* name, Function* function) {
  // Through void(*)(), which converts to any function type without a warning.
  *function =
      reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Points g_library at the library PATH. This program imports the DLL
// beside it too, so the module must be that file.
bool UseLibrary(const char* path) {
  char loaded[MAX_PATH] = {};
  const HMODULE module = LoadLibraryA(path);
  if (module != nullptr) GetModuleFileNameA(module, loaded, sizeof loaded);
  std::printf("loaded %s\n", loaded);
  Resolve(module, "PassThruOpen", &g_library.open);
  Resolve(module, "PassThruWriteFile", &g_library.write_file);
  Resolve(module, "PassThruReadDir", &g_library.read_dir);
  Resolve(module, "PassThruClose", &g_library.close);
  return module != nullptr && lstrcmpiA(path, loaded) == 0 && g_library.open &&
         g_library.write_file && g_library.read_dir && g_library.close;
}

// Waits up to two seconds for `want` bytes to be waiting; returns how many are.
uint32_t WaitForWaitingBytes(int32_t* port, uint32_t want) {
  uint32_t waiting = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (com_rx_count(port, &waiting) == COM_OK && waiting < want &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return waiting;
}

int Serial(uint32_t port_number) {
  int32_t port = -1;
  if (!Expect("com_open", com_open(&port, port_number, 115200, 8, 1, 2), COM_OK)) return Finish();

  DRVSETTINGS settings{};
  Expect("com_ioctl-read-settings", com_ioctl(&port, 3, &settings, nullptr), COM_OK);
  // The parity argument is not applied; one stop bit is code 0.
  Check("settings-match", settings.BaudRate == 115200 && settings.DataBits == 8 &&
                              settings.Parity == 0 && settings.StopBits == 0 &&
                              settings.RtsCts == 0 && settings.XonXoff == 0);

  // The adapter's version request: device 0xF0, operation 2, type 0x0D.
  const uint8_t request[10] = {0x00, 0x00, 0xF0, 0x02, 0x00, 0x0D, 0, 0, 0, 0};
  uint32_t written = 0;
  Expect("com_write", com_write(&port, request, sizeof request, &written), COM_OK);
  Expect("written", static_cast<int32_t>(written), 10);
  // The answer is a frame of 10 header bytes and 2 or 4 data bytes.
  Check("rx-count-at-least-12", WaitForWaitingBytes(&port, 12) >= 12);
  uint8_t answer[10] = {};
  uint32_t got = 0;
  Expect("com_read", com_read(&port, answer, sizeof answer, &got), COM_OK);
  Check("version-answer", got == 10 && answer[2] == 0xF0 && answer[3] == 0x02 && answer[5] == 0x0D);

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
  Expect("com_close", com_close(&port), COM_OK);
  return Finish();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "write-file" && argc == 4) return WriteFile(argv[2], argv[3]);
  if (command == "load" && argc == 6 && std::string_view(argv[3]) == "write-file") {
    return UseLibrary(argv[2]) ? WriteFile(argv[4], argv[5]) : 1;
  }
  if (command == "serial" && argc == 3) {
    return Serial(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
  }
  std::fprintf(stderr, "usage: orvanta-wine-host [load DLL] write-file NAME TEXT | serial PORT\n");
  return 2;
}
