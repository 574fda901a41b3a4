// The device and channel ioctls behind PassThruIoctl: device and protocol
// information, the five voltage reads, digital reads and writes, clearing
// of the periodic and filter tables, the two K-line initialisations, the
// timer reset, the time-stamp form, the CAN D2 flow-control setup and the
// display test.
//
// Waits poll the receive pass (or PassThruReadMsgs) against the tick
// count, never sleeping: 15 s for a reading, 5 s for five-baud key bytes,
// 1 s for the fast-init answer.
//
// Failure reporting: J2534 status codes with an 'E' text (CAN_D2_FLOW_CONTROL
// on a channel other than 5 or 11 answers 3 silently). A null pointer or a
// byte array too short for what the ioctl reads or writes answers
// ERR_NULL_PARAMETER before anything is sent.
#include <algorithm>
#include <array>
#include <cstring>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/answer_wait.h"
#include "passthru/api.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/filter_table.h"
#include "passthru/ioctl_handlers.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "platform/platform.h"

namespace orv {
namespace {

constexpr uint16_t kAdcPending = 0xFFFF;
constexpr uint8_t kDioPending = 0xFF;
// The adapter reports analogue readings in units of 10 mV.
constexpr uint32_t kMillivoltsPerAdcUnit = 10;

constexpr uint32_t kFiveBaudWaitMs = 5000;
constexpr uint32_t kFastInitWaitMs = 1000;
constexpr uint32_t kInitReadTimeoutMs = 100;
constexpr uint32_t kFastInitWriteTimeoutMs = 500;

// ISO_SETUP init_type bits.
constexpr uint8_t kInitNoChecksum = 0x80;
constexpr uint8_t kInitFiveBaud = 0x20;
constexpr uint8_t kInitFast = 0x10;

constexpr uint8_t kTimerResetFlag = 0x20;
constexpr uint8_t kD2FlowControlFlag = 0x80;

void ReportNullParameter() {
  DbgMsg(kMsgError, "PassThruIoctl null parameter");
}

// --- device and protocol information -------------------------------------------------

struct InfoEntry {
  uint32_t parameter;
  const char* trace;  // null: no trace line
  uint32_t value;
  bool serial_number = false;  // the value is the adapter's serial number
};

constexpr std::array<InfoEntry, 16> kDeviceInfo{{
    {1, "  SERIAL_NUMBER", 0, true},
    {4, "  ISO1941_SUPPORTED", 0x10001},
    {5, "  ISO1941_SUPPORTED", 0x10001},
    {6, "  CAN_SUPPORTED", 0x20001},
    {7, "  CAN_SUPPORTED", 0x20001},
    {21, "  ANALOG_IN_SUPPORTED", 0x20000},
    {55, "  ISO1941_SIMULTANEOUS", 0x10001},
    {56, "  ISO1941_SIMULTANEOUS", 0x10001},
    {57, "  CAN_SIMULTANEOUS", 0x20001},
    {58, "  CAN_SIMULTANEOUS", 0x20001},
    {72, "  ANALOG_IN_SIMULTANEOUS", 0x20000},
    {73, "  PART_NUMBER", 2003},
    {76, "  FD_CAN_SUPPORTED", 0x20000},
    {77, "  FD_CAN_SUPPORTED", 0x20000},
    {78, "  FD_CAN_SIMULTANEOUS", 0x20000},
    {79, "  FD_CAN_SIMULTANEOUS", 0x20000},
}};

// The same for every channel.
constexpr std::array<InfoEntry, 14> kProtocolInfo{{
    {2, nullptr, 64},   // filter table entries
    {4, nullptr, 68},   // data bytes of one link frame
    {5, nullptr, 100},  // periodic table entries
    {6, nullptr, 68},
    {16, nullptr, 1},
    {17, nullptr, 1},
    {18, nullptr, 64},
    {20, nullptr, 2},
    {21, nullptr, 1000},
    {22, nullptr, 1},
    {23, nullptr, 12},
    {24, nullptr, 0},
    {25, nullptr, 20000},
    {27, nullptr, 1},
}};

template <size_t N>
int32_t AnswerInfoList(const std::array<InfoEntry, N>& table, void* pOutput) {
  auto* list = static_cast<SPARAM_LIST*>(pOutput);
  if (list == nullptr || (list->NumOfParams != 0 && list->ParamPtr == nullptr)) {
    ReportNullParameter();
    return ERR_NULL_PARAMETER;
  }
  for (uint32_t i = 0; i < list->NumOfParams; ++i) {
    SPARAM& param = list->ParamPtr[i];
    param.Supported = 1;
    const auto* entry = std::find_if(table.begin(), table.end(), [&](const InfoEntry& e) {
      return e.parameter == param.Parameter;
    });
    if (entry == table.end()) {
      param.Supported = 0;
      DbgMsgf(kMsgError, "Requested Ioctl parameter (%ld) not supported",
              static_cast<long>(param.Parameter));
      return ERR_NOT_SUPPORTED;
    }
    if (entry->trace != nullptr) DbgMsg(kMsgApi, entry->trace);
    param.Value = entry->serial_number ? Link().SerialNumber : entry->value;
  }
  return STATUS_NOERROR;
}

// --- readings -------------------------------------------------------------------------

struct AnalogRead {
  uint32_t ioctl_id;
  const char* trace;
  uint8_t input;  // the adapter's input number
};

constexpr std::array<AnalogRead, 5> kAnalogReads{{
    {READ_PROG_VOLTAGE, "  READ_PROG_VOLTAGE", 0},
    {READ_VBATT, "  READ_VBATT", 1},
    {READ_CH2_VOLTAGE, "  READ_CH2_VOLTAGE", 2},
    {READ_CH3_VOLTAGE, "  READ_CH3_VOLTAGE", 3},
    {READ_CH1_VOLTAGE, "  READ_CH1_VOLTAGE", 4},  // channel 1 is input 4
}};

int32_t ReadAnalog(const AnalogRead& read, void* pOutput) {
  DbgMsg(kMsgApi, read.trace);
  auto* millivolts = static_cast<uint32_t*>(pOutput);
  if (millivolts == nullptr) {
    ReportNullParameter();
    return ERR_NULL_PARAMETER;
  }
  Link().AdcReadings[read.input] = kAdcPending;
  const int32_t rc =
      JmsgSendCmd(kDevAdc, kOpRead, kTypePlain, 0, 1, &read.input, kSendTimeoutCommand);
  if (rc != STATUS_NOERROR) {
    DbgMsgf(kMsgError, "PassThruIoctl: ADC read JmsgSendCmd returned %ld", static_cast<long>(rc));
    return ERR_FAILED;
  }
  if (!AwaitAnswer([&] { return Link().AdcReadings[read.input] != kAdcPending; }, kAnswerWaitMs)) {
    DbgMsg(kMsgError, "PassThruIoctl ADC read timeout");
    return ERR_TIMEOUT;
  }
  *millivolts = uint32_t{Link().AdcReadings[read.input]} * kMillivoltsPerAdcUnit;
  return STATUS_NOERROR;
}

int32_t ReadDigital(uint8_t line, const char* trace, void* pOutput) {
  DbgMsg(kMsgApi, trace);
  auto* level = static_cast<uint32_t*>(pOutput);
  if (level == nullptr) {
    ReportNullParameter();
    return ERR_NULL_PARAMETER;
  }
  Link().DioReadings[line] = kDioPending;
  const int32_t rc = JmsgSendCmd(kDevDio, kOpRead, kTypePlain, 0, 1, &line, kSendTimeoutCommand);
  if (rc != STATUS_NOERROR) {
    DbgMsgf(kMsgError, "PassThruIoctl: DIO read JmsgSendCmd returned %ld", static_cast<long>(rc));
    return ERR_FAILED;
  }
  if (!AwaitAnswer([&] { return Link().DioReadings[line] != kDioPending; }, kAnswerWaitMs)) {
    DbgMsg(kMsgError, "PassThruIoctl DIO read timeout");
    return ERR_TIMEOUT;
  }
  *level = Link().DioReadings[line];
  return STATUS_NOERROR;
}

int32_t WriteDigital(uint8_t line, const char* trace, const void* pInput) {
  DbgMsg(kMsgApi, trace);
  if (pInput == nullptr) {
    ReportNullParameter();
    return ERR_NULL_PARAMETER;
  }
  const uint8_t data[] = {line, *static_cast<const uint8_t*>(pInput)};
  const int32_t rc =
      JmsgSendCmd(kDevDio, kOpWrite, kTypePlain, 0, sizeof data, data, kSendTimeoutCommand);
  if (rc != STATUS_NOERROR) {
    DbgMsgf(kMsgError, "PassThruIoctl: DIO write JmsgSendCmd returned %ld", static_cast<long>(rc));
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

// --- table clearing -------------------------------------------------------------------

// Stops every periodic entry last used on the channel's device, stopped
// ones again. Channel IDs without a device match no entry.
int32_t ClearPeriodicMsgs(uint32_t channel, uint8_t device) {
  DbgMsg(kMsgApi, "  CLEAR_PERIODIC_MSGS");
  if (device == 0) return STATUS_NOERROR;
  for (uint32_t index = 0; index < kPeriodicEntries; ++index) {
    if (State().periodic.entries[index].dev == device) api::StopPeriodicMsg(channel, index);
  }
  return STATUS_NOERROR;
}

int32_t ClearMsgFilters(uint32_t channel, uint8_t device) {
  DbgMsg(kMsgApi, "  CLEAR_MSG_FILTERS");
  if (device == 0) return STATUS_NOERROR;
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    const JMSG& mask = State().filters.mask[slot];
    if (mask.dev == device && mask.size != 0) api::StopMsgFilter(channel, slot);
  }
  return STATUS_NOERROR;
}

// --- K-line initialisation ------------------------------------------------------------

// Sends the K-line setup carrying one initialisation request, then takes
// the request back out of the record so later setups carry none. Only the
// no-checksum bit survives.
void SendInitRequest(uint8_t request, const char* failure_text) {
  State().channels.ISO9141Setup.init_type =
      static_cast<uint8_t>((State().channels.ISO9141Setup.init_type & kInitNoChecksum) + request);
  if (SendIsoSetup(State().channels.ISO9141Setup) != STATUS_NOERROR)
    DbgMsg(kMsgError, failure_text);
  State().channels.ISO9141Setup.init_type &= kInitNoChecksum;
}

bool ByteArrayHolds(const SBYTE_ARRAY* array, uint32_t bytes) {
  return array != nullptr && array->BytePtr != nullptr && array->NumOfBytes >= bytes;
}

int32_t FiveBaudInit(uint32_t channel, void* pInput, void* pOutput) {
  DbgMsg(kMsgApi, "  FIVE_BAUD_INIT");
  if (channel != kChannelIso9141 && channel != kChannelIso14230) {
    DbgMsg(kMsgError, "Invalid channel ID for FIVE_BAUD_INIT");
    return ERR_INVALID_CHANNEL_ID;
  }
  const auto* target = static_cast<const SBYTE_ARRAY*>(pInput);
  auto* key_bytes = static_cast<SBYTE_ARRAY*>(pOutput);
  if (!ByteArrayHolds(target, 1) || !ByteArrayHolds(key_bytes, 2)) {
    ReportNullParameter();
    return ERR_NULL_PARAMETER;
  }
  State().options.ISO9141Keyword1 = 0;
  State().options.ISO9141Keyword2 = 0;
  State().options.ISO9141Address = 0;
  State().channels.ISO9141Setup.init_address = target->BytePtr[0];
  SendInitRequest(kInitFiveBaud, "Cannot start the FIVE_BAUD_INIT");

  // The message receive files the key bytes; the messages read are not
  // the caller's.
  const uint32_t start = platform::current().tick_ms();
  while (platform::current().tick_ms() - start < kFiveBaudWaitMs) {
    PASSTHRU_MSG scratch;
    uint32_t count = 1;
    api::ReadMsgs(channel, &scratch, &count, kInitReadTimeoutMs);
    if (State().options.ISO9141Keyword1 != 0 || State().options.ISO9141Keyword2 != 0) break;
  }
  // No key bytes within five seconds is no failure: the caller gets zeros.
  key_bytes->BytePtr[0] = State().options.ISO9141Keyword1;
  key_bytes->BytePtr[1] = State().options.ISO9141Keyword2;
  return STATUS_NOERROR;
}

bool IsFastInitAnswer(const PASSTHRU_MSG& msg) {
  return (msg.RxStatus & (TX_MSG_TYPE | START_OF_MESSAGE)) == 0;
}

int32_t FastInit(uint32_t channel, void* pInput, void* pOutput) {
  DbgMsg(kMsgApi, "  FAST_INIT");
  auto* request = static_cast<PASSTHRU_MSG*>(pInput);
  auto* answer = static_cast<PASSTHRU_MSG*>(pOutput);
  if (request == nullptr || answer == nullptr) {
    ReportNullParameter();
    return ERR_NULL_PARAMETER;
  }
  SendInitRequest(kInitFast, "Cannot start the FAST_INIT");

  uint32_t count = 1;
  const int32_t rc = api::WriteMsgs(channel, request, &count, kFastInitWriteTimeoutMs);
  if (rc != STATUS_NOERROR) return rc;

  const uint32_t start = platform::current().tick_ms();
  while (platform::current().tick_ms() - start < kFastInitWaitMs) {
    PASSTHRU_MSG msg;
    count = 1;
    // A read that reports the K-line queue's overflow still delivers its
    // message: the answer may be the one that came with the overflow.
    const int32_t read = api::ReadMsgs(channel, &msg, &count, kInitReadTimeoutMs);
    if ((read == STATUS_NOERROR || read == ERR_BUFFER_OVERFLOW) && count == 1 &&
        IsFastInitAnswer(msg)) {
      *answer = msg;
      return STATUS_NOERROR;
    }
  }
  DbgMsg(kMsgError, "No response to FAST_INIT");
  return ERR_FAILED;
}

// --- adapter controls -------------------------------------------------------------------

int32_t ResetTimer() {
  DbgMsg(kMsgApi, "  RESET_TIMER");
  // The timer-reset frame carries 0x20 alone, without the option bits.
  if (JmsgSendCmd(kDevSystem, kOpWrite, kTypePlain, kTimerResetFlag, 0, nullptr,
                  kSendTimeoutCommand) != STATUS_NOERROR) {
    DbgMsg(kMsgError, "Cannot RESET_TIMER");
  }
  return STATUS_NOERROR;
}

int32_t SetTimestampForm(uint8_t msec, const char* trace) {
  DbgMsg(kMsgApi, trace);
  State().options.TimestampMsec = msec;
  return STATUS_NOERROR;
}

// The request lives only in the frame's flags; the record is unchanged.
int32_t CanD2FlowControl(uint32_t channel) {
  DbgMsg(kMsgApi, "  CAN_D2_FLOW_CONTROL");
  if (channel != kChannelCan && channel != kChannelMsCan) return ERR_INVALID_PROTOCOL_ID;
  const CAN_SETUP& setup =
      channel == kChannelCan ? State().channels.CANSetup : State().channels.MSCANSetup;
  if (SendCanSetup(SetupDevice(channel), setup, kD2FlowControlFlag) != STATUS_NOERROR) {
    DbgMsg(kMsgError, "Cannot setup CAN_D2_FLOW_CONTROL");
  }
  return STATUS_NOERROR;
}

// Mode 2, two zero bytes, then the 16-byte text field.
constexpr size_t kDisplayFrameSize = 19;
constexpr size_t kDisplayTextOffset = 3;
constexpr char kDisplayTestText[] = "IOT Test";

int32_t WriteLcdTest() {
  JMSG frame{};
  frame.size = kDisplayFrameSize;
  frame.dev = kDevDisplay;
  frame.op = kOpWrite;
  frame.type = kTypePlain;
  frame.data[0] = 2;
  std::memcpy(frame.data + kDisplayTextOffset, kDisplayTestText, sizeof kDisplayTestText - 1);
  const int32_t rc = JmsgSendMsgs(&frame, 1, kSendTimeoutCommand);
  if (rc != STATUS_NOERROR) {
    DbgMsgf(kMsgError, "PassThruIoctl: LCD write JmsgSendMsgs returned %ld", static_cast<long>(rc));
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

}  // namespace

bool DeviceIoctlWaitsForAnswer(uint32_t ioctl_id) {
  for (const AnalogRead& read : kAnalogReads) {
    if (read.ioctl_id == ioctl_id) return true;
  }
  // The timer reset goes to the adapter's system device, whose answers
  // share the reply slot.
  return ioctl_id == READ_DIO1 || ioctl_id == READ_DIO2 || ioctl_id == RESET_TIMER;
}

int32_t HandleDeviceIoctl(uint32_t channel_id, uint8_t device, uint32_t ioctl_id, void* pInput,
                          void* pOutput) {
  for (const AnalogRead& read : kAnalogReads) {
    if (read.ioctl_id == ioctl_id) return ReadAnalog(read, pOutput);
  }
  switch (ioctl_id) {
    case GET_DEVICE_INFO:
      DbgMsg(kMsgApi, "  GET_DEVICE_INFO");
      return AnswerInfoList(kDeviceInfo, pOutput);
    case GET_PROTOCOL_INFO:
      DbgMsg(kMsgApi, "  GET_PROTOCOL_INFO");
      return AnswerInfoList(kProtocolInfo, pOutput);
    case READ_DIO1:
      return ReadDigital(1, "  READ_DIO1", pOutput);
    case READ_DIO2:
      return ReadDigital(2, "  READ_DIO2", pOutput);
    case WRITE_DIO1:
      return WriteDigital(1, "  WRITE_DIO1", pInput);
    case WRITE_DIO2:
      return WriteDigital(2, "  WRITE_DIO2", pInput);
    case CLEAR_PERIODIC_MSGS:
      return ClearPeriodicMsgs(channel_id, device);
    case CLEAR_MSG_FILTERS:
      return ClearMsgFilters(channel_id, device);
    case FIVE_BAUD_INIT:
      return FiveBaudInit(channel_id, pInput, pOutput);
    case FAST_INIT:
      return FastInit(channel_id, pInput, pOutput);
    case RESET_TIMER:
      return ResetTimer();
    case TIMESTAMP_MSEC:
      return SetTimestampForm(1, "  TIMESTAMP_MSEC");
    case TIMESTAMP_USEC:
      return SetTimestampForm(0, "  TIMESTAMP_USEC");
    case CAN_D2_FLOW_CONTROL:
      return CanD2FlowControl(channel_id);
    case WRITE_LCD_TEST:
      return WriteLcdTest();
    default:
      DbgMsg(kMsgError, "Ioctl function not supported");
      return ERR_NOT_SUPPORTED;
  }
}

}  // namespace orv
