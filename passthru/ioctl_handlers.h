// The ioctl handlers behind the PassThruIoctl entry. The entry has already
// checked the link and (unless skipped) the channel, and passes the
// channel's device code (0 when the channel ID names no channel).
#pragma once

#include <cstdint>

namespace orv {

// GET_CONFIG (1) and SET_CONFIG (2).
int32_t HandleConfigIoctl(uint32_t channel_id, uint8_t device, uint32_t ioctl_id, void* pInput,
                          void* pOutput);

// Every other ioctl with a handler: device and protocol information,
// voltage and digital reads, clearing, initialisation, timers, display.
int32_t HandleDeviceIoctl(uint32_t channel_id, uint8_t device, uint32_t ioctl_id, void* pInput,
                          void* pOutput);

// Sends the device-wide options that SET_CONFIG changed from the adapter's
// own start-up values (loopback, message trigger, bus-error messages,
// automatic suspend) again, for an adapter that lost them. Returns 0 or 7.
int32_t ResendChangedOptions();

// True for the device ioctls that wait in the adapter's answer places
// (voltage and digital-line reads).
bool DeviceIoctlWaitsForAnswer(uint32_t ioctl_id);

}  // namespace orv
