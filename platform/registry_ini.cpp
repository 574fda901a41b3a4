// INI parsing for the registry stand-in. Pure text processing, no I/O.
#include "platform/registry_ini.h"

#include <cstring>

namespace orv::platform {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// Calls `visit(section, line)` for every meaningful line; section lines
// are reported with an empty `line`. Stops when `visit` returns false.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  std::string_view section;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      section = Trim(line.substr(1, close - 1));
      if (!visit(section, std::string_view{})) return;
      continue;
    }
    if (!visit(section, line)) return;
  }
}

OsError CopyText(std::string_view text, char* out, uint32_t capacity) {
  if (text.size() + 1 > capacity) return kErrorMoreData;
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return kOk;
}

}  // namespace

OsError IniEnumSection(std::string_view text, uint32_t index, char* name, uint32_t capacity) {
  OsError result = kErrorNoMoreItems;
  uint32_t seen = 0;
  ForEachLine(text, [&](std::string_view section, std::string_view line) {
    if (!line.empty()) return true;
    if (seen++ != index) return true;
    result = CopyText(section, name, capacity);
    return false;
  });
  return result;
}

OsError IniQueryValue(std::string_view text, const char* section, const char* value_name,
                      uint8_t* data, uint32_t* size) {
  OsError result = kErrorCantOpen;  // until the section is seen
  ForEachLine(text, [&](std::string_view current, std::string_view line) {
    if (!EqualNoCase(current, section)) return true;
    if (result == kErrorCantOpen) result = kErrorFileNotFound;
    if (line.empty()) return true;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || !EqualNoCase(Trim(line.substr(0, eq)), value_name)) {
      return true;
    }
    std::string_view value = Trim(line.substr(eq + 1));
    result = CopyText(value, reinterpret_cast<char*>(data), *size);
    if (result == kOk) *size = static_cast<uint32_t>(value.size() + 1);
    return false;
  });
  return result;
}

}  // namespace orv::platform
