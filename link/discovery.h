// Discovery of the adapter on the COM ports, the registry switches, and
// what the open name selects. The link's state itself is LinkState
// (link/link_state.h).
//
// Failure reporting: JmsgCheckConnection returns 0 when the link can be used
// and kLinkNoAdapter (8) when no adapter was found, after the
// once-per-process "not detected" notice.
#pragma once

#include <cstdint>

namespace orv {

inline constexpr uint32_t kHighestComPort = 1000;
inline constexpr uint32_t kStopSettleMs = 200;
inline constexpr uint32_t kPurgeSettleMs = 100;
inline constexpr uint32_t kVersionWaitMs = 200;
inline constexpr uint32_t kSerialWaitMs = 200;

int32_t JmsgCheckConnection();

// Registry switches in the adapter's subkey.
int32_t AllowDebug();
int32_t SuppressPopups();
uint32_t CheckIOTNumInRegistry();

// Takes the port or IOT number an open name selects: "COMn", "IOT:n" or
// "J2534-2:n"; other names select nothing.
void NoteOpenName(const char* name);

// The device ID handed to the caller: the IOT number, else the COM port.
uint32_t OpenedDeviceId();

// Closes the adapter's port and forgets which port it was.
void CloseAdapterPort();

// True when `device_id` names the open adapter (its COM port or IOT number).
bool IsKnownDeviceId(uint32_t device_id);

}  // namespace orv
