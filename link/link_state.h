// Everything the link keeps between calls: the port, what discovery found,
// the receive buffer, the answer places the receive pass fills, the trace
// connection and the channel layer's receiver. The one instance lives here
// (Link(), link_state.cpp), so that the link stands without the core; the
// library state (passthru/library_state.h) holds it as State().link and
// resets it with the rest.
#pragma once

#include <cstdint>

#include "link/jmsg.h"
#include "link/trace.h"

namespace orv {

struct LinkState {
  // --- port (serial driver) ---
  int32_t hCommPort = -1;  // serial handle of the link; -1 when closed

  // --- discovery ---
  uint32_t CommPortNum = 0;  // COM port of the adapter; 0 while none is known
  uint32_t UserSpecifiedCommPort = 0;
  uint32_t UserSpecifiedIOTNum = 0;
  int32_t hIOTSocket = -1;  // reserved for a network link; stays -1
  uint32_t SerialNumber = 0;
  uint32_t fSuppressPopups = 0;
  uint32_t fNotDetectedPopup = 0;
  uint32_t wsaStarted = 0;

  // --- receive buffer: bytes read and not yet consumed, from a frame boundary ---
  uint8_t com_buf[kComBufSize]{};
  uint32_t com_buf_len = 0;

  // --- answer places written by the receive pass ---
  JMSG ORVXResponse{};
  uint8_t MemData[kMemDataSize]{};
  int32_t MemSize = 0;
  uint8_t MemStatus = kMemPending;
  uint16_t AdcReadings[kAdcInputs]{};
  uint8_t DioReadings[kDioLines]{};

  // --- trace ---
  char DbgBuffer[kDbgBufferSize]{};
  int32_t debug_socket = -1;  // -1 while the trace is off
  // Lines the trace connection refused (its listener is not reading). After
  // a few seconds of refusals the connection is closed.
  uint32_t TraceDroppedLines = 0;
  int32_t trace_stall_socket = -1;    // the connection that refuses, -1 while lines go out
  uint32_t trace_stall_since_ms = 0;  // when it began refusing

  // Where the receive pass hands bus frames and reports (see ReceiveSink).
  const ReceiveSink* sink = nullptr;

  // --- link integrity ---
  // The rest of a frame whose start a cut-short write left in the adapter:
  // it goes out before anything else on that port, so that the adapter's
  // frame stream stays whole.
  uint8_t pending_tail[kMaxWireFrameSize]{};
  uint32_t pending_tail_len = 0;
  uint32_t pending_tail_port = 0;
  // Counts link losses (a port read or write that failed: the adapter was
  // unplugged or hung up). A wait for an answer that sees it change gives
  // up, since its request went to an adapter that is gone.
  uint32_t link_losses = 0;
  // From a link loss until the channel layer has sent the adapter its
  // channels, filters and periodic messages again after a reopen: a
  // replugged adapter starts with none.
  bool adapter_state_lost = false;
  bool restoring_adapter = false;
  uint32_t last_reopen_ms = 0;
  // Sends the channel layer's state to the adapter again; installed by the
  // channel layer, null without one.
  int32_t (*restore_adapter)() = nullptr;

  // Start-up state: the port closed (closing it if open), nothing known,
  // buffers empty, trace off, "No Error" for the calling thread. The
  // receiver and the restorer stay installed.
  void Reset();
};

// The link's part of the library state.
LinkState& Link();

}  // namespace orv
