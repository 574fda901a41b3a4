// The PassThruIoctl entry (link check, trace, channel test, device code,
// dispatch) and the two buffer ioctls CLEAR_TX_BUFFER and CLEAR_RX_BUFFER.
// GET_CONFIG / SET_CONFIG go to HandleConfigIoctl, the device and channel
// ioctls to HandleDeviceIoctl (passthru/ioctl_handlers.h).
//
// Failure reporting: J2534 status codes, each failure with one 'E' message.
#include <algorithm>
#include <array>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/channel_table.h"
#include "passthru/ioctl_handlers.h"
#include "passthru/rx_queues.h"

namespace orv {
namespace {

// Ioctls that do not need an open channel (device-wide ones, and IDs that
// end as "not supported" whatever the channel).
constexpr std::array<uint32_t, 21> kSkipChannelTest{
    0x03,    0x0E,    0x800C,  0x800D,  0x10000, 0x10001, 0x10002,
    0x10003, 0x10004, 0x10005, 0x10006, 0x10007, 0x10100, 0x10101,
    0x10102, 0x10300, 0x10301, 0x10400, 0x10401, 0x10500, 0x10501,
};

// Ioctls handled by the device and channel ioctl handlers.
constexpr std::array<uint32_t, 20> kDeviceIoctls{
    0x03,    0x04,    0x05,    0x09,    0x0A,    0x0E,    0x800C,  0x800D,  0x10000, 0x10001,
    0x10002, 0x10005, 0x10100, 0x10101, 0x10102, 0x10200, 0x10300, 0x10301, 0x10400, 0x10401,
};

template <size_t N>
bool Contains(const std::array<uint32_t, N>& ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

int32_t ClearTxBuffer(uint32_t channel) {
  DbgMsg(kMsgApi, "  CLEAR_TX_BUFFER");
  // The adapter sends transmit frames at once; there is nothing held on
  // the host to discard.
  if (ChannelDevice(channel) != 0) return STATUS_NOERROR;
  DbgMsg(kMsgError, "Invalid channel ID for CLEAR_TX_BUFFER");
  return ERR_INVALID_CHANNEL_ID;
}

// Files what the adapter sent so far, asks the CAN device to drop what it
// holds (CAN-family channels), files again, then empties the channel's
// queue. The overflow indication survives.
int32_t ClearRxBuffer(uint32_t channel) {
  DbgMsg(kMsgApi, "  CLEAR_RX_BUFFER");
  JmsgReceiveMsgs();
  RxQueue queue{};
  if (!RxQueueOfChannel(channel, &queue)) {
    DbgMsg(kMsgError, "Invalid channel ID for CLEAR_RX_BUFFER");
    return ERR_INVALID_CHANNEL_ID;
  }
  const uint8_t setup_device = SetupDevice(channel);
  if (setup_device != kDevKLine) {
    const int32_t rc =
        JmsgSendCmd(setup_device, kOpStart, kTypeClearReceive, 0, 0, nullptr, kSendTimeoutCommand);
    if (rc != 0)
      DbgMsgf(kMsgError, "PassThruIoctl: JmsgSendCmd returned %ld", static_cast<long>(rc));
  }
  JmsgReceiveMsgs();
  RxQueueReset(queue);
  return STATUS_NOERROR;
}

bool ChannelTestSkipped(uint32_t channel, uint32_t ioctl_id) {
  return channel == 0 || Contains(kSkipChannelTest, ioctl_id);
}

}  // namespace
}  // namespace orv

using namespace orv;

int32_t orv::api::Ioctl(uint32_t ChannelID, uint32_t IoctlID, void* pInput, void* pOutput) {
  if (JmsgCheckConnection() != 0) {
    DbgMsg(kMsgError, "PassThruIoctl device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  DbgMsgf(kMsgApi, "PassThruIoctl(%ld, %ld, pInput, pOutput)", static_cast<long>(ChannelID),
          static_cast<long>(IoctlID));
  if (!ChannelTestSkipped(ChannelID, IoctlID) && !ChannelOpen(ChannelID)) {
    DbgMsg(kMsgError, "PassThruIoctl invalid ChannelID");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  const uint8_t device = ChannelDevice(ChannelID);
  switch (IoctlID) {
    case GET_CONFIG:
    case SET_CONFIG:
      return HandleConfigIoctl(ChannelID, device, IoctlID, pInput, pOutput);
    case CLEAR_TX_BUFFER:
      return ClearTxBuffer(ChannelID);
    case CLEAR_RX_BUFFER:
      return ClearRxBuffer(ChannelID);
    default:
      break;
  }
  if (Contains(kDeviceIoctls, IoctlID)) {
    return HandleDeviceIoctl(ChannelID, device, IoctlID, pInput, pOutput);
  }
  DbgMsg(kMsgError, "Ioctl function not supported");
  return ERR_NOT_SUPPORTED;
}

orv::api::CallKind orv::api::IoctlCallKind(uint32_t IoctlID) {
  return DeviceIoctlWaitsForAnswer(IoctlID) ? CallKind::kAnswerSlot : CallKind::kPlain;
}
