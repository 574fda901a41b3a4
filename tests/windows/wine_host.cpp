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
//   orvanta-wine-host registry-uds VIN       as a J2534 host finds its device:
//                                            the subkey of PassThruSupport.04.04
//                                            (in this program's own registry
//                                            view) named Orvanta-IOT, its
//                                            FunctionLibrary loaded and every
//                                            function resolved; then a UDS
//                                            session on ISO 15765 with a reader
//                                            thread in PassThruReadMsgs while
//                                            this one writes: session control,
//                                            tester present, 200 reads of DID
//                                            F190 (answered with VIN); prints
//                                            the round-trip median
//
// Each step prints one line "<step> <result> ..."; the exit code is 0 when
// every step gave the expected result, else 1 (2 for bad usage).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

// --- registry-uds ------------------------------------------------------------

constexpr char kPassThruKey[] = "SOFTWARE\\PassThruSupport.04.04";
constexpr const char* kFunctions[] = {"PassThruOpen",
                                      "PassThruClose",
                                      "PassThruConnect",
                                      "PassThruDisconnect",
                                      "PassThruReadMsgs",
                                      "PassThruWriteMsgs",
                                      "PassThruStartPeriodicMsg",
                                      "PassThruStopPeriodicMsg",
                                      "PassThruStartMsgFilter",
                                      "PassThruStopMsgFilter",
                                      "PassThruSetProgrammingVoltage",
                                      "PassThruReadVersion",
                                      "PassThruGetLastError",
                                      "PassThruIoctl"};

