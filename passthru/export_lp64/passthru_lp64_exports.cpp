// The unsigned long export face (liborvanta_passthru_lp64): the pass-thru
// API as host programs built on 64-bit Linux from SAE's header call it,
// with every numeric argument, output and record field an unsigned long and
// every result a long. Each function converts at this face and hands the
// call to the typed core function (passthru/api.h) under the call guard,
// as the 32-bit face does.
//
// Values that do not fit the core's 32 bits are never cut short: an
// identifier (device, channel, protocol, message, filter, ioctl, parameter,
// pin) becomes kNoSuchId, which the core refuses as it refuses any unknown
// one; a DataSize becomes one the core refuses; any other quantity is
// refused here with the code the core gives for an invalid one.
//
// Records are converted one at a time or in chunks of kChunk on the stack:
// nothing is allocated, whatever the caller's count.
#define ORV_J2534_NO_FUNCTIONS  // this face declares the API with its own types
#include <algorithm>
#include <cstring>

#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/api_guard.h"
#include "platform/platform.h"

namespace orv::lp64 {
namespace {

using ulong = unsigned long;
using api::CallGuard;
using api::CallKind;

// The records of the unsigned long header (ORVANTA_J2534_LP64).
struct Msg {
  ulong ProtocolID;
  ulong RxStatus;
  ulong TxFlags;
  ulong Timestamp;
  ulong DataSize;
  ulong ExtraDataIndex;
  uint8_t Data[PASSTHRU_MSG_DATA_SIZE];
};
struct Config {
  ulong Parameter;
  ulong Value;
};
struct ConfigList {
  ulong NumOfParams;
  Config* ConfigPtr;
};
struct ByteArray {
  ulong NumOfBytes;
  uint8_t* BytePtr;
};
struct Param {
  ulong Parameter;
  ulong Value;
  ulong Supported;
};
struct ParamList {
  ulong NumOfParams;
  Param* ParamPtr;
};
static_assert(offsetof(Msg, Data) == 6 * sizeof(ulong));

constexpr uint32_t kNoSuchId = UINT32_MAX;  // no device, channel, protocol, ... has this ID
constexpr uint32_t kChunk = 4;              // records converted per core call
constexpr uint32_t kConfigChunk = 16;

bool Fits(ulong value) {
  return value <= UINT32_MAX;
}
uint32_t IdOrNone(ulong id) {
  return Fits(id) ? static_cast<uint32_t>(id) : kNoSuchId;
}
uint32_t Saturated(ulong value) {
  return Fits(value) ? static_cast<uint32_t>(value) : UINT32_MAX;
}

// Refuses a call whose argument `what` does not fit 32 bits, with `status`
// and a last-error text.
long Refuse(long status, const char* call, const char* what) {
  const CallGuard guard;
  DbgMsgf(kMsgError, "%s %s out of range", call, what);
  return status;
}

// Host record to core record. A DataSize or ProtocolID too large for the
// core becomes one it refuses; TxFlags that do not fit are refused here.
long ToCore(const Msg& in, PASSTHRU_MSG& out) {
  if (!Fits(in.TxFlags)) return ERR_INVALID_FLAGS;
  out.ProtocolID = IdOrNone(in.ProtocolID);
  out.RxStatus = Saturated(in.RxStatus);
  out.TxFlags = static_cast<uint32_t>(in.TxFlags);
  out.Timestamp = Saturated(in.Timestamp);
  out.DataSize = Saturated(in.DataSize);
  out.ExtraDataIndex = Saturated(in.ExtraDataIndex);
  std::memcpy(out.Data, in.Data, std::min<ulong>(in.DataSize, PASSTHRU_MSG_DATA_SIZE));
  return STATUS_NOERROR;
}

void FromCore(const PASSTHRU_MSG& in, Msg& out) {
  out.ProtocolID = in.ProtocolID;
  out.RxStatus = in.RxStatus;
  out.TxFlags = in.TxFlags;
  out.Timestamp = in.Timestamp;
  out.DataSize = in.DataSize;
  out.ExtraDataIndex = in.ExtraDataIndex;
  std::memcpy(out.Data, in.Data, std::min<uint32_t>(in.DataSize, PASSTHRU_MSG_DATA_SIZE));
}

// One optional message argument converted for the core: null stays null.
struct InMsg {
  PASSTHRU_MSG core{};
  long status = STATUS_NOERROR;
  PASSTHRU_MSG* ptr = nullptr;
  explicit InMsg(const Msg* host) {
    if (host == nullptr) return;
    status = ToCore(*host, core);
    ptr = &core;
  }
};

// A 32-bit output for the core, widened into the caller's (if any) by
// Done() when the call succeeded: a failed call leaves it as it was.
class OutNumber {
 public:
  explicit OutNumber(ulong* host) : host_(host) {}
  uint32_t* get() { return host_ != nullptr ? &value_ : nullptr; }
  long Done(long status) {
    if (status == STATUS_NOERROR && host_ != nullptr) *host_ = value_;
    return status;
  }

