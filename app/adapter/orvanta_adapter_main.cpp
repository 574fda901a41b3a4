// orvanta-adapter: the Orvanta adapter's own command-line tool.
#include "app/adapter/adapter_cli.h"
#include "platform/tool/tool_platform.h"

#include <cstring>

int main(int argc, char** argv) {
  using orv::platform::tool::IsTerminal;
  using orv::platform::tool::Stream;
  orv::app::adapter::Streams streams;
  streams.in_terminal = IsTerminal(Stream::kInput);
  streams.err_terminal = IsTerminal(Stream::kError);
  if (argc > 1 && std::strcmp(argv[1], "extcap") == 0) {
    return orv::app::adapter::RunExtcap(argc - 1, argv + 1, streams);
  }
  return orv::app::adapter::RunAdapterTool(argc, argv, streams);
}
