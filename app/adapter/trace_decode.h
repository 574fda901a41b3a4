// The debug trace as orvanta-adapter's listener reads it: text lines
// "T PORT TICK TEXT" (T the message type), the frame dumps of lines 'C'
// (frame sent) and 'M' (frame received) put back into frames, described
// in words, and the bus frames among them written as candump log lines.
//
// Everything here reads text from the network: no input can make it read
// or write past a buffer, and nothing is trusted to be well-formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::app::adapter {

struct TraceFrame {
  bool sent = false;  // 'C'; else 'M'
  uint8_t id = 0, size = 0, dev = 0, op = 0, flags = 0, type = 0;
  uint32_t timestamp = 0;
  std::vector<uint8_t> data;  // the bytes the dump shows (a batch dump shows 32 at most)
};

// The frame of a 'C' or 'M' trace line, nothing for any other line or a
// dump that does not parse.
std::optional<TraceFrame> ParseFrameLine(std::string_view line);

// "CAN1 read, bus message, flags 0x10 (29-bit), id 18DAF110, data 02 10 03".
std::string DescribeFrame(const TraceFrame& frame);

// A CAN or CAN FD frame that went over one of the adapter's buses: received
// from a CAN device, or sent to one for transmission.
struct BusCanFrame {
  int bus = 0;  // 0: CAN1 and ISO15765-1 (can0); 1: CAN2 and ISO15765-2 (can1)
  bool sent = false;
  bool extended = false;  // 29-bit identifier
  bool fd = false;        // CAN FD: flagged so, or more than 8 data bytes
  bool bit_rate_switch = false;
  uint32_t id = 0;
  size_t length = 0;          // the frame's data length, as its size field tells
  std::vector<uint8_t> data;  // the data bytes the dump shows: `length`, or fewer (batch dump)
  uint32_t adapter_time = 0;  // the dump's time stamp field, as shown
};

// The bus frame of a frame dump, nothing for other frames.
std::optional<BusCanFrame> BusFrameOf(const TraceFrame& frame);

// A bus frame's candump log line for the time `unix_us`, such
// as "(1733535054.123456) can0 7E8#0241000000000000"; nothing for other
// frames.
std::optional<std::string> CandumpLine(const TraceFrame& frame, int64_t unix_us);

// Cuts a byte stream into lines (without "\r\n"). A line longer than
// kMaxLine is handed on in pieces of that length.
class LineAssembler {
 public:
  static constexpr size_t kMaxLine = 4096;
  void Feed(std::string_view bytes, const std::function<void(std::string_view)>& line);
  // Hands on what is left without its line end (the peer closed).
  void Flush(const std::function<void(std::string_view)>& line);

 private:
  std::string pending_;
};

}  // namespace orv::app::adapter
