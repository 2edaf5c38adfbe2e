// The registry layer on Windows: each call passed straight to the system.
#include <windows.h>

#include "platform/registry/registry.h"

namespace odu::platform {

namespace {

HKEY ToHkey(RegKey key) { return reinterpret_cast<HKEY>(key); }

class Win32Registry final : public Registry {
 public:
  RegResult OpenKey(RegKey root, const std::string& path, uint32_t options, uint32_t access, RegKey& out) override {
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExA(ToHkey(root), path.c_str(), options, static_cast<REGSAM>(access), &key);
    out = result == ERROR_SUCCESS ? reinterpret_cast<RegKey>(key) : 0;
    return static_cast<RegResult>(result);
  }

  // Only the two counts are asked for: the class text and the other figures
  // would be discarded, and a long class text would fail the whole query.
  RegResult QueryInfoKey(RegKey key, uint32_t& subkeys, uint32_t& values) override {
    DWORD sub = 0;
    DWORD val = 0;
    const LONG result = RegQueryInfoKeyA(ToHkey(key), nullptr, nullptr, nullptr, &sub, nullptr, nullptr, &val,
                                         nullptr, nullptr, nullptr, nullptr);
    subkeys = static_cast<uint32_t>(sub);
    values = static_cast<uint32_t>(val);
    return static_cast<RegResult>(result);
  }

  RegResult EnumKey(RegKey key, uint32_t index, char* name, uint32_t size) override {
    return static_cast<RegResult>(RegEnumKeyA(ToHkey(key), index, name, size));
  }

  RegResult EnumValue(RegKey key, uint32_t index, char* name, uint32_t& name_len, uint32_t* type, uint8_t* data,
                      uint32_t& data_len) override {
    DWORD name_chars = name_len;
    DWORD value_type = 0;
    DWORD data_bytes = data_len;
    const LONG result = RegEnumValueA(ToHkey(key), index, name, &name_chars, nullptr, &value_type, data, &data_bytes);
    name_len = static_cast<uint32_t>(name_chars);
    data_len = static_cast<uint32_t>(data_bytes);
    if (type != nullptr) *type = static_cast<uint32_t>(value_type);
    return static_cast<RegResult>(result);
  }

  RegResult CloseKey(RegKey key) override { return static_cast<RegResult>(RegCloseKey(ToHkey(key))); }

  bool GetVersion(uint32_t& platform_id, uint32_t& major) override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = static_cast<DWORD>(sizeof info);
    // Deprecated, but the platform id and major version are all that is read.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    const BOOL ok = GetVersionExA(&info);
#if defined(_MSC_VER)
#pragma warning(pop)
#elif defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    // A failed query leaves the record zero: platform id 0.
    platform_id = static_cast<uint32_t>(info.dwPlatformId);
    major = static_cast<uint32_t>(info.dwMajorVersion);
    return ok != FALSE;
  }
};

}  // namespace

Registry& SystemRegistry() {
  static Win32Registry registry;
  return registry;
}

}  // namespace odu::platform
