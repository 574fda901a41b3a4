// The channel model shared by every channel operation: the six channels and
// their device codes, the bit set of open channels, the two channel setup
// records sent to the adapter, the protocol test and the CAN FD data
// lengths.
//
// The setup records are plain host records; they go on the wire only
// through CanSetupBytes/IsoSetupBytes, which write every field explicitly
// little-endian, so neither host byte order nor padding reaches the adapter.
//
// Failure reporting: the send helpers return the link's status (0 or
// ERR_FAILED); everything else here cannot fail.
#pragma once

#include <array>
#include <cstddef>
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

constexpr uint32_t ChannelBit(uint32_t channel_id) {
  return 1u << (channel_id % 32);
}
bool ChannelOpen(uint32_t channel_id);

// The channel switch: the connect device code of a channel (0x90, 0x10,
// 0x20, 0x30, 0x40), or 0 for an ID that is not a channel.
uint8_t ChannelDevice(uint32_t channel_id);

// The device that takes the channel's setup record: 0x90 for 3 and 4, 0x10
// for 5 and 6, 0x30 for 11 and 12; 0 for an ID that is not a channel.
uint8_t SetupDevice(uint32_t channel_id);

// 1 when a message with protocol ID `Protocol` belongs on channel `Channel`.
int VerifyProtocol(uint32_t Protocol, uint32_t Channel);

// 1 for the CAN FD data lengths 8, 12, 16, 20, 24, 32, 48, 64.
int can_fd_valid_data_length(uint32_t length);

// --- channel setup records ---------------------------------------------------

// Setup of one CAN interface (both of its channels): 20 bytes on the wire.
struct CAN_SETUP {
  uint32_t baud_rate;
  uint32_t fd_baud_rate;
  uint16_t interframe_delay;
  uint8_t bit_sample_point_percent;
  uint8_t sync_jump_width_percent;
  uint8_t iso15765_block_size;
  uint8_t iso15765_separation_time;
  uint8_t iso15765_bs_tx_override;     // 0xFF: use the received block size
  uint8_t iso15765_stmin_tx_override;  // 0xFF: use the received STmin
  uint8_t iso15765_wft_max;
  uint8_t iso15765_tx_data_length;  // 8 or a CAN FD length
  uint8_t termination;
  uint8_t iso15765_pad_value;
};
inline constexpr size_t kCanSetupSize = 20;
static_assert(sizeof(CAN_SETUP) == kCanSetupSize);
static_assert(offsetof(CAN_SETUP, fd_baud_rate) == 4 && offsetof(CAN_SETUP, interframe_delay) == 8);
static_assert(offsetof(CAN_SETUP, bit_sample_point_percent) == 10);
static_assert(offsetof(CAN_SETUP, sync_jump_width_percent) == 11);
static_assert(offsetof(CAN_SETUP, iso15765_block_size) == 12);
static_assert(offsetof(CAN_SETUP, iso15765_separation_time) == 13);
static_assert(offsetof(CAN_SETUP, iso15765_bs_tx_override) == 14);
static_assert(offsetof(CAN_SETUP, iso15765_stmin_tx_override) == 15);
static_assert(offsetof(CAN_SETUP, iso15765_wft_max) == 16);
static_assert(offsetof(CAN_SETUP, iso15765_tx_data_length) == 17);
static_assert(offsetof(CAN_SETUP, termination) == 18);
static_assert(offsetof(CAN_SETUP, iso15765_pad_value) == 19);

