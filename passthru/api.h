// The pass-thru API as typed C++ functions: one per exported function, with
// the same arguments, checks, results and error texts, each followed by its
// lock kind (LockOf, passthru/api_guard.h): AnswerSlotLock for the calls
// that wait in the adapter's answer place, PlainLock for the others. The
// export faces (passthru/export/, passthru/export_lp64/) publish them under
// the C names through api::Guarded, which takes the guard of that kind; the
// library's own code calls them directly, already inside a guarded call.
#pragma once

#include <cstdint>

#include "orvanta_j2534.h"
#include "passthru/api_guard.h"

namespace orv::api {

// --- device ------------------------------------------------------------------
int32_t Open(const char* pName, uint32_t* pDeviceID);
template <>
struct LockOf<&Open> : AnswerSlotLock {};  // discovery asks for version and serial
int32_t Close(uint32_t DeviceID);
template <>
struct LockOf<&Close> : PlainLock {};
int32_t SetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber, uint32_t Voltage);
template <>
struct LockOf<&SetProgrammingVoltage> : PlainLock {};
int32_t ReadVersion(uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                    char* pApiVersion);
template <>
struct LockOf<&ReadVersion> : AnswerSlotLock {};
int32_t GetLastError(char* pErrorDescription);
template <>
struct LockOf<&GetLastError> : PlainLock {};
int32_t Ioctl(uint32_t ChannelID, uint32_t IoctlID, void* pInput, void* pOutput);
// kAnswerSlot when ioctl `IoctlID` waits for an answer in the adapter's
// answer places (voltages, digital lines, device information), so that its
// call must hold them; kPlain otherwise (configuration, buffers, filters).
CallKind IoctlCallKind(uint32_t IoctlID);
template <>
struct LockOf<&Ioctl> {
  static CallKind Of(uint32_t /*ChannelID*/, uint32_t IoctlID, const void* /*pInput*/,
                     const void* /*pOutput*/) {
    return IoctlCallKind(IoctlID);
  }
};
// A call that an export face refuses before the core sees it (an argument
// that does not fit the core's types): writes the last-error text "`call`
// `what` out of range" and returns `status`.
int32_t RefuseArgument(int32_t status, const char* call, const char* what);
template <>
struct LockOf<&RefuseArgument> : PlainLock {};

// --- channels ------------------------------------------------------------------
int32_t Connect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                uint32_t* pChannelID);
template <>
struct LockOf<&Connect> : PlainLock {};
int32_t Disconnect(uint32_t ChannelID);
template <>
struct LockOf<&Disconnect> : PlainLock {};
int32_t ReadMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pNumMsgs, uint32_t Timeout);
template <>
struct LockOf<&ReadMsgs> : PlainLock {};
int32_t WriteMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pNumMsgs, uint32_t Timeout);
template <>
struct LockOf<&WriteMsgs> : PlainLock {};
int32_t StartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pMsgID,
                         uint32_t TimeInterval);
template <>
struct LockOf<&StartPeriodicMsg> : PlainLock {};
int32_t UpdatePeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t MsgID,
                          uint32_t TimeInterval);
template <>
struct LockOf<&UpdatePeriodicMsg> : PlainLock {};
int32_t StopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID);
template <>
struct LockOf<&StopPeriodicMsg> : PlainLock {};
int32_t SuspendPeriodic(uint32_t ChannelID);
template <>
struct LockOf<&SuspendPeriodic> : PlainLock {};
int32_t ResumePeriodic(uint32_t ChannelID);
template <>
struct LockOf<&ResumePeriodic> : PlainLock {};
int32_t StartMsgFilter(uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG* pMaskMsg,
                       PASSTHRU_MSG* pPatternMsg, PASSTHRU_MSG* pFlowControlMsg,
                       uint32_t* pFilterID);
template <>
struct LockOf<&StartMsgFilter> : PlainLock {};
int32_t StopMsgFilter(uint32_t ChannelID, uint32_t FilterID);
template <>
struct LockOf<&StopMsgFilter> : PlainLock {};

// --- adapter services ------------------------------------------------------------
int32_t WriteFile(char* PCFileName, char* SDFileName, uint32_t Flags);
template <>
struct LockOf<&WriteFile> : AnswerSlotLock {};
int32_t ReadFile(char* PCFileName, char* SDFileName, uint32_t Flags);
template <>
struct LockOf<&ReadFile> : AnswerSlotLock {};
int32_t DeleteFile(char* SDFileName, uint32_t Flags);
template <>
struct LockOf<&DeleteFile> : AnswerSlotLock {};
int32_t ReadDir(char* pFileSpec, char* pFileList);
template <>
struct LockOf<&ReadDir> : AnswerSlotLock {};
int32_t ReadMem(uint32_t Address, uint32_t Length, uint8_t* pData, uint32_t Flags);
template <>
struct LockOf<&ReadMem> : AnswerSlotLock {};
int32_t WriteMem(uint32_t Address, uint32_t Length, uint8_t* pData, uint32_t Flags);
template <>
struct LockOf<&WriteMem> : AnswerSlotLock {};
int32_t ReadRTC(RTC_DAY_TIME* pRTC);
template <>
struct LockOf<&ReadRTC> : AnswerSlotLock {};
int32_t WriteRTC(RTC_DAY_TIME* pRTC);
template <>
struct LockOf<&WriteRTC> : AnswerSlotLock {};
int32_t UpdateFirmware(uint8_t* Data, uint32_t Length);
template <>
struct LockOf<&UpdateFirmware> : AnswerSlotLock {};
int32_t Security(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed, uint8_t* pKey);
template <>
struct LockOf<&Security> : AnswerSlotLock {};

}  // namespace orv::api
