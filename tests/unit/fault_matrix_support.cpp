// The fault simulator's world and shared checks: see fault_matrix.h.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "link/comdrvr.h"
#include "link/discovery.h"
#include "passthru/library_state.h"
#include "platform/platform.h"
#include "tests/unit/fault_matrix.h"

namespace orv::test {

FaultWorld::FaultWorld()
    : bus(emu::add_bus_unit(adapter)), services(emu::add_service_units(adapter)) {
  ResetLibraryState();
  platform::install(&platform);
  platform.attach_adapter(kPort, adapter);
}

FaultWorld::~FaultWorld() {
  ResetLibraryState();
  platform::install(nullptr);
}

void FaultWorld::OpenLink() {
  ASSERT_EQ(PassThruOpen("COM7", &device_id), 0);
  ClearLogs();
}

uint32_t FaultWorld::Connect(uint32_t protocol, uint32_t flags, uint32_t baud) {
  uint32_t channel = 0;
  EXPECT_EQ(PassThruConnect(device_id, protocol, flags, baud, &channel), 0);
  ClearLogs();
  return channel;
}

std::string FaultWorld::LastError() const {
  char text[256] = {};
  PassThruGetLastError(text);
  return text;
}

bool FaultWorld::HandlesAgree() const {
  const emu::EmulatedPort& port = const_cast<FaultPlatform&>(platform).port(kPort);
  return Link().hCommPort == port.handle;
}

void FaultWorld::ClearLogs() {
  platform.clear_port_logs();
  adapter.clear_log();
}

void ExpectCleanFailure(const FaultRun& run, std::initializer_list<int32_t> allowed,
                        std::initializer_list<const char*> prefixes) {
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), run.status), allowed.end())
      << "unexpected status " << run.status << " (" << run.world.LastError() << ")";
  if (run.status == 0) return;
  const std::string text = run.world.LastError();
  const bool named = std::any_of(prefixes.begin(), prefixes.end(), [&](const char* prefix) {
    return std::string_view(text).substr(0, std::strlen(prefix)) == prefix;
  });
  EXPECT_TRUE(named) << "status " << run.status << " with last error \"" << text << "\"";
}

const char* ModeName(FaultMode mode) {
  return mode == FaultMode::kOnce ? "once" : "from then on";
}

PASSTHRU_MSG MakeMsg(uint32_t protocol, std::initializer_list<uint8_t> data, uint32_t tx_flags) {
  PASSTHRU_MSG m{};
  m.ProtocolID = protocol;
  m.TxFlags = tx_flags;
  m.DataSize = static_cast<uint32_t>(data.size());
  std::copy(data.begin(), data.end(), m.Data);
  return m;
}

}  // namespace orv::test
