// PassThruStartMsgFilter and PassThruStopMsgFilter: a filter goes to the
// adapter as three link frames (mask, pattern, flow control) in one batch,
// and the same frames are kept in the filter tables for the host-side
// lookups.
//
// Failure reporting: J2534 status codes, each failure with one 'E' message;
// a failure leaves the tables as they were. A message that does not fit a
// frame after conversion, and an empty mask on the ISO 9141 channel, are
// refused with ERR_INVALID_MSG before anything is sent.
#include <cstdint>
#include <cstring>
#include <optional>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"

namespace orv {
namespace {

constexpr uint32_t kMinFilterSize = 4;
constexpr uint8_t kFlowControlPci = 0x30;          // ISO 15765 flow control, continue to send
constexpr uint32_t kSetTxDataLength = 0x10000000;  // TxFlags: take ExtraDataIndex as length

enum FrameRole : uint8_t { kMask, kPattern, kFlow };

constexpr const char* kRoleName[] = {"mask", "pattern", "flow"};

bool IsKLine(uint32_t channel) {
  return channel == kChannelIso9141 || channel == kChannelIso14230;
}

bool IsIso15765(uint32_t channel) {
  return channel == kChannelIso15765 || channel == kChannelMsIso15765;
}

JMSG FilterFrame(uint32_t slot, uint8_t dev, uint8_t type) {
  JMSG frame{};
  frame.id = static_cast<uint8_t>(slot);
  frame.dev = dev;
  frame.op = kOpWrite;
  frame.type = type;
  return frame;
}

uint8_t CanFrameFlags(uint32_t tx_flags) {
  uint8_t flags = (tx_flags & CAN_29BIT_ID) != 0 ? 0x10 : 0;
  if ((tx_flags & CAN_FD_FORMAT) != 0) {
    flags |= 0x01;
    if ((tx_flags & CAN_FD_BRS) != 0) flags |= 0x02;
  }
  return flags;
}

// The message's bytes in link form: all of them on the K-line and for a
// 29-bit identifier, else without the two leading identifier bytes.
// ERR_INVALID_MSG when they do not fit the frame.
int32_t PutMessageBytes(uint32_t channel, const PASSTHRU_MSG& msg, JMSG& frame) {
  const bool kline = IsKLine(channel);
  const uint32_t skip = kline || (msg.TxFlags & CAN_29BIT_ID) != 0 ? 0 : 2;
  if (msg.DataSize < skip || msg.DataSize - skip > kJmsgDataSize) return ERR_INVALID_MSG;
  frame.flags = kline ? 0 : CanFrameFlags(msg.TxFlags);
  frame.size = static_cast<uint8_t>(msg.DataSize - skip);
  std::memcpy(frame.data, msg.Data + skip, frame.size);
  return STATUS_NOERROR;
}

// The flow frame: the flow-control message's identifier bytes followed by
// an ISO 15765 flow-control frame with the channel's block size and STmin,
// padded with zero bytes when the message asks for padding.
int32_t PutFlowBytes(const PASSTHRU_MSG& msg, const CAN_SETUP& setup, JMSG& frame,
                     std::optional<uint8_t>& tx_length_change) {
  const bool is29 = (msg.TxFlags & CAN_29BIT_ID) != 0;
  const uint32_t skip = is29 ? 0 : 2;
  uint32_t size = msg.DataSize - skip + 3;
  uint32_t padded = size;
  if ((msg.TxFlags & ISO15765_FRAME_PAD) != 0) {
    uint32_t tx_length = setup.iso15765_tx_data_length;
    if ((msg.TxFlags & kSetTxDataLength) != 0) {
      tx_length_change = static_cast<uint8_t>(msg.ExtraDataIndex);
      tx_length = *tx_length_change;
    }
    // Payload length as counted with a 4-byte identifier.
    auto payload = [&](uint32_t n) { return n + skip - 4; };
    while (payload(padded) < tx_length && !can_fd_valid_data_length(payload(padded))) ++padded;
  }
  if (padded > kJmsgDataSize) return ERR_INVALID_MSG;
  frame.flags = CanFrameFlags(msg.TxFlags);
  std::memcpy(frame.data, msg.Data + skip, msg.DataSize - skip);
  uint8_t* fc = frame.data + (msg.DataSize - skip);
  fc[0] = kFlowControlPci;
  fc[1] = setup.iso15765_block_size;
  fc[2] = setup.iso15765_separation_time;
  std::memset(frame.data + size, 0, padded - size);
  frame.size = static_cast<uint8_t>(padded);
  return STATUS_NOERROR;
}

int32_t FindFreeSlot(uint32_t channel) {
  const bool from_top =
      channel == kChannelCan || channel == kChannelMsCan || channel == kChannelIso9141;
  for (uint32_t i = 0; i < kFilterSlots; ++i) {
    const uint32_t slot = from_top ? kFilterSlots - 1 - i : i;
    if (!FilterSlotInUse(slot)) return static_cast<int32_t>(slot);
  }
  return -1;
}

// The argument checks of installation (steps before a slot is looked for).
int32_t CheckFilterMessages(uint32_t channel, const PASSTHRU_MSG& mask,
                            const PASSTHRU_MSG& pattern) {
  if (mask.DataSize != pattern.DataSize) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter mask and pattern not same length");
    return ERR_INVALID_MSG;
  }
  if (channel != kChannelIso9141 && mask.DataSize < kMinFilterSize) {
    DbgMsg(kMsgError,
           "PassThruStartMsgFilter mask and pattern less than the minimum data size (4)");
    return ERR_INVALID_MSG;
  }
  // An empty mask would be sent but leave the slot looking free, so a later
  // filter would overwrite it in the tables while the adapter keeps both.
  if (mask.DataSize == 0) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter mask and pattern empty");
    return ERR_INVALID_MSG;
  }
  return STATUS_NOERROR;
}

