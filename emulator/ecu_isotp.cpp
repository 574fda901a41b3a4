// The ISO 15765-2 ECU of the bus simulation. See ecu_isotp.h.
#include "emulator/ecu_isotp.h"

#include <algorithm>

namespace orv::emu {

namespace {

constexpr uint8_t kPciSingle = 0x0;
constexpr uint8_t kPciFirst = 0x1;
constexpr uint8_t kPciConsecutive = 0x2;
constexpr uint8_t kPciFlow = 0x3;
constexpr uint8_t kFlowContinue = 0x0;
constexpr uint8_t kFlowWait = 0x1;
constexpr uint32_t kFlowWaitMs = 1000;

constexpr std::array<uint8_t, 8> kFdLengths{8, 12, 16, 20, 24, 32, 48, 64};

uint8_t padded_length(uint8_t length) {
  for (uint8_t l : kFdLengths) {
    if (l >= length) return l;
  }
  return length;
}

}  // namespace

uint32_t stmin_to_ms(uint8_t stmin) {
  if (stmin <= 0x7F) return stmin;
  if (stmin >= 0xF1 && stmin <= 0xF9) return 1;
  return 0x7F;
}

void IsoTpEcu::on_can_frame(const CanFrame& frame, uint64_t at_ms) {
  if (frame.extended != config_.extended || frame.length == 0) return;
  const uint8_t pci = frame.data[0] >> 4;
  if (frame.id == config_.request_id) {
    if (pci == kPciFlow) {
      take_flow_control(frame, at_ms);
    } else {
      take_request_frame(frame, at_ms);
    }
  } else if (config_.functional_id != 0 && frame.id == config_.functional_id && pci == kPciSingle) {
    take_request_frame(frame, at_ms);
  }
}

void IsoTpEcu::take_request_frame(const CanFrame& frame, uint64_t at_ms) {
  const auto b = frame.bytes();
  switch (b[0] >> 4) {
    case kPciSingle: {
      size_t first = 1;
      size_t length = b[0] & 0x0F;
      if (length == 0) {
        if (b.size() < 2) return;
        first = 2;
        length = b[1];
      }
      if (length == 0 || length > b.size() - first) return;
      request_complete(std::vector<uint8_t>(b.begin() + first, b.begin() + first + length), at_ms);
      return;
    }
    case kPciFirst: {
      if (b.size() < 2) return;
      const size_t total = (size_t{b[0] & 0x0Fu} << 8) | b[1];
      if (total == 0) return;
      rx_ = Rx{};
      rx_.active = true;
      rx_.expected = total;
      const size_t n = std::min(b.size() - 2, total);
      rx_.bytes.assign(b.begin() + 2, b.begin() + 2 + n);
      send_flow_control(at_ms);
      return;
    }
    case kPciConsecutive: {
      if (!rx_.active) return;
      if ((b[0] & 0x0F) != rx_.next_sn) {
        rx_.active = false;  // wrong sequence number: the request is lost
        return;
      }
      rx_.next_sn = static_cast<uint8_t>((rx_.next_sn + 1) & 0x0F);
      const size_t n = std::min(b.size() - 1, rx_.expected - rx_.bytes.size());
      rx_.bytes.insert(rx_.bytes.end(), b.begin() + 1, b.begin() + 1 + n);
      if (rx_.bytes.size() >= rx_.expected) {
        rx_.active = false;
        request_complete(std::move(rx_.bytes), at_ms);
        return;
      }
      if (config_.block_size != 0 && ++rx_.in_block == config_.block_size) {
        rx_.in_block = 0;
        send_flow_control(at_ms);
      }
      return;
    }
    default:
      return;
  }
}

void IsoTpEcu::send_flow_control(uint64_t at_ms) {
  const uint8_t fc[3] = {0x30, config_.block_size, config_.stmin};
  transmit(fc, true, at_ms);
}

void IsoTpEcu::request_complete(std::vector<uint8_t> request, uint64_t at_ms) {
  requests_.push_back(request);
  auto answer = responder_.answer(request);
  if (!answer) return;
  bus_.schedule(at_ms + config_.response_delay_ms,
                [this, a = std::move(*answer)](uint64_t t) { send_answer(a, t); });
}

void IsoTpEcu::send_answer(std::vector<uint8_t> answer, uint64_t at_ms) {
  if (answer.size() > kMaxIsoTpMessage) answer.resize(kMaxIsoTpMessage);
  const size_t l = config_.tx_data_length;
  const size_t single_max = l <= 8 ? 7 : l - 2;
  if (answer.size() <= single_max) {
    std::vector<uint8_t> sf;
    if (answer.size() <= 7) {
      sf.push_back(static_cast<uint8_t>(answer.size()));
    } else {
      sf = {0x00, static_cast<uint8_t>(answer.size())};
    }
    sf.insert(sf.end(), answer.begin(), answer.end());
    transmit(sf, true, at_ms);
    return;
  }
  const size_t total = answer.size();
  std::vector<uint8_t> ff{static_cast<uint8_t>(0x10 | (total >> 8)),
                          static_cast<uint8_t>(total & 0xFF)};
  ff.insert(ff.end(), answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(l - 2));
  const uint32_t generation = tx_.generation + 1;
  tx_ = Tx{};
  tx_.generation = generation;
  tx_.active = true;
  tx_.bytes = std::move(answer);
  tx_.offset = l - 2;
  tx_.waiting_fc = true;
  tx_.fc_deadline = at_ms + kFlowWaitMs;
  bus_.schedule(tx_.fc_deadline, [this, generation](uint64_t t) {
    if (tx_.generation == generation && tx_.waiting_fc && t >= tx_.fc_deadline) tx_.active = false;
  });
  // Last: the flow control may answer the first frame at once.
  transmit(ff, false, at_ms);
}

void IsoTpEcu::take_flow_control(const CanFrame& frame, uint64_t at_ms) {
  if (!tx_.active || !tx_.waiting_fc || frame.length < 3) return;
  fcs_.emplace_back(frame.data[1], frame.data[2]);
  const uint8_t status = frame.data[0] & 0x0F;
  if (status == kFlowWait) {
    tx_.fc_deadline = at_ms + kFlowWaitMs;
    return;
  }
  if (status != kFlowContinue) {
    tx_.active = false;  // overflow or invalid: the answer is abandoned
    return;
  }
  tx_.waiting_fc = false;
  tx_.block_size = frame.data[1];
  tx_.stmin_ms = stmin_to_ms(frame.data[2]);
  tx_.in_block = 0;
  const uint32_t generation = tx_.generation;
  bus_.schedule(at_ms, [this, generation](uint64_t t) { send_next_consecutive(generation, t); });
}

void IsoTpEcu::send_next_consecutive(uint32_t generation, uint64_t at_ms) {
  if (generation != tx_.generation || !tx_.active || tx_.waiting_fc) return;
  ++tx_.cf_number;
  const size_t chunk = std::min<size_t>(config_.tx_data_length - 1u, tx_.bytes.size() - tx_.offset);
  uint8_t sn = tx_.sn;
  if (tx_.cf_number == wrong_sn_cf_) sn = static_cast<uint8_t>((sn + 1) & 0x0F);
  std::vector<uint8_t> cf{static_cast<uint8_t>(0x20 | sn)};
  const auto from = tx_.bytes.begin() + static_cast<std::ptrdiff_t>(tx_.offset);
  cf.insert(cf.end(), from, from + static_cast<std::ptrdiff_t>(chunk));
  tx_.offset += chunk;
  tx_.sn = static_cast<uint8_t>((tx_.sn + 1) & 0x0F);
  if (tx_.cf_number != skip_cf_) {
    transmit(cf, tx_.offset >= tx_.bytes.size(), at_ms);
    cf_times_.push_back(at_ms);
  }
  if (tx_.offset >= tx_.bytes.size()) {
    tx_.active = false;
    skip_cf_ = 0;
    wrong_sn_cf_ = 0;
    return;
  }
  if (tx_.block_size != 0 && ++tx_.in_block == tx_.block_size) {
    tx_.waiting_fc = true;
    tx_.fc_deadline = at_ms + kFlowWaitMs;
    bus_.schedule(tx_.fc_deadline, [this, generation](uint64_t t) {
      if (tx_.generation == generation && tx_.waiting_fc && t >= tx_.fc_deadline) {
        tx_.active = false;
      }
    });
    return;
  }
  bus_.schedule(at_ms + tx_.stmin_ms,
                [this, generation](uint64_t t) { send_next_consecutive(generation, t); });
}

void IsoTpEcu::transmit(std::span<const uint8_t> bytes, bool pad, uint64_t at_ms) {
  CanFrame frame = CanFrame::make(config_.response_id, config_.extended, bytes);
  frame.fd = config_.tx_data_length > 8;
  if (pad) {
    const uint8_t target = frame.fd ? padded_length(frame.length) : uint8_t{8};
    while (frame.length < target && frame.length < kMaxCanData) {
      frame.data[frame.length++] = config_.pad;
    }
  }
  bus_.can_transmit(config_.iface, frame, at_ms, this);
}

}  // namespace orv::emu
