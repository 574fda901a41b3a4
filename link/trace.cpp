// DbgMsg, the last-error text and the debug-trace line format.
#include "link/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link/discovery.h"
#include "link/link_state.h"
#include "platform/platform.h"

namespace orv {

namespace {

// Each thread has its own last error, so that a caller's text is the one
// of its own last failure whatever other threads do meanwhile.
thread_local char t_last_error[kLastErrorSize] = "No Error";

// A listener that stops reading fills the socket: lines are then dropped,
// and after this long without one going out the connection is closed.
constexpr uint32_t kTraceStallMs = 3000;

// Copies `text` into `dest` of `capacity` bytes, cutting it to fit, and
// returns the number of characters copied (without the zero).
size_t CopyCut(char* dest, size_t capacity, const char* text) {
  const size_t length = std::min(std::strlen(text), capacity - 1);
  std::memcpy(dest, text, length);
  dest[length] = '\0';
  return length;
}

void SendTraceLine(char type, const char* text) {
  char line[kTraceLineSize];
  int prefix =
      std::snprintf(line, sizeof line, "%c %ld %ld ", type, static_cast<long>(Link().CommPortNum),
                    static_cast<long>(platform::current().tick_ms()));
  if (prefix < 0) return;
  // Leave room for "\r\n" and the zero; the text is cut if it is longer.
  size_t used = static_cast<size_t>(prefix);
  used += CopyCut(line + used, sizeof line - used - 2, text);
  line[used++] = '\r';
  line[used++] = '\n';
  LinkState& link = Link();
  if (platform::current().trace_send(link.debug_socket, line, static_cast<uint32_t>(used))) {
    link.trace_stall_socket = -1;
    return;
  }
  ++link.TraceDroppedLines;
  const uint32_t now = platform::current().tick_ms();
  if (link.trace_stall_socket != link.debug_socket) {
    link.trace_stall_socket = link.debug_socket;
    link.trace_stall_since_ms = now;
  } else if (now - link.trace_stall_since_ms >= kTraceStallMs) {
    // Off until the next discovery connects anew.
    platform::current().trace_close(link.debug_socket);
    link.debug_socket = -1;
    link.trace_stall_socket = -1;
  }
}

// Data the trace must not carry: file-store and memory data in both
// directions (the network setup file holds the Wi-Fi password, and a key
// answers a security request through the memory device) and security
// requests. Anyone on the machine may be the trace's listener.
bool DataIsSecret(char type, const JMSG& frame) {
  if (frame.dev == kDevSecurity) return true;
  return frame.dev == kDevMemory && (type == kMsgReceived || frame.op == kOpWrite);
}

}  // namespace

void DbgMsg(char type, const char* text) {
  if (text == nullptr) text = "";
  if (TraceOn()) SendTraceLine(type, text);
  if (type == kMsgError) CopyCut(t_last_error, sizeof t_last_error, text);
}

void DbgMsgf(char type, const char* format, ...) {
  // Only error texts outlive the call; skip formatting when nobody reads it.
  if (type != kMsgError && !TraceOn()) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(Link().DbgBuffer, sizeof Link().DbgBuffer, format, args);
  va_end(args);
  DbgMsg(type, Link().DbgBuffer);
}

void DumpFrame(char type, const JMSG& frame, size_t shown) {
  char* buffer = Link().DbgBuffer;
  constexpr size_t kSize = kDbgBufferSize;
  int used =
      std::snprintf(buffer, kSize, "%02X %02X %02X %02X %02X %02X (%02X%02X%02X%02X)", frame.id,
                    frame.size, frame.dev, frame.op, frame.flags, frame.type, frame.timestamp[0],
                    frame.timestamp[1], frame.timestamp[2], frame.timestamp[3]);
  if (DataIsSecret(type, frame) && used > 0) {
    std::snprintf(buffer + used, kSize - static_cast<size_t>(used), " [%u data bytes not shown]",
                  static_cast<unsigned>(frame.size));
    DbgMsg(type, buffer);
    return;
  }
  shown = std::min({shown, static_cast<size_t>(frame.size), sizeof frame.data});
  for (size_t i = 0; i < shown && used > 0; ++i) {
    used += std::snprintf(buffer + used, kSize - static_cast<size_t>(used), " %02X", frame.data[i]);
  }
  DbgMsg(type, buffer);
}

const char* LastErrorText() {
  return t_last_error;
}

void ResetLastErrorText() {
  CopyCut(t_last_error, sizeof t_last_error, "No Error");
}

bool TraceOn() {
  return Link().debug_socket != -1;
}

}  // namespace orv