// The FunctionLibrary of the subkey whose Name is `wanted`, in the view of
// the registry that this program's bitness sees; empty when there is none.
std::string FindLibrary(const char* wanted) {
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPassThruKey, 0, KEY_READ, &root) != ERROR_SUCCESS) {
    return {};
  }
  std::string found;
  for (DWORD i = 0; found.empty(); ++i) {
    char subkey[256] = {};
    DWORD length = sizeof subkey;
    if (RegEnumKeyExA(root, i, subkey, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    char name[256] = {};
    char library[MAX_PATH] = {};
    DWORD name_size = sizeof name;
    DWORD library_size = sizeof library;
    if (RegGetValueA(root, subkey, "Name", RRF_RT_REG_SZ, nullptr, name, &name_size) ==
            ERROR_SUCCESS &&
        std::strcmp(name, wanted) == 0 &&
        RegGetValueA(root, subkey, "FunctionLibrary", RRF_RT_REG_SZ, nullptr, library,
                     &library_size) == ERROR_SUCCESS) {
      found = library;
    }
  }
  RegCloseKey(root);
  return found;
}

struct UdsApi {
  decltype(&PassThruOpen) open = nullptr;
  decltype(&PassThruClose) close = nullptr;
  decltype(&PassThruConnect) connect = nullptr;
  decltype(&PassThruDisconnect) disconnect = nullptr;
  decltype(&PassThruReadMsgs) read = nullptr;
  decltype(&PassThruWriteMsgs) write = nullptr;
  decltype(&PassThruStartMsgFilter) start_filter = nullptr;
};

// What the reader thread hands to the writer: the last whole answer.
struct Exchange {
  UdsApi api;
  uint32_t channel = 0;
  HANDLE answered = nullptr;
  CRITICAL_SECTION lock;
  PASSTHRU_MSG answer{};
  volatile LONG stop = 0;
  uint32_t read_errors = 0;
};

PASSTHRU_MSG IsoMsg(uint32_t id, std::initializer_list<uint8_t> payload) {
  PASSTHRU_MSG m{};
  m.ProtocolID = ISO15765;
  m.TxFlags = ISO15765_FRAME_PAD;
  const uint8_t head[4] = {0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
  std::memcpy(m.Data, head, 4);
  std::copy(payload.begin(), payload.end(), m.Data + 4);
  m.DataSize = static_cast<ORV_ULONG>(4 + payload.size());
  return m;
}

// Reads until told to stop; each whole received message (not a transmit
// indication, not a first-frame notice) becomes the answer.
DWORD WINAPI Reader(void* argument) {
  auto* x = static_cast<Exchange*>(argument);
  while (InterlockedCompareExchange(&x->stop, 0, 0) == 0) {
    PASSTHRU_MSG m{};
    ORV_ULONG count = 1;
    const int32_t status = x->api.read(x->channel, &m, &count, 100);
    if (status != STATUS_NOERROR && status != ERR_BUFFER_EMPTY && status != ERR_TIMEOUT) {
      ++x->read_errors;
    }
    if (count != 1 || (m.RxStatus & (TX_MSG_TYPE | START_OF_MESSAGE | TX_INDICATION)) != 0 ||
        m.DataSize <= 4) {
      continue;
    }
    EnterCriticalSection(&x->lock);
    x->answer = m;
    LeaveCriticalSection(&x->lock);
    SetEvent(x->answered);
  }
  return 0;
}

double NowUs() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// Writes `request` and waits for the reader's answer; true when it is
// `expected` (the payload after the CAN ID). Adds the round trip to `trips`.
bool Ask(Exchange& x, const PASSTHRU_MSG& request, const std::string& expected,
         std::vector<double>& trips) {
  ResetEvent(x.answered);
  PASSTHRU_MSG sent = request;
  ORV_ULONG count = 1;
  const double start = NowUs();
  if (x.api.write(x.channel, &sent, &count, 1000) != STATUS_NOERROR || count != 1) return false;
  if (WaitForSingleObject(x.answered, 3000) != WAIT_OBJECT_0) return false;
  trips.push_back(NowUs() - start);
  EnterCriticalSection(&x.lock);
  const std::string got(reinterpret_cast<const char*>(x.answer.Data + 4), x.answer.DataSize - 4);
  const bool from_ecu = x.answer.Data[2] == 0x07 && x.answer.Data[3] == 0xE8;
  LeaveCriticalSection(&x.lock);
  return from_ecu && got == expected;
}

int RegistryUds(const char* vin) {
  const std::string library = FindLibrary("Orvanta-IOT");
  std::printf("library %s\n", library.c_str());
  if (!Check("registry-finds-library", !library.empty())) return Finish();
  const HMODULE module = LoadLibraryA(library.c_str());
  if (!Check("load-library", module != nullptr)) return Finish();
  int missing = 0;
  for (const char* name : kFunctions) {
    if (GetProcAddress(module, name) == nullptr) {
      std::printf("  missing %s\n", name);
      ++missing;
    }
  }
  Expect("functions-missing", missing, 0);
  Exchange x;
  Resolve(module, "PassThruOpen", &x.api.open);
  Resolve(module, "PassThruClose", &x.api.close);
  Resolve(module, "PassThruConnect", &x.api.connect);
  Resolve(module, "PassThruDisconnect", &x.api.disconnect);
  Resolve(module, "PassThruReadMsgs", &x.api.read);
  Resolve(module, "PassThruWriteMsgs", &x.api.write);
  Resolve(module, "PassThruStartMsgFilter", &x.api.start_filter);
  if (missing != 0) return Finish();

  uint32_t device = 0;
  if (!Expect("open", x.api.open(nullptr, &device), STATUS_NOERROR)) return Finish();
  if (!Expect("connect", x.api.connect(device, ISO15765, 0, 500000, &x.channel), STATUS_NOERROR)) {
    return Finish();
  }
  PASSTHRU_MSG mask = IsoMsg(0x7FF, {});
  PASSTHRU_MSG pattern = IsoMsg(0x7E8, {});
  PASSTHRU_MSG flow = IsoMsg(0x7E0, {});
  uint32_t filter = 0;
  Expect("flow-filter",
         x.api.start_filter(x.channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter),
         STATUS_NOERROR);

  InitializeCriticalSection(&x.lock);
  x.answered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE reader = CreateThread(nullptr, 0, Reader, &x, 0, nullptr);
  std::vector<double> trips;
  Check("session-control",
        Ask(x, IsoMsg(0x7E0, {0x10, 0x03}), std::string("\x50\x03\x00\x32\x01\xF4", 6), trips));
  Check("tester-present", Ask(x, IsoMsg(0x7E0, {0x3E, 0x00}), std::string("\x7E\x00", 2), trips));
  const std::string vin_answer = std::string("\x62\xF1\x90", 3) + vin;
  int right = 0;
  for (int i = 0; i < 200; ++i)
    right += Ask(x, IsoMsg(0x7E0, {0x22, 0xF1, 0x90}), vin_answer, trips);
  Expect("did-f190-answers-right", right, 200);
  InterlockedExchange(&x.stop, 1);
  Check("reader-ends", WaitForSingleObject(reader, 5000) == WAIT_OBJECT_0);
  Expect("reader-errors", static_cast<int32_t>(x.read_errors), 0);
  CloseHandle(reader);
  CloseHandle(x.answered);
  DeleteCriticalSection(&x.lock);
  Expect("disconnect", x.api.disconnect(x.channel), STATUS_NOERROR);
  Expect("close", x.api.close(device), STATUS_NOERROR);
  if (!trips.empty()) {
    std::sort(trips.begin(), trips.end());
    std::printf("round-trips %zu median-us %.0f p99-us %.0f\n", trips.size(),
                trips[trips.size() / 2], trips[trips.size() * 99 / 100]);
  }
  return Finish();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "write-file" && argc == 4) return WriteFile(argv[2], argv[3]);
  if (command == "load" && argc == 6 && std::string_view(argv[3]) == "write-file") {
    return UseLibrary(argv[2]) ? WriteFile(argv[4], argv[5]) : 1;
  }
  if (command == "registry-uds" && argc == 3) return RegistryUds(argv[2]);
  if (command == "serial" && argc == 3) {
    return Serial(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
  }
  std::fprintf(stderr,
               "usage: orvanta-wine-host [load DLL] write-file NAME TEXT | serial PORT |"
               " registry-uds VIN\n");
  return 2;
}
