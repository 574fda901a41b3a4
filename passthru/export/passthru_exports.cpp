// The 32-bit export face of the pass-thru API: each exported function hands
// its arguments unchanged to the typed core function of the same name
// (passthru/api.h) through api::Guarded, which takes the guard of the lock
// kind declared there. Names, calling convention and (on Windows)
// decorations are those of the public header.
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/api_guard.h"

namespace api = orv::api;

extern "C" {

// --- device --------------------------------------------------------------------

ORV_API int32_t ORV_CALL PassThruOpen(const char* pName, uint32_t* pDeviceID) {
  return api::Guarded<&api::Open>(pName, pDeviceID);
}

ORV_API int32_t ORV_CALL PassThruClose(uint32_t DeviceID) {
  return api::Guarded<&api::Close>(DeviceID);
}

ORV_API int32_t ORV_CALL PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber,
                                                       uint32_t Voltage) {
  return api::Guarded<&api::SetProgrammingVoltage>(DeviceID, PinNumber, Voltage);
}

ORV_API int32_t ORV_CALL PassThruReadVersion(uint32_t DeviceID, char* pFirmwareVersion,
                                             char* pDllVersion, char* pApiVersion) {
  return api::Guarded<&api::ReadVersion>(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion);
}

ORV_API int32_t ORV_CALL PassThruGetLastError(char* pErrorDescription) {
  return api::Guarded<&api::GetLastError>(pErrorDescription);
}

ORV_API int32_t ORV_CALL PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void* pInput,
                                       void* pOutput) {
  return api::Guarded<&api::Ioctl>(ChannelID, IoctlID, pInput, pOutput);
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
  return api::Guarded<&api::Connect>(DeviceID, ProtocolID, Flags, BaudRate, pChannelID);
}

ORV_API int32_t ORV_CALL PassThruDisconnect(uint32_t ChannelID) {
  return api::Guarded<&api::Disconnect>(ChannelID);
}

ORV_API int32_t ORV_CALL PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                          uint32_t* pNumMsgs, uint32_t Timeout) {
  return api::Guarded<&api::ReadMsgs>(ChannelID, pMsg, pNumMsgs, Timeout);
}

ORV_API int32_t ORV_CALL PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                           uint32_t* pNumMsgs, uint32_t Timeout) {
  return api::Guarded<&api::WriteMsgs>(ChannelID, pMsg, pNumMsgs, Timeout);
}

ORV_API int32_t ORV_CALL PassThruStartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                  uint32_t* pMsgID, uint32_t TimeInterval) {
  return api::Guarded<&api::StartPeriodicMsg>(ChannelID, pMsg, pMsgID, TimeInterval);
}

ORV_API int32_t ORV_CALL PassThruUpdatePeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                   uint32_t MsgID, uint32_t TimeInterval) {
  return api::Guarded<&api::UpdatePeriodicMsg>(ChannelID, pMsg, MsgID, TimeInterval);
}

ORV_API int32_t ORV_CALL PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID) {
  return api::Guarded<&api::StopPeriodicMsg>(ChannelID, MsgID);
}

ORV_API int32_t ORV_CALL PassThruSuspendPeriodic(uint32_t ChannelID) {
  return api::Guarded<&api::SuspendPeriodic>(ChannelID);
}

ORV_API int32_t ORV_CALL PassThruResumePeriodic(uint32_t ChannelID) {
  return api::Guarded<&api::ResumePeriodic>(ChannelID);
}

ORV_API int32_t ORV_CALL PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType,
                                                PASSTHRU_MSG* pMaskMsg, PASSTHRU_MSG* pPatternMsg,
                                                PASSTHRU_MSG* pFlowControlMsg,
                                                uint32_t* pFilterID) {
  return api::Guarded<&api::StartMsgFilter>(ChannelID, FilterType, pMaskMsg, pPatternMsg,
                                            pFlowControlMsg, pFilterID);
}

ORV_API int32_t ORV_CALL PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID) {
  return api::Guarded<&api::StopMsgFilter>(ChannelID, FilterID);
}

// --- adapter services --------------------------------------------------------------

ORV_API int32_t ORV_CALL PassThruWriteFile(char* PCFileName, char* SDFileName, uint32_t Flags) {
  return api::Guarded<&api::WriteFile>(PCFileName, SDFileName, Flags);
}

ORV_API int32_t ORV_CALL PassThruReadFile(char* PCFileName, char* SDFileName, uint32_t Flags) {
  return api::Guarded<&api::ReadFile>(PCFileName, SDFileName, Flags);
}

ORV_API int32_t ORV_CALL PassThruDeleteFile(char* SDFileName, uint32_t Flags) {
  return api::Guarded<&api::DeleteFile>(SDFileName, Flags);
}

ORV_API int32_t ORV_CALL PassThruReadDir(char* pFileSpec, char* pFileList) {
  return api::Guarded<&api::ReadDir>(pFileSpec, pFileList);
}

ORV_API int32_t ORV_CALL PassThruReadMem(uint32_t Address, uint32_t Length, uint8_t* pData,
                                         uint32_t Flags) {
  return api::Guarded<&api::ReadMem>(Address, Length, pData, Flags);
}

ORV_API int32_t ORV_CALL PassThruWriteMem(uint32_t Address, uint32_t Length, uint8_t* pData,
                                          uint32_t Flags) {
  return api::Guarded<&api::WriteMem>(Address, Length, pData, Flags);
}

ORV_API int32_t ORV_CALL PassThruReadRTC(RTC_DAY_TIME* pRTC) {
  return api::Guarded<&api::ReadRTC>(pRTC);
}

ORV_API int32_t ORV_CALL PassThruWriteRTC(RTC_DAY_TIME* pRTC) {
  return api::Guarded<&api::WriteRTC>(pRTC);
}

ORV_API int32_t ORV_CALL PassThruUpdateFirmware(uint8_t* Data, uint32_t Length) {
  return api::Guarded<&api::UpdateFirmware>(Data, Length);
}

ORV_API int32_t ORV_CALL PassThruSecurity(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed,
                                          uint8_t* pKey) {
  return api::Guarded<&api::Security>(Level, pFixed, pSeed, pKey);
}

}  // extern "C"
