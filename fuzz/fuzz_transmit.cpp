// Fuzz target: the caller's message records. Arbitrary PASSTHRU_MSG
// records (any DataSize, TxFlags, ExtraDataIndex and ProtocolID) go to
// PassThruWriteMsgs, PassThruStartMsgFilter, PassThruStartPeriodicMsg and
// PassThruUpdatePeriodicMsg on every channel (and on IDs that are none),
// with stops in between so that the tables fill and empty.
//
// Each record array is allocated to its exact size, so a read past the
// last record's Data is caught. Checked after every call: only whole
// frames of at most 68 data bytes reach the port, a write never reports
// more messages than it was given, and the caller's records are left as
// they were (except the documented change of PassThruStartPeriodicMsg).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/jmsg.h"

namespace {

using orv::fuzz::FuzzWorld;
using orv::fuzz::kAllChannels;

constexpr uint32_t kMaxMsgs = 4;

uint32_t PickChannel(FuzzedDataProvider& in) {
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  if (pick < 240) return kAllChannels[pick % kAllChannels.size()];
  return pick == 255 ? in.ConsumeIntegral<uint32_t>() : pick - 240u;
}

// The TxFlags bits the library acts on, mixed with arbitrary ones.
uint32_t PickTxFlags(FuzzedDataProvider& in) {
  static constexpr uint32_t kBits[] = {0x40,     0x80,       0x100,     0x80000,
                                       0x100000, 0x02000000, 0x10000000};
  if (in.ConsumeBool()) return in.ConsumeIntegral<uint32_t>();
  const uint8_t mask = in.ConsumeIntegral<uint8_t>();
  uint32_t flags = 0;
  for (size_t i = 0; i < std::size(kBits); ++i) {
    if ((mask >> i) & 1) flags |= kBits[i];
  }
  return flags;
}

void FillMsg(FuzzedDataProvider& in, uint32_t channel, PASSTHRU_MSG& m) {
  m.ProtocolID = in.ConsumeBool() ? channel : in.ConsumeIntegral<uint32_t>();
  m.TxFlags = PickTxFlags(in);
  m.ExtraDataIndex =
      in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() : in.ConsumeIntegral<uint32_t>();
  const uint8_t size_kind = in.ConsumeIntegral<uint8_t>();
  if (size_kind < 200) {
    m.DataSize = in.ConsumeIntegralInRange<uint32_t>(0, 80);
  } else if (size_kind < 250) {
    m.DataSize = in.ConsumeIntegralInRange<uint32_t>(0, PASSTHRU_MSG_DATA_SIZE + 8);
  } else {
    m.DataSize = in.ConsumeIntegral<uint32_t>();
  }
  const size_t fill = std::min<size_t>(m.DataSize, PASSTHRU_MSG_DATA_SIZE);
  const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(fill);
  std::copy(bytes.begin(), bytes.end(), m.Data);
}

std::vector<PASSTHRU_MSG> Msgs(FuzzedDataProvider& in, uint32_t channel, uint32_t n) {
  std::vector<PASSTHRU_MSG> msgs(n);
  for (PASSTHRU_MSG& m : msgs) {
    m = PASSTHRU_MSG{};
    FillMsg(in, channel, m);
  }
  return msgs;
}

bool Unchanged(const std::vector<PASSTHRU_MSG>& before, const std::vector<PASSTHRU_MSG>& after) {
  if (before.size() != after.size()) return false;
  return before.empty() ||
         std::memcmp(before.data(), after.data(), before.size() * sizeof(PASSTHRU_MSG)) == 0;
}

// Only whole frames of at most 68 data bytes reach the port.
void CheckWrittenFrames(FuzzWorld& world) {
  size_t whole = 0;
  for (const orv::emu::Frame& f : world.Sent()) {
    FUZZ_CHECK(f.size <= orv::kJmsgDataSize);
    whole += f.wire_size();
  }
  FUZZ_CHECK(whole == world.platform.written_bytes(world.kPort).size());
}

void WriteMsgs(FuzzedDataProvider& in) {
  const uint32_t channel = PickChannel(in);
  const uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, kMaxMsgs);
  const uint32_t timeout = in.ConsumeIntegral<uint16_t>();
  std::vector<PASSTHRU_MSG> msgs = Msgs(in, channel, n);
  const std::vector<PASSTHRU_MSG> before = msgs;
  uint32_t count = n;
  PassThruWriteMsgs(channel, msgs.data(), &count, timeout);
  FUZZ_CHECK(count <= n);
  FUZZ_CHECK(Unchanged(before, msgs));
}

void StartFilter(FuzzedDataProvider& in) {
  const uint32_t channel = PickChannel(in);
  const uint32_t type = in.ConsumeIntegralInRange<uint32_t>(0, 4);
  const bool with_flow = in.ConsumeBool();
  std::vector<PASSTHRU_MSG> msgs = Msgs(in, channel, with_flow ? 3 : 2);
  const std::vector<PASSTHRU_MSG> before = msgs;
  uint32_t id = 0xFFFF;
  const int32_t rc = PassThruStartMsgFilter(channel, type, &msgs[0], &msgs[1],
                                            with_flow ? &msgs[2] : nullptr, &id);
  if (rc == STATUS_NOERROR) FUZZ_CHECK(id < 64);
  FUZZ_CHECK(Unchanged(before, msgs));
}

void StartOrUpdatePeriodic(FuzzedDataProvider& in, bool update) {
  const uint32_t channel = PickChannel(in);
  const uint32_t interval = in.ConsumeIntegral<uint32_t>();
  const uint32_t msg_id = in.ConsumeIntegralInRange<uint32_t>(0, 110);
  std::vector<PASSTHRU_MSG> msgs = Msgs(in, channel, 1);
  if (update) {
    PassThruUpdatePeriodicMsg(channel, msgs.data(), msg_id, interval);
    return;
  }
  uint32_t id = 0xFFFF;
  if (PassThruStartPeriodicMsg(channel, msgs.data(), &id, interval) == STATUS_NOERROR) {
    FUZZ_CHECK(id < 100);
  }
}

void Stop(FuzzedDataProvider& in) {
  const uint32_t channel = PickChannel(in);
  const uint32_t id = in.ConsumeIntegralInRange<uint32_t>(0, 110);
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      PassThruStopMsgFilter(channel, id);
      return;
    case 1:
      PassThruStopPeriodicMsg(channel, id);
      return;
    case 2:
      PassThruIoctl(channel, CLEAR_MSG_FILTERS, nullptr, nullptr);
      return;
    default:
      PassThruIoctl(channel, CLEAR_PERIODIC_MSGS, nullptr, nullptr);
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using Step = void (*)(FuzzedDataProvider&);
  static constexpr Step kSteps[] = {
      WriteMsgs, StartFilter, [](FuzzedDataProvider& in) { StartOrUpdatePeriodic(in, false); },
      [](FuzzedDataProvider& in) { StartOrUpdatePeriodic(in, true); }, Stop};
  orv::fuzz::RunInput(data, size, false, [](FuzzWorld& world, FuzzedDataProvider& input) {
    kSteps[input.ConsumeIntegralInRange<int>(0, 4)](input);
    CheckWrittenFrames(world);
  });
  return 0;
}
