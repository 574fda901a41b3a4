// ISO 15765 drain: single frames, first-frame indications, reassembly per
// flow-control filter, and mixed-format raw CAN delivery.
#include "passthru/iso15765_reassembly.h"

#include <algorithm>
#include <cstring>

#include "link/trace.h"
#include "passthru/channel_table.h"
#include "passthru/config_options.h"
#include "passthru/iso15765_pci.h"
#include "passthru/library_state.h"

namespace orv {

namespace {

constexpr uint32_t kIdBytes = 4;

// What differs between channel 6 and channel 12.
struct IsoChannel {
  uint32_t channel;
  PASSTHRU_MSG* records;
  uint32_t raw_protocol;  // ProtocolID of a mixed-format CAN message
  const char* bad_pci_text;
};

IsoChannel ChannelSide(uint32_t channel) {
  if (channel == kChannelMsIso15765) {
    return {channel, State().reassembly.MSISO15765FlowMsg, kChannelMsCan,
            "MSISO15765 Bad PCI type"};
  }
  return {channel, State().reassembly.ISO15765FlowMsg, kChannelCan, "ISO15765 Bad PCI type"};
}

// The frame being handled with what its flow-control filter tells.
struct IsoFrame {
  const JMSG& frame;
  uint32_t id_length;  // identifier bytes in front of the PCI, address byte included
  uint32_t address;    // 1 with an extended-address byte, else 0
  uint8_t pci;
  uint32_t status;  // the frame status S
};

// An identifier layout the records can hold: 2 (11-bit), 3 (11-bit with
// address byte), 4 (29-bit), 5 (29-bit with address byte). A flow filter
// of any other length cannot describe where the PCI byte is.
bool IsIdentifierLength(uint32_t id_length) {
  return id_length >= 2 && id_length <= 5;
}

// Identifier right-aligned in Data[0..3], address byte (if any) in Data[4].
void PutIdentifier(const IsoFrame& f, PASSTHRU_MSG& msg) {
  msg.Data[0] = 0;
  msg.Data[1] = 0;
  std::memcpy(msg.Data + kIdBytes - (f.id_length & 6), f.frame.data, f.id_length);
}

uint32_t BusStatusBits(const JMSG& frame) {
  uint32_t bits = 0;
  if (frame.type == kTypeBusMessage) bits |= kRxTxMsgType;
  if (frame.flags & kRxFrameFd) bits |= kRxFdFrame;
  if (frame.flags & kRxFrameFdBitRateSwitch) bits |= kRxFdBitRateSwitch;
  return bits;
}

// Single frame: delivered when it carries every byte its PCI announces.
void TakeSingleFrame(const IsoFrame& f, RxOutput& out) {
  const JMSG& frame = f.frame;
  uint32_t first = f.id_length + 1;  // first payload byte in the frame
  uint32_t announced = f.pci;
  if (f.pci == 0) {  // CAN FD form: the length is in the next byte
    if (frame.size < f.id_length + 2) return;
    first = f.id_length + 2;
    announced = frame.data[f.id_length + 1];
  }
  const uint32_t carried = frame.size - first;
  if (announced > carried) {
    DbgMsg(kMsgError, "ISO15765 single frame shorter than its length");
    return;
  }
  PASSTHRU_MSG& msg = out.Current();
  PutIdentifier(f, msg);
  std::memcpy(msg.Data + kIdBytes + f.address, frame.data + first, carried);
  msg.DataSize = announced + f.address + kIdBytes;
  msg.TxFlags = 0;
  msg.Timestamp = ConvertTimestamp(frame.timestamp);
  msg.RxStatus = f.status | BusStatusBits(frame);
  msg.ExtraDataIndex = msg.DataSize;
  out.Deliver();
}

// First frame: opens the record of the filter and delivers the indication.
void TakeFirstFrame(const IsoFrame& f, uint32_t channel, PASSTHRU_MSG& record,
                    uint8_t& expected_pci, RxOutput& out) {
  const JMSG& frame = f.frame;
  if (frame.size < f.id_length + 2) return;
  const uint32_t total = ((f.pci & 0x0Fu) << 8) | frame.data[f.id_length + 1];
  if (total == 0) {
    // The escape form for messages over 4095 bytes, which this library
    // can neither send nor hold.
    DbgMsg(kMsgError, "ISO15765 first frame with escaped length dropped");
    return;
  }
  expected_pci = kFirstConsecutivePci;
  const uint32_t n = frame.size - f.id_length - 2;
  record.ProtocolID = channel;
  record.TxFlags = 0;
  PutIdentifier(f, record);
  record.ExtraDataIndex = total + f.address + kIdBytes;
  std::memcpy(record.Data + kIdBytes + f.address, frame.data + f.id_length + 2, n);
  record.DataSize = kIdBytes + f.address + n;

  PASSTHRU_MSG& msg = out.Current();
  PutIdentifier(f, msg);
  msg.DataSize = f.address + kIdBytes;
  msg.ExtraDataIndex = 0;
  msg.TxFlags = 0;
  msg.Timestamp = ConvertTimestamp(frame.timestamp);
  msg.RxStatus = f.status | BusStatusBits(frame);
  record.RxStatus = msg.RxStatus;
  record.Timestamp = msg.Timestamp;
  msg.RxStatus |= kRxStartOfMessage;
  out.Deliver();
}

// A record is open from its first frame until a consecutive frame
// completes the message (or a sequence error abandons it); an open record
// has its expected total in ExtraDataIndex, a closed one 0. A first frame
// may already carry every announced byte: the message is still delivered
// at the next consecutive frame only.
bool MessageInProgress(const PASSTHRU_MSG& record) {
  return record.ExtraDataIndex != 0;
}

void AbandonMessage(PASSTHRU_MSG& record) {
  record.DataSize = 0;
  record.ExtraDataIndex = 0;
}

// Consecutive frame: appended to the record; the message is delivered once
// its announced length is reached.
void TakeConsecutiveFrame(const IsoFrame& f, PASSTHRU_MSG& record, uint8_t& expected_pci,
                          RxOutput& out) {
  if (!MessageInProgress(record)) return;  // stray: never deliver a message twice
  if (f.pci != expected_pci) {
    // A lost or repeated frame: the bytes that would follow are misplaced.
    DbgMsg(kMsgError, "Flow control PCI error");
    AbandonMessage(record);
    return;
  }
  expected_pci = NextConsecutivePci(expected_pci);
  const JMSG& frame = f.frame;
  const uint32_t room = PASSTHRU_MSG_DATA_SIZE - record.DataSize;
  const uint32_t n = std::min(static_cast<uint32_t>(frame.size) - f.id_length - 1, room);
  std::memcpy(record.Data + record.DataSize, frame.data + f.id_length + 1, n);
  record.DataSize += n;
  if (f.status & kRxPaddingError) record.RxStatus |= kRxPaddingError;
  if (record.DataSize < record.ExtraDataIndex) return;

  PASSTHRU_MSG& msg = out.Current();
  msg.ProtocolID = record.ProtocolID;
  msg.RxStatus = record.RxStatus;
  msg.TxFlags = 0;
  msg.Timestamp =
      State().options.last_segment_flag == 1 ? ConvertTimestamp(frame.timestamp) : record.Timestamp;
  msg.DataSize = record.ExtraDataIndex;  // padding of the last frame cut off
  std::memcpy(msg.Data, record.Data, msg.DataSize);
  msg.ExtraDataIndex = msg.DataSize;
  record.ExtraDataIndex = 0;  // closed: a stray frame never delivers it twice
  out.Deliver();
}

void TakeFlowFilteredFrame(const IsoChannel& side, const JMSG& frame, uint32_t flow,
                           RxOutput& out) {
  const uint32_t id_length = State().filters.mask[flow].size;
  if (!IsIdentifierLength(id_length) || frame.size <= id_length) return;
  const CAN_SETUP* setup = CanSetupOfChannel(side.channel);
  const uint32_t expected_size = setup->iso15765_tx_data_length + (id_length & 6);
  uint32_t status = (frame.flags & kRxFrame29BitId) ? kRx29BitId : 0;
  if (frame.size != expected_size) status |= kRxPaddingError;
  const IsoFrame f{frame, id_length, id_length & 1, frame.data[id_length], status};

  out.Current().ProtocolID = side.channel;
  PASSTHRU_MSG& record = side.records[flow];
  switch (f.pci >> 4) {
    case kPciSingle >> 4:
      TakeSingleFrame(f, out);
      return;
    case kPciFirst >> 4:
      TakeFirstFrame(f, side.channel, record, State().reassembly.ConsecutivePCI[flow], out);
      return;
    case kPciConsecutive >> 4:
      TakeConsecutiveFrame(f, record, State().reassembly.ConsecutivePCI[flow], out);
      return;
    case kPciFlowControl >> 4:
      // An echoed flow-control frame may come between the consecutive
      // frames of a reception: that message keeps its sequence.
      if (!MessageInProgress(record))
        State().reassembly.ConsecutivePCI[flow] = kFirstConsecutivePci;
      return;
    default:
      DbgMsg(kMsgError, side.bad_pci_text);
      return;
  }
}

}  // namespace

void TakeIso15765Frame(const JMSG& frame, uint32_t channel, uint32_t connect_flags, RxOutput& out) {
  if (!IdFormatAccepted(connect_flags, frame.flags)) return;
  const IsoChannel side = ChannelSide(channel);
  const int32_t flow =
      frame.type == kTypeBusMessage ? GetFirstISOFlowFilterIndex() : GetISOFlowFilterIndex(&frame);
  if (flow >= 0) TakeFlowFilteredFrame(side, frame, static_cast<uint32_t>(flow), out);
  if (State().options.can_mixed_format_flag == 1 && !out.Full() &&
      GetISOPassFilterIndex(&frame) != -1) {
    CanFrameToMsg(frame, side.raw_protocol, false, out.Current());
    out.Deliver();
  }
}

void DrainIso15765(const RxQueue& queue, uint32_t channel, RxOutput& out) {
  const uint32_t connect_flags = *queue.flags;
  while (!RxQueueEmpty(queue) && !out.Full()) {
    TakeIso15765Frame(RxQueueTail(queue), channel, connect_flags, out);
    RxQueueDropTail(queue);
  }
}

void ReassemblyState::Reset() {
  std::memset(ISO15765FlowMsg, 0, sizeof ISO15765FlowMsg);
  std::memset(MSISO15765FlowMsg, 0, sizeof MSISO15765FlowMsg);
  std::memset(ConsecutivePCI, 0, sizeof ConsecutivePCI);
}

}  // namespace orv
