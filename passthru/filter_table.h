// The host-side filter tables of every channel and the lookups through
// which the receive queues and the read path ask whether a received frame
// is wanted.
//
// One table set serves all channels; the filter ID handed to the caller is
// the slot index 0..63. Each slot holds the three link frames last sent for
// the filter (mask, pattern, flow control) in their wire form: identifier
// bytes exactly as received frames carry them (2 for 11-bit, 4 for 29-bit,
// then the extended-address byte if any), so a received frame is compared
// byte for byte. A slot is in use while its mask entry's `size` is
// non-zero; the mask `size` is also the identifier length of the filter.
// The mask entry's `dev` names the channel's device code (0x90, 0x10, 0x20,
// 0x30, 0x40).
//
// Only PassThruStartMsgFilter / PassThruStopMsgFilter write the tables.
// Lookups never fail: they return a slot 0..63 or -1.
#pragma once

#include <cstdint>

#include "link/jmsg.h"

namespace orv {

inline constexpr uint32_t kFilterSlots = 64;

struct FilterTables {
  JMSG mask[kFilterSlots];
  JMSG pattern[kFilterSlots];
  JMSG flow[kFilterSlots];  // size 0 unless flow control
  // The FilterType given at installation (1 pass, 2 block, 3 flow control;
  // other values stored unchanged); 0 after removal.
  uint32_t type[kFilterSlots];

  // Clears every slot (start-up state).
  void Reset();
};

bool FilterSlotInUse(uint32_t slot);

// (frame data[b] AND mask data[b]) == pattern data[b] for every b below the
// mask's size. The frame's 11/29-bit flag is not compared.
bool FilterBytesMatch(uint32_t slot, const JMSG& frame);

// First in-use flow-control slot (flow frame non-empty), whatever it matches.
int32_t GetFirstISOFlowFilterIndex();
// First in-use flow-control slot whose bytes match; the device code is not
// compared (a flow-control filter of either ISO 15765 channel matches
// frames of both CAN buses).
int32_t GetISOFlowFilterIndex(const JMSG* pMsg);
// First pass filter of the ISO 15765 channel of the frame's bus (device
// 0x20 for a frame of 0x10, 0x40 for 0x30) whose bytes match; frames of any
// other device match nothing.
int32_t GetISOPassFilterIndex(const JMSG* pMsg);
// First pass filter of the frame's raw CAN device (0x20 read as 0x10, 0x40
// as 0x30; 0x90 itself) whose bytes match. An echo (type 5) answers 0 at
// once.
int32_t GetPassFilterIndex(const JMSG* pMsg);

}  // namespace orv
