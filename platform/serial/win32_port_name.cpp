#include "platform/serial/win32_port_name.h"

namespace odu::platform {

std::optional<std::string> Win32PortPath(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  const bool com = name.size() >= 5 && upper(name[0]) == 'C' && upper(name[1]) == 'O' && upper(name[2]) == 'M';
  bool digits = com;
  for (size_t i = 3; digits && i < name.size(); ++i) digits = name[i] >= '0' && name[i] <= '9';
  if (digits) return "\\\\.\\" + std::string(name);
  return std::string(name);
}

}  // namespace odu::platform
