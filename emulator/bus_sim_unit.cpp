// The adapter's bus behaviour: transmit, echo, filtered forwarding, flow
// control answers and consecutive-frame pacing. See bus_sim_unit.h.
#include "emulator/bus_sim_unit.h"

#include <algorithm>

#include "emulator/ecu_isotp.h"
#include "emulator/ecu_kline.h"

namespace orv::emu {

namespace {

constexpr uint8_t kTypeMask = 1;
constexpr uint8_t kTypePattern = 2;
constexpr uint8_t kTypeFlow = 3;
constexpr uint8_t kTypeBus = 5;
constexpr uint8_t kTypeOptions = 0;

constexpr uint8_t kFlagFd = 0x01;
constexpr uint8_t kFlagBrs = 0x02;
constexpr uint8_t kFlag29Bit = 0x10;
constexpr uint8_t kFlagAddress = 0x20;  // ISO 15765 from the host; K-line: more pieces
constexpr uint8_t kFlagLastConsecutive = 0x80;
constexpr uint8_t kOptionResetTimer = 0x20;
constexpr uint8_t kOptionLoopback = 0x40;
constexpr uint8_t kKLineNoChecksum = 0x80;

constexpr size_t kKLinePiece = 68;
constexpr size_t kSetupBsOverride = 14;
constexpr size_t kSetupStminOverride = 15;
constexpr size_t kIsoSetupInitType = 5;

bool is_can_device(uint8_t d) {
  return d == dev::kCan1 || d == dev::kIso15765_1 || d == dev::kCan2 || d == dev::kIso15765_2;
}
size_t iface_of(uint8_t d) {
  return (d == dev::kCan2 || d == dev::kIso15765_2) ? 1 : 0;
}
uint8_t raw_device(size_t iface) {
  return iface == 0 ? dev::kCan1 : dev::kCan2;
}
uint8_t iso_device(size_t iface) {
  return iface == 0 ? dev::kIso15765_1 : dev::kIso15765_2;
}

// The frame's bytes as the host and the filters see them: identifier (2 or
// 4 bytes, most significant first), then the CAN data.
std::vector<uint8_t> wire_bytes(const CanFrame& f) {
  std::vector<uint8_t> out;
  if (f.extended) {
    out = {static_cast<uint8_t>(f.id >> 24), static_cast<uint8_t>(f.id >> 16),
           static_cast<uint8_t>(f.id >> 8), static_cast<uint8_t>(f.id)};
  } else {
    out = {static_cast<uint8_t>(f.id >> 8), static_cast<uint8_t>(f.id)};
  }
  out.insert(out.end(), f.data.begin(), f.data.begin() + f.length);
  return out;
}

// A CAN frame from a host frame's data (identifier first); false when the
// data is too short or too long for one.
bool from_wire(std::span<const uint8_t> data, uint8_t flags, CanFrame* f) {
  const size_t id_bytes = (flags & kFlag29Bit) ? 4 : 2;
  if (data.size() < id_bytes || data.size() - id_bytes > kMaxCanData) return false;
  uint32_t id = 0;
  for (size_t i = 0; i < id_bytes; ++i) id = (id << 8) | data[i];
  *f = CanFrame::make(id, id_bytes == 4, data.subspan(id_bytes));
  f->fd = (flags & kFlagFd) != 0;
  f->brs = (flags & kFlagBrs) != 0;
  return true;
}

uint8_t frame_flags(const CanFrame& f) {
  return static_cast<uint8_t>((f.extended ? kFlag29Bit : 0) | (f.fd ? kFlagFd : 0) |
                              (f.brs ? kFlagBrs : 0));
}

bool filter_matches(const Frame& mask, const Frame& pattern, const CanFrame& f,
                    const std::vector<uint8_t>& wire) {
  if (((mask.flags & kFlag29Bit) != 0) != f.extended || wire.size() < mask.size) return false;
  for (size_t b = 0; b < mask.size; ++b) {
    if ((wire[b] & mask.data[b]) != pattern.data[b]) return false;
  }
  return true;
}

}  // namespace

CanFrame CanFrame::make(uint32_t id, bool extended, std::span<const uint8_t> bytes) {
  CanFrame f;
  f.id = id;
  f.extended = extended;
  f.length = static_cast<uint8_t>(std::min(bytes.size(), kMaxCanData));
  std::copy_n(bytes.begin(), f.length, f.data.begin());
  return f;
}

std::array<uint8_t, 4> adapter_timestamp(uint64_t at_ms) {
  const auto raw = static_cast<uint32_t>(at_ms * 256);
  return {static_cast<uint8_t>(raw >> 24), static_cast<uint8_t>(raw >> 16),
          static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw)};
}

