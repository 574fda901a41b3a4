// PassThruReadMsgs: drains the receive queue of a channel into the caller's
// records, running receive passes while it waits, until enough messages
// are there or the time limit passes. The drain steps are in rx_frames
// (raw CAN, K-line) and iso15765_reassembly (ISO 15765).
//
// Failure reporting: J2534 status codes (0, 2, 4, 8, 9, 0x10, 0x12) with
// 'E' texts through DbgMsg; `*pNumMsgs` returns the records delivered.
#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/call_sync.h"
#include "passthru/channel_table.h"
#include "passthru/iso15765_reassembly.h"
#include "passthru/rx_frames.h"
#include "passthru/rx_queues.h"
#include "platform/platform.h"

namespace orv {

namespace {

// Extra time granted while a K-line message is half assembled.
constexpr uint32_t kPartialKLineGraceMs = 5000;

uint32_t SaturatingAdd(uint32_t a, uint32_t b) {
  return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

// Runs the channel's drain step; false for a channel ID with no queue.
bool DrainChannel(uint32_t channel, RxOutput& out, KLineAssembly& kline, int32_t& status,
                  bool& overflow_seen) {
  RxQueue queue;
  if (!RxQueueOfChannel(channel, &queue)) return false;
  if (RxQueueTakeOverflow(queue)) {
    status = ERR_BUFFER_OVERFLOW;
    overflow_seen = true;
  }
  switch (channel) {
    case kChannelIso9141:
    case kChannelIso14230:
      DrainKLine(queue, channel, out, kline);
      return true;
    case kChannelCan:
    case kChannelMsCan:
      DrainCan(queue, channel, out);
      return true;
    case kChannelIso15765:
    case kChannelMsIso15765:
      DrainIso15765(queue, channel, out);
      return true;
    default:
      return false;
  }
}

}  // namespace

}  // namespace orv

using namespace orv;

int32_t orv::api::ReadMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pNumMsgs,
                           uint32_t Timeout) {
  // A failure claims no message: the count stays 0 until messages go.
  const uint32_t wanted = pNumMsgs != nullptr ? *pNumMsgs : 0;
  if (pNumMsgs != nullptr) *pNumMsgs = 0;
  if (JmsgCheckConnection() != 0) {
    DbgMsg(kMsgError, "PassThruReadMsgs device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (!ChannelOpen(ChannelID)) {
    DbgMsg(kMsgError, "PassThruReadMsgs invalid ChannelID");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pMsg == nullptr || pNumMsgs == nullptr) {
    DbgMsg(kMsgError, "PassThruReadMsgs null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgRead, "PassThruReadMsgs(%ld, pMsg, %ld, %ld)", static_cast<long>(ChannelID),
          static_cast<long>(wanted), static_cast<long>(Timeout));

  const uint32_t start_time = platform::current().tick_ms();
  RxOutput out;
  out.msgs = pMsg;
  out.wanted = wanted;
  // A caller asking for nothing may pass an empty array: do not touch it.
  if (out.wanted != 0) pMsg[0].DataSize = 0;
  KLineAssembly kline;
  int32_t status = STATUS_NOERROR;
  bool receive_polled = false;
  bool overflow_seen = false;

  while (!out.Full() && status == STATUS_NOERROR) {
    if (!DrainChannel(ChannelID, out, kline, status, overflow_seen)) {
      DbgMsg(kMsgError, "PassThruReadMsgs invalid channel ID");
      return ERR_INVALID_CHANNEL_ID;
    }
    if (out.Full()) break;
    const uint32_t elapsed = platform::current().tick_ms() - start_time;
    const bool partial = out.Current().DataSize != 0 || kline.dropping;
    const uint32_t limit = partial ? SaturatingAdd(Timeout, kPartialKLineGraceMs) : Timeout;
    if (elapsed > limit) status = ERR_TIMEOUT;
    if (status == STATUS_NOERROR || (out.delivered == 0 && !receive_polled)) {
      // Wait for bytes until just past the limit; after it only look once.
      const uint32_t left = status == STATUS_NOERROR ? limit - elapsed : 0;
      ReceiveWait(left == UINT32_MAX ? left : left + 1);
      status = STATUS_NOERROR;
      receive_polled = true;
    }
  }

  if (out.delivered > 0) {
    DbgMsgf(kMsgApi, "PassThruReadMsgs(%ld, pMsg, %ld, %ld) returned %ld msgs",
            static_cast<long>(ChannelID), static_cast<long>(wanted), static_cast<long>(Timeout),
            static_cast<long>(out.delivered));
  }
  if (out.delivered == 0) status = ERR_BUFFER_EMPTY;
  if (Timeout == 0 && status == ERR_TIMEOUT) status = STATUS_NOERROR;
  // The overflow flag is cleared when it is taken, so an overflow seen in
  // this call is reported even when the first receive poll reset the
  // status or nothing was delivered: otherwise the loss would go unseen.
  if (overflow_seen) {
    status = ERR_BUFFER_OVERFLOW;
    DbgMsg(kMsgError, "PassThruReadMsgs receive queue overflowed: messages were lost");
  }
  *pNumMsgs = out.delivered;
  return status;
}
