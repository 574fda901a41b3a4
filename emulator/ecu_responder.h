// What the simulated ECUs answer: a small OBD-II and UDS server with a
// vehicle identification number, a long answer of configurable size, and a
// transfer service that reports what arrived; tests can script any answer.
//
// Built-in answers (request -> answer):
//   01 00            -> 41 00 BE 1F A8 13          supported PIDs
//   01 0C            -> 41 0C 1A F8                engine speed
//   01 0D            -> 41 0D 32                   vehicle speed
//   09 02            -> 49 02 01 + 17 VIN bytes    (20 bytes: segmented on CAN)
//   10 xx            -> 50 xx 00 32 01 F4          session control
//   3E 00            -> 7E 00                      tester present
//   22 F1 90         -> 62 F1 90 + VIN
//   22 FF 00         -> 62 FF 00 + long_answer_bytes(size) from byte 3 on
//   36 nn data...    -> 76 nn + length (2 bytes) + sum of all request bytes
//                       (2 bytes), both big-endian: proves a request intact
//   21 01            -> 61 01 + 100 bytes i*3     (the K-line long answer)
//   other services   -> 7F sid 11; unknown PID/DID -> 7F sid 31
//
// Failure reporting: none; an empty optional means "no answer".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orv::emu {

inline constexpr char kDefaultVin[] = "1ORV4NTA0SIM12345";
inline constexpr size_t kMaxIsoTpMessage = 4095;

class EcuResponder {
 public:
  std::optional<std::vector<uint8_t>> answer(std::span<const uint8_t> request) const;

  // Scripting: an exact request gets this answer (an empty answer: none).
  void script(std::vector<uint8_t> request, std::vector<uint8_t> answer) {
    scripted_[std::move(request)] = std::move(answer);
  }
  void clear_scripts() { scripted_.clear(); }

  void set_vin(const std::string& vin) { vin_ = vin; }
  const std::string& vin() const { return vin_; }
  // Total size of the 22 FF 00 answer, 4 to 4095 bytes.
  void set_long_answer_size(size_t size);
  size_t long_answer_size() const { return long_size_; }

 private:
  std::map<std::vector<uint8_t>, std::vector<uint8_t>> scripted_;
  std::string vin_ = kDefaultVin;
  size_t long_size_ = kMaxIsoTpMessage;
};

// The whole 22 FF 00 answer of `size` bytes: 62 FF 00, then byte i is
// (i * 7 + 1) & 0xFF.
std::vector<uint8_t> long_answer_bytes(size_t size);

// Sum of the bytes modulo 65536 (what the transfer answer reports).
uint16_t byte_sum16(std::span<const uint8_t> bytes);

}  // namespace orv::emu
