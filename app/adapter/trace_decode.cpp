// Reading the debug trace: frame dumps back into frames, words, candump.
#include "app/adapter/trace_decode.h"

#include <cstdio>

namespace orv::app::adapter {

namespace {

constexpr uint8_t kFlagFd = 0x01;
constexpr uint8_t kFlagBitRateSwitch = 0x02;
constexpr uint8_t kFlag29Bit = 0x10;
constexpr uint8_t kOpRead = 2;
constexpr uint8_t kOpWrite = 3;
constexpr uint8_t kTypeBusMessage = 5;
constexpr size_t kClassicCanBytes = 8;

struct Name {
  uint8_t code;
  const char* text;
};

constexpr Name kDevices[] = {
    {0x10, "CAN1"},          {0x20, "ISO15765-1"},  {0x30, "CAN2"},
    {0x40, "ISO15765-2"},    {0x90, "K-line"},      {0xB0, "analog inputs"},
    {0xC0, "prog. voltage"}, {0xD0, "digital I/O"}, {0xE0, "memory/file store"},
    {0xF0, "adapter"},       {0xF1, "display"},     {0xF2, "security"},
};
constexpr Name kOperations[] = {{0, "start"}, {1, "stop"},  {2, "read"},  {3, "write"},
                                {5, "open"},  {6, "close"}, {7, "delete"}};
constexpr Name kTypes[] = {
    {0x00, "plain"},        {0x01, "filter mask"},   {0x02, "filter pattern"},
    {0x03, "flow control"}, {0x04, "periodic"},      {0x05, "bus message"},
    {0x07, "setup"},        {0x08, "serial number"}, {0x0C, "clear receive"},
    {0x0D, "version"},      {0x0E, "clock"},         {0x0F, "directory"},
};

template <size_t N>
std::string NameOf(const Name (&names)[N], uint8_t code, const char* what) {
  for (const Name& n : names) {
    if (n.code == code) return n.text;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%s 0x%02X", what, code);
  return text;
}

bool IsCanDevice(uint8_t dev) {
  return dev == 0x10 || dev == 0x20 || dev == 0x30 || dev == 0x40;
}

bool CarriesBusFrame(const TraceFrame& f) {
  if (!IsCanDevice(f.dev) && f.dev != 0x90) return false;
  return f.sent ? f.op == kOpWrite && f.type >= 1 && f.type <= kTypeBusMessage : f.op == kOpRead;
}

// Two hex digits at `text[at]`; -1 when they are not.
int HexByte(std::string_view text, size_t at) {
  int value = 0;
  for (size_t i = at; i < at + 2; ++i) {
    if (i >= text.size()) return -1;
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// The identifier at the front of a CAN frame's data: 4 bytes with the
// 29-bit flag, else 2. Nothing when the data is shorter.
std::optional<uint32_t> Identifier(const TraceFrame& f, size_t* length) {
  *length = (f.flags & kFlag29Bit) != 0 ? 4 : 2;
  if (f.data.size() < *length) return std::nullopt;
  uint32_t id = 0;
  for (size_t i = 0; i < *length; ++i) id = id << 8 | f.data[i];
  return id & ((f.flags & kFlag29Bit) != 0 ? 0x1FFFFFFFu : 0x7FFu);
}

std::string HexBytes(const std::vector<uint8_t>& data, size_t from, const char* separator) {
  std::string out;
  char cell[4];
  for (size_t i = from; i < data.size(); ++i) {
    if (i > from) out += separator;
    std::snprintf(cell, sizeof cell, "%02X", data[i]);
    out += cell;
  }
  return out;
}

}  // namespace

std::optional<TraceFrame> ParseFrameLine(std::string_view line) {
  // "C 7 1234 00 00 F0 02 00 0D (00000000) 01 02"
  if (line.size() < 2 || (line[0] != 'C' && line[0] != 'M') || line[1] != ' ') return std::nullopt;
  TraceFrame f;
  f.sent = line[0] == 'C';
  size_t at = 2;
  for (int field = 0; field < 2; ++field) {  // port, tick
    const size_t space = line.find(' ', at);
    if (space == std::string_view::npos) return std::nullopt;
    at = space + 1;
  }
  uint8_t* header[] = {&f.id, &f.size, &f.dev, &f.op, &f.flags, &f.type};
  for (uint8_t* field : header) {
    const int value = HexByte(line, at);
    if (value < 0 || (at + 2 < line.size() && line[at + 2] != ' ')) return std::nullopt;
    *field = static_cast<uint8_t>(value);
    at += 3;
  }
  if (at >= line.size() || line[at] != '(') return std::nullopt;
  for (int i = 0; i < 4; ++i) {
    const int value = HexByte(line, at + 1 + 2 * static_cast<size_t>(i));
    if (value < 0) return std::nullopt;
    f.timestamp = f.timestamp << 8 | static_cast<uint32_t>(value);
  }
  at += 9;  // the '(' and eight digits
  if (at >= line.size() || line[at] != ')') return std::nullopt;
  for (at += 1; at + 2 < line.size() && line[at] == ' '; at += 3) {
    const int value = HexByte(line, at + 1);
    if (value < 0 || f.data.size() >= f.size) break;
    f.data.push_back(static_cast<uint8_t>(value));
  }
  return f;
}

std::string DescribeFrame(const TraceFrame& f) {
  std::string out = NameOf(kDevices, f.dev, "device") + " " + NameOf(kOperations, f.op, "op") +
                    ", " + NameOf(kTypes, f.type, "type");
  char flags[64];
  std::snprintf(flags, sizeof flags, ", flags 0x%02X", f.flags);
  out += flags;
  if (!CarriesBusFrame(f)) {
    if (!f.data.empty()) out += ", data " + HexBytes(f.data, 0, " ");
    return out;
  }
  size_t id_length = 0;
  if (!IsCanDevice(f.dev)) {
    out += f.data.empty() ? "" : ", data " + HexBytes(f.data, 0, " ");
  } else if (const auto id = Identifier(f, &id_length)) {
    if ((f.flags & kFlag29Bit) != 0) out += " (29-bit)";
    if ((f.flags & kFlagFd) != 0) out += " (CAN FD)";
    char text[32];
    std::snprintf(text, sizeof text, ", id %0*X", (f.flags & kFlag29Bit) != 0 ? 8 : 3,
                  static_cast<unsigned>(*id));
    out += text;
    out += ", data " + (f.data.size() > id_length ? HexBytes(f.data, id_length, " ") : "none");
  }
  return out;
}

std::optional<BusCanFrame> BusFrameOf(const TraceFrame& f) {
  if (!IsCanDevice(f.dev) || !CarriesBusFrame(f) || (f.sent && f.type != kTypeBusMessage)) {
    return std::nullopt;
  }
  size_t id_length = 0;
  const auto id = Identifier(f, &id_length);
  if (!id) return std::nullopt;
  BusCanFrame bus;
  bus.bus = f.dev >= 0x30 ? 1 : 0;
  bus.sent = f.sent;
  bus.extended = (f.flags & kFlag29Bit) != 0;
  bus.id = *id;
  // The parser keeps at most `size` bytes, so the shown data never exceeds the length.
  bus.length = f.size - id_length;
  bus.data.assign(f.data.begin() + static_cast<std::ptrdiff_t>(id_length), f.data.end());
  // More than 8 bytes only fit a CAN FD frame, whatever the flags say.
  bus.fd = (f.flags & kFlagFd) != 0 || bus.length > kClassicCanBytes;
  bus.bit_rate_switch = (f.flags & kFlagBitRateSwitch) != 0;
  bus.adapter_time = f.timestamp;
  return bus;
}

std::optional<std::string> CandumpLine(const TraceFrame& f, int64_t unix_us) {
  const auto bus = BusFrameOf(f);
  if (!bus) return std::nullopt;
  char head[96];
  std::snprintf(head, sizeof head, "(%lld.%06lld) can%d %0*X#",
                static_cast<long long>(unix_us / 1000000),
                static_cast<long long>(unix_us % 1000000), bus->bus, bus->extended ? 8 : 3,
                static_cast<unsigned>(bus->id));
  std::string line = head;
  if (bus->fd) line += bus->bit_rate_switch ? "#1" : "#0";
  return line + HexBytes(bus->data, 0, "");
}

void LineAssembler::Feed(std::string_view bytes,
                         const std::function<void(std::string_view)>& line) {
  for (const char c : bytes) {
    if (c == '\n') {
      if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
      line(pending_);
      pending_.clear();
      continue;
    }
    pending_ += c;
    if (pending_.size() >= kMaxLine) {
      line(pending_);
      pending_.clear();
    }
  }
}

void LineAssembler::Flush(const std::function<void(std::string_view)>& line) {
  if (!pending_.empty()) line(pending_);
  pending_.clear();
}

}  // namespace orv::app::adapter
