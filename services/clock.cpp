// PassThruReadRTC and PassThruWriteRTC: the adapter's real-time clock. The
// 12-byte RTC_DAY_TIME record passes between caller and adapter unchanged.
//
// Failure reporting: J2534 codes (0; 4 null record; 7 not sent, no
// answer or a clock answer shorter than the record; 8 no adapter) with an
// 'E' text. The adapter may take a long time to set its clock, so the
// write is given 30 s, the read 15 s.
#include <cstring>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/link_state.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/answer_wait.h"
#include "passthru/api.h"
#include "services/file_store.h"

using namespace orv;

namespace {

constexpr size_t kRtcSize = sizeof(RTC_DAY_TIME);
static_assert(kRtcSize == 12);

}  // namespace

int32_t orv::api::ReadRTC(RTC_DAY_TIME* pRTC) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruReadRTC device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pRTC == nullptr) {
    DbgMsg(kMsgError, "PassThruReadRTC null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsg(kMsgApi, "PassThruReadRTC(pRTC)");
  ClearReply();
  const int32_t rc =
      JmsgSendCmd(kDevSystem, kOpRead, kTypeClock, 0, 0, nullptr, kSendTimeoutCommand);
  if (!RequestSent(rc, "PassThruReadRTC", "JmsgSendCmd")) return ERR_FAILED;
  if (!AwaitReply(kDevSystem, kOpRead, kTypeClock, kAnswerWaitMs)) {
    DbgMsg(kMsgError, "PassThruReadRTC: No response");
    return ERR_FAILED;
  }
  // A shorter answer would complete the record with bytes the adapter
  // never sent.
  if (Link().ORVXResponse.size < kRtcSize) {
    DbgMsg(kMsgError, "PassThruReadRTC: Error");
    return ERR_FAILED;
  }
  std::memcpy(pRTC, Link().ORVXResponse.data, kRtcSize);  // the adapter's image, unchanged
  return STATUS_NOERROR;
}

int32_t orv::api::WriteRTC(RTC_DAY_TIME* pRTC) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruWriteRTC device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pRTC == nullptr) {
    DbgMsg(kMsgError, "PassThruWriteRTC null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsg(kMsgApi, "PassThruWriteRTC(pRTC)");
  ClearReply();
  const int32_t rc = JmsgSendCmd(kDevSystem, kOpWrite, kTypeClock, 0, kRtcSize,
                                 reinterpret_cast<const uint8_t*>(pRTC), kSendTimeoutCommand);
  if (!RequestSent(rc, "PassThruWriteRTC", "JmsgSendCmd")) return ERR_FAILED;
  if (!AwaitReply(kDevSystem, kOpWrite, kTypeClock, kClockWriteWaitMs)) {
    DbgMsg(kMsgError, "PassThruWriteRTC: No response");
    return ERR_FAILED;
  }
  return STATUS_NOERROR;
}
