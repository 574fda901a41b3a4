// Discovery of the adapter, the registry switches and the open name.
#include "link/discovery.h"

#include <cstdlib>
#include <cstring>

#include "link/comdrvr.h"
#include "link/jmsg.h"
#include "link/link_codes.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "platform/platform.h"

namespace orv {

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

}  // namespace

void NoteOpenName(const char* name) {
  if (std::strncmp(name, "COM", 3) == 0) {
    Link().UserSpecifiedCommPort = ReadNumber(name + 3);
  } else if (std::strncmp(name, "IOT:", 4) == 0) {
    Link().UserSpecifiedIOTNum = ReadNumber(SkipZeros(name + 4));
  } else if (std::strncmp(name, "J2534-2:", 8) == 0) {
    Link().UserSpecifiedCommPort = ReadNumber(name + 8);
  }
}

namespace {

void OpenTraceConnection() {
  if (Link().debug_socket != -1) {
    os().trace_close(Link().debug_socket);  // the newer connection replaces it
    Link().debug_socket = -1;
  }
  platform::SocketHandle socket = -1;
  if (os().trace_connect(kTracePort, &socket) == platform::kOk) Link().debug_socket = socket;
}

bool VersionAnswered() {
  return ReplyIs(kDevSystem, kOpRead, kTypeVersion) &&
         (Link().ORVXResponse.size == 2 || Link().ORVXResponse.size == 4);
}

void ReadSerialNumber() {
  if (JmsgSendCmd(kDevSystem, kOpRead, kTypeSerialNumber, 0, 0, nullptr, kSendTimeoutCommand) !=
      kLinkOk) {
    return;
  }
  os().sleep_ms(kSerialWaitMs);
  JmsgReceiveMsgs();
  if (ReplyIs(kDevSystem, kOpRead, kTypeSerialNumber) && Link().ORVXResponse.size > 11) {
    const uint8_t* d = Link().ORVXResponse.data;
    Link().SerialNumber = static_cast<uint32_t>(d[8]) << 24 | static_cast<uint32_t>(d[9]) << 16 |
                          static_cast<uint32_t>(d[10]) << 8 | d[11];
  }
}

// What a search saw of the ports it could not open, for the error text of
// a failed open: the first port that exists but could not be opened (or,
// until one such, the last that does not exist).
struct SearchReport {
  uint32_t port = 0;
  platform::OpenFailure kind = platform::OpenFailure::kOther;
  platform::OsError error = platform::kOk;
  bool refused = false;  // a port refused as unsafe has said why already

