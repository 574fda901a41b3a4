// The fault simulator's emulated world and shared checks: see
// fault_matrix.h.
#include "tests/support/fault_matrix.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "link/discovery.h"
#include "link/link_state.h"

namespace orv::test {

std::string LastErrorString() {
  char text[256] = {};
  PassThruGetLastError(text);
  return text;
}

bool HandlesAgree(const platform::FaultPlatform& faults) {
  if (faults.open_count() == 0) return Link().hCommPort == platform::kInvalidHandle;
  return faults.open_count() == 1 && Link().hCommPort == faults.open_handle();
}

void ExpectCleanFailure(int32_t status, const std::vector<int32_t>& allowed,
                        const std::vector<const char*>& prefixes) {
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), status), allowed.end())
      << "unexpected status " << status << " (" << LastErrorString() << ")";
  if (status == 0) return;
  const std::string text = LastErrorString();
  const bool named = std::any_of(prefixes.begin(), prefixes.end(), [&](const char* prefix) {
    return std::string_view(text).substr(0, std::strlen(prefix)) == prefix;
  });
  EXPECT_TRUE(named) << "status " << status << " with last error \"" << text << "\"";
}

const char* ModeName(FaultMode mode) {
  return mode == FaultMode::kOnce ? "once" : "from then on";
}

}  // namespace orv::test