 private:
  ulong* host_;
  uint32_t value_ = 0;
};

// What is left of `timeout` ms since `start` (0 stays 0: "do not wait").
uint32_t RemainingMs(uint32_t timeout, uint32_t start) {
  const uint32_t elapsed = platform::current().tick_ms() - start;
  return elapsed < timeout ? timeout - elapsed : 0;
}

long ReadMsgs(uint32_t channel, Msg* msgs, ulong* num_msgs, uint32_t timeout) {
  const ulong wanted = *num_msgs;
  const uint32_t start = platform::current().tick_ms();
  PASSTHRU_MSG chunk[kChunk];
  ulong done = 0;
  long status = STATUS_NOERROR;
  do {
    const auto ask = static_cast<uint32_t>(std::min<ulong>(wanted - done, kChunk));
    uint32_t got = ask;  // the core sets it to the records it filled, 0 on a failure
    {
      const CallGuard guard;
      status =
          api::ReadMsgs(channel, chunk, &got, done == 0 ? timeout : RemainingMs(timeout, start));
    }
    got = std::min(got, ask);
    for (uint32_t i = 0; i < got; ++i) FromCore(chunk[i], msgs[done + i]);
    done += got;
    if (status != STATUS_NOERROR || got < ask) break;
  } while (done < wanted);
  *num_msgs = done;
  // A later chunk that found nothing more, or failed, ends the call as the
  // core ends a call that got some of the messages; the failure shows at
  // the next call.
  if (done > 0 && status != STATUS_NOERROR && status != ERR_BUFFER_OVERFLOW &&
      status != ERR_TIMEOUT) {
    status = timeout == 0 ? STATUS_NOERROR : ERR_TIMEOUT;
  }
  return status;
}

long WriteMsgs(uint32_t channel, const Msg* msgs, ulong* num_msgs, uint32_t timeout) {
  const ulong wanted = *num_msgs;
  const uint32_t start = platform::current().tick_ms();
  PASSTHRU_MSG chunk[kChunk];
  ulong done = 0;
  long status = STATUS_NOERROR;
  do {
    uint32_t ready = 0;
    long refused = STATUS_NOERROR;
    while (ready < kChunk && done + ready < wanted && refused == STATUS_NOERROR) {
      refused = ToCore(msgs[done + ready], chunk[ready]);
      if (refused == STATUS_NOERROR) ++ready;
    }
    const uint32_t wait = done == 0 ? timeout : RemainingMs(timeout, start);
    if (done != 0 && timeout != 0 && wait == 0) {
      status = ERR_TIMEOUT;
      break;
    }
    uint32_t sent = ready;
    if (ready != 0 || wanted == 0) {
      const CallGuard guard;
      status = api::WriteMsgs(channel, chunk, &sent, wait);
    }
    done += std::min(sent, ready);
    if (status == STATUS_NOERROR && refused != STATUS_NOERROR) {
      *num_msgs = done;
      return Refuse(refused, "PassThruWriteMsgs", "TxFlags");
    }
    if (status != STATUS_NOERROR || sent < ready) break;
  } while (done < wanted);
  *num_msgs = done;
  return status;
}

// GET_CONFIG / SET_CONFIG in chunks: the core handles the parameters in
// order and stops at the first it refuses, so chunks keep its behaviour.
long ConfigIoctl(uint32_t channel, uint32_t ioctl_id, ConfigList* list) {
  if (list == nullptr || (list->NumOfParams != 0 && list->ConfigPtr == nullptr)) {
    const CallGuard guard;
    return api::Ioctl(channel, ioctl_id, nullptr, nullptr);  // the core's null refusal
  }
  SCONFIG chunk[kConfigChunk];
  ulong done = 0;
  do {
    const auto count =
        static_cast<uint32_t>(std::min<ulong>(list->NumOfParams - done, kConfigChunk));
    for (uint32_t i = 0; i < count; ++i) {
      const Config& host = list->ConfigPtr[done + i];
      if (ioctl_id == SET_CONFIG && !Fits(host.Value)) {
        return Refuse(ERR_INVALID_IOCTL_VALUE, "SET_CONFIG", "Value");
      }
      chunk[i] = {IdOrNone(host.Parameter), Saturated(host.Value)};
    }
    SCONFIG_LIST core{count, chunk};
    long status = STATUS_NOERROR;
    {
      const CallGuard guard;
      status = api::Ioctl(channel, ioctl_id, &core, nullptr);
    }
    if (status != STATUS_NOERROR) return status;
    for (uint32_t i = 0; i < count; ++i) list->ConfigPtr[done + i].Value = chunk[i].Value;
    done += count;
  } while (done < list->NumOfParams);
  return STATUS_NOERROR;
}

long InfoIoctl(uint32_t channel, uint32_t ioctl_id, ParamList* list) {
  if (list == nullptr || (list->NumOfParams != 0 && list->ParamPtr == nullptr)) {
    const CallGuard guard(CallKind::kAnswerSlot);
    return api::Ioctl(channel, ioctl_id, nullptr, nullptr);
  }
  SPARAM chunk[kConfigChunk];
  ulong done = 0;
  do {
    const auto count =
        static_cast<uint32_t>(std::min<ulong>(list->NumOfParams - done, kConfigChunk));
    for (uint32_t i = 0; i < count; ++i) {
      chunk[i] = {IdOrNone(list->ParamPtr[done + i].Parameter), 0, 0};
    }
    SPARAM_LIST core{count, chunk};
    long status = STATUS_NOERROR;
    {
      const CallGuard guard(CallKind::kAnswerSlot);
      status = api::Ioctl(channel, ioctl_id, nullptr, &core);
    }
    if (status != STATUS_NOERROR) return status;
    for (uint32_t i = 0; i < count; ++i) {
      list->ParamPtr[done + i].Value = chunk[i].Value;
      list->ParamPtr[done + i].Supported = chunk[i].Supported;
    }
    done += count;
  } while (done < list->NumOfParams);
  return STATUS_NOERROR;
}

// An SBYTE_ARRAY for the core. NumOfBytes is a capacity: one beyond 32
// bits holds at least as much as UINT32_MAX says.
struct InBytes {
  SBYTE_ARRAY core{};
  SBYTE_ARRAY* ptr = nullptr;
  explicit InBytes(const ByteArray* host) {
    if (host == nullptr) return;
    core = {Saturated(host->NumOfBytes), host->BytePtr};
    ptr = &core;
  }
};

long Ioctl(uint32_t channel, uint32_t ioctl_id, void* input, void* output) {
  switch (ioctl_id) {
    case GET_CONFIG:
    case SET_CONFIG:
      return ConfigIoctl(channel, ioctl_id, static_cast<ConfigList*>(input));
    case GET_DEVICE_INFO:
    case GET_PROTOCOL_INFO:
      return InfoIoctl(channel, ioctl_id, static_cast<ParamList*>(output));
    case READ_VBATT:
    case READ_PROG_VOLTAGE:
    case READ_CH1_VOLTAGE:
    case READ_CH2_VOLTAGE:
    case READ_CH3_VOLTAGE:
    case READ_DIO1:
    case READ_DIO2: {
      OutNumber value(static_cast<ulong*>(output));
      const CallGuard guard(CallKind::kAnswerSlot);
      return value.Done(api::Ioctl(channel, ioctl_id, input, value.get()));
    }
    case FIVE_BAUD_INIT: {
      InBytes target(static_cast<const ByteArray*>(input));
      InBytes key_bytes(static_cast<const ByteArray*>(output));
      const CallGuard guard(api::IoctlCallKind(ioctl_id));
      return api::Ioctl(channel, ioctl_id, target.ptr, key_bytes.ptr);
    }
    case FAST_INIT: {
      InMsg request(static_cast<const Msg*>(input));
      if (request.status != STATUS_NOERROR) return Refuse(request.status, "FAST_INIT", "TxFlags");
      PASSTHRU_MSG answer{};
      long status = STATUS_NOERROR;
      {
        const CallGuard guard(api::IoctlCallKind(ioctl_id));
        status = api::Ioctl(channel, ioctl_id, request.ptr, output != nullptr ? &answer : nullptr);
      }
      if (status == STATUS_NOERROR && output != nullptr)
        FromCore(answer, *static_cast<Msg*>(output));
      return status;
    }
    default: {
      // The rest take no numeric record (WRITE_DIO reads one byte, the low
      // one of a little-endian unsigned long as of a 32-bit value); IDs the
      // core does not know it refuses without looking at the pointers.
      const CallGuard guard(api::IoctlCallKind(ioctl_id));
      return api::Ioctl(channel, ioctl_id, input, output);
    }
  }
}

// A read or write with a null record list or count: the core refuses it
// with its own checks and text, and a count there is becomes 0.
template <class CoreCall>
long NullMessageList(CoreCall core_call, ulong channel, ulong* count, ulong timeout) {
  uint32_t none = 0;
  if (count != nullptr) *count = 0;
  const CallGuard guard;
  return core_call(IdOrNone(channel), nullptr, count != nullptr ? &none : nullptr,
                   static_cast<uint32_t>(timeout));
}

// A read or write refused at this face: it claims no message.
long RefuseMessages(ulong* count, const char* call) {
  if (count != nullptr) *count = 0;
  return Refuse(ERR_INVALID_TIME_INTERVAL, call, "Timeout");
}

// The refusal of a periodic message whose interval does not fit 32 bits
// or whose flags do not; STATUS_NOERROR when both do.
long PeriodicRefusal(const char* call, ulong interval, const InMsg& msg) {
  if (!Fits(interval)) return Refuse(ERR_INVALID_TIME_INTERVAL, call, "TimeInterval");
  if (msg.status != STATUS_NOERROR) return Refuse(msg.status, call, "TxFlags");
  return STATUS_NOERROR;
}

}  // namespace
}  // namespace orv::lp64

