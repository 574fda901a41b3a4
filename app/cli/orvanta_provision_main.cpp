// orvanta-provision: provisions an Orvanta-IOT adapter with a wireless
// network from the command line.
#include "app/cli/provision_cli.h"

int main(int argc, char** argv) {
  return orv::app::RunCommandLine(argc, argv);
}
