// Discovery of the adapter, the registry switches, PassThruOpen and
// PassThruClose.
#include "link/discovery.h"

#include <cstdlib>
#include <cstring>

#include "link/comdrvr.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "platform/platform.h"

namespace orv {

int32_t hCommPort = -1;
uint32_t CommPortNum = 0;
uint32_t UserSpecifiedCommPort = 0;
uint32_t UserSpecifiedIOTNum = 0;
int32_t hIOTSocket = -1;
uint32_t SerialNumber = 0;
uint32_t fSuppressPopups = 0;
uint32_t fNotDetectedPopup = 0;
uint32_t wsaStarted = 0;

namespace {

constexpr uint32_t kMaxSubkeys = 32;
constexpr uint32_t kSubkeyNameSize = 240;  // 239 characters and the zero
constexpr uint32_t kValueDataSize = 240;

platform::Platform& os() {
  return platform::current();
}

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char ca = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    char cb = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (ca != cb) return false;
  }
  return *a == *b;
}

// Reads a value of `subkey` as text (at most 240 bytes; longer counts as
// missing). Returns the platform's result: kOk, or why it is missing.
platform::OsError QueryValueText(const char* subkey, const char* value,
                                 char (&text)[kValueDataSize + 1]) {
  uint32_t size = kValueDataSize;
  const platform::OsError e =
      os().registry_query_value(subkey, value, reinterpret_cast<uint8_t*>(text), &size);
  if (e == platform::kOk) text[size <= kValueDataSize ? size : kValueDataSize] = '\0';
  return e;
}

bool ReadValueText(const char* subkey, const char* value, char (&text)[kValueDataSize + 1]) {
  return QueryValueText(subkey, value, text) == platform::kOk;
}

bool IsAdapterName(const char* name) {
  return EqualsIgnoringCase(name, "Orvanta-FD") || EqualsIgnoringCase(name, "Orvanta-IOT");
}

// Finds the first subkey whose "Name" is the adapter's. Subkeys without
// that name are skipped; the walk stops at the first subkey that cannot be
// enumerated or opened, so no setting behind an unreadable key is used.
bool FindAdapterSubkey(char (&subkey)[kSubkeyNameSize]) {
  for (uint32_t index = 0; index < kMaxSubkeys; ++index) {
    if (os().registry_enum_subkey(index, subkey, sizeof subkey) != platform::kOk) return false;
    subkey[sizeof subkey - 1] = '\0';
    char name[kValueDataSize + 1];
    const platform::OsError e = QueryValueText(subkey, "Name", name);
    if (e == platform::kErrorCantOpen) return false;
    if (e == platform::kOk && IsAdapterName(name)) return true;
  }
  return false;
}

bool AdapterValue(const char* value, char (&text)[kValueDataSize + 1]) {
  char subkey[kSubkeyNameSize];
  return FindAdapterSubkey(subkey) && ReadValueText(subkey, value, text);
}

uint32_t ReadNumber(const char* text) {
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

// Skips leading zeros so that "0012" reads as decimal 12 rather than
// octal, but keeps the zero of a "0x" prefix so hexadecimal still works.
const char* SkipZeros(const char* text) {
  while (text[0] == '0' && text[1] >= '0' && text[1] <= '9') ++text;
  return text;
}

void ParseOpenName(const char* name) {
  if (std::strncmp(name, "COM", 3) == 0) {
    UserSpecifiedCommPort = ReadNumber(name + 3);
  } else if (std::strncmp(name, "IOT:", 4) == 0) {
    UserSpecifiedIOTNum = ReadNumber(SkipZeros(name + 4));
  } else if (std::strncmp(name, "J2534-2:", 8) == 0) {
    UserSpecifiedCommPort = ReadNumber(name + 8);
  }
}

void OpenTraceConnection() {
  if (debug_socket != -1) {
    os().trace_close(debug_socket);  // the newer connection replaces it
    debug_socket = -1;
  }
  platform::SocketHandle socket = -1;
  if (os().trace_connect(kTracePort, &socket) == platform::kOk) debug_socket = socket;
}

bool VersionAnswered() {
  return ReplyIs(kDevSystem, kOpRead, kTypeVersion) &&
         (ORVXResponse.size == 2 || ORVXResponse.size == 4);
}

void ReadSerialNumber() {
  if (JmsgSendCmd(kDevSystem, kOpRead, kTypeSerialNumber, 0, 0, nullptr, kSendTimeoutCommand) !=
      STATUS_NOERROR) {
    return;
  }
  os().sleep_ms(kSerialWaitMs);
  JmsgReceiveMsgs();
  if (ReplyIs(kDevSystem, kOpRead, kTypeSerialNumber) && ORVXResponse.size > 11) {
    const uint8_t* d = ORVXResponse.data;
    SerialNumber = static_cast<uint32_t>(d[8]) << 24 | static_cast<uint32_t>(d[9]) << 16 |
                   static_cast<uint32_t>(d[10]) << 8 | d[11];
  }
}

// Probes one port; leaves it open and returns true when an adapter answers.
bool ProbePort(uint32_t port) {
  CommPortNum = port;
  com_buf_len = 0;
  if (com_open(&hCommPort, port, 115200, 8, 1, 0) != COM_OK) {
    // A port refused as unsafe says why; a missing one says nothing.
    if (const char* why = os().serial_open_refusal()) DbgMsg(kMsgError, why);
    return false;
  }
  DbgMsgf(kMsgLink, "Looking for Orvanta on COM%d port", static_cast<int>(port));
  JmsgSendCmd(kDevSystem, kOpStop, kTypePlain, 0, 0, nullptr, kSendTimeoutCommand);
  os().sleep_ms(kStopSettleMs);
  com_ioctl(&hCommPort, 6, nullptr, nullptr);
  os().sleep_ms(kPurgeSettleMs);
  ClearReply();
  if (JmsgSendCmd(kDevSystem, kOpRead, kTypeVersion, 0, 0, nullptr, kSendTimeoutCommand) !=
      STATUS_NOERROR) {
    return false;
  }
  os().sleep_ms(kVersionWaitMs);
  JmsgReceiveMsgs();
  if (!VersionAnswered()) return false;
  ReadSerialNumber();
  return true;
}

void ClosePort() {
  com_close(&hCommPort);
  hCommPort = -1;
}

// Walks the ports (the one named, or 1000 down to 1) until one answers.
void SearchPorts() {
  const uint32_t first = UserSpecifiedCommPort != 0 ? UserSpecifiedCommPort : kHighestComPort;
  const uint32_t last = UserSpecifiedCommPort != 0 ? UserSpecifiedCommPort : 1;
  for (uint32_t port = first; port >= last && port != 0; --port) {
    if (ProbePort(port)) return;
    ClosePort();
  }
  CommPortNum = 0;
}

void ShowNotDetected() {
  if (fNotDetectedPopup != 0 || fSuppressPopups != 0) return;
  os().message_box("Orvanta not detected", "ERROR");
  fNotDetectedPopup = 1;
}

}  // namespace

