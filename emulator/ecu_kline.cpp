// The K-line ECU of the bus simulation. See ecu_kline.h.
#include "emulator/ecu_kline.h"

namespace orv::emu {

namespace {

constexpr size_t kHeaderBytes = 3;
constexpr uint8_t kIso9141Format = 0x68;
constexpr size_t kShortLengthMax = 63;

std::vector<uint8_t> answer_header(std::span<const uint8_t> request, size_t length) {
  if (request[0] == kIso9141Format) return {0x48, 0x6B, 0x10};
  if (length <= kShortLengthMax) {
    return {static_cast<uint8_t>(0x80 | length), request[2], request[1]};
  }
  return {0x80, request[2], request[1], static_cast<uint8_t>(length)};
}

}  // namespace

uint8_t kline_checksum(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return sum;
}

void KLineEcu::on_kline_message(std::span<const uint8_t> bytes, uint64_t at_ms) {
  requests_.emplace_back(bytes.begin(), bytes.end());
  if (bytes.size() < kHeaderBytes + 2) return;
  const auto body = bytes.first(bytes.size() - 1);
  if (bus_.kline_uses_checksum() && kline_checksum(body) != bytes.back()) return;
  const auto payload = (bus_.kline_uses_checksum() ? body : bytes).subspan(kHeaderBytes);
  const auto answer = responder_.answer(payload);
  if (!answer) return;
  std::vector<uint8_t> message = answer_header(bytes, answer->size());
  message.insert(message.end(), answer->begin(), answer->end());
  if (bus_.kline_uses_checksum()) {
    message.push_back(static_cast<uint8_t>(kline_checksum(message) + (bad_checksum_ ? 1 : 0)));
  }
  bus_.schedule(at_ms + kP2Ms,
                [this, m = std::move(message)](uint64_t t) { bus_.kline_transmit(m, t); });
}

}  // namespace orv::emu
