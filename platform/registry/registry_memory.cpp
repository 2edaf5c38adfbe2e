#include "platform/registry/registry_memory.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace odu::platform {

namespace {

constexpr RegKey Widened(uint32_t value) {
  return static_cast<RegKey>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

// Windows keeps its predefined roots in this range of handle values; handles
// of open keys are small numbers, far below it.
bool IsPredefinedRoot(RegKey key) { return key >= Widened(0x80000000u) && key <= Widened(0x80000fffu); }

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}

// Calls `step` with each backslash-separated component of a non-empty path.
template <typename Step>
bool ForEachComponent(std::string_view path, Step&& step) {
  while (true) {
    const size_t cut = path.find('\\');
    if (!step(path.substr(0, cut))) return false;
    if (cut == std::string_view::npos) return true;
    path.remove_prefix(cut + 1);
  }
}

}  // namespace

MemoryRegistry::Key* MemoryRegistry::Key::Find(std::string_view name) {
  for (auto& sub : subkeys_) {
    if (SameName(sub->name_, name)) return sub.get();
  }
  return nullptr;
}

MemoryRegistry::Key& MemoryRegistry::Key::SubKey(std::string_view name) {
  if (Key* existing = Find(name)) return *existing;
  subkeys_.push_back(std::make_unique<Key>(std::string(name)));
  return *subkeys_.back();
}

MemoryRegistry::Key& MemoryRegistry::Key::AddValue(std::string name, uint32_t type, std::vector<uint8_t> data) {
  values_.push_back(Value{std::move(name), type, std::move(data)});
  return *this;
}

MemoryRegistry::Key& MemoryRegistry::Key::AddString(std::string name, std::string_view text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return AddValue(std::move(name), kRegSz, std::move(data));
}

MemoryRegistry::Key& MemoryRegistry::Key::FailEnumKeyAt(uint32_t index, RegResult result) {
  enum_key_failures_[index] = result;
  return *this;
}

MemoryRegistry::Key& MemoryRegistry::Key::FailQueryInfo(RegResult result) {
  query_info_result_ = result;
  return *this;
}

MemoryRegistry::Key& MemoryRegistry::Root(RegKey root) {
  auto& slot = roots_[root];
  if (!slot) slot = std::make_unique<Key>(std::string());
  return *slot;
}

MemoryRegistry::Key& MemoryRegistry::CreateKey(RegKey root, std::string_view path) {
  Key* key = &Root(root);
  if (!path.empty()) {
    ForEachComponent(path, [&](std::string_view name) {
      key = &key->SubKey(name);
      return true;
    });
  }
  return *key;
}

void MemoryRegistry::SetVersion(uint32_t platform_id, uint32_t major, bool query_succeeds) {
  platform_id_ = platform_id;
  major_ = major;
  version_succeeds_ = query_succeeds;
}

MemoryRegistry::Key* MemoryRegistry::Resolve(RegKey key) {
  if (auto it = handles_.find(key); it != handles_.end()) return it->second;
  if (IsPredefinedRoot(key)) return &Root(key);
  ++invalid_handle_uses_;
  return nullptr;
}

RegResult MemoryRegistry::OpenKey(RegKey root, const std::string& path, uint32_t options, uint32_t access,
                                  RegKey& out) {
  out = 0;
  Key* key = Resolve(root);
  if (key == nullptr) return kRegInvalidHandle;
  if (options != 0) return kRegInvalidParameter;
  if (access != kKeyRead) return kRegAccessDenied;
  if (!path.empty()) {
    const bool found = ForEachComponent(path, [&](std::string_view name) {
      key = key->Find(name);
      return key != nullptr;
    });
    if (!found) return kRegNotFound;
  }
  out = next_handle_++;  // never reused, so a use after close is caught
  handles_[out] = key;
  return kRegSuccess;
}

RegResult MemoryRegistry::QueryInfoKey(RegKey key, uint32_t& subkeys, uint32_t& values) {
  const Key* k = Resolve(key);
  if (k == nullptr) return kRegInvalidHandle;
  if (k->query_info_result_ != kRegSuccess) return k->query_info_result_;
  subkeys = static_cast<uint32_t>(k->subkeys_.size());
  values = static_cast<uint32_t>(k->values_.size());
  return kRegSuccess;
}

RegResult MemoryRegistry::EnumKey(RegKey key, uint32_t index, char* name, uint32_t size) {
  const Key* k = Resolve(key);
  if (k == nullptr) return kRegInvalidHandle;
  if (auto it = k->enum_key_failures_.find(index); it != k->enum_key_failures_.end()) return it->second;
  if (index >= k->subkeys_.size()) return kRegNoMoreItems;
  const std::string& sub = k->subkeys_[index]->name_;
  if (sub.size() >= size) return kRegMoreData;
  std::memcpy(name, sub.c_str(), sub.size() + 1);
  return kRegSuccess;
}

// Failures write nothing at all into the caller's buffers.
RegResult MemoryRegistry::EnumValue(RegKey key, uint32_t index, char* name, uint32_t& name_len, uint32_t* type,
                                    uint8_t* data, uint32_t& data_len) {
  const Key* k = Resolve(key);
  if (k == nullptr) return kRegInvalidHandle;
  if (index >= k->values_.size()) return kRegNoMoreItems;
  const Key::Value& value = k->values_[index];
  if (value.name.size() >= name_len) return kRegMoreData;
  if (data != nullptr && value.data.size() > data_len) {
    data_len = static_cast<uint32_t>(value.data.size());
    return kRegMoreData;
  }
  std::memcpy(name, value.name.c_str(), value.name.size() + 1);
  name_len = static_cast<uint32_t>(value.name.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr && !value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
  data_len = static_cast<uint32_t>(value.data.size());
  return kRegSuccess;
}

RegResult MemoryRegistry::CloseKey(RegKey key) {
  if (handles_.erase(key) == 0) {
    ++invalid_handle_uses_;
    return kRegInvalidHandle;
  }
  return kRegSuccess;
}

bool MemoryRegistry::GetVersion(uint32_t& platform_id, uint32_t& major) {
  platform_id = version_succeeds_ ? platform_id_ : 0;
  major = version_succeeds_ ? major_ : 0;
  return version_succeeds_;
}

}  // namespace odu::platform
