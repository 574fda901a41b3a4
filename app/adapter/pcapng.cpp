// pcapng blocks of the adapter's bus frames.
#include "app/adapter/pcapng.h"

#include <cstdio>
#include <string_view>
#include <utility>

namespace orv::app::adapter {

namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeSocketCan = 227;
constexpr uint16_t kOptionEnd = 0, kOptionComment = 1;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfName = 2, kIfDescription = 3, kIfTimestampResolution = 9;
constexpr uint16_t kEpbFlags = 2;
constexpr uint32_t kInbound = 1, kOutbound = 2;

constexpr size_t kCanHeader = 8;
constexpr size_t kCanData = 8, kCanFdData = 64;
constexpr uint32_t kCanExtendedFlag = 0x80000000u;
constexpr uint8_t kCanFdBitRateSwitch = 0x01, kCanFdFrame = 0x04;

// One block, built little-endian; Finish() writes both length fields.
class Block {
 public:
  explicit Block(uint32_t type) {
    U32(type);
    U32(0);  // total length, set by Finish()
  }
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Bytes(const uint8_t* data, size_t size) { bytes_.insert(bytes_.end(), data, data + size); }
  void Pad() {
    while (bytes_.size() % 4 != 0) U8(0);
  }
  void Option(uint16_t code, std::string_view value) {
    U16(code);
    U16(static_cast<uint16_t>(value.size()));
    Bytes(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    Pad();
  }
  void OptionU32(uint16_t code, uint32_t value) {
    U16(code);
    U16(4);
    U32(value);
  }
  std::vector<uint8_t> Finish() {
    U16(kOptionEnd);
    U16(0);
    const auto total = static_cast<uint32_t>(bytes_.size() + 4);
    U32(total);
    for (size_t i = 0; i < 4; ++i) bytes_[4 + i] = static_cast<uint8_t>(total >> (8 * i));
    return std::move(bytes_);
  }

 private:
  std::vector<uint8_t> bytes_;
};

void Append(std::vector<uint8_t>* to, const std::vector<uint8_t>& block) {
  to->insert(to->end(), block.begin(), block.end());
}

}  // namespace

std::vector<uint8_t> PcapngStart() {
  Block section(kSectionHeaderBlock);
  section.U32(kByteOrderMagic);
  section.U16(1);  // version 1.0
  section.U16(0);
  section.U32(0xFFFFFFFFu);  // section length unknown (64 bits)
  section.U32(0xFFFFFFFFu);
  section.Option(kShbUserApplication, "orvanta-adapter");
  std::vector<uint8_t> out = section.Finish();
  constexpr std::string_view kBuses[][2] = {
      {"can0", "Orvanta adapter CAN1 and ISO15765-1"},
      {"can1", "Orvanta adapter CAN2 and ISO15765-2"},
  };
  for (const auto& bus : kBuses) {
    Block interface(kInterfaceBlock);
    interface.U16(kLinkTypeSocketCan);
    interface.U16(0);
    interface.U32(static_cast<uint32_t>(kCanHeader + kCanFdData));  // snap length
    interface.Option(kIfName, bus[0]);
    interface.Option(kIfDescription, bus[1]);
    interface.Option(kIfTimestampResolution, std::string_view("\x06", 1));  // microseconds
    Append(&out, interface.Finish());
  }
  return out;
}

std::optional<std::vector<uint8_t>> PcapngPacket(const BusCanFrame& frame, int64_t unix_us) {
  const size_t room = frame.fd ? kCanFdData : kCanData;
  if (frame.length > room || frame.data.size() > frame.length) return std::nullopt;
  const bool whole = frame.data.size() == frame.length;
  const auto original = static_cast<uint32_t>(kCanHeader + room);
  const auto captured = whole ? original : static_cast<uint32_t>(kCanHeader + frame.data.size());
  const auto time = static_cast<uint64_t>(unix_us);

  Block packet(kEnhancedPacketBlock);
  packet.U32(static_cast<uint32_t>(frame.bus));
  packet.U32(static_cast<uint32_t>(time >> 32));
  packet.U32(static_cast<uint32_t>(time));
  packet.U32(captured);
  packet.U32(original);
  const uint32_t id = frame.id | (frame.extended ? kCanExtendedFlag : 0);
  for (int shift = 24; shift >= 0; shift -= 8) packet.U8(static_cast<uint8_t>(id >> shift));
  packet.U8(static_cast<uint8_t>(frame.length));
  packet.U8(frame.fd ? static_cast<uint8_t>(kCanFdFrame |
                                            (frame.bit_rate_switch ? kCanFdBitRateSwitch : 0))
                     : 0);
  packet.U16(0);  // reserved
  packet.Bytes(frame.data.data(), frame.data.size());
  for (size_t i = kCanHeader + frame.data.size(); i < captured; ++i) packet.U8(0);
  packet.Pad();
  packet.OptionU32(kEpbFlags, frame.sent ? kOutbound : kInbound);
  if (!frame.sent) {
    char comment[48];
    std::snprintf(comment, sizeof comment, "adapter time stamp (%08X)",
                  static_cast<unsigned>(frame.adapter_time));
    packet.Option(kOptionComment, comment);
  }
  return packet.Finish();
}

}  // namespace orv::app::adapter
