// Shared set-up of the fuzz targets: every input runs against a fresh
// world (the library reset, an in-process emulated adapter on COM7 behind
// the emulated platform with its virtual clock, the link opened on COM7),
// so that a finding replays from its input alone. The world's logs are
// forgotten after every step, so memory stays flat over a long input.
//
// Failure reporting: a broken invariant of the library aborts through
// FUZZ_CHECK with the condition's text, which libFuzzer reports as a crash.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "emulator/adapter.h"
#include "emulator/emulated_platform.h"
#include "orvanta_j2534.h"
#include "tests/support/messages.h"
#include "tests/support/world.h"

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)

namespace orv::fuzz {

using test::MakeMsg;

inline constexpr std::array<uint32_t, 6> kAllChannels{ISO9141,  ISO14230, CAN,
                                                      ISO15765, MSCAN,    MSISO15765};

// The emulated platform, except that a read finding nothing while the
// adapter has nothing queued lets 100 ms pass instead of 1: every wait for
// an answer that never comes ends after 150 reads instead of 15000, and
// the fuzzer spends its time on inputs rather than on waiting.
class FuzzPlatform : public emu::EmulatedPlatform {
 public:
  platform::OsError serial_read(platform::SerialHandle handle, uint8_t* buffer, uint32_t count,
                                uint32_t* done) override;
};

// The tests' world (tests/support/world.h) with the link open on COM7.
class FuzzWorld : public test::BasicWorld<FuzzPlatform> {
 public:
  FuzzWorld();

  // Connects all six channels, with the options the bits of `choice` pick:
  // the CAN connect flags (bits 0-1: both identifier lengths, twice, none
  // or 29-bit), no K-line checksum (bit 2), mixed format (3), ISO 15765
  // transmit data length 64 instead of 8 (4), timestamps in milliseconds
  // (5), last-segment timestamps (6).
  void ConnectAllChannels(uint8_t choice);
  // Pass and block filters on the raw CAN and K-line channels, flow-control
  // filters (11-bit, 29-bit, extended address, match-all) and pass filters
  // on the ISO 15765 channels.
  void InstallFiltersOfEveryKind();
};

// Runs one input: a fresh world with all six channels connected as the
// input's first set-up byte says (and, if asked, filters of every kind),
// then `step(world, input)` until the input is used up, forgetting the
// logs after each step.
template <class Step>
void RunInput(const uint8_t* data, size_t size, bool with_filters, Step step) {
  FuzzedDataProvider input(data, size);
  FuzzWorld world;
  world.ConnectAllChannels(input.ConsumeIntegral<uint8_t>());
  if (with_filters) world.InstallFiltersOfEveryKind();
  while (input.remaining_bytes() > 0) {
    step(world, input);
    world.ClearLogs();
  }
}

// Reads `count` records from `channel` (Timeout 0) into an array of exactly
// that many records on the heap and checks what was delivered. Returns the
// status.
int32_t ReadAndCheck(uint32_t channel, uint32_t count);

}  // namespace orv::fuzz
