// The registry layer: the few registry reads and the version query that the
// port enumeration needs, each the counterpart of one Windows call.
//
// The Windows backend passes every call straight through to the system; the
// in-memory backend (registry_memory.h) answers from a tree that tests build.
// Results are the Windows error codes (LONG values); 0 is success.
#pragma once

#include <cstdint>
#include <string>

namespace odu::platform {

// An open key, or one of the predefined roots. Never 0 for an open key.
using RegKey = uintptr_t;
using RegResult = int32_t;

// Predefined roots, with the handle values Windows gives them (a 32-bit
// negative number widened to pointer size).
inline constexpr RegKey kHkeyLocalMachine = static_cast<RegKey>(static_cast<intptr_t>(static_cast<int32_t>(0x80000002u)));
inline constexpr RegKey kHkeyDynData = static_cast<RegKey>(static_cast<intptr_t>(static_cast<int32_t>(0x80000006u)));

inline constexpr uint32_t kKeyRead = 0x20019;  // KEY_READ

inline constexpr RegResult kRegSuccess = 0;
inline constexpr RegResult kRegNotFound = 2;
inline constexpr RegResult kRegAccessDenied = 5;
inline constexpr RegResult kRegInvalidHandle = 6;
inline constexpr RegResult kRegInvalidParameter = 87;
inline constexpr RegResult kRegMoreData = 234;
inline constexpr RegResult kRegNoMoreItems = 259;

// Value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

// Platform ids of the version query.
inline constexpr uint32_t kPlatformWin32Windows = 1;  // the Windows 9x family
inline constexpr uint32_t kPlatformWin32Nt = 2;       // the NT family

class Registry {
 public:
  virtual ~Registry() = default;

  // RegOpenKeyExA. `path` is relative to `root` (a predefined root or an open
  // key), its components separated by single backslashes and matched without
  // regard to case. On success `out` is the new key, which the caller closes;
  // on failure `out` is 0.
  virtual RegResult OpenKey(RegKey root, const std::string& path, uint32_t options, uint32_t access,
                            RegKey& out) = 0;

  // RegQueryInfoKeyA, reduced to the two counts the enumeration reads.
  virtual RegResult QueryInfoKey(RegKey key, uint32_t& subkeys, uint32_t& values) = 0;

  // RegEnumKeyA: the name of sub-key `index`, zero-terminated, into `name`
  // (`size` bytes including the zero; never more is written). A name that does
  // not fit gives kRegMoreData, an index past the end kRegNoMoreItems; after
  // any failure the buffer's contents are unspecified but nothing outside it
  // is touched.
  virtual RegResult EnumKey(RegKey key, uint32_t index, char* name, uint32_t size) = 0;

  // RegEnumValueA: name, type and data of value `index`.
  // - `name_len` in: the capacity of `name` in characters including the
  //   zero; out on success: the name's length without the zero. A name of
  //   `name_len` characters or more gives kRegMoreData.
  // - `type` may be null.
  // - `data_len` in: the capacity of `data` in bytes; out on success: the
  //   number of bytes stored. Data longer than the capacity give kRegMoreData
  //   and `data_len` is set to the size needed. Text data are stored as the
  //   registry holds them: with or without a terminating zero.
  // On any failure the contents of `name` and `data` are unspecified, but
  // nothing beyond the stated capacities is ever written.
  virtual RegResult EnumValue(RegKey key, uint32_t index, char* name, uint32_t& name_len, uint32_t* type,
                              uint8_t* data, uint32_t& data_len) = 0;

  // RegCloseKey.
  virtual RegResult CloseKey(RegKey key) = 0;

  // GetVersionExA: the platform id and major version. False when the query
  // failed, and then both are 0.
  virtual bool GetVersion(uint32_t& platform_id, uint32_t& major) = 0;
};

// The operating system's registry. Only the Windows build defines it.
Registry& SystemRegistry();

}  // namespace odu::platform
