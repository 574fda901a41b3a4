// The K-line ECU's side of the two initialisations the host asks for in
// the K-line setup record (device 0x90, op 3, type 7, 56 bytes):
//   - five-baud (init_type bit 0x20): an ECU whose address is the record's
//     init_address answers, after the slow address byte and the W timings,
//     with its two key bytes; the adapter reports them to the host as a
//     K-line frame with flags 0x40 carrying key byte 1, key byte 2 and the
//     inverted address;
//   - fast (init_type bit 0x10): only counted here; the wake-up request
//     that follows is a normal K-line message, answered by the K-line ECU
//     of the bus simulation.
// The unit never takes the setup frame (handle() returns false), so the
// units that keep the channel state see it as well.
//
// Failure reporting: none; a request for another address goes unanswered,
// as on a real line.
#pragma once

#include <cstdint>

#include "emulator/adapter.h"

namespace orv::emu {

class KLineInitUnit : public Unit {
 public:
  static constexpr uint8_t kDefaultAddress = 0x33;  // the OBD functional address
  // 2 s for the address byte at 5 baud, then the sync byte and key bytes.
  static constexpr uint32_t kDefaultAnswerDelayMs = 2400;

  bool handle(const Frame& request, Context& ctx) override;

  void set_address(uint8_t address) { address_ = address; }
  void set_key_bytes(uint8_t kw1, uint8_t kw2) {
    kw1_ = kw1;
    kw2_ = kw2;
  }
  void set_answer_delay(uint32_t ms) { delay_ms_ = ms; }
  uint32_t five_baud_requests() const { return five_baud_requests_; }
  uint32_t fast_init_requests() const { return fast_init_requests_; }
  uint8_t last_init_address() const { return last_address_; }

 private:
  uint8_t address_ = kDefaultAddress;
  uint8_t kw1_ = 0x08;  // ISO 9141-2 key bytes
  uint8_t kw2_ = 0x08;
  uint32_t delay_ms_ = kDefaultAnswerDelayMs;
  uint32_t five_baud_requests_ = 0;
  uint32_t fast_init_requests_ = 0;
  uint8_t last_address_ = 0;
};

// Registers the unit on device 0x90 (asked before the units added earlier).
KLineInitUnit& add_kline_init_unit(Adapter& adapter);

}  // namespace orv::emu