int32_t CheckFlowControlRequest(uint32_t channel, const PASSTHRU_MSG& mask,
                                const PASSTHRU_MSG* flow) {
  if (!IsIso15765(channel)) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter flow control filter on non-ISO15765 channel");
    return ERR_INVALID_CHANNEL_ID;
  }
  if (flow == nullptr) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter null flow control message pointer");
    return ERR_NULL_PARAMETER;
  }
  if (flow->DataSize != mask.DataSize) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter mask and flow control not same length");
    return ERR_INVALID_MSG;
  }
  return STATUS_NOERROR;
}

// Logs a protocol mismatch of one message (installation goes on), then
// fills its frame.
int32_t BuildFrame(uint32_t channel, FrameRole role, const PASSTHRU_MSG& msg, JMSG& frame,
                   std::optional<uint8_t>& tx_length_change) {
  if (VerifyProtocol(msg.ProtocolID, channel) == 0) {
    DbgMsgf(kMsgError,
            "PassThruStartMsgFilter %s filter protocol (%d) mismatch for channel ID (%d)",
            kRoleName[role], static_cast<int>(msg.ProtocolID), static_cast<int>(channel));
  }
  if (ChannelDevice(channel) == 0) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter invalid channel ID");
    return ERR_INVALID_CHANNEL_ID;
  }
  const int32_t rc = role == kFlow
                         ? PutFlowBytes(msg, *CanSetupOfChannel(channel), frame, tx_length_change)
                         : PutMessageBytes(channel, msg, frame);
  if (rc != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter message too long for a frame");
  }
  return rc;
}

void StoreSlot(uint32_t slot, uint32_t type, const JMSG (&frames)[3]) {
  State().filters.type[slot] = type;
  State().filters.mask[slot] = frames[kMask];
  State().filters.pattern[slot] = frames[kPattern];
  State().filters.flow[slot] = frames[kFlow];
}

int32_t CheckLinkAndChannel(uint32_t channel, const char* not_connected,
                            const char* channel_closed) {
  if (JmsgCheckConnection() != 0) {
    DbgMsg(kMsgError, not_connected);
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (!ChannelOpen(channel)) {
    DbgMsg(kMsgError, channel_closed);
    return ERR_DEVICE_NOT_CONNECTED;
  }
  return STATUS_NOERROR;
}

long PointerNumber(const void* p) {
  return static_cast<long>(reinterpret_cast<intptr_t>(p));
}

}  // namespace
}  // namespace orv

using namespace orv;

