// The shim of tests/lp64/face_names.h: each pass-thru function with the
// 32-bit signature the unit tests are written in, calling the unsigned long
// export of the same name. Records go over whole and come back whole, so
// that whatever the face leaves untouched reaches the test unchanged, and
// whatever it writes shows as the 32-bit face's would.
#include "tests/lp64/face_names.h"
//
#include <cstring>
#include <vector>

#include "orvanta_j2534.h"  // the shim's own (32-bit) declarations

#undef PassThruOpen
#undef PassThruClose
#undef PassThruConnect
#undef PassThruDisconnect
#undef PassThruReadMsgs
#undef PassThruWriteMsgs
#undef PassThruStartPeriodicMsg
#undef PassThruUpdatePeriodicMsg
#undef PassThruStopPeriodicMsg
#undef PassThruSuspendPeriodic
#undef PassThruResumePeriodic
#undef PassThruStartMsgFilter
#undef PassThruStopMsgFilter
#undef PassThruSetProgrammingVoltage
#undef PassThruReadVersion
#undef PassThruGetLastError
#undef PassThruIoctl
#undef PassThruWriteFile
#undef PassThruReadFile
#undef PassThruDeleteFile
#undef PassThruReadDir
#undef PassThruReadMem
#undef PassThruWriteMem
#undef PassThruReadRTC
#undef PassThruWriteRTC
#undef PassThruUpdateFirmware
#undef PassThruSecurity
#undef PassThruGetPointer
#undef VerifyORVXBuild

namespace {

using ulong = unsigned long;

// The records of the unsigned long header.
struct Msg64 {
  ulong ProtocolID, RxStatus, TxFlags, Timestamp, DataSize, ExtraDataIndex;
  uint8_t Data[PASSTHRU_MSG_DATA_SIZE];
};
struct Config64 {
  ulong Parameter, Value;
};
struct ConfigList64 {
  ulong NumOfParams;
  Config64* ConfigPtr;
};
struct Bytes64 {
  ulong NumOfBytes;
  uint8_t* BytePtr;
};
struct Param64 {
  ulong Parameter, Value, Supported;
};
struct ParamList64 {
  ulong NumOfParams;
  Param64* ParamPtr;
};

}  // namespace

// The unsigned long exports (liborvanta_passthru_lp64's face objects).
extern "C" {
long PassThruOpen(const char*, ulong*);
long PassThruClose(ulong);
long PassThruConnect(ulong, ulong, ulong, ulong, ulong*);
long PassThruDisconnect(ulong);
long PassThruReadMsgs(ulong, Msg64*, ulong*, ulong);
long PassThruWriteMsgs(ulong, Msg64*, ulong*, ulong);
long PassThruStartPeriodicMsg(ulong, Msg64*, ulong*, ulong);
long PassThruUpdatePeriodicMsg(ulong, Msg64*, ulong, ulong);
long PassThruStopPeriodicMsg(ulong, ulong);
long PassThruSuspendPeriodic(ulong);
long PassThruResumePeriodic(ulong);
long PassThruStartMsgFilter(ulong, ulong, Msg64*, Msg64*, Msg64*, ulong*);
long PassThruStopMsgFilter(ulong, ulong);
long PassThruSetProgrammingVoltage(ulong, ulong, ulong);
long PassThruReadVersion(ulong, char*, char*, char*);
long PassThruGetLastError(char*);
long PassThruIoctl(ulong, ulong, void*, void*);
long PassThruWriteFile(char*, char*, ulong);
long PassThruReadFile(char*, char*, ulong);
long PassThruDeleteFile(char*, ulong);
long PassThruReadDir(char*, char*);
long PassThruReadMem(ulong, ulong, uint8_t*, ulong);
long PassThruWriteMem(ulong, ulong, uint8_t*, ulong);
long PassThruReadRTC(RTC_DAY_TIME*);
long PassThruWriteRTC(RTC_DAY_TIME*);
long PassThruUpdateFirmware(uint8_t*, ulong);
long PassThruSecurity(unsigned char, uint8_t*, uint8_t*, uint8_t*);
long PassThruGetPointer(long);
long VerifyORVXBuild(void);
}

