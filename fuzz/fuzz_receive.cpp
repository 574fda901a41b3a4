// Fuzz target: the receive side. An arbitrary adapter byte stream reaches
// the library in arbitrary pieces while all six channels are open with
// filters of every kind installed; after each piece one receive pass runs
// and, as the input says, a read on one channel; at the end every channel
// is drained through PassThruReadMsgs.
//
// Input layout (FuzzedDataProvider): the stream bytes from the front; from
// the back one set-up byte, then per piece its length and a read choice.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/jmsg.h"
#include "link/link_state.h"

namespace {

using orv::fuzz::FuzzWorld;
using orv::fuzz::kAllChannels;
using orv::fuzz::ReadAndCheck;

constexpr size_t kMaxPiece = 600;
// Enough reads to empty the fullest queue (4096 frames) 16 records at a time.
constexpr int kMaxDrainReads = 300;

void DrainEveryChannel() {
  for (uint32_t channel : kAllChannels) {
    for (int i = 0; i < kMaxDrainReads; ++i) {
      const int32_t status = ReadAndCheck(channel, 16);
      if (status == ERR_BUFFER_EMPTY || status == ERR_DEVICE_NOT_CONNECTED) break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orv::fuzz::RunInput(data, size, true, [](FuzzWorld& world, FuzzedDataProvider& input) {
    const size_t piece = input.ConsumeIntegralInRange<size_t>(1, kMaxPiece);
    const uint8_t read_choice = input.ConsumeIntegral<uint8_t>();
    world.adapter.inject_bytes(input.ConsumeBytes<uint8_t>(piece));
    {
      const orv::test::StateHeld held;  // a receive pass runs inside a call
      orv::JmsgReceiveMsgs();
    }
    FUZZ_CHECK(orv::Link().com_buf_len <= orv::kComBufSize);
    if ((read_choice & 1) != 0) {
      ReadAndCheck(kAllChannels[(read_choice >> 1) % kAllChannels.size()], 1 + (read_choice >> 5));
    }
    if (input.remaining_bytes() == 0) DrainEveryChannel();
  });
  return 0;
}
