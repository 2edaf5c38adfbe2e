#include "platform/serial/network/network_port_name.h"

#include <cctype>
#include <string_view>

namespace odu::platform {

namespace {

constexpr std::string_view kRfc2217Scheme = "rfc2217://";
constexpr std::string_view kSocketScheme = "socket://";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

}  // namespace

bool IsNetworkPortName(const std::string& name) {
  return StartsWithNoCase(name, kRfc2217Scheme) || StartsWithNoCase(name, kSocketScheme);
}

std::optional<NetworkPortName> ParseNetworkPortName(const std::string& name) {
  NetworkPortName out;
  std::string_view rest(name);
  if (StartsWithNoCase(rest, kRfc2217Scheme)) {
    out.kind = NetworkPortName::Kind::kRfc2217;
    rest.remove_prefix(kRfc2217Scheme.size());
  } else if (StartsWithNoCase(rest, kSocketScheme)) {
    out.kind = NetworkPortName::Kind::kRawSocket;
    rest.remove_prefix(kSocketScheme.size());
  } else {
    return std::nullopt;
  }
  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return std::nullopt;
    host = rest.substr(1, close - 1);
    for (char c : host) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
    }
    rest.remove_prefix(close + 2);
  } else {
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = rest.substr(0, colon);
    for (char c : host) {
      if (!IsHostChar(c)) return std::nullopt;
    }
    rest.remove_prefix(colon + 1);
  }
  if (host.empty() || host.size() > 253) return std::nullopt;
  const std::optional<uint16_t> port = ParsePort(rest);
  if (!port) return std::nullopt;
  out.host = std::string(host);
  out.port = *port;
  return out;
}

}  // namespace odu::platform
