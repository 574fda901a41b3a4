// Analogue inputs (0xB0), digital lines (0xD0) and the programming-voltage
// output (0xC0) of the adapter stand-in. See service_units.h.
#include "emulator/service_units.h"

namespace orv::emu {

namespace {

constexpr size_t kDacSetupSize = 4;

}  // namespace

bool IoUnit::handle(const Frame& request, Context& ctx) {
  switch (request.dev) {
    case dev::kAdc:
      if (request.op != op::kRead) return false;
      on_analog_read(request, ctx);
      return true;
    case dev::kDio:
      if (request.op != op::kRead && request.op != op::kWrite) return false;
      on_digital(request, ctx);
      return true;
    case dev::kDac:
      if (request.op != op::kWrite || request.size < kDacSetupSize) return false;
      dac_ = DacSetting{static_cast<uint16_t>(request.data[0] | request.data[1] << 8),
                        request.data[2]};
      return true;  // a setting: no answer
    default:
      return false;
  }
}

uint8_t IoUnit::line(uint8_t line) const {
  auto it = lines_.find(line);
  return it == lines_.end() ? 0 : it->second;
}

void IoUnit::on_analog_read(const Frame& request, Context& ctx) {
  if (!analog_answer_ || request.size < 1 || request.data[0] >= kAnalogInputs) return;
  const uint8_t input = request.data[0];
  const uint16_t value = analog_[input];
  const uint8_t data[] = {input, static_cast<uint8_t>(value & 0xFF),
                          static_cast<uint8_t>(value >> 8)};
  ctx.answer(Frame::make(dev::kAdc, op::kRead, type::kPlain, 0, data));
}

void IoUnit::on_digital(const Frame& request, Context& ctx) {
  if (request.size < 1) return;
  const uint8_t line_number = request.data[0];
  if (request.op == op::kWrite) {
    if (request.size < 2) return;
    lines_[line_number] = request.data[1];
    line_writes_.emplace_back(line_number, request.data[1]);
    return;  // writes are not answered
  }
  if (!digital_answer_) return;
  const uint8_t data[] = {line_number, line(line_number)};
  ctx.answer(Frame::make(dev::kDio, op::kRead, type::kPlain, 0, data));
}

}  // namespace orv::emu
