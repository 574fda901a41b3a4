// Fault matrix of every operation that talks to the adapter, one row each:
// open (named port and the full discovery walk), connect and disconnect,
// receive, the channel controls (filters and periodic messages, whose host
// tables must agree with what the adapter holds whatever failed), every
// ioctl that sends a frame, the programming voltage and the version, the
// file store, memory, clock, firmware update, security key and Provision().
// What reaches the caller or the adapter is exactly what was sent, or, for
// a failed copy, a prefix of it. Message transmit has its own matrix below:
// what the adapter received must be the frames a clean run delivers, a
// prefix when the operation failed, never a frame twice or one it did not
// build.
//
// Some sends are only logged when they fail (a SET_CONFIG frame, the
// receive clear, the timer reset, the D2 flow-control setup, the start of
// an initialisation): there the call succeeds, and the check is that the
// last-error text says what did not reach the adapter.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "app/provision_core.h"
#include "emulator/kline_init_unit.h"
#include "link/link_state.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "tests/support/fault_matrix.h"
#include "tests/support/library_fixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t kCanDev = 0x10;
constexpr uint8_t kIsoDev = 0x20;

// One or more texts a failure's last error may start with.
struct Prefixes : std::vector<const char*> {
  Prefixes(const char* one) : std::vector<const char*>{one} {}
  Prefixes(std::initializer_list<const char*> any) : std::vector<const char*>(any) {}
};

// The statuses an operation may end with.
const std::vector<int32_t> kOk{0}, kOkOrFailed{0, ERR_FAILED},
    kOkOrTimeout{0, ERR_FAILED, ERR_TIMEOUT}, kOkOrNotConnected{0, ERR_DEVICE_NOT_CONNECTED},
    kReceived{0, ERR_TIMEOUT, ERR_BUFFER_EMPTY},
    kProvisioned{0, ERR_FAILED, ERR_DEVICE_NOT_CONNECTED};

// One operation: `prepare` builds the state it needs on the open link
// (without faults; null: the link is not even opened),
// `operation` returns its status, which must be one of `allowed`, a failure
// leaving a last-error text that starts with one of `prefixes`; `check`
// judges the rest of one run.
struct MatrixCase {
  std::string name;
  std::function<void(FaultWorld&)> prepare;
  std::function<int32_t(FaultWorld&)> operation;
  std::vector<int32_t> allowed;
  Prefixes prefixes;
  std::function<void(const FaultRun&)> check = nullptr;
  uint64_t limit = 20000;
};

void PrintTo(const MatrixCase& c, std::ostream* os) {
  *os << c.name;
}

// The prepared states.
void Linked(FaultWorld&) {}
void OnCan(FaultWorld& w) {
  w.Connect(CAN);
}

// A check that only judges a successful run.
std::function<void(const FaultRun&)> OnSuccess(std::function<bool(FaultWorld&)> done) {
  return [done](const FaultRun& run) {
    EXPECT_TRUE(run.status != 0 || done(run.world)) << "success, but not done";
  };
}

const fs::path& Scratch() {
  static const ScratchDir dir{"fault-matrix"};
  return dir.path();
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 3) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
  return bytes;
}

