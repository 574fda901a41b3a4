// Fault matrix of the adapter services and the provisioning core: the file
// store (write, read, delete, listing), memory, clock, firmware update,
// security key, and Provision(). A stored file is either the whole host
// file or the call failed, and a failed copy leaves only a prefix of the
// right bytes; a host file, a listing, memory bytes, a clock record or a
// key handed to the caller hold only what the adapter sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/provision_core.h"
#include "tests/support/fault_matrix.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 3) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
  return bytes;
}

std::vector<uint8_t> ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteHostFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

bool IsPrefix(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

class FaultMatrixServices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("orv-fault-matrix-" + std::to_string(random()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

// After a failed copy the store holds the old file untouched, nothing, or
// a prefix of the new one.
void ExpectStoredWholeOrFailed(const FaultRun& run, const std::string& name,
                               const std::vector<uint8_t>& bytes,
                               const std::vector<uint8_t>* old = nullptr) {
  const emu::FileStore& store = run.world.adapter.files();
  if (run.status == 0) {
    ASSERT_TRUE(store.exists(name)) << "success, but nothing stored";
    EXPECT_EQ(store.get(name), bytes) << "success, but the stored file differs";
  } else if (store.exists(name)) {
    const std::vector<uint8_t> stored = store.get(name);
    EXPECT_TRUE(IsPrefix(stored, bytes) || (old != nullptr && stored == *old))
        << "a failed copy stored foreign bytes";
  }
}

TEST_F(FaultMatrixServices, WriteFileStoresTheWholeFileOrFails) {
  for (const size_t size : {size_t{0}, size_t{65}, size_t{4097}, size_t{9000}}) {
    SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
    const std::vector<uint8_t> bytes = Pattern(size);
    std::string host = (dir_ / "upload.bin").string();
    WriteHostFile(host, bytes);
    const std::vector<uint8_t> older = Pattern(50, 99);
    RunFaultMatrix(
        [&older](FaultWorld& w) {
          w.OpenLink();
          w.adapter.files().put("DATA.BIN", older);
        },
        [&host](FaultWorld&) {
          std::string stored = "DATA.BIN";
          return PassThruWriteFile(host.data(), stored.data(), 0);
        },
        [&bytes, &older](const FaultRun& run) {
          ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruWriteFile"});
          ExpectStoredWholeOrFailed(run, "DATA.BIN", bytes, &older);
        });
    if (HasFailure()) return;
  }
}

TEST_F(FaultMatrixServices, ReadFileCopiesOnlyWhatTheAdapterSent) {
  const std::vector<uint8_t> stored = Pattern(1000, 11);
  const fs::path host = dir_ / "download.bin";
  RunFaultMatrix(
      [&stored, &host](FaultWorld& w) {
        w.OpenLink();
        w.adapter.files().put("LOG.BIN", stored);
        fs::remove(host);
      },
      [&host](FaultWorld&) {
        std::string host_name = host.string();
        std::string stored_name = "LOG.BIN";
        return PassThruReadFile(host_name.data(), stored_name.data(), 0);
      },
      [&stored, &host](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruReadFile"});
        const std::vector<uint8_t> got = ReadHostFile(host);
        if (run.status == 0) {
          EXPECT_EQ(got, stored) << "success, but the host file differs";
        } else {
          EXPECT_TRUE(IsPrefix(got, stored)) << "the host file holds bytes the adapter never sent";
        }
      });
}

TEST_F(FaultMatrixServices, DeleteFileAndListing) {
  RunFaultMatrix(
      [](FaultWorld& w) {
        w.OpenLink();
        w.adapter.files().put("OLD.TXT", {1, 2, 3});
      },
      [](FaultWorld&) {
        std::string name = "OLD.TXT";
        return PassThruDeleteFile(name.data(), 0);
      },
      [](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruDeleteFile"});
        if (run.status == 0) {
          EXPECT_FALSE(run.world.adapter.files().exists("OLD.TXT"));
        }
      });
  std::string listing;
  RunFaultMatrix(
      [](FaultWorld& w) {
        w.OpenLink();
        w.adapter.files().put("A.TXT", {1});
        w.adapter.files().put("B.TXT", {2});
        w.adapter.files().put("C.BIN", {3});
      },
      [&listing](FaultWorld&) {
        std::string pattern = "*.TXT";
        char list[256];
        std::fill(std::begin(list), std::end(list), 'x');
        const int32_t status = PassThruReadDir(pattern.data(), list);
        listing = list;
        return status;
      },
      [&listing](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruReadDir"});
        const std::string whole = "A.TXT,B.TXT,";
        if (run.status == 0) {
          EXPECT_EQ(listing, whole);
        } else {
          EXPECT_EQ(whole.rfind(listing, 0), 0u) << "a failed listing holds \"" << listing << "\"";
        }
      });
}

// Calls that hand the caller what the adapter sent, or store what the
// caller gave: on success it is exactly that, on failure the text names
// the call.
struct ServiceCase {
  const char* name;
  std::function<void(FaultWorld&)> prepare;  // after the link is open
  std::function<int32_t(FaultWorld&)> operation;
  std::function<void(const FaultRun&)> check;
};

TEST_F(FaultMatrixServices, MemoryClockFirmwareAndSecurityKey) {
  static const std::vector<uint8_t> bytes = Pattern(200, 5), image = Pattern(1500, 42);
  static const std::array<uint8_t, 12> record{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  static std::array<uint8_t, 12> fixed{};
  static std::array<uint8_t, 16> seed{};
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(0xA0 + i);
  static const auto key = emu::MemoryUnit::security_key(3, fixed, seed);
  static std::vector<uint8_t> out;
  static RTC_DAY_TIME rtc{};
  static std::array<uint8_t, 18> got{};
  const ServiceCase cases[] = {
      {"PassThruReadMem", [](FaultWorld& w) { w.services.memory.poke(0x1000, bytes); },
       [](FaultWorld&) {
         out.assign(bytes.size(), 0xEE);
         return PassThruReadMem(0x1000, 200, out.data(), 0);
       },
       [](const FaultRun& run) { EXPECT_TRUE(run.status != 0 || out == bytes); }},
      {"PassThruWriteMem", [](FaultWorld&) {},
       [](FaultWorld&) {
         out = bytes;
         return PassThruWriteMem(0x2000, 200, out.data(), 0);
       },
       [](const FaultRun& run) {
         EXPECT_TRUE(run.status != 0 || run.world.services.memory.peek(0x2000, 200) == bytes);
       }},
      {"PassThruReadRTC", [](FaultWorld& w) { w.services.clock.set_record(record); },
       [](FaultWorld&) {
         rtc = {};
         return PassThruReadRTC(&rtc);
       },
       [](const FaultRun& run) {
         EXPECT_TRUE(run.status != 0 || std::memcmp(&rtc, record.data(), sizeof rtc) == 0);
       }},
      {"PassThruWriteRTC", [](FaultWorld&) {},
       [](FaultWorld&) {
         std::memcpy(&rtc, record.data(), sizeof rtc);
         return PassThruWriteRTC(&rtc);
       },
       [](const FaultRun& run) {
         EXPECT_TRUE(run.status != 0 || run.world.services.clock.record() == record);
       }},
      {"PassThruUpdateFirmware", [](FaultWorld&) {},
       [](FaultWorld&) {
         out = image;
         return PassThruUpdateFirmware(out.data(), static_cast<uint32_t>(out.size()));
       },
       [](const FaultRun& run) { ExpectStoredWholeOrFailed(run, "APP.LDR", image); }},
      {"PassThruSecurity", [](FaultWorld&) {},
       [](FaultWorld&) { return PassThruSecurity(3, fixed.data(), seed.data(), got.data()); },
       [](const FaultRun& run) { EXPECT_TRUE(run.status != 0 || got == key); }},
  };
  for (const ServiceCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunFaultMatrix(
        [&c](FaultWorld& w) {
          w.OpenLink();
          c.prepare(w);
        },
        c.operation,
        [&c](const FaultRun& run) {
          ExpectCleanFailure(run, {0, ERR_FAILED}, {c.name});
          c.check(run);
        });
    if (HasFailure()) return;
  }
}

TEST_F(FaultMatrixServices, ProvisionStoresTheNetworkFileOrFails) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  std::array<uint8_t, app::kMaxNetworkFileSize> built{};
  const size_t size = app::BuildNetworkFile("Workshop", "pa55word!", built);
  const std::vector<uint8_t> expected(built.begin(), built.begin() + static_cast<long>(size));
  RunFaultMatrix(
      [](FaultWorld& w) { w.OpenLink(); },
      [](FaultWorld&) { return app::Provision("Workshop", "pa55word!"); },
      [&expected](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED, ERR_DEVICE_NOT_CONNECTED}, {"PassThruWriteFile"});
        ExpectStoredWholeOrFailed(run, "IOT.NET", expected);
      });
  fs::current_path(previous);
}

}  // namespace
}  // namespace orv::test
