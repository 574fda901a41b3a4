// GET_CONFIG and SET_CONFIG: the configuration parameters of a channel,
// kept in the channel's setup record (State().channels.CANSetup / State().channels.MSCANSetup for
// the CAN channels, State().channels.ISO9141Setup for the K-line) or in the process-wide option
// flags. SET_CONFIG stores each value, cut to its field's width, and sends
// the changed record or option frame at once; nothing is awaited.
//
// A list is applied entry by entry: an entry that ends the call leaves the
// entries before it applied and the ones after it untouched. A frame that
// cannot be sent is logged and the list goes on.
//
// Failure reporting: 1 unsupported parameter (or FIVE_BAUD_MOD other than
// 0), 2 parameter not valid on the channel, 19 J1962 pins other than 3 and
// 11, 4 null list; each with an 'E' text except FIVE_BAUD_MOD.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/ioctl_handlers.h"
#include "passthru/library_state.h"

namespace orv {
namespace {

// Which channels accept a parameter.
enum class Channels : uint8_t {
  kAny,         // no channel test
  kKLine,       // 3, 4
  kCan,         // 5, 6, 11, 12
  kIso15765,    // 6, 12
  kKLineOrCan,  // 3, 4, 5, 6, 11, 12
  kSecondBus,   // 11, 12
};

// Where the value lives.
enum class Store : uint8_t {
  kNone,        // FIVE_BAUD_MOD, J1962_PINS: checked, never stored
  kCanRecord,   // the channel's CAN_SETUP
  kIsoRecord,   // State().channels.ISO9141Setup
  kIsoHalved,   // State().channels.ISO9141Setup, given in 0.5 ms and stored in ms
  kFlag,        // an option flag: 1 when Value is exactly 1, else 0
  kMixedFormat  // State().options.can_mixed_format_flag: set to 1 whatever Value is
};

// What SET_CONFIG sends after storing.
enum class Frame : uint8_t {
  kNone,
  kKLineSetup,
  kCanSetup,          // to the bus's raw CAN device (0x10 / 0x30)
  kIso15765Setup,     // to the channel's ISO 15765 device (0x20 / 0x40)
  kRateSetup,         // K-line setup on 3 and 4, CAN setup on the others
  kLoopbackTrigger,   // 0xF0 op 3 type 0: 0x40 loopback, 0x80 trigger
  kBusErrorMsgs,      // 0xF0 op 3 type 7: 0x10 when on
  kAutomaticSuspend,  // 0xF0 op 3 type 7: 0x80 when off
};

// How a SET_CONFIG trace shows the value: " NAME = <value>" or the label
// alone.
enum ValueForm : uint8_t { kShowNothing, kShowDecimal, kShowHex };
struct SetTrace {
  const char* label = nullptr;  // null: no trace
  ValueForm form = kShowNothing;
};

struct Param {
  uint32_t id;
  const char* name;  // as traced by GET_CONFIG and named in channel errors
  Channels channels;
  Store store;
  uint8_t offset;  // of the field in its record
  uint8_t width;   // bytes
  uint32_t* flag;  // Store::kFlag
  Frame frame;
  SetTrace set_trace;                        // the 'A' line SET_CONFIG writes first
  const char* failure;                       // 'E' text when the frame cannot be sent
  const char* second_bus_failure = nullptr;  // channels 11 and 12, when different
  const char* kline_failure = nullptr;       // channels 3 and 4, when different
};

#define CAN_FIELD(f) Store::kCanRecord, offsetof(CAN_SETUP, f), sizeof(CAN_SETUP::f), nullptr
#define ISO_FIELD(f) Store::kIsoRecord, offsetof(ISO_SETUP, f), sizeof(ISO_SETUP::f), nullptr
#define ISO_HALVED(f) Store::kIsoHalved, offsetof(ISO_SETUP, f), sizeof(ISO_SETUP::f), nullptr
#define FLAG(f) Store::kFlag, 0, 0, &f
#define NO_FIELD Store::kNone, 0, 0, nullptr

// clang-format off
const std::array<Param, 40> kParams{{
    {DATA_RATE, "DATA_RATE", Channels::kKLineOrCan, CAN_FIELD(baud_rate), Frame::kRateSetup,
     {" DATA_RATE", kShowDecimal}, "Cannot set CAN DATA_RATE", "Cannot set MSCAN DATA_RATE",
     "Cannot set ISO9141 DATA_RATE"},
    {LOOPBACK, "LOOPBACK", Channels::kAny, FLAG(State().options.loopback_flag), Frame::kLoopbackTrigger,
     {"  LOOPBACK", kShowNothing}, "Cannot set/clear LOOPBACK option"},
    {NODE_ADDRESS, "NODE_ADDRESS", Channels::kKLine, ISO_FIELD(init_address), Frame::kKLineSetup,
     {"  NODE_ADDRESS", kShowHex}, "PassThruIoctl(NODE_ADDRESS) failed"},
    {P1_MIN, "P1_MIN", Channels::kKLine, ISO_HALVED(p1_min), Frame::kKLineSetup,
     {" P1_MIN", kShowDecimal}, "PassThruIoctl(P1_MIN) failed"},
    {P1_MAX, "P1_MAX", Channels::kKLine, ISO_HALVED(p1_max), Frame::kKLineSetup,
     {" P1_MAX", kShowDecimal}, "PassThruIoctl(P1_MAX) failed"},
    {P2_MIN, "P2_MIN", Channels::kKLine, ISO_HALVED(p2_min), Frame::kKLineSetup,
     {" P2_MIN", kShowDecimal}, "PassThruIoctl(P2_MIN) failed"},
    {P2_MAX, "P2_MAX", Channels::kKLine, ISO_HALVED(p2_max), Frame::kKLineSetup,
     {" P2_MAX", kShowDecimal}, "PassThruIoctl(P2_MAX) failed"},
    {P3_MIN, "P3_MIN", Channels::kKLine, ISO_HALVED(p3_min), Frame::kKLineSetup,
     {" P3_MIN", kShowDecimal}, "PassThruIoctl(P3_MIN) failed"},
    {P3_MAX, "P3_MAX", Channels::kKLine, ISO_HALVED(p3_max), Frame::kKLineSetup,
     {" P3_MAX", kShowDecimal}, "PassThruIoctl(P3_MAX) failed"},
    {P4_MIN, "P4_MIN", Channels::kKLine, ISO_HALVED(p4_min), Frame::kKLineSetup,
     {" P4_MIN", kShowDecimal}, "PassThruIoctl(P4_MIN) failed"},
    {P4_MAX, "P4_MAX", Channels::kKLine, ISO_HALVED(p4_max), Frame::kKLineSetup,
     {" P4_MAX", kShowDecimal}, "PassThruIoctl(P4_MAX) failed"},
    {W1, "W1", Channels::kKLine, ISO_FIELD(w1_max), Frame::kKLineSetup, {" W1", kShowDecimal},
     "PassThruIoctl(W1) failed"},
    {W2, "W2", Channels::kKLine, ISO_FIELD(w2_max), Frame::kKLineSetup, {" W2", kShowDecimal},
     "PassThruIoctl(W2) failed"},
    {W3, "W3", Channels::kKLine, ISO_FIELD(w3_max), Frame::kKLineSetup, {" W3", kShowDecimal},
     "PassThruIoctl(W3) failed"},
    {W4, "W4", Channels::kKLine, ISO_FIELD(w4_min), Frame::kKLineSetup, {" W4", kShowDecimal},
     "PassThruIoctl(W4) failed"},
    {W5, "W5", Channels::kKLine, ISO_FIELD(w5_min), Frame::kKLineSetup, {" W5", kShowDecimal},
     "PassThruIoctl(W5/TIDLE) failed"},
    {TIDLE, "W5", Channels::kKLine, ISO_FIELD(w5_min), Frame::kKLineSetup, {" W5", kShowDecimal},
     "PassThruIoctl(W5/TIDLE) failed"},
    {TINIL, "TINIL", Channels::kKLine, ISO_FIELD(tini_l), Frame::kKLineSetup,
     {" TINIL", kShowDecimal}, "PassThruIoctl(TINIL) failed"},
    {TWUP, "TWUP", Channels::kKLine, ISO_FIELD(twup), Frame::kKLineSetup, {" TWUP", kShowDecimal},
     "PassThruIoctl(TWUP) failed"},
    {PARITY, "PARITY", Channels::kKLine, ISO_FIELD(parity), Frame::kKLineSetup,
     {" PARITY", kShowDecimal}, "PassThruIoctl(PARITY) failed"},
    {BIT_SAMPLE_POINT, "BIT_SAMPLE_POINT", Channels::kCan, CAN_FIELD(bit_sample_point_percent),
     Frame::kCanSetup, {" BIT_SAMPLE_POINT", kShowDecimal},
     "PassThruIoctl(BIT_SAMPLE_POINT) failed"},
    {SYNC_JUMP_WIDTH, "SYNC_JUMP_WIDTH", Channels::kCan, CAN_FIELD(sync_jump_width_percent),
     Frame::kCanSetup, {" SYNC_JUMP_WIDTH", kShowDecimal}, "PassThruIoctl(SYNC_JUMP_WIDTH) failed"},
    {ISO15765_BS, "ISO15765_BS", Channels::kIso15765, CAN_FIELD(iso15765_block_size),
     Frame::kIso15765Setup, {" ISO15765_BS", kShowDecimal}, "PassThruIoctl(ISO15765_BS) failed"},
    {ISO15765_STMIN, "ISO15765_STMIN", Channels::kIso15765, CAN_FIELD(iso15765_separation_time),
     Frame::kIso15765Setup, {" ISO15765_STMIN", kShowDecimal},
     "PassThruIoctl(ISO15765_STMIN) failed"},
    {DATA_BITS, "DATA_BITS", Channels::kKLine, ISO_FIELD(data_bits), Frame::kKLineSetup,
     {" DATA_BITS", kShowDecimal}, "PassThruIoctl(DATA_BITS) failed"},
    {FIVE_BAUD_MOD, "FIVE_BAUD_MOD", Channels::kKLine, NO_FIELD, Frame::kNone,
     {" FIVE_BAUD_MOD", kShowDecimal}, nullptr},
    {BS_TX, "BS_TX", Channels::kIso15765, CAN_FIELD(iso15765_bs_tx_override), Frame::kIso15765Setup,
     {" BS_TX", kShowDecimal}, "PassThruIoctl(BS_TX) failed"},
    {STMIN_TX, "STMIN_TX", Channels::kIso15765, CAN_FIELD(iso15765_stmin_tx_override),
     Frame::kIso15765Setup, {" STMIN_TX", kShowDecimal}, "PassThruIoctl(STMIN_TX) failed"},
    {ISO15765_WFT_MAX, "ISO15765_WFT_MAX", Channels::kIso15765, CAN_FIELD(iso15765_wft_max),
     Frame::kIso15765Setup, {" WFT_MAX", kShowDecimal}, "PassThruIoctl(ISO15765_WFT_MAX) failed"},
    {ISO15765_PAD_VALUE, "ISO15765_PAD_VALUE", Channels::kIso15765, CAN_FIELD(iso15765_pad_value),
     Frame::kIso15765Setup, {" PAD_VALUE", kShowDecimal},
     "PassThruIoctl(ISO15765_PAD_VALUE) failed"},
    {CAN_MIXED_FORMAT, "CAN_MIXED_FORMAT", Channels::kAny, Store::kMixedFormat, 0, 0, nullptr,
     Frame::kNone, {}, nullptr},
    {J1962_PINS, "J1962_PINS", Channels::kSecondBus, NO_FIELD, Frame::kNone, {}, nullptr},
    {FD_CAN_DATA_PHASE_RATE, "FD_CAN_DATA_PHASE_RATE", Channels::kCan, CAN_FIELD(fd_baud_rate),
     Frame::kCanSetup, {" FD_CAN_DATA_PHASE_RATE", kShowDecimal},
     "Cannot set CAN FD_CAN_DATA_PHASE_RATE", "Cannot set MSCAN FD_CAN_DATA_PHASE_RATE"},
    {FD_ISO15765_TX_DATA_LENGTH, "FD_ISO15765_TX_DATA_LENGTH", Channels::kIso15765,
     CAN_FIELD(iso15765_tx_data_length), Frame::kIso15765Setup,
     {" FD_ISO15765_TX_DATA_LENGTH", kShowDecimal},
     "PassThruIoctl(FD_ISO15765_TX_DATA_LENGTH) failed"},
    {HS_CAN_TERMINATION, "HS_CAN_TERMINATION", Channels::kCan, CAN_FIELD(termination),
     Frame::kCanSetup, {" HS_CAN_TERMINATION", kShowDecimal}, "Cannot set CAN HS_CAN_TERMINATION",
     "Cannot set MSCAN HS_CAN_TERMINATION"},
    {MSG_TRIGGER, "MSG_TRIGGER", Channels::kAny, FLAG(State().options.msg_trigger_flag), Frame::kLoopbackTrigger,
     {"  MSG_TRIGGER", kShowNothing}, "Cannot set/clear MSG_TRIGGER option"},
    {LAST_SEGMENT_TIMESTAMP, "LAST_SEGMENT_TIMESTAMP", Channels::kAny, FLAG(State().options.last_segment_flag),
     Frame::kNone, {"  LAST_SEGMENT_TIMESTAMP", kShowNothing}, nullptr},
    {BUS_ERROR_MSGS, "BUS_ERROR_MSGS", Channels::kAny, FLAG(State().options.bus_error_msgs_flag),
     Frame::kBusErrorMsgs, {"  BUS_ERROR_MSGS", kShowNothing},
     "Cannot set/clear BUS_ERROR_MSGS option"},
    {INTERFRAME_DELAY, "INTERFRAME_DELAY", Channels::kCan, CAN_FIELD(interframe_delay),
     Frame::kCanSetup, {" INTERFRAME_DELAY", kShowDecimal},
     "PassThruIoctl(INTERFRAME_DELAY) failed"},
    {AUTOMATIC_SUSPEND, "AUTOMATIC_SUSPEND", Channels::kAny, FLAG(State().options.automatic_suspend_flag),
     Frame::kAutomaticSuspend, {"  AUTOMATIC_SUSPEND", kShowNothing},
     "Cannot set/clear AUTOMATIC_SUSPEND option"},
}};
// clang-format on

#undef CAN_FIELD
#undef ISO_FIELD
#undef ISO_HALVED
#undef FLAG
#undef NO_FIELD

constexpr uint32_t kJ1962PinsMask = 0xFFFF;
constexpr uint32_t kJ1962Pins3And11 = 0x030B;

constexpr uint8_t kLoopbackOn = 0x40;
constexpr uint8_t kMsgTriggerOn = 0x80;
constexpr uint8_t kBusErrorMsgsOn = 0x10;
constexpr uint8_t kAutomaticSuspendOff = 0x80;

const Param* FindParam(uint32_t id) {
  const auto* it =
      std::find_if(kParams.begin(), kParams.end(), [id](const Param& p) { return p.id == id; });
  return it == kParams.end() ? nullptr : it;
}

bool IsKLine(uint32_t channel) {
  return channel == kChannelIso9141 || channel == kChannelIso14230;
}
bool IsSecondBus(uint32_t channel) {
  return channel == kChannelMsCan || channel == kChannelMsIso15765;
}
bool IsCan(uint32_t channel) {
  return channel == kChannelCan || channel == kChannelIso15765 || IsSecondBus(channel);
}

bool Accepts(Channels channels, uint32_t channel) {
  switch (channels) {
    case Channels::kAny:
      return true;
    case Channels::kKLine:
      return IsKLine(channel);
    case Channels::kCan:
      return IsCan(channel);
    case Channels::kIso15765:
      return channel == kChannelIso15765 || channel == kChannelMsIso15765;
    case Channels::kKLineOrCan:
      return IsKLine(channel) || IsCan(channel);
    case Channels::kSecondBus:
      return IsSecondBus(channel);
  }
  return false;
}

// The record a stored field lives in, for an accepted channel. DATA_RATE
// is the one parameter of both kinds: `baud_rate` opens both records.
uint8_t* RecordOf(const Param& param, uint32_t channel) {
  if (param.store == Store::kIsoRecord || param.store == Store::kIsoHalved || IsKLine(channel)) {
    return reinterpret_cast<uint8_t*>(&State().channels.ISO9141Setup);
  }
  return reinterpret_cast<uint8_t*>(CanSetupOfChannel(channel));
}
static_assert(offsetof(CAN_SETUP, baud_rate) == offsetof(ISO_SETUP, baud_rate));

// Fields are read and written through their width, zero-extended.
uint32_t ReadField(const uint8_t* record, const Param& param) {
  switch (param.width) {
    case 1:
      return record[param.offset];
    case 2: {
      uint16_t v;
      std::memcpy(&v, record + param.offset, sizeof v);
      return v;
    }
    default: {
      uint32_t v;
      std::memcpy(&v, record + param.offset, sizeof v);
      return v;
    }
  }
}

void WriteField(uint8_t* record, const Param& param, uint32_t value) {
  switch (param.width) {
    case 1:
      record[param.offset] = static_cast<uint8_t>(value);
      return;
    case 2: {
      const auto v = static_cast<uint16_t>(value);
      std::memcpy(record + param.offset, &v, sizeof v);
      return;
    }
    default:
      std::memcpy(record + param.offset, &value, sizeof value);
      return;
  }
}

uint32_t GetValue(const Param& param, uint32_t channel) {
  switch (param.store) {
    case Store::kCanRecord:
    case Store::kIsoRecord:
      return ReadField(RecordOf(param, channel), param);
    case Store::kIsoHalved:
      return ReadField(RecordOf(param, channel), param) << 1;
    case Store::kFlag:
      return *param.flag == 1 ? 1 : 0;
    case Store::kNone:
    case Store::kMixedFormat:
      return 0;
  }
  return 0;
}

void StoreValue(const Param& param, uint32_t channel, uint32_t value) {
  switch (param.store) {
    case Store::kCanRecord:
    case Store::kIsoRecord:
      WriteField(RecordOf(param, channel), param, value);
      return;
    case Store::kIsoHalved:
      WriteField(RecordOf(param, channel), param, (value & 0xFFFF) >> 1);
      return;
    case Store::kFlag:
      *param.flag = value == 1 ? 1 : 0;
      return;
    case Store::kMixedFormat:
      State().options.can_mixed_format_flag = 1;
      return;
    case Store::kNone:
      return;
  }
}

int32_t SendCanRecord(uint32_t channel, uint8_t device) {
  const CAN_SETUP* setup = CanSetupOfChannel(channel);
  return setup == nullptr ? ERR_FAILED : SendCanSetup(device, *setup, 0);
}

int32_t SendOptionFrame(uint8_t type, uint8_t flags) {
  return JmsgSendCmd(kDevSystem, kOpWrite, type, flags, 0, nullptr, kSendTimeoutCommand);
}

// Sends the frame of `param` after a store; returns the link status.
int32_t SendFrame(Frame frame, uint32_t channel) {
  if (frame == Frame::kRateSetup) frame = IsKLine(channel) ? Frame::kKLineSetup : Frame::kCanSetup;
  switch (frame) {
    case Frame::kKLineSetup:
      return SendIsoSetup(State().channels.ISO9141Setup);
    case Frame::kCanSetup:
      return SendCanRecord(channel, SetupDevice(channel));
    case Frame::kIso15765Setup:
      return SendCanRecord(channel, ChannelDevice(channel));
    case Frame::kLoopbackTrigger:
      return SendOptionFrame(
          kTypePlain,
          static_cast<uint8_t>((State().options.loopback_flag == 1 ? kLoopbackOn : 0) |
                               (State().options.msg_trigger_flag == 1 ? kMsgTriggerOn : 0)));
    case Frame::kBusErrorMsgs:
      return SendOptionFrame(kTypeSetup,
                             State().options.bus_error_msgs_flag == 1 ? kBusErrorMsgsOn : 0);
    case Frame::kAutomaticSuspend:
      return SendOptionFrame(
          kTypeSetup, State().options.automatic_suspend_flag == 0 ? kAutomaticSuspendOff : 0);
    case Frame::kRateSetup:
    case Frame::kNone:
      return STATUS_NOERROR;
  }
  return STATUS_NOERROR;
}

int32_t SendFrameOf(const Param& param, uint32_t channel) {
  return SendFrame(param.frame, channel);
}

const char* FailureTextOf(const Param& param, uint32_t channel) {
  if (IsKLine(channel) && param.kline_failure != nullptr) return param.kline_failure;
  if (IsSecondBus(channel) && param.second_bus_failure != nullptr) return param.second_bus_failure;
  return param.failure;
}

// The traces show the full 32-bit value as given, before it is cut.
void TraceSet(const Param& param, uint32_t value) {
  const SetTrace& trace = param.set_trace;
  if (trace.label == nullptr) return;
  switch (trace.form) {
    case kShowNothing:
      DbgMsg(kMsgApi, trace.label);
      return;
    case kShowDecimal:
      DbgMsgf(kMsgApi, "%s = %d", trace.label, static_cast<int>(value));
      return;
    case kShowHex:
      DbgMsgf(kMsgApi, "%s = %02X", trace.label, static_cast<unsigned>(value));
      return;
  }
}

int32_t RefuseChannel(const Param& param) {
  DbgMsgf(kMsgError, "Invalid channel ID for %s", param.name);
  return ERR_INVALID_CHANNEL_ID;
}

// --- the two ioctls -------------------------------------------------------------------

int32_t GetConfig(uint32_t channel, SCONFIG_LIST& list) {
  DbgMsg(kMsgApi, "  GET_CONFIG");
  for (uint32_t i = 0; i < list.NumOfParams; ++i) {
    SCONFIG& entry = list.ConfigPtr[i];
    const Param* param = FindParam(entry.Parameter);
    if (param == nullptr || param->id == CAN_MIXED_FORMAT || param->id == J1962_PINS) {
      DbgMsgf(kMsgError, "Requested Ioctl parameter (%ld) not supported",
              static_cast<long>(entry.Parameter));
      return ERR_NOT_SUPPORTED;
    }
    DbgMsgf(kMsgApi, "  %s", param->name);
    if (!Accepts(param->channels, channel)) return RefuseChannel(*param);
    entry.Value = GetValue(*param, channel);
  }
  return STATUS_NOERROR;
}

// One SET_CONFIG entry. Returns 0 to go on with the list (also after an
// entry that was skipped or whose frame could not be sent), otherwise the
// status that ends the call.
int32_t SetOne(uint32_t channel, const SCONFIG& entry) {
  const Param* param = FindParam(entry.Parameter);
  if (param == nullptr) {
    DbgMsgf(kMsgError, "Requested Ioctl parameter (%ld) value (%ld) not supported",
            static_cast<long>(entry.Parameter), static_cast<long>(entry.Value));
    return ERR_NOT_SUPPORTED;
  }
  TraceSet(*param, entry.Value);
  if (param->id == DATA_RATE && entry.Value == 0) {
    DbgMsg(kMsgError, "Invalid DATA_RATE");
    return STATUS_NOERROR;
  }
  if (!Accepts(param->channels, channel)) return RefuseChannel(*param);

  switch (param->id) {
    case FD_CAN_DATA_PHASE_RATE:
      if (entry.Value < CanSetupOfChannel(channel)->baud_rate) {
        DbgMsg(kMsgError, "Invalid FD_CAN_DATA_PHASE_RATE");
        return STATUS_NOERROR;
      }
      break;
    case FIVE_BAUD_MOD:
      return entry.Value == 0 ? STATUS_NOERROR : ERR_NOT_SUPPORTED;
    case J1962_PINS:
      if ((entry.Value & kJ1962PinsMask) != kJ1962Pins3And11) {
        DbgMsg(kMsgError, "Invalid pins for J1962_PINS");
        return ERR_PIN_INVALID;
      }
      return STATUS_NOERROR;  // the only pair there is: nothing to store
    default:
      break;
  }
  StoreValue(*param, channel, entry.Value);
  if (SendFrameOf(*param, channel) != STATUS_NOERROR && param->failure != nullptr) {
    DbgMsg(kMsgError, FailureTextOf(*param, channel));
  }
  return STATUS_NOERROR;
}

int32_t SetConfig(uint32_t channel, const SCONFIG_LIST& list) {
  DbgMsg(kMsgApi, "  SET_CONFIG");
  for (uint32_t i = 0; i < list.NumOfParams; ++i) {
    const int32_t rc = SetOne(channel, list.ConfigPtr[i]);
    if (rc != STATUS_NOERROR) return rc;
  }
  return STATUS_NOERROR;
}

}  // namespace

int32_t HandleConfigIoctl(uint32_t channel_id, uint8_t /*device*/, uint32_t ioctl_id, void* pInput,
                          void* /*pOutput*/) {
  auto* list = static_cast<SCONFIG_LIST*>(pInput);
  if (list == nullptr || (list->NumOfParams != 0 && list->ConfigPtr == nullptr)) {
    DbgMsg(kMsgError, "PassThruIoctl null parameter");
    return ERR_NULL_PARAMETER;
  }
  return ioctl_id == GET_CONFIG ? GetConfig(channel_id, *list) : SetConfig(channel_id, *list);
}

int32_t ResendChangedOptions() {
  const ConfigOptions& o = State().options;
  const bool changed[] = {o.loopback_flag == 1 || o.msg_trigger_flag == 1,
                          o.bus_error_msgs_flag == 1, o.automatic_suspend_flag == 0};
  const Frame frames[] = {Frame::kLoopbackTrigger, Frame::kBusErrorMsgs, Frame::kAutomaticSuspend};
  for (size_t i = 0; i < std::size(frames); ++i) {
    if (changed[i] && SendFrame(frames[i], 0) != STATUS_NOERROR) return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

}  // namespace orv
