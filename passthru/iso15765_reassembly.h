// The drain step of the two ISO 15765 channels (6 and 12): single frames
// are delivered at once, a first frame opens a reassembly record kept per
// flow-control filter and is announced by a first-frame indication,
// consecutive frames are appended to the record, and the message is
// delivered when its announced length is reached. With CAN mixed format on,
// frames admitted by a pass filter are delivered once more as raw CAN.
//
// Bounds: a record's `Data` holds 4128 bytes and nothing is ever appended
// past it; frames too short for their PCI are dropped without copying.
// A wrong sequence number abandons the message in progress (its bytes can
// no longer be trusted) and later consecutive frames of it are ignored, as
// are consecutive frames that arrive when no message is in progress.
//
// Failure reporting: nothing is returned; texts through DbgMsg ('E'):
// "Flow control PCI error", "ISO15765 Bad PCI type" /
// "MSISO15765 Bad PCI type", and the length errors below.
#pragma once

#include <cstdint>

#include "orvanta_j2534.h"
#include "passthru/filter_table.h"
#include "passthru/rx_frames.h"
#include "passthru/rx_queues.h"

namespace orv {

struct ReassemblyState {
  // Reassembly records of channel 6 and channel 12, indexed by the slot of
  // the flow-control filter that matched.
  PASSTHRU_MSG ISO15765FlowMsg[kFilterSlots];
  PASSTHRU_MSG MSISO15765FlowMsg[kFilterSlots];
  // The consecutive-frame PCI expected next, per flow-control filter slot
  // (shared by both channels: slots are unique across channels).
  uint8_t ConsecutivePCI[kFilterSlots];

  // Clears the records and the expected PCI bytes (start-up state).
  void Reset();
};

// Drains the queue of channel 6 or 12 into `out`.
void DrainIso15765(const RxQueue& queue, uint32_t channel, RxOutput& out);

// Handles one frame taken from the queue (what DrainIso15765 does per
// frame); exposed for tests.
void TakeIso15765Frame(const JMSG& frame, uint32_t channel, uint32_t connect_flags, RxOutput& out);

}  // namespace orv
