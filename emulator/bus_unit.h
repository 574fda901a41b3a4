// The adapter's bus units: the two CAN interfaces (devices 0x10 raw CAN and
// 0x20 ISO 15765 on the first bus, 0x30 and 0x40 on the second) and the
// K-line (0x90). This unit keeps what the host told them:
//   - setup records per device (op 3, type 7), raw and decoded;
//   - connected channels (op 0 connect with its flags, op 1 disconnect) and
//     receive clears (op 0, type 0x0C);
//   - filters per slot (op 3, types 1 mask, 2 pattern, 3 flow control; the
//     frame's `id` is the slot, 0..63; a slot is in use while its mask frame
//     has data; removal frames have size 0);
//   - periodic entries per ID (op 3, type 4; `id` 0..99, interval in the
//     timestamp bytes little-endian; size 0 stops) and the suspended state
//     per device (op 3, type 0, flags 0x10 suspend, 0x20 resume).
// Running periodic messages of a connected, not suspended device are
// "transmitted" on the emulated bus at their interval: counted per entry
// and handed to the bus listener, if one is set.
//
// Bus transmit requests (op 3, type 5) are not handled here: they fall
// through to whichever unit emulates the vehicle bus.
//
// For units that forward bus traffic to the host: `admits()` tells whether
// a frame on a bus passes any filter the host installed for that bus (the
// adapter does not know pass from block: it only holds mask and pattern),
// `filter()` / `filter_slots()` give the installed frames, e.g. the flow
// frame a flow-control filter answers first frames with, and
// `send_bus_frame()` delivers a frame to the host with the adapter's
// timestamp (1/256 ms, most significant byte first).
//
// Test hooks also make the adapter send channel-stop reports and its own
// buffer-overflow report, and generate steady bus traffic (used by the
// pseudo-terminal program's --bus-traffic option).
//
// Failure reporting: none. Malformed frames (slots out of range, setup
// records of the wrong size) are taken as sent and ignored where they
// cannot be stored.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/adapter.h"

namespace orv::emu {

inline constexpr size_t kCanSetupBytes = 20;
inline constexpr size_t kKLineSetupBytes = 56;
inline constexpr size_t kFilterSlotCount = 64;
inline constexpr size_t kPeriodicCount = 100;

// A CAN_SETUP record as the adapter reads it from its 20 little-endian bytes.
struct CanSetupView {
  uint32_t baud_rate = 0;
  uint32_t fd_baud_rate = 0;
  uint16_t interframe_delay = 0;
  uint8_t bit_sample_point_percent = 0;
  uint8_t sync_jump_width_percent = 0;
  uint8_t block_size = 0;
  uint8_t separation_time = 0;
  uint8_t bs_tx_override = 0;
  uint8_t stmin_tx_override = 0;
  uint8_t wft_max = 0;
  uint8_t tx_data_length = 0;
  uint8_t termination = 0;
  uint8_t pad_value = 0;

  static CanSetupView decode(std::span<const uint8_t, kCanSetupBytes> bytes);
};

// An ISO_SETUP record as the adapter reads it from its 56 little-endian bytes.
struct KLineSetupView {
  uint32_t baud_rate = 0;
  uint8_t init_address = 0;
  uint8_t init_type = 0;
  // p1_min, p1_max, ..., p5_max, w0_min, ..., w5_max, tini_l, twup: the
  // 24 timing words in record order.
  std::array<uint16_t, 24> timings{};
  uint8_t parity = 0;
  uint8_t data_bits = 0;

  enum Timing : size_t {
    kP1Min,
    kP1Max,
    kP2Min,
    kP2Max,
    kP3Min,
    kP3Max,
    kP4Min,
    kP4Max,
    kP5Min,
    kP5Max,
    kW0Min,
    kW0Max,
    kW1Min,
    kW1Max,
    kW2Min,
    kW2Max,
    kW3Min,
    kW3Max,
    kW4Min,
    kW4Max,
    kW5Min,
    kW5Max,
    kTiniL,
    kTwup,
  };
  uint16_t timing(Timing t) const { return timings[t]; }

  static KLineSetupView decode(std::span<const uint8_t, kKLineSetupBytes> bytes);
};

// What one bus device was told.
struct BusDeviceState {
  bool connected = false;
  uint8_t connect_flags = 0;  // 0x20: CAN FD requested
  uint32_t connects = 0;
  uint32_t disconnects = 0;
  uint32_t receive_clears = 0;
  bool suspended = false;
  uint32_t setups = 0;         // setup records received
  std::vector<uint8_t> setup;  // bytes of the last setup record
  uint8_t setup_flags = 0;     // flags of the last setup frame
};

struct FilterSlot {
  Frame mask;
  Frame pattern;
  Frame flow;
  bool in_use() const { return mask.size != 0; }
  uint8_t dev() const { return mask.dev; }
  // (data[b] AND mask[b]) == pattern[b] for every mask byte; a frame
  // shorter than the mask does not match.
  bool matches(std::span<const uint8_t> data) const;
};

struct PeriodicEntry {
  Frame frame;               // the last frame received for this ID
  bool running = false;      // a start or update with data, not yet stopped
  uint32_t interval_ms = 0;  // from the frame's timestamp bytes
  uint64_t transmissions = 0;
  uint64_t next_due = 0;
};

class BusUnit : public Unit {
 public:
  // Frame types of the bus devices.
  static constexpr uint8_t kTypeMask = 1;
  static constexpr uint8_t kTypePattern = 2;
  static constexpr uint8_t kTypeFlow = 3;
  static constexpr uint8_t kTypePeriodic = 4;
  static constexpr uint8_t kTypeBusMessage = 5;
  static constexpr uint8_t kTypeClearReceive = 0x0C;
  static constexpr uint8_t kSuspendFlag = 0x10;
  static constexpr uint8_t kResumeFlag = 0x20;

