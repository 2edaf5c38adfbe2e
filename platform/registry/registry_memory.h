// A registry held in memory, for tests: trees are built as data, and the
// backend answers each call the way Windows would (see registry.h), counting
// the keys that are open so that a test can prove every key was closed.
//
// Keys and values enumerate in the order they were added. Key paths match
// without regard to ASCII case. The registry is read-only to its users: an
// open asking for anything but KEY_READ is refused (access denied), and
// options other than 0 are an invalid parameter.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace odu::platform {

class MemoryRegistry final : public Registry {
 public:
  class Key {
   public:
    explicit Key(std::string name) : name_(std::move(name)) {}

    // The sub-key `name` (found without regard to case), added last if new.
    Key& SubKey(std::string_view name);
    // Appends a value; names of any length, data of any size and type. Names
    // are not checked for uniqueness.
    Key& AddValue(std::string name, uint32_t type, std::vector<uint8_t> data);
    // Appends a text value (kRegSz) stored with its terminating zero.
    Key& AddString(std::string name, std::string_view text);
    // Enumerating sub-key `index` fails with `result` from now on, as when the
    // key changed after it was opened.
    Key& FailEnumKeyAt(uint32_t index, RegResult result = kRegNoMoreItems);
    // QueryInfoKey on this key fails with `result` from now on.
    Key& FailQueryInfo(RegResult result);

   private:
    friend class MemoryRegistry;
    struct Value {
      std::string name;
      uint32_t type;
      std::vector<uint8_t> data;
    };
    Key* Find(std::string_view name);

    std::string name_;
    std::vector<std::unique_ptr<Key>> subkeys_;
    std::vector<Value> values_;
    std::map<uint32_t, RegResult> enum_key_failures_;
    RegResult query_info_result_ = kRegSuccess;
  };

  // A predefined root; created empty on first use (by a test or an open).
  Key& Root(RegKey root);
  // The key at `path` below `root`, created with its parents as needed.
  Key& CreateKey(RegKey root, std::string_view path);
  // What the version query reports; a failing query reports zeros.
  void SetVersion(uint32_t platform_id, uint32_t major, bool query_succeeds = true);

  // Keys opened and not yet closed.
  int OpenHandles() const { return static_cast<int>(handles_.size()); }
  // Calls made with a handle that was never open or is closed already.
  int InvalidHandleUses() const { return invalid_handle_uses_; }

  RegResult OpenKey(RegKey root, const std::string& path, uint32_t options, uint32_t access, RegKey& out) override;
  RegResult QueryInfoKey(RegKey key, uint32_t& subkeys, uint32_t& values) override;
  RegResult EnumKey(RegKey key, uint32_t index, char* name, uint32_t size) override;
  RegResult EnumValue(RegKey key, uint32_t index, char* name, uint32_t& name_len, uint32_t* type, uint8_t* data,
                      uint32_t& data_len) override;
  RegResult CloseKey(RegKey key) override;
  bool GetVersion(uint32_t& platform_id, uint32_t& major) override;

 private:
  // The key behind an open handle or a predefined root; null (and counted as
  // an invalid use) for anything else.
  Key* Resolve(RegKey key);

  std::map<RegKey, std::unique_ptr<Key>> roots_;
  std::map<RegKey, Key*> handles_;
  RegKey next_handle_ = 0x1000;
  int invalid_handle_uses_ = 0;
  uint32_t platform_id_ = 0;
  uint32_t major_ = 0;
  bool version_succeeds_ = true;
};

}  // namespace odu::platform