using orv::api::CallGuard;
using orv::api::CallKind;
using orv::lp64::Fits;
using orv::lp64::IdOrNone;
using orv::lp64::InMsg;
using orv::lp64::Msg;
using orv::lp64::NullMessageList;
using orv::lp64::OutNumber;
using orv::lp64::PeriodicRefusal;
using orv::lp64::Refuse;
using orv::lp64::RefuseMessages;
using orv::lp64::ulong;
namespace api = orv::api;

extern "C" {

// --- device --------------------------------------------------------------------

ORV_API long PassThruOpen(const char* pName, ulong* pDeviceID) {
  OutNumber device(pDeviceID);
  const CallGuard guard(CallKind::kAnswerSlot);
  return device.Done(api::Open(pName, device.get()));
}

ORV_API long PassThruClose(ulong DeviceID) {
  const CallGuard guard;
  return api::Close(IdOrNone(DeviceID));
}

ORV_API long PassThruSetProgrammingVoltage(ulong DeviceID, ulong PinNumber, ulong Voltage) {
  if (!Fits(Voltage)) return Refuse(ERR_EXCEEDED_LIMIT, "PassThruSetProgrammingVoltage", "Voltage");
  const CallGuard guard;
  return api::SetProgrammingVoltage(IdOrNone(DeviceID), IdOrNone(PinNumber),
                                    static_cast<uint32_t>(Voltage));
}

ORV_API long PassThruReadVersion(ulong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                 char* pApiVersion) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadVersion(IdOrNone(DeviceID), pFirmwareVersion, pDllVersion, pApiVersion);
}

