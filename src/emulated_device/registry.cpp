// The registry calls of the emulated device (RegOpenKeyExW and the rest)
// over the current user's registry: the model in memory, the changes of
// the run that have not reached user.reg yet, and when they are stored.
// Reading and replacing the file itself is registry_store's.
//
// Every call sees the file as it is now: a call re-reads it when another
// process (or a hand edit) has changed it since, and makes the pending
// changes again on what it holds. A change is made on the model at once,
// so the rest of the run sees it, and reaches the file with the other
// changes made through the same handle when that handle is closed, or when
// the run ends (FinishRegistry): one replace for all of them, so they are
// stored together or not at all. A store that fails is undone in the
// model, which is then again what the file holds. A change from outside
// that does not parse is never taken: calls go on from the registry as
// last read, and nothing is stored over it until it is mended.
#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host.h"
#include "host_internal.h"
#include "registry_model.h"
#include "registry_store.h"
#include "trace.h"
#include "utf16.h"

namespace tarvel::host {

namespace {

// A change made through a handle that has not reached user.reg yet: a key
// created, or a value set (with its key, made again should an outside edit
// have removed it). It is made again on the file's contents whenever they
// are read afresh, and undone when it cannot be stored.
struct Change {
  HKEY handle = nullptr;
  reg::KeyPath path;
  std::optional<reg::Value> value;  // nothing: the key alone

