// PassThruConnect and PassThruDisconnect: protocol-ID mapping, the channel
// setup records' connect values, the setup, connect and disconnect frames,
// and stopping the channel's periodic messages and filters through their
// own operations.
//
// Failure reporting: J2534 status codes with an 'E' message; a setup frame
// that cannot be sent is only logged, a connect or disconnect frame that
// cannot be sent gives ERR_FAILED.
#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/call_sync.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "passthru/rx_queues.h"
#include "platform/platform.h"

namespace orv {
namespace {

constexpr uint32_t kSecondInterfaceFlag = 0x80000000;  // CAN / ISO 15765 on the second bus
constexpr uint32_t kKLineFlag40 = 0x20000000;          // carried in init_type bit 0x40
constexpr uint8_t kConnectFdFlag = 0x20;
constexpr uint32_t kDisconnectSettleMs = 50;

constexpr uint32_t kFdDataPhaseRate = 2000000;
constexpr uint8_t kSamplePointPercent = 80;
constexpr uint8_t kSyncJumpWidthPercent = 20;

// J2534 and J2534-2 protocol IDs onto the six channels; later rules see
// the result of earlier ones, other values stay as they are.
uint32_t MapProtocolId(uint32_t protocol, uint32_t flags) {
  if ((flags & kSecondInterfaceFlag) != 0) {
    if (protocol == CAN) {
      protocol = MSCAN;
    } else if (protocol == ISO15765) {
      protocol = MSISO15765;
    }
  }
  switch (protocol) {
    case CAN_PS:
      return MSCAN;
    case ISO15765_PS:
      return MSISO15765;
    case CAN_CH1:
    case FD_CAN_CH1:
      return CAN;
    case ISO15765_CH1:
    case FD_ISO15765_CH1:
      return ISO15765;
    case CAN_CH2:
    case FD_CAN_CH2:
      return MSCAN;
    case ISO15765_CH2:
    case FD_ISO15765_CH2:
      return MSISO15765;
    default:
      return protocol;
  }
}

bool IsUnsupportedProtocol(uint32_t protocol) {
  switch (protocol) {
    case J1850VPW:
    case J1850PWM:
    case SCI_A_ENGINE:
    case SCI_A_TRANS:
    case SCI_B_ENGINE:
    case SCI_B_TRANS:
      return true;
    default:
      return false;
  }
}

void SetCanConnectValues(CAN_SETUP& s, uint32_t baud_rate) {
  s.baud_rate = baud_rate;
  s.fd_baud_rate = kFdDataPhaseRate;
  s.interframe_delay = 0;
  s.bit_sample_point_percent = kSamplePointPercent;
  s.sync_jump_width_percent = kSyncJumpWidthPercent;
}

void SetIso15765ConnectValues(CAN_SETUP& s, uint32_t baud_rate) {
  SetCanConnectValues(s, baud_rate);
  s.iso15765_block_size = 0;
  s.iso15765_separation_time = 0;
  s.iso15765_bs_tx_override = 0xFF;
  s.iso15765_stmin_tx_override = 0xFF;
  s.iso15765_wft_max = 0xFF;
  s.iso15765_tx_data_length = 8;
  s.termination = 0;
  s.iso15765_pad_value = 0xCC;
}

// K-line connect values; p5_min and p5_max are left as they are.
void SetKLineConnectValues(ISO_SETUP& s, uint32_t baud_rate, uint32_t flags) {
  s.baud_rate = baud_rate;
  s.init_address = 0x33;
  s.init_type = static_cast<uint8_t>(((flags & kKLineFlag40) != 0 ? 0x40 : 0) |
                                     ((flags & ISO9141_NO_CHECKSUM) != 0 ? 0x80 : 0));
  s.p1_min = 0;
  s.p1_max = 20;
  s.p2_min = 25;
  s.p2_max = 50;
  s.p3_min = 55;
  s.p3_max = 5000;
  s.p4_min = 5;
  s.p4_max = 20;
  s.w0_min = 5;
  s.w0_max = 300;
  s.w1_min = 0;
  s.w1_max = 300;
  s.w2_min = 0;
  s.w2_max = 20;
  s.w3_min = 0;
  s.w3_max = 20;
  s.w4_min = 25;
  s.w4_max = 50;
  s.w5_min = 300;
  s.w5_max = 500;
  s.tini_l = 25;
  s.twup = 50;
  s.parity = 0;
  s.data_bits = 8;
}

void EmptyQueueOf(uint32_t channel) {
  RxQueue queue{};
  if (RxQueueOfChannel(channel, &queue)) RxQueueReset(queue);
}

// Per channel: remember the connect flags, empty the queue, set the setup
// record's connect values and send it (a failure is only logged).
void PrepareChannel(uint32_t channel, uint32_t flags, uint32_t baud_rate) {
  RxQueue queue{};
  RxQueueOfChannel(channel, &queue);
  *queue.flags = flags;
  EmptyQueueOf(channel);
  switch (channel) {
    case kChannelIso9141:
    case kChannelIso14230:
      State().channels.ISO9141NoChecksum = (flags & ISO9141_NO_CHECKSUM) != 0 ? 1 : 0;
      SetKLineConnectValues(State().channels.ISO9141Setup, baud_rate, flags);
      if (SendIsoSetup(State().channels.ISO9141Setup) != 0)
        DbgMsg(kMsgError, "Cannot set ISO9141 parameters");
      return;
    case kChannelCan:
      SetCanConnectValues(State().channels.CANSetup, baud_rate);
      if (SendCanSetup(kDevCan1, State().channels.CANSetup, 0) != 0)
        DbgMsg(kMsgError, "Cannot set CAN DATA_RATE");
      return;
    case kChannelIso15765:
      SetIso15765ConnectValues(State().channels.CANSetup, baud_rate);
      if (SendCanSetup(kDevCan1, State().channels.CANSetup, 0) != 0) {
        DbgMsg(kMsgError, "Cannot set ISO1575 DATA_RATE");
      }
      return;
    case kChannelMsCan:
      SetCanConnectValues(State().channels.MSCANSetup, baud_rate);
      if (SendCanSetup(kDevCan2, State().channels.MSCANSetup, 0) != 0) {
        DbgMsg(kMsgError, "Cannot set MSCAN DATA_RATE");
      }
      return;
    case kChannelMsIso15765:
      SetIso15765ConnectValues(State().channels.MSCANSetup, baud_rate);
      if (SendCanSetup(kDevCan2, State().channels.MSCANSetup, 0) != 0) {
        DbgMsg(kMsgError, "Cannot set MSISO15765 DATA_RATE");
      }
      return;
    default:
      return;
  }
}

// Stops the periodic messages and filters of `dev` through their own
// operations. `only_running` limits the periodic stops to running entries.
void StopChannelTraffic(uint32_t channel, uint8_t dev, bool only_running) {
  for (uint32_t i = 0; i < kPeriodicEntries; ++i) {
    const JMSG& entry = State().periodic.entries[i];
    if (entry.dev == dev && (!only_running || entry.size != 0)) {
      api::StopPeriodicMsg(channel, i);
    }
  }
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (State().filters.mask[slot].dev == dev && FilterSlotInUse(slot)) {
      api::StopMsgFilter(channel, slot);
    }
  }
}

}  // namespace
}  // namespace orv