int32_t orv::api::StartMsgFilter(uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG* pMaskMsg,
                                 PASSTHRU_MSG* pPatternMsg, PASSTHRU_MSG* pFlowControlMsg,
                                 uint32_t* pFilterID) {
  if (const int32_t rc =
          CheckLinkAndChannel(ChannelID, "PassThruStartMsgFilter device not connected",
                              "PassThruStartMsgFilter invalid ChannelID");
      rc != STATUS_NOERROR) {
    return rc;
  }
  if (pMaskMsg == nullptr || pPatternMsg == nullptr || pFilterID == nullptr) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruStartMsgFilter(%ld, %ld, pMask(%ld), pPattern(%ld), pFlow(%ld), %ld)",
          static_cast<long>(ChannelID), static_cast<long>(FilterType), PointerNumber(pMaskMsg),
          PointerNumber(pPatternMsg), PointerNumber(pFlowControlMsg),
          static_cast<long>(*pFilterID));
  if (const int32_t rc = CheckFilterMessages(ChannelID, *pMaskMsg, *pPatternMsg);
      rc != STATUS_NOERROR) {
    return rc;
  }
  const int32_t slot = FindFreeSlot(ChannelID);
  if (slot < 0) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter exceeded filter limit");
    return ERR_EXCEEDED_LIMIT;
  }
  const bool flow_control = FilterType == FLOW_CONTROL_FILTER;
  if (flow_control) {
    if (const int32_t rc = CheckFlowControlRequest(ChannelID, *pMaskMsg, pFlowControlMsg);
        rc != STATUS_NOERROR) {
      return rc;
    }
  }

  const uint8_t dev = ChannelDevice(ChannelID);
  const auto uslot = static_cast<uint32_t>(slot);
  JMSG frames[3] = {FilterFrame(uslot, dev, kTypeMask), FilterFrame(uslot, dev, kTypePattern),
                    FilterFrame(uslot, dev, kTypeFlowControl)};
  std::optional<uint8_t> tx_length_change;
  const PASSTHRU_MSG* sources[3] = {pMaskMsg, pPatternMsg, pFlowControlMsg};
  const int built = flow_control ? 3 : 2;
  for (int role = 0; role < built; ++role) {
    const int32_t rc = BuildFrame(ChannelID, static_cast<FrameRole>(role), *sources[role],
                                  frames[role], tx_length_change);
    if (rc != STATUS_NOERROR) return rc;
  }
  // A padded flow-control message may set the channel's transmit length,
  // which then also governs transmission.
  if (tx_length_change) CanSetupOfChannel(ChannelID)->iso15765_tx_data_length = *tx_length_change;

  api::Ioctl(ChannelID, CLEAR_RX_BUFFER, nullptr, nullptr);
  if (JmsgSendMsgs(frames, 3, kSendTimeoutBus) != 0) {
    DbgMsg(kMsgError, "PassThruStartMsgFilter failed");
    return ERR_FAILED;
  }
  StoreSlot(uslot, FilterType, frames);
  *pFilterID = uslot;
  return STATUS_NOERROR;
}

int32_t orv::api::StopMsgFilter(uint32_t ChannelID, uint32_t FilterID) {
  if (const int32_t rc =
          CheckLinkAndChannel(ChannelID, "PassThruStopMsgFilter device not connected",
                              "PassThruStopMsgFilter invalid ChannelID");
      rc != STATUS_NOERROR) {
    return rc;
  }
  if (FilterID >= kFilterSlots) {
    DbgMsg(kMsgError, "PassThruStopMsgFilter invalid filter ID");
    return ERR_INVALID_FILTER_ID;
  }
  DbgMsgf(kMsgApi, "PassThruStopMsgFilter(%ld, %ld)", static_cast<long>(ChannelID),
          static_cast<long>(FilterID));
  const uint8_t dev = ChannelDevice(ChannelID);
  if (dev == 0) {
    DbgMsg(kMsgError, "PassThruStopMsgFilter invalid channel ID");
    return ERR_INVALID_CHANNEL_ID;
  }
  const JMSG frames[3] = {FilterFrame(FilterID, dev, kTypeMask),
                          FilterFrame(FilterID, dev, kTypePattern),
                          FilterFrame(FilterID, dev, kTypeFlowControl)};
  api::Ioctl(ChannelID, CLEAR_RX_BUFFER, nullptr, nullptr);
  if (JmsgSendMsgs(frames, 3, kSendTimeoutBus) != 0) {
    DbgMsg(kMsgError, "PassThruStopMsgFilter failed");
    return ERR_FAILED;
  }
  StoreSlot(FilterID, 0, frames);
  return STATUS_NOERROR;
}
