// orvanta-provision with the desktop dialog built in: started without
// arguments on a display it opens the provisioning dialog; with arguments
// (or without a display) it is the command line.
#include "app/cli/provision_cli.h"
#include "app/gtk/desktop_dialog.h"

int main(int argc, char** argv) {
  if (argc <= 1 && orv::app::desktop::DisplayAvailable()) {
    return orv::app::desktop::RunDesktopDialog();
  }
  return orv::app::RunCommandLine(argc, argv);
}
