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
// A record list is converted whole, once, into a per-thread array that grows
// when a call needs more records and is kept (ThreadRecords), and the core
// is called once under one guard, so that a call behaves, traces and waits
// as the same call on the 32-bit face. Every call enters the core through
// api::Guarded (passthru/api_guard.h), which takes the guard of the lock
// kind declared beside the core function; no function here takes one.
#define ORV_J2534_NO_FUNCTIONS  // this face declares the API with its own types
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/api_guard.h"

namespace orv::lp64 {
namespace {

using ulong = unsigned long;

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
  return api::Guarded<&api::RefuseArgument>(static_cast<int32_t>(status), call, what);
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

// The changes the core made to a record the caller handed in (the
// 32-bit face's caller sees them in its own record): each field the core
// changed, and the data when it changed, go back into the caller's record.
void ReturnChanges(const PASSTHRU_MSG& core, Msg& host) {
  if (core.ProtocolID != IdOrNone(host.ProtocolID)) host.ProtocolID = core.ProtocolID;
  if (core.RxStatus != Saturated(host.RxStatus)) host.RxStatus = core.RxStatus;
  if (core.TxFlags != Saturated(host.TxFlags)) host.TxFlags = core.TxFlags;
  if (core.Timestamp != Saturated(host.Timestamp)) host.Timestamp = core.Timestamp;
  if (core.ExtraDataIndex != Saturated(host.ExtraDataIndex)) {
    host.ExtraDataIndex = core.ExtraDataIndex;
  }
  const size_t bytes =
      std::min<ulong>(std::max<ulong>(host.DataSize, core.DataSize), PASSTHRU_MSG_DATA_SIZE);
  if (core.DataSize != Saturated(host.DataSize)) host.DataSize = core.DataSize;
  if (std::memcmp(core.Data, host.Data, bytes) != 0) std::memcpy(host.Data, core.Data, bytes);
}

// One optional message argument converted for the core: null stays null.
// Returned() hands the core's changes back to the caller's record.
struct InMsg {
  PASSTHRU_MSG core{};
  long status = STATUS_NOERROR;
  PASSTHRU_MSG* ptr = nullptr;
  Msg* host = nullptr;
  explicit InMsg(Msg* caller) : host(caller) {
    if (host == nullptr) return;
    status = ToCore(*host, core);
    ptr = &core;
  }
  long Returned(long result) {
    if (host != nullptr && status == STATUS_NOERROR) ReturnChanges(core, *host);
    return result;
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

// The core's records of one call: a per-thread array that grows to the
// largest count the thread has asked for and is kept, so that a call
// allocates only when it needs more records than any before it on its
// thread. Null (the call fails) when that many cannot be had.
template <class Record>
Record* ThreadRecords(ulong count) {
  thread_local std::unique_ptr<Record[]> records;
  thread_local ulong capacity = 0;
  count = std::max<ulong>(count, 1);  // the core refuses a null array, never an empty one
  if (count > capacity) {
    if (count > SIZE_MAX / sizeof(Record)) return nullptr;
    std::unique_ptr<Record[]> grown(new (std::nothrow) Record[count]);
    if (!grown) return nullptr;
    records = std::move(grown);
    capacity = count;
  }
  return records.get();
}

long NoRoom(ulong* count, const char* call) {
  if (count != nullptr) *count = 0;
  return Refuse(ERR_EXCEEDED_LIMIT, call, "record count");
}

// A DataSize no record has: marks the records the core did not write.
constexpr uint32_t kUntouched = UINT32_MAX;

// The whole list converted once, one core call: the caller's records are
// written where the core wrote its own (the delivered ones, and the one it
// was assembling), as the 32-bit face writes the caller's directly.
long ReadMsgs(uint32_t channel, Msg* msgs, ulong* num_msgs, uint32_t timeout) {
  const ulong wanted = *num_msgs;
  PASSTHRU_MSG* records = Fits(wanted) ? ThreadRecords<PASSTHRU_MSG>(wanted) : nullptr;
  if (records == nullptr) return NoRoom(num_msgs, "PassThruReadMsgs");
  for (ulong i = 0; i < wanted; ++i) records[i].DataSize = kUntouched;
  uint32_t got = static_cast<uint32_t>(wanted);  // the core sets what it filled, 0 on a failure
  const long status = api::Guarded<&api::ReadMsgs>(channel, records, &got, timeout);
  const ulong filled = std::min<ulong>(got, wanted);
  for (ulong i = 0; i < filled; ++i) FromCore(records[i], msgs[i]);
  // The record after them, when the core began one there (emptied it, or
  // assembled part of a message): its length and bytes, as the core left
  // them in the caller's own record on the 32-bit face.
  if (filled < wanted && records[filled].DataSize != kUntouched) {
    const PASSTHRU_MSG& begun = records[filled];
    msgs[filled].DataSize = begun.DataSize;
    std::memcpy(msgs[filled].Data, begun.Data,
                std::min<uint32_t>(begun.DataSize, PASSTHRU_MSG_DATA_SIZE));
  }
  *num_msgs = filled;
  return status;
}

long WriteMsgs(uint32_t channel, Msg* msgs, ulong* num_msgs, uint32_t timeout) {
  const ulong wanted = *num_msgs;
  PASSTHRU_MSG* records = Fits(wanted) ? ThreadRecords<PASSTHRU_MSG>(wanted) : nullptr;
  if (records == nullptr) return NoRoom(num_msgs, "PassThruWriteMsgs");
  for (ulong i = 0; i < wanted; ++i) {
    if (const long refused = ToCore(msgs[i], records[i])) {
      *num_msgs = 0;
      return Refuse(refused, "PassThruWriteMsgs", "TxFlags");
    }
  }
  uint32_t sent = static_cast<uint32_t>(wanted);
  const long status = api::Guarded<&api::WriteMsgs>(channel, records, &sent, timeout);
  for (ulong i = 0; i < wanted; ++i) ReturnChanges(records[i], msgs[i]);
  *num_msgs = std::min<ulong>(sent, wanted);
  return status;
}

// GET_CONFIG / SET_CONFIG: the whole list converted once. The core writes
// the values it reads in order and stops at the first parameter it
// refuses; the caller's entries are written where the core changed one.
long ConfigIoctl(uint32_t channel, uint32_t ioctl_id, ConfigList* list) {
  if (list == nullptr || (list->NumOfParams != 0 && list->ConfigPtr == nullptr)) {
    return api::Guarded<&api::Ioctl>(channel, ioctl_id, nullptr, nullptr);  // the core's refusal
  }
  const ulong count = list->NumOfParams;
  SCONFIG* entries = Fits(count) ? ThreadRecords<SCONFIG>(count) : nullptr;
  if (entries == nullptr) return NoRoom(nullptr, "PassThruIoctl");
  for (ulong i = 0; i < count; ++i) {
    const Config& host = list->ConfigPtr[i];
    if (ioctl_id == SET_CONFIG && !Fits(host.Value)) {
      return Refuse(ERR_INVALID_IOCTL_VALUE, "SET_CONFIG", "Value");
    }
    entries[i] = {IdOrNone(host.Parameter), Saturated(host.Value)};
  }
  SCONFIG_LIST core{static_cast<uint32_t>(count), list->ConfigPtr != nullptr ? entries : nullptr};
  const long status = api::Guarded<&api::Ioctl>(channel, ioctl_id, &core, nullptr);
  for (ulong i = 0; i < count; ++i) {
    if (entries[i].Value != Saturated(list->ConfigPtr[i].Value)) {
      list->ConfigPtr[i].Value = entries[i].Value;
    }
  }
  return status;
}

// GET_DEVICE_INFO / GET_PROTOCOL_INFO, as ConfigIoctl: the caller's entries
// are written where the core wrote its own.
long InfoIoctl(uint32_t channel, uint32_t ioctl_id, ParamList* list) {
  if (list == nullptr || (list->NumOfParams != 0 && list->ParamPtr == nullptr)) {
    return api::Guarded<&api::Ioctl>(channel, ioctl_id, nullptr, nullptr);
  }
  const ulong count = list->NumOfParams;
  SPARAM* entries = Fits(count) ? ThreadRecords<SPARAM>(count) : nullptr;
  if (entries == nullptr) return NoRoom(nullptr, "PassThruIoctl");
  for (ulong i = 0; i < count; ++i) {
    const Param& host = list->ParamPtr[i];
    entries[i] = {IdOrNone(host.Parameter), Saturated(host.Value), Saturated(host.Supported)};
  }
  SPARAM_LIST core{static_cast<uint32_t>(count), list->ParamPtr != nullptr ? entries : nullptr};
  const long status = api::Guarded<&api::Ioctl>(channel, ioctl_id, nullptr, &core);
  for (ulong i = 0; i < count; ++i) {
    Param& host = list->ParamPtr[i];
    if (entries[i].Value != Saturated(host.Value)) host.Value = entries[i].Value;
    if (entries[i].Supported != Saturated(host.Supported)) host.Supported = entries[i].Supported;
  }
  return status;
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
      return value.Done(api::Guarded<&api::Ioctl>(channel, ioctl_id, input, value.get()));
    }
    case FIVE_BAUD_INIT: {
      InBytes target(static_cast<const ByteArray*>(input));
      InBytes key_bytes(static_cast<const ByteArray*>(output));
      return api::Guarded<&api::Ioctl>(channel, ioctl_id, target.ptr, key_bytes.ptr);
    }
    case FAST_INIT: {
      InMsg request(static_cast<Msg*>(input));
      if (request.status != STATUS_NOERROR) return Refuse(request.status, "FAST_INIT", "TxFlags");
      PASSTHRU_MSG answer{};
      const long status = request.Returned(api::Guarded<&api::Ioctl>(
          channel, ioctl_id, request.ptr, output != nullptr ? &answer : nullptr));
      if (status == STATUS_NOERROR && output != nullptr)
        FromCore(answer, *static_cast<Msg*>(output));
      return status;
    }
    default: {
      // The rest take no numeric record (WRITE_DIO reads one byte, the low
      // one of a little-endian unsigned long as of a 32-bit value); IDs the
      // core does not know it refuses without looking at the pointers.
      return api::Guarded<&api::Ioctl>(channel, ioctl_id, input, output);
    }
  }
}

// A read or write with a null record list or count: the core refuses it
// with its own checks and text, and a count there is becomes 0.
template <auto CoreCall>
long NullMessageList(ulong channel, ulong* count, ulong timeout) {
  uint32_t none = 0;
  if (count != nullptr) *count = 0;
  return api::Guarded<CoreCall>(IdOrNone(channel), static_cast<PASSTHRU_MSG*>(nullptr),
                                count != nullptr ? &none : nullptr, static_cast<uint32_t>(timeout));
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
  return device.Done(api::Guarded<&api::Open>(pName, device.get()));
}

ORV_API long PassThruClose(ulong DeviceID) {
  return api::Guarded<&api::Close>(IdOrNone(DeviceID));
}

ORV_API long PassThruSetProgrammingVoltage(ulong DeviceID, ulong PinNumber, ulong Voltage) {
  if (!Fits(Voltage)) return Refuse(ERR_EXCEEDED_LIMIT, "PassThruSetProgrammingVoltage", "Voltage");
  return api::Guarded<&api::SetProgrammingVoltage>(IdOrNone(DeviceID), IdOrNone(PinNumber),
                                                   static_cast<uint32_t>(Voltage));
}

ORV_API long PassThruReadVersion(ulong DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                 char* pApiVersion) {
  return api::Guarded<&api::ReadVersion>(IdOrNone(DeviceID), pFirmwareVersion, pDllVersion,
                                         pApiVersion);
}

ORV_API long PassThruGetLastError(char* pErrorDescription) {
  return api::Guarded<&api::GetLastError>(pErrorDescription);
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
  return channel.Done(api::Guarded<&api::Connect>(IdOrNone(DeviceID), IdOrNone(ProtocolID),
                                                  static_cast<uint32_t>(Flags),
                                                  static_cast<uint32_t>(BaudRate), channel.get()));
}

ORV_API long PassThruDisconnect(ulong ChannelID) {
  return api::Guarded<&api::Disconnect>(IdOrNone(ChannelID));
}

ORV_API long PassThruReadMsgs(ulong ChannelID, Msg* pMsg, ulong* pNumMsgs, ulong Timeout) {
  if (!Fits(Timeout)) return RefuseMessages(pNumMsgs, "PassThruReadMsgs");
  if (pMsg == nullptr || pNumMsgs == nullptr) {
    return NullMessageList<&api::ReadMsgs>(ChannelID, pNumMsgs, Timeout);
  }
  return orv::lp64::ReadMsgs(IdOrNone(ChannelID), pMsg, pNumMsgs, static_cast<uint32_t>(Timeout));
}

ORV_API long PassThruWriteMsgs(ulong ChannelID, Msg* pMsg, ulong* pNumMsgs, ulong Timeout) {
  if (!Fits(Timeout)) return RefuseMessages(pNumMsgs, "PassThruWriteMsgs");
  if (pMsg == nullptr || pNumMsgs == nullptr) {
    return NullMessageList<&api::WriteMsgs>(ChannelID, pNumMsgs, Timeout);
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
  return id.Done(msg.Returned(api::Guarded<&api::StartPeriodicMsg>(
      IdOrNone(ChannelID), msg.ptr, id.get(), static_cast<uint32_t>(TimeInterval))));
}

ORV_API long PassThruUpdatePeriodicMsg(ulong ChannelID, Msg* pMsg, ulong MsgID,
                                       ulong TimeInterval) {
  InMsg msg(pMsg);
  if (const long refused = PeriodicRefusal("PassThruUpdatePeriodicMsg", TimeInterval, msg)) {
    return refused;
  }
  return msg.Returned(api::Guarded<&api::UpdatePeriodicMsg>(
      IdOrNone(ChannelID), msg.ptr, IdOrNone(MsgID), static_cast<uint32_t>(TimeInterval)));
}

ORV_API long PassThruStopPeriodicMsg(ulong ChannelID, ulong MsgID) {
  return api::Guarded<&api::StopPeriodicMsg>(IdOrNone(ChannelID), IdOrNone(MsgID));
}

ORV_API long PassThruSuspendPeriodic(ulong ChannelID) {
  return api::Guarded<&api::SuspendPeriodic>(IdOrNone(ChannelID));
}

ORV_API long PassThruResumePeriodic(ulong ChannelID) {
  return api::Guarded<&api::ResumePeriodic>(IdOrNone(ChannelID));
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
  const long status = api::Guarded<&api::StartMsgFilter>(IdOrNone(ChannelID), IdOrNone(FilterType),
                                                         mask.ptr, pattern.ptr, flow.ptr, id.get());
  return id.Done(flow.Returned(pattern.Returned(mask.Returned(status))));
}

ORV_API long PassThruStopMsgFilter(ulong ChannelID, ulong FilterID) {
  return api::Guarded<&api::StopMsgFilter>(IdOrNone(ChannelID), IdOrNone(FilterID));
}

// --- adapter services: quantities that do not fit fail as the services fail --------

ORV_API long PassThruWriteFile(char* PCFileName, char* SDFileName, ulong Flags) {
  if (!Fits(Flags)) return Refuse(ERR_FAILED, "PassThruWriteFile", "Flags");
  return api::Guarded<&api::WriteFile>(PCFileName, SDFileName, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruReadFile(char* PCFileName, char* SDFileName, ulong Flags) {
  if (!Fits(Flags)) return Refuse(ERR_FAILED, "PassThruReadFile", "Flags");
  return api::Guarded<&api::ReadFile>(PCFileName, SDFileName, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruDeleteFile(char* SDFileName, ulong Flags) {
  if (!Fits(Flags)) return Refuse(ERR_FAILED, "PassThruDeleteFile", "Flags");
  return api::Guarded<&api::DeleteFile>(SDFileName, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruReadDir(char* pFileSpec, char* pFileList) {
  return api::Guarded<&api::ReadDir>(pFileSpec, pFileList);
}

ORV_API long PassThruReadMem(ulong Address, ulong Length, uint8_t* pData, ulong Flags) {
  if (!Fits(Address) || !Fits(Length) || !Fits(Flags)) {
    return Refuse(ERR_FAILED, "PassThruReadMem", "Address, Length or Flags");
  }
  return api::Guarded<&api::ReadMem>(static_cast<uint32_t>(Address), static_cast<uint32_t>(Length),
                                     pData, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruWriteMem(ulong Address, ulong Length, uint8_t* pData, ulong Flags) {
  if (!Fits(Address) || !Fits(Length) || !Fits(Flags)) {
    return Refuse(ERR_FAILED, "PassThruWriteMem", "Address, Length or Flags");
  }
  return api::Guarded<&api::WriteMem>(static_cast<uint32_t>(Address), static_cast<uint32_t>(Length),
                                      pData, static_cast<uint32_t>(Flags));
}

ORV_API long PassThruReadRTC(RTC_DAY_TIME* pRTC) {
  return api::Guarded<&api::ReadRTC>(pRTC);
}

ORV_API long PassThruWriteRTC(RTC_DAY_TIME* pRTC) {
  return api::Guarded<&api::WriteRTC>(pRTC);
}

ORV_API long PassThruUpdateFirmware(uint8_t* Data, ulong Length) {
  if (!Fits(Length)) return Refuse(ERR_FAILED, "PassThruUpdateFirmware", "Length");
  return api::Guarded<&api::UpdateFirmware>(Data, static_cast<uint32_t>(Length));
}

ORV_API long PassThruSecurity(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed, uint8_t* pKey) {
  return api::Guarded<&api::Security>(Level, pFixed, pSeed, pKey);
}

}  // extern "C"
