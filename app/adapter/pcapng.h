// The adapter's bus frames as pcapng for Wireshark, tshark and other
// capture readers: a section header, one interface per adapter bus (can0:
// CAN1 and ISO15765-1, can1: CAN2 and ISO15765-2) of link type SocketCAN
// (LINKTYPE_CAN_SOCKETCAN, 227), then one enhanced packet block per frame,
// all little-endian.
//
// A packet is the kernel's SocketCAN frame: a 4-byte big-endian identifier
// (bit 31 set for 29 bits), the data length, the CAN FD flags, two reserved
// bytes, then the data in 8 bytes (CAN) or 64 (CAN FD), zero beyond the
// length as SocketCAN hands them. A frame whose dump shows only part of its
// data (a sent batch frame: 32 bytes) is cut after the shown bytes, its
// captured length below its original one: no byte is made up.
// The packet flags give the direction (inbound received, outbound sent);
// a received frame's comment holds the adapter's own time stamp field.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "app/adapter/trace_decode.h"

namespace orv::app::adapter {

// The section header and both interface descriptions: a capture's start.
std::vector<uint8_t> PcapngStart();

// The enhanced packet block of `frame` at `unix_us` (microseconds since
// 1970); nothing for a frame longer than CAN FD allows.
std::optional<std::vector<uint8_t>> PcapngPacket(const BusCanFrame& frame, int64_t unix_us);

}  // namespace orv::app::adapter
