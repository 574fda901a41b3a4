// The vehicle side of the adapter stand-in: two CAN interfaces and a
// K-line, the adapter's own bus behaviour, and the simulated ECUs on them.
//
// Adapter behaviour (what the host relies on):
//   - transmit frames (op 3, type 5) go on the bus at once; a segmented
//     ISO 15765 message waits after its first frame for the receiver's
//     flow control and then paces its consecutive frames by the block size
//     and STmin received (or the BS_TX / STMIN_TX overrides of the setup
//     record); K-line pieces are joined and sent with a checksum unless the
//     setup record says the line has none;
//   - with loopback on, every frame it transmits comes back to the host as
//     an echo (op 2, type 5) from the transmitting channel's device;
//   - bus frames that an installed filter admits are forwarded to the host
//     (op 2, type 0, from the interface's raw CAN device 0x10 / 0x30), with
//     the adapter's 1/256-ms time stamp; K-line messages are forwarded in
//     68-byte pieces (a piece of 68 bytes means more follow);
//   - a first frame that matches a flow-control filter is answered on the
//     bus with the filter's stored flow-control frame, again after every
//     block when that frame asks for blocks.
//
// The unit only watches the setup, filter, connect and option frames (it
// returns false for them, so the unit that keeps channel state still gets
// them); register it after that unit. Transmit frames are its own.
//
// Time: every action is an event at a virtual millisecond; events due by
// the adapter's "now" run in advance(), in time order, ties in order of
// scheduling.
//
// Failure reporting: none; malformed frames are ignored as an adapter
// would.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "emulator/adapter.h"

namespace orv::emu {

inline constexpr size_t kCanInterfaces = 2;
inline constexpr size_t kMaxCanData = 64;

struct CanFrame {
  uint32_t id = 0;
  bool extended = false;  // 29-bit identifier
  bool fd = false;
  bool brs = false;
  uint8_t length = 0;
  std::array<uint8_t, kMaxCanData> data{};

  std::span<const uint8_t> bytes() const { return {data.data(), length}; }
  static CanFrame make(uint32_t id, bool extended, std::span<const uint8_t> bytes);
};

class BusSim;

// A node on one of the CAN interfaces besides the adapter.
class CanNode {
 public:
  virtual ~CanNode() = default;
  virtual void on_can_frame(const CanFrame& frame, uint64_t at_ms) = 0;
};

// A node on the K-line: gets whole messages (checksum included when the
// line uses one).
class KLineNode {
 public:
  virtual ~KLineNode() = default;
  virtual void on_kline_message(std::span<const uint8_t> bytes, uint64_t at_ms) = 0;
};

class IsoTpEcu;
class KLineEcu;
struct IsoTpEcuConfig;

class BusSim : public Unit {
 public:
  static constexpr uint8_t kNoOverride = 0xFF;
  static constexpr uint32_t kFlowControlWaitMs = 1000;  // N_Bs

  explicit BusSim(Adapter& adapter);
  ~BusSim() override;

  bool handle(const Frame& request, Context& ctx) override;
  void advance(Context& ctx) override;
  void stop_everything(Context& ctx) override;

  // --- nodes ---
  IsoTpEcu& add_iso_ecu(const IsoTpEcuConfig& config);
  KLineEcu& add_kline_ecu();
  void attach_can_node(size_t iface, CanNode& node);

  // --- what nodes call ---
  // Puts a frame on interface `iface` at `at_ms`: every other node sees
  // it, and the adapter forwards it when a filter admits it.
  void can_transmit(size_t iface, const CanFrame& frame, uint64_t at_ms, const CanNode* from);
  // A whole K-line message from an ECU, forwarded to the host in pieces.
  void kline_transmit(std::span<const uint8_t> bytes, uint64_t at_ms);
  void schedule(uint64_t at_ms, std::function<void(uint64_t)> action);
  uint64_t now() const { return now_; }

  // --- inspection and control for tests ---
  bool loopback() const { return loopback_; }
  void set_loopback(bool on) { loopback_ = on; }
  bool kline_uses_checksum() const { return kline_checksum_; }
  // Every frame that went over an interface, in order.
  const std::vector<CanFrame>& bus_log(size_t iface) const { return bus_log_.at(iface); }
  void clear_bus_log();

 private:
  struct FilterMirror {
    Frame mask;
    Frame pattern;
    Frame flow;
    uint8_t block_left = 0;  // consecutive frames until the next flow control
  };
  // A segmented message from the host, waiting for flow control or pacing
  // its consecutive frames.
  struct TxSession {
    bool active = false;
    uint8_t dev = 0;
    std::deque<Frame> pending;  // consecutive frames not yet on the bus
    bool waiting_fc = false;
    uint64_t fc_deadline = 0;
    uint32_t block_size = 0;  // 0: no further flow control
    uint32_t sent_in_block = 0;
    uint32_t stmin_ms = 0;
    uint64_t next_due = 0;
    bool pump_scheduled = false;
  };
  struct Iface {
    uint8_t bs_override = kNoOverride;
    uint8_t stmin_override = kNoOverride;
    TxSession tx;
  };

  uint64_t extend(uint32_t now32);
  void observe(const Frame& request);
  void on_host_transmit(const Frame& request);
  void on_host_can_frame(const Frame& request, size_t iface);
  void on_host_kline_piece(const Frame& request);
  void pump(size_t iface, uint64_t at_ms);
  void on_flow_control(size_t iface, const CanFrame& fc, uint64_t at_ms);
  void send_to_bus(size_t iface, uint8_t dev, const CanFrame& frame, uint64_t at_ms);
  void deliver(size_t iface, const CanFrame& frame, uint64_t at_ms, const CanNode* from);
  void forward_to_host(size_t iface, const CanFrame& frame, uint64_t at_ms);
  void answer_first_frames(size_t iface, const CanFrame& frame, uint64_t at_ms);
  void send_host(Frame frame, uint64_t at_ms);
  void run_due_events();

  Adapter& adapter_;
  uint64_t now_ = 0;
  uint32_t last_now32_ = 0;
  bool clock_started_ = false;
  bool loopback_ = false;
  bool kline_checksum_ = true;
  std::array<FilterMirror, 64> filters_{};
  std::array<Iface, kCanInterfaces> ifaces_{};
  std::array<std::vector<CanFrame>, kCanInterfaces> bus_log_{};
  std::array<std::vector<CanNode*>, kCanInterfaces> nodes_{};
  std::vector<KLineNode*> kline_nodes_;
  std::vector<uint8_t> kline_tx_;  // host pieces of the message being joined
  std::multimap<uint64_t, std::function<void(uint64_t)>> events_;
  std::vector<std::unique_ptr<IsoTpEcu>> iso_ecus_;
  std::vector<std::unique_ptr<KLineEcu>> kline_ecus_;
};

// The standard set: a bus simulation with an ISO 15765 ECU on 0x7E0/0x7E8
// on each CAN interface, one on 29-bit identifiers 0x18DA10F1/0x18DAF110 on
// the first, and a K-line ECU.
struct BusSimUnits {
  BusSim& bus;
  IsoTpEcu& ecu;         // first interface, 11-bit
  IsoTpEcu& ecu_second;  // second interface, 11-bit
  IsoTpEcu& ecu_29bit;   // first interface, 29-bit
  KLineEcu& kline;
};
BusSimUnits add_bus_sim(Adapter& adapter);

// The adapter's time stamp of a millisecond: 1/256 ms, most significant
// byte first.
std::array<uint8_t, 4> adapter_timestamp(uint64_t at_ms);

}  // namespace orv::emu