ORV_API long PassThruGetLastError(char* pErrorDescription) {
  const CallGuard guard;
  return api::GetLastError(pErrorDescription);
}

ORV_API long PassThruIoctl(ulong ChannelID, ulong IoctlID, void* pInput, void* pOutput) {
  return orv::lp64::Ioctl(IdOrNone(ChannelID), IdOrNone(IoctlID), pInput, pOutput);
}

ORV_API long VerifyORVXBuild(void) {
  return 0;
}

ORV_API long PassThruGetPointer(long vb_pointer) {
  return vb_pointer;
}

// --- channels --------------------------------------------------------------------

ORV_API long PassThruConnect(ulong DeviceID, ulong ProtocolID, ulong Flags, ulong BaudRate,
                             ulong* pChannelID) {
  if (!Fits(Flags)) return Refuse(ERR_INVALID_FLAGS, "PassThruConnect", "Flags");
  if (!Fits(BaudRate)) return Refuse(ERR_INVALID_BAUDRATE, "PassThruConnect", "BaudRate");
  OutNumber channel(pChannelID);
  const CallGuard guard;
  return channel.Done(api::Connect(IdOrNone(DeviceID), IdOrNone(ProtocolID),
                                   static_cast<uint32_t>(Flags), static_cast<uint32_t>(BaudRate),
                                   channel.get()));
}

