// The OBD-II / UDS answers of the simulated ECUs. See ecu_responder.h.
#include "emulator/ecu_responder.h"

#include <algorithm>

namespace orv::emu {

namespace {

constexpr uint8_t kNegative = 0x7F;
constexpr uint8_t kServiceNotSupported = 0x11;
constexpr uint8_t kRequestOutOfRange = 0x31;

std::vector<uint8_t> negative(uint8_t sid, uint8_t code) {
  return {kNegative, sid, code};
}

std::vector<uint8_t> with_text(std::vector<uint8_t> head, const std::string& text) {
  head.insert(head.end(), text.begin(), text.end());
  return head;
}

std::optional<std::vector<uint8_t>> answer_obd(std::span<const uint8_t> r, const std::string& vin) {
  if (r.size() < 2) return std::nullopt;
  if (r[0] == 0x01) {
    switch (r[1]) {
      case 0x00:
        return std::vector<uint8_t>{0x41, 0x00, 0xBE, 0x1F, 0xA8, 0x13};
      case 0x0C:
        return std::vector<uint8_t>{0x41, 0x0C, 0x1A, 0xF8};
      case 0x0D:
        return std::vector<uint8_t>{0x41, 0x0D, 0x32};
      default:
        return negative(0x01, kRequestOutOfRange);
    }
  }
  if (r[1] == 0x02) return with_text({0x49, 0x02, 0x01}, vin);
  if (r[1] == 0x00) return std::vector<uint8_t>{0x49, 0x00, 0x54, 0x00, 0x00, 0x00};
  return negative(0x09, kRequestOutOfRange);
}

std::vector<uint8_t> answer_transfer(std::span<const uint8_t> r) {
  const auto length = static_cast<uint16_t>(r.size());
  const uint16_t sum = byte_sum16(r);
  return {0x76,
          r.size() > 1 ? r[1] : uint8_t{0},
          static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(sum >> 8),
          static_cast<uint8_t>(sum)};
}

std::vector<uint8_t> answer_kline_long() {
  std::vector<uint8_t> a{0x61, 0x01};
  for (size_t i = 0; i < 100; ++i) a.push_back(static_cast<uint8_t>(i * 3));
  return a;
}

}  // namespace

std::vector<uint8_t> long_answer_bytes(size_t size) {
  size = std::clamp<size_t>(size, 4, kMaxIsoTpMessage);
  std::vector<uint8_t> a{0x62, 0xFF, 0x00};
  for (size_t i = 3; i < size; ++i) a.push_back(static_cast<uint8_t>(i * 7 + 1));
  return a;
}

uint16_t byte_sum16(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint16_t>(sum);
}

void EcuResponder::set_long_answer_size(size_t size) {
  long_size_ = std::clamp<size_t>(size, 4, kMaxIsoTpMessage);
}

std::optional<std::vector<uint8_t>> EcuResponder::answer(std::span<const uint8_t> r) const {
  if (r.empty()) return std::nullopt;
  if (auto it = scripted_.find(std::vector<uint8_t>(r.begin(), r.end())); it != scripted_.end()) {
    if (it->second.empty()) return std::nullopt;
    return it->second;
  }
  const uint8_t sid = r[0];
  switch (sid) {
    case 0x01:
    case 0x09:
      return answer_obd(r, vin_);
    case 0x10:
      if (r.size() < 2) return negative(sid, kRequestOutOfRange);
      return std::vector<uint8_t>{0x50, r[1], 0x00, 0x32, 0x01, 0xF4};
    case 0x3E:
      return std::vector<uint8_t>{0x7E, 0x00};
    case 0x22:
      if (r.size() >= 3 && r[1] == 0xF1 && r[2] == 0x90) return with_text({0x62, 0xF1, 0x90}, vin_);
      if (r.size() >= 3 && r[1] == 0xFF && r[2] == 0x00) return long_answer_bytes(long_size_);
      return negative(sid, kRequestOutOfRange);
    case 0x36:
      return answer_transfer(r);
    case 0x21:
      if (r.size() >= 2 && r[1] == 0x01) return answer_kline_long();
      return negative(sid, kRequestOutOfRange);
    default:
      return negative(sid, kServiceNotSupported);
  }
}

}  // namespace orv::emu
