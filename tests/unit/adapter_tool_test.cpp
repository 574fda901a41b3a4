// orvanta-adapter's subcommands in-process against the emulated adapter:
// one row per case with its exit code and the text it must print, then
// the adapter's state after the commands that change it; and the trace
// decoding of frame dumps.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/adapter/adapter_cli.h"
#include "app/adapter/pcapng.h"
#include "app/adapter/trace_decode.h"
#include "emulator/service_units.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using app::adapter::RunAdapterTool;

std::string ReadAll(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

class AdapterToolTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    adapter_.files().put("A.TXT", {'h', 'i'});
    std::ofstream(dir_.path() / "up.bin", std::ios::binary) << std::string(5000, 'u');
    std::ofstream(dir_.path() / "fw.bin", std::ios::binary) << std::string(600, 'f');
  }

  // Runs the tool with `args` ("{dir}" stands for the scratch directory).
  int Run(std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("orvanta-adapter")};
    for (auto& a : args) {
      if (const size_t at = a.find("{dir}"); at != std::string::npos) {
        a.replace(at, 5, dir_.path().string());
      }
      argv.push_back(a.data());
    }
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int rc = RunAdapterTool(static_cast<int>(argv.size()), argv.data(),
                                  app::adapter::Streams{stdin, out, err, false, false});
    out_ = ReadAll(out);
    err_ = ReadAll(err);
    std::fclose(out);
    std::fclose(err);
    return rc;
  }

  emu::ServiceUnits units_ = emu::add_service_units(adapter_);
  ScratchDir dir_{"adapter-tool"};
  std::string out_, err_;
};

struct Row {
  std::vector<std::string> args;
  int exit_code;
  std::string shown;  // expected in standard output, or error when the exit is not 0
};

