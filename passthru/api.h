// The pass-thru API as typed C++ functions: one per exported function, with
// the same arguments, checks, results and error texts. The export faces
// (passthru/export/) publish them under the C names after taking the call
// guard (passthru/api_guard.h); the library's own code calls them directly,
// already inside a guarded call.
#pragma once

#include <cstdint>

#include "orvanta_j2534.h"
#include "passthru/api_guard.h"

namespace orv::api {

// --- device ------------------------------------------------------------------
int32_t Open(const char* pName, uint32_t* pDeviceID);
int32_t Close(uint32_t DeviceID);
int32_t SetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber, uint32_t Voltage);
int32_t ReadVersion(uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                    char* pApiVersion);
int32_t GetLastError(char* pErrorDescription);
int32_t Ioctl(uint32_t ChannelID, uint32_t IoctlID, void* pInput, void* pOutput);
// kAnswerSlot when ioctl `IoctlID` waits for an answer in the adapter's
// answer places, so that its call must hold them (see
// passthru/api_guard.h); kPlain otherwise.
CallKind IoctlCallKind(uint32_t IoctlID);

// --- channels ------------------------------------------------------------------
int32_t Connect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                uint32_t* pChannelID);
int32_t Disconnect(uint32_t ChannelID);
int32_t ReadMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pNumMsgs, uint32_t Timeout);
int32_t WriteMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pNumMsgs, uint32_t Timeout);
int32_t StartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pMsgID,
                         uint32_t TimeInterval);
int32_t UpdatePeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t MsgID,
                          uint32_t TimeInterval);
int32_t StopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID);
int32_t SuspendPeriodic(uint32_t ChannelID);
int32_t ResumePeriodic(uint32_t ChannelID);
int32_t StartMsgFilter(uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG* pMaskMsg,
                       PASSTHRU_MSG* pPatternMsg, PASSTHRU_MSG* pFlowControlMsg,
                       uint32_t* pFilterID);
int32_t StopMsgFilter(uint32_t ChannelID, uint32_t FilterID);

// --- adapter services ------------------------------------------------------------
int32_t WriteFile(char* PCFileName, char* SDFileName, uint32_t Flags);
int32_t ReadFile(char* PCFileName, char* SDFileName, uint32_t Flags);
int32_t DeleteFile(char* SDFileName, uint32_t Flags);
int32_t ReadDir(char* pFileSpec, char* pFileList);
int32_t ReadMem(uint32_t Address, uint32_t Length, uint8_t* pData, uint32_t Flags);
int32_t WriteMem(uint32_t Address, uint32_t Length, uint8_t* pData, uint32_t Flags);
int32_t ReadRTC(RTC_DAY_TIME* pRTC);
int32_t WriteRTC(RTC_DAY_TIME* pRTC);
int32_t UpdateFirmware(uint8_t* Data, uint32_t Length);
int32_t Security(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed, uint8_t* pKey);

}  // namespace orv::api
