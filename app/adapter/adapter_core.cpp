// orvanta-adapter's subcommands over the public pass-thru API.
#include "app/adapter/adapter_core.h"

#include <chrono>
#include <cstdio>

namespace orv::app::adapter {

namespace {

namespace chr = std::chrono;

// PassThruReadDir writes at most this much.
constexpr size_t kListingCapacity = ORV_FILE_LIST_MAX;
// The Julian day number of 1970-01-01.
constexpr int32_t kUnixEpochDayNumber = 2440588;
// J2534 callers provide 80 characters for texts.
constexpr size_t kTextSize = 80;

Outcome Result(int32_t status) {
  Outcome outcome{status, {}};
  if (status != STATUS_NOERROR) {
    char text[kTextSize] = {};
    PassThruGetLastError(text);
    outcome.error = text;
  }
  return outcome;
}

// The library takes writable names.
std::vector<char> Writable(const std::string& text) {
  return {text.c_str(), text.c_str() + text.size() + 1};
}

chr::sys_days ToDays(const ClockTime& t) {
  return chr::sys_days{chr::year{t.year} / chr::month{static_cast<unsigned>(t.month)} /
                       chr::day{static_cast<unsigned>(t.day)}};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` decimal digits at `at`; -1 when they are not all digits.
int Digits(std::string_view text, size_t at, size_t digits) {
  int value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

Outcome OpenAdapter(uint32_t port, uint32_t* device_id) {
  char name[16] = {};
  if (port != 0) std::snprintf(name, sizeof name, "COM%u", static_cast<unsigned>(port));
  return Result(PassThruOpen(port != 0 ? name : nullptr, device_id));
}

Outcome ReadInfo(uint32_t device_id, AdapterInfo* info) {
  info->port = device_id;
  char firmware[kTextSize] = {}, library[kTextSize] = {}, api[kTextSize] = {};
  int32_t rc = PassThruReadVersion(device_id, firmware, library, api);
  if (rc != STATUS_NOERROR) return Result(rc);
  info->firmware = firmware;
  info->library = library;
  info->api = api;
  SPARAM serial{1, 0, 0};  // SERIAL_NUMBER
  SPARAM_LIST params{1, &serial};
  if ((rc = PassThruIoctl(0, GET_DEVICE_INFO, nullptr, &params)) != STATUS_NOERROR) {
    return Result(rc);
  }
  info->serial_number = serial.Value;
  if ((rc = PassThruIoctl(0, READ_VBATT, nullptr, &info->battery_mv)) != STATUS_NOERROR) {
    return Result(rc);
  }
  return Result(PassThruIoctl(0, READ_PROG_VOLTAGE, nullptr, &info->programming_mv));
}

Outcome ListFiles(const std::string& pattern, std::vector<std::string>* names) {
  std::vector<char> pattern_text = Writable(pattern);  // the call takes a writable string
  std::vector<char> list(kListingCapacity, '\0');
  const Outcome outcome = Result(PassThruReadDir(pattern_text.data(), list.data()));
  if (!outcome.ok()) return outcome;
  list.back() = '\0';
  std::string_view rest(list.data());
  while (!rest.empty()) {  // "A.TXT,B.TXT,"
    const size_t comma = rest.find(',');
    names->emplace_back(rest.substr(0, comma));
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
  }
  return outcome;
}

Outcome GetFile(const std::string& name, const std::string& host_file) {
  std::vector<char> stored = Writable(name), host = Writable(host_file);
  return Result(PassThruReadFile(host.data(), stored.data(), 0));
}

Outcome PutFile(const std::string& host_file, const std::string& name) {
  std::vector<char> stored = Writable(name), host = Writable(host_file);
  return Result(PassThruWriteFile(host.data(), stored.data(), 0));
}

Outcome RemoveFile(const std::string& name) {
  std::vector<char> stored = Writable(name);
  return Result(PassThruDeleteFile(stored.data(), 0));
}

Outcome ReadClock(ClockTime* time) {
  RTC_DAY_TIME record{};
  const Outcome outcome = Result(PassThruReadRTC(&record));
  if (outcome.ok()) *time = FromRecord(record);
  return outcome;
}

Outcome SetClock(const ClockTime& time) {
  RTC_DAY_TIME record = ToRecord(time);
  return Result(PassThruWriteRTC(&record));
}

RTC_DAY_TIME ToRecord(const ClockTime& t) {
  RTC_DAY_TIME record{};
  record.jdn = static_cast<int32_t>(ToDays(t).time_since_epoch().count()) + kUnixEpochDayNumber;
  record.year = static_cast<uint16_t>(t.year);
  record.month = static_cast<uint8_t>(t.month);
  record.day = static_cast<uint8_t>(t.day);
  record.hour = static_cast<uint8_t>(t.hour);
  record.min = static_cast<uint8_t>(t.minute);
  record.sec = static_cast<uint8_t>(t.second);
  return record;
}

ClockTime FromRecord(const RTC_DAY_TIME& record) {
  return ClockTime{record.year, record.month, record.day, record.hour, record.min, record.sec};
}

bool ParseClockTime(std::string_view text, ClockTime* time) {
  // YYYY-MM-DD HH:MM:SS
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':') {
    return false;
  }
  const ClockTime t{Digits(text, 0, 4),  Digits(text, 5, 2),  Digits(text, 8, 2),
                    Digits(text, 11, 2), Digits(text, 14, 2), Digits(text, 17, 2)};
  if (t.year < 0 || t.month < 1 || t.day < 1 || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
      t.minute > 59 || t.second < 0 || t.second > 59) {
    return false;
  }
  const chr::year_month_day date{chr::year{t.year} / chr::month{static_cast<unsigned>(t.month)} /
                                 chr::day{static_cast<unsigned>(t.day)}};
  if (!date.ok()) return false;
  *time = t;
  return true;
}

std::string FormatClockTime(const ClockTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

int64_t ToUnixSeconds(const ClockTime& t) {
  return static_cast<int64_t>(ToDays(t).time_since_epoch().count()) * 86400 + t.hour * 3600 +
         t.minute * 60 + t.second;
}

ClockTime FromUnixSeconds(int64_t seconds) {
  const chr::sys_seconds at{chr::seconds{seconds}};
  const auto days = chr::floor<chr::days>(at);
  const chr::year_month_day date{days};
  const chr::hh_mm_ss time{at - days};
  return ClockTime{static_cast<int>(date.year()),
                   static_cast<int>(static_cast<unsigned>(date.month())),
                   static_cast<int>(static_cast<unsigned>(date.day())),
                   static_cast<int>(time.hours().count()),
                   static_cast<int>(time.minutes().count()),
                   static_cast<int>(time.seconds().count())};
}

ClockTime HostClockNow() {
  const auto now = chr::floor<chr::seconds>(chr::system_clock::now());
  return FromUnixSeconds(now.time_since_epoch().count());
}

Outcome ReadMemory(uint32_t address, uint32_t length, std::vector<uint8_t>* data) {
  data->assign(length, 0);
  return Result(PassThruReadMem(address, length, data->data(), 0));
}

Outcome WriteMemory(uint32_t address, std::span<const uint8_t> data) {
  std::vector<uint8_t> bytes(data.begin(), data.end());
  return Result(PassThruWriteMem(address, static_cast<uint32_t>(bytes.size()), bytes.data(), 0));
}

Outcome UpdateFirmware(std::span<const uint8_t> image) {
  std::vector<uint8_t> bytes(image.begin(), image.end());
  return Result(PassThruUpdateFirmware(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

std::string HexDump(uint32_t address, std::span<const uint8_t> data) {
  constexpr size_t kPerLine = 16;
  std::string out;
  char cell[16];
  for (size_t line = 0; line < data.size(); line += kPerLine) {
    std::snprintf(cell, sizeof cell, "%08X ", static_cast<unsigned>(address + line));
    out += cell;
    std::string ascii;
    for (size_t i = line; i < line + kPerLine; ++i) {
      if (i < data.size()) {
        std::snprintf(cell, sizeof cell, " %02X", data[i]);
        out += cell;
        ascii += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  |" + ascii + "|\n";
  }
  return out;
}

bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes) {
  for (std::string_view word : words) {
    if (word.starts_with("0x") || word.starts_with("0X")) word.remove_prefix(2);
    if (word.empty() || word.size() % 2 != 0) return false;
    for (size_t i = 0; i < word.size(); i += 2) {
      const int high = HexValue(word[i]), low = HexValue(word[i + 1]);
      if (high < 0 || low < 0) return false;
      bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
  }
  return !bytes->empty();
}

bool ParseNumber(std::string_view text, uint32_t* value) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 10) return false;
  uint64_t number = 0;
  for (const char c : text) {
    const int digit = HexValue(c);
    if (digit < 0 || digit >= base) return false;
    number = number * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  if (number > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace orv::app::adapter
