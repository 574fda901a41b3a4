/*
 * vin_reader: reads the vehicle identification number over ISO 15765 the
 * way a third-party diagnostic program does, through the public header and
 * the shared library only: open the adapter, connect, install a
 * flow-control filter, write the OBD-II request 09 02 (with --uds the UDS
 * request 22 F1 90, ReadDataByIdentifier VIN) to 0x7E0 and read the answer
 * from 0x7E8.
 *
 * Usage: vin_reader [adapter-name] [--uds]   (name for example "COM7";
 *        default: search)
 * Exit codes: 0 VIN printed, 1 a pass-thru call failed, 2 no answer.
 */
#include <stdio.h>
#include <string.h>

#include "orvanta_j2534.h"

#define REQUEST_ID 0x7E0u
#define RESPONSE_ID 0x7E8u
#define READ_TIMEOUT_MS 1000u
#define READ_ATTEMPTS 5

static void put_id(PASSTHRU_MSG* msg, uint32_t id) {
  msg->Data[0] = (uint8_t)(id >> 24);
  msg->Data[1] = (uint8_t)(id >> 16);
  msg->Data[2] = (uint8_t)(id >> 8);
  msg->Data[3] = (uint8_t)id;
  msg->DataSize = 4;
}

static int failed(const char* call, int32_t rc) {
  char text[80];
  PassThruGetLastError(text);
  fprintf(stderr, "%s returned %ld: %s\n", call, (long)rc, text);
  return 1;
}

static int use_uds;

/* A complete answer to 09 02 (49 02 <count>) or to 22 F1 90 (62 F1 90),
 * then the VIN characters. */
static int is_vin_answer(const PASSTHRU_MSG* msg) {
  if (msg->RxStatus & (START_OF_MESSAGE | TX_MSG_TYPE)) return 0;
  if (msg->DataSize <= 7) return 0;
  if (use_uds) return msg->Data[4] == 0x62 && msg->Data[5] == 0xF1 && msg->Data[6] == 0x90;
  return msg->Data[4] == 0x49 && msg->Data[5] == 0x02;
}

static int read_vin(uint32_t channel) {
  static PASSTHRU_MSG msg; /* 4 kB: not on the stack */
  int attempt;
  for (attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
    uint32_t count = 1;
    int32_t rc = PassThruReadMsgs(channel, &msg, &count, READ_TIMEOUT_MS);
    if (rc != STATUS_NOERROR && rc != ERR_TIMEOUT && rc != ERR_BUFFER_EMPTY) {
      return failed("PassThruReadMsgs", rc);
    }
    if (count == 1 && is_vin_answer(&msg)) {
      printf("VIN: %.*s\n", (int)(msg.DataSize - 7), (const char*)&msg.Data[7]);
      return 0;
    }
  }
  fprintf(stderr, "no answer from the ECU\n");
  return 2;
}

int main(int argc, char** argv) {
  static PASSTHRU_MSG mask, pattern, flow, request;
  uint32_t device = 0, channel = 0, filter = 0, count = 1;
  int32_t rc;
  int result, i;
  const char* name = NULL;

  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--uds") == 0) {
      use_uds = 1;
    } else {
      name = argv[i];
    }
  }
  rc = PassThruOpen(name, &device);
  if (rc != STATUS_NOERROR) return failed("PassThruOpen", rc);
  rc = PassThruConnect(device, ISO15765, 0, 500000, &channel);
  if (rc != STATUS_NOERROR) return failed("PassThruConnect", rc);

  mask.ProtocolID = pattern.ProtocolID = flow.ProtocolID = ISO15765;
  flow.TxFlags = ISO15765_FRAME_PAD;
  put_id(&mask, 0x7FFu);
  put_id(&pattern, RESPONSE_ID);
  put_id(&flow, REQUEST_ID);
  rc = PassThruStartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter);
  if (rc != STATUS_NOERROR) return failed("PassThruStartMsgFilter", rc);

  request.ProtocolID = ISO15765;
  request.TxFlags = ISO15765_FRAME_PAD;
  put_id(&request, REQUEST_ID);
  if (use_uds) {
    request.Data[4] = 0x22; /* service: ReadDataByIdentifier */
    request.Data[5] = 0xF1; /* identifier F190: VIN */
    request.Data[6] = 0x90;
    request.DataSize = 7;
  } else {
    request.Data[4] = 0x09; /* service: vehicle information */
    request.Data[5] = 0x02; /* PID: VIN */
    request.DataSize = 6;
  }
  rc = PassThruWriteMsgs(channel, &request, &count, 1000);
  if (rc != STATUS_NOERROR) return failed("PassThruWriteMsgs", rc);

  result = read_vin(channel);
  PassThruDisconnect(channel);
  PassThruClose(device);
  return result;
}