  explicit BusUnit(Adapter& adapter) : adapter_(adapter) {}

  bool handle(const Frame& request, Context& ctx) override;
  void advance(Context& ctx) override;
  void stop_everything(Context& ctx) override;

  // --- what the adapter holds ---
  const BusDeviceState& device(uint8_t dev) const;
  std::optional<CanSetupView> can_setup(uint8_t dev) const;
  std::optional<KLineSetupView> kline_setup() const;
  const FilterSlot& filter(uint8_t slot) const { return filters_.at(slot); }
  // In-use slots whose filter belongs to `dev`, lowest first.
  std::vector<uint8_t> filter_slots(uint8_t dev) const;
  // True when `data` on the bus of `dev` (0x10/0x20, 0x30/0x40, 0x90)
  // matches a filter installed for a device of that bus.
  bool admits(uint8_t dev, std::span<const uint8_t> data) const;
  const PeriodicEntry& periodic(uint8_t id) const { return periodic_.at(id); }
  // IDs of running entries whose last frame named `dev`.
  std::vector<uint8_t> running_periodics(uint8_t dev) const;

  // Called for every periodic transmission with the device and the frame.
  void set_bus_listener(std::function<void(uint8_t dev, const Frame& frame)> listener) {
    listener_ = std::move(listener);
  }

  // --- test hooks ---
  // A received bus frame (op 2) from `dev`, due `delay_ms` from now.
  void send_bus_frame(uint8_t dev, std::span<const uint8_t> data, uint8_t flags = 0,
                      uint8_t frame_type = type::kPlain, uint32_t delay_ms = 0);
  // The channel-stop report of `dev` (op 1); the device counts as
  // disconnected afterwards.
  void send_channel_stop(uint8_t dev, uint32_t delay_ms = 0);
  // The adapter's own receive-buffer overflow report naming `dev`
  // (device 0xF0, op 2, flags 0x40, data[0] = dev).
  void send_overflow_report(uint8_t dev, uint32_t delay_ms = 0);
  // Steady traffic: `data` from `dev` every `interval_ms` while the device
  // is connected and its bus admits it.
  void add_traffic(uint8_t dev, std::vector<uint8_t> data, uint32_t interval_ms, uint8_t flags = 0);

 private:
  struct Traffic {
    uint8_t dev = 0;
    std::vector<uint8_t> data;
    uint32_t interval_ms = 0;
    uint8_t flags = 0;
    uint64_t next_due = 0;
  };

  uint64_t clock();
  BusDeviceState& state(uint8_t dev);
  void on_connect(const Frame& request);
  void on_setup(const Frame& request);
  void on_filter(const Frame& request);
  void on_periodic(const Frame& request);
  void run_periodics();
  void run_traffic(Context& ctx);
  Frame bus_frame(uint8_t dev, std::span<const uint8_t> data, uint8_t flags, uint8_t frame_type,
                  uint64_t at_ms) const;

  Adapter& adapter_;
  std::array<BusDeviceState, 5> devices_{};  // 0x10, 0x20, 0x30, 0x40, 0x90
  std::array<FilterSlot, kFilterSlotCount> filters_{};
  std::array<PeriodicEntry, kPeriodicCount> periodic_{};
  std::vector<Traffic> traffic_;
  std::function<void(uint8_t, const Frame&)> listener_;
  bool clock_started_ = false;
  uint32_t last_now_ = 0;
  uint64_t clock64_ = 0;
};

// Registers a bus unit for 0x10, 0x20, 0x30, 0x40 and 0x90 on `adapter`.
BusUnit& add_bus_unit(Adapter& adapter);

// Frame flags of steady traffic (as the adapter marks its bus frames).
inline constexpr uint8_t kTrafficFlagFd = 0x01;
inline constexpr uint8_t kTrafficFlag29Bit = 0x10;

// Parses a traffic option "DEV:HEXBYTES:INTERVAL[:KIND]" (hex device, data
// bytes as hex digits, interval in ms, KIND letters x for a 29-bit
// identifier and f for CAN FD), e.g. "10:07E80441000000:100" or
// "10:18DAF1100241:100:x". Returns false when malformed.
bool parse_bus_traffic(const std::string& text, uint8_t* dev, std::vector<uint8_t>* data,
                       uint32_t* interval_ms, uint8_t* flags = nullptr);

}  // namespace orv::emu
