// Whether this machine can carry the library's debug trace at all: the
// library connects to its own host name, which must resolve to one of the
// machine's own IPv4 addresses (a bare chroot or container often has no
// such name). Tests that need a trace listener skip with the reason.
#pragma once

#include <string>

namespace orv::test {

// "" when the trace can reach a listener on this machine, else why not.
std::string TraceHostUnusableReason();

}  // namespace orv::test
