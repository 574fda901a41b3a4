// The bus units of the adapter stand-in: setup records, channels, filters
// and periodic messages as the host sent them, plus hooks that make the
// adapter send bus frames and reports. See bus_unit.h.
#include "emulator/bus_unit.h"

#include <algorithm>
#include <cstdlib>

namespace orv::emu {

namespace {

constexpr std::array<uint8_t, 5> kBusDevices{dev::kCan1, dev::kIso15765_1, dev::kCan2,
                                             dev::kIso15765_2, dev::kKLine};

// Little-endian reader over a fixed record.
class LeBytes {
 public:
  explicit LeBytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint8_t u8() { return bytes_[at_++]; }
  uint16_t u16() {
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  uint32_t u32() {
    const uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

size_t DeviceIndex(uint8_t dev) {
  const auto it = std::find(kBusDevices.begin(), kBusDevices.end(), dev);
  return it == kBusDevices.end() ? kBusDevices.size()
                                 : static_cast<size_t>(it - kBusDevices.begin());
}

// Devices that share one physical bus: the two CAN interfaces carry a raw
// CAN and an ISO 15765 device each.
uint8_t BusOf(uint8_t dev) {
  switch (dev) {
    case dev::kIso15765_1:
      return dev::kCan1;
    case dev::kIso15765_2:
      return dev::kCan2;
    default:
      return dev;
  }
}

uint32_t IntervalOf(const Frame& f) {
  return static_cast<uint32_t>(f.timestamp[0]) | static_cast<uint32_t>(f.timestamp[1]) << 8 |
         static_cast<uint32_t>(f.timestamp[2]) << 16 | static_cast<uint32_t>(f.timestamp[3]) << 24;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
  if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > kHostDataCapacity) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

}  // namespace

CanSetupView CanSetupView::decode(std::span<const uint8_t, kCanSetupBytes> bytes) {
  LeBytes r(bytes);
  CanSetupView s;
  s.baud_rate = r.u32();
  s.fd_baud_rate = r.u32();
  s.interframe_delay = r.u16();
  s.bit_sample_point_percent = r.u8();
  s.sync_jump_width_percent = r.u8();
  s.block_size = r.u8();
  s.separation_time = r.u8();
  s.bs_tx_override = r.u8();
  s.stmin_tx_override = r.u8();
  s.wft_max = r.u8();
  s.tx_data_length = r.u8();
  s.termination = r.u8();
  s.pad_value = r.u8();
  return s;
}

KLineSetupView KLineSetupView::decode(std::span<const uint8_t, kKLineSetupBytes> bytes) {
  LeBytes r(bytes);
  KLineSetupView s;
  s.baud_rate = r.u32();
  s.init_address = r.u8();
  s.init_type = r.u8();
  for (uint16_t& t : s.timings) t = r.u16();
  s.parity = r.u8();
  s.data_bits = r.u8();
  return s;
}

bool FilterSlot::matches(std::span<const uint8_t> data) const {
  if (!in_use() || data.size() < mask.size) return false;
  for (size_t b = 0; b < mask.size; ++b) {
    if ((data[b] & mask.data[b]) != pattern.data[b]) return false;
  }
  return true;
}

// The adapter's 32-bit clock extended to 64 bits, so intervals keep their
// order across the wrap.
uint64_t BusUnit::clock() {
  const uint32_t now = adapter_.now();
  if (!clock_started_) {
    clock_started_ = true;
    clock64_ = now;
  } else {
    clock64_ += static_cast<uint32_t>(now - last_now_);
  }
  last_now_ = now;
  return clock64_;
}

// --- requests ------------------------------------------------------------------

bool BusUnit::handle(const Frame& request, Context& /*ctx*/) {
  switch (request.op) {
    case op::kStart:
      if (request.type == kTypeClearReceive) {
        ++state(request.dev).receive_clears;
      } else {
        on_connect(request);
      }
      return true;
    case op::kStop: {
      BusDeviceState& s = state(request.dev);
      s.connected = false;
      ++s.disconnects;
      return true;
    }
    case op::kWrite:
      switch (request.type) {
        case type::kSetup:
          on_setup(request);
          return true;
        case kTypeMask:
        case kTypePattern:
        case kTypeFlow:
          on_filter(request);
          return true;
        case kTypePeriodic:
          on_periodic(request);
          return true;
        case type::kPlain:
          if (request.flags & kSuspendFlag) state(request.dev).suspended = true;
          if (request.flags & kResumeFlag) state(request.dev).suspended = false;
          return true;
        default:
          return false;  // bus messages and anything else: the bus emulation's
      }
    default:
      return false;
  }
}

BusDeviceState& BusUnit::state(uint8_t dev) {
  static BusDeviceState ignored;  // frames for a device that is not a bus
  const size_t i = DeviceIndex(dev);
  if (i >= devices_.size()) {
    ignored = BusDeviceState{};
    return ignored;
  }
  return devices_[i];
}

void BusUnit::on_connect(const Frame& request) {
  BusDeviceState& s = state(request.dev);
  s.connected = true;
  s.connect_flags = request.flags;
  ++s.connects;
}

void BusUnit::on_setup(const Frame& request) {
  BusDeviceState& s = state(request.dev);
  s.setup.assign(request.data.begin(), request.data.begin() + request.size);
  s.setup_flags = request.flags;
  ++s.setups;
}

void BusUnit::on_filter(const Frame& request) {
  if (request.id >= kFilterSlotCount) return;
  FilterSlot& slot = filters_[request.id];
  switch (request.type) {
    case kTypeMask:
      slot.mask = request;
      break;
    case kTypePattern:
      slot.pattern = request;
      break;
    default:
      slot.flow = request;
      break;
  }
}

void BusUnit::on_periodic(const Frame& request) {
  if (request.id >= kPeriodicCount) return;
  PeriodicEntry& e = periodic_[request.id];
  e.frame = request;
  e.interval_ms = IntervalOf(request);
  e.running = request.size != 0;
  e.next_due = clock() + e.interval_ms;
}

void BusUnit::stop_everything(Context& /*ctx*/) {
  for (BusDeviceState& s : devices_) {
    s.connected = false;
    s.suspended = false;
  }
  filters_.fill(FilterSlot{});
  for (PeriodicEntry& e : periodic_) e.running = false;
}

// --- timers ----------------------------------------------------------------------

void BusUnit::advance(Context& ctx) {
  run_periodics();
  run_traffic(ctx);
}

void BusUnit::run_periodics() {
  const uint64_t now = clock();
  for (PeriodicEntry& e : periodic_) {
    if (!e.running || e.interval_ms == 0) continue;
    const BusDeviceState& s = state(e.frame.dev);
    if (!s.connected || s.suspended) {
      e.next_due = std::max(e.next_due, now);  // no backlog while idle
      continue;
    }
    while (e.next_due <= now) {
      ++e.transmissions;
      if (listener_) listener_(e.frame.dev, e.frame);
      e.next_due += e.interval_ms;
    }
  }
}

void BusUnit::run_traffic(Context& ctx) {
  const uint64_t now = clock();
  for (Traffic& t : traffic_) {
    if (!state(t.dev).connected) {
      t.next_due = std::max(t.next_due, now);
      continue;
    }
    while (t.next_due <= now) {
      if (admits(t.dev, t.data)) {
        ctx.send(bus_frame(t.dev, t.data, t.flags, type::kPlain, t.next_due));
      }
      t.next_due += t.interval_ms;
    }
  }
}

// --- queries ---------------------------------------------------------------------

const BusDeviceState& BusUnit::device(uint8_t dev) const {
  static const BusDeviceState none;
  const size_t i = DeviceIndex(dev);
  return i < devices_.size() ? devices_[i] : none;
}

std::optional<CanSetupView> BusUnit::can_setup(uint8_t dev) const {
  const BusDeviceState& s = device(dev);
  if (s.setup.size() != kCanSetupBytes) return std::nullopt;
  return CanSetupView::decode(
      std::span<const uint8_t, kCanSetupBytes>(s.setup.data(), kCanSetupBytes));
}

std::optional<KLineSetupView> BusUnit::kline_setup() const {
  const BusDeviceState& s = device(dev::kKLine);
  if (s.setup.size() != kKLineSetupBytes) return std::nullopt;
  return KLineSetupView::decode(
      std::span<const uint8_t, kKLineSetupBytes>(s.setup.data(), kKLineSetupBytes));
}

std::vector<uint8_t> BusUnit::filter_slots(uint8_t dev) const {
  std::vector<uint8_t> slots;
  for (size_t i = 0; i < filters_.size(); ++i) {
    if (filters_[i].in_use() && filters_[i].dev() == dev) slots.push_back(static_cast<uint8_t>(i));
  }
  return slots;
}

bool BusUnit::admits(uint8_t dev, std::span<const uint8_t> data) const {
  const uint8_t bus = BusOf(dev);
  return std::any_of(filters_.begin(), filters_.end(), [&](const FilterSlot& f) {
    return f.in_use() && BusOf(f.dev()) == bus && f.matches(data);
  });
}

std::vector<uint8_t> BusUnit::running_periodics(uint8_t dev) const {
  std::vector<uint8_t> ids;
  for (size_t i = 0; i < periodic_.size(); ++i) {
    if (periodic_[i].running && periodic_[i].frame.dev == dev) {
      ids.push_back(static_cast<uint8_t>(i));
    }
  }
  return ids;
}

// --- hooks -----------------------------------------------------------------------

Frame BusUnit::bus_frame(uint8_t dev, std::span<const uint8_t> data, uint8_t flags,
                         uint8_t frame_type, uint64_t at_ms) const {
  Frame f = Frame::make(dev, op::kRead, frame_type, flags, data);
  const auto ticks = static_cast<uint32_t>(at_ms * 256);  // 1/256 ms, wrapping
  f.timestamp = {static_cast<uint8_t>(ticks >> 24), static_cast<uint8_t>(ticks >> 16),
                 static_cast<uint8_t>(ticks >> 8), static_cast<uint8_t>(ticks)};
  return f;
}

void BusUnit::send_bus_frame(uint8_t dev, std::span<const uint8_t> data, uint8_t flags,
                             uint8_t frame_type, uint32_t delay_ms) {
  Context ctx(adapter_);
  ctx.send(bus_frame(dev, data, flags, frame_type, clock() + delay_ms), delay_ms);
}

void BusUnit::send_channel_stop(uint8_t dev, uint32_t delay_ms) {
  state(dev).connected = false;
  Context ctx(adapter_);
  ctx.send(Frame::make(dev, op::kStop, type::kPlain), delay_ms);
}

void BusUnit::send_overflow_report(uint8_t dev, uint32_t delay_ms) {
  Context ctx(adapter_);
  const uint8_t data[1] = {dev};
  ctx.send(Frame::make(dev::kSystem, op::kRead, type::kPlain, kFlagRefused, data), delay_ms);
}

void BusUnit::add_traffic(uint8_t dev, std::vector<uint8_t> data, uint32_t interval_ms,
                          uint8_t flags) {
  Traffic t;
  t.dev = dev;
  t.data = std::move(data);
  t.interval_ms = std::max<uint32_t>(interval_ms, 1);
  t.flags = flags;
  t.next_due = clock() + t.interval_ms;
  traffic_.push_back(std::move(t));
}

BusUnit& add_bus_unit(Adapter& adapter) {
  return adapter.add_unit<BusUnit>(
      {dev::kCan1, dev::kIso15765_1, dev::kCan2, dev::kIso15765_2, dev::kKLine}, adapter);
}

bool parse_bus_traffic(const std::string& text, uint8_t* dev, std::vector<uint8_t>* data,
                       uint32_t* interval_ms, uint8_t* flags) {
  const size_t first = text.find(':');
  const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos) return false;
  std::vector<uint8_t> dev_byte;
  if (!ParseHexBytes(text.substr(0, first), &dev_byte) || dev_byte.size() != 1) return false;
  if (DeviceIndex(dev_byte[0]) >= kBusDevices.size()) return false;
  if (!ParseHexBytes(text.substr(first + 1, second - first - 1), data)) return false;
  const size_t third = text.find(':', second + 1);
  const std::string interval = text.substr(second + 1, third - second - 1);
  char* end = nullptr;
  const unsigned long ms = std::strtoul(interval.c_str(), &end, 10);
  if (interval.empty() || *end != '\0' || ms == 0 || ms > 3600000) return false;
  // Optional frame kind: x = 29-bit identifier (4 identifier bytes), f = CAN FD.
  uint8_t kind = 0;
  if (third != std::string::npos) {
    const std::string letters = text.substr(third + 1);
    if (letters.empty()) return false;
    for (const char c : letters) {
      if (c != 'x' && c != 'f') return false;
      kind |= c == 'x' ? kTrafficFlag29Bit : kTrafficFlagFd;
    }
  }
  *dev = dev_byte[0];
  *interval_ms = static_cast<uint32_t>(ms);
  if (flags != nullptr) *flags = kind;
  return true;
}

}  // namespace orv::emu
