// Helpers shared by the transmit, receive and reassembly suites: message
// builders, a fixture with the emulated bus behind the adapter, and frame
// assertions that print both sides byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "emulator/bus_sim_unit.h"
#include "emulator/ecu_isotp.h"
#include "emulator/ecu_kline.h"
#include "orvanta_j2534.h"
#include "tests/support/library_fixture.h"
#include "tests/support/messages.h"

namespace orv::test {

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    s += b;
  }
  return s;
}

// A message with a 4-byte identifier (most significant first) and payload.
inline PASSTHRU_MSG CanMsg(uint32_t protocol, uint32_t id, const std::vector<uint8_t>& payload,
                           uint32_t tx_flags = 0) {
  std::vector<uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(id >> (24 - 8 * i));
  data.insert(data.end(), payload.begin(), payload.end());
  return MakeMsg(protocol, data, tx_flags);
}

// n bytes counting up from `from`.
inline std::vector<uint8_t> Count(size_t n, uint8_t from = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(from + i);
  return v;
}

inline std::vector<uint8_t> DataOf(const PASSTHRU_MSG& m) {
  return std::vector<uint8_t>(m.Data, m.Data + std::min<uint32_t>(m.DataSize, 4128));
}
inline std::vector<uint8_t> PayloadOf(const PASSTHRU_MSG& m) {  // after the identifier
  const std::vector<uint8_t> d = DataOf(m);
  return d.size() < 4 ? std::vector<uint8_t>{} : std::vector<uint8_t>(d.begin() + 4, d.end());
}
inline std::vector<uint8_t> DataOf(const emu::Frame& f) {
  return std::vector<uint8_t>(f.data.begin(), f.data.begin() + f.size);
}

#define EXPECT_BYTES(actual, ...) \
  EXPECT_EQ(::orv::test::Hex(actual), ::orv::test::Hex(std::vector<uint8_t>{__VA_ARGS__}))

// The library over the in-process adapter with the emulated bus and ECUs.
class BusTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    units_.emplace(emu::add_bus_sim(adapter_));
    OpenLink();
  }

  emu::BusSim& bus() { return units_->bus; }
  emu::IsoTpEcu& ecu() { return units_->ecu; }

  // Flow-control filter: receive 11-bit `rx_id`, answer with `tx_id`.
  uint32_t FlowFilter(uint32_t channel, uint32_t rx_id, uint32_t tx_id) {
    PASSTHRU_MSG mask = CanMsg(channel, 0x7FF, {});
    PASSTHRU_MSG pattern = CanMsg(channel, rx_id, {});
    PASSTHRU_MSG flow = CanMsg(channel, tx_id, {}, ISO15765_FRAME_PAD);
    uint32_t id = 0;
    EXPECT_EQ(PassThruStartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id), 0);
    return id;
  }

  uint32_t PassFilter(uint32_t channel, const std::vector<uint8_t>& mask_bytes,
                      const std::vector<uint8_t>& pattern_bytes) {
    PASSTHRU_MSG mask = MakeMsg(channel, mask_bytes);
    PASSTHRU_MSG pattern = MakeMsg(channel, pattern_bytes);
    uint32_t id = 0;
    EXPECT_EQ(PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &id), 0);
    return id;
  }

  int32_t Write(uint32_t channel, PASSTHRU_MSG msg, uint32_t timeout = 1000) {
    uint32_t n = 1;
    return PassThruWriteMsgs(channel, &msg, &n, timeout);
  }

  // Reads up to `want` messages; the status goes to *status.
  std::vector<PASSTHRU_MSG> Read(uint32_t channel, uint32_t want, uint32_t timeout,
                                 int32_t* status = nullptr) {
    std::vector<PASSTHRU_MSG> msgs(want);
    uint32_t n = want;
    const int32_t rc = PassThruReadMsgs(channel, msgs.data(), &n, timeout);
    if (status) *status = rc;
    msgs.resize(n);
    return msgs;
  }

  // The next complete message (first-frame indications skipped).
  std::optional<PASSTHRU_MSG> ReadMessage(uint32_t channel, uint32_t timeout = 2000) {
    for (int i = 0; i < 8; ++i) {
      auto msgs = Read(channel, 1, timeout);
      if (msgs.empty()) return std::nullopt;
      if (!(msgs[0].RxStatus & START_OF_MESSAGE)) return msgs[0];
    }
    return std::nullopt;
  }

  std::optional<emu::BusSimUnits> units_;
};

}  // namespace orv::test
