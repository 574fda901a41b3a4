// Adapter memory (0xE0 memory requests) and the security key (0xF2) of the
// adapter stand-in. See service_units.h.
//
// MEM_RW: address and length, 4 bytes each, most significant first, then
// the data (a read carries one zero byte; a write the bytes and ten zero
// bytes). Every request gets one answer: dev 0xE0, op 2, with the bytes
// read (none for a write), or flags 0x40 when refused.
#include <algorithm>

#include "emulator/service_units.h"

namespace orv::emu {

namespace {

constexpr size_t kMemRwHeader = 8;
constexpr size_t kReadRequestSize = kMemRwHeader + 1;
constexpr size_t kWriteTrailer = 10;
constexpr uint32_t kMaxChunk = 64;
constexpr uint8_t kMemoryWriteFlag = 0x10;

constexpr size_t kSecurityDataSize = 47;
constexpr size_t kFixedOffset = 1;
constexpr size_t kSeedOffset = 13;

// The adapter's secret, mixed into every key.
constexpr std::array<uint8_t, 16> kSecret{0x4F, 0x52, 0x56, 0x58, 0x2D, 0x4B, 0x45, 0x59,
                                          0x9A, 0x3C, 0xE1, 0x07, 0x5D, 0xB2, 0x68, 0xF4};

uint32_t BigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void Refuse(Context& ctx) {
  ctx.answer(Frame::make(dev::kFileStore, op::kRead, type::kPlain, kFlagRefused));
}

}  // namespace

bool MemoryUnit::handle(const Frame& request, Context& ctx) {
  if (request.dev == dev::kSecurity) {
    if (request.op != op::kRead) return false;
    on_security(request, ctx);
    return true;
  }
  // A memory read carries MEM_RW; a file-store read-next carries nothing.
  if (request.op == op::kRead && request.size == kReadRequestSize) {
    on_read(request, ctx);
    return true;
  }
  if (request.op == op::kWrite && (request.flags & kMemoryWriteFlag) != 0) {
    on_write(request, ctx);
    return true;
  }
  return false;
}

bool MemoryUnit::in_range(uint32_t address, uint32_t length) const {
  return length >= 1 && length <= kMaxChunk && address < size_ && length <= size_ - address;
}

void MemoryUnit::poke(uint32_t address, std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) bytes_[address++] = b;
}

std::vector<uint8_t> MemoryUnit::peek(uint32_t address, uint32_t length) const {
  std::vector<uint8_t> out(length, 0);
  for (uint32_t i = 0; i < length; ++i) {
    auto it = bytes_.find(address + i);
    if (it != bytes_.end()) out[i] = it->second;
  }
  return out;
}

void MemoryUnit::on_read(const Frame& request, Context& ctx) {
  const uint32_t address = BigEndian32(&request.data[0]);
  const uint32_t length = BigEndian32(&request.data[4]);
  if (!in_range(address, length)) return Refuse(ctx);
  std::vector<uint8_t> bytes = peek(address, length);
  if (read_limit_ != 0 && bytes.size() > read_limit_) bytes.resize(read_limit_);
  ctx.answer(Frame::make(dev::kFileStore, op::kRead, type::kPlain, 0, bytes));
}

void MemoryUnit::on_write(const Frame& request, Context& ctx) {
  if (request.size < kMemRwHeader + kWriteTrailer) return Refuse(ctx);
  const uint32_t address = BigEndian32(&request.data[0]);
  const uint32_t length = BigEndian32(&request.data[4]);
  if (!in_range(address, length) || request.size != kMemRwHeader + length + kWriteTrailer) {
    return Refuse(ctx);
  }
  poke(address, request.payload().subspan(kMemRwHeader, length));
  ctx.answer(Frame::make(dev::kFileStore, op::kRead, type::kPlain));
}

std::array<uint8_t, MemoryUnit::kKeySize> MemoryUnit::security_key(
    uint8_t level, std::span<const uint8_t, 12> fixed, std::span<const uint8_t, 16> seed) {
  std::array<uint8_t, kKeySize> key{};
  key[0] = level;
  uint8_t sum = level;
  for (size_t i = 0; i < seed.size(); ++i) {
    const uint8_t mixed = static_cast<uint8_t>(seed[i] ^ fixed[i % fixed.size()] ^ kSecret[i]);
    key[1 + i] = static_cast<uint8_t>(mixed + level * (i + 1));
    sum = static_cast<uint8_t>(sum + key[1 + i]);
  }
  key[kKeySize - 1] = static_cast<uint8_t>(~sum);
  return key;
}

void MemoryUnit::on_security(const Frame& request, Context& ctx) {
  ++security_requests_;
  if (request.size < kSecurityDataSize) return Refuse(ctx);
  const auto key =
      security_key(request.data[0], std::span<const uint8_t, 12>(&request.data[kFixedOffset], 12),
                   std::span<const uint8_t, 16>(&request.data[kSeedOffset], 16));
  ctx.answer(Frame::make(dev::kFileStore, op::kRead, type::kPlain, 0, key));
}

}  // namespace orv::emu
