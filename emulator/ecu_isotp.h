// A simulated ECU on a CAN interface speaking ISO 15765-2: receives single
// and segmented requests (answering first frames with its own flow
// control), and sends its answers as single frames or segmented, honouring
// the block size and STmin of the flow control it receives.
//
// Answers come from the OBD-II / UDS responder of ecu_responder.h; tests
// can replace any answer, make the next segmented answer skip a
// consecutive frame or carry a wrong sequence number.
//
// Failure reporting: as an ECU would: a request it cannot take is dropped
// (wrong sequence number, overflow), a missing flow control ends the
// answer after 1000 ms.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "emulator/bus_sim_unit.h"
#include "emulator/ecu_responder.h"

namespace orv::emu {

struct IsoTpEcuConfig {
  size_t iface = 0;
  uint32_t request_id = 0x7E0;
  uint32_t response_id = 0x7E8;
  uint32_t functional_id = 0x7DF;  // 0: none
  bool extended = false;           // 29-bit identifiers
  uint8_t tx_data_length = 8;      // CAN data length of its frames (8, or a CAN FD length)
  uint8_t pad = 0xAA;              // padding of short frames
  uint8_t block_size = 0;          // what its flow control asks for
  uint8_t stmin = 0;
  uint32_t response_delay_ms = 1;
};

class IsoTpEcu : public CanNode {
 public:
  IsoTpEcu(BusSim& bus, const IsoTpEcuConfig& config) : bus_(bus), config_(config) {}

  void on_can_frame(const CanFrame& frame, uint64_t at_ms) override;

  EcuResponder& responder() { return responder_; }
  const IsoTpEcuConfig& config() const { return config_; }
  void set_flow_control(uint8_t block_size, uint8_t stmin) {
    config_.block_size = block_size;
    config_.stmin = stmin;
  }
  void set_tx_data_length(uint8_t length) { config_.tx_data_length = length; }

  // The n-th consecutive frame (from 1) of the next segmented answer is
  // not sent / carries a wrong sequence number.
  void skip_consecutive_frame(uint32_t n) { skip_cf_ = n; }
  void wrong_sequence_number(uint32_t n) { wrong_sn_cf_ = n; }

  // Requests received whole, in order.
  const std::vector<std::vector<uint8_t>>& requests() const { return requests_; }
  // Flow control frames received for its answers: (block size, STmin).
  const std::vector<std::pair<uint8_t, uint8_t>>& flow_controls() const { return fcs_; }
  // Times (ms) at which its consecutive frames went out.
  const std::vector<uint64_t>& consecutive_frame_times() const { return cf_times_; }
  bool sending() const { return tx_.active; }

 private:
  struct Rx {
    bool active = false;
    std::vector<uint8_t> bytes;
    size_t expected = 0;
    uint8_t next_sn = 1;
    uint32_t in_block = 0;
  };
  struct Tx {
    bool active = false;
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    uint8_t sn = 1;
    uint32_t cf_number = 0;
    bool waiting_fc = false;
    uint64_t fc_deadline = 0;
    uint32_t block_size = 0;
    uint32_t in_block = 0;
    uint32_t stmin_ms = 0;
    uint32_t generation = 0;  // ends stale timers
  };

  void take_request_frame(const CanFrame& frame, uint64_t at_ms);
  void take_flow_control(const CanFrame& frame, uint64_t at_ms);
  void request_complete(std::vector<uint8_t> request, uint64_t at_ms);
  void send_answer(std::vector<uint8_t> answer, uint64_t at_ms);
  void send_next_consecutive(uint32_t generation, uint64_t at_ms);
  void send_flow_control(uint64_t at_ms);
  void transmit(std::span<const uint8_t> bytes, bool pad, uint64_t at_ms);

  BusSim& bus_;
  IsoTpEcuConfig config_;
  EcuResponder responder_;
  Rx rx_;
  Tx tx_;
  uint32_t skip_cf_ = 0;
  uint32_t wrong_sn_cf_ = 0;
  std::vector<std::vector<uint8_t>> requests_;
  std::vector<std::pair<uint8_t, uint8_t>> fcs_;
  std::vector<uint64_t> cf_times_;
};

// STmin byte to milliseconds: 0..127 ms; 0xF1..0xF9 (100..900 us) round up
// to 1 ms; reserved values count as 127 ms.
uint32_t stmin_to_ms(uint8_t stmin);

}  // namespace orv::emu
