// The channel model shared by every channel operation: the six channels and
// their device codes, the bit set of open channels, the protocol test and
// the CAN FD data lengths.
#pragma once

#include <cstdint>

namespace orv {

// Channel IDs: the internal protocol number of each channel.
enum ChannelId : uint32_t {
  kChannelIso9141 = 3,
  kChannelIso14230 = 4,
  kChannelCan = 5,
  kChannelIso15765 = 6,
  kChannelMsCan = 11,
  kChannelMsIso15765 = 12,
};

// Bit (channel ID mod 32) is set while the channel is open.
extern uint32_t ChannelStatus;

inline uint32_t ChannelBit(uint32_t channel_id) {
  return 1u << (channel_id % 32);
}
inline bool ChannelOpen(uint32_t channel_id) {
  return (ChannelStatus & ChannelBit(channel_id)) != 0;
}

// The channel switch: the connect device code of a channel (0x90, 0x10,
// 0x20, 0x30, 0x40), or 0 for an ID that is not a channel.
uint8_t ChannelDevice(uint32_t channel_id);

// 1 when a message with protocol ID `Protocol` belongs on channel `Channel`.
int VerifyProtocol(uint32_t Protocol, uint32_t Channel);

// 1 for the CAN FD data lengths 8, 12, 16, 20, 24, 32, 48, 64.
int can_fd_valid_data_length(uint32_t length);

}  // namespace orv
