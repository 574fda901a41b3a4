// The real-time clock of the adapter stand-in (device 0xF0, type 0x0E).
// See service_units.h.
#include <algorithm>

#include "emulator/service_units.h"

namespace orv::emu {

bool ClockUnit::handle(const Frame& request, Context& ctx) {
  if (request.type != type::kClock) return false;
  if (request.op == op::kRead) {
    reply(ctx, Frame::make(dev::kSystem, op::kRead, type::kClock, 0, record_));
    return true;
  }
  if (request.op == op::kWrite) {
    // A short record sets what it carries; the rest stays.
    std::copy_n(request.data.begin(), std::min<size_t>(request.size, kRecordSize), record_.begin());
    ++writes_;
    reply(ctx, Frame::make(dev::kSystem, op::kWrite, type::kClock));
    return true;
  }
  return false;
}

void ClockUnit::reply(Context& ctx, const Frame& answer) {
  if (delay_ms_ == 0) {
    ctx.answer(answer);
  } else {
    ctx.send(answer, delay_ms_);
  }
}

}  // namespace orv::emu
