// Force-included (-include) into the unit test sources and the test
// support built a second time against the unsigned long face (the
// lp64_unit_tests program): the pass-thru names of the public header
// become the shim's (tests/lp64/face_shim.cpp), which keep the 32-bit
// signatures the tests are written in and call the unsigned long exports
// of the same name. So the same test sources check both faces.
#pragma once

#define PassThruOpen OrvLp64Shim_PassThruOpen
#define PassThruClose OrvLp64Shim_PassThruClose
#define PassThruConnect OrvLp64Shim_PassThruConnect
#define PassThruDisconnect OrvLp64Shim_PassThruDisconnect
#define PassThruReadMsgs OrvLp64Shim_PassThruReadMsgs
#define PassThruWriteMsgs OrvLp64Shim_PassThruWriteMsgs
#define PassThruStartPeriodicMsg OrvLp64Shim_PassThruStartPeriodicMsg
#define PassThruUpdatePeriodicMsg OrvLp64Shim_PassThruUpdatePeriodicMsg
#define PassThruStopPeriodicMsg OrvLp64Shim_PassThruStopPeriodicMsg
#define PassThruSuspendPeriodic OrvLp64Shim_PassThruSuspendPeriodic
#define PassThruResumePeriodic OrvLp64Shim_PassThruResumePeriodic
#define PassThruStartMsgFilter OrvLp64Shim_PassThruStartMsgFilter
#define PassThruStopMsgFilter OrvLp64Shim_PassThruStopMsgFilter
#define PassThruSetProgrammingVoltage OrvLp64Shim_PassThruSetProgrammingVoltage
#define PassThruReadVersion OrvLp64Shim_PassThruReadVersion
#define PassThruGetLastError OrvLp64Shim_PassThruGetLastError
#define PassThruIoctl OrvLp64Shim_PassThruIoctl
#define PassThruWriteFile OrvLp64Shim_PassThruWriteFile
#define PassThruReadFile OrvLp64Shim_PassThruReadFile
#define PassThruDeleteFile OrvLp64Shim_PassThruDeleteFile
#define PassThruReadDir OrvLp64Shim_PassThruReadDir
#define PassThruReadMem OrvLp64Shim_PassThruReadMem
#define PassThruWriteMem OrvLp64Shim_PassThruWriteMem
#define PassThruReadRTC OrvLp64Shim_PassThruReadRTC
#define PassThruWriteRTC OrvLp64Shim_PassThruWriteRTC
#define PassThruUpdateFirmware OrvLp64Shim_PassThruUpdateFirmware
#define PassThruSecurity OrvLp64Shim_PassThruSecurity
#define PassThruGetPointer OrvLp64Shim_PassThruGetPointer
#define VerifyORVXBuild OrvLp64Shim_VerifyORVXBuild
