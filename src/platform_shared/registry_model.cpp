#include "registry_model.h"

#include <algorithm>
#include <cstring>

#include "utf16.h"

namespace tarvel::reg {

std::u16string FoldedName(std::u16string_view name)
{
  std::u16string folded(name);
  for (char16_t &unit : folded) {
    unit = FoldCase(unit);
  }
  return folded;
}

Key::~Key()
{
  std::vector<std::unique_ptr<Key>> pending = std::move(subkeys);
  while (!pending.empty()) {
    std::unique_ptr<Key> key = std::move(pending.back());
    pending.pop_back();
    for (auto &subkey : key->subkeys) {
      pending.push_back(std::move(subkey));
    }
    key->subkeys.clear();
  }
}

Key *Key::FindSubkey(std::u16string_view subkeyName) const
{
  auto found = subkeyAt_.find(FoldedName(subkeyName));
  return found == subkeyAt_.end() ? nullptr : subkeys[found->second].get();
}

Key &Key::SubkeyCreated(std::u16string_view subkeyName, bool *created)
{
  auto [at, added] = subkeyAt_.try_emplace(FoldedName(subkeyName), subkeys.size());
  if (added) {
    subkeys.push_back(std::make_unique<Key>());
    subkeys.back()->name = std::u16string(subkeyName);
  }
  if (created) {
    *created = added;
  }
  return *subkeys[at->second];
}

const Value *Key::FindValue(std::u16string_view valueName) const
{
  auto found = valueAt_.find(FoldedName(valueName));
  return found == valueAt_.end() ? nullptr : &values[found->second];
}

void Key::SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data)
{
  auto [at, added] = valueAt_.try_emplace(FoldedName(valueName), values.size());
  if (added) {
    values.push_back(Value{std::u16string(valueName), type, std::move(data)});
    return;
  }
  values[at->second].type = type;
  values[at->second].data = std::move(data);
}

void Key::EraseValue(std::u16string_view valueName)
{
  auto found = valueAt_.find(FoldedName(valueName));
  if (found == valueAt_.end()) {
    return;
  }
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(found->second));
  valueAt_.clear();
  for (std::size_t i = 0; i < values.size(); ++i) {
    valueAt_.emplace(FoldedName(values[i].name), i);
  }
}

bool Key::operator==(const Key &other) const
{
  if (name != other.name || values != other.values || subkeys.size() != other.subkeys.size()) {
    return false;
  }
  for (std::size_t i = 0; i < subkeys.size(); ++i) {
    if (!(*subkeys[i] == *other.subkeys[i])) {
      return false;
    }
  }
  return true;
}

KeyPath SplitKeyPath(std::u16string_view subkey)
{
  KeyPath parts;
  for (std::u16string_view part : SplitAtBackslashes(subkey)) {
    parts.emplace_back(part);
  }
  return parts;
}

std::optional<std::u16string> RootName(HKEY root)
{
  if (root == HKEY_CURRENT_USER) {
    return u"HKEY_CURRENT_USER";
  }
  return std::nullopt;
}

Key *Registry::Find(const KeyPath &path) const
{
  const Key *key = &top;
  for (const auto &part : path) {
    key = key->FindSubkey(part);
    if (key == nullptr) {
      return nullptr;
    }
  }
  return const_cast<Key *>(key);
}

Key &Registry::Create(const KeyPath &path, bool *created)
{
  Key *key = &top;
  bool anyCreated = false;
  for (const auto &part : path) {
    bool partCreated = false;
    key = &key->SubkeyCreated(part, &partCreated);
    anyCreated = anyCreated || partCreated;
  }
  if (created) {
    *created = anyCreated;
  }
  return *key;
}

std::optional<KeyPath> Calls::PathOf(HKEY key) const
{
  if (auto root = RootName(key)) {
    return KeyPath{*root};
  }
  auto found = handles_.find(reinterpret_cast<std::uintptr_t>(key));
  if (found == handles_.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::optional<KeyPath> Calls::ChildPath(HKEY parent, const char16_t *subkey) const
{
  auto path = PathOf(parent);
  if (!path) {
    return std::nullopt;
  }
  if (subkey != nullptr) {
    for (auto &part : SplitKeyPath(std::u16string_view(subkey, TextLength(subkey)))) {
      path->push_back(std::move(part));
    }
  }
  return path;
}

HKEY Calls::AddHandle(KeyPath path)
{
  std::uintptr_t handle = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(handle, std::move(path));
  return reinterpret_cast<HKEY>(handle);
}

LONG Calls::Open(HKEY parent, const char16_t *subkey, HKEY *result)
{
  if (result == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  *result = nullptr;
  auto path = ChildPath(parent, subkey);
  if (!path) {
    return ERROR_INVALID_HANDLE;
  }
  if (registry_.Find(*path) == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  *result = AddHandle(std::move(*path));
  return ERROR_SUCCESS;
}

LONG Calls::Create(HKEY parent, const char16_t *subkey, HKEY *result, DWORD *disposition)
{
  if (result == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  *result = nullptr;
  auto path = ChildPath(parent, subkey);
  if (!path) {
    return ERROR_INVALID_HANDLE;
  }
  bool created = false;
  registry_.Create(*path, &created);
  if (disposition) {
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  *result = AddHandle(std::move(*path));
  return ERROR_SUCCESS;
}

LONG Calls::Query(HKEY key, const char16_t *valueName, DWORD *type, BYTE *data,
                  DWORD *size) const
{
  auto path = PathOf(key);
  if (!path) {
    return ERROR_INVALID_HANDLE;
  }
  const Key *found = registry_.Find(*path);
  if (found == nullptr) {
    return ERROR_KEY_DELETED;
  }
  std::u16string_view name = valueName ? std::u16string_view(valueName, TextLength(valueName))
                                       : std::u16string_view();
  const Value *value = found->FindValue(name);
  if (value == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (data != nullptr && size == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (type) {
    *type = value->type;
  }
  auto length = static_cast<DWORD>(value->data.size());
  if (data != nullptr && *size < length) {
    *size = length;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && length > 0) {
    std::memcpy(data, value->data.data(), length);
  }
  if (size) {
    *size = length;
  }
  return ERROR_SUCCESS;
}

LONG Calls::Set(HKEY key, const char16_t *valueName, DWORD type, const BYTE *data, DWORD size)
{
  auto path = PathOf(key);
  if (!path) {
    return ERROR_INVALID_HANDLE;
  }
  Key *found = registry_.Find(*path);
  if (found == nullptr) {
    return ERROR_KEY_DELETED;
  }
  if (data == nullptr && size > 0) {
    return ERROR_INVALID_PARAMETER;
  }
  std::u16string_view name = valueName ? std::u16string_view(valueName, TextLength(valueName))
                                       : std::u16string_view();
  std::vector<BYTE> bytes;
  if (size > 0) {
    bytes.assign(data, data + size);
  }
  found->SetValue(name, type, std::move(bytes));
  return ERROR_SUCCESS;
}

LONG Calls::Close(HKEY key)
{
  return handles_.erase(reinterpret_cast<std::uintptr_t>(key)) == 1 ? ERROR_SUCCESS
                                                                   : ERROR_INVALID_HANDLE;
}

}  // namespace tarvel::reg
