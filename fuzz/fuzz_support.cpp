// The fuzz targets' world: see fuzz_support.h.
#include "fuzz/fuzz_support.h"

#include <vector>

namespace orv::fuzz {

namespace {

constexpr uint32_t kCanBaud = 500000;
constexpr uint32_t kKLineBaud = 10400;

void SetConfig(uint32_t channel, uint32_t parameter, uint32_t value) {
  SCONFIG entry{parameter, value};
  SCONFIG_LIST list{1, &entry};
  FUZZ_CHECK(PassThruIoctl(channel, SET_CONFIG, &list, nullptr) == STATUS_NOERROR);
}

bool IsReceiveStatus(int32_t status) {
  switch (status) {
    case STATUS_NOERROR:
    case ERR_TIMEOUT:
    case ERR_BUFFER_EMPTY:
    case ERR_BUFFER_OVERFLOW:
    case ERR_DEVICE_NOT_CONNECTED:  // a channel-stop report closed the channel
      return true;
    default:
      return false;
  }
}

}  // namespace

platform::OsError FuzzPlatform::serial_read(platform::SerialHandle handle, uint8_t* buffer,
                                            uint32_t count, uint32_t* done) {
  constexpr uint32_t kIdleStepMs = 99;
  const platform::OsError error = EmulatedPlatform::serial_read(handle, buffer, count, done);
  if (error == platform::kOk && *done == 0 &&
      port(test::EmulatedWorld::kPort).adapter->ms_until_next_output(now()) < 0) {
    advance_ms(kIdleStepMs);
  }
  return error;
}

FuzzWorld::FuzzWorld() {
  FUZZ_CHECK(OpenLink() == STATUS_NOERROR);
}

void FuzzWorld::ConnectAllChannels(uint8_t choice) {
  static constexpr uint32_t kCanFlags[] = {CAN_ID_BOTH, CAN_ID_BOTH, 0, CAN_29BIT_ID};
  for (uint32_t protocol : kAllChannels) {
    const bool kline = protocol == ISO9141 || protocol == ISO14230;
    const uint32_t kline_flags = (choice & 0x04) != 0 ? ISO9141_NO_CHECKSUM : 0;
    uint32_t channel = 0;
    FUZZ_CHECK(Connect(protocol, &channel, kline ? kline_flags : kCanFlags[choice & 3],
                       kline ? kKLineBaud : kCanBaud) == STATUS_NOERROR);
    FUZZ_CHECK(channel == protocol);
  }
  if ((choice & 0x08) != 0) SetConfig(ISO15765, CAN_MIXED_FORMAT, 1);
  if ((choice & 0x10) != 0) {
    SetConfig(ISO15765, FD_ISO15765_TX_DATA_LENGTH, 64);
    SetConfig(MSISO15765, FD_ISO15765_TX_DATA_LENGTH, 64);
  }
  if ((choice & 0x40) != 0) SetConfig(ISO15765, LAST_SEGMENT_TIMESTAMP, 1);
  if ((choice & 0x20) != 0) {
    FUZZ_CHECK(PassThruIoctl(CAN, TIMESTAMP_MSEC, nullptr, nullptr) == STATUS_NOERROR);
  }
  ClearLogs();
}

void FuzzWorld::InstallFiltersOfEveryKind() {
  constexpr uint32_t k29 = CAN_29BIT_ID;
  constexpr uint32_t kExt = ISO15765_ADDR_TYPE;
  // Raw CAN: 11-bit and 29-bit pass filters and a block filter; the second
  // bus passes everything. ISO 15765: flow-control filters of each
  // identifier layout, then a match-all one on the second channel (lookups
  // take the lowest slot). K-line: a one-byte pass filter and a four-byte
  // block filter (the shortest the ISO 14230 channel takes).
  const struct {
    uint32_t channel, type, tx_flags;
    std::vector<uint8_t> mask, pattern, flow;  // no flow bytes: no flow-control message
  } filters[] = {
      {CAN, PASS_FILTER, 0, {0, 0, 0x07, 0xF0}, {0, 0, 0x07, 0xE0}, {}},
      {CAN, PASS_FILTER, k29, {0xFF, 0xFF, 0xFF, 0}, {0x18, 0xDA, 0xF1, 0}, {}},
      {CAN, BLOCK_FILTER, 0, {0, 0, 0x07, 0xFF}, {0, 0, 0x07, 0xDF}, {}},
      {MSCAN, PASS_FILTER, 0, {0, 0, 0, 0}, {0, 0, 0, 0}, {}},
      {ISO15765,
       FLOW_CONTROL_FILTER,
       0,
       {0, 0, 0xFF, 0xFF},
       {0, 0, 0x07, 0xE8},
       {0, 0, 0x07, 0xE0}},
      {ISO15765,
       FLOW_CONTROL_FILTER,
       k29,
       {0xFF, 0xFF, 0xFF, 0xFF},
       {0x18, 0xDA, 0xF1, 0x10},
       {0x18, 0xDA, 0x10, 0xF1}},
      {ISO15765,
       FLOW_CONTROL_FILTER,
       kExt,
       {0, 0, 0xFF, 0xFF, 0xFF},
       {0, 0, 0x06, 0x01, 0xF1},
       {0, 0, 0x06, 0x00, 0xF1}},
      {ISO15765, PASS_FILTER, 0, {0, 0, 0x07, 0x00}, {0, 0, 0x07, 0x00}, {}},
      {MSISO15765, FLOW_CONTROL_FILTER, 0, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0x07, 0xE0}},
      {MSISO15765, PASS_FILTER, 0, {0, 0, 0, 0}, {0, 0, 0, 0}, {}},
      {ISO9141, PASS_FILTER, 0, {0xC0}, {0x80}, {}},
      {ISO14230, BLOCK_FILTER, 0, {0xFF, 0xFF, 0, 0}, {0x48, 0x6B, 0, 0}, {}},
  };
  for (const auto& f : filters) {
    PASSTHRU_MSG mask = MakeMsg(f.channel, f.mask, f.tx_flags);
    PASSTHRU_MSG pattern = MakeMsg(f.channel, f.pattern, f.tx_flags);
    PASSTHRU_MSG flow = MakeMsg(f.channel, f.flow, f.tx_flags);
    uint32_t id = 0;
    FUZZ_CHECK(PassThruStartMsgFilter(f.channel, f.type, &mask, &pattern,
                                      f.flow.empty() ? nullptr : &flow, &id) == STATUS_NOERROR);
  }
  ClearLogs();
}

int32_t ReadAndCheck(uint32_t channel, uint32_t count) {
  std::vector<PASSTHRU_MSG> msgs(count);
  uint32_t delivered = count;
  const int32_t status = PassThruReadMsgs(channel, msgs.data(), &delivered, 0);
  FUZZ_CHECK(IsReceiveStatus(status));
  FUZZ_CHECK(delivered <= count);
  if (status == ERR_BUFFER_EMPTY) FUZZ_CHECK(delivered == 0);
  for (uint32_t i = 0; i < delivered; ++i) {
    const PASSTHRU_MSG& m = msgs[i];
    FUZZ_CHECK(m.DataSize <= PASSTHRU_MSG_DATA_SIZE);
    FUZZ_CHECK(m.ExtraDataIndex <= PASSTHRU_MSG_DATA_SIZE);
    FUZZ_CHECK(m.TxFlags == 0);
  }
  return status;
}

}  // namespace orv::fuzz
