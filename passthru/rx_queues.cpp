// Receive queues: ring storage, routing of received frames by the filter
// lookups, overflow reporting, channel-stop and adapter-overflow reports.
#include "passthru/rx_queues.h"

#include <cstring>

#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/filter_table.h"

namespace orv {

JMSG ISO15765Buffer[kRxQueueSlots];
uint32_t ISO15765BufferCount = 0, ISO15765HeadIndex = 0, ISO15765TailIndex = 0,
         ISO15765Overflow = 0, ISO15765Flags = 0;
JMSG CANBuffer[kRxQueueSlots];
uint32_t CANBufferCount = 0, CANHeadIndex = 0, CANTailIndex = 0, CANOverflow = 0, CANFlags = 0;
JMSG MSISO15765Buffer[kRxQueueSlots];
uint32_t MSISO15765BufferCount = 0, MSISO15765HeadIndex = 0, MSISO15765TailIndex = 0,
         MSISO15765Overflow = 0, MSISO15765Flags = 0;
JMSG MSCANBuffer[kRxQueueSlots];
uint32_t MSCANBufferCount = 0, MSCANHeadIndex = 0, MSCANTailIndex = 0, MSCANOverflow = 0,
         MSCANFlags = 0;
JMSG ISO9141Buffer[kKLineQueueSlots];
uint32_t ISO9141BufferCount = 0, ISO9141HeadIndex = 0, ISO9141TailIndex = 0, ISO9141Overflow = 0,
         ISO9141Flags = 0;

namespace {

// A queue together with what its overflow rule needs: the text and the
// channel bits that must be open for the loss to be reported (0: always).
struct QueueOwner {
  RxQueue queue;
  const char* overflow_text;
  uint32_t report_when_open;
};

constexpr QueueOwner kIso15765{
    {ISO15765Buffer, kRxQueueSlots, &ISO15765BufferCount, &ISO15765HeadIndex, &ISO15765TailIndex,
     &ISO15765Overflow, &ISO15765Flags},
    "ISO15765 buffer overflow",
    0};
constexpr QueueOwner kCan{{CANBuffer, kRxQueueSlots, &CANBufferCount, &CANHeadIndex, &CANTailIndex,
                           &CANOverflow, &CANFlags},
                          "CAN buffer overflow",
                          ChannelBit(kChannelCan)};
constexpr QueueOwner kMsIso15765{
    {MSISO15765Buffer, kRxQueueSlots, &MSISO15765BufferCount, &MSISO15765HeadIndex,
     &MSISO15765TailIndex, &MSISO15765Overflow, &MSISO15765Flags},
    "MSISO15765 buffer overflow",
    0};
constexpr QueueOwner kMsCan{{MSCANBuffer, kRxQueueSlots, &MSCANBufferCount, &MSCANHeadIndex,
                             &MSCANTailIndex, &MSCANOverflow, &MSCANFlags},
                            "MSCAN buffer overflow",
                            ChannelBit(kChannelMsCan)};
// The K-line queue serves both K-line channels, so a loss is reported while
// either of them is open: otherwise an ISO 14230 reader would never learn
// that frames were dropped.
constexpr QueueOwner kIso9141{
    {ISO9141Buffer, kKLineQueueSlots, &ISO9141BufferCount, &ISO9141HeadIndex, &ISO9141TailIndex,
     &ISO9141Overflow, &ISO9141Flags},
    "ISO9141 buffer overflow",
    ChannelBit(kChannelIso9141) | ChannelBit(kChannelIso14230)};

uint32_t Advance(uint32_t index, uint32_t capacity) {
  return index + 1 >= capacity ? 0 : index + 1;
}

void NoteOverflow(const QueueOwner& owner) {
  if (owner.report_when_open != 0 && (ChannelStatus & owner.report_when_open) == 0) return;
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
  switch (dev) {
    case kDevCan1:
      ChannelStatus &= ~ChannelBit(kChannelCan);
      return;
    case kDevIso15765_1:
      ChannelStatus &= ~ChannelBit(kChannelIso15765);
      return;
    case kDevCan2:
      ChannelStatus &= ~ChannelBit(kChannelMsCan);
      return;
    case kDevIso15765_2:
      ChannelStatus &= ~ChannelBit(kChannelMsIso15765);
      return;
    case kDevKLine:
      // The report names the K-line device; only the ISO 9141 channel is
      // marked stopped.
      ChannelStatus &= ~ChannelBit(kChannelIso9141);
      return;
    default:
      return;
  }
}

void OnAdapterOverflow(const JMSG& frame) {
  DbgMsg(kMsgError, "Orvanta buffer overflow");
  if (frame.size == 0) return;  // names no device
  const uint8_t dev = frame.data[0];
  if (dev == kDevCan1 || dev == kDevIso15765_1) {
    CANOverflow = 1;
    ISO15765Overflow = 1;
  } else if (dev == kDevCan2 || dev == kDevIso15765_2) {
    MSCANOverflow = 1;
    MSISO15765Overflow = 1;
  }
}

void ResetQueue(const RxQueue& q) {
  *q.count = 0;
  *q.head = 0;
  *q.tail = 0;
  *q.overflow = 0;
  *q.flags = 0;
  std::memset(q.slots, 0, sizeof(JMSG) * q.capacity);
}

// The channel layer's receiver of what the receive pass cuts out of the
// link: installed once, before any receive pass can run.
const ReceiveSink kChannelSink{RouteReceivedFrame, OnChannelStop, OnAdapterOverflow};
[[maybe_unused]] const bool kSinkInstalled = (InstallReceiveSink(&kChannelSink), true);

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
      RouteCanFrame(frame, kIso15765, kCan, kDevIso15765_1);
      return;
    case kDevCan2:
    case kDevIso15765_2:
      RouteCanFrame(frame, kMsIso15765, kMsCan, kDevIso15765_2);
      return;
    case kDevKLine:
      Enqueue(kIso9141, frame);  // the read path filters K-line frames
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
      *queue = kIso9141.queue;
      return true;
    case kChannelCan:
      *queue = kCan.queue;
      return true;
    case kChannelIso15765:
      *queue = kIso15765.queue;
      return true;
    case kChannelMsCan:
      *queue = kMsCan.queue;
      return true;
    case kChannelMsIso15765:
      *queue = kMsIso15765.queue;
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

void ResetRxQueues() {
  for (const QueueOwner* owner : {&kIso15765, &kCan, &kMsIso15765, &kMsCan, &kIso9141}) {
    ResetQueue(owner->queue);
  }
}

}  // namespace orv
