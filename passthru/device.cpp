// PassThruOpen and PassThruClose: the open name, the link check and the
// device ID; closing the port and every channel with it.
#include "link/discovery.h"
#include "link/trace.h"
#include "orvanta_j2534.h"
#include "passthru/api.h"
#include "passthru/channel_table.h"
#include "passthru/library_state.h"

namespace orv::api {

int32_t Open(const char* pName, uint32_t* pDeviceID) {
  if (pDeviceID == nullptr) {
    DbgMsg(kMsgError, "PassThruOpen null pointer to device ID");
    return ERR_NULL_PARAMETER;
  }
  if (pName != nullptr) NoteOpenName(pName);
  if (JmsgCheckConnection() != STATUS_NOERROR) {
    *pDeviceID = 0;
    return ERR_DEVICE_NOT_CONNECTED;
  }
  if (pName != nullptr) {
    DbgMsgf(kMsgApi, "PassThruOpen(%s)", pName);
  } else {
    DbgMsg(kMsgApi, "PassThruOpen");
  }
  *pDeviceID = OpenedDeviceId();
  return STATUS_NOERROR;
}

int32_t Close(uint32_t /*DeviceID*/) {
  if (JmsgCheckConnection() != STATUS_NOERROR) return ERR_DEVICE_NOT_CONNECTED;
  DbgMsg(kMsgApi, "PassThruClose()");
  CloseAdapterPort();
  State().channels.ChannelStatus = 0;
  return STATUS_NOERROR;
}

}  // namespace orv::api