// Setup of the K-line (channels 3 and 4): 56 bytes on the wire. Timing
// fields are milliseconds.
struct ISO_SETUP {
  uint32_t baud_rate;
  uint8_t init_address;
  uint8_t init_type;  // 0x80 no checksum, 0x40 connect flag 0x20000000,
                      // 0x20 five-baud init requested, 0x10 fast init requested
  uint16_t p1_min;
  uint16_t p1_max;
  uint16_t p2_min;
  uint16_t p2_max;
  uint16_t p3_min;
  uint16_t p3_max;
  uint16_t p4_min;
  uint16_t p4_max;
  uint16_t p5_min;
  uint16_t p5_max;
  uint16_t w0_min;
  uint16_t w0_max;
  uint16_t w1_min;
  uint16_t w1_max;
  uint16_t w2_min;
  uint16_t w2_max;
  uint16_t w3_min;
  uint16_t w3_max;
  uint16_t w4_min;
  uint16_t w4_max;
  uint16_t w5_min;
  uint16_t w5_max;
  uint16_t tini_l;
  uint16_t twup;
  uint8_t parity;
  uint8_t data_bits;
};
inline constexpr size_t kIsoSetupSize = 56;
static_assert(sizeof(ISO_SETUP) == kIsoSetupSize);
static_assert(offsetof(ISO_SETUP, init_address) == 4 && offsetof(ISO_SETUP, init_type) == 5);
static_assert(offsetof(ISO_SETUP, p1_min) == 6 && offsetof(ISO_SETUP, p1_max) == 8);
static_assert(offsetof(ISO_SETUP, p2_min) == 10 && offsetof(ISO_SETUP, p2_max) == 12);
static_assert(offsetof(ISO_SETUP, p3_min) == 14 && offsetof(ISO_SETUP, p3_max) == 16);
static_assert(offsetof(ISO_SETUP, p4_min) == 18 && offsetof(ISO_SETUP, p4_max) == 20);
static_assert(offsetof(ISO_SETUP, p5_min) == 22 && offsetof(ISO_SETUP, p5_max) == 24);
static_assert(offsetof(ISO_SETUP, w0_min) == 26 && offsetof(ISO_SETUP, w0_max) == 28);
static_assert(offsetof(ISO_SETUP, w1_min) == 30 && offsetof(ISO_SETUP, w1_max) == 32);
static_assert(offsetof(ISO_SETUP, w2_min) == 34 && offsetof(ISO_SETUP, w2_max) == 36);
static_assert(offsetof(ISO_SETUP, w3_min) == 38 && offsetof(ISO_SETUP, w3_max) == 40);
static_assert(offsetof(ISO_SETUP, w4_min) == 42 && offsetof(ISO_SETUP, w4_max) == 44);
static_assert(offsetof(ISO_SETUP, w5_min) == 46 && offsetof(ISO_SETUP, w5_max) == 48);
static_assert(offsetof(ISO_SETUP, tini_l) == 50 && offsetof(ISO_SETUP, twup) == 52);
static_assert(offsetof(ISO_SETUP, parity) == 54 && offsetof(ISO_SETUP, data_bits) == 55);

// What the library keeps per channel family.
struct ChannelRecords {
  // Bit (channel ID mod 32) is set while the channel is open.
  uint32_t ChannelStatus = 0;
  // First CAN interface (channels 5 and 6), second (11 and 12), K-line (3,
  // 4). Connect overwrites its own fields; SET_CONFIG the others.
  CAN_SETUP CANSetup{};
  CAN_SETUP MSCANSetup{};
  ISO_SETUP ISO9141Setup{};
  // 1 when the last K-line connect asked for ISO9141_NO_CHECKSUM.
  uint32_t ISO9141NoChecksum = 0;
};

// The CAN setup record of a CAN-family channel (5, 6 -> CANSetup; 11, 12 ->
// MSCANSetup), or null for any other channel.
CAN_SETUP* CanSetupOfChannel(uint32_t channel_id);

// The wire images of the records (little-endian, no padding).
std::array<uint8_t, kCanSetupSize> CanSetupBytes(const CAN_SETUP& setup);
std::array<uint8_t, kIsoSetupSize> IsoSetupBytes(const ISO_SETUP& setup);
// And back (used by tests and the adapter stand-in to read what was sent).
CAN_SETUP CanSetupFromBytes(const uint8_t (&bytes)[kCanSetupSize]);
ISO_SETUP IsoSetupFromBytes(const uint8_t (&bytes)[kIsoSetupSize]);

// Sends a setup record: device `device`, operation 3, type 7. `flags` is 0,
// or 0x80 for CAN_D2_FLOW_CONTROL. Returns the link's status.
int32_t SendCanSetup(uint8_t device, const CAN_SETUP& setup, uint8_t flags);
int32_t SendIsoSetup(const ISO_SETUP& setup);

}  // namespace orv