namespace {

void Widen(const PASSTHRU_MSG& in, Msg64& out) {
  out = {in.ProtocolID, in.RxStatus, in.TxFlags, in.Timestamp, in.DataSize, in.ExtraDataIndex, {}};
  std::memcpy(out.Data, in.Data, sizeof out.Data);
}
void Narrow(const Msg64& in, PASSTHRU_MSG& out) {
  out.ProtocolID = static_cast<uint32_t>(in.ProtocolID);
  out.RxStatus = static_cast<uint32_t>(in.RxStatus);
  out.TxFlags = static_cast<uint32_t>(in.TxFlags);
  out.Timestamp = static_cast<uint32_t>(in.Timestamp);
  out.DataSize = static_cast<uint32_t>(in.DataSize);
  out.ExtraDataIndex = static_cast<uint32_t>(in.ExtraDataIndex);
  std::memcpy(out.Data, in.Data, sizeof out.Data);
}

// A list of `count` records (null stays null) widened, narrowed back when
// the object goes.
class Msgs {
 public:
  Msgs(PASSTHRU_MSG* msgs, size_t count) : msgs_(msgs), wide_(msgs != nullptr ? count : 0) {
    for (size_t i = 0; i < wide_.size(); ++i) Widen(msgs_[i], wide_[i]);
  }
  ~Msgs() {
    for (size_t i = 0; i < wide_.size(); ++i) Narrow(wide_[i], msgs_[i]);
  }
  Msgs(const Msgs&) = delete;
  Msgs& operator=(const Msgs&) = delete;
  // Null stays null; an empty list stays a list (a pointer the face may
  // not read).
  Msg64* get() { return msgs_ == nullptr ? nullptr : wide_.empty() ? &none_ : wide_.data(); }

 private:
  PASSTHRU_MSG* msgs_;
  std::vector<Msg64> wide_;
  Msg64 none_{};
};

// A 32-bit number (null stays null) widened, narrowed back when it goes.
class Number {
 public:
  explicit Number(uint32_t* value) : value_(value), wide_(value != nullptr ? *value : 0) {}
  ~Number() {
    if (value_ != nullptr) *value_ = static_cast<uint32_t>(wide_);
  }
  Number(const Number&) = delete;
  Number& operator=(const Number&) = delete;
  ulong* get() { return value_ != nullptr ? &wide_ : nullptr; }

 private:
  uint32_t* value_;
  ulong wide_;
};

int32_t Result(long status) {
  return static_cast<int32_t>(status);
}

int32_t ConfigIoctl(uint32_t channel, uint32_t id, SCONFIG_LIST* list) {
  if (list == nullptr) return Result(PassThruIoctl(channel, id, nullptr, nullptr));
  std::vector<Config64> wide(list->ConfigPtr != nullptr ? list->NumOfParams : 0);
  for (size_t i = 0; i < wide.size(); ++i) {
    wide[i] = {list->ConfigPtr[i].Parameter, list->ConfigPtr[i].Value};
  }
  ConfigList64 wide_list{list->NumOfParams, list->ConfigPtr != nullptr ? wide.data() : nullptr};
  const long status = PassThruIoctl(channel, id, &wide_list, nullptr);
  for (size_t i = 0; i < wide.size(); ++i) {
    list->ConfigPtr[i].Value = static_cast<uint32_t>(wide[i].Value);
  }
  return Result(status);
}

int32_t InfoIoctl(uint32_t channel, uint32_t id, SPARAM_LIST* list) {
  if (list == nullptr) return Result(PassThruIoctl(channel, id, nullptr, nullptr));
  std::vector<Param64> wide(list->ParamPtr != nullptr ? list->NumOfParams : 0);
  for (size_t i = 0; i < wide.size(); ++i) {
    const SPARAM& p = list->ParamPtr[i];
    wide[i] = {p.Parameter, p.Value, p.Supported};
  }
  ParamList64 wide_list{list->NumOfParams, list->ParamPtr != nullptr ? wide.data() : nullptr};
  const long status = PassThruIoctl(channel, id, nullptr, &wide_list);
  for (size_t i = 0; i < wide.size(); ++i) {
    list->ParamPtr[i].Value = static_cast<uint32_t>(wide[i].Value);
    list->ParamPtr[i].Supported = static_cast<uint32_t>(wide[i].Supported);
  }
  return Result(status);
}

int32_t BytesIoctl(uint32_t channel, uint32_t id, SBYTE_ARRAY* in, SBYTE_ARRAY* out) {
  Bytes64 wide_in{in != nullptr ? in->NumOfBytes : 0, in != nullptr ? in->BytePtr : nullptr};
  Bytes64 wide_out{out != nullptr ? out->NumOfBytes : 0, out != nullptr ? out->BytePtr : nullptr};
  const long status = PassThruIoctl(channel, id, in != nullptr ? &wide_in : nullptr,
                                    out != nullptr ? &wide_out : nullptr);
  if (out != nullptr) out->NumOfBytes = static_cast<uint32_t>(wide_out.NumOfBytes);
  return Result(status);
}

}  // namespace

