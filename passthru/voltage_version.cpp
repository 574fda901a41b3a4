// PassThruSetProgrammingVoltage and PassThruReadVersion: the two
// device-level exports that talk to the adapter outside any channel.
//
// Failure reporting: J2534 status codes, each failure with its 'E' text
// through DbgMsg, except an unknown device ID, which answers 26 silently.
#include <array>
#include <cstdio>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/answer_wait.h"
#include "passthru/api.h"
#include "passthru/call_sync.h"
#include "platform/platform.h"

using namespace orv;

namespace {

// Pin 13 of the J1962 connector is the only programming-voltage output.
constexpr uint32_t kHighestPin = 16;
constexpr uint32_t kProgrammingPin = 13;
constexpr uint32_t kMaxMillivolts = 5000;
// The adapter needs this long to settle the output after a change.
constexpr uint32_t kVoltageSettleMs = 500;

// Version texts are at most 15 characters ("255.255.255.255").
constexpr size_t kVersionTextSize = 16;

// DAC_SETUP on the wire: voltage (u16, little-endian), pin, a pad byte.
std::array<uint8_t, 4> DacSetupBytes(uint16_t millivolts, uint8_t pin) {
  return {static_cast<uint8_t>(millivolts & 0xFF), static_cast<uint8_t>(millivolts >> 8), pin, 0};
}

void FormatFirmwareVersion(const JMSG& answer, char* text) {
  if (answer.size == 2) {
    std::snprintf(text, kVersionTextSize, "%02d.%02d", answer.data[0], answer.data[1]);
  } else {
    std::snprintf(text, kVersionTextSize, "%d.%d.%d.%d", answer.data[2], answer.data[3],
                  answer.data[0], answer.data[1]);
  }
}

}  // namespace

int32_t orv::api::SetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber, uint32_t Voltage) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruSetProgrammingVoltage device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  DbgMsgf(kMsgApi, "PassThruSetProgrammingVoltage(%ld, %ld)", static_cast<long>(PinNumber),
          static_cast<long>(Voltage));
  if (PinNumber > kHighestPin) {
    DbgMsg(kMsgError, "PassThruSetProgrammingVoltage invalid pin number");
    return ERR_PIN_INVALID;
  }
  if (PinNumber != kProgrammingPin) {
    DbgMsg(kMsgError, "PassThruSetProgrammingVoltage pin number not supported");
    return ERR_NOT_SUPPORTED;
  }
  uint32_t millivolts = Voltage;
  if (Voltage == VOLTAGE_OFF || Voltage == SHORT_TO_GROUND) {
    millivolts = 0;  // both switch the output off
  } else if (Voltage > kMaxMillivolts) {
    DbgMsg(kMsgError, "PassThruSetProgrammingVoltage voltage exceeded limit");
    return ERR_EXCEEDED_LIMIT;
  }
  if (!IsKnownDeviceId(DeviceID)) return ERR_INVALID_DEVICE_ID;

  const auto dac_setup =
      DacSetupBytes(static_cast<uint16_t>(millivolts), static_cast<uint8_t>(kProgrammingPin));
  const int32_t rc = JmsgSendCmd(kDevDac, kOpWrite, kTypeSetup, 0, dac_setup.size(),
                                 dac_setup.data(), kSendTimeoutCommand);
  if (rc != STATUS_NOERROR) {
    DbgMsgf(kMsgError, "PassThruSetProgrammingVoltage: JmsgSendCmd returned %ld",
            static_cast<long>(rc));
    return ERR_FAILED;
  }
  SleepReleasingState(kVoltageSettleMs);
  return STATUS_NOERROR;
}

int32_t orv::api::ReadVersion(uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                              char* pApiVersion) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruReadVersion device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pFirmwareVersion == nullptr || pDllVersion == nullptr || pApiVersion == nullptr) {
    DbgMsg(kMsgError, "PassThruReadVersion null parameter");
    return ERR_NULL_PARAMETER;
  }
  if (!IsKnownDeviceId(DeviceID)) return ERR_INVALID_DEVICE_ID;
  DbgMsg(kMsgApi, "PassThruReadVersion(pFW, pDLL, pAPI)");

  ClearReply();
  const int32_t rc =
      JmsgSendCmd(kDevSystem, kOpRead, kTypeVersion, 0, 0, nullptr, kSendTimeoutCommand);
  if (rc != STATUS_NOERROR) {
    DbgMsgf(kMsgError, "PassThruReadVersion: JmsgSendCmd returned %ld", static_cast<long>(rc));
    return ERR_FAILED;
  }
  if (!AwaitReply(kDevSystem, kOpRead, kTypeVersion, kAnswerWaitMs)) {
    DbgMsg(kMsgError, "PassThruReadVersion: No response");
    return ERR_FAILED;
  }
  FormatFirmwareVersion(Link().ORVXResponse, pFirmwareVersion);
  std::snprintf(pDllVersion, kVersionTextSize, "%02d.%02d", 2, 10);
  std::snprintf(pApiVersion, kVersionTextSize, "%s", "04.04");
  return STATUS_NOERROR;
}
