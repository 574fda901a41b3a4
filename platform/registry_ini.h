// The registry stand-in of platforms without a registry: an INI file in
// which each [section] is one subkey of
// HKEY_LOCAL_MACHINE\Software\PassThruSupport.04.04 (file order is the
// enumeration order) and each name=data line a value of it. Value names
// are compared without regard to case; lines starting with ';' or '#' are
// comments. A value written "Debug=" is present with empty data. A missing
// or unreadable file is a missing key; a section that is not there cannot
// be opened (kErrorCantOpen), as a subkey in the registry.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace orv::platform {

// Errors returned (the Win32 codes, so both backends report alike).
inline constexpr OsError kErrorFileNotFound = 2;
inline constexpr OsError kErrorMoreData = 234;
inline constexpr OsError kErrorNoMoreItems = 259;

// Both work on the file's whole text. Value data is handed back as text
// with its terminating zero (as a REG_SZ value is), so the size counts it.
OsError IniEnumSection(std::string_view text, uint32_t index, char* name, uint32_t capacity);
OsError IniQueryValue(std::string_view text, const char* section, const char* value_name,
                      uint8_t* data, uint32_t* size);

}  // namespace orv::platform