BusSim::BusSim(Adapter& adapter) : adapter_(adapter) {}
BusSim::~BusSim() = default;

uint64_t BusSim::extend(uint32_t now32) {
  if (!clock_started_) {
    clock_started_ = true;
    last_now32_ = now32;
    now_ = now32;
  } else if (const uint32_t step = now32 - last_now32_; step < 0x80000000u) {
    now_ += step;
    last_now32_ = now32;
  }
  return now_;
}

bool BusSim::handle(const Frame& request, Context& ctx) {
  extend(ctx.now());
  if (request.dev == dev::kSystem) {
    if (request.op == op::kWrite && request.type == kTypeOptions &&
        !(request.flags & kOptionResetTimer)) {
      loopback_ = (request.flags & kOptionLoopback) != 0;
    }
    return false;
  }
  if (request.op == op::kWrite && request.type == kTypeBus) {
    on_host_transmit(request);
    return true;
  }
  observe(request);
  return false;
}

void BusSim::advance(Context& ctx) {
  extend(ctx.now());
  run_due_events();
}

// The adapter's filters are gone with its channels: nothing more is
// forwarded or answered with flow control until the host installs new ones.
void BusSim::stop_everything(Context& /*ctx*/) {
  for (Iface& iface : ifaces_) iface.tx = TxSession{};
  filters_.fill(FilterMirror{});
  kline_tx_.clear();
}

void BusSim::observe(const Frame& request) {
  if (request.op != op::kWrite) return;
  if (request.type == type::kSetup) {
    if (is_can_device(request.dev) && request.size > kSetupStminOverride) {
      Iface& iface = ifaces_[iface_of(request.dev)];
      iface.bs_override = request.data[kSetupBsOverride];
      iface.stmin_override = request.data[kSetupStminOverride];
    } else if (request.dev == dev::kKLine && request.size > kIsoSetupInitType) {
      kline_checksum_ = (request.data[kIsoSetupInitType] & kKLineNoChecksum) == 0;
    }
    return;
  }
  if (request.id >= filters_.size()) return;
  FilterMirror& slot = filters_[request.id];
  switch (request.type) {
    case kTypeMask:
      slot.mask = request;
      break;
    case kTypePattern:
      slot.pattern = request;
      break;
    case kTypeFlow:
      slot.flow = request;
      slot.block_left = 0;
      break;
    default:
      break;
  }
}

void BusSim::on_host_transmit(const Frame& request) {
  if (request.dev == dev::kKLine) {
    on_host_kline_piece(request);
  } else if (is_can_device(request.dev)) {
    on_host_can_frame(request, iface_of(request.dev));
  }
}

void BusSim::on_host_can_frame(const Frame& request, size_t index) {
  CanFrame f;
  if (!from_wire(request.payload(), request.flags, &f)) return;
  Iface& iface = ifaces_[index];
  const bool iso = request.dev == iso_device(index);
  const size_t pci_at = (request.flags & kFlagAddress) ? 1 : 0;
  const uint8_t pci = f.length > pci_at ? static_cast<uint8_t>(f.data[pci_at] >> 4) : 0xFF;
  if (iso && pci == 0x2) {
    // A consecutive frame waits for its turn behind the flow control.
    if (!iface.tx.active || iface.tx.dev != request.dev) return;
    iface.tx.pending.push_back(request);
    pump(index, now_);
    return;
  }
  if (iso && pci == 0x1) {
    // Opened before the first frame goes out: the receiver may answer it
    // with flow control at once.
    iface.tx = TxSession{};
    iface.tx.active = true;
    iface.tx.dev = request.dev;
    iface.tx.waiting_fc = true;
    iface.tx.fc_deadline = now_ + kFlowControlWaitMs;
  }
  send_to_bus(index, request.dev, f, now_);
}

