#include "registry_model.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "utf16.h"

namespace tarvel::reg {

namespace {

// Lists of up to this many names are searched from end to end, longer ones
// through an index. A key mostly holds one or two values and no or few
// subkeys: an index on every list made a key of one value cost about 140
// bytes more and loaded no faster. Keys of 30 values each loaded a quarter
// slower searched from end to end than indexed, an index costing about 11
// bytes a name.
constexpr std::size_t kLongestUnindexedList = 8;

const std::u16string &NameOf(const Value &value) { return value.name; }
const std::u16string &NameOf(const std::unique_ptr<Key> &key) { return key->name; }

// A hash of the name's folded form, equal for every spelling of the same
// name: FNV-1a over the folded units, then mixed so that the low bits,
// which pick the slot, depend on every bit of every unit.
std::size_t FoldedHash(std::u16string_view name)
{
  std::uint64_t hash = 14695981039346656037ull;
  for (char16_t unit : name) {
    hash = (hash ^ FoldCase(unit)) * 1099511628211ull;
  }
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 33;
  return static_cast<std::size_t>(hash);
}

}  // namespace

// Where each name of a list stands, found by the name's folded form: an
// open-addressed table (linear probing, at most half full) of positions in
// the list. Chosen over a map of folded names, which costs a node and a
// copy of the name for every entry, and over a sorted list, which costs a
// move of half the list for every name added out of order: a slot is four
// bytes and the names are compared where they stand in the list.
class NameIndex {
 public:
  bool Empty() const { return slots_.empty(); }
  void Release() { slots_ = {}; }

  template <typename List>
  std::optional<std::size_t> Find(const List &list, std::u16string_view name) const
  {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = FoldedHash(name) & mask; slots_[slot] != kFree;
         slot = (slot + 1) & mask) {
      std::size_t position = slots_[slot] - 1;
      if (EqualsIgnoringCase(NameOf(list[position]), name)) {
        return position;
      }
    }
    return std::nullopt;
  }

  // Takes in the name just added at the end of the list; the table is made
  // anew, twice as large, when it would be more than half full.
  template <typename List>
  void AddLast(const List &list)
  {
    if (2 * list.size() > slots_.size()) {
      Rebuild(list);
    } else {
      Insert(NameOf(list.back()), list.size() - 1);
    }
  }

  template <typename List>
  void Rebuild(const List &list)
  {
    std::size_t size = 16;
    while (size < 2 * list.size()) {
      size *= 2;
    }
    slots_.assign(size, kFree);
    for (std::size_t i = 0; i < list.size(); ++i) {
      Insert(NameOf(list[i]), i);
    }
  }

 private:
  // A slot holds a position plus one. Four bytes are enough: a registry
  // that fits in a user.reg of at most 64 MiB has far fewer than four
  // thousand million names in a key.
  static constexpr std::uint32_t kFree = 0;

  void Insert(std::u16string_view name, std::size_t position)
  {
    std::size_t mask = slots_.size() - 1;
    std::size_t slot = FoldedHash(name) & mask;
    while (slots_[slot] != kFree) {
      slot = (slot + 1) & mask;
    }
    slots_[slot] = static_cast<std::uint32_t>(position + 1);
  }

  std::vector<std::uint32_t> slots_;
};

struct KeyIndexes {
  NameIndex subkeys;
  NameIndex values;
};

namespace {

// The position of a name in one of a key's lists: by the list's index once
// it has one, else from end to end.
template <typename List>
std::optional<std::size_t> PositionOf(const List &list, const std::unique_ptr<KeyIndexes> &indexes,
                                      NameIndex KeyIndexes::*index, std::u16string_view name)
{
  if (indexes && !((*indexes).*index).Empty()) {
    return ((*indexes).*index).Find(list, name);
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (EqualsIgnoringCase(NameOf(list[i]), name)) {
      return i;
    }
  }
  return std::nullopt;
}

// Keeps the index of one of a key's lists over the name just added at the
// list's end: the list gets one when it grows past the names searched from
// end to end.
template <typename List>
void IndexLast(const List &list, std::unique_ptr<KeyIndexes> &indexes, NameIndex KeyIndexes::*index)
{
  if (list.size() <= kLongestUnindexedList) {
    return;
  }
  if (!indexes) {
    indexes = std::make_unique<KeyIndexes>();
  }
  NameIndex &listIndex = (*indexes).*index;
  if (listIndex.Empty()) {
    listIndex.Rebuild(list);
  } else {
    listIndex.AddLast(list);
  }
}

}  // namespace

Key::Key() = default;
Key::Key(Key &&) noexcept = default;
Key &Key::operator=(Key &&) noexcept = default;

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
  auto at = PositionOf(subkeys, indexes_, &KeyIndexes::subkeys, subkeyName);
  return at ? subkeys[*at].get() : nullptr;
}

Key &Key::SubkeyCreated(std::u16string_view subkeyName, bool *created)
{
  auto at = PositionOf(subkeys, indexes_, &KeyIndexes::subkeys, subkeyName);
  if (created) {
    *created = !at;
  }
  if (at) {
    return *subkeys[*at];
  }
  subkeys.push_back(std::make_unique<Key>());
  subkeys.back()->name = std::u16string(subkeyName);
  IndexLast(subkeys, indexes_, &KeyIndexes::subkeys);
  return *subkeys.back();
}

const Value *Key::FindValue(std::u16string_view valueName) const
{
  auto at = PositionOf(values, indexes_, &KeyIndexes::values, valueName);
  return at ? &values[*at] : nullptr;
}

void Key::SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data)
{
  auto at = PositionOf(values, indexes_, &KeyIndexes::values, valueName);
  if (at) {
    values[*at].type = type;
    values[*at].data = std::move(data);
    return;
  }
  values.push_back(Value{std::u16string(valueName), type, std::move(data)});
  IndexLast(values, indexes_, &KeyIndexes::values);
}

void Key::EraseValue(std::u16string_view valueName)
{
  auto at = PositionOf(values, indexes_, &KeyIndexes::values, valueName);
  if (!at) {
    return;
  }
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(*at));
  // The names after it have moved up: the index is made anew, or dropped
  // when the list is short again.
  if (indexes_ && values.size() > kLongestUnindexedList) {
    indexes_->values.Rebuild(values);
  } else if (indexes_) {
    indexes_->values.Release();
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
    for (auto &part : SplitKeyPath(TextView(subkey))) {
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
  std::u16string_view name = TextView(valueName);
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
  std::u16string_view name = TextView(valueName);
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