TEST_F(AdapterToolTest, EverySubcommand) {
  const std::string long_name(58, 'N');
  const Row rows[] = {
      {{"info"}, 0, "Serial number:       123456\nBattery voltage:     12.340 V"},
      {{"--json", "info"}, 0, "\"serial_number\": 123456"},
      {{"ls"}, 0, "A.TXT\n"},
      {{"ls", "--json", "B*"}, 0, "\"files\": []"},
      {{"put", "{dir}/up.bin", "UP.BIN"}, 0, ""},
      {{"get", "UP.BIN", "{dir}/down.bin"}, 0, ""},
      {{"get", "NONE.TXT", "{dir}/none.bin"}, 1, "PassThruReadFile(OPEN): Error"},
      {{"put", "{dir}/up.bin", long_name}, 2, "at most 57"},
      {{"rm", "A.TXT"}, 0, ""},
      {{"rm", "A.TXT"}, 1, "PassThruDeleteFile(DELETE): Error"},
      {{"clock", "set", "2023-02-24 12:00:00"}, 0, ""},
      {{"clock"}, 0, "2023-02-24 12:00:00 UTC"},
      {{"clock", "--json"}, 0, "\"unix_seconds\": 1677240000"},
      {{"clock", "set", "2023-02-30 12:00:00"}, 2, "TIME must be"},
      {{"clock", "sync"}, 0, "s before, "},
      {{"mem", "write", "0x100", "4142", "43"}, 2, "--yes"},
      {{"mem", "write", "--yes", "0x100", "4142", "43"}, 0, ""},
      {{"mem", "read", "0x100", "3"}, 0, "00000100  41 42 43"},
      {{"--json", "mem", "read", "256", "3"}, 0, "\"data\": \"414243\""},
      {{"mem", "read", "0x100", "zz"}, 2, "LEN must be"},
      {{"firmware", "-y", "{dir}/fw.bin"}, 0, "APP.LDR"},
      {{"frobnicate"}, 2, "required"},
      {{"get", "--help"}, 0, "HOSTFILE"},
      {{"--version"}, 0, "orvanta-adapter 1."},
      // Last: the port named stays.
      {{"--port", "5", "info"}, 3, "no adapter found on COM5 (COM5: no such port)"},
  };
  for (const Row& row : rows) {
    const int rc = Run(row.args);
    const std::string& shown = row.exit_code == 0 ? out_ : err_;
    EXPECT_EQ(rc, row.exit_code) << row.args[0] << " " << row.args.back() << "\n" << err_;
    EXPECT_NE(shown.find(row.shown), std::string::npos)
        << row.args[0] << " " << row.args.back() << " printed:\n"
        << shown;
  }
  EXPECT_EQ(adapter_.files().get("UP.BIN"), std::vector<uint8_t>(5000, 'u'));
  std::ifstream down(dir_.path() / "down.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(down), {}), std::string(5000, 'u'));
  EXPECT_FALSE(fs::exists(dir_.path() / "none.bin"));  // a failed get leaves no new file
  EXPECT_FALSE(adapter_.files().exists("A.TXT"));
  EXPECT_EQ(adapter_.files().get("APP.LDR"), std::vector<uint8_t>(600, 'f'));
  EXPECT_EQ(units_.memory.peek(0x100, 3), (std::vector<uint8_t>{'A', 'B', 'C'}));
}

struct DumpRow {
  std::string line;
  std::string words;    // "" when the line holds no frame
  std::string candump;  // "" when it is no bus frame
};

TEST(TraceDecode, FrameDumpsInWordsAndAsCandump) {
  const DumpRow rows[] = {
      {"C 7 5000 00 00 F0 02 00 0D (00000000)", "adapter read, version, flags 0x00", ""},
      {"M 7 5001 00 02 F0 02 00 0D (00000000) 01 07",
       "adapter read, version, flags 0x00, data 01 07", ""},
      {"M 7 5002 00 0A 10 02 00 00 (00001234) 07 E8 02 41 00 00 00 00 00 00",
       "CAN1 read, plain, flags 0x00, id 7E8, data 02 41 00 00 00 00 00 00",
       "(1.000002) can0 7E8#0241000000000000"},
      {"C 7 5003 00 07 30 03 11 05 (E8030000) 18 DA F1 10 02 10 03",
       "CAN2 write, bus message, flags 0x11 (29-bit) (CAN FD), id 18DAF110, data 02 10 03",
       "(1.000002) can1 18DAF110##0021003"},
      {"E 7 5004 PassThruReadFile(OPEN): Error", "", ""},
      {"M 7 5005 00 05 10 02 00 (0000", "", ""},  // cut short
  };
  for (const DumpRow& row : rows) {
    const auto frame = app::adapter::ParseFrameLine(row.line);
    ASSERT_EQ(frame.has_value(), !row.words.empty()) << row.line;
    if (!frame) continue;
    EXPECT_EQ(app::adapter::DescribeFrame(*frame), row.words);
    EXPECT_EQ(app::adapter::CandumpLine(*frame, 1000002).value_or(""), row.candump) << row.line;
  }
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// pcapng: the section start, then packets of the dumps above with their
// lengths, SocketCAN header, direction flags and the shown bytes only.
TEST(TraceDecode, PcapngBlocks) {
  const std::vector<uint8_t> start = app::adapter::PcapngStart();
  ASSERT_EQ(start.size(), 212u);  // section header (52) and two interfaces (80 each)
  EXPECT_EQ(U32At(start, 0), 0x0A0D0D0Au);
  EXPECT_EQ(U32At(start, 8), 0x1A2B3C4Du);
  EXPECT_EQ(U32At(start, 4), 52u);
  EXPECT_EQ(U32At(start, 48), 52u);
  for (const size_t at : {size_t{52}, size_t{132}}) {
    EXPECT_EQ(U32At(start, at), 1u);  // interface description
    EXPECT_EQ(U32At(start, at + 4), 80u);
    EXPECT_EQ(U32At(start, at + 76), 80u);
    EXPECT_EQ(U32At(start, at + 8), 227u);  // LINKTYPE_CAN_SOCKETCAN, reserved 0
  }

  struct PacketRow {
    std::string line;
    uint32_t bus, captured, original, epb_flags;
    std::vector<uint8_t> head;  // the SocketCAN header and the first data bytes
  };
  std::string batch = "C 7 9 00 44 30 03 13 05 (00000000) 18 DA F1 10";
  for (int i = 0; i < 28; ++i) batch += " A5";  // a batch dump: 28 of 64 data bytes
  const PacketRow rows[] = {
      {"M 7 5002 00 0A 10 02 00 00 (00001234) 07 E8 02 41 00 00 00 00 00 00",
       0,
       16,
       16,
       1,
       {0x00, 0x00, 0x07, 0xE8, 8, 0, 0, 0, 0x02, 0x41}},
      {"C 7 5003 00 07 30 03 11 05 (E8030000) 18 DA F1 10 02 10 03",
       1,
       72,
       72,
       2,
       {0x98, 0xDA, 0xF1, 0x10, 3, 0x04, 0, 0, 0x02, 0x10, 0x03, 0x00}},
      {batch, 1, 36, 72, 2, {0x98, 0xDA, 0xF1, 0x10, 64, 0x05, 0, 0, 0xA5}},
  };
  const int64_t time = 0x123456789AB;
  for (const PacketRow& row : rows) {
    const auto frame = app::adapter::ParseFrameLine(row.line);
    const auto bus = frame ? app::adapter::BusFrameOf(*frame) : std::nullopt;
    const auto block = bus ? app::adapter::PcapngPacket(*bus, time) : std::nullopt;
    ASSERT_TRUE(block) << row.line;
    const std::vector<uint8_t>& b = *block;
    EXPECT_EQ(U32At(b, 0), 6u);
    EXPECT_EQ(U32At(b, 4), b.size());
    EXPECT_EQ(U32At(b, b.size() - 4), b.size());
    EXPECT_EQ(b.size() % 4, 0u);
    EXPECT_EQ(U32At(b, 8), row.bus);
    EXPECT_EQ(U32At(b, 12), 0x123u);
    EXPECT_EQ(U32At(b, 16), 0x456789ABu);
    EXPECT_EQ(U32At(b, 20), row.captured) << row.line;
    EXPECT_EQ(U32At(b, 24), row.original) << row.line;
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 28, b.begin() + 28 + row.head.size()), row.head);
    const size_t options = 28 + (row.captured + 3) / 4 * 4;
    EXPECT_EQ(U32At(b, options), 4u << 16 | 2u);  // epb_flags, 4 bytes
    EXPECT_EQ(U32At(b, options + 4), row.epb_flags);
  }
  // More data than CAN FD carries: no packet.
  app::adapter::BusCanFrame oversize;
  oversize.fd = true;
  oversize.length = 65;
  EXPECT_FALSE(app::adapter::PcapngPacket(oversize, time));
}

}  // namespace
}  // namespace orv::test
