// The ISO 15765 protocol control information both directions share: the
// PCI types (high nibble of the first PCI byte) and the consecutive-frame
// sequence. The transmit side (tx_frames) writes them, the reassembly
// (iso15765_reassembly) reads them.
#pragma once

#include <cstdint>

namespace orv {

// ISO 15765 PCI types (high nibble of the first PCI byte).
inline constexpr uint8_t kPciSingle = 0x00;
inline constexpr uint8_t kPciFirst = 0x10;
inline constexpr uint8_t kPciConsecutive = 0x20;
inline constexpr uint8_t kPciFlowControl = 0x30;
inline constexpr uint8_t kFirstConsecutivePci = 0x21;

// The consecutive-frame PCI after `pci`: 0x21 ... 0x2F, then 0x20.
constexpr uint8_t NextConsecutivePci(uint8_t pci) {
  return pci >= 0x2F ? kPciConsecutive : static_cast<uint8_t>(pci + 1);
}

}  // namespace orv
