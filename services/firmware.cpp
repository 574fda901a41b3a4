// PassThruUpdateFirmware: stores a new application image as "APP.LDR" in
// the adapter's file store: delete, open, data in batches of at most 8
// frames of 64 bytes (each batch acknowledged once, after the frame marked
// 0x80), close. The adapter takes up the image on its next start.
//
// Failure reporting: J2534 codes (0; 4 null image; 7 not sent, open or
// batch refused or unanswered; 8 no adapter) with an 'E' text. A refused
// or unanswered delete is not a failure; the close is not awaited. A
// failure part-way leaves a partial image in the store.
#include <algorithm>
#include <cstring>

#include "link/discovery.h"
#include "link/jmsg.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "services/file_store.h"
#include "services/transfer_progress.h"

using namespace orv;

namespace {

constexpr char kFirmwareName[] = "APP.LDR";
constexpr size_t kFirmwareNameLength = sizeof kFirmwareName - 1;
// The delete and open frames carry the name, its NUL and ten zero bytes;
// the close frame carries ten zero bytes.
constexpr size_t kNameFrameSize = kFirmwareNameLength + 1 + kDeletePadding;  // 18
constexpr size_t kCloseFrameSize = kDeletePadding;
constexpr size_t kFirmwareBatchFrames = 8;
// The adapter may restart into the new image instead of answering the
// close; a second is ample for an answer that comes.
constexpr uint32_t kCloseAnswerWaitMs = 1000;

JMSG MakeFirmwareFrame(uint8_t op, uint8_t flags, uint8_t size) {
  JMSG frame{};
  frame.dev = kDevMemory;
  frame.op = op;
  frame.flags = flags;
  frame.type = kTypePlain;
  frame.size = size;
  return frame;
}

// The delete or open frame: "APP.LDR", its NUL, ten zero bytes.
JMSG MakeFirmwareNameFrame(uint8_t op) {
  JMSG frame = MakeFirmwareFrame(op, 0, kNameFrameSize);
  std::memcpy(frame.data, kFirmwareName, kFirmwareNameLength);
  return frame;
}

// Fills `batch` with the next frames of the image (at most 8 of 64 bytes),
// marks the last one and advances `data`/`length`. Returns the count.
uint32_t FillFirmwareBatch(const uint8_t*& data, uint32_t& length,
                           JMSG (&batch)[kFirmwareBatchFrames]) {
  uint32_t count = 0;
  while (length != 0 && count < kFirmwareBatchFrames) {
    const uint32_t bytes = std::min<uint32_t>(length, kWriteFrameBytes);
    JMSG& frame = batch[count++];
    frame = MakeFirmwareFrame(kOpWrite, 0, static_cast<uint8_t>(bytes));
    std::memcpy(frame.data, data, bytes);
    data += bytes;
    length -= bytes;
  }
  batch[count - 1].flags = kLastOfBatch;
  return count;
}

// Sends one single-frame request; false (logged) when it could not be sent.
bool SendFirmwareFrame(const JMSG& frame, const char* step) {
  return RequestSent(JmsgSendMsgs(&frame, 1, kSendTimeoutMemory), step, "JmsgSendMsgs");
}

// The close is answered like every file-store request; its answer is
// awaited briefly (whatever it says) so that it cannot pass for the answer
// to the next file-store or security request.
bool CloseFirmwareImage() {
  ExpectFileStoreAnswer();
  if (!SendFirmwareFrame(MakeFirmwareFrame(kOpClose, 0, kCloseFrameSize),
                         "PassThruUpdateFirmware(CLOSE)")) {
    return false;
  }
  AwaitFileStoreAnswer(kCloseAnswerWaitMs);
  return true;
}

}  // namespace

int32_t orv::api::UpdateFirmware(uint8_t* Data, uint32_t Length) {
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    DbgMsg(kMsgError, "PassThruUpdateFirmware device not connected");
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (Data == nullptr) {
    DbgMsg(kMsgError, "PassThruUpdateFirmware null parameter");
    return ERR_NULL_PARAMETER;
  }
  DbgMsgf(kMsgApi, "PassThruUpdateFirmware(Data, %ld)", static_cast<long>(Length));

  ExpectFileStoreAnswer();
  if (!SendFirmwareFrame(MakeFirmwareNameFrame(kOpDelete), "PassThruUpdateFirmware(DELETE)")) {
    return ERR_FAILED;
  }
  AwaitFileStoreAnswer();  // a missing image to delete is no failure

  ExpectFileStoreAnswer();
  if (!SendFirmwareFrame(MakeFirmwareNameFrame(kOpOpen), "PassThruUpdateFirmware(OPEN)")) {
    return ERR_FAILED;
  }
  if (!FileStoreAccepted("PassThruUpdateFirmware(OPEN)")) return ERR_FAILED;

  const uint8_t* next = Data;
  const uint32_t total = Length;
  while (Length != 0) {
    JMSG batch[kFirmwareBatchFrames];
    const uint32_t count = FillFirmwareBatch(next, Length, batch);
    ExpectFileStoreAnswer();
    const int32_t rc = JmsgSendMsgs(batch, count, kSendTimeoutMemory);
    if (!RequestSent(rc, "PassThruUpdateFirmware(LAST)", "JmsgSendMsgs")) return ERR_FAILED;
    if (AwaitFileStoreAnswer() != kMemAccepted) {
      DbgMsg(kMsgError, "PassThruUpdateFirmware(LAST): Errror");
      return ERR_FAILED;
    }
    if (!TransferMayContinue(total - Length, total) && Length != 0) {
      CloseFirmwareImage();
      DbgMsg(kMsgError, "PassThruUpdateFirmware: stopped");
      return ERR_FAILED;
    }
  }
  return CloseFirmwareImage() ? STATUS_NOERROR : ERR_FAILED;
}