  void Note(uint32_t unopened, platform::OsError e) {
    if (port != 0 && kind != platform::OpenFailure::kNoSuchPort) return;
    port = unopened;
    error = e;
    kind = os().serial_open_failure_kind(e);
  }
};

// Leaves the reason of a search that found no adapter on ports `first`
// down to `last` as the last error: why a named port could not be opened,
// else a port found but not opened, else that no adapter answered.
void ReportNotFound(const SearchReport& r, uint32_t first, uint32_t last) {
  if (r.refused) return;
  const auto port = static_cast<unsigned>(r.port);
  const bool named = first == last;
  if (r.port == 0 || (!named && r.kind == platform::OpenFailure::kNoSuchPort)) {
    if (named) {
      DbgMsgf(kMsgError, "no adapter answered on COM%u", static_cast<unsigned>(first));
    } else {
      DbgMsgf(kMsgError, "no adapter answered on COM%u to COM%u", static_cast<unsigned>(first),
              static_cast<unsigned>(last));
    }
    return;
  }
  switch (r.kind) {
    case platform::OpenFailure::kNoSuchPort:
      DbgMsgf(kMsgError, "COM%u: no such port", port);
      break;
    case platform::OpenFailure::kInUse:
      DbgMsgf(kMsgError, "COM%u: in use by another program", port);
      break;
    case platform::OpenFailure::kPermission:
      DbgMsgf(kMsgError, "COM%u: permission denied (is your user in the group dialout?)", port);
      break;
    case platform::OpenFailure::kOther:
      DbgMsgf(kMsgError, "COM%u: cannot be opened (system error %ld)", port,
              static_cast<long>(r.error));
      break;
  }
}

// Probes one port; leaves it open and returns true when an adapter answers.
bool ProbePort(uint32_t port, SearchReport& report) {
  Link().CommPortNum = port;
  Link().com_buf_len = 0;
  if (ComOpen(&Link().hCommPort, port, 115200, 8, 1, 0) != com::kOk) {
    // A port refused as unsafe says why at once; the others after the search.
    if (const char* why = os().serial_open_refusal()) {
      DbgMsg(kMsgError, why);
      report.refused = true;
    } else {
      report.Note(port, ComLastOsError());
    }
    return false;
  }
  DbgMsgf(kMsgLink, "Looking for Orvanta on COM%d port", static_cast<int>(port));
  JmsgSendCmd(kDevSystem, kOpStop, kTypePlain, 0, 0, nullptr, kSendTimeoutCommand);
  os().sleep_ms(kStopSettleMs);
  ComIoctl(&Link().hCommPort, 6, nullptr);
  os().sleep_ms(kPurgeSettleMs);
  ClearReply();
  if (JmsgSendCmd(kDevSystem, kOpRead, kTypeVersion, 0, 0, nullptr, kSendTimeoutCommand) !=
      kLinkOk) {
    return false;
  }
  os().sleep_ms(kVersionWaitMs);
  JmsgReceiveMsgs();
  if (!VersionAnswered()) return false;
  ReadSerialNumber();
  return true;
}

void ClosePort() {
  ComClose(&Link().hCommPort);
  Link().hCommPort = -1;
}

// Walks the ports (the one named, or 1000 down to 1) until one answers.
void SearchPorts() {
  const uint32_t first =
      Link().UserSpecifiedCommPort != 0 ? Link().UserSpecifiedCommPort : kHighestComPort;
  const uint32_t last = Link().UserSpecifiedCommPort != 0 ? Link().UserSpecifiedCommPort : 1;
  SearchReport report;
  for (uint32_t port = first; port >= last && port != 0; --port) {
    if (ProbePort(port, report)) return;
    ClosePort();
  }
  Link().CommPortNum = 0;
  ReportNotFound(report, first, last);
}

void ShowNotDetected() {
  if (Link().fNotDetectedPopup != 0 || Link().fSuppressPopups != 0) return;
  os().message_box("Orvanta not detected", "ERROR");
  Link().fNotDetectedPopup = 1;
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
  if (Link().hCommPort != -1) return kLinkOk;
  if (Link().fSuppressPopups == 0) Link().fSuppressPopups = static_cast<uint32_t>(SuppressPopups());
  if (Link().wsaStarted == 0) {
    os().socket_startup();
    Link().wsaStarted = 1;
  }
  if (AllowDebug() == 1) OpenTraceConnection();
  if (Link().UserSpecifiedIOTNum == 0) Link().UserSpecifiedIOTNum = CheckIOTNumInRegistry();

  bool searched = false;
  if (Link().CommPortNum == 0 && Link().UserSpecifiedIOTNum == 0) {
    SearchPorts();
    searched = true;
  }
  const bool not_detected =
      (searched && Link().CommPortNum == 0) ||
      (!searched && Link().UserSpecifiedIOTNum != 0 && Link().CommPortNum == 0);
  if (not_detected) {
    ShowNotDetected();
    Link().hCommPort = -1;
    return kLinkNoAdapter;
  }
  return kLinkOk;
}

// While no network adapter number is set that number is 0, so device ID 0
// is accepted: older host programs pass 0.
bool IsKnownDeviceId(uint32_t device_id) {
  return device_id == Link().CommPortNum || device_id == Link().UserSpecifiedIOTNum;
}

uint32_t OpenedDeviceId() {
  return Link().UserSpecifiedIOTNum != 0 ? Link().UserSpecifiedIOTNum : Link().CommPortNum;
}

void CloseAdapterPort() {
  ComClose(&Link().hCommPort);
  Link().hCommPort = -1;
  Link().CommPortNum = 0;
}

}  // namespace orv
