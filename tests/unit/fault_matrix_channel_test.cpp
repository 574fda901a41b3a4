// Fault matrix of the channel controls: filters and periodic messages
// (start, stop, update, suspend, resume; the host tables must agree with
// what the adapter holds whatever failed), every ioctl that sends a frame,
// the programming voltage and the version request.
//
// Some sends are only logged when they fail (a SET_CONFIG frame, the
// receive clear, the timer reset, the D2 flow-control setup, the start of
// an initialisation): there the call succeeds, and the check is that the
// last-error text says what did not reach the adapter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "emulator/kline_init_unit.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "tests/support/fault_matrix.h"

namespace orv::test {
namespace {

constexpr uint8_t kCanDev = 0x10;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Every slot the host thinks in use is in use on the adapter and the other
// way round.
void ExpectFilterTablesAgree(const FaultWorld& world) {
  for (uint8_t slot = 0; slot < kFilterSlots; ++slot) {
    EXPECT_EQ(FilterSlotInUse(slot), world.bus.filter(slot).in_use()) << "filter slot " << +slot;
  }
}

void ExpectPeriodicTablesAgree(const FaultWorld& world) {
  for (uint8_t id = 0; id < kPeriodicEntries; ++id) {
    EXPECT_EQ(State().periodic.entries[id].size != 0, world.bus.periodic(id).running)
        << "periodic entry " << +id;
  }
}

uint32_t StartPassFilter(uint32_t channel) {
  PASSTHRU_MSG mask = MakeMsg(channel, {0, 0, 0x07, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(channel, {0, 0, 0x07, 0xE8});
  uint32_t id = 0;
  EXPECT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &id), 0);
  return id;
}

int32_t StartFlowControlFilter() {
  PASSTHRU_MSG mask = MakeMsg(ISO15765, {0, 0, 0xFF, 0xFF});
  PASSTHRU_MSG pattern = MakeMsg(ISO15765, {0, 0, 0x07, 0xE8});
  PASSTHRU_MSG flow = MakeMsg(ISO15765, {0, 0, 0x07, 0xE0});
  uint32_t id = 0;
  return PassThruStartMsgFilter(ISO15765, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id);
}

PASSTHRU_MSG PeriodicMsg() {
  return MakeMsg(CAN, {0, 0, 0x07, 0xDF, 0x02, 0x3E, 0x80});
}

TEST(FaultMatrixChannel, StartPassFilter) {
  RunFaultMatrix(
      [](FaultWorld& w) {
        w.OpenLink();
        w.Connect(CAN);
      },
      [](FaultWorld&) {
        PASSTHRU_MSG mask = MakeMsg(CAN, {0, 0, 0x07, 0xFF});
        PASSTHRU_MSG pattern = MakeMsg(CAN, {0, 0, 0x07, 0xE8});
        uint32_t id = 0;
        return PassThruStartMsgFilter(CAN, PASS_FILTER, &mask, &pattern, nullptr, &id);
      },
      [](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruStartMsgFilter failed"});
        EXPECT_EQ(FilterSlotInUse(63), run.status == 0);
        ExpectFilterTablesAgree(run.world);
      });
}

TEST(FaultMatrixChannel, StartFlowControlFilter) {
  RunFaultMatrix(
      [](FaultWorld& w) {
        w.OpenLink();
        w.Connect(ISO15765);
      },
      [](FaultWorld&) { return StartFlowControlFilter(); },
      [](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruStartMsgFilter failed"});
        EXPECT_EQ(FilterSlotInUse(0), run.status == 0);
        if (run.status == 0) {
          EXPECT_NE(run.world.bus.filter(0).flow.size, 0);
        }
        ExpectFilterTablesAgree(run.world);
      });
}

TEST(FaultMatrixChannel, StopFilterAndClearFilters) {
  for (const bool clear_all : {false, true}) {
    SCOPED_TRACE(clear_all ? "CLEAR_MSG_FILTERS" : "PassThruStopMsgFilter");
    RunFaultMatrix(
        [](FaultWorld& w) {
          w.OpenLink();
          w.Connect(CAN);
          StartPassFilter(CAN);
          StartPassFilter(CAN);
          w.ClearLogs();
        },
        [clear_all](FaultWorld&) {
          return clear_all ? PassThruIoctl(CAN, CLEAR_MSG_FILTERS, nullptr, nullptr)
                           : PassThruStopMsgFilter(CAN, 63);
        },
        [clear_all](const FaultRun& run) {
          ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruStopMsgFilter failed"});
          if (!clear_all) {
            EXPECT_EQ(FilterSlotInUse(63), run.status != 0);
          }
          ExpectFilterTablesAgree(run.world);
        });
  }
}

TEST(FaultMatrixChannel, StartUpdateAndStopPeriodic) {
  RunFaultMatrix(
      [](FaultWorld& w) {
        w.OpenLink();
        w.Connect(CAN);
      },
      [](FaultWorld&) {
        PASSTHRU_MSG msg = PeriodicMsg();
        uint32_t id = 0;
        return PassThruStartPeriodicMsg(CAN, &msg, &id, 100);
      },
      [](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruStartPeriodicMsg failed"});
        EXPECT_EQ(State().periodic.entries[0].size != 0, run.status == 0);
        ExpectPeriodicTablesAgree(run.world);
      });
  RunFaultMatrix(
      [](FaultWorld& w) {
        w.OpenLink();
        w.Connect(CAN);
        PASSTHRU_MSG msg = PeriodicMsg();
        uint32_t id = 0;
        ASSERT_EQ(PassThruStartPeriodicMsg(CAN, &msg, &id, 100), 0);
      },
      [](FaultWorld&) {
        PASSTHRU_MSG msg = MakeMsg(CAN, {0, 0, 0x07, 0xDF, 0x01, 0x3E});
        return PassThruUpdatePeriodicMsg(CAN, &msg, 0, 250);
      },
      [](const FaultRun& run) {
        ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruUpdatePeriodicMsg failed"});
        EXPECT_EQ(State().periodic.entries[0].size, run.status == 0 ? 4 : 5);
        EXPECT_EQ(run.world.bus.periodic(0).interval_ms, run.status == 0 ? 250u : 100u);
        ExpectPeriodicTablesAgree(run.world);
      });
  for (const bool clear_all : {false, true}) {
    SCOPED_TRACE(clear_all ? "CLEAR_PERIODIC_MSGS" : "PassThruStopPeriodicMsg");
    RunFaultMatrix(
        [](FaultWorld& w) {
          w.OpenLink();
          w.Connect(CAN);
          for (int i = 0; i < 2; ++i) {
            PASSTHRU_MSG msg = PeriodicMsg();
            uint32_t id = 0;
            ASSERT_EQ(PassThruStartPeriodicMsg(CAN, &msg, &id, 100), 0);
          }
        },
        [clear_all](FaultWorld&) {
          return clear_all ? PassThruIoctl(CAN, CLEAR_PERIODIC_MSGS, nullptr, nullptr)
                           : PassThruStopPeriodicMsg(CAN, 1);
        },
        [](const FaultRun& run) {
          ExpectCleanFailure(run, {0, ERR_FAILED}, {"PassThruStopPeriodicMsg failed"});
          ExpectPeriodicTablesAgree(run.world);
        });
  }
}

// An ioctl whose frame failure is only logged: success either way, and when
// the adapter did not get the frame, the last error says so.
template <class Arrived>
void LoggedOnlyMatrix(uint32_t channel, uint32_t ioctl, void* input, Arrived arrived,
                      std::initializer_list<const char*> failure_texts) {
  RunFaultMatrix(
      [channel](FaultWorld& w) {
        w.OpenLink();
        w.Connect(channel, 0, channel == ISO9141 ? 10400 : 500000);
      },
      [channel, ioctl, input](FaultWorld&) {
        return PassThruIoctl(channel, ioctl, input, nullptr);
      },
      [arrived, failure_texts](const FaultRun& run) {
        EXPECT_EQ(run.status, 0);
        if (!arrived(run.world)) {
          const std::string text = run.world.LastError();
          EXPECT_TRUE(std::any_of(failure_texts.begin(), failure_texts.end(),
                                  [&](const char* prefix) { return StartsWith(text, prefix); }))
              << "the frame never arrived, yet the last error is \"" << run.world.LastError()
              << "\"";
        }
      });
}

TEST(FaultMatrixChannel, SetConfigSendsOrSaysItDidNot) {
  SCONFIG rate{DATA_RATE, 250000};
  SCONFIG_LIST rate_list{1, &rate};
  LoggedOnlyMatrix(CAN, SET_CONFIG, &rate_list,
                   [](const FaultWorld& w) {
                     const auto setup = w.bus.can_setup(kCanDev);
                     return setup && setup->baud_rate == 250000;
                   },
                   {"Cannot set CAN DATA_RATE"});
  SCONFIG loopback{LOOPBACK, 1};
  SCONFIG_LIST loopback_list{1, &loopback};
  LoggedOnlyMatrix(CAN, SET_CONFIG, &loopback_list,
                   [](const FaultWorld& w) {
                     for (const emu::Frame& f : w.adapter.received_frames()) {
                       if (f.dev == 0xF0 && f.op == 3 && f.flags == 0x40) return true;
                     }
                     return false;
                   },
                   {"Cannot set/clear LOOPBACK option"});
  SCONFIG p1{P1_MIN, 10};
  SCONFIG_LIST p1_list{1, &p1};
  LoggedOnlyMatrix(ISO9141, SET_CONFIG, &p1_list,
                   [](const FaultWorld& w) {
                     const auto setup = w.bus.kline_setup();
                     return setup && setup->timing(emu::KLineSetupView::kP1Min) == 5;
                   },
                   {"PassThruIoctl(P1_MIN) failed"});
}

TEST(FaultMatrixChannel, ClearRxBufferResetTimerAndD2FlowControl) {
  LoggedOnlyMatrix(CAN, CLEAR_RX_BUFFER, nullptr,
                   [](const FaultWorld& w) { return w.bus.device(kCanDev).receive_clears != 0; },
                   // The receive passes after the clear report their own failed reads.
                   {"PassThruIoctl: JmsgSendCmd returned", "JmsgReceiveMsgs com_read returned"});
  LoggedOnlyMatrix(CAN, RESET_TIMER, nullptr,
                   [](const FaultWorld& w) {
                     for (const emu::Frame& f : w.adapter.received_frames()) {
                       if (f.dev == 0xF0 && f.op == 3 && f.flags == 0x20) return true;
                     }
                     return false;
                   },
                   {"Cannot RESET_TIMER"});
  LoggedOnlyMatrix(CAN, CAN_D2_FLOW_CONTROL, nullptr,
                   [](const FaultWorld& w) { return w.bus.device(kCanDev).setup_flags == 0x80; },
                   {"Cannot setup CAN_D2_FLOW_CONTROL"});
}

// Device calls over the open link: a failure names the call, a success
// did what was asked.
enum class Periodic { kNone, kConnected, kSuspended };  // the CAN channel beforehand

struct DeviceCase {
  const char* name;
  Periodic before;
  std::vector<int32_t> allowed;
  std::vector<const char*> prefixes;
  std::function<int32_t(FaultWorld&)> operation;
  std::function<bool(const FaultWorld&)> done;  // judged on success
};

TEST(FaultMatrixChannel, DeviceReadsWritesVoltageAndVersion) {
  static uint32_t value = 0;
  static uint8_t level = 0;
  static char firmware[80], dll[80], api[80];
  const DeviceCase cases[] = {
      {"READ_VBATT",
       Periodic::kNone,
       {0, ERR_FAILED, ERR_TIMEOUT},
       {"PassThruIoctl: ADC read", "PassThruIoctl ADC read timeout"},
       [](FaultWorld&) { return PassThruIoctl(0, READ_VBATT, nullptr, &value); },
       [](const FaultWorld&) { return value == 12340u; }},
      {"READ_DIO1",
       Periodic::kNone,
       {0, ERR_FAILED, ERR_TIMEOUT},
       {"PassThruIoctl: DIO read", "PassThruIoctl DIO read timeout"},
       [](FaultWorld&) { return PassThruIoctl(0, READ_DIO1, nullptr, &value); },
       [](const FaultWorld&) { return value == 1u; }},
      {"WRITE_DIO1",
       Periodic::kNone,
       {0, ERR_FAILED},
       {"PassThruIoctl: DIO write"},
       [](FaultWorld&) { return PassThruIoctl(0, WRITE_DIO1, &level, nullptr); },
       [](const FaultWorld& w) { return w.services.io.line(1) == 0; }},
      {"WRITE_LCD_TEST",
       Periodic::kNone,
       {0, ERR_FAILED},
       {"PassThruIoctl: LCD write"},
       [](FaultWorld&) { return PassThruIoctl(0, WRITE_LCD_TEST, nullptr, nullptr); },
       [](const FaultWorld& w) { return w.services.display.texts().size() == 1; }},
      {"voltage",
       Periodic::kNone,
       {0, ERR_FAILED},
       {"PassThruSetProgrammingVoltage: JmsgSendCmd"},
       [](FaultWorld& w) { return PassThruSetProgrammingVoltage(w.device_id, 13, 5000); },
       [](const FaultWorld& w) {
         return w.services.io.dac().has_value() && w.services.io.dac()->millivolts == 5000;
       }},
      {"version",
       Periodic::kNone,
       {0, ERR_FAILED},
       {"PassThruReadVersion"},
       [](FaultWorld& w) { return PassThruReadVersion(w.device_id, firmware, dll, api); },
       [](const FaultWorld&) { return std::string(firmware) == "01.02"; }},
      {"suspend",
       Periodic::kConnected,
       {0, ERR_FAILED},
       {"PassThruSuspendPeriodic failed"},
       [](FaultWorld&) { return PassThruSuspendPeriodic(CAN); },
       [](const FaultWorld& w) { return w.bus.device(kCanDev).suspended; }},
      {"resume",
       Periodic::kSuspended,
       {0, ERR_FAILED},
       {"PassThruResumePeriodic failed"},
       [](FaultWorld&) { return PassThruResumePeriodic(CAN); },
       [](const FaultWorld& w) { return !w.bus.device(kCanDev).suspended; }},
  };
  for (const DeviceCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunFaultMatrix(
        [&c](FaultWorld& w) {
          w.OpenLink();
          w.services.io.set_line(1, 1);
          if (c.before != Periodic::kNone) w.Connect(CAN);
          if (c.before == Periodic::kSuspended) {
            ASSERT_EQ(PassThruSuspendPeriodic(CAN), 0);
          }
        },
        [&c](FaultWorld& w) {
          value = 0xDEAD;
          firmware[0] = 0;
          return c.operation(w);
        },
        [&c](const FaultRun& run) {
          ExpectCleanFailure(run, c.allowed, c.prefixes);
          EXPECT_TRUE(run.status != 0 || c.done(run.world)) << "success, but not done";
        });
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(FaultMatrixChannel, FiveBaudInitialisation) {
  uint8_t keys[2] = {};
  RunFaultMatrix(
      [](FaultWorld& w) {
        emu::add_kline_init_unit(w.adapter).set_answer_delay(50);
        w.OpenLink();
        w.Connect(ISO9141, 0, 10400);
      },
      [&keys](FaultWorld&) {
        uint8_t address = 0x33;
        keys[0] = keys[1] = 0xEE;
        SBYTE_ARRAY in{1, &address};
        SBYTE_ARRAY out{2, keys};
        return PassThruIoctl(ISO9141, FIVE_BAUD_INIT, &in, &out);
      },
      [&keys](const FaultRun& run) {
        // No key bytes within the wait is no failure: the caller gets
        // zeros, and the last error tells what went wrong.
        EXPECT_EQ(run.status, 0);
        const bool ecu_keys = keys[0] == 0x08 && keys[1] == 0x08;
        EXPECT_TRUE(ecu_keys || (keys[0] == 0 && keys[1] == 0));
        if (!ecu_keys) {
          EXPECT_NE(run.world.LastError(), "No Error");
        }
      });
}

}  // namespace
}  // namespace orv::test
