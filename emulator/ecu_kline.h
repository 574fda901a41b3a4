// A simulated ECU on the K-line: takes whole request messages (header,
// service bytes, checksum when the line uses one) and answers after P2
// with a checksummed message built from the responder's answer.
//
// Message layout: request `fmt tgt src sid data...`; the answer header is
// 48 6B 10 for an ISO 9141 request (fmt 0x68), otherwise ISO 14230
// (`80|len src tgt`, or `80 src tgt len` above 63 bytes). The built-in
// answer to 21 01 is 102 bytes, so its message is longer than 68 bytes.
//
// Failure reporting: a request with a wrong checksum gets no answer.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/bus_sim_unit.h"
#include "emulator/ecu_responder.h"

namespace orv::emu {

class KLineEcu : public KLineNode {
 public:
  static constexpr uint32_t kP2Ms = 25;

  KLineEcu(BusSim& bus) : bus_(bus) {}

  void on_kline_message(std::span<const uint8_t> bytes, uint64_t at_ms) override;

  EcuResponder& responder() { return responder_; }
  // Answers go out with a wrong checksum byte.
  void set_bad_checksum(bool on) { bad_checksum_ = on; }
  // Whole messages received (checksum included).
  const std::vector<std::vector<uint8_t>>& requests() const { return requests_; }

 private:
  BusSim& bus_;
  EcuResponder responder_;
  bool bad_checksum_ = false;
  std::vector<std::vector<uint8_t>> requests_;
};

// Sum of the bytes modulo 256: the K-line checksum.
uint8_t kline_checksum(std::span<const uint8_t> bytes);

}  // namespace orv::emu
