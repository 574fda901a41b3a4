// The unsigned long face over the in-process emulated adapter, in a program
// of its own (its C names are those of the 32-bit face in unit_tests): a
// failed call, whether this face or the core refuses it, leaves every
// output as it was and claims no message.
#define ORVANTA_J2534_LP64 1
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/emulated_platform.h"
#include "orvanta_j2534.h"
#include "passthru/library_state.h"
#include "platform/testing/fault_platform.h"

namespace orv::test {
namespace {

constexpr unsigned long kKept = 0xA5A5A5A5A5A5A5A5ul;
constexpr unsigned long kBig = 0x100000000ul;
constexpr unsigned long kChannel = 5;  // CAN

class Lp64Face : public ::testing::Test {
 protected:
  Lp64Face() {
    platform_.attach_adapter(7, adapter_);
    ResetLibraryState();
    platform::install(&faults_);
  }
  ~Lp64Face() override {
    ResetLibraryState();
    platform::install(nullptr);
  }

  // Runs each call with every output filled with kKept and the count 4:
  // each must fail and leave the outputs as they were, the count 0.
  void ExpectFailuresTouchNothing(const std::vector<std::function<long()>>& calls) {
    for (size_t i = 0; i < calls.size(); ++i) {
      SCOPED_TRACE(i);
      std::memset(msgs_, 0xA5, sizeof msgs_);
      out_ = config_.Value = info_.Value = kKept;
      count_ = 4;
      EXPECT_NE(calls[i](), 0);
      const auto* bytes = reinterpret_cast<const uint8_t*>(msgs_);
      for (size_t b = 0; b < sizeof msgs_; ++b) ASSERT_EQ(bytes[b], 0xA5) << "record byte " << b;
      EXPECT_EQ(out_, kKept);
      EXPECT_EQ(config_.Value, kKept);
      EXPECT_EQ(info_.Value, kKept);
      EXPECT_TRUE(count_ == 0 || count_ == 4) << count_;  // 4: the call has no count
    }
  }
  std::vector<std::function<long()>> Calls(unsigned long flags, unsigned long timeout) {
    return {
        [=, this] { return PassThruConnect(9, CAN, flags, 500000, &out_); },  // no device 9
        [=, this] { return PassThruReadMsgs(kChannel, msgs_, &count_, timeout); },
        [=, this] { return PassThruWriteMsgs(kChannel, msgs_, &count_, timeout); },
        [=, this] { return PassThruReadMsgs(kChannel, nullptr, &count_, timeout); },
        [=, this] { return PassThruStartPeriodicMsg(kChannel, &filter_[0], &out_, timeout); },
        [=, this] {
          filter_[0].TxFlags = flags;
          return PassThruStartMsgFilter(kChannel, PASS_FILTER, &filter_[0], &filter_[1], nullptr,
                                        &out_);
        },
        [this] { return PassThruIoctl(kChannel, GET_CONFIG, &config_list_, nullptr); },
        [this] { return PassThruIoctl(kChannel, GET_PROTOCOL_INFO, nullptr, &info_list_); },
        [this] { return PassThruIoctl(kChannel, READ_VBATT, nullptr, &out_); },
        [this] { return PassThruIoctl(kChannel, FAST_INIT, &filter_[0], &msgs_[0]); },
    };
  }

  emu::Adapter adapter_;
  emu::EmulatedPlatform platform_;
  platform::FaultPlatform faults_{platform_};
  PASSTHRU_MSG msgs_[4] = {}, filter_[2] = {};
  unsigned long out_ = 0, count_ = 0;
  SCONFIG config_{DATA_RATE, 0};
  SCONFIG_LIST config_list_{1, &config_};
  SPARAM info_{1, 0, 0};
  SPARAM_LIST info_list_{1, &info_};
};

TEST_F(Lp64Face, FailedCallsTouchNoOutputAndClaimNoMessage) {
  for (PASSTHRU_MSG& m : filter_) m = PASSTHRU_MSG{CAN, 0, 0, 0, 4, 0, {}};
  platform_.remove_port(7);
  auto calls = Calls(0, 0);
  calls.push_back([this] { return PassThruOpen(nullptr, &out_); });
  ExpectFailuresTouchNothing(calls);  // no adapter
  platform_.attach_adapter(7, adapter_);
  unsigned long device = 0;
  ASSERT_EQ(PassThruOpen("COM7", &device), 0);
  ExpectFailuresTouchNothing(Calls(0, 0));        // the channel is not open
  ExpectFailuresTouchNothing(Calls(kBig, kBig));  // beyond 32 bits

  // A frame is read; then a hostile adapter stops the channel: the reads
  // that follow fail whole.
  ASSERT_EQ(PassThruConnect(device, CAN, 0, 500000, &out_), 0);
  unsigned long filter = 0;
  filter_[0].TxFlags = 0;
  ASSERT_EQ(PassThruStartMsgFilter(out_, PASS_FILTER, &filter_[0], &filter_[1], nullptr, &filter),
            0);
  adapter_.inject_frame(emu::Frame::make(0x10, 2, 0, 0, std::vector<uint8_t>{7, 0xE8, 1}));
  count_ = 4;
  EXPECT_EQ(PassThruReadMsgs(out_, msgs_, &count_, 0), 0);
  EXPECT_EQ(count_, 1u);
  adapter_.inject_frame(emu::Frame::make(0x10, 1, 0, 0, std::vector<uint8_t>{}));
  ExpectFailuresTouchNothing({[this] { return PassThruReadMsgs(out_, msgs_, &count_, 100); },
                              [this] { return PassThruReadMsgs(out_, msgs_, &count_, 100); }});
}

}  // namespace
}  // namespace orv::test
