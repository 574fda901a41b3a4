// The INI file that stands in for the registry on POSIX.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry_ini.h"

namespace orv::platform {
namespace {

constexpr const char* kIni =
    "; adapters\n"
    "[Other Vendor]\n"
    "Name=Something\n"
    "\n"
    "[Orvanta]\r\n"
    "# switches\n"
    "NAME = Orvanta-IOT\r\n"
    "Debug=\n"
    "IOT=0012\n";

TEST(RegistryIniTest, SectionsEnumerateInFileOrder) {
  char name[32];
  ASSERT_EQ(IniEnumSection(kIni, 0, name, sizeof name), kOk);
  EXPECT_STREQ(name, "Other Vendor");
  ASSERT_EQ(IniEnumSection(kIni, 1, name, sizeof name), kOk);
  EXPECT_STREQ(name, "Orvanta");
  EXPECT_EQ(IniEnumSection(kIni, 2, name, sizeof name), kErrorNoMoreItems);
  EXPECT_EQ(IniEnumSection(kIni, 1, name, 7), kErrorMoreData);  // "Orvanta" needs 8
}

TEST(RegistryIniTest, ValuesMatchWithoutRegardToCaseAndEmptyDataIsPresent) {
  uint8_t data[64];
  uint32_t size = sizeof data;
  ASSERT_EQ(IniQueryValue(kIni, "orvanta", "name", data, &size), kOk);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "Orvanta-IOT");
  EXPECT_EQ(size, 12u);
  size = sizeof data;
  ASSERT_EQ(IniQueryValue(kIni, "Orvanta", "DEBUG", data, &size), kOk);
  EXPECT_EQ(size, 1u);
  size = sizeof data;
  EXPECT_EQ(IniQueryValue(kIni, "Orvanta", "SuppressPopups", data, &size), kErrorFileNotFound);
  EXPECT_EQ(IniQueryValue(kIni, "Missing", "Name", data, &size), kErrorCantOpen);
  EXPECT_EQ(IniQueryValue("", "Orvanta", "Name", data, &size), kErrorCantOpen);
}

TEST(RegistryIniTest, ValueLongerThanTheCapacityIsAnError) {
  const std::string ini = "[k]\nDebug=" + std::string(240, 'x') + "\n";
  uint8_t data[240];
  uint32_t size = sizeof data;
  EXPECT_EQ(IniQueryValue(ini, "k", "Debug", data, &size), kErrorMoreData);
}

}  // namespace
}  // namespace orv::platform
