// The message sink of the library: every trace line and every error text
// passes through DbgMsg. The last-error text is kept per thread; the
// formatting buffer and the debug-trace socket are part of the link state.
//
// Texts never overrun their buffers: a long 'E' text is cut to fit
// the last-error text (239 characters and the terminating zero) and a long trace
// line is cut so that it still ends in "\r\n".
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/jmsg.h"

namespace orv {

inline constexpr size_t kLastErrorSize = 240;
inline constexpr size_t kDbgBufferSize = 32768;
inline constexpr size_t kTraceLineSize = 1024;
inline constexpr uint16_t kTracePort = 8609;

// Message types.
inline constexpr char kMsgApi = 'A';
inline constexpr char kMsgSent = 'C';
inline constexpr char kMsgLink = 'D';
inline constexpr char kMsgError = 'E';
inline constexpr char kMsgReceived = 'M';
inline constexpr char kMsgRead = 'R';

void DbgMsg(char type, const char* text);

// The text of this thread's last 'E' message ("No Error" before any).
const char* LastErrorText();
void ResetLastErrorText();

// Formats into DbgBuffer (bounded) and passes the text to DbgMsg.
void DbgMsgf(char type, const char* format, ...) __attribute__((format(printf, 2, 3)));

bool TraceOn();

// Dumps a frame header and its first `shown` data bytes as
// "%02X %02X %02X %02X %02X %02X (%02X%02X%02X%02X)" followed by " %02X"
// per byte, and sends it with `type`. Secret data (file-store writes,
// security requests and keys) is replaced by its length. Only call while
// the trace is on.
void DumpFrame(char type, const JMSG& frame, size_t shown);

}  // namespace orv