  // What undoes it on the registry it was last made on: the levels of the
  // path that were there before, and the value it took the place of.
  std::size_t levelsThere = 0;
  std::optional<reg::Value> replaced;
};

struct State {
  // The file as last read or stored, with every pending change made on it.
  reg::Registry registry;
  reg::Calls calls{registry};
  std::vector<Change> pending;  // in the order they are made on the model
  bool read = false;            // whether the file was ever read: calls fail until it is
  std::optional<store::Identity> readFrom;  // the file read; nothing: it was absent
  // Why user.reg cannot be used as it stands; nothing while it can. The
  // file is looked at again by every call, or, while it is unusableAs
  // says, only once it has changed.
  std::optional<std::string> unusable;
  std::optional<store::Identity> unusableAs;
};

State *state = nullptr;
std::string codePage = regfile::kDefaultCodePage;

// How changes are kept, chosen once before the run: a run stores them in
// user.reg; a preview keeps them in memory only, where every later call of
// the run finds them.
bool keepInMemory = false;

// Why the first store of the run that did not reach user.reg failed.
std::optional<std::string> firstFailedWrite;

State &Current()
{
  if (state == nullptr) {
    state = new State;
    state->registry.Create({u"HKEY_CURRENT_USER"});
  }
  return *state;
}

// user.reg and why it cannot be used, as a message says it.
std::string UnusableFile()
{
  std::string why = Current().unusable.value_or("cannot be read");
  return store::FilePath() + (why.starts_with(":") ? "" : " ") + why;
}

void NoteFailedWrite(const std::string &why)
{
  if (!firstFailedWrite) {
    firstFailedWrite = why;
  }
}

std::size_t LevelsThere(const reg::Registry &registry, const reg::KeyPath &path)
{
  const reg::Key *key = &registry.top;
  std::size_t levels = 0;
  while (levels < path.size() && (key = key->FindSubkey(path[levels])) != nullptr) {
    ++levels;
  }
  return levels;
}

// Notes what undoes the change on the registry as it is now, before the
// change is made on it.
void NoteUndo(Change &change, const reg::Registry &registry)
{
  change.levelsThere = LevelsThere(registry, change.path);
  change.replaced.reset();
  const reg::Key *key = registry.Find(change.path);
  if (change.value && key != nullptr) {
    if (const reg::Value *old = key->FindValue(change.value->name)) {
      change.replaced = *old;
    }
  }
}

void Make(Change &change, reg::Registry &registry)
{
  NoteUndo(change, registry);
  reg::Key &key = registry.Create(change.path);
  if (change.value) {
    key.SetValue(change.value->name, change.value->type, change.value->data);
  }
}

// Takes the subkey out of its parent. The model has no call for it, so
// the parent is built again with its other subkeys moved over: the
// registry calls never remove a key, only a change undone does.
void RemoveSubkey(reg::Key &parent, std::u16string_view name)
{
  reg::Key rebuilt;
  rebuilt.name = std::move(parent.name);
  for (reg::Value &value : parent.values) {
    rebuilt.SetValue(value.name, value.type, std::move(value.data));
  }
  const reg::Key *removed = parent.FindSubkey(name);
  for (auto &subkey : parent.subkeys) {
    if (subkey.get() != removed) {
      rebuilt.SubkeyCreated(subkey->name) = std::move(*subkey);
    }
  }
  parent = std::move(rebuilt);
}

// Undoes the change, which must be the last made on the registry.
void Undo(const Change &change, reg::Registry &registry)
{
  if (change.value) {
    reg::Key *key = registry.Find(change.path);
    if (change.replaced) {
      key->SetValue(change.replaced->name, change.replaced->type, change.replaced->data);
    } else {
      key->EraseValue(change.value->name);
    }
  }
  if (change.levelsThere < change.path.size()) {
    reg::KeyPath parent(change.path.begin(),
                        change.path.begin() + static_cast<std::ptrdiff_t>(change.levelsThere));
    RemoveSubkey(*registry.Find(parent), change.path[change.levelsThere]);
  }
}

void MakeAll(std::vector<Change>::iterator from, std::vector<Change>::iterator to)
{
  for (; from != to; ++from) {
    Make(*from, Current().registry);
  }
}

// Undoes every pending change, last first: the model is the file again.
void UndoAll()
{
  State &s = Current();
  for (auto change = s.pending.rbegin(); change != s.pending.rend(); ++change) {
    Undo(*change, s.registry);
  }
}

// Makes the model the contents read, with the pending changes made on it.
void Rebase(reg::Registry contents)
{
  State &s = Current();
  s.registry = std::move(contents);
  s.registry.Create({u"HKEY_CURRENT_USER"});
  MakeAll(s.pending.begin(), s.pending.end());
}

// Brings the model up to user.reg. Gives ERROR_SUCCESS when calls may go
// on: the file as it is now, or, when it became unusable during the run,
// the registry as last read. Gives ERROR_BADDB while it was never usable.
LONG Refresh()
{
  State &s = Current();
  if (DeviceFolderFd() < 0) {
    return ERROR_BADDB;
  }
  store::Reading reading = store::Read(s.unusable ? s.unusableAs : s.readFrom, codePage);
  if (auto *unusable = std::get_if<store::Unusable>(&reading)) {
    bool news = s.read && !s.unusable;
    s.unusable = std::move(unusable->why);
    s.unusableAs = unusable->identity;
    if (news) {
      // Once each time it goes from usable to not.
      std::fprintf(stderr,
                   "tarvel: %s; it changed since the run read it: the run goes on with the "
                   "registry as it read it, and stores no change over it\n",
                   UnusableFile().c_str());
    }
  } else if (auto *contents = std::get_if<store::Contents>(&reading)) {
    Rebase(std::move(contents->registry));
    s.readFrom = contents->identity;
    s.read = true;
    s.unusable.reset();
    s.unusableAs.reset();
  } else if (std::holds_alternative<store::Absent>(reading) &&
             (!s.read || s.readFrom || s.unusable)) {
    Rebase(reg::Registry{});
    s.readFrom.reset();
    s.read = true;
    s.unusable.reset();
    s.unusableAs.reset();
  }
  return s.read ? ERROR_SUCCESS : ERROR_BADDB;
}

// Stores the pending changes that `chosen` picks in one replace of
// user.reg, made on what it holds now. When it fails they are undone, so
// the model holds nothing that the file does not (but the other pending
// changes), and the call gives the error.
template <typename Chosen>
LONG Store(Chosen chosen)
{
  State &s = Current();
  if (keepInMemory || std::none_of(s.pending.begin(), s.pending.end(), chosen)) {
    return ERROR_SUCCESS;
  }
  // When an editor that does not take the lock replaced the file between
  // the read and the replace, the changes are made again on what it now
  // holds, so that the edit is kept; a few times at most.
  store::Failure failure{ERROR_WRITE_FAULT, "kept changing while it was being replaced"};
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (Refresh() != ERROR_SUCCESS || s.unusable) {
      failure = {ERROR_BADDB, "cannot be used: " + UnusableFile()};
      break;
    }
    // The file, then the chosen changes: the text to store. Then the
    // others, which stay pending.
    UndoAll();
    auto others = std::stable_partition(s.pending.begin(), s.pending.end(), chosen);
    MakeAll(s.pending.begin(), others);
    std::string text = regfile::Write(s.registry);
    MakeAll(others, s.pending.end());
    store::Replaced replaced = store::Replace(text, s.readFrom);
    if (auto *identity = std::get_if<store::Identity>(&replaced)) {
      s.readFrom = *identity;
      s.pending.erase(s.pending.begin(), others);
      return ERROR_SUCCESS;
    }
    if (auto *failed = std::get_if<store::Failure>(&replaced)) {
      failure = std::move(*failed);
      break;
    }
  }
  UndoAll();
  std::erase_if(s.pending, chosen);
  MakeAll(s.pending.begin(), s.pending.end());
  NoteFailedWrite("it " + failure.why);
  return failure.error;
}

}  // namespace

