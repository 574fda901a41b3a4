// PassThruSecurity: the adapter computes an 18-byte key from a level, 12
// fixed bytes and 16 seed bytes; the key comes back as memory data. Also
// the two trivial exports VerifyORVXBuild and PassThruGetPointer.
//
// Failure reporting: J2534 codes (0; 4 null pointer; 7 not sent, refused,
// unanswered or a key shorter than 18 bytes; 8 no adapter) with an 'E'
// text.
#include <array>
#include <cstring>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "services/file_store.h"

using namespace orv;

namespace {

constexpr size_t kFixedSize = 12;
constexpr size_t kSeedSize = 16;
constexpr size_t kKeySize = 18;

// SECURITY_DATA: level, fixed bytes, seed bytes, and the key sent as zeros.
constexpr size_t kLevelOffset = 0;
constexpr size_t kFixedOffset = 1;
constexpr size_t kSeedOffset = kFixedOffset + kFixedSize;  // 13
constexpr size_t kKeyOffset = kSeedOffset + kSeedSize;     // 29
constexpr size_t kSecurityDataSize = kKeyOffset + kKeySize;
static_assert(kSecurityDataSize == 47);

std::array<uint8_t, kSecurityDataSize> SecurityData(uint8_t level, const uint8_t* fixed,
                                                    const uint8_t* seed) {
  std::array<uint8_t, kSecurityDataSize> data{};
  data[kLevelOffset] = level;
  std::memcpy(data.data() + kFixedOffset, fixed, kFixedSize);
  std::memcpy(data.data() + kSeedOffset, seed, kSeedSize);
  return data;
}

}  // namespace

int32_t orv::api::Security(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed, uint8_t* pKey) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruSecurity device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pFixed == nullptr || pSeed == nullptr || pKey == nullptr) {
    DbgMsg(kMsgError, "PassThruSecurity null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruSecurity(%ld, ...)", static_cast<long>(Level));
  const auto data = SecurityData(Level, pFixed, pSeed);
  ExpectFileStoreAnswer();
  const int32_t rc = JmsgSendCmd(kDevSecurity, kOpRead, kTypePlain, 0, data.size(), data.data(),
                                 kSendTimeoutCommand);
  if (!RequestSent(rc, "PassThruSecurity", "JmsgSendCmd")) return ERR_FAILED;
  // A shorter key would be completed with bytes of an earlier answer.
  if (AwaitFileStoreAnswer() != kMemAccepted || Link().MemSize < static_cast<int32_t>(kKeySize)) {
    DbgMsg(kMsgError, "PassThruSecurity: Error");
    return ERR_FAILED;
  }
  std::memcpy(pKey, Link().MemData, kKeySize);
  return STATUS_NOERROR;
}
