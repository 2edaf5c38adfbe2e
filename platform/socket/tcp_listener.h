// A listening TCP socket, for the station simulator's RFC 2217 server: the
// simulator runs on POSIX systems only, so only the POSIX backend has it.
#pragma once

#include <string>

namespace odu::platform {

// A non-blocking listening descriptor (close-on-exec, address reuse, a
// backlog of one) on `host` (a name, an IPv4 or a bracketless IPv6 address)
// and `port` ("0": any free one), trying each address the name gives. Sets
// `bound` to the address it listens on, "HOST:PORT" ("[HOST]:PORT" for
// IPv6). -1 with the reason in `error` when none could be had.
int ListenTcp(const std::string& host, const std::string& port, std::string& bound, std::string& error);

}  // namespace odu::platform