std::optional<std::string> CheckRegistryFile()
{
  Refresh();
  return Current().unusable;
}

std::optional<std::string> SetCodePage(const std::string &name)
{
  iconv_t converter = iconv_open("UTF-8", name.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    return "iconv knows no code page of that name";
  }
  iconv_close(converter);
  codePage = name;
  // Read again in the new code page.
  Current().readFrom.reset();
  Current().unusableAs.reset();
  return std::nullopt;
}

std::function<void(std::u16string_view)> onValueQuery;

void SetValueQueryListener(std::function<void(std::u16string_view name)> listener)
{
  onValueQuery = std::move(listener);
}

void PreviewRegistryChanges()
{
  keepInMemory = true;
}

namespace {

// The key under HKEY_CURRENT_USER as the registry now holds it.
const reg::Key *StoredKey(std::u16string_view keyPath)
{
  if (Refresh() != ERROR_SUCCESS) {
    return nullptr;
  }
  reg::KeyPath path{u"HKEY_CURRENT_USER"};
  for (auto &part : reg::SplitKeyPath(keyPath)) {
    path.push_back(std::move(part));
  }
  return Current().registry.Find(path);
}

const reg::Value *StoredEntry(std::u16string_view keyPath, std::u16string_view valueName)
{
  const reg::Key *key = StoredKey(keyPath);
  return key ? key->FindValue(valueName) : nullptr;
}

}  // namespace

std::optional<std::vector<BYTE>> StoredValue(std::u16string_view keyPath,
                                             std::u16string_view valueName)
{
  const reg::Value *value = StoredEntry(keyPath, valueName);
  if (value == nullptr) {
    return std::nullopt;
  }
  return value->data;
}

std::vector<std::u16string> StoredValueNames(std::u16string_view keyPath)
{
  std::vector<std::u16string> names;
  if (const reg::Key *key = StoredKey(keyPath)) {
    for (const reg::Value &value : key->values) {
      names.push_back(value.name);
    }
  }
  return names;
}

void VisitStoredKeys(const std::function<void(const std::vector<std::u16string_view> &)> &visit)
{
  if (Refresh() != ERROR_SUCCESS) {
    return;
  }
  // Depth first with a stack of its own, not by recursion: a key may lie
  // hundreds of levels deep. Each entry: a key and the index of its next
  // subkey to visit.
  std::vector<std::pair<const reg::Key *, std::size_t>> stack;
  std::vector<std::u16string_view> path;
  for (const auto &root : Current().registry.top.subkeys) {
    stack.emplace_back(root.get(), 0);
    path.assign(1, root->name);
    visit(path);
    while (!stack.empty()) {
      auto &[key, next] = stack.back();
      if (next == key->subkeys.size()) {
        stack.pop_back();
        path.pop_back();
        continue;
      }
      const reg::Key *child = key->subkeys[next++].get();
      path.push_back(child->name);
      visit(path);
      stack.emplace_back(child, 0);
    }
  }
}

