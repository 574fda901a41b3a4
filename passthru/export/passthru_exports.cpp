// The 32-bit export face of the pass-thru API: each exported function takes
// the call guard and hands its arguments unchanged to the typed core
// function of the same name (passthru/api.h). Names, calling convention
// and (on Windows) decorations are those of the public header.
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/api_guard.h"

using orv::api::CallGuard;
using orv::api::CallKind;
namespace api = orv::api;

extern "C" {

// --- device --------------------------------------------------------------------

ORV_API int32_t ORV_CALL PassThruOpen(const char* pName, uint32_t* pDeviceID) {
  const CallGuard guard(CallKind::kAnswerSlot);  // discovery asks for version and serial
  return api::Open(pName, pDeviceID);
}

ORV_API int32_t ORV_CALL PassThruClose(uint32_t DeviceID) {
  const CallGuard guard;
  return api::Close(DeviceID);
}

ORV_API int32_t ORV_CALL PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber,
                                                       uint32_t Voltage) {
  const CallGuard guard;
  return api::SetProgrammingVoltage(DeviceID, PinNumber, Voltage);
}

ORV_API int32_t ORV_CALL PassThruReadVersion(uint32_t DeviceID, char* pFirmwareVersion,
                                             char* pDllVersion, char* pApiVersion) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadVersion(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion);
}

ORV_API int32_t ORV_CALL PassThruGetLastError(char* pErrorDescription) {
  const CallGuard guard;
  return api::GetLastError(pErrorDescription);
}

ORV_API int32_t ORV_CALL PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void* pInput,
                                       void* pOutput) {
  // Voltage, digital-line and device-information ioctls wait in the answer
  // place; the channel ioctls (configuration, buffers, filters) do not.
  const CallGuard guard(api::IoctlCallKind(IoctlID));
  return api::Ioctl(ChannelID, IoctlID, pInput, pOutput);
}

ORV_API int32_t ORV_CALL VerifyORVXBuild(void) {
  return 0;
}

ORV_API int32_t ORV_CALL PassThruGetPointer(int32_t vb_pointer) {
  return vb_pointer;
}

// --- channels --------------------------------------------------------------------

ORV_API int32_t ORV_CALL PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags,
                                         uint32_t BaudRate, uint32_t* pChannelID) {
  const CallGuard guard;
  return api::Connect(DeviceID, ProtocolID, Flags, BaudRate, pChannelID);
}

ORV_API int32_t ORV_CALL PassThruDisconnect(uint32_t ChannelID) {
  const CallGuard guard;
  return api::Disconnect(ChannelID);
}

ORV_API int32_t ORV_CALL PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                          uint32_t* pNumMsgs, uint32_t Timeout) {
  const CallGuard guard;
  return api::ReadMsgs(ChannelID, pMsg, pNumMsgs, Timeout);
}

ORV_API int32_t ORV_CALL PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                           uint32_t* pNumMsgs, uint32_t Timeout) {
  const CallGuard guard;
  return api::WriteMsgs(ChannelID, pMsg, pNumMsgs, Timeout);
}

ORV_API int32_t ORV_CALL PassThruStartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                  uint32_t* pMsgID, uint32_t TimeInterval) {
  const CallGuard guard;
  return api::StartPeriodicMsg(ChannelID, pMsg, pMsgID, TimeInterval);
}

ORV_API int32_t ORV_CALL PassThruUpdatePeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                   uint32_t MsgID, uint32_t TimeInterval) {
  const CallGuard guard;
  return api::UpdatePeriodicMsg(ChannelID, pMsg, MsgID, TimeInterval);
}

ORV_API int32_t ORV_CALL PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID) {
  const CallGuard guard;
  return api::StopPeriodicMsg(ChannelID, MsgID);
}

ORV_API int32_t ORV_CALL PassThruSuspendPeriodic(uint32_t ChannelID) {
  const CallGuard guard;
  return api::SuspendPeriodic(ChannelID);
}

ORV_API int32_t ORV_CALL PassThruResumePeriodic(uint32_t ChannelID) {
  const CallGuard guard;
  return api::ResumePeriodic(ChannelID);
}

ORV_API int32_t ORV_CALL PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType,
                                                PASSTHRU_MSG* pMaskMsg, PASSTHRU_MSG* pPatternMsg,
                                                PASSTHRU_MSG* pFlowControlMsg,
                                                uint32_t* pFilterID) {
  const CallGuard guard;
  return api::StartMsgFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg,
                             pFilterID);
}

ORV_API int32_t ORV_CALL PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID) {
  const CallGuard guard;
  return api::StopMsgFilter(ChannelID, FilterID);
}

// --- adapter services --------------------------------------------------------------

ORV_API int32_t ORV_CALL PassThruWriteFile(char* PCFileName, char* SDFileName, uint32_t Flags) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::WriteFile(PCFileName, SDFileName, Flags);
}

ORV_API int32_t ORV_CALL PassThruReadFile(char* PCFileName, char* SDFileName, uint32_t Flags) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadFile(PCFileName, SDFileName, Flags);
}

ORV_API int32_t ORV_CALL PassThruDeleteFile(char* SDFileName, uint32_t Flags) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::DeleteFile(SDFileName, Flags);
}

ORV_API int32_t ORV_CALL PassThruReadDir(char* pFileSpec, char* pFileList) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadDir(pFileSpec, pFileList);
}

ORV_API int32_t ORV_CALL PassThruReadMem(uint32_t Address, uint32_t Length, uint8_t* pData,
                                         uint32_t Flags) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadMem(Address, Length, pData, Flags);
}

ORV_API int32_t ORV_CALL PassThruWriteMem(uint32_t Address, uint32_t Length, uint8_t* pData,
                                          uint32_t Flags) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::WriteMem(Address, Length, pData, Flags);
}

ORV_API int32_t ORV_CALL PassThruReadRTC(RTC_DAY_TIME* pRTC) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::ReadRTC(pRTC);
}

ORV_API int32_t ORV_CALL PassThruWriteRTC(RTC_DAY_TIME* pRTC) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::WriteRTC(pRTC);
}

ORV_API int32_t ORV_CALL PassThruUpdateFirmware(uint8_t* Data, uint32_t Length) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::UpdateFirmware(Data, Length);
}

ORV_API int32_t ORV_CALL PassThruSecurity(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed,
                                          uint8_t* pKey) {
  const CallGuard guard(CallKind::kAnswerSlot);
  return api::Security(Level, pFixed, pSeed, pKey);
}

}  // extern "C"
