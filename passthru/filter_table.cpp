// Filter tables and their lookups: linear scans of the 64 slots, lowest
// slot first.
#include "passthru/filter_table.h"

#include <cstring>

#include "orvanta_j2534.h"
#include "passthru/library_state.h"

namespace orv {

namespace {

// The lookups run for every received frame over all 64 slots: they take
// the tables once and pass them down.
bool IsFlowControlSlot(const FilterTables& t, uint32_t slot) {
  return t.mask[slot].size != 0 && t.flow[slot].size != 0 && t.type[slot] == FLOW_CONTROL_FILTER;
}

bool IsPassSlotOf(const FilterTables& t, uint32_t slot, uint8_t device) {
  return t.mask[slot].size != 0 && t.mask[slot].dev == device && t.type[slot] == PASS_FILTER;
}

bool BytesMatch(const FilterTables& t, uint32_t slot, const JMSG& frame) {
  const JMSG& mask = t.mask[slot];
  const JMSG& pattern = t.pattern[slot];
  for (uint32_t b = 0; b < mask.size && b < kJmsgDataSize; ++b) {
    if ((frame.data[b] & mask.data[b]) != pattern.data[b]) return false;
  }
  return true;
}

int32_t FirstPassMatch(uint8_t device, const JMSG& frame) {
  const FilterTables& t = State().filters;
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (IsPassSlotOf(t, slot, device) && BytesMatch(t, slot, frame)) {
      return static_cast<int32_t>(slot);
    }
  }
  return -1;
}

}  // namespace

bool FilterBytesMatch(uint32_t slot, const JMSG& frame) {
  return BytesMatch(State().filters, slot, frame);
}

int32_t GetFirstISOFlowFilterIndex() {
  const FilterTables& t = State().filters;
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (IsFlowControlSlot(t, slot)) return static_cast<int32_t>(slot);
  }
  return -1;
}

int32_t GetISOFlowFilterIndex(const JMSG* pMsg) {
  const FilterTables& t = State().filters;
  for (uint32_t slot = 0; slot < kFilterSlots; ++slot) {
    if (IsFlowControlSlot(t, slot) && BytesMatch(t, slot, *pMsg)) {
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