using namespace orv;

int32_t orv::api::Connect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                          uint32_t* pChannelID) {
  if ((Flags & ORV_CONNECT_NO_POPUPS) != 0) Link().fSuppressPopups = 1;
  if (const int32_t rc = JmsgCheckConnection(); rc != 0) return rc;
  if (pChannelID == nullptr) {
    DbgMsg(kMsgError, "PassThruConnect null pointer to channel ID");
    return ERR_NULL_PARAMETER;
  }
  if (!IsKnownDeviceId(DeviceID)) return ERR_INVALID_DEVICE_ID;
  const uint32_t channel = MapProtocolId(ProtocolID, Flags);
  if (ChannelOpen(channel)) {
    DbgMsgf(kMsgError, "PassThruConnect channel %ld in use", static_cast<long>(channel));
    return ERR_CHANNEL_IN_USE;
  }
  *pChannelID = 0;
  const uint8_t connect_flags = (Flags & CAN_FD_ENABLE) != 0 ? kConnectFdFlag : 0;
  DbgMsgf(kMsgApi, "PassThruConnect(%ld, %ld, %08X, %ld, pChID)", static_cast<long>(DeviceID),
          static_cast<long>(channel), static_cast<unsigned>(Flags), static_cast<long>(BaudRate));
  if (channel == 0 || channel > MSISO15765) {
    DbgMsgf(kMsgError, "PassThruConnect invalid protocol ID (%ld)", static_cast<long>(channel));
    return ERR_INVALID_PROTOCOL_ID;
  }
  if (IsUnsupportedProtocol(channel)) {
    DbgMsg(kMsgError, "PassThruConnect protocol not supported");
    return ERR_NOT_SUPPORTED;
  }
  PrepareChannel(channel, Flags, BaudRate);

  const uint8_t dev = ChannelDevice(channel);
  const int32_t rc =
      JmsgSendCmd(dev, kOpStart, kTypePlain, connect_flags, 0, nullptr, kSendTimeoutCommand);
  if (rc != 0) {
    DbgMsgf(kMsgError, "PassThruConnect: JmsgSendCmd returned %ld", static_cast<long>(rc));
    return ERR_FAILED;
  }
  *pChannelID = channel;
  State().channels.ChannelStatus |= ChannelBit(channel);
  // Whatever the adapter may still hold for this device from an earlier
  // connect is stopped, also periodic entries that are no longer running.
  StopChannelTraffic(channel, dev, /*only_running=*/false);
  return STATUS_NOERROR;
}

int32_t orv::api::Disconnect(uint32_t ChannelID) {
  if (JmsgCheckConnection() != 0) {
    DbgMsg(kMsgError, "PassThruDisconnect device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (!ChannelOpen(ChannelID)) {
    DbgMsgf(kMsgError, "PassThruDisconnect invalid ChannelID (%ld)", static_cast<long>(ChannelID));
    return ERR_DEVICE_NOT_CONNECTED;
  }
  DbgMsgf(kMsgApi, "PassThruDisconnect(%ld)", static_cast<long>(ChannelID));
  const uint8_t dev = ChannelDevice(ChannelID);
  if (dev == 0) {
    DbgMsg(kMsgError, "PassThruDisconnect invalid channel ID");
    return ERR_INVALID_CHANNEL_ID;
  }
  StopChannelTraffic(ChannelID, dev, /*only_running=*/true);
  State().channels.ChannelStatus &= ~ChannelBit(ChannelID);
  const int32_t rc = JmsgSendCmd(dev, kOpStop, kTypePlain, 0, 0, nullptr, kSendTimeoutCommand);
  if (rc != 0) {
    DbgMsgf(kMsgError, "PassThruDisconnect: JmsgSendCmd returned %ld", static_cast<long>(rc));
    return ERR_FAILED;
  }
  // Let the adapter finish what it was sending and file or drop it.
  SleepReleasingState(kDisconnectSettleMs);
  JmsgReceiveMsgs();
  return STATUS_NOERROR;
}
