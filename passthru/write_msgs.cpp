// PassThruWriteMsgs: turns the caller's messages into transmit frames, one
// frame per loop pass, and writes them in batches of at most 1000 frames
// and 16384 wire bytes; optionally waits until the adapter has worked
// through everything sent.
//
// Failure reporting: J2534 status codes (0, 2, 4, 7, 8, 9, 10) with 'E'
// texts through DbgMsg. `*pNumMsgs` returns the number of messages
// completely turned into frames.
#include <cstring>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/call_sync.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"
#include "passthru/tx_frames.h"
#include "platform/platform.h"

namespace orv {

namespace {

constexpr uint32_t kMinWriteTimeout = 1500;
constexpr uint32_t kTimeoutReserve = 500;
constexpr uint32_t kPerBatchAllowance = 1500;
constexpr uint32_t kBlockingWaitMs = 15000;

// The clock is read after every frame whose pass wrote to the port (the
// only place where a write spends time) and otherwise every this many
// frames: building frames takes microseconds, the time limit milliseconds.
constexpr uint32_t kFramesPerClockRead = 64;

uint32_t SaturatingAdd(uint32_t a, uint32_t b) {
  return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

// The working state of one call. The batch is part of the library state:
// only the call holding the state lock builds one.
struct WriteCall {
  explicit WriteCall(TxBatch& b) : batch(b) {}

  TxBatch& batch;
  uint32_t channel = 0;
  uint8_t dev = 0;
  PASSTHRU_MSG* msgs = nullptr;
  uint32_t num_msgs = 0;
  uint32_t timeout = 0;
  uint32_t per_msg_timeout = 0;
  uint32_t start_time = 0;
  uint32_t tx_msgs = 0;
  TxCursor cursor;
  IsoTxParams iso;
  IsoMiddleFrames middle;   // of the current segmented message
  bool protocol_ok = true;  // the current message's protocol suits the channel
  bool sent = false;        // this pass wrote a batch
  uint32_t frames_unclocked = 0;
  bool blocking = false;
  int32_t status = STATUS_NOERROR;
};

// Writes the batch and empties it; each batch sent earns more time.
void SendBatch(WriteCall& call) {
  call.status = JmsgSendWire(call.batch.bytes.data(), call.batch.wire_bytes, kSendTimeoutBus);
  call.batch.Clear();
  call.timeout = SaturatingAdd(call.timeout, kPerBatchAllowance);
  call.sent = true;
}

// Counts the frame built at batch.Next() (and the resume frame after a
// last consecutive frame), sending the batch without it first when they
// would not fit. The batch never holds 1000 frames here: it is sent then.
void AddToBatch(WriteCall& call, bool with_resume) {
  TxBatch& batch = call.batch;
  const uint32_t frames = with_resume ? 2 : 1;
  const uint32_t size = TxWireSize(batch.Next());
  const uint32_t bytes = size + (with_resume ? static_cast<uint32_t>(kJmsgHeaderSize) : 0);
  if (!batch.Fits(frames, bytes)) {
    uint8_t frame[kTxFrameRoom];
    std::memcpy(frame, batch.Next(), size);
    SendBatch(call);
    if (call.status != STATUS_NOERROR) return;
    std::memcpy(batch.Next(), frame, size);
  }
  batch.Commit();
  if (with_resume) {
    BuildResumeFrame(call.dev, batch.Next());
    batch.Commit();
  }
}

// Sets the ISO 15765 framing of a new message: the data length L goes into
// the channel's setup record (a later GET_CONFIG reports it), the pad value
// comes from there. Refuses what the frames cannot carry.
int32_t StartIsoMessage(WriteCall& call, const PASSTHRU_MSG& msg) {
  CAN_SETUP* setup = CanSetupOfChannel(call.channel);
  if (setup == nullptr) return ERR_INVALID_CHANNEL_ID;
  const uint32_t l = IsoTxDataLengthFor(msg, setup->iso15765_tx_data_length);
  if (CheckIso15765Message(msg, l) != STATUS_NOERROR) return ERR_INVALID_MSG;
  setup->iso15765_tx_data_length = static_cast<uint8_t>(l);
  call.iso.tx_data_length = l;
  call.iso.pad_value = setup->iso15765_pad_value;
  return STATUS_NOERROR;
}

int32_t CheckNewMessage(WriteCall& call, const PASSTHRU_MSG& msg) {
  switch (call.channel) {
    case kChannelCan:
    case kChannelMsCan:
      return static_cast<int32_t>(CheckCanMessage(msg));
    case kChannelIso15765:
    case kChannelMsIso15765:
      return StartIsoMessage(call, msg);
    default:
      return static_cast<int32_t>(CheckDataSize(msg));
  }
}

// Builds the next frame of the current message into `frame`; true when the
// message is complete. `resume` tells whether a resume frame must follow.
bool BuildNextFrame(WriteCall& call, const PASSTHRU_MSG& msg, uint8_t* frame, bool* resume) {
  *resume = false;
  switch (call.channel) {
    case kChannelIso9141:
    case kChannelIso14230:
      return BuildKLineFrame(msg, call.per_msg_timeout, call.cursor, frame);
    case kChannelCan:
    case kChannelMsCan:
      BuildCanFrame(msg, call.dev, call.per_msg_timeout, frame);
      return true;
    default: {
      if (IsIsoMiddleFrame(msg, call.middle, call.cursor)) {
        BuildIsoMiddleFrame(msg, call.middle, call.cursor, frame);
        return false;
      }
      const bool was_segmented = call.cursor.data_index != 0;
      const bool done =
          BuildIso15765Frame(msg, call.dev, call.iso, call.per_msg_timeout, call.cursor, frame);
      *resume = done && was_segmented;
      if (!was_segmented && !done) {
        StartIsoMiddleFrames(msg, call.dev, call.iso, call.per_msg_timeout, call.middle);
      }
      return done;
    }
  }
}

// One loop pass: one frame of the current message into the batch.
void TransmitOneFrame(WriteCall& call) {
  const PASSTHRU_MSG& msg = call.msgs[call.tx_msgs];
  // The protocol and the flags are the same for every frame of a message.
  if (call.cursor.data_index == 0) {
    call.protocol_ok = VerifyProtocol(msg.ProtocolID, call.channel) != 0;
    if (msg.TxFlags & kTxBlocking) call.blocking = true;
  }
  if (!call.protocol_ok) {
    DbgMsgf(kMsgError, "PassThruWriteMsgs protocol (%d) mismatch for channel ID (%d)",
            static_cast<int>(msg.ProtocolID), static_cast<int>(call.channel));
  }

  if (call.cursor.data_index == 0) {
    const int32_t check = CheckNewMessage(call, msg);
    if (check != STATUS_NOERROR) {
      // Refused before any of its frames is built; what the earlier
      // messages produced still goes out, so the count stays true.
      DbgMsgf(kMsgError, "PassThruWriteMsgs message %ld cannot be framed (DataSize %ld)",
              static_cast<long>(call.tx_msgs), static_cast<long>(msg.DataSize));
      if (call.batch.count != 0) SendBatch(call);
      if (call.status == STATUS_NOERROR) call.status = check;
      return;
    }
  }

  call.sent = false;
  bool resume = false;
  const bool done = BuildNextFrame(call, msg, call.batch.Next(), &resume);
  if (done) {
    ++call.tx_msgs;
    call.cursor = TxCursor{};
    call.middle.head_size = 0;
  }
  AddToBatch(call, resume);
  if (call.status != STATUS_NOERROR) return;
  if (call.tx_msgs == call.num_msgs || call.batch.count == kTxBatchFrames) SendBatch(call);
  if (call.status != STATUS_NOERROR) return;
  if (!call.sent && ++call.frames_unclocked < kFramesPerClockRead) return;
  call.frames_unclocked = 0;
  if (platform::current().tick_ms() - call.start_time >= call.timeout &&
      call.tx_msgs < call.num_msgs) {
    call.status = ERR_TIMEOUT;
  }
}

// Waits until the adapter answers a version request sent after every
// transmit frame: it answers in order, so everything before has been taken.
int32_t BlockingWait(int32_t status) {
  const AnswerSlotHold hold;
  ClearReply();
  const int32_t sent =
      JmsgSendCmd(kDevSystem, kOpRead, kTypeVersion, 0, 0, nullptr, kSendTimeoutCommand);
  if (sent != STATUS_NOERROR) {
    DbgMsgf(kMsgError, "PassThruWriteMsgs(VERSION): JmsgSendCmd returned %ld",
            static_cast<long>(sent));
    return ERR_FAILED;
  }
  const uint32_t start = platform::current().tick_ms();
  const uint32_t losses = LinkLosses();
  while (platform::current().tick_ms() - start < kBlockingWaitMs) {
    ReceiveWait(kBlockingWaitMs - (platform::current().tick_ms() - start));
    if (ReplyIs(kDevSystem, kOpRead, kTypeVersion)) return status;
    if (LinkLosses() != losses) {
      // The frames went to an adapter that is gone: they were never sent.
      DbgMsg(kMsgError, "PassThruWriteMsgs: adapter link lost before the frames were sent");
      return ERR_FAILED;
    }
  }
  return ERR_TIMEOUT;
}

}  // namespace

}  // namespace orv

using namespace orv;

int32_t orv::api::WriteMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg, uint32_t* pNumMsgs,
                            uint32_t Timeout) {
  // A failure claims no message: the count stays 0 until messages go.
  const uint32_t wanted = pNumMsgs != nullptr ? *pNumMsgs : 0;
  if (pNumMsgs != nullptr) *pNumMsgs = 0;
  if (JmsgCheckConnection() != 0) {
    DbgMsg(kMsgError, "PassThruWriteMsgs device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (!ChannelOpen(ChannelID)) {
    DbgMsg(kMsgError, "PassThruWriteMsgs invalid ChannelID");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pMsg == nullptr || pNumMsgs == nullptr) {
    DbgMsg(kMsgError, "PassThruWriteMsgs null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruWriteMsgs(%ld, pMsg, %ld, %ld)", static_cast<long>(ChannelID),
          static_cast<long>(wanted), static_cast<long>(Timeout));
  if (wanted == 0) return STATUS_NOERROR;

  WriteCall call(State().tx_batch);
  call.channel = ChannelID;
  call.dev = ChannelDevice(ChannelID);
  call.msgs = pMsg;
  call.num_msgs = wanted;
  call.timeout = Timeout < kMinWriteTimeout ? kMinWriteTimeout : Timeout;
  call.per_msg_timeout = (call.timeout - kTimeoutReserve) / call.num_msgs;
  call.start_time = platform::current().tick_ms();
  call.batch.Clear();

  while (call.tx_msgs < call.num_msgs && call.status == STATUS_NOERROR) {
    if (call.dev == 0) {
      if (!VerifyProtocol(pMsg[0].ProtocolID, ChannelID)) {
        DbgMsgf(kMsgError, "PassThruWriteMsgs protocol (%d) mismatch for channel ID (%d)",
                static_cast<int>(pMsg[0].ProtocolID), static_cast<int>(ChannelID));
      }
      DbgMsg(kMsgError, "PassThruWriteMsgs invalid channel ID");
      return ERR_INVALID_CHANNEL_ID;
    }
    TransmitOneFrame(call);
  }
  call.batch.Clear();
  *pNumMsgs = call.tx_msgs;
  if (call.blocking) return BlockingWait(call.status);
  return call.status;
}
