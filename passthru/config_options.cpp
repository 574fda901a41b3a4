// Option flags, time-stamp form and five-baud key bytes (see the header).
#include "passthru/config_options.h"

namespace orv {

uint32_t loopback_flag = 0;
uint32_t msg_trigger_flag = 0;
uint32_t bus_error_msgs_flag = 0;
uint32_t automatic_suspend_flag = 1;
uint32_t last_segment_flag = 0;
uint32_t can_mixed_format_flag = 0;

uint8_t TimestampMsec = 0;

uint8_t ISO9141Keyword1 = 0;
uint8_t ISO9141Keyword2 = 0;
uint8_t ISO9141Address = 0;

void ResetConfigOptions() {
  loopback_flag = 0;
  msg_trigger_flag = 0;
  bus_error_msgs_flag = 0;
  automatic_suspend_flag = 1;
  last_segment_flag = 0;
  can_mixed_format_flag = 0;
  TimestampMsec = 0;
  ISO9141Keyword1 = 0;
  ISO9141Keyword2 = 0;
  ISO9141Address = 0;
}

}  // namespace orv
