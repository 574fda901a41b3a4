// Channel table, protocol test and CAN FD lengths.
#include "passthru/channel_table.h"

#include <algorithm>
#include <array>

namespace orv {

uint32_t ChannelStatus = 0;

namespace {

struct ProtocolsOfChannel {
  uint32_t channel;
  std::array<uint32_t, 4> protocols;  // unused entries are 0
};

constexpr std::array<ProtocolsOfChannel, 6> kAcceptedProtocols{{
    {kChannelIso9141, {3, 4, 0, 0}},
    {kChannelIso14230, {3, 4, 0, 0}},
    {kChannelCan, {5, 0x9000, 0x9880, 0}},
    {kChannelIso15765, {6, 0x9400, 0x9900, 0}},
    {kChannelMsCan, {11, 0x8004, 0x9001, 0x9881}},
    {kChannelMsIso15765, {12, 0x8005, 0x9401, 0x9901}},
}};

constexpr std::array<uint32_t, 8> kCanFdLengths{8, 12, 16, 20, 24, 32, 48, 64};

}  // namespace

uint8_t ChannelDevice(uint32_t channel_id) {
  switch (channel_id) {
    case kChannelIso9141:
    case kChannelIso14230:
      return 0x90;
    case kChannelCan:
      return 0x10;
    case kChannelIso15765:
      return 0x20;
    case kChannelMsCan:
      return 0x30;
    case kChannelMsIso15765:
      return 0x40;
    default:
      return 0;
  }
}

int VerifyProtocol(uint32_t Protocol, uint32_t Channel) {
  for (const auto& entry : kAcceptedProtocols) {
    if (entry.channel != Channel) continue;
    return Protocol != 0 && std::find(entry.protocols.begin(), entry.protocols.end(), Protocol) !=
                                entry.protocols.end()
               ? 1
               : 0;
  }
  return 0;
}

int can_fd_valid_data_length(uint32_t length) {
  return std::find(kCanFdLengths.begin(), kCanFdLengths.end(), length) != kCanFdLengths.end() ? 1
                                                                                              : 0;
}

}  // namespace orv
