// What the emulated device and the test platform share is written once,
// here and beside it: the registry model, the pattern matcher (wildcard.h),
// the UTF-16 helpers (utf16.h) and the trace lines (trace.h). Host-side C++20
// over the device's API types; nothing here knows of folders or files.
//
// The registry in memory, shared by the emulated device and the test
// platform: keys and values whose names compare without regard to case (the
// case a name was first written in is kept), data kept exactly as given, and
// the registry calls' own rules over it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coredll.h"

namespace tarvel::reg {

struct Value {
  std::u16string name;  // empty: the default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  bool operator==(const Value &) const = default;
};

// The indexes of a key's long lists (registry_model.cpp).
struct KeyIndexes;

// Values and subkeys are kept in the order first written. A key keeps no
// more than its lists and one pointer: a registry file holds a million keys
// of one small value each, and such a key costs about 250 bytes in all. A
// list of a few names is searched from end to end; a list that grows past a
// few names gets an index, so that a key with many thousands of values or
// subkeys loads in time linear in their number. Change the lists only
// through the members below, which keep the index.
struct Key {
  Key();
  Key(Key &&) noexcept;
  Key &operator=(Key &&) noexcept;
  // Releases the subkeys level by level, not by recursion: a key hundreds
  // of levels deep may be released on the device's 64 KiB thread.
  ~Key();

  std::u16string name;
  std::vector<Value> values;
  std::vector<std::unique_ptr<Key>> subkeys;

  Key *FindSubkey(std::u16string_view subkeyName) const;
  Key &SubkeyCreated(std::u16string_view subkeyName, bool *created = nullptr);
  const Value *FindValue(std::u16string_view valueName) const;
  void SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data);
  void EraseValue(std::u16string_view valueName);

  bool operator==(const Key &other) const;

 private:
  std::unique_ptr<KeyIndexes> indexes_;  // none while both lists are short
};

// A path of key names from a root ("HKEY_CURRENT_USER", "SOFTWARE", ...).
using KeyPath = std::vector<std::u16string>;

// Splits a subkey path at its backslashes; empty parts (a leading, trailing
// or doubled backslash) are passed over.
KeyPath SplitKeyPath(std::u16string_view subkey);

// The name of a predefined root key, or nothing for another handle.
std::optional<std::u16string> RootName(HKEY root);

// A whole registry: its top level holds the root keys by name.
struct Registry {
  Key top;

  Key *Find(const KeyPath &path) const;
  Key &Create(const KeyPath &path, bool *created = nullptr);
  bool operator==(const Registry &other) const { return top == other.top; }
};

// The registry calls over a Registry, with their handles. Each gives the
// Win32 result code. A query never writes more than the size given and
// leaves the buffer untouched when it fails; a write keeps exactly the
// bytes given. Access masks are not enforced, as on the device.
class Calls {
 public:
  explicit Calls(Registry &registry) : registry_(registry) {}

  LONG Open(HKEY parent, const char16_t *subkey, HKEY *result);
  LONG Create(HKEY parent, const char16_t *subkey, HKEY *result, DWORD *disposition);
  LONG Query(HKEY key, const char16_t *valueName, DWORD *type, BYTE *data, DWORD *size) const;
  LONG Set(HKEY key, const char16_t *valueName, DWORD type, const BYTE *data, DWORD size);
  LONG Close(HKEY key);

  // The path a handle stands for, if it is open or a root.
  std::optional<KeyPath> PathOf(HKEY key) const;

 private:
  std::optional<KeyPath> ChildPath(HKEY parent, const char16_t *subkey) const;
  HKEY AddHandle(KeyPath path);

  Registry &registry_;
  std::map<std::uintptr_t, KeyPath> handles_;
  std::uintptr_t nextHandle_ = 0x1000;
};

}  // namespace tarvel::reg
