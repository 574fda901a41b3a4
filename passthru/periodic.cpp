// Periodic messages: start, update, stop, suspend and resume. Each call
// sends one frame to the adapter (which does the repeating) and keeps the
// last frame sent per message in `State().periodic.entries`.
//
// Failure reporting: J2534 status codes with one 'E' message each. A
// message that does not fit a frame after conversion, or is shorter than
// its identifier bytes, is refused with ERR_INVALID_MSG before anything is
// written or sent; a stop with an ID above 99 answers ERR_EXCEEDED_LIMIT
// and touches nothing.
#include "passthru/periodic.h"

#include <cstring>
#include <optional>

#include "link/discovery.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"

namespace orv {

void PeriodicTable::Reset() {
  std::memset(entries, 0, sizeof entries);
}

namespace {

constexpr uint8_t kSuspendFlag = 0x10;
constexpr uint8_t kResumeFlag = 0x20;
constexpr uint32_t kSetTxDataLength = 0x10000000;  // TxFlags: take ExtraDataIndex as length

// The texts of one operation (see the table of the opening checks).
struct OpTexts {
  const char* not_connected;
  const char* channel_closed;
  const char* no_device;
  const char* send_failed;
};

constexpr OpTexts kStartTexts{
    "PassThruStartPeriodic device not connected", "PassThruStartPeriodicMsg invalid ChannelID",
    "PassThruStartPeriodic invalid channel ID", "PassThruStartPeriodicMsg failed"};
constexpr OpTexts kUpdateTexts{
    "PassThruUpdatePeriodic device not connected", "PassThruUpdatePeriodicMsg invalid ChannelID",
    "PassThruUpdatePeriodicMsg invalid channel ID", "PassThruUpdatePeriodicMsg failed"};
constexpr OpTexts kStopTexts{
    "PassThruStopPeriodic device not connected", "PassThruStopPeriodicMsg invalid ChannelID",
    "PassThruStopPeriodic invalid channel ID", "PassThruStopPeriodicMsg failed"};
constexpr OpTexts kSuspendTexts{
    "PassThruSuspendPeriodic device not connected", "PassThruSuspendPeriodic invalid ChannelID",
    "PassThruSuspendPeriodic invalid channel ID", "PassThruSuspendPeriodic failed"};
constexpr OpTexts kResumeTexts{
    "PassThruResumePeriodic device not connected", "PassThruResumePeriodic invalid ChannelID",
    "PassThruResumePeriodic invalid channel ID", "PassThruResumePeriodic failed"};

// Link check and channel bit, the first two steps of every operation.
int32_t CheckLinkAndChannel(uint32_t channel, const OpTexts& texts) {
  if (JmsgCheckConnection() != 0) {
    DbgMsg(kMsgError, texts.not_connected);
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (!ChannelOpen(channel)) {
    DbgMsg(kMsgError, texts.channel_closed);
    return ERR_DEVICE_NOT_CONNECTED;
  }
  return STATUS_NOERROR;
}

JMSG ControlFrame(uint8_t id, uint8_t dev, uint8_t flags, uint8_t type) {
  JMSG frame{};
  frame.id = id;
  frame.dev = dev;
  frame.op = kOpWrite;
  frame.flags = flags;
  frame.type = type;
  return frame;
}

void PutInterval(JMSG& frame, uint32_t interval_ms) {
  for (int i = 0; i < 4; ++i) frame.timestamp[i] = static_cast<uint8_t>(interval_ms >> (8 * i));
}

uint8_t CanFdFlags(uint32_t tx_flags) {
  if ((tx_flags & CAN_FD_FORMAT) == 0) return 0;
  return (tx_flags & CAN_FD_BRS) != 0 ? 0x03 : 0x01;
}

bool Is29Bit(const PASSTHRU_MSG& msg) {
  return (msg.TxFlags & CAN_29BIT_ID) != 0;
}

// The conversion of a message into the frame's flags, size and data, per
// channel family. `tx_length_change` receives the transmit data length a
// padded message asks the channel's setup record to take (applied by the
// caller only once the message is accepted).
int32_t ConvertKLine(const PASSTHRU_MSG& msg, JMSG& frame) {
  // An empty message would leave the entry looking free while the adapter
  // holds it, so it is refused like one that does not fit.
  if (msg.DataSize == 0 || msg.DataSize > kJmsgDataSize) return ERR_INVALID_MSG;
  frame.flags = 0;
  frame.size = static_cast<uint8_t>(msg.DataSize);
  std::memcpy(frame.data, msg.Data, msg.DataSize);
  return STATUS_NOERROR;
}

int32_t ConvertCan(const PASSTHRU_MSG& msg, JMSG& frame) {
  const uint32_t id_bytes = Is29Bit(msg) ? 4 : 2;
  if (msg.DataSize < 4) return ERR_INVALID_MSG;
  const uint32_t size = msg.DataSize - (4 - id_bytes);
  if (size > kJmsgDataSize) return ERR_INVALID_MSG;
  frame.flags = static_cast<uint8_t>((Is29Bit(msg) ? 0x10 : 0) | CanFdFlags(msg.TxFlags));
  frame.size = static_cast<uint8_t>(size);
  std::memcpy(frame.data, msg.Data + (4 - id_bytes), size);
  return STATUS_NOERROR;
}

// Single ISO 15765 frame: identifier (and extended address), protocol
// byte(s), payload, optional padding with the channel's pad value.
int32_t ConvertIso15765(const PASSTHRU_MSG& msg, const CAN_SETUP& setup, JMSG& frame,
                        std::optional<uint8_t>& tx_length_change) {
  const bool extended = (msg.TxFlags & ISO15765_ADDR_TYPE) != 0;
  const uint32_t id_bytes = Is29Bit(msg) ? 4 : 2;       // L AND 6
  const uint32_t head = id_bytes + (extended ? 1 : 0);  // L
  // Beyond the Data field the payload arithmetic below would wrap round.
  if (msg.DataSize < 4 + (extended ? 1u : 0u) || msg.DataSize > PASSTHRU_MSG_DATA_SIZE) {
    return ERR_INVALID_MSG;
  }
  const uint32_t payload = msg.DataSize - 4 - (extended ? 1 : 0);  // N
  const bool escape = msg.DataSize >= 12;
  uint32_t size = head + (escape ? 2 : 1) + payload;

  uint32_t tx_length = setup.iso15765_tx_data_length;
  uint32_t padded = size;
  if ((msg.TxFlags & ISO15765_FRAME_PAD) != 0) {
    if ((msg.TxFlags & kSetTxDataLength) != 0) {
      tx_length_change = static_cast<uint8_t>(msg.ExtraDataIndex);
      tx_length = *tx_length_change;
    }
    while (padded < tx_length + id_bytes && !can_fd_valid_data_length(padded - id_bytes)) {
      ++padded;
    }
  }
  if (padded > kJmsgDataSize) return ERR_INVALID_MSG;

  frame.flags = static_cast<uint8_t>((Is29Bit(msg) ? 0x10 : 0) | CanFdFlags(msg.TxFlags) |
                                     (extended ? 0x20 : 0));
  std::memcpy(frame.data, msg.Data + (4 - id_bytes), head);
  uint32_t at = head;
  if (escape) {
    frame.data[at++] = 0x00;
    frame.data[at++] = static_cast<uint8_t>(payload);
  } else {
    frame.data[at++] = static_cast<uint8_t>(payload);
  }
  std::memcpy(frame.data + at, msg.Data + 4 + (extended ? 1 : 0), payload);
  std::memset(frame.data + size, setup.iso15765_pad_value, padded - size);
  frame.size = static_cast<uint8_t>(padded);
  return STATUS_NOERROR;
}

// Fills dev, flags, size and data of a periodic frame for `channel`.
// ERR_INVALID_CHANNEL_ID for an ID without a device code, ERR_INVALID_MSG
// for a message that does not fit; the frame's data is then meaningless.
int32_t ConvertMessage(uint32_t channel, const PASSTHRU_MSG& msg, JMSG& frame,
                       std::optional<uint8_t>& tx_length_change) {
  frame.dev = ChannelDevice(channel);
  switch (channel) {
    case kChannelIso9141:
    case kChannelIso14230:
      return ConvertKLine(msg, frame);
    case kChannelCan:
    case kChannelMsCan:
      return ConvertCan(msg, frame);
    case kChannelIso15765:
    case kChannelMsIso15765:
      return ConvertIso15765(msg, *CanSetupOfChannel(channel), frame, tx_length_change);
    default:
      return ERR_INVALID_CHANNEL_ID;
  }
}

// Converts, reports a refusal, and on acceptance applies a requested
// transmit data length to the channel's setup record.
int32_t BuildMessageFrame(uint32_t channel, const PASSTHRU_MSG& msg, JMSG& frame,
                          const OpTexts& texts, const char* too_long_text) {
  std::optional<uint8_t> tx_length_change;
  const int32_t rc = ConvertMessage(channel, msg, frame, tx_length_change);
  if (rc == ERR_INVALID_CHANNEL_ID) {
    DbgMsg(kMsgError, texts.no_device);
    return rc;
  }
  if (rc != STATUS_NOERROR) {
    DbgMsg(kMsgError, too_long_text);
    return rc;
  }
  if (tx_length_change) CanSetupOfChannel(channel)->iso15765_tx_data_length = *tx_length_change;
  return STATUS_NOERROR;
}

int32_t Send(const JMSG& frame, const OpTexts& texts) {
  if (JmsgSendMsgs(&frame, 1, kSendTimeoutBus) != 0) {
    DbgMsg(kMsgError, texts.send_failed);
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

int32_t FirstFreeEntry() {
  for (uint32_t i = 0; i < kPeriodicEntries; ++i) {
    if (State().periodic.entries[i].size == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

// Suspend and resume: a header-only frame naming the channel's device.
int32_t SendSuspendOrResume(uint32_t channel, uint8_t flags, const OpTexts& texts,
                            const char* name) {
  if (const int32_t rc = CheckLinkAndChannel(channel, texts); rc != STATUS_NOERROR) return rc;
  DbgMsgf(kMsgApi, "%s(%ld, %ld)", name, static_cast<long>(channel), 0L);
  const uint8_t dev = ChannelDevice(channel);
  if (dev == 0) {
    DbgMsg(kMsgError, texts.no_device);
    return ERR_INVALID_CHANNEL_ID;
  }
  return Send(ControlFrame(0, dev, flags, kTypePlain), texts);
}

}  // namespace

}  // namespace orv

using namespace orv;

int32_t orv::api::StartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pMsgID,
                                   uint32_t TimeInterval) {
  if (const int32_t rc = CheckLinkAndChannel(ChannelID, kStartTexts); rc != STATUS_NOERROR) {
    return rc;
  }
  if (pMsg == nullptr || pMsgID == nullptr) {
    DbgMsg(kMsgError, "PassThruStartPeriodic null pointer to message or message ID");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruStartPeriodicMsg(%ld, pMsg, %ld, %ld)", static_cast<long>(ChannelID),
          static_cast<long>(*pMsgID), static_cast<long>(TimeInterval));

  JMSG frame = ControlFrame(0, 0, 0, kTypePeriodic);
  PutInterval(frame, TimeInterval);
  const int32_t entry = FirstFreeEntry();
  if (entry < 0) {
    DbgMsg(kMsgError, "PassThruStartPeriodic exceeded periodic message limit");
    return ERR_EXCEEDED_LIMIT;
  }
  frame.id = static_cast<uint8_t>(entry);

  // An 11-bit identifier carries the two top bits of its first byte into
  // the byte that goes on the wire; the caller sees the changed byte. The
  // change is made on a copy first so a refused message stays untouched.
  PASSTHRU_MSG msg = *pMsg;
  if (!Is29Bit(msg)) msg.Data[2] = static_cast<uint8_t>(msg.Data[2] | (msg.Data[0] & 0xC0));
  if (const int32_t rc = BuildMessageFrame(ChannelID, msg, frame, kStartTexts,
                                           "PassThruStartPeriodicMsg invalid message size");
      rc != STATUS_NOERROR) {
    return rc;
  }
  pMsg->Data[2] = msg.Data[2];
  if (const int32_t rc = Send(frame, kStartTexts); rc != STATUS_NOERROR) return rc;
  State().periodic.entries[entry] = frame;
  *pMsgID = static_cast<uint32_t>(entry);
  return STATUS_NOERROR;
}

int32_t orv::api::UpdatePeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t MsgID,
                                    uint32_t TimeInterval) {
  if (const int32_t rc = CheckLinkAndChannel(ChannelID, kUpdateTexts); rc != STATUS_NOERROR) {
    return rc;
  }
  if (pMsg == nullptr) {
    DbgMsg(kMsgError, "PassThruUpdatePeriodicMsg null pointer to message");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruUpdatePeriodicMsg(%ld, pMsg, %ld, %ld)", static_cast<long>(ChannelID),
          static_cast<long>(MsgID), static_cast<long>(TimeInterval));

  JMSG frame = ControlFrame(static_cast<uint8_t>(MsgID), 0, 0, kTypePeriodic);
  PutInterval(frame, TimeInterval);
  if (MsgID >= kPeriodicEntries) {
    DbgMsg(kMsgError, "PassThruUpatePeriodicMsg exceeded periodic message limit");
    return ERR_EXCEEDED_LIMIT;
  }
  if (const int32_t rc = BuildMessageFrame(ChannelID, *pMsg, frame, kUpdateTexts,
                                           "PassThruUpdatePeriodicMsg invalid message size");
      rc != STATUS_NOERROR) {
    return rc;
  }
  if (const int32_t rc = Send(frame, kUpdateTexts); rc != STATUS_NOERROR) return rc;
  State().periodic.entries[MsgID] = frame;
  return STATUS_NOERROR;
}

int32_t orv::api::StopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID) {
  if (const int32_t rc = CheckLinkAndChannel(ChannelID, kStopTexts); rc != STATUS_NOERROR) {
    return rc;
  }
  DbgMsgf(kMsgApi, "PassThruStopPeriodicMsg(%ld, %ld)", static_cast<long>(ChannelID),
          static_cast<long>(MsgID));
  if (MsgID >= kPeriodicEntries) {
    DbgMsg(kMsgError, "PassThruStopPeriodicMsg exceeded periodic message limit");
    return ERR_EXCEEDED_LIMIT;
  }
  const uint8_t dev = ChannelDevice(ChannelID);
  if (dev == 0) {
    DbgMsg(kMsgError, kStopTexts.no_device);
    return ERR_INVALID_CHANNEL_ID;
  }
  // A stop frame: size 0 and interval 0. Stored, it frees the entry and
  // still names the channel's device.
  const JMSG frame = ControlFrame(static_cast<uint8_t>(MsgID), dev, 0, kTypePeriodic);
  if (const int32_t rc = Send(frame, kStopTexts); rc != STATUS_NOERROR) return rc;
  State().periodic.entries[MsgID] = frame;
  return STATUS_NOERROR;
}

int32_t orv::api::SuspendPeriodic(uint32_t ChannelID) {
  return SendSuspendOrResume(ChannelID, kSuspendFlag, kSuspendTexts, "PassThruSuspendPeriodic");
}

int32_t orv::api::ResumePeriodic(uint32_t ChannelID) {
  return SendSuspendOrResume(ChannelID, kResumeFlag, kResumeTexts, "PassThruResumePeriodic");
}
