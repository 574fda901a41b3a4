// Filter tables and their lookups: linear scans of the 64 slots, lowest
// slot first.
#include "passthru/filter_table.h"

#include <cstring>

#include "orvanta_j2534.h"

namespace orv {

JMSG jmsg_filter_mask_msg[kFilterSlots];
JMSG jmsg_filter_pattern_msg[kFilterSlots];
JMSG jmsg_filter_flow_msg[kFilterSlots];
uint32_t jmsg_filter_type[kFilterSlots];

namespace {

bool IsFlowControlSlot(uint32_t slot) {
  return jmsg_filter_mask_msg[slot].size != 0 && jmsg_filter_flow_msg[slot].size != 0 &&
         jmsg_filter_type[slot] == FLOW_CONTROL_FILTER;
}

bool IsPassSlotOf(uint32_t slot, uint8_t device) {
  return jmsg_filter_mask_msg[slot].size != 0 && jmsg_filter_mask_msg[slot].dev == device &&
         jmsg_filter_type[slot] == PASS_FILTER;
}

int32_t FirstPassMatch(uint8_t device, const JMSG& frame) {
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (IsPassSlotOf(slot, device) && FilterBytesMatch(slot, frame)) {
      return static_cast<int32_t>(slot);
    }
  }
  return -1;
}

}  // namespace

bool FilterBytesMatch(uint32_t slot, const JMSG& frame) {
  const JMSG& mask = jmsg_filter_mask_msg[slot];
  const JMSG& pattern = jmsg_filter_pattern_msg[slot];
  for (uint32_t b = 0; b < mask.size && b < kJmsgDataSize; ++b) {
    if ((frame.data[b] & mask.data[b]) != pattern.data[b]) return false;
  }
  return true;
}

int32_t GetFirstISOFlowFilterIndex() {
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (IsFlowControlSlot(slot)) return static_cast<int32_t>(slot);
  }
  return -1;
}

int32_t GetISOFlowFilterIndex(const JMSG* pMsg) {
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (IsFlowControlSlot(slot) && FilterBytesMatch(slot, *pMsg)) {
      return static_cast<int32_t>(slot);
    }
  }
  return -1;
}

int32_t GetISOPassFilterIndex(const JMSG* pMsg) {
  switch (pMsg->dev) {
    case kDevCan1:
      return FirstPassMatch(kDevIso15765_1, *pMsg);
    case kDevCan2:
      return FirstPassMatch(kDevIso15765_2, *pMsg);
    default:
      return -1;
  }
}

int32_t GetPassFilterIndex(const JMSG* pMsg) {
  if (pMsg->type == kTypeBusMessage) return 0;
  uint8_t wanted = pMsg->dev;
  if (wanted == kDevIso15765_1) wanted = kDevCan1;
  if (wanted == kDevIso15765_2) wanted = kDevCan2;
  return FirstPassMatch(wanted, *pMsg);
}

void ResetFilterTables() {
  std::memset(jmsg_filter_mask_msg, 0, sizeof jmsg_filter_mask_msg);
  std::memset(jmsg_filter_pattern_msg, 0, sizeof jmsg_filter_pattern_msg);
  std::memset(jmsg_filter_flow_msg, 0, sizeof jmsg_filter_flow_msg);
  std::memset(jmsg_filter_type, 0, sizeof jmsg_filter_type);
}

}  // namespace orv
