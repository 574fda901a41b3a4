/*
 * A minimal J2534 host program built against an installed copy of the
 * library (through find_package and through pkg-config, in both flavours:
 * ORV_ULONG and ORV_LONG are what the header makes them): opens the
 * adapter, reads the versions and closes it again.
 *
 * Usage: host_open [DEVICE-NAME]   (for example COM3; none: search all ports)
 * Prints "device <id> firmware <fw> dll <dll> api <api>" and exits 0 when
 * every call succeeded and the API version is "04.04"; otherwise prints the
 * failing call, its status and the library's last error, and exits 1.
 */
#include <stdio.h>
#include <string.h>

#include "orvanta_j2534.h"

static int report_failure(const char* call, ORV_LONG status) {
  char reason[80] = {0};
  PassThruGetLastError(reason);
  fprintf(stderr, "host_open: %s returned %ld (%s)\n", call, (long)status, reason);
  return 1;
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : NULL;
  ORV_ULONG device_id = 0;
  char firmware[80] = {0};
  char dll[80] = {0};
  char api[80] = {0};

  ORV_LONG status = PassThruOpen(name, &device_id);
  if (status != STATUS_NOERROR) return report_failure("PassThruOpen", status);
  status = PassThruReadVersion(device_id, firmware, dll, api);
  if (status != STATUS_NOERROR) return report_failure("PassThruReadVersion", status);
  printf("device %lu firmware %s dll %s api %s\n", (unsigned long)device_id, firmware, dll, api);
  status = PassThruClose(device_id);
  if (status != STATUS_NOERROR) return report_failure("PassThruClose", status);
  if (strcmp(api, "04.04") != 0) {
    fprintf(stderr, "host_open: API version \"%s\", expected \"04.04\"\n", api);
    return 1;
  }
  return 0;
}
