// Message records for the tests, the benchmarks and the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "orvanta_j2534.h"

namespace orv::test {

// A record of `protocol` whose Data is `data` (the identifier bytes first),
// cut to the Data field.
inline PASSTHRU_MSG MakeMsg(uint32_t protocol, std::span<const uint8_t> data,
                            uint32_t tx_flags = 0) {
  PASSTHRU_MSG m{};
  m.ProtocolID = protocol;
  m.TxFlags = tx_flags;
  m.DataSize = static_cast<uint32_t>(std::min<size_t>(data.size(), PASSTHRU_MSG_DATA_SIZE));
  std::copy_n(data.begin(), m.DataSize, m.Data);
  return m;
}
inline PASSTHRU_MSG MakeMsg(uint32_t protocol, std::initializer_list<uint8_t> data,
                            uint32_t tx_flags = 0) {
  return MakeMsg(protocol, std::span(data.begin(), data.size()), tx_flags);
}

}  // namespace orv::test