int32_t AllowDebug() {
  char text[kValueDataSize + 1];
  return AdapterValue("Debug", text) ? 1 : 0;
}

int32_t SuppressPopups() {
  char text[kValueDataSize + 1];
  return AdapterValue("SuppressPopups", text) ? 1 : 0;
}

uint32_t CheckIOTNumInRegistry() {
  char text[kValueDataSize + 1];
  if (!AdapterValue("IOT", text)) return 0;
  return ReadNumber(SkipZeros(text));
}

int32_t JmsgCheckConnection() {
  if (hCommPort != -1) return STATUS_NOERROR;
  if (fSuppressPopups == 0) fSuppressPopups = static_cast<uint32_t>(SuppressPopups());
  if (wsaStarted == 0) {
    os().socket_startup();
    wsaStarted = 1;
  }
  if (AllowDebug() == 1) OpenTraceConnection();
  if (UserSpecifiedIOTNum == 0) UserSpecifiedIOTNum = CheckIOTNumInRegistry();

  bool searched = false;
  if (CommPortNum == 0 && UserSpecifiedIOTNum == 0) {
    SearchPorts();
    searched = true;
  }
  const bool not_detected =
      (searched && CommPortNum == 0) || (!searched && UserSpecifiedIOTNum != 0 && CommPortNum == 0);
  if (not_detected) {
    ShowNotDetected();
    hCommPort = -1;
    return ERR_DEVICE_NOT_CONNECTED;
  }
  return STATUS_NOERROR;
}

// While no network adapter number is set that number is 0, so device ID 0
// is accepted: older host programs pass 0.
bool IsKnownDeviceId(uint32_t device_id) {
  return device_id == CommPortNum || device_id == UserSpecifiedIOTNum;
}

void ResetDiscoveryState() {
  if (hCommPort != -1) com_close(&hCommPort);
  hCommPort = -1;
  CommPortNum = 0;
  UserSpecifiedCommPort = 0;
  UserSpecifiedIOTNum = 0;
  hIOTSocket = -1;
  SerialNumber = 0;
  fSuppressPopups = 0;
  fNotDetectedPopup = 0;
  wsaStarted = 0;
}

}  // namespace orv

using namespace orv;

extern "C" {

ORV_API int32_t ORV_CALL PassThruOpen(const char* pName, uint32_t* pDeviceID) {
  if (pDeviceID == nullptr) {
    DbgMsg(kMsgError, "PassThruOpen null pointer to device ID");
    return ERR_NULL_PARAMETER;
  }
  if (pName != nullptr) ParseOpenName(pName);
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    *pDeviceID = 0;
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pName != nullptr) {
    DbgMsgf(kMsgApi, "PassThruOpen(%s)", pName);
  } else {
    DbgMsg(kMsgApi, "PassThruOpen");
  }
  *pDeviceID = UserSpecifiedIOTNum != 0 ? UserSpecifiedIOTNum : CommPortNum;
  return STATUS_NOERROR;
}

ORV_API int32_t ORV_CALL PassThruClose(uint32_t /*DeviceID*/) {
  if (JmsgCheckConnection() != STATUS_NOERROR) return ERR_DEVICE_NOT_CONNECTED;
  DbgMsg(kMsgApi, "PassThruClose()");
  com_close(&hCommPort);
  hCommPort = -1;
  CommPortNum = 0;
  ChannelStatus = 0;
  return STATUS_NOERROR;
}

}  // extern "C"