bool IsPrefix(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// After a failed copy the store holds the old file untouched, nothing, or
// a prefix of the new one.
void ExpectStoredWholeOrFailed(const FaultRun& run, const std::string& name,
                               const std::vector<uint8_t>& bytes,
                               const std::vector<uint8_t>& old = {}) {
  const emu::FileStore& store = run.world.adapter.files();
  if (run.status == 0) {
    ASSERT_TRUE(store.exists(name)) << "success, but nothing stored";
    EXPECT_EQ(store.get(name), bytes) << "success, but the stored file differs";
  } else if (store.exists(name)) {
    const std::vector<uint8_t> stored = store.get(name);
    EXPECT_TRUE(IsPrefix(stored, bytes) || (!old.empty() && stored == old))
        << "a failed copy stored foreign bytes";
  }
}

// --- link and channels ---------------------------------------------------------------

void ExpectOpened(const FaultRun& run) {
  if (run.status == 0) {
    EXPECT_EQ(run.world.device_id, 7u);
    EXPECT_EQ(Link().CommPortNum, 7u);
  } else {
    // Found, the link may still be closed by a failed write after the
    // version answer: the next send reopens it.
    EXPECT_EQ(Link().hCommPort, -1);
    EXPECT_EQ(Link().CommPortNum, 0u);
    EXPECT_EQ(run.world.device_id, 0u);
  }
}

// `dev` is the channel's device, `setup_dev` the one that takes its setup.
MatrixCase ConnectCase(const char* name, uint32_t protocol, uint8_t dev, uint8_t setup_dev) {
  return {name,
          Linked,
          [protocol](FaultWorld& w) {
            uint32_t channel = 0;
            return PassThruConnect(w.device_id, protocol, 0, 500000, &channel);
          },
          kOkOrFailed,
          "PassThruConnect: JmsgSendCmd",
          [protocol, dev, setup_dev](const FaultRun& run) {
            EXPECT_EQ(ChannelOpen(protocol), run.status == 0);
            if (run.status != 0) return;
            EXPECT_TRUE(run.world.bus.device(dev).connected) << "the adapter never connected";
            EXPECT_GE(run.world.bus.device(setup_dev).setups, 1u) << "no setup record arrived";
          }};
}

// Every slot the host thinks in use is in use on the adapter and the other
// way round; the same for the periodic entries.
void ExpectTablesAgree(const FaultWorld& world) {
  for (uint8_t slot = 0; slot < kFilterSlots; ++slot) {
    EXPECT_EQ(FilterSlotInUse(slot), world.bus.filter(slot).in_use()) << "filter slot " << +slot;
  }
  for (uint8_t id = 0; id < kPeriodicEntries; ++id) {
    EXPECT_EQ(State().periodic.entries[id].size != 0, world.bus.periodic(id).running)
        << "periodic entry " << +id;
  }
}

int32_t StartFilter(uint32_t channel, uint32_t type) {
  PASSTHRU_MSG mask = MakeMsg(channel, {0, 0, 0xFF, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(channel, {0, 0, 0x07, 0xE8});
  PASSTHRU_MSG flow = MakeMsg(channel, {0, 0, 0x07, 0xE0});
  uint32_t id = 0;
  return PassThruStartMsgFilter(channel, type, &mask, &pattern,
                                type == FLOW_CONTROL_FILTER ? &flow : nullptr, &id);
}

int32_t StartPassFilter() {
  return StartFilter(CAN, PASS_FILTER);
}

int32_t StartPeriodic() {
  PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 0x07, 0xDF, 0x02, 0x3E, 0x80});
  uint32_t id = 0;
  return PassThruStartPeriodicMsg(CAN, &msg, &id, 100);
}

void OnCanWithTwo(FaultWorld& w, int32_t (*start)()) {
  OnCan(w);
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(start(), 0);
}

// An ioctl whose frame failure is only logged: success either way, and when
// the adapter did not get the frame, the last error says so.
MatrixCase LoggedOnly(const char* name, uint32_t channel, uint32_t ioctl, SCONFIG config,
                      std::function<bool(const FaultWorld&)> arrived, Prefixes failure_texts) {
  return {name,
          [channel](FaultWorld& w) { w.Connect(channel, 0, channel == ISO9141 ? 10400 : 500000); },
          [channel, ioctl, config](FaultWorld&) {
            SCONFIG copy = config;
            SCONFIG_LIST list{1, &copy};
            return PassThruIoctl(channel, ioctl, ioctl == SET_CONFIG ? &list : nullptr, nullptr);
          },
          kOk,
          {},
          [arrived, failure_texts](const FaultRun& run) {
            // Not arrived: the last error names it as a failed call's would.
            if (!arrived(run.world)) ExpectCleanFailure(ERR_FAILED, {ERR_FAILED}, failure_texts);
          }};
}

// The system device received the option frame with these flags.
std::function<bool(const FaultWorld&)> OptionFrameArrived(uint8_t flags) {
  return [flags](const FaultWorld& w) {
    const auto frames = w.adapter.received_frames();
    return std::any_of(frames.begin(), frames.end(), [flags](const emu::Frame& f) {
      return f.dev == 0xF0 && f.op == 3 && f.flags == flags;
    });
  };
}

uint32_t read_value = 0;
int32_t ReadValue(uint32_t ioctl) {
  read_value = 0xDEAD;
  return PassThruIoctl(0, ioctl, nullptr, &read_value);
}

std::vector<MatrixCase> LinkAndChannelCases() {
  static const std::vector<std::vector<uint8_t>> received = {
      {0x07, 0xE8, 0x03, 0x41, 0x0D, 0x37}, {0x07, 0xE8, 0x02, 0x41, 0x00}, {0x07, 0xE9, 0x01}};
  static uint8_t level = 0, keys[2] = {};
  static char firmware[80], dll[80], api[80];
  return {
      {"OpenNamedPort", nullptr, [](FaultWorld& w) { return PassThruOpen("COM7", &w.device_id); },
       kOkOrNotConnected, "", ExpectOpened},
      {"OpenByDiscoveryOverAThousandPorts", nullptr,
       [](FaultWorld& w) { return PassThruOpen(nullptr, &w.device_id); }, kOkOrNotConnected, "",
       ExpectOpened, 3000},
      ConnectCase("ConnectCan", CAN, kCanDev, kCanDev),
      ConnectCase("ConnectIso15765", ISO15765, kIsoDev, kCanDev),
      ConnectCase("ConnectKLine", ISO9141, 0x90, 0x90),
      {"Disconnect", OnCan, [](FaultWorld&) { return PassThruDisconnect(CAN); }, kOkOrFailed,
       "PassThruDisconnect: JmsgSendCmd",
       [](const FaultRun& run) {
         EXPECT_FALSE(ChannelOpen(CAN));
         EXPECT_TRUE(run.status != 0 || !run.world.bus.device(kCanDev).connected);
       }},
      {"ReceiveDeliversExactlyWhatTheAdapterSent",
       [](FaultWorld& w) {
         OnCan(w);
         PASSTHRU_MSG open = MakeMsg(CAN, {0, 0, 0, 0});
         uint32_t id = 0;
         ASSERT_EQ(PassThruStartMsgFilter(CAN, PASS_FILTER, &open, &open, nullptr, &id), 0);
         for (const auto& data : received) w.bus.send_bus_frame(kCanDev, data);
         w.ClearLogs();
       },
       [](FaultWorld&) {
         std::vector<PASSTHRU_MSG> msgs(received.size());
         uint32_t count = static_cast<uint32_t>(msgs.size());
         const int32_t status = PassThruReadMsgs(CAN, msgs.data(), &count, 20);
         EXPECT_LE(count, received.size());
         for (uint32_t i = 0; i < count; ++i) {
           std::vector<uint8_t> expected = {0, 0};
           expected.insert(expected.end(), received[i].begin(), received[i].end());
           const std::vector<uint8_t> got(msgs[i].Data, msgs[i].Data + msgs[i].DataSize);
           EXPECT_EQ(got, expected) << "message " << i << " is not what the adapter sent";
         }
         EXPECT_TRUE(status != 0 || count == received.size());
         return status;
       },
       kReceived, "JmsgReceiveMsgs com_read returned"},
      {"StartPassFilter", OnCan, [](FaultWorld&) { return StartPassFilter(); }, kOkOrFailed,
       "PassThruStartMsgFilter failed",
       [](const FaultRun& run) {
         EXPECT_EQ(FilterSlotInUse(63), run.status == 0);
         ExpectTablesAgree(run.world);
       }},
      {"StartFlowControlFilter", [](FaultWorld& w) { w.Connect(ISO15765); },
       [](FaultWorld&) { return StartFilter(ISO15765, FLOW_CONTROL_FILTER); }, kOkOrFailed,
       "PassThruStartMsgFilter failed",
       [](const FaultRun& run) {
         EXPECT_EQ(FilterSlotInUse(0), run.status == 0);
         EXPECT_TRUE(run.status != 0 || run.world.bus.filter(0).flow.size != 0);
         ExpectTablesAgree(run.world);
       }},
      {"StopMsgFilter", [](FaultWorld& w) { OnCanWithTwo(w, StartPassFilter); },
       [](FaultWorld&) { return PassThruStopMsgFilter(CAN, 63); }, kOkOrFailed,
       "PassThruStopMsgFilter failed",
       [](const FaultRun& run) {
         EXPECT_EQ(FilterSlotInUse(63), run.status != 0);
         ExpectTablesAgree(run.world);
       }},
      {"ClearMsgFilters", [](FaultWorld& w) { OnCanWithTwo(w, StartPassFilter); },
       [](FaultWorld&) { return PassThruIoctl(CAN, CLEAR_MSG_FILTERS, nullptr, nullptr); },
       kOkOrFailed, "PassThruStopMsgFilter failed",
       [](const FaultRun& run) { ExpectTablesAgree(run.world); }},
      {"StartPeriodic", OnCan, [](FaultWorld&) { return StartPeriodic(); }, kOkOrFailed,
       "PassThruStartPeriodicMsg failed",
       [](const FaultRun& run) {
         EXPECT_EQ(State().periodic.entries[0].size != 0, run.status == 0);
         ExpectTablesAgree(run.world);
       }},
      {"UpdatePeriodic",
       [](FaultWorld& w) {
         OnCan(w);
         ASSERT_EQ(StartPeriodic(), 0);
       },
       [](FaultWorld&) {
         PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 0x07, 0xDF, 0x01, 0x3E});
         return PassThruUpdatePeriodicMsg(CAN, &msg, 0, 250);
       },
       kOkOrFailed, "PassThruUpdatePeriodicMsg failed",
       [](const FaultRun& run) {
         EXPECT_EQ(State().periodic.entries[0].size, run.status == 0 ? 4 : 5);
         EXPECT_EQ(run.world.bus.periodic(0).interval_ms, run.status == 0 ? 250u : 100u);
         ExpectTablesAgree(run.world);
       }},
      {"StopPeriodic", [](FaultWorld& w) { OnCanWithTwo(w, StartPeriodic); },
       [](FaultWorld&) { return PassThruStopPeriodicMsg(CAN, 1); }, kOkOrFailed,
       "PassThruStopPeriodicMsg failed", [](const FaultRun& run) { ExpectTablesAgree(run.world); }},
      {"ClearPeriodicMsgs", [](FaultWorld& w) { OnCanWithTwo(w, StartPeriodic); },
       [](FaultWorld&) { return PassThruIoctl(CAN, CLEAR_PERIODIC_MSGS, nullptr, nullptr); },
       kOkOrFailed, "PassThruStopPeriodicMsg failed",
       [](const FaultRun& run) { ExpectTablesAgree(run.world); }},
      LoggedOnly("SetConfigDataRate", CAN, SET_CONFIG, {DATA_RATE, 250000},
                 [](const FaultWorld& w) {
                   const auto setup = w.bus.can_setup(kCanDev);
                   return setup && setup->baud_rate == 250000;
                 },
                 {"Cannot set CAN DATA_RATE"}),
      LoggedOnly("SetConfigLoopback", CAN, SET_CONFIG, {LOOPBACK, 1}, OptionFrameArrived(0x40),
                 {"Cannot set/clear LOOPBACK option"}),
      LoggedOnly("SetConfigP1Min", ISO9141, SET_CONFIG, {P1_MIN, 10},
                 [](const FaultWorld& w) {
                   const auto setup = w.bus.kline_setup();
                   return setup && setup->timing(emu::KLineSetupView::kP1Min) == 5;
                 },
                 {"PassThruIoctl(P1_MIN) failed"}),
      // The receive passes after the clear report their own failed reads.
      LoggedOnly("ClearRxBuffer", CAN, CLEAR_RX_BUFFER, {},
                 [](const FaultWorld& w) { return w.bus.device(kCanDev).receive_clears != 0; },
                 {"PassThruIoctl: JmsgSendCmd returned", "JmsgReceiveMsgs com_read returned"}),
      LoggedOnly("ResetTimer", CAN, RESET_TIMER, {}, OptionFrameArrived(0x20),
                 {"Cannot RESET_TIMER"}),
      LoggedOnly("CanD2FlowControl", CAN, CAN_D2_FLOW_CONTROL, {},
                 [](const FaultWorld& w) { return w.bus.device(kCanDev).setup_flags == 0x80; },
                 {"Cannot setup CAN_D2_FLOW_CONTROL"}),
      {"ReadVbatt",
       Linked,
       [](FaultWorld&) { return ReadValue(READ_VBATT); },
       kOkOrTimeout,
       {"PassThruIoctl: ADC read", "PassThruIoctl ADC read timeout"},
       OnSuccess([](const FaultWorld&) { return read_value == 12340u; })},
      {"ReadDio1",
       [](FaultWorld& w) { w.services.io.set_line(1, 1); },
       [](FaultWorld&) { return ReadValue(READ_DIO1); },
       kOkOrTimeout,
       {"PassThruIoctl: DIO read", "PassThruIoctl DIO read timeout"},
       OnSuccess([](const FaultWorld&) { return read_value == 1u; })},
      {"WriteDio1", [](FaultWorld& w) { w.services.io.set_line(1, 1); },
       [](FaultWorld&) { return PassThruIoctl(0, WRITE_DIO1, &level, nullptr); }, kOkOrFailed,
       "PassThruIoctl: DIO write",
       OnSuccess([](const FaultWorld& w) { return w.services.io.line(1) == 0; })},
      {"WriteLcdTest", Linked,
       [](FaultWorld&) { return PassThruIoctl(0, WRITE_LCD_TEST, nullptr, nullptr); }, kOkOrFailed,
       "PassThruIoctl: LCD write",
       OnSuccess([](const FaultWorld& w) { return w.services.display.texts().size() == 1; })},
      {"ProgrammingVoltage", Linked,
       [](FaultWorld& w) { return PassThruSetProgrammingVoltage(w.device_id, 13, 5000); },
       kOkOrFailed, "PassThruSetProgrammingVoltage: JmsgSendCmd",
       OnSuccess([](const FaultWorld& w) {
         return w.services.io.dac().has_value() && w.services.io.dac()->millivolts == 5000;
       })},
      {"ReadVersion", Linked,
       [](FaultWorld& w) {
         firmware[0] = 0;
         return PassThruReadVersion(w.device_id, firmware, dll, api);
       },
       kOkOrFailed, "PassThruReadVersion",
       OnSuccess([](const FaultWorld&) { return std::string(firmware) == "01.02"; })},
      {"SuspendPeriodic", OnCan, [](FaultWorld&) { return PassThruSuspendPeriodic(CAN); },
       kOkOrFailed, "PassThruSuspendPeriodic failed",
       OnSuccess([](const FaultWorld& w) { return w.bus.device(kCanDev).suspended; })},
      {"ResumePeriodic",
       [](FaultWorld& w) {
         OnCan(w);
         ASSERT_EQ(PassThruSuspendPeriodic(CAN), 0);
       },
       [](FaultWorld&) { return PassThruResumePeriodic(CAN); }, kOkOrFailed,
       "PassThruResumePeriodic failed",
       OnSuccess([](const FaultWorld& w) { return !w.bus.device(kCanDev).suspended; })},
      // No key bytes within the wait is no failure: the caller gets zeros,
      // and the last error tells what went wrong.
      {"FiveBaudInitialisation",
       [](FaultWorld& w) {
         emu::add_kline_init_unit(w.adapter).set_answer_delay(50);
         w.Connect(ISO9141, 0, 10400);
       },
       [](FaultWorld&) {
         uint8_t address = 0x33;
         keys[0] = keys[1] = 0xEE;
         SBYTE_ARRAY in{1, &address}, out{2, keys};
         return PassThruIoctl(ISO9141, FIVE_BAUD_INIT, &in, &out);
       },
       kOk,
       {},
       [](const FaultRun& run) {
         const bool ecu_keys = keys[0] == 0x08 && keys[1] == 0x08;
         EXPECT_TRUE(ecu_keys || (keys[0] == 0 && keys[1] == 0));
         EXPECT_TRUE(ecu_keys || run.world.LastError() != "No Error");
       }},
  };
}

