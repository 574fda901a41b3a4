/*
 * The unsigned long flavour at its edges, against the simulator on COM7
 * with 0x7E8 bus traffic: values beyond 32 bits are refused, never cut
 * short; outputs are whole unsigned longs; lists of many records (one
 * core call each) go through. Prints each failed check; exit code 1 if any.
 */
#include <stdio.h>
#include <string.h>

#define ORVANTA_J2534_LP64 1 /* as Orvanta::passthru_lp64 and pkg-config define it */
#include "orvanta_j2534.h"

_Static_assert(sizeof(PASSTHRU_MSG) == 6 * sizeof(unsigned long) + 4128, "six fields, then data");
_Static_assert(sizeof(SCONFIG) == 2 * sizeof(unsigned long), "two fields");

#define BIG 0x100000000ul
static int failures = 0;
#define CHECK(cond)                                             \
  do {                                                          \
    if (!(cond)) {                                              \
      fprintf(stderr, "line %d: %s failed\n", __LINE__, #cond); \
      ++failures;                                               \
    }                                                           \
  } while (0)

static PASSTHRU_MSG msgs[10];

static void can_msg(PASSTHRU_MSG* m, unsigned long id, unsigned long size) {
  memset(m, 0, sizeof *m);
  m->ProtocolID = CAN;
  m->Data[2] = (uint8_t)(id >> 8);
  m->Data[3] = (uint8_t)id;
  m->DataSize = size;
}

int main(void) {
  unsigned long device = ~0ul, channel = ~0ul, filter = 0, count = 0, value = ~0ul;
  char text[80];
  CHECK(PassThruOpen("COM7", &device) == STATUS_NOERROR && device == 7);
  CHECK(PassThruConnect(device, CAN, BIG, 500000, &channel) == ERR_INVALID_FLAGS);
  CHECK(PassThruGetLastError(text) == STATUS_NOERROR && strstr(text, "Flags") != NULL);
  CHECK(PassThruConnect(device, CAN | BIG, 0, 500000, &channel) == ERR_INVALID_PROTOCOL_ID);
  CHECK(PassThruConnect(device, CAN, 0, 500000, &channel) == STATUS_NOERROR && channel == 5);
  CHECK(PassThruDisconnect(BIG | channel) != STATUS_NOERROR); /* not channel 5 */

  SCONFIG config = {DATA_RATE, ~0ul};
  SCONFIG_LIST configs = {1, &config};
  CHECK(PassThruIoctl(channel, GET_CONFIG, &configs, NULL) == STATUS_NOERROR);
  CHECK(config.Value == 500000);
  config.Value = BIG | 500000;
  CHECK(PassThruIoctl(channel, SET_CONFIG, &configs, NULL) == ERR_INVALID_IOCTL_VALUE);
  CHECK(PassThruIoctl(device, READ_VBATT, NULL, &value) == STATUS_NOERROR && value < BIG);

  can_msg(&msgs[0], 0x7FF, 4);
  can_msg(&msgs[1], 0x7E8, 4);
  CHECK(PassThruStartMsgFilter(channel, PASS_FILTER, &msgs[0], &msgs[1], NULL, &filter) == 0);
  count = 10; /* a list of several records, converted whole */
  CHECK(PassThruReadMsgs(channel, msgs, &count, 3000) == STATUS_NOERROR && count == 10);
  CHECK(msgs[9].Data[3] == 0xE8 && msgs[9].DataSize == 11 && msgs[9].Timestamp > 0);

  for (int i = 0; i < 6; ++i) can_msg(&msgs[i], 0x7E0, 12);
  msgs[5].DataSize = 4129;
  count = 6;
  CHECK(PassThruWriteMsgs(channel, msgs, &count, 1000) == ERR_INVALID_MSG && count == 5);
  msgs[0].DataSize = BIG | 12;
  count = 1;
  CHECK(PassThruWriteMsgs(channel, msgs, &count, 1000) == ERR_INVALID_MSG && count == 0);
  CHECK(PassThruDisconnect(channel) == STATUS_NOERROR);
  CHECK(PassThruClose(device) == STATUS_NOERROR);
  printf("lp64 limits: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