ORV_API long PassThruDisconnect(ulong ChannelID) {
  const CallGuard guard;
  return api::Disconnect(IdOrNone(ChannelID));
}

ORV_API long PassThruReadMsgs(ulong ChannelID, Msg* pMsg, ulong* pNumMsgs, ulong Timeout) {
  if (!Fits(Timeout)) return RefuseMessages(pNumMsgs, "PassThruReadMsgs");
  if (pMsg == nullptr || pNumMsgs == nullptr) {
    return NullMessageList(api::ReadMsgs, ChannelID, pNumMsgs, Timeout);
  }
  return orv::lp64::ReadMsgs(IdOrNone(ChannelID), pMsg, pNumMsgs, static_cast<uint32_t>(Timeout));
}

ORV_API long PassThruWriteMsgs(ulong ChannelID, Msg* pMsg, ulong* pNumMsgs, ulong Timeout) {
  if (!Fits(Timeout)) return RefuseMessages(pNumMsgs, "PassThruWriteMsgs");
  if (pMsg == nullptr || pNumMsgs == nullptr) {
    return NullMessageList(api::WriteMsgs, ChannelID, pNumMsgs, Timeout);
  }
  return orv::lp64::WriteMsgs(IdOrNone(ChannelID), pMsg, pNumMsgs, static_cast<uint32_t>(Timeout));
}

ORV_API long PassThruStartPeriodicMsg(ulong ChannelID, Msg* pMsg, ulong* pMsgID,
                                      ulong TimeInterval) {
  InMsg msg(pMsg);
  if (const long refused = PeriodicRefusal("PassThruStartPeriodicMsg", TimeInterval, msg)) {
    return refused;
  }
  OutNumber id(pMsgID);
  const CallGuard guard;
  return id.Done(api::StartPeriodicMsg(IdOrNone(ChannelID), msg.ptr, id.get(),
                                       static_cast<uint32_t>(TimeInterval)));
}

ORV_API long PassThruUpdatePeriodicMsg(ulong ChannelID, Msg* pMsg, ulong MsgID,
                                       ulong TimeInterval) {
  InMsg msg(pMsg);
  if (const long refused = PeriodicRefusal("PassThruUpdatePeriodicMsg", TimeInterval, msg)) {
    return refused;
  }
  const CallGuard guard;
  return api::UpdatePeriodicMsg(IdOrNone(ChannelID), msg.ptr, IdOrNone(MsgID),
                                static_cast<uint32_t>(TimeInterval));
}