extern "C" {

int32_t OrvLp64Shim_PassThruOpen(const char* name, uint32_t* device) {
  Number d(device);
  return Result(PassThruOpen(name, d.get()));
}
int32_t OrvLp64Shim_PassThruClose(uint32_t device) {
  return Result(PassThruClose(device));
}
int32_t OrvLp64Shim_PassThruConnect(uint32_t device, uint32_t protocol, uint32_t flags,
                                    uint32_t baud, uint32_t* channel) {
  Number c(channel);
  return Result(PassThruConnect(device, protocol, flags, baud, c.get()));
}
int32_t OrvLp64Shim_PassThruDisconnect(uint32_t channel) {
  return Result(PassThruDisconnect(channel));
}
int32_t OrvLp64Shim_PassThruReadMsgs(uint32_t channel, PASSTHRU_MSG* msgs, uint32_t* count,
                                     uint32_t timeout) {
  Msgs m(msgs, count != nullptr ? *count : 0);
  Number n(count);
  return Result(PassThruReadMsgs(channel, m.get(), n.get(), timeout));
}
int32_t OrvLp64Shim_PassThruWriteMsgs(uint32_t channel, PASSTHRU_MSG* msgs, uint32_t* count,
                                      uint32_t timeout) {
  Msgs m(msgs, count != nullptr ? *count : 0);
  Number n(count);
  return Result(PassThruWriteMsgs(channel, m.get(), n.get(), timeout));
}
int32_t OrvLp64Shim_PassThruStartPeriodicMsg(uint32_t channel, PASSTHRU_MSG* msg, uint32_t* id,
                                             uint32_t interval) {
  Msgs m(msg, 1);
  Number i(id);
  return Result(PassThruStartPeriodicMsg(channel, m.get(), i.get(), interval));
}
int32_t OrvLp64Shim_PassThruUpdatePeriodicMsg(uint32_t channel, PASSTHRU_MSG* msg, uint32_t id,
                                              uint32_t interval) {
  Msgs m(msg, 1);
  return Result(PassThruUpdatePeriodicMsg(channel, m.get(), id, interval));
}
int32_t OrvLp64Shim_PassThruStopPeriodicMsg(uint32_t channel, uint32_t id) {
  return Result(PassThruStopPeriodicMsg(channel, id));
}
int32_t OrvLp64Shim_PassThruSuspendPeriodic(uint32_t channel) {
  return Result(PassThruSuspendPeriodic(channel));
}
int32_t OrvLp64Shim_PassThruResumePeriodic(uint32_t channel) {
  return Result(PassThruResumePeriodic(channel));
}
int32_t OrvLp64Shim_PassThruStartMsgFilter(uint32_t channel, uint32_t type, PASSTHRU_MSG* mask,
                                           PASSTHRU_MSG* pattern, PASSTHRU_MSG* flow,
                                           uint32_t* id) {
  Msgs m(mask, 1), p(pattern, 1), f(flow, 1);
  Number i(id);
  return Result(PassThruStartMsgFilter(channel, type, m.get(), p.get(), f.get(), i.get()));
}
int32_t OrvLp64Shim_PassThruStopMsgFilter(uint32_t channel, uint32_t id) {
  return Result(PassThruStopMsgFilter(channel, id));
}
int32_t OrvLp64Shim_PassThruSetProgrammingVoltage(uint32_t device, uint32_t pin, uint32_t volts) {
  return Result(PassThruSetProgrammingVoltage(device, pin, volts));
}
int32_t OrvLp64Shim_PassThruReadVersion(uint32_t device, char* fw, char* dll, char* api) {
  return Result(PassThruReadVersion(device, fw, dll, api));
}
int32_t OrvLp64Shim_PassThruGetLastError(char* text) {
  return Result(PassThruGetLastError(text));
}
int32_t OrvLp64Shim_PassThruIoctl(uint32_t channel, uint32_t id, void* in, void* out) {
  switch (id) {
    case GET_CONFIG:
    case SET_CONFIG:
      return ConfigIoctl(channel, id, static_cast<SCONFIG_LIST*>(in));
    case GET_DEVICE_INFO:
    case GET_PROTOCOL_INFO:
      return InfoIoctl(channel, id, static_cast<SPARAM_LIST*>(out));
    case READ_VBATT:
    case READ_PROG_VOLTAGE:
    case READ_CH1_VOLTAGE:
    case READ_CH2_VOLTAGE:
    case READ_CH3_VOLTAGE:
    case READ_DIO1:
    case READ_DIO2: {
      Number value(static_cast<uint32_t*>(out));
      return Result(PassThruIoctl(channel, id, in, value.get()));
    }
    case FIVE_BAUD_INIT:
      return BytesIoctl(channel, id, static_cast<SBYTE_ARRAY*>(in), static_cast<SBYTE_ARRAY*>(out));
    case FAST_INIT: {
      Msgs request(static_cast<PASSTHRU_MSG*>(in), 1), answer(static_cast<PASSTHRU_MSG*>(out), 1);
      return Result(PassThruIoctl(channel, id, request.get(), answer.get()));
    }
    default:
      return Result(PassThruIoctl(channel, id, in, out));
  }
}
int32_t OrvLp64Shim_PassThruWriteFile(char* pc, char* sd, uint32_t flags) {
  return Result(PassThruWriteFile(pc, sd, flags));
}
int32_t OrvLp64Shim_PassThruReadFile(char* pc, char* sd, uint32_t flags) {
  return Result(PassThruReadFile(pc, sd, flags));
}
int32_t OrvLp64Shim_PassThruDeleteFile(char* sd, uint32_t flags) {
  return Result(PassThruDeleteFile(sd, flags));
}
int32_t OrvLp64Shim_PassThruReadDir(char* pattern, char* list) {
  return Result(PassThruReadDir(pattern, list));
}
int32_t OrvLp64Shim_PassThruReadMem(uint32_t address, uint32_t length, uint8_t* data,
                                    uint32_t flags) {
  return Result(PassThruReadMem(address, length, data, flags));
}
int32_t OrvLp64Shim_PassThruWriteMem(uint32_t address, uint32_t length, uint8_t* data,
                                     uint32_t flags) {
  return Result(PassThruWriteMem(address, length, data, flags));
}
int32_t OrvLp64Shim_PassThruReadRTC(RTC_DAY_TIME* rtc) {
  return Result(PassThruReadRTC(rtc));
}
int32_t OrvLp64Shim_PassThruWriteRTC(RTC_DAY_TIME* rtc) {
  return Result(PassThruWriteRTC(rtc));
}
int32_t OrvLp64Shim_PassThruUpdateFirmware(uint8_t* data, uint32_t length) {
  return Result(PassThruUpdateFirmware(data, length));
}
int32_t OrvLp64Shim_PassThruSecurity(unsigned char level, uint8_t* fixed, uint8_t* seed,
                                     uint8_t* key) {
  return Result(PassThruSecurity(level, fixed, seed, key));
}
int32_t OrvLp64Shim_PassThruGetPointer(int32_t pointer) {
  return Result(PassThruGetPointer(pointer));
}
int32_t OrvLp64Shim_VerifyORVXBuild(void) {
  return Result(VerifyORVXBuild());
}

}  // extern "C"
