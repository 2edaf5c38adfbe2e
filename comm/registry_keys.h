// Reading the registry a key at a time: an open key that closes itself, and
// the walk over a key's sub-keys. Shared by the port list and the ports'
// descriptions.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "comm/enum_serial_ports.h"
#include "platform/registry/registry.h"

namespace odu {

// The text in `buffer` up to its first zero, never reading past `size` bytes.
inline std::string TextIn(const char* buffer, size_t size) {
  return std::string(buffer, std::find(buffer, buffer + size, '\0'));
}

inline std::string JoinKeyPath(const std::string& parent, const std::string& name) { return parent + '\\' + name; }

// A key opened with OpenKeyInfo, closed when it goes out of scope. A key
// that could not be opened has no sub-keys and no values.
class OpenedKey {
 public:
  OpenedKey(platform::Registry& reg, platform::RegKey root, const std::string& path) : reg_(reg) {
    OpenKeyInfo(reg, root, path, key_, subkeys_, values_);
  }
  ~OpenedKey() {
    if (key_ != 0) reg_.CloseKey(key_);
  }
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;

  platform::RegKey handle() const { return key_; }
  uint32_t subkeys() const { return subkeys_; }
  uint16_t values() const { return values_; }

 private:
  platform::Registry& reg_;
  platform::RegKey key_ = 0;
  uint32_t subkeys_ = 0;
  uint16_t values_ = 0;
};

// Opens the key at `path` and calls `visit` with the full path of each of its
// sub-keys, in index order up to the count read at opening; closes the key
// after the last one. An index that no longer enumerates (the key changed
// since it was opened) is skipped.
template <typename Visit>
void ForEachSubKey(platform::Registry& reg, platform::RegKey root, const std::string& path, Visit&& visit) {
  OpenedKey key(reg, root, path);
  std::array<char, kSubKeyNameBufferSize> name{};
  for (uint32_t index = 0; index < key.subkeys(); ++index) {
    if (reg.EnumKey(key.handle(), index, name.data(), kSubKeyNameBufferSize) != platform::kRegSuccess) continue;
    visit(JoinKeyPath(path, TextIn(name.data(), name.size())));
  }
}

// Calls `visit` with the path of every device instance of the NT device tree:
// the keys exactly three levels below it (enumerator, device, instance).
template <typename Visit>
void ForEachDeviceInstance(platform::Registry& reg, Visit&& visit) {
  ForEachSubKey(reg, platform::kHkeyLocalMachine, kDeviceTree, [&](const std::string& enumerator) {
    ForEachSubKey(reg, platform::kHkeyLocalMachine, enumerator, [&](const std::string& device) {
      ForEachSubKey(reg, platform::kHkeyLocalMachine, device, visit);
    });
  });
}

}  // namespace odu
