#include "tests/support/library_fixture.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/library_state.h"
#include "platform/platform.h"

namespace orv::test {

void LibraryTest::StartTrace() {
  platform_.set_trace_listener(true);
  platform::SocketHandle socket = -1;
  ASSERT_EQ(platform_.trace_connect(kTracePort, &socket), 0);
  Link().debug_socket = socket;
  platform_.clear_trace();
}

std::string LibraryTest::LastErrorText() const {
  char text[80];
  PassThruGetLastError(text);
  return text;
}

ScratchDir::ScratchDir(const std::string& tag) {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() / ("orv-" + tag + "-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

JMSG MakeJmsg(uint8_t dev, uint8_t op, uint8_t type, uint8_t flags, std::vector<uint8_t> data) {
  JMSG m{};
  m.dev = dev;
  m.op = op;
  m.type = type;
  m.flags = flags;
  m.size = static_cast<uint8_t>(std::min<size_t>(data.size(), kJmsgDataSize));
  if (m.size != 0) std::memcpy(m.data, data.data(), m.size);
  return m;
}

}  // namespace orv::test
