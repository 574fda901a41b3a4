// DbgMsg, the last-error text and the debug-trace line format.
#include "link/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link/discovery.h"
#include "platform/platform.h"

namespace orv {

char LastError[kLastErrorSize] = "No Error";
char DbgBuffer[kDbgBufferSize];
int32_t debug_socket = -1;
uint32_t TraceDroppedLines = 0;

namespace {

// A listener that stops reading fills the socket: lines are then dropped,
// and after this long without one going out the connection is closed.
constexpr uint32_t kTraceStallMs = 3000;

// When the trace connection began refusing lines (valid while refusing).
struct TraceStall {
  int32_t socket = -1;  // the connection that refuses, -1 while lines go out
  uint32_t since_ms = 0;
};
TraceStall g_stall;

// True between a security request and the next file-store or memory
// request: the memory answer in between carries the key.
bool g_key_answer_expected = false;

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
  int prefix = std::snprintf(line, sizeof line, "%c %ld %ld ", type, static_cast<long>(CommPortNum),
                             static_cast<long>(platform::current().tick_ms()));
  if (prefix < 0) return;
  // Leave room for "\r\n" and the zero; the text is cut if it is longer.
  size_t used = static_cast<size_t>(prefix);
  used += CopyCut(line + used, sizeof line - used - 2, text);
  line[used++] = '\r';
  line[used++] = '\n';
  if (platform::current().trace_send(debug_socket, line, static_cast<uint32_t>(used))) {
    g_stall.socket = -1;
    return;
  }
  ++TraceDroppedLines;
  const uint32_t now = platform::current().tick_ms();
  if (g_stall.socket != debug_socket) {
    g_stall = TraceStall{debug_socket, now};
  } else if (now - g_stall.since_ms >= kTraceStallMs) {
    // Off until the next discovery connects anew.
    platform::current().trace_close(debug_socket);
    debug_socket = -1;
    g_stall.socket = -1;
  }
}

// Data the trace must not carry: file-store write data (the network setup
// file holds the Wi-Fi password), security requests and the key that
// answers them. Anyone on the machine may be the trace's listener.
bool DataIsSecret(char type, const JMSG& frame) {
  if (type == kMsgSent) {
    if (frame.dev == kDevSecurity) {
      g_key_answer_expected = true;
      return true;
    }
    if (frame.dev == kDevMemory) g_key_answer_expected = false;
    return frame.dev == kDevMemory && frame.op == kOpWrite;
  }
  return frame.dev == kDevSecurity || (g_key_answer_expected && frame.dev == kDevMemory);
}

}  // namespace

void DbgMsg(char type, const char* text) {
  if (text == nullptr) text = "";
  if (TraceOn()) SendTraceLine(type, text);
  if (type == kMsgError) CopyCut(LastError, sizeof LastError, text);
}

void DbgMsgf(char type, const char* format, ...) {
  // Only error texts outlive the call; skip formatting when nobody reads it.
  if (type != kMsgError && !TraceOn()) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(DbgBuffer, sizeof DbgBuffer, format, args);
  va_end(args);
  DbgMsg(type, DbgBuffer);
}

void DumpFrame(char type, const JMSG& frame, size_t shown) {
  int used =
      std::snprintf(DbgBuffer, sizeof DbgBuffer, "%02X %02X %02X %02X %02X %02X (%02X%02X%02X%02X)",
                    frame.id, frame.size, frame.dev, frame.op, frame.flags, frame.type,
                    frame.timestamp[0], frame.timestamp[1], frame.timestamp[2], frame.timestamp[3]);
  if (DataIsSecret(type, frame) && used > 0) {
    std::snprintf(DbgBuffer + used, sizeof DbgBuffer - static_cast<size_t>(used),
                  " [%u data bytes not shown]", static_cast<unsigned>(frame.size));
    DbgMsg(type, DbgBuffer);
    return;
  }
  shown = std::min({shown, static_cast<size_t>(frame.size), sizeof frame.data});
  for (size_t i = 0; i < shown && used > 0; ++i) {
    used += std::snprintf(DbgBuffer + used, sizeof DbgBuffer - static_cast<size_t>(used), " %02X",
                          frame.data[i]);
  }
  DbgMsg(type, DbgBuffer);
}

void ResetTraceState() {
  CopyCut(LastError, sizeof LastError, "No Error");
  DbgBuffer[0] = '\0';
  debug_socket = -1;
  TraceDroppedLines = 0;
  g_stall = TraceStall{};
  g_key_answer_expected = false;
}

}  // namespace orv
