// Five-baud key bytes and fast-init requests of the K-line ECU. See
// kline_init_unit.h.
#include "emulator/kline_init_unit.h"

namespace orv::emu {

namespace {

constexpr size_t kKLineSetupSize = 56;
constexpr size_t kInitAddressOffset = 4;
constexpr size_t kInitTypeOffset = 5;
constexpr uint8_t kFiveBaudRequested = 0x20;
constexpr uint8_t kFastInitRequested = 0x10;
constexpr uint8_t kKeyBytesReport = 0x40;

}  // namespace

bool KLineInitUnit::handle(const Frame& request, Context& ctx) {
  if (request.op != op::kWrite || request.type != type::kSetup || request.size != kKLineSetupSize) {
    return false;
  }
  const uint8_t init_type = request.data[kInitTypeOffset];
  if (init_type & kFastInitRequested) ++fast_init_requests_;
  if (init_type & kFiveBaudRequested) {
    ++five_baud_requests_;
    last_address_ = request.data[kInitAddressOffset];
    if (last_address_ == address_) {
      const uint8_t report[] = {kw1_, kw2_, static_cast<uint8_t>(~address_)};
      ctx.send(Frame::make(dev::kKLine, op::kRead, type::kPlain, kKeyBytesReport, report),
               delay_ms_);
    }
  }
  return false;  // the channel state units take the setup as usual
}

KLineInitUnit& add_kline_init_unit(Adapter& adapter) {
  return adapter.add_unit<KLineInitUnit>({dev::kKLine});
}

}  // namespace orv::emu
