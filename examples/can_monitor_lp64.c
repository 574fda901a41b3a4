/*
 * can_monitor_lp64: a CAN bus monitor as host programs built from SAE's
 * J2534 header on 64-bit Linux are written: every numeric type is unsigned
 * long (ORVANTA_J2534_LP64), and it links liborvanta_passthru_lp64.
 *
 * It connects raw CAN (11-bit and 29-bit identifiers) at 500 kbit/s, lets
 * every frame pass, sends the frames given as ID#HEX (an ID of more than
 * three digits is a 29-bit one), then prints what it receives for MS
 * milliseconds as "RX ID#HEX", and the battery voltage as "VBATT <mV>".
 *
 * Usage: can_monitor_lp64 ADAPTER MS [ID#HEX ...]   (ADAPTER e.g. "COM7")
 * Exit codes: 0 done, 1 a pass-thru call failed, 2 bad usage.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define ORVANTA_J2534_LP64 1 /* as Orvanta::passthru_lp64 and pkg-config define it */
#include "orvanta_j2534.h"

static PASSTHRU_MSG msg; /* 4 kB: not on the stack */

static int failed(const char* call, long rc) {
  char text[80];
  PassThruGetLastError(text);
  fprintf(stderr, "%s returned %ld: %s\n", call, rc, text);
  return 1;
}

static void put_id(PASSTHRU_MSG* m, unsigned long id) {
  m->Data[0] = (uint8_t)(id >> 24);
  m->Data[1] = (uint8_t)(id >> 16);
  m->Data[2] = (uint8_t)(id >> 8);
  m->Data[3] = (uint8_t)id;
}

/* "7E0#0201" or "18DA10F1#0201" into msg; 0 when malformed. */
static int parse_frame(const char* text, unsigned long channel) {
  const char* hash = strchr(text, '#');
  char* end = NULL;
  const unsigned long id = strtoul(text, &end, 16);
  if (hash == NULL || end != hash || strlen(hash + 1) % 2 != 0) return 0;
  memset(&msg, 0, sizeof msg);
  msg.ProtocolID = channel;
  msg.TxFlags = hash - text > 3 ? CAN_29BIT_ID : 0;
  put_id(&msg, id);
  msg.DataSize = 4;
  for (const char* p = hash + 1; *p != '\0'; p += 2) {
    char byte[3] = {p[0], p[1], '\0'};
    if (msg.DataSize >= 12) return 0;
    msg.Data[msg.DataSize++] = (uint8_t)strtoul(byte, &end, 16);
    if (*end != '\0') return 0;
  }
  return 1;
}

/* Two pass-everything filters: one per identifier length. */
static long pass_all(unsigned long channel) {
  static PASSTHRU_MSG mask, pattern;
  for (unsigned long flags = 0; flags <= CAN_29BIT_ID; flags += CAN_29BIT_ID) {
    unsigned long filter = 0;
    mask.ProtocolID = pattern.ProtocolID = CAN;
    mask.TxFlags = pattern.TxFlags = flags;
    mask.DataSize = pattern.DataSize = 4;
    long rc = PassThruStartMsgFilter(channel, PASS_FILTER, &mask, &pattern, NULL, &filter);
    if (rc != STATUS_NOERROR) return rc;
  }
  return STATUS_NOERROR;
}

static unsigned long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned long)ts.tv_sec * 1000ul + (unsigned long)ts.tv_nsec / 1000000ul;
}

static void print_frame(void) {
  const unsigned long id = ((unsigned long)msg.Data[0] << 24) | ((unsigned long)msg.Data[1] << 16) |
                           ((unsigned long)msg.Data[2] << 8) | msg.Data[3];
  printf((msg.RxStatus & CAN_29BIT_ID) ? "RX %08lX#" : "RX %03lX#", id);
  for (unsigned long i = 4; i < msg.DataSize; ++i) printf("%02X", msg.Data[i]);
  printf("\n");
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: can_monitor_lp64 ADAPTER MS [ID#HEX ...]\n");
    return 2;
  }
  const unsigned long listen_ms = strtoul(argv[2], NULL, 10);
  unsigned long device = 0, channel = 0, count = 0, millivolts = 0;
  long rc = PassThruOpen(argv[1], &device);
  if (rc != STATUS_NOERROR) return failed("PassThruOpen", rc);
  rc = PassThruConnect(device, CAN, CAN_ID_BOTH, 500000, &channel);
  if (rc != STATUS_NOERROR) return failed("PassThruConnect", rc);
  rc = pass_all(channel);
  if (rc != STATUS_NOERROR) return failed("PassThruStartMsgFilter", rc);
  for (int i = 3; i < argc; ++i) {
    if (!parse_frame(argv[i], CAN)) {
      fprintf(stderr, "bad frame %s (ID#HEX, at most 8 data bytes)\n", argv[i]);
      return 2;
    }
    count = 1;
    rc = PassThruWriteMsgs(channel, &msg, &count, 100);
    if (rc != STATUS_NOERROR) return failed("PassThruWriteMsgs", rc);
  }
  for (const unsigned long start = now_ms(); now_ms() - start < listen_ms;) {
    count = 1;
    rc = PassThruReadMsgs(channel, &msg, &count, 50);
    if (rc != STATUS_NOERROR && rc != ERR_TIMEOUT && rc != ERR_BUFFER_EMPTY) {
      return failed("PassThruReadMsgs", rc);
    }
    if (count == 1 && msg.DataSize >= 4) print_frame();
  }
  rc = PassThruIoctl(device, READ_VBATT, NULL, &millivolts);
  if (rc != STATUS_NOERROR) return failed("READ_VBATT", rc);
  printf("VBATT %lu\n", millivolts);
  PassThruDisconnect(channel);
  PassThruClose(device);
  return 0;
}
