// The five per-channel receive queues and the routing that fills them from
// the receive pass: bus frames (by the filter lookups), the adapter's
// channel-stop reports and its own overflow report.
//
// Each queue is a ring of JMSG slots with five companion words: the count
// of frames waiting, the head (slot the next frame is written to), the tail
// (slot the next frame is read from), the overflow flag (1 when a frame was
// lost since the reader last looked) and the channel's connect flags.
//
//   queue              slots  filled from   serves channel
//   iso15765       4096   0x10, 0x20    6
//   can            4096   0x10, 0x20    5
//   ms_iso15765    4096   0x30, 0x40    12
//   ms_can         4096   0x30, 0x40    11
//   iso9141         256   0x90          3 and 4
//
// Only routing writes frames; readers (PassThruReadMsgs and the ISO 15765
// drain) take them from the tail with the helpers at the end of this file
// or with the globals directly, following the same ring rules. A stored
// slot holds the whole frame as received (data past `size` is zero).
//
// Failure reporting: none by result. A frame that finds its queue full is
// dropped; the loss is reported once through DbgMsg ('E') and the overflow
// flag, until the reader clears the flag.
#pragma once

#include <cstdint>

#include "link/jmsg.h"

namespace orv {

inline constexpr uint32_t kRxQueueSlots = 4096;
inline constexpr uint32_t kKLineQueueSlots = 256;

// One queue's storage.
template <uint32_t Slots>
struct RxQueueStore {
  JMSG slots[Slots];
  uint32_t count = 0;
  uint32_t head = 0;
  uint32_t tail = 0;
  uint32_t overflow = 0;
  uint32_t flags = 0;
};

struct RxQueues {
  RxQueueStore<kRxQueueSlots> iso15765;
  RxQueueStore<kRxQueueSlots> can;
  RxQueueStore<kRxQueueSlots> ms_iso15765;
  RxQueueStore<kRxQueueSlots> ms_can;
  RxQueueStore<kKLineQueueSlots> iso9141;

  // Start-up state of all five queues (empty, no overflow, no connect
  // flags).
  void Reset();
};

// Called by the receive pass for every frame with operation 1, every bus
// frame (operation 2 from 0x10, 0x20, 0x30, 0x40, 0x90) and the adapter's
// overflow report (device 0xF0, operation 2, flags 0x40).
void RouteReceivedFrame(const JMSG& frame);

// --- access for readers --------------------------------------------------------

// One queue's globals, gathered so that code can work on "the queue of
// channel n" without a switch of its own.
struct RxQueue {
  JMSG* slots;
  uint32_t capacity;
  uint32_t* count;
  uint32_t* head;
  uint32_t* tail;
  uint32_t* overflow;
  uint32_t* flags;  // connect flags of the channel
};

// The queue of channel 3/4 (ISO9141), 5 (CAN), 6 (ISO15765), 11 (MSCAN) or
// 12 (MSISO15765); false for any other channel ID.
bool RxQueueOfChannel(uint32_t channel_id, RxQueue* queue);

inline bool RxQueueEmpty(const RxQueue& q) {
  return *q.count == 0;
}
// The frame at the tail; only valid while the queue is not empty.
inline const JMSG& RxQueueTail(const RxQueue& q) {
  return q.slots[*q.tail];
}
// Consumes the frame at the tail (advance the tail with wrap, count - 1).
// Does nothing on an empty queue.
void RxQueueDropTail(const RxQueue& q);
// True (and clears the flag) when a frame was lost since the last look.
bool RxQueueTakeOverflow(const RxQueue& q);
// Empties the queue: count, head and tail 0. The overflow and flags words
// stay as they are.
void RxQueueReset(const RxQueue& q);

// The channel layer's receiver of what the receive pass cuts out of the
// link (installed by the library state).
const ReceiveSink& ChannelReceiveSink();

}  // namespace orv
