// The fuzz targets' world: see fuzz_support.h.
#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace orv::fuzz {

namespace {

constexpr uint32_t kCanBaud = 500000;
constexpr uint32_t kKLineBaud = 10400;

void StartFilter(uint32_t channel, uint32_t type, const PASSTHRU_MSG& mask,
                 const PASSTHRU_MSG& pattern, const PASSTHRU_MSG* flow) {
  PASSTHRU_MSG m = mask;
  PASSTHRU_MSG p = pattern;
  PASSTHRU_MSG f = flow != nullptr ? *flow : PASSTHRU_MSG{};
  uint32_t id = 0;
  FUZZ_CHECK(PassThruStartMsgFilter(channel, type, &m, &p, flow != nullptr ? &f : nullptr, &id) ==
             STATUS_NOERROR);
}

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
      port(kAdapterPort).adapter->ms_until_next_output(now()) < 0) {
    advance_ms(kIdleStepMs);
  }
  return error;
}

SetupChoice SetupChoice::FromByte(uint8_t b) {
  SetupChoice c;
  static constexpr uint32_t kCanFlags[] = {CAN_ID_BOTH, CAN_ID_BOTH, 0, CAN_29BIT_ID};
  c.can_connect_flags = kCanFlags[b & 3];
  c.kline_no_checksum = (b & 0x04) != 0;
  c.mixed_format = (b & 0x08) != 0;
  c.fd_tx_length_64 = (b & 0x10) != 0;
  c.timestamps_in_ms = (b & 0x20) != 0;
  c.last_segment_timestamp = (b & 0x40) != 0;
  return c;
}

FuzzWorld::FuzzWorld() {
  FUZZ_CHECK(OpenLink() == STATUS_NOERROR);
}

void FuzzWorld::ConnectAllChannels(const SetupChoice& choice) {
  for (uint32_t protocol : kAllChannels) {
    uint32_t flags = 0;
    uint32_t baud = kCanBaud;
    if (protocol == ISO9141 || protocol == ISO14230) {
      flags = choice.kline_no_checksum ? ISO9141_NO_CHECKSUM : 0;
      baud = kKLineBaud;
    } else {
      flags = choice.can_connect_flags;
    }
    uint32_t channel = 0;
    FUZZ_CHECK(PassThruConnect(device_id, protocol, flags, baud, &channel) == STATUS_NOERROR);
    FUZZ_CHECK(channel == protocol);
  }
  if (choice.mixed_format) SetConfig(ISO15765, CAN_MIXED_FORMAT, 1);
  if (choice.fd_tx_length_64) {
    SetConfig(ISO15765, FD_ISO15765_TX_DATA_LENGTH, 64);
    SetConfig(MSISO15765, FD_ISO15765_TX_DATA_LENGTH, 64);
  }
  if (choice.last_segment_timestamp) SetConfig(ISO15765, LAST_SEGMENT_TIMESTAMP, 1);
  if (choice.timestamps_in_ms) {
    FUZZ_CHECK(PassThruIoctl(CAN, TIMESTAMP_MSEC, nullptr, nullptr) == STATUS_NOERROR);
  }
  ClearLogs();
}

void FuzzWorld::InstallFiltersOfEveryKind() {
  constexpr uint32_t k29 = CAN_29BIT_ID;
  constexpr uint32_t kExt = ISO15765_ADDR_TYPE;
  // Raw CAN: 11-bit and 29-bit pass filters and a block filter; the second
  // bus passes everything.
  StartFilter(CAN, PASS_FILTER, MakeMsg(CAN, {0, 0, 0x07, 0xF0}), MakeMsg(CAN, {0, 0, 0x07, 0xE0}),
              nullptr);
  StartFilter(CAN, PASS_FILTER, MakeMsg(CAN, {0xFF, 0xFF, 0xFF, 0}, k29),
              MakeMsg(CAN, {0x18, 0xDA, 0xF1, 0}, k29), nullptr);
  StartFilter(CAN, BLOCK_FILTER, MakeMsg(CAN, {0, 0, 0x07, 0xFF}), MakeMsg(CAN, {0, 0, 0x07, 0xDF}),
              nullptr);
  StartFilter(MSCAN, PASS_FILTER, MakeMsg(MSCAN, {0, 0, 0, 0}), MakeMsg(MSCAN, {0, 0, 0, 0}),
              nullptr);
  // ISO 15765: flow-control filters of each identifier layout, then a
  // match-all one on the second channel (lookups take the lowest slot).
  const PASSTHRU_MSG flow11 = MakeMsg(ISO15765, {0, 0, 0x07, 0xE0});
  StartFilter(ISO15765, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0, 0, 0xFF, 0xFF}),
              MakeMsg(ISO15765, {0, 0, 0x07, 0xE8}), &flow11);
  const PASSTHRU_MSG flow29 = MakeMsg(ISO15765, {0x18, 0xDA, 0x10, 0xF1}, k29);
  StartFilter(ISO15765, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0xFF, 0xFF, 0xFF, 0xFF}, k29),
              MakeMsg(ISO15765, {0x18, 0xDA, 0xF1, 0x10}, k29), &flow29);
  const PASSTHRU_MSG flow_ext = MakeMsg(ISO15765, {0, 0, 0x06, 0x00, 0xF1}, kExt);
  StartFilter(ISO15765, FLOW_CONTROL_FILTER, MakeMsg(ISO15765, {0, 0, 0xFF, 0xFF, 0xFF}, kExt),
              MakeMsg(ISO15765, {0, 0, 0x06, 0x01, 0xF1}, kExt), &flow_ext);
  StartFilter(ISO15765, PASS_FILTER, MakeMsg(ISO15765, {0, 0, 0x07, 0x00}),
              MakeMsg(ISO15765, {0, 0, 0x07, 0x00}), nullptr);
  const PASSTHRU_MSG flow_all = MakeMsg(MSISO15765, {0, 0, 0x07, 0xE0});
  StartFilter(MSISO15765, FLOW_CONTROL_FILTER, MakeMsg(MSISO15765, {0, 0, 0, 0}),
              MakeMsg(MSISO15765, {0, 0, 0, 0}), &flow_all);
  StartFilter(MSISO15765, PASS_FILTER, MakeMsg(MSISO15765, {0, 0, 0, 0}),
              MakeMsg(MSISO15765, {0, 0, 0, 0}), nullptr);
  // K-line: a one-byte pass filter and a four-byte block filter (the
  // shortest the ISO 14230 channel takes).
  StartFilter(ISO9141, PASS_FILTER, MakeMsg(ISO9141, {0xC0}), MakeMsg(ISO9141, {0x80}), nullptr);
  StartFilter(ISO14230, BLOCK_FILTER, MakeMsg(ISO14230, {0xFF, 0xFF, 0, 0}),
              MakeMsg(ISO14230, {0x48, 0x6B, 0, 0}), nullptr);
  ClearLogs();
}

std::vector<emu::Frame> FuzzWorld::WrittenFrames() const {
  const std::vector<uint8_t> bytes = platform.written_bytes(kAdapterPort);
  std::vector<emu::Frame> frames;
  size_t pos = 0;
  emu::Frame f;
  while (const size_t used = emu::cut_frame(std::span(bytes).subspan(pos), &f)) {
    frames.push_back(f);
    pos += used;
  }
  FUZZ_CHECK(pos == bytes.size());  // the library never writes a partial frame
  return frames;
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
