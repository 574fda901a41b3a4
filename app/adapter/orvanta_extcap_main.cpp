// orvanta-extcap: Wireshark's extcap program for the adapter's buses,
// installed into Wireshark's extcap folder (also `orvanta-adapter extcap`).
#include "app/adapter/adapter_cli.h"

int main(int argc, char** argv) {
  return orv::app::adapter::RunExtcap(argc, argv, orv::app::adapter::Streams{});
}