std::optional<TypedValue> StoredTypedValue(std::u16string_view keyPath,
                                           std::u16string_view valueName)
{
  const reg::Value *value = StoredEntry(keyPath, valueName);
  if (value == nullptr) {
    return std::nullopt;
  }
  return TypedValue{value->type, value->data};
}

std::optional<std::string> FinishRegistry()
{
  Store([](const Change &) { return true; });
  return firstFailedWrite;
}

void ForgetRegistry()
{
  firstFailedWrite.reset();
  keepInMemory = false;
  delete state;
  state = nullptr;
}

}  // namespace tarvel::host

using namespace tarvel::host;
namespace reg = tarvel::reg;

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
  LONG status = Refresh();
  if (status == ERROR_SUCCESS) {
    status = Current().calls.Open(hKey, lpSubKey, phkResult);
  } else if (phkResult) {
    *phkResult = nullptr;
  }
  Trace([&] {
    return tarvel::trace::RegOpenKeyExW(hKey, lpSubKey, ulOptions, samDesired, phkResult, status);
  });
  return status;
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
  // Access masks are not enforced: a created key is read and written
  // through whatever was asked for. A key that was not there is a change
  // of the new handle, stored when it is closed even while it holds no
  // value.
  LONG status = Refresh();
  State &s = Current();
  if (status == ERROR_SUCCESS) {
    Change change;
    if (auto parent = s.calls.PathOf(hKey)) {
      change.path = std::move(*parent);
      if (lpSubKey != nullptr) {
        for (auto &part : reg::SplitKeyPath(lpSubKey)) {
          change.path.push_back(std::move(part));
        }
      }
      NoteUndo(change, s.registry);
    }
    status = s.calls.Create(hKey, lpSubKey, phkResult, lpdwDisposition);
    if (status == ERROR_SUCCESS && change.levelsThere < change.path.size()) {
      change.handle = *phkResult;
      s.pending.push_back(std::move(change));
    }
  } else {
    NoteFailedWrite("it cannot be used: " + UnusableFile());
    if (phkResult) {
      *phkResult = nullptr;
    }
  }
  Trace([&] {
    return tarvel::trace::RegCreateKeyExW(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition,
                                          status);
  });
  return status;
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
  if (onValueQuery && lpValueName != nullptr) {
    onValueQuery(tarvel::TextView(lpValueName));
  }
  LONG status = Refresh();
  if (status == ERROR_SUCCESS) {
    status = Current().calls.Query(hKey, lpValueName, lpType, lpData, lpcbData);
  }
  Trace([&] {
    return tarvel::trace::RegQueryValueExW(hKey, lpValueName, lpType, lpData, lpcbData, status);
  });
  return status;
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                           DWORD cbData)
{
  // Made on the model at once; stored when the handle is closed.
  LONG status = Refresh();
  State &s = Current();
  if (status == ERROR_SUCCESS) {
    Change change;
    change.handle = hKey;
    change.path = s.calls.PathOf(hKey).value_or(reg::KeyPath{});
    change.value.emplace();
    if (lpValueName != nullptr) {
      change.value->name.assign(lpValueName, tarvel::TextLength(lpValueName));
    }
    change.value->type = dwType;
    if (lpData != nullptr) {
      change.value->data.assign(lpData, lpData + cbData);
    }
    NoteUndo(change, s.registry);
    status = s.calls.Set(hKey, lpValueName, dwType, lpData, cbData);
    if (status == ERROR_SUCCESS) {
      s.pending.push_back(std::move(change));
    }
  } else {
    NoteFailedWrite("it cannot be used: " + UnusableFile());
  }
  Trace([&] {
    return tarvel::trace::RegSetValueExW(hKey, lpValueName, dwType, lpData, cbData, status);
  });
  return status;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
  // The handle's changes are stored first; it is closed even when they
  // cannot be, and the call then gives why.
  LONG status = Store([&](const Change &change) { return change.handle == hKey; });
  LONG closed = Current().calls.Close(hKey);
  if (status == ERROR_SUCCESS) {
    status = closed;
  }
  Trace([&] { return tarvel::trace::RegCloseKey(hKey, status); });
  return status;
}

}  // extern "C"