void BusSim::pump(size_t index, uint64_t at_ms) {
  TxSession& tx = ifaces_[index].tx;
  while (tx.active && !tx.waiting_fc && !tx.pending.empty()) {
    if (tx.next_due > at_ms) {
      if (!tx.pump_scheduled) {
        tx.pump_scheduled = true;
        schedule(tx.next_due, [this, index](uint64_t t) {
          ifaces_[index].tx.pump_scheduled = false;
          pump(index, t);
        });
      }
      return;
    }
    const Frame host = tx.pending.front();
    tx.pending.pop_front();
    CanFrame f;
    if (from_wire(host.payload(), host.flags, &f)) send_to_bus(index, tx.dev, f, at_ms);
    if (host.flags & kFlagLastConsecutive) {
      tx = TxSession{};
      return;
    }
    tx.next_due = at_ms + tx.stmin_ms;
    if (tx.block_size != 0 && ++tx.sent_in_block == tx.block_size) {
      tx.waiting_fc = true;
      tx.fc_deadline = at_ms + kFlowControlWaitMs;
      return;
    }
  }
}

void BusSim::on_flow_control(size_t index, const CanFrame& fc, uint64_t at_ms) {
  Iface& iface = ifaces_[index];
  TxSession& tx = iface.tx;
  if (!tx.active || !tx.waiting_fc || fc.length < 3) return;
  switch (fc.data[0] & 0x0F) {
    case 0: {  // continue to send
      const uint8_t bs = iface.bs_override != kNoOverride ? iface.bs_override : fc.data[1];
      const uint8_t st = iface.stmin_override != kNoOverride ? iface.stmin_override : fc.data[2];
      tx.waiting_fc = false;
      tx.block_size = bs;
      tx.sent_in_block = 0;
      tx.stmin_ms = stmin_to_ms(st);
      tx.next_due = at_ms;
      pump(index, at_ms);
      return;
    }
    case 1:  // wait
      tx.fc_deadline = at_ms + kFlowControlWaitMs;
      return;
    default:  // overflow or invalid: the message is given up
      tx = TxSession{};
      return;
  }
}

void BusSim::send_to_bus(size_t index, uint8_t device, const CanFrame& f, uint64_t at_ms) {
  bus_log_[index].push_back(f);
  deliver(index, f, at_ms, nullptr);
  if (!loopback_) return;
  Frame echo = Frame::make(device, op::kRead, kTypeBus, frame_flags(f), wire_bytes(f));
  send_host(echo, at_ms);
}

void BusSim::can_transmit(size_t index, const CanFrame& f, uint64_t at_ms, const CanNode* from) {
  bus_log_[index].push_back(f);
  deliver(index, f, at_ms, from);
  forward_to_host(index, f, at_ms);
  if (f.length >= 1 && (f.data[0] >> 4) == 0x3) on_flow_control(index, f, at_ms);
  answer_first_frames(index, f, at_ms);
}

void BusSim::forward_to_host(size_t index, const CanFrame& f, uint64_t at_ms) {
  const std::vector<uint8_t> wire = wire_bytes(f);
  for (const FilterMirror& slot : filters_) {
    if (slot.mask.size == 0 || iface_of(slot.mask.dev) != index || !is_can_device(slot.mask.dev)) {
      continue;
    }
    if (!filter_matches(slot.mask, slot.pattern, f, wire)) continue;
    send_host(Frame::make(raw_device(index), op::kRead, type::kPlain, frame_flags(f), wire), at_ms);
    return;
  }
}

void BusSim::answer_first_frames(size_t index, const CanFrame& f, uint64_t at_ms) {
  const std::vector<uint8_t> wire = wire_bytes(f);
  for (FilterMirror& slot : filters_) {
    if (slot.mask.size == 0 || slot.flow.size == 0 || slot.flow.dev != iso_device(index)) {
      continue;
    }
    if (!filter_matches(slot.mask, slot.pattern, f, wire) || wire.size() <= slot.mask.size) {
      continue;
    }
    const uint8_t pci = wire[slot.mask.size] >> 4;
    const size_t bs_at = static_cast<size_t>(slot.mask.size) + 1;
    const uint8_t bs = slot.flow.size > bs_at ? slot.flow.data[bs_at] : 0;
    bool answer = false;
    if (pci == 0x1) {
      slot.block_left = bs;
      answer = true;
    } else if (pci == 0x2 && bs != 0 && slot.block_left != 0 && --slot.block_left == 0) {
      slot.block_left = bs;
      answer = true;
    }
    CanFrame fc;
    if (answer && from_wire(slot.flow.payload(), slot.flow.flags, &fc)) {
      bus_log_[index].push_back(fc);
      deliver(index, fc, at_ms, nullptr);
    }
    return;
  }
}