ORV_API long PassThruStopPeriodicMsg(ulong ChannelID, ulong MsgID) {
  const CallGuard guard;
  return api::StopPeriodicMsg(IdOrNone(ChannelID), IdOrNone(MsgID));
}

ORV_API long PassThruSuspendPeriodic(ulong ChannelID) {
  const CallGuard guard;
  return api::SuspendPeriodic(IdOrNone(ChannelID));
}

ORV_API long PassThruResumePeriodic(ulong ChannelID) {
  const CallGuard guard;
  return api::ResumePeriodic(IdOrNone(ChannelID));
}

ORV_API long PassThruStartMsgFilter(ulong ChannelID, ulong FilterType, Msg* pMaskMsg,
                                    Msg* pPatternMsg, Msg* pFlowControlMsg, ulong* pFilterID) {
  InMsg mask(pMaskMsg);
  InMsg pattern(pPatternMsg);
  InMsg flow(pFlowControlMsg);
  for (const InMsg* m : {&mask, &pattern, &flow}) {
    if (m->status != STATUS_NOERROR) return Refuse(m->status, "PassThruStartMsgFilter", "TxFlags");
  }
  OutNumber id(pFilterID);
  const CallGuard guard;
  return id.Done(api::StartMsgFilter(IdOrNone(ChannelID), IdOrNone(FilterType), mask.ptr,
                                     pattern.ptr, flow.ptr, id.get()));
}

ORV_API long PassThruStopMsgFilter(ulong ChannelID, ulong FilterID) {
  const CallGuard guard;
  return api::StopMsgFilter(IdOrNone(ChannelID), IdOrNone(FilterID));
}

// --- adapter services: quantities that do not fit fail as the services fail --------

ORV_API long PassThruWriteFile(char* PCFileName, char* SDFileName, ulong Flags) {
  if (!Fits(Flags)) return Refuse(ERR_FAILED, "PassThruWriteFile", "Flags");
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::WriteFile(PCFileName, SDFileName, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruReadFile(char* PCFileName, char* SDFileName, ulong Flags) {
  if (!Fits(Flags)) return Refuse(ERR_FAILED, "PassThruReadFile", "Flags");
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadFile(PCFileName, SDFileName, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruDeleteFile(char* SDFileName, ulong Flags) {
  if (!Fits(Flags)) return Refuse(ERR_FAILED, "PassThruDeleteFile", "Flags");
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::DeleteFile(SDFileName, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruReadDir(char* pFileSpec, char* pFileList) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadDir(pFileSpec, pFileList);
}

ORV_API long PassThruReadMem(ulong Address, ulong Length, uint8_t* pData, ulong Flags) {
  if (!Fits(Address) || !Fits(Length) || !Fits(Flags)) {
    return Refuse(ERR_FAILED, "PassThruReadMem", "Address, Length or Flags");
  }
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadMem(static_cast<uint32_t>(Address), static_cast<uint32_t>(Length), pData,
                      static_cast<uint32_t>(Flags));
}

ORV_API long PassThruWriteMem(ulong Address, ulong Length, uint8_t* pData, ulong Flags) {
  if (!Fits(Address) || !Fits(Length) || !Fits(Flags)) {
    return Refuse(ERR_FAILED, "PassThruWriteMem", "Address, Length or Flags");
  }
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::WriteMem(static_cast<uint32_t>(Address), static_cast<uint32_t>(Length), pData,
                       static_cast<uint32_t>(Flags));
}

ORV_API long PassThruReadRTC(RTC_DAY_TIME* pRTC) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadRTC(pRTC);
}

ORV_API long PassThruWriteRTC(RTC_DAY_TIME* pRTC) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::WriteRTC(pRTC);
}

ORV_API long PassThruUpdateFirmware(uint8_t* Data, ulong Length) {
  if (!Fits(Length)) return Refuse(ERR_FAILED, "PassThruUpdateFirmware", "Length");
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::UpdateFirmware(Data, static_cast<uint32_t>(Length));
}

ORV_API long PassThruSecurity(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed, uint8_t* pKey) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::Security(Level, pFixed, pSeed, pKey);
}

}  // extern "C"
