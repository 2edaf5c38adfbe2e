// Names of serial ports reached over TCP, as users of other serial tools
// write them: rfc2217://HOST:PORT (a Telnet COM-PORT-OPTION server such as
// ser2net or a serial device server) and socket://HOST:PORT (raw TCP, no
// line control). HOST is a name, an IPv4 address or [an IPv6 address].
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace odu::platform {

struct NetworkPortName {
  enum class Kind : uint8_t { kRfc2217, kRawSocket };
  Kind kind = Kind::kRfc2217;
  std::string host;
  uint16_t port = 0;
};

// True when `name` starts with one of the network schemes (any case): such a
// name is never a local device, even when the rest of it is malformed.
bool IsNetworkPortName(const std::string& name);

// The parts of a well-formed network name; nothing otherwise.
std::optional<NetworkPortName> ParseNetworkPortName(const std::string& name);

}  // namespace odu::platform
