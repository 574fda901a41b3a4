// Filter tables and their lookups: linear scans of the 64 slots, lowest
// slot first.
#include "passthru/filter_table.h"

#include <cstring>

#include "orvanta_j2534.h"
#include "passthru/library_state.h"

namespace orv {

namespace {

bool IsFlowControlSlot(uint32_t slot) {
  return State().filters.mask[slot].size != 0 && State().filters.flow[slot].size != 0 &&
         State().filters.type[slot] == FLOW_CONTROL_FILTER;
}

bool IsPassSlotOf(uint32_t slot, uint8_t device) {
  return State().filters.mask[slot].size != 0 && State().filters.mask[slot].dev == device &&
         State().filters.type[slot] == PASS_FILTER;
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
  const JMSG& mask = State().filters.mask[slot];
  const JMSG& pattern = State().filters.pattern[slot];
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

bool FilterSlotInUse(uint32_t slot) {
  return slot < kFilterSlots && State().filters.mask[slot].size != 0;
}

void FilterTables::Reset() {
  std::memset(mask, 0, sizeof mask);
  std::memset(pattern, 0, sizeof pattern);
  std::memset(flow, 0, sizeof flow);
  std::memset(type, 0, sizeof type);
}

}  // namespace orv
