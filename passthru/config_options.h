// Process-wide option state of the channel-control ioctls: the option
// flags that SET_CONFIG switches (each 0 or 1), the time-stamp form chosen
// by TIMESTAMP_MSEC / TIMESTAMP_USEC, and the key bytes of the last
// five-baud initialisation.
//
// The flags live for the process: connect, disconnect, open and close
// neither reset nor re-send them. Message receive reads `last_segment_flag`,
// `can_mixed_format_flag` and `TimestampMsec`, and stores the key bytes of a
// K-line initialisation answer into `ISO9141Keyword1/2` and
// `ISO9141Address`.
//
// Nothing here can fail.
#pragma once

#include <cstdint>

namespace orv {

struct ConfigOptions {
  uint32_t loopback_flag = 0;
  uint32_t msg_trigger_flag = 0;
  uint32_t bus_error_msgs_flag = 0;
  uint32_t automatic_suspend_flag = 1;
  uint32_t last_segment_flag = 0;
  uint32_t can_mixed_format_flag = 0;  // only ever set to 1

  // 1: received messages carry millisecond time stamps; 0: microseconds.
  uint8_t TimestampMsec = 0;

  // The answer of a five-baud initialisation: the two key bytes and the
  // address byte that came with them (0 until an answer arrives).
  uint8_t ISO9141Keyword1 = 0;
  uint8_t ISO9141Keyword2 = 0;
  uint8_t ISO9141Address = 0;
};

}  // namespace orv
