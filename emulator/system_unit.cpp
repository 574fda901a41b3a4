// The adapter-system unit (device 0xF0): stop-everything, version, serial
// number and the directory listing of the file store. Requests it does not
// know (options, clock, ...) fall through to other units or go unanswered.
#include "emulator/adapter.h"

#include <algorithm>

namespace orv::emu {

namespace {

// Data bytes 0 to 15 of a listing entry: the file size, little-endian,
// then zeros. The name follows from byte 16, NUL-terminated.
constexpr size_t kListingNameOffset = 16;
// Keeps every listing answer within what the host stores per frame.
constexpr size_t kListingNameMax = kHostDataCapacity - kListingNameOffset - 1;

}  // namespace

bool SystemUnit::handle(const Frame& request, Context& ctx) {
  if (request.op == op::kStop) {
    ctx.adapter().stop_everything();
    return true;
  }
  if (request.type == type::kDirectory) {
    if (request.op == op::kOpen) {
      open_listing(request, ctx);
      return true;
    }
    if (request.op == op::kRead || request.op == op::kClose) {
      if (request.op == op::kClose) {
        listing_.clear();
        listing_open_ = false;
      }
      answer_listing(ctx, request.op);
      return true;
    }
    return false;
  }
  if (request.op == op::kRead && request.type == type::kVersion) {
    answer_version(ctx);
    return true;
  }
  if (request.op == op::kRead && request.type == type::kSerialNumber) {
    answer_serial(ctx);
    return true;
  }
  return false;
}

void SystemUnit::stop_everything(Context& /*ctx*/) {
  listing_.clear();
  listing_open_ = false;
}

void SystemUnit::answer_version(Context& ctx) {
  if (version_size_ == 0) return;
  std::array<uint8_t, kMaxDataSize> data{};
  std::copy(version_.begin(), version_.end(), data.begin());
  ctx.answer(Frame::make(dev::kSystem, op::kRead, type::kVersion, 0,
                         std::span(data).first(version_size_)));
}

void SystemUnit::answer_serial(Context& ctx) {
  if (!serial_answer_) return;
  std::array<uint8_t, 16> data{};
  data[8] = static_cast<uint8_t>(serial_ >> 24);
  data[9] = static_cast<uint8_t>(serial_ >> 16);
  data[10] = static_cast<uint8_t>(serial_ >> 8);
  data[11] = static_cast<uint8_t>(serial_);
  ctx.answer(Frame::make(dev::kSystem, op::kRead, type::kSerialNumber, 0, data));
}

void SystemUnit::open_listing(const Frame& request, Context& ctx) {
  const std::string pattern = text_from(request.payload());
  listing_.clear();
  for (const auto& [name, bytes] : ctx.files().all()) {
    if (wildcard_match(pattern, name)) listing_.push_back(name);
  }
  // Reported front first; kept reversed so each step pops the back.
  std::reverse(listing_.begin(), listing_.end());
  listing_open_ = true;
  answer_listing(ctx, op::kOpen);
}

void SystemUnit::answer_listing(Context& ctx, uint8_t request_op) {
  Frame answer = Frame::make(dev::kSystem, request_op, type::kDirectory);
  if (request_op != op::kClose && listing_open_ && !listing_.empty()) {
    const std::string name = listing_.back();
    listing_.pop_back();
    const std::vector<uint8_t> contents = ctx.files().get(name);
    const auto length = static_cast<uint32_t>(contents.size());
    for (size_t i = 0; i < 4; ++i) answer.data[i] = static_cast<uint8_t>(length >> (8 * i));
    const size_t n = std::min(name.size(), kListingNameMax);
    std::copy_n(name.begin(), n, answer.data.begin() + kListingNameOffset);
    answer.data[kListingNameOffset + n] = 0;
    answer.size = static_cast<uint8_t>(kListingNameOffset + n + 1);
  }
  ctx.answer(answer);
}

}  // namespace orv::emu
