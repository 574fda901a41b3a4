// The adapter's service units beyond links and files: analogue inputs,
// digital lines and the programming-voltage output (IoUnit), the adapter
// memory and the security key (MemoryUnit), the real-time clock
// (ClockUnit) and the display (DisplayUnit). The firmware image needs no
// unit of its own: it is the file "APP.LDR" of the file store.
//
// None is built in: add_service_units() registers them on an adapter and
// hands back references through which tests set readings, look at what
// arrived and make answers late or missing.
//
// Failure reporting: as the adapter would: malformed or out-of-range
// requests are refused (flags 0x40) or ignored; nothing throws.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/adapter.h"

namespace orv::emu {

// Devices 0xB0 (analogue inputs), 0xD0 (digital lines), 0xC0 (programming
// voltage).
class IoUnit : public Unit {
 public:
  static constexpr size_t kAnalogInputs = 16;

  bool handle(const Frame& request, Context& ctx) override;

  // Analogue readings in units of 10 mV, per input number (0 programming
  // voltage, 1 battery, 2 and 3 channels 2 and 3, 4 channel 1).
  void set_analog(uint8_t input, uint16_t value) { analog_.at(input) = value; }
  uint16_t analog(uint8_t input) const { return analog_.at(input); }
  // false: analogue requests go unanswered.
  void set_analog_answer(bool on) { analog_answer_ = on; }

  // Digital line levels (lines 1 and 2). A write sets the level a later
  // read reports.
  void set_line(uint8_t line, uint8_t level) { lines_[line] = level; }
  uint8_t line(uint8_t line) const;
  void set_digital_answer(bool on) { digital_answer_ = on; }
  // Levels written by the host, in order: (line, level).
  const std::vector<std::pair<uint8_t, uint8_t>>& line_writes() const { return line_writes_; }

  // The last DAC_SETUP received, if any.
  struct DacSetting {
    uint16_t millivolts = 0;
    uint8_t pin = 0;
  };
  const std::optional<DacSetting>& dac() const { return dac_; }

 private:
  void on_analog_read(const Frame& request, Context& ctx);
  void on_digital(const Frame& request, Context& ctx);

  std::array<uint16_t, kAnalogInputs> analog_{0, 1234, 0, 0, 0};
  bool analog_answer_ = true;
  std::map<uint8_t, uint8_t> lines_;
  bool digital_answer_ = true;
  std::vector<std::pair<uint8_t, uint8_t>> line_writes_;
  std::optional<DacSetting> dac_;
};

// Device 0xE0 memory requests (op 2 with a 9-byte MEM_RW; op 3 with flags
// 0x10) and device 0xF2 security requests, whose key comes back as memory
// data from 0xE0. File-store requests are left to the file-store unit.
class MemoryUnit : public Unit {
 public:
  static constexpr uint32_t kDefaultMemorySize = 0x100000;  // 1 MiB from address 0
  static constexpr size_t kKeySize = 18;

  bool handle(const Frame& request, Context& ctx) override;

  // Requests that reach beyond `size` bytes are refused.
  void set_memory_size(uint32_t size) { size_ = size; }
  void poke(uint32_t address, std::span<const uint8_t> bytes);
  std::vector<uint8_t> peek(uint32_t address, uint32_t length) const;
  // Each read answer carries at most this many bytes (to test short
  // answers); 0 = as many as asked for.
  void set_read_answer_limit(uint8_t n) { read_limit_ = n; }

  // The key the adapter computes: level, 12 fixed bytes, 16 seed bytes.
  static std::array<uint8_t, kKeySize> security_key(uint8_t level,
                                                    std::span<const uint8_t, 12> fixed,
                                                    std::span<const uint8_t, 16> seed);
  uint32_t security_requests() const { return security_requests_; }

 private:
  bool in_range(uint32_t address, uint32_t length) const;
  void on_read(const Frame& request, Context& ctx);
  void on_write(const Frame& request, Context& ctx);
  void on_security(const Frame& request, Context& ctx);

  std::map<uint32_t, uint8_t> bytes_;  // unwritten bytes read as 0
  uint32_t size_ = kDefaultMemorySize;
  uint8_t read_limit_ = 0;
  uint32_t security_requests_ = 0;
};

// Device 0xF0, type 0x0E: the real-time clock. The clock keeps the last
// record written (it does not run). Other 0xF0 requests pass on.
class ClockUnit : public Unit {
 public:
  static constexpr size_t kRecordSize = 12;

  bool handle(const Frame& request, Context& ctx) override;

  void set_record(const std::array<uint8_t, kRecordSize>& record) { record_ = record; }
  const std::array<uint8_t, kRecordSize>& record() const { return record_; }
  // Answers are sent this much later than the request (0 = at once).
  void set_answer_delay(uint32_t ms) { delay_ms_ = ms; }
  uint32_t writes() const { return writes_; }

 private:
  void reply(Context& ctx, const Frame& answer);

  // jdn 2460000, 2023-02-24 12:00:00.
  std::array<uint8_t, kRecordSize> record_{0x60, 0x89, 0x25, 0x00, 0xE7, 0x07, 2, 24, 12, 0, 0, 0};
  uint32_t delay_ms_ = 0;
  uint32_t writes_ = 0;
};

// Device 0xF1: the display. Records each text written; never answers.
class DisplayUnit : public Unit {
 public:
  bool handle(const Frame& request, Context& ctx) override;
  // Text fields (data bytes 3 to 18, up to the first zero) in arrival order.
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  std::vector<std::string> texts_;
};

struct ServiceUnits {
  IoUnit& io;
  MemoryUnit& memory;
  ClockUnit& clock;
  DisplayUnit& display;
};

// Registers the four units on `adapter` (asked before the built-in units
// of the same device).
ServiceUnits add_service_units(Adapter& adapter);

}  // namespace orv::emu
