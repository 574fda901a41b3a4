// Receive queues: ring storage, routing of received frames by the filter
// lookups, overflow reporting, channel-stop and adapter-overflow reports.
#include "passthru/rx_queues.h"

#include <cstring>

#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"
#include "passthru/library_state.h"

namespace orv {

namespace {

// A queue together with what its overflow rule needs: the text and the
// channel bits that must be open for the loss to be reported (0: always).
struct QueueOwner {
  RxQueue queue;
  const char* overflow_text;
  uint32_t report_when_open;
};

template <uint32_t Slots>
RxQueue ViewOf(RxQueueStore<Slots>& store) {
  return {store.slots, Slots,           &store.count, &store.head,
          &store.tail, &store.overflow, &store.flags};
}

QueueOwner Iso15765Owner() {
  return {ViewOf(State().queues.iso15765), "ISO15765 buffer overflow", 0};
}
QueueOwner CanOwner() {
  return {ViewOf(State().queues.can), "CAN buffer overflow", ChannelBit(kChannelCan)};
}
QueueOwner MsIso15765Owner() {
  return {ViewOf(State().queues.ms_iso15765), "MSISO15765 buffer overflow", 0};
}
QueueOwner MsCanOwner() {
  return {ViewOf(State().queues.ms_can), "MSCAN buffer overflow", ChannelBit(kChannelMsCan)};
}
// The K-line queue serves both K-line channels, so a loss is reported while
// either of them is open: otherwise an ISO 14230 reader would never learn
// that frames were dropped.
QueueOwner Iso9141Owner() {
  return {ViewOf(State().queues.iso9141), "ISO9141 buffer overflow",
          ChannelBit(kChannelIso9141) | ChannelBit(kChannelIso14230)};
}

uint32_t Advance(uint32_t index, uint32_t capacity) {
  return index + 1 >= capacity ? 0 : index + 1;
}

void NoteOverflow(const QueueOwner& owner) {
  if (owner.report_when_open != 0 && (State().channels.ChannelStatus & owner.report_when_open) == 0)
    return;
  if (*owner.queue.overflow != 0) return;  // already reported, reader has not looked yet
  DbgMsg(kMsgError, owner.overflow_text);
  *owner.queue.overflow = 1;
}

void Enqueue(const QueueOwner& owner, const JMSG& frame) {
  const RxQueue& q = owner.queue;
  if (*q.count >= q.capacity) {
    NoteOverflow(owner);
    return;
  }
  q.slots[*q.head] = frame;
  *q.head = Advance(*q.head, q.capacity);
  *q.count += 1;
}

// One CAN interface: its ISO 15765 queue, its raw CAN queue and the device
// whose echoes enter the ISO 15765 queue without a filter.
void RouteCanFrame(const JMSG& frame, const QueueOwner& iso, const QueueOwner& can,
                   uint8_t iso_device) {
  const bool iso_echo = frame.type == kTypeBusMessage && frame.dev == iso_device;
  if (GetISOFlowFilterIndex(&frame) != -1 || GetISOPassFilterIndex(&frame) != -1 || iso_echo) {
    Enqueue(iso, frame);
  }
  if (GetPassFilterIndex(&frame) != -1) Enqueue(can, frame);
}

void OnChannelStop(uint8_t dev) {
  DbgMsg(kMsgLink, "JmsgReceiveMsgs received a JMSG_DEV_STOP message");
  // The channel whose device the report names; the K-line device names the
  // ISO 9141 channel only, the first of the two that share it.
  for (uint32_t channel :
       {kChannelIso9141, kChannelCan, kChannelIso15765, kChannelMsCan, kChannelMsIso15765}) {
    if (ChannelDevice(channel) == dev) {
      State().channels.ChannelStatus &= ~ChannelBit(channel);
      return;
    }
  }
}

void OnAdapterOverflow(const JMSG& frame) {
  DbgMsg(kMsgError, "Orvanta buffer overflow");
  if (frame.size == 0) return;  // names no device
  const uint8_t dev = frame.data[0];
  if (dev == kDevCan1 || dev == kDevIso15765_1) {
    State().queues.can.overflow = 1;
    State().queues.iso15765.overflow = 1;
  } else if (dev == kDevCan2 || dev == kDevIso15765_2) {
    State().queues.ms_can.overflow = 1;
    State().queues.ms_iso15765.overflow = 1;
  }
}

template <uint32_t Slots>
void ResetStore(RxQueueStore<Slots>& store) {
  std::memset(store.slots, 0, sizeof store.slots);
  store.count = store.head = store.tail = store.overflow = store.flags = 0;
}

const ReceiveSink kChannelSink{RouteReceivedFrame, OnChannelStop, OnAdapterOverflow};

}  // namespace

void RouteReceivedFrame(const JMSG& frame) {
  if (frame.op == kOpStop) {
    OnChannelStop(frame.dev);
    return;
  }
  if (frame.op != kOpRead) return;
  switch (frame.dev) {
    case kDevCan1:
    case kDevIso15765_1:
      RouteCanFrame(frame, Iso15765Owner(), CanOwner(), kDevIso15765_1);
      return;
    case kDevCan2:
    case kDevIso15765_2:
      RouteCanFrame(frame, MsIso15765Owner(), MsCanOwner(), kDevIso15765_2);
      return;
    case kDevKLine:
      Enqueue(Iso9141Owner(), frame);  // the read path filters K-line frames
      return;
    case kDevSystem:
      if (frame.flags & kFlagRefused) OnAdapterOverflow(frame);
      return;
    default:
      return;
  }
}

bool RxQueueOfChannel(uint32_t channel_id, RxQueue* queue) {
  switch (channel_id) {
    case kChannelIso9141:
    case kChannelIso14230:
      *queue = Iso9141Owner().queue;
      return true;
    case kChannelCan:
      *queue = CanOwner().queue;
      return true;
    case kChannelIso15765:
      *queue = Iso15765Owner().queue;
      return true;
    case kChannelMsCan:
      *queue = MsCanOwner().queue;
      return true;
    case kChannelMsIso15765:
      *queue = MsIso15765Owner().queue;
      return true;
    default:
      return false;
  }
}

void RxQueueDropTail(const RxQueue& q) {
  if (*q.count == 0) return;
  *q.tail = Advance(*q.tail, q.capacity);
  *q.count -= 1;
}

bool RxQueueTakeOverflow(const RxQueue& q) {
  if (*q.overflow == 0) return false;
  *q.overflow = 0;
  return true;
}

void RxQueueReset(const RxQueue& q) {
  *q.count = 0;
  *q.head = 0;
  *q.tail = 0;
}

void RxQueues::Reset() {
  ResetStore(iso15765);
  ResetStore(can);
  ResetStore(ms_iso15765);
  ResetStore(ms_can);
  ResetStore(iso9141);
}

const ReceiveSink& ChannelReceiveSink() {
  return kChannelSink;
}

}  // namespace orv
