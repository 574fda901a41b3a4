// The first IPv4 address of this machine's host name: where the library's
// debug trace connects and where the trace listener of the adapter tool
// binds, so both must find it the same way.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace orv::platform {

inline OsError OwnHostAddress(sockaddr_in* address) {
  char host[241] = {};
  if (gethostname(host, sizeof host - 1) != 0) return errno;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return EHOSTUNREACH;
  std::memcpy(address, found->ai_addr, sizeof *address);
  freeaddrinfo(found);
  return kOk;
}

}  // namespace orv::platform
