// orvanta-adapter's work, free of any window or operating system: each
// subcommand as calls of the pass-thru library's public API, and the
// conversions around them (stored names, the clock record, hex dumps).
//
// Failure reporting: every operation returns an Outcome, the library's
// status (0 success) with its last-error text when the status is not 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta_j2534.h"

namespace orv::app::adapter {

// Stored names travel with their NUL in one frame; a name that is also
// sent in a delete frame (put, rm) has ten bytes less room.
inline constexpr size_t kMaxNameToRead = 67;
inline constexpr size_t kMaxNameToWrite = 57;
inline constexpr size_t kMaxPatternLength = 67;

struct Outcome {
  int32_t status = STATUS_NOERROR;
  std::string error;  // PassThruGetLastError's text when status is not 0
  bool ok() const { return status == STATUS_NOERROR; }
};

// PassThruOpen on COM`port`, or every port when `port` is 0.
Outcome OpenAdapter(uint32_t port, uint32_t* device_id);

struct AdapterInfo {
  uint32_t port = 0;
  std::string firmware, library, api;
  uint32_t serial_number = 0;
  uint32_t battery_mv = 0;
  uint32_t programming_mv = 0;
};
Outcome ReadInfo(uint32_t device_id, AdapterInfo* info);

// The stored names matching `pattern` ("*.*" for all).
Outcome ListFiles(const std::string& pattern, std::vector<std::string>* names);
Outcome GetFile(const std::string& name, const std::string& host_file);
Outcome PutFile(const std::string& host_file, const std::string& name);
Outcome RemoveFile(const std::string& name);

// Calendar time on the adapter's clock (the tool keeps it in UTC).
struct ClockTime {
  int year = 0;
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  friend bool operator==(const ClockTime&, const ClockTime&) = default;
};
Outcome ReadClock(ClockTime* time);
Outcome SetClock(const ClockTime& time);

// The 12-byte record: day number, year, month, day, hour, minute, second.
RTC_DAY_TIME ToRecord(const ClockTime& time);
ClockTime FromRecord(const RTC_DAY_TIME& record);
// "YYYY-MM-DD HH:MM:SS" (or with a 'T'); false for anything else or an
// impossible date or time.
bool ParseClockTime(std::string_view text, ClockTime* time);
std::string FormatClockTime(const ClockTime& time);  // "YYYY-MM-DD HH:MM:SS"
int64_t ToUnixSeconds(const ClockTime& time);
ClockTime FromUnixSeconds(int64_t seconds);
ClockTime HostClockNow();

Outcome ReadMemory(uint32_t address, uint32_t length, std::vector<uint8_t>* data);
Outcome WriteMemory(uint32_t address, std::span<const uint8_t> data);
Outcome UpdateFirmware(std::span<const uint8_t> image);

// Lines of 16 bytes: address, hex bytes, and the printable ones.
std::string HexDump(uint32_t address, std::span<const uint8_t> data);
// Bytes from words such as "DE", "AD BE", "0xEF" or "deadbeef"; false
// when a word is not whole hex bytes.
bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes);
// A number in decimal, or hexadecimal after "0x"; false if it is not one
// or exceeds 32 bits.
bool ParseNumber(std::string_view text, uint32_t* value);

}  // namespace orv::app::adapter
