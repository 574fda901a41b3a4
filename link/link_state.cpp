// Start-up state of the link.
#include "link/link_state.h"

#include <algorithm>
#include <cstring>

#include "link/comdrvr.h"

namespace orv {

LinkState& Link() {
  static LinkState link;
  return link;
}

void LinkState::Reset() {
  if (hCommPort != -1) ComClose(&hCommPort);
  hCommPort = -1;
  ResetComLastOsError();
  CommPortNum = 0;
  UserSpecifiedCommPort = 0;
  UserSpecifiedIOTNum = 0;
  hIOTSocket = -1;
  SerialNumber = 0;
  fSuppressPopups = 0;
  fNotDetectedPopup = 0;
  wsaStarted = 0;
  com_buf_len = 0;
  ORVXResponse = JMSG{};
  std::memset(MemData, 0, sizeof MemData);
  MemSize = 0;
  MemStatus = kMemPending;
  std::fill(std::begin(AdcReadings), std::end(AdcReadings), uint16_t{0});
  std::fill(std::begin(DioReadings), std::end(DioReadings), uint8_t{0});
  ResetLastErrorText();
  DbgBuffer[0] = '\0';
  debug_socket = -1;
  TraceDroppedLines = 0;
  trace_stall_socket = -1;
  trace_stall_since_ms = 0;
  pending_tail_len = 0;
  pending_tail_port = 0;
  link_losses = 0;
  adapter_state_lost = false;
  restoring_adapter = false;
  last_reopen_ms = 0;
}

}  // namespace orv