void BusSim::on_host_kline_piece(const Frame& request) {
  const auto piece = request.payload();
  kline_tx_.insert(kline_tx_.end(), piece.begin(), piece.end());
  if (request.flags & kFlagAddress) return;  // more pieces follow
  std::vector<uint8_t> message = std::move(kline_tx_);
  kline_tx_.clear();
  if (kline_checksum_) message.push_back(orv::emu::kline_checksum(message));
  for (KLineNode* node : kline_nodes_) {
    schedule(now_, [node, message](uint64_t t) { node->on_kline_message(message, t); });
  }
  if (!loopback_) return;
  size_t at = 0;
  do {
    const size_t n = std::min(kKLinePiece, message.size() - at);
    send_host(Frame::make(dev::kKLine, op::kRead, kTypeBus, 0,
                          std::span<const uint8_t>(message).subspan(at, n)),
              now_);
    at += n;
    if (n < kKLinePiece) break;
  } while (true);
}

void BusSim::kline_transmit(std::span<const uint8_t> bytes, uint64_t at_ms) {
  // A piece of 68 bytes tells the host that more follow, so a message of a
  // multiple of 68 bytes ends with an empty piece.
  size_t at = 0;
  while (true) {
    const size_t n = std::min(kKLinePiece, bytes.size() - at);
    send_host(Frame::make(dev::kKLine, op::kRead, type::kPlain, 0, bytes.subspan(at, n)), at_ms);
    at += n;
    if (n < kKLinePiece) break;
  }
}

void BusSim::send_host(Frame frame, uint64_t at_ms) {
  frame.timestamp = adapter_timestamp(at_ms);
  Context ctx(adapter_);
  ctx.send(frame, at_ms > now_ ? static_cast<uint32_t>(at_ms - now_) : 0);
}

// Nodes see a frame through the event queue, never inside the call that
// sent it: a node can finish its own bookkeeping before any answer arrives.
void BusSim::deliver(size_t index, const CanFrame& f, uint64_t at_ms, const CanNode* from) {
  for (CanNode* node : nodes_[index]) {
    if (node == from) continue;
    schedule(at_ms, [node, f](uint64_t t) { node->on_can_frame(f, t); });
  }
}

void BusSim::schedule(uint64_t at_ms, std::function<void(uint64_t)> action) {
  events_.emplace(at_ms, std::move(action));
}

void BusSim::run_due_events() {
  while (!events_.empty() && events_.begin()->first <= now_) {
    auto node = events_.extract(events_.begin());
    node.mapped()(node.key());
  }
  for (Iface& iface : ifaces_) {
    if (iface.tx.active && iface.tx.waiting_fc && now_ > iface.tx.fc_deadline) {
      iface.tx = TxSession{};  // no flow control: the rest is not sent
    }
  }
}

void BusSim::attach_can_node(size_t iface, CanNode& node) {
  nodes_.at(iface).push_back(&node);
}

IsoTpEcu& BusSim::add_iso_ecu(const IsoTpEcuConfig& config) {
  iso_ecus_.push_back(std::make_unique<IsoTpEcu>(*this, config));
  attach_can_node(config.iface, *iso_ecus_.back());
  return *iso_ecus_.back();
}

KLineEcu& BusSim::add_kline_ecu() {
  kline_ecus_.push_back(std::make_unique<KLineEcu>(*this));
  kline_nodes_.push_back(kline_ecus_.back().get());
  return *kline_ecus_.back();
}

void BusSim::clear_bus_log() {
  for (auto& log : bus_log_) log.clear();
}

BusSimUnits add_bus_sim(Adapter& adapter) {
  BusSim& bus = adapter.add_unit<BusSim>(
      {dev::kCan1, dev::kIso15765_1, dev::kCan2, dev::kIso15765_2, dev::kKLine, dev::kSystem},
      adapter);
  IsoTpEcu& first = bus.add_iso_ecu(IsoTpEcuConfig{});
  IsoTpEcuConfig second_config;
  second_config.iface = 1;
  IsoTpEcu& second = bus.add_iso_ecu(second_config);
  IsoTpEcuConfig extended_config;
  extended_config.request_id = 0x18DA10F1;
  extended_config.response_id = 0x18DAF110;
  extended_config.functional_id = 0x18DB33F1;
  extended_config.extended = true;
  IsoTpEcu& extended = bus.add_iso_ecu(extended_config);
  KLineEcu& kline = bus.add_kline_ecu();
  return BusSimUnits{bus, first, second, extended, kline};
}

}  // namespace orv::emu
