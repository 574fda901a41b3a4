// Channel table, setup records and their wire images, protocol test and
// CAN FD lengths.
#include "passthru/channel_table.h"

#include <algorithm>
#include <array>

#include "link/jmsg.h"
#include "passthru/library_state.h"

namespace orv {

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

// Little-endian writers and readers over a fixed byte image.
class LeWriter {
 public:
  explicit LeWriter(uint8_t* out) : out_(out) {}
  void u8(uint8_t v) { out_[at_++] = v; }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
  size_t written() const { return at_; }

 private:
  uint8_t* out_;
  size_t at_ = 0;
};

class LeReader {
 public:
  explicit LeReader(const uint8_t* in) : in_(in) {}
  uint8_t u8() { return in_[at_++]; }
  uint16_t u16() {
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  uint32_t u32() {
    const uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
  }

 private:
  const uint8_t* in_;
  size_t at_ = 0;
};

// The ISO_SETUP timing fields from p1_min to twup, in wire order.
constexpr std::array<uint16_t ISO_SETUP::*, 24> kIsoTimings{
    &ISO_SETUP::p1_min, &ISO_SETUP::p1_max, &ISO_SETUP::p2_min, &ISO_SETUP::p2_max,
    &ISO_SETUP::p3_min, &ISO_SETUP::p3_max, &ISO_SETUP::p4_min, &ISO_SETUP::p4_max,
    &ISO_SETUP::p5_min, &ISO_SETUP::p5_max, &ISO_SETUP::w0_min, &ISO_SETUP::w0_max,
    &ISO_SETUP::w1_min, &ISO_SETUP::w1_max, &ISO_SETUP::w2_min, &ISO_SETUP::w2_max,
    &ISO_SETUP::w3_min, &ISO_SETUP::w3_max, &ISO_SETUP::w4_min, &ISO_SETUP::w4_max,
    &ISO_SETUP::w5_min, &ISO_SETUP::w5_max, &ISO_SETUP::tini_l, &ISO_SETUP::twup,
};

}  // namespace

uint8_t ChannelDevice(uint32_t channel_id) {
  switch (channel_id) {
    case kChannelIso9141:
    case kChannelIso14230:
      return kDevKLine;
    case kChannelCan:
      return kDevCan1;
    case kChannelIso15765:
      return kDevIso15765_1;
    case kChannelMsCan:
      return kDevCan2;
    case kChannelMsIso15765:
      return kDevIso15765_2;
    default:
      return 0;
  }
}

uint8_t SetupDevice(uint32_t channel_id) {
  switch (channel_id) {
    case kChannelIso9141:
    case kChannelIso14230:
      return kDevKLine;
    case kChannelCan:
    case kChannelIso15765:
      return kDevCan1;
    case kChannelMsCan:
    case kChannelMsIso15765:
      return kDevCan2;
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

CAN_SETUP* CanSetupOfChannel(uint32_t channel_id) {
  switch (channel_id) {
    case kChannelCan:
    case kChannelIso15765:
      return &State().channels.CANSetup;
    case kChannelMsCan:
    case kChannelMsIso15765:
      return &State().channels.MSCANSetup;
    default:
      return nullptr;
  }
}

std::array<uint8_t, kCanSetupSize> CanSetupBytes(const CAN_SETUP& s) {
  std::array<uint8_t, kCanSetupSize> bytes{};
  LeWriter w(bytes.data());
  w.u32(s.baud_rate);
  w.u32(s.fd_baud_rate);
  w.u16(s.interframe_delay);
  w.u8(s.bit_sample_point_percent);
  w.u8(s.sync_jump_width_percent);
  w.u8(s.iso15765_block_size);
  w.u8(s.iso15765_separation_time);
  w.u8(s.iso15765_bs_tx_override);
  w.u8(s.iso15765_stmin_tx_override);
  w.u8(s.iso15765_wft_max);
  w.u8(s.iso15765_tx_data_length);
  w.u8(s.termination);
  w.u8(s.iso15765_pad_value);
  return bytes;
}

std::array<uint8_t, kIsoSetupSize> IsoSetupBytes(const ISO_SETUP& s) {
  std::array<uint8_t, kIsoSetupSize> bytes{};
  LeWriter w(bytes.data());
  w.u32(s.baud_rate);
  w.u8(s.init_address);
  w.u8(s.init_type);
  for (auto field : kIsoTimings) w.u16(s.*field);
  w.u8(s.parity);
  w.u8(s.data_bits);
  return bytes;
}

CAN_SETUP CanSetupFromBytes(const uint8_t (&bytes)[kCanSetupSize]) {
  LeReader r(bytes);
  CAN_SETUP s{};
  s.baud_rate = r.u32();
  s.fd_baud_rate = r.u32();
  s.interframe_delay = r.u16();
  s.bit_sample_point_percent = r.u8();
  s.sync_jump_width_percent = r.u8();
  s.iso15765_block_size = r.u8();
  s.iso15765_separation_time = r.u8();
  s.iso15765_bs_tx_override = r.u8();
  s.iso15765_stmin_tx_override = r.u8();
  s.iso15765_wft_max = r.u8();
  s.iso15765_tx_data_length = r.u8();
  s.termination = r.u8();
  s.iso15765_pad_value = r.u8();
  return s;
}

ISO_SETUP IsoSetupFromBytes(const uint8_t (&bytes)[kIsoSetupSize]) {
  LeReader r(bytes);
  ISO_SETUP s{};
  s.baud_rate = r.u32();
  s.init_address = r.u8();
  s.init_type = r.u8();
  for (auto field : kIsoTimings) s.*field = r.u16();
  s.parity = r.u8();
  s.data_bits = r.u8();
  return s;
}

int32_t SendCanSetup(uint8_t device, const CAN_SETUP& setup, uint8_t flags) {
  const auto bytes = CanSetupBytes(setup);
  return JmsgSendCmd(device, kOpWrite, kTypeSetup, flags, kCanSetupSize, bytes.data(),
                     kSendTimeoutCommand);
}

int32_t SendIsoSetup(const ISO_SETUP& setup) {
  const auto bytes = IsoSetupBytes(setup);
  return JmsgSendCmd(kDevKLine, kOpWrite, kTypeSetup, 0, kIsoSetupSize, bytes.data(),
                     kSendTimeoutCommand);
}

bool ChannelOpen(uint32_t channel_id) {
  return (State().channels.ChannelStatus & ChannelBit(channel_id)) != 0;
}

}  // namespace orv
