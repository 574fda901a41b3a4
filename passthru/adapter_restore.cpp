// Setting the adapter up again after the link was lost and the port
// reopened. An adapter that was unplugged and plugged in again (or power
// cycled) starts with no channels, filters or periodic messages, while the
// library still holds them as open: without this, every later write would
// go to a channel the adapter does not have and still report success.
//
// What is sent: the changed device options, then per open channel its
// setup record, its connect frame, its filters' frames and its periodic
// messages, each exactly as last sent. Suspended periodic messages run
// again (the adapter's start-up state).
#include <cstdint>

#include "link/jmsg.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/ioctl_handlers.h"
#include "passthru/library_state.h"
#include "passthru/periodic.h"
#include "passthru/rx_queues.h"

namespace orv {

namespace {

constexpr uint8_t kConnectFdFlag = 0x20;
constexpr uint32_t kChannels[] = {kChannelIso9141,  kChannelIso14230, kChannelCan,
                                  kChannelIso15765, kChannelMsCan,    kChannelMsIso15765};

bool IsIso15765(uint32_t channel) {
  return channel == kChannelIso15765 || channel == kChannelMsIso15765;
}

int32_t SendSetupRecord(uint32_t channel) {
  const CAN_SETUP* can = CanSetupOfChannel(channel);
  if (can == nullptr) return SendIsoSetup(State().channels.ISO9141Setup);
  if (SendCanSetup(SetupDevice(channel), *can, 0) != STATUS_NOERROR) return ERR_FAILED;
  // The ISO 15765 parameters travel in the record sent to the channel's
  // own device.
  if (IsIso15765(channel)) return SendCanSetup(ChannelDevice(channel), *can, 0);
  return STATUS_NOERROR;
}

int32_t SendConnect(uint32_t channel) {
  RxQueue queue{};
  const bool fd = RxQueueOfChannel(channel, &queue) && (*queue.flags & CAN_FD_ENABLE) != 0;
  return JmsgSendCmd(ChannelDevice(channel), kOpStart, kTypePlain, fd ? kConnectFdFlag : 0, 0,
                     nullptr, kSendTimeoutCommand);
}

int32_t SendFilters(uint8_t dev) {
  const FilterTables& t = State().filters;
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (!FilterSlotInUse(slot) || t.mask[slot].dev != dev) continue;
    const JMSG frames[3] = {t.mask[slot], t.pattern[slot], t.flow[slot]};
    if (JmsgSendMsgs(frames, 3, kSendTimeoutBus) != STATUS_NOERROR) return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

int32_t SendPeriodicMessages(uint8_t dev) {
  for (const JMSG& entry : State().periodic.entries) {
    if (entry.size == 0 || entry.dev != dev) continue;
    if (JmsgSendMsgs(&entry, 1, kSendTimeoutBus) != STATUS_NOERROR) return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

int32_t RestoreChannel(uint32_t channel) {
  const uint8_t dev = ChannelDevice(channel);
  if (SendSetupRecord(channel) != STATUS_NOERROR || SendConnect(channel) != STATUS_NOERROR ||
      SendFilters(dev) != STATUS_NOERROR || SendPeriodicMessages(dev) != STATUS_NOERROR) {
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

int32_t RestoreAdapter() {
  if (State().channels.ChannelStatus == 0) return STATUS_NOERROR;
  if (ResendChangedOptions() != STATUS_NOERROR) return ERR_FAILED;
  for (const uint32_t channel : kChannels) {
    if (ChannelOpen(channel) && RestoreChannel(channel) != STATUS_NOERROR) return ERR_FAILED;
  }
  return STATUS_NOERROR;
}

}  // namespace

int32_t (*AdapterRestorer())() {
  return &RestoreAdapter;
}

}  // namespace orv
