#include "tests/support/trace_host.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace orv::test {

std::string TraceHostUnusableReason() {
  char host[256] = {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (gethostname(host, sizeof host - 1) != 0 || getaddrinfo(host, nullptr, &hints, &found) != 0)
    return "this machine's host name has no IPv4 address";
  uint8_t octets[4] = {};
  std::memcpy(octets, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, sizeof octets);
  freeaddrinfo(found);
  if (!platform::IsOwnIpv4Address(octets))
    return "this machine's host name resolves to an address not its own";
  return "";
}

}  // namespace orv::test