// --- services ------------------------------------------------------------------------

std::vector<uint8_t> ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

MatrixCase WriteFileCase(size_t size) {
  const std::vector<uint8_t> bytes = Pattern(size), older = Pattern(50, 99);
  const fs::path host = Scratch() / ("upload" + std::to_string(size));
  std::ofstream(host, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
  return {"WriteFileOf" + std::to_string(size) + "Bytes",
          [older](FaultWorld& w) { w.adapter.files().put("DATA.BIN", older); },
          [host](FaultWorld&) {
            std::string host_name = host.string(), stored = "DATA.BIN";
            return PassThruWriteFile(host_name.data(), stored.data(), 0);
          },
          kOkOrFailed,
          "PassThruWriteFile",
          [bytes, older](const FaultRun& run) {
            ExpectStoredWholeOrFailed(run, "DATA.BIN", bytes, older);
          }};
}

std::vector<MatrixCase> ServiceCases() {
  static const std::vector<uint8_t> stored = Pattern(1000, 11), bytes = Pattern(200, 5),
                                    image = Pattern(1500, 42);
  static const std::array<uint8_t, 12> record{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  static std::array<uint8_t, 12> fixed{};
  static std::array<uint8_t, 16> seed{};
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(0xA0 + i);
  static const auto key = emu::MemoryUnit::security_key(3, fixed, seed);
  static std::vector<uint8_t> out;
  static RTC_DAY_TIME rtc{};
  static std::array<uint8_t, 18> got{};
  static std::string listing;
  static const fs::path download = Scratch() / "download.bin";
  std::array<uint8_t, app::kMaxNetworkFileSize> built{};
  const size_t size = app::BuildNetworkFile("Workshop", "pa55word!", built);
  const std::vector<uint8_t> network(built.begin(), built.begin() + static_cast<long>(size));
  return {
      WriteFileCase(0),
      WriteFileCase(65),
      WriteFileCase(4097),
      WriteFileCase(9000),
      {"ReadFileCopiesOnlyWhatTheAdapterSent",
       [](FaultWorld& w) { w.adapter.files().put("LOG.BIN", stored); },
       [](FaultWorld&) {
         fs::remove(download);
         std::string host_name = download.string(), stored_name = "LOG.BIN";
         return PassThruReadFile(host_name.data(), stored_name.data(), 0);
       },
       kOkOrFailed, "PassThruReadFile",
       [](const FaultRun& run) {
         const std::vector<uint8_t> host = ReadHostFile(download);
         EXPECT_TRUE(run.status == 0 ? host == stored : IsPrefix(host, stored))
             << "the host file holds bytes the adapter never sent";
       }},
      {"DeleteFile",
       [](FaultWorld& w) {
         w.adapter.files().put("OLD.TXT", {1, 2, 3});
       },
       [](FaultWorld&) {
         std::string name = "OLD.TXT";
         return PassThruDeleteFile(name.data(), 0);
       },
       kOkOrFailed, "PassThruDeleteFile",
       OnSuccess([](FaultWorld& w) { return !w.adapter.files().exists("OLD.TXT"); })},
      {"ReadDir",
       [](FaultWorld& w) {
         for (const char* name : {"A.TXT", "B.TXT", "C.BIN"}) w.adapter.files().put(name, {1});
       },
       [](FaultWorld&) {
         std::string pattern = "*.TXT";
         char list[256];
         std::fill(std::begin(list), std::end(list), 'x');
         const int32_t status = PassThruReadDir(pattern.data(), list);
         listing = list;
         return status;
       },
       kOkOrFailed, "PassThruReadDir",
       [](const FaultRun& run) {
         const std::string whole = "A.TXT,B.TXT,";
         EXPECT_TRUE(run.status == 0 ? listing == whole : whole.rfind(listing, 0) == 0)
             << "the listing holds \"" << listing << "\"";
       }},
      {"ReadMem", [](FaultWorld& w) { w.services.memory.poke(0x1000, bytes); },
       [](FaultWorld&) {
         out.assign(bytes.size(), 0xEE);
         return PassThruReadMem(0x1000, 200, out.data(), 0);
       },
       kOkOrFailed, "PassThruReadMem", OnSuccess([](const FaultWorld&) { return out == bytes; })},
      {"WriteMem", Linked,
       [](FaultWorld&) {
         return PassThruWriteMem(0x2000, 200, const_cast<uint8_t*>(bytes.data()), 0);
       },
       kOkOrFailed, "PassThruWriteMem",
       OnSuccess([](const FaultWorld& w) { return w.services.memory.peek(0x2000, 200) == bytes; })},
      {"ReadRTC", [](FaultWorld& w) { w.services.clock.set_record(record); },
       [](FaultWorld&) {
         rtc = {};
         return PassThruReadRTC(&rtc);
       },
       kOkOrFailed, "PassThruReadRTC",
       OnSuccess([](const FaultWorld&) { return std::memcmp(&rtc, record.data(), 12) == 0; })},
      {"WriteRTC", Linked,
       [](FaultWorld&) {
         std::memcpy(&rtc, record.data(), sizeof rtc);
         return PassThruWriteRTC(&rtc);
       },
       kOkOrFailed, "PassThruWriteRTC",
       OnSuccess([](const FaultWorld& w) { return w.services.clock.record() == record; })},
      {"UpdateFirmware", Linked,
       [](FaultWorld&) { return PassThruUpdateFirmware(const_cast<uint8_t*>(image.data()), 1500); },
       kOkOrFailed, "PassThruUpdateFirmware",
       [](const FaultRun& run) { ExpectStoredWholeOrFailed(run, "APP.LDR", image); }},
      {"Security", Linked,
       [](FaultWorld&) { return PassThruSecurity(3, fixed.data(), seed.data(), got.data()); },
       kOkOrFailed, "PassThruSecurity", OnSuccess([](const FaultWorld&) { return got == key; })},
      {"ProvisionStoresTheNetworkFileOrFails", Linked,
       [](FaultWorld&) {
         const fs::path previous = fs::current_path();
         fs::current_path(Scratch());
         const int32_t status = app::Provision("Workshop", "pa55word!");
         fs::current_path(previous);
         return status;
       },
       kProvisioned, "PassThruWriteFile",
       [network](const FaultRun& run) { ExpectStoredWholeOrFailed(run, "IOT.NET", network); }},
  };
}

class FaultMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(FaultMatrix, EndsCleanlyAndTheLinkRecovers) {
  const MatrixCase& c = GetParam();
  RunFaultMatrix(
      [&c](FaultWorld& w) {
        if (c.prepare == nullptr) return;
        w.OpenLink();
        c.prepare(w);
      },
      c.operation,
      [&c](const FaultRun& run) {
        ExpectCleanFailure(run, c.allowed, c.prefixes);
        if (c.check) c.check(run);
      },
      c.limit);
}

std::string CaseName(const ::testing::TestParamInfo<MatrixCase>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(LinkAndChannels, FaultMatrix, ::testing::ValuesIn(LinkAndChannelCases()),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Services, FaultMatrix, ::testing::ValuesIn(ServiceCases()), CaseName);

// --- transmit --------------------------------------------------------------------------

// The frames the adapter received, described, except the version requests
// of a blocking write.
// The frames of the transmit itself: not the adapter-system requests, nor
// the setup records and connect frames with which the link sets the
// adapter up again after a write failed.
std::vector<std::string> ReceivedBusFrames(const FaultWorld& world) {
  std::vector<std::string> out;
  for (const emu::Frame& f : world.adapter.received_frames()) {
    if (f.dev != 0xF0 && f.op != 0 && f.type != 7) out.push_back(emu::describe(f));
  }
  return out;
}

int32_t Transmit(uint32_t protocol, std::vector<PASSTHRU_MSG> msgs) {
  uint32_t count = static_cast<uint32_t>(msgs.size());
  const int32_t status = PassThruWriteMsgs(protocol, msgs.data(), &count, 0);
  EXPECT_LE(count, msgs.size());
  return status;
}

// `head` and then `payload` counting bytes.
PASSTHRU_MSG MsgWith(uint32_t protocol, std::vector<uint8_t> head, size_t payload,
                     uint32_t tx_flags = 0) {
  for (size_t i = 0; i < payload; ++i) head.push_back(static_cast<uint8_t>(i));
  return MakeMsg(protocol, head, tx_flags);
}

TEST(FaultMatrixTransmit, AdapterReceivesAPrefixOfTheCleanRunsFrames) {
  const struct {
    const char* name;
    uint32_t protocol;
    std::vector<PASSTHRU_MSG> msgs;
  } cases[] = {
      {"raw CAN",
       CAN,
       {MakeMsg(CAN, {0, 0, 0x07, 0xE0, 0x02, 0x01, 0x00}),
        MakeMsg(CAN, {0x18, 0xDA, 0x10, 0xF1, 0x02, 0x3E, 0x00}, CAN_29BIT_ID)}},
      {"segmented ISO 15765",
       ISO15765,
       {MsgWith(ISO15765, {0, 0, 0x07, 0xE0}, 300, ISO15765_FRAME_PAD)}},
      {"long K-line", ISO9141, {MsgWith(ISO9141, {0x68, 0x6A, 0xF1}, 150)}},
      {"blocking", CAN, {MakeMsg(CAN, {0, 0, 0x07, 0xE0, 0x01, 0x0D}, 0x02000000)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto prepare = [&c](FaultWorld& w) {
      w.OpenLink();
      w.Connect(c.protocol);
    };
    std::vector<std::string> reference;
    {
      FaultWorld world;
      prepare(world);
      EXPECT_EQ(Transmit(c.protocol, c.msgs), 0);
      reference = ReceivedBusFrames(world);
    }
    ASSERT_FALSE(reference.empty());
    RunFaultMatrix(
        prepare, [&c](FaultWorld&) { return Transmit(c.protocol, c.msgs); },
        [&reference](const FaultRun& run) {
          ExpectCleanFailure(run, kOkOrTimeout,
                             {"JmsgSendMsgs com_write", "PassThruWriteMsgs", "JmsgReceiveMsgs"});
          const std::vector<std::string> got = ReceivedBusFrames(run.world);
          ASSERT_LE(got.size(), reference.size()) << "more frames reached the adapter than sent";
          EXPECT_TRUE(std::equal(got.begin(), got.end(), reference.begin()))
              << "the adapter received frames the operation did not build, or twice";
          EXPECT_TRUE(run.status != 0 || got.size() == reference.size())
              << "success, but frames are missing";
        });
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace orv::test
