// The display of the adapter stand-in (device 0xF1), and the registration
// of the service units. See service_units.h.
#include <algorithm>

#include "emulator/service_units.h"

namespace orv::emu {

namespace {

// Display frame data: a mode byte, two zero bytes, a 16-byte text field.
constexpr size_t kTextOffset = 3;
constexpr size_t kTextSize = 16;

}  // namespace

bool DisplayUnit::handle(const Frame& request, Context& /*ctx*/) {
  if (request.op != op::kWrite) return false;
  if (request.size > kTextOffset) {
    const size_t n = std::min<size_t>(request.size - kTextOffset, kTextSize);
    texts_.push_back(text_from(request.payload().subspan(kTextOffset, n)));
  }
  return true;
}

ServiceUnits add_service_units(Adapter& adapter) {
  return ServiceUnits{
      adapter.add_unit<IoUnit>({dev::kAdc, dev::kDio, dev::kDac}),
      adapter.add_unit<MemoryUnit>({dev::kFileStore, dev::kSecurity}),
      adapter.add_unit<ClockUnit>({dev::kSystem}),
      adapter.add_unit<DisplayUnit>({dev::kDisplay}),
  };
}

}  // namespace orv::emu
