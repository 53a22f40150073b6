#include "fake_device.h"

#include <algorithm>
#include <cstring>

#include "purge/keep.h"
#include "purge/purge.h"
#include "trace.h"
#include "utf16.h"
#include "wildcard.h"

namespace fake {

using tarvel::EqualsIgnoringCase;
using tarvel::TextLength;
using tarvel::Utf16ToUtf8;

namespace {

std::unique_ptr<Device> device = std::make_unique<Device>();

Node *Child(Node &folder, std::u16string_view name)
{
  for (auto &child : folder.children) {
    if (child->name == name) {
      return child.get();
    }
  }
  for (auto &child : folder.children) {
    if (EqualsIgnoringCase(child->name, name)) {
      return child.get();
    }
  }
  return nullptr;
}

// Tests may make two names that differ only in case, as a host can.
Node &MakeChild(Node &folder, std::u16string_view name, bool isFolder)
{
  for (auto &child : folder.children) {
    if (child->name == name) {
      return *child;
    }
  }
  folder.children.push_back(std::make_unique<Node>());
  Node &child = *folder.children.back();
  child.name = std::u16string(name);
  child.folder = isFolder;
  return child;
}

bool InSet(const std::set<std::string> &set, std::u16string_view path)
{
  for (const auto &entry : set) {
    if (EqualsIgnoringCase(DevicePath(entry), path)) {
      return true;
    }
  }
  return false;
}

reg::KeyPath UserKey(std::string_view key)
{
  reg::KeyPath path{u"HKEY_CURRENT_USER"};
  for (auto &part : reg::SplitKeyPath(DevicePath(key))) {
    path.push_back(std::move(part));
  }
  return path;
}

void FillRecord(const Node &node, WIN32_FIND_DATAW *record)
{
  std::memset(record, 0, sizeof *record);
  DWORD attributes = node.attributes | (node.folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  record->dwFileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  record->nFileSizeLow = static_cast<DWORD>(node.size & 0xFFFFFFFFu);
  record->nFileSizeHigh = static_cast<DWORD>(node.size >> 32);
  std::size_t length = std::min<std::size_t>(node.name.size(), MAX_PATH - 1);
  std::copy_n(node.name.data(), length, record->cFileName);
}

void FillDot(const char16_t *name, WIN32_FIND_DATAW *record)
{
  std::memset(record, 0, sizeof *record);
  record->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  std::copy_n(name, TextLength(name), record->cFileName);
}

// Delivers the next entry of a search that still exists, "." and ".."
// included where the device lists them.
bool Deliver(Device::Search &search, WIN32_FIND_DATAW *record)
{
  Node *folder = device->Resolve(search.folder);
  while (folder != nullptr && search.next < search.names.size()) {
    const std::u16string &name = search.names[search.next++];
    if (name == u"." || name == u"..") {
      FillDot(name.c_str(), record);
      return true;
    }
    for (auto &child : folder->children) {
      if (child->name == name) {
        FillRecord(*child, record);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

std::u16string DevicePath(std::string_view path)
{
  std::string text(path);
  std::replace(text.begin(), text.end(), '/', '\\');
  return tarvel::Utf8ToUtf16(text).value_or(u"");
}

Device::Device()
{
  registry.Create({u"HKEY_CURRENT_USER"});
}

void Device::Record(std::string line)
{
  journal.push_back(line);
  if (onCall) {
    onCall(line);
  }
}

Node *Device::Resolve(std::u16string_view path, Node **parent)
{
  Node *node = &root;
  Node *above = nullptr;
  for (const auto &part : tarvel::SplitAtBackslashes(path)) {
    if (!node->folder && node != &root) {
      return nullptr;
    }
    above = node;
    node = Child(*node, part);
    if (node == nullptr) {
      return nullptr;
    }
  }
  if (parent) {
    *parent = above;
  }
  return node;
}

void Device::AddFolder(std::string_view path, DWORD attributes)
{
  Node *node = &root;
  std::u16string devicePath = DevicePath(path);
  for (const auto &part : tarvel::SplitAtBackslashes(devicePath)) {
    node = &MakeChild(*node, part, true);
  }
  node->attributes = attributes;
}

void Device::AddFile(std::string_view path, std::uint64_t size, DWORD attributes)
{
  std::u16string devicePath = DevicePath(path);
  auto parts = tarvel::SplitAtBackslashes(devicePath);
  Node *node = &root;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    node = &MakeChild(*node, parts[i], true);
  }
  Node &file = MakeChild(*node, parts.back(), false);
  file.size = size;
  file.attributes = attributes;
}

bool Device::Exists(std::string_view path) const
{
  return const_cast<Device *>(this)->Resolve(DevicePath(path)) != nullptr;
}

std::vector<std::string> Device::Tree() const
{
  std::vector<std::string> paths;
  std::function<void(const Node &, const std::string &)> walk = [&](const Node &folder,
                                                                    const std::string &at) {
    for (const auto &child : folder.children) {
      std::string path = at + "\\" + Utf16ToUtf8(child->name);
      paths.push_back(child->folder ? path + "\\" : path);
      if (child->folder) {
        walk(*child, path);
      }
    }
  };
  walk(root, "");
  return paths;
}

void Device::SetValue(std::string_view key, std::string_view name, DWORD type,
                      std::vector<BYTE> data)
{
  registry.Create(UserKey(key)).SetValue(DevicePath(name), type, std::move(data));
}

void Device::SetString(std::string_view key, std::string_view name, std::u16string_view text)
{
  std::vector<BYTE> data;
  for (char16_t unit : text) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  SetValue(key, name, REG_SZ, std::move(data));
}

void Device::SetDword(std::string_view key, std::string_view name, DWORD value)
{
  SetValue(key, name, REG_DWORD,
           {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
            static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)});
}

void Device::DeleteValue(std::string_view key, std::string_view name)
{
  if (reg::Key *found = registry.Find(UserKey(key))) {
    found->EraseValue(DevicePath(name));
  }
}

std::optional<reg::Value> Device::GetValue(std::string_view key, std::string_view name) const
{
  if (const reg::Key *found = registry.Find(UserKey(key))) {
    if (const reg::Value *value = found->FindValue(DevicePath(name))) {
      return *value;
    }
  }
  return std::nullopt;
}

bool Device::HasKey(std::string_view key) const
{
  return registry.Find(UserKey(key)) != nullptr;
}

std::vector<std::string> Device::Calls(std::string_view name) const
{
  std::vector<std::string> lines;
  std::string prefix = std::string(name) + "(";
  for (const auto &line : journal) {
    if (line.starts_with(prefix)) {
      lines.push_back(line);
    }
  }
  return lines;
}

Device &TheDevice()
{
  return *device;
}

void NewProcess()
{
  device = std::make_unique<Device>();
  filesRemoved = 0;
  bytesRemoved = 0;
  runKeepList.count = 0;
}

HINSTANCE Instance()
{
  return reinterpret_cast<HINSTANCE>(0x400000);
}

}  // namespace fake

using fake::device;
using fake::Device;
using tarvel::EqualsIgnoringCase;
using tarvel::Utf16ToUtf8;
using tarvel::TextView;

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
  Device &d = *device;
  LONG status;
  ++d.openCallCount;
  if (d.openCallCount == d.failOpenOnCall ||
      fake::InSet(d.unopenableKeys, TextView(lpSubKey))) {
    if (phkResult) {
      *phkResult = nullptr;
    }
    status = ERROR_FILE_NOT_FOUND;
  } else {
    status = d.registryCalls.Open(hKey, lpSubKey, phkResult);
  }
  d.Record(tarvel::trace::RegOpenKeyExW(hKey, lpSubKey, ulOptions, samDesired, phkResult, status));
  return status;
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
  Device &d = *device;
  LONG status;
  if (d.createFails) {
    if (phkResult) {
      *phkResult = nullptr;
    }
    status = ERROR_ACCESS_DENIED;
  } else {
    status = d.registryCalls.Create(hKey, lpSubKey, phkResult, lpdwDisposition);
  }
  d.Record(tarvel::trace::RegCreateKeyExW(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition,
                                          status));
  return status;
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
  LONG status = fake::InSet(device->failedReads, TextView(lpValueName))
                    ? ERROR_ACCESS_DENIED
                    : device->registryCalls.Query(hKey, lpValueName, lpType, lpData, lpcbData);
  device->Record(
      tarvel::trace::RegQueryValueExW(hKey, lpValueName, lpType, lpData, lpcbData, status));
  return status;
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                           DWORD cbData)
{
  Device &d = *device;
  LONG status = fake::InSet(d.failedWrites, TextView(lpValueName))
                    ? ERROR_ACCESS_DENIED
                    : d.registryCalls.Set(hKey, lpValueName, dwType, lpData, cbData);
  d.Record(tarvel::trace::RegSetValueExW(hKey, lpValueName, dwType, lpData, cbData, status));
  return status;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
  LONG status = device->registryCalls.Close(hKey);
  device->Record(tarvel::trace::RegCloseKey(hKey, status));
  return status;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
  Device &d = *device;
  std::u16string_view pattern = TextView(lpFileName);
  d.searches.push_back(Utf16ToUtf8(pattern));
  HANDLE result = INVALID_HANDLE_VALUE;
  std::size_t cut = pattern.rfind(u'\\');
  std::u16string_view folderPath =
      cut == std::u16string_view::npos ? std::u16string_view() : pattern.substr(0, cut);
  std::u16string_view last =
      cut == std::u16string_view::npos ? pattern : pattern.substr(cut + 1);
  fake::Node *folder = d.Resolve(folderPath);
  if (folder != nullptr && folder->folder && !fake::InSet(d.unsearchableFolders, folderPath)) {
    Device::Search search;
    search.folder = std::u16string(folderPath);
    if (d.listsDotEntries) {
      search.names = {u".", u".."};
    }
    for (const auto &child : folder->children) {
      if (tarvel::MatchesPattern(last, child->name)) {
        search.names.push_back(child->name);
      }
    }
    for (const auto &[limited, count] : d.listingStopsAfter) {
      if (EqualsIgnoringCase(fake::DevicePath(limited), folderPath) &&
          search.names.size() > static_cast<std::size_t>(count)) {
        search.names.resize(count);
      }
    }
    if (fake::Deliver(search, lpFindFileData)) {
      std::uintptr_t handle = d.nextFind++;
      d.finds.emplace(handle, std::move(search));
      ++d.openFinds;
      result = reinterpret_cast<HANDLE>(handle);
    }
  }
  d.Record(tarvel::trace::FindFirstFileW(lpFileName, lpFindFileData, result));
  return result;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
  Device &d = *device;
  auto found = d.finds.find(reinterpret_cast<std::uintptr_t>(hFindFile));
  BOOL result = found != d.finds.end() && fake::Deliver(found->second, lpFindFileData);
  d.Record(tarvel::trace::FindNextFileW(hFindFile, lpFindFileData, result));
  return result;
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
  Device &d = *device;
  BOOL result = d.finds.erase(reinterpret_cast<std::uintptr_t>(hFindFile)) == 1;
  if (result) {
    --d.openFinds;
  }
  d.Record(tarvel::trace::FindClose(hFindFile, result));
  return result;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName)
{
  Device &d = *device;
  fake::Node *parent = nullptr;
  fake::Node *node = d.Resolve(TextView(lpFileName), &parent);
  BOOL result = FALSE;
  if (node != nullptr && parent != nullptr && !node->folder &&
      (node->attributes & FILE_ATTRIBUTE_READONLY) == 0 &&
      !fake::InSet(d.refusedDeletes, TextView(lpFileName))) {
    std::erase_if(parent->children, [&](const auto &child) { return child.get() == node; });
    d.deleted.push_back(Utf16ToUtf8(TextView(lpFileName)));
    result = TRUE;
  }
  d.Record(tarvel::trace::DeleteFileW(lpFileName, result));
  return result;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName)
{
  Device &d = *device;
  fake::Node *parent = nullptr;
  fake::Node *node = d.Resolve(TextView(lpPathName), &parent);
  BOOL result = FALSE;
  if (node != nullptr && parent != nullptr && node->folder && node->children.empty() &&
      !fake::InSet(d.refusedRemovals, TextView(lpPathName))) {
    std::erase_if(parent->children, [&](const auto &child) { return child.get() == node; });
    d.removed.push_back(Utf16ToUtf8(TextView(lpPathName)));
    result = TRUE;
  }
  d.Record(tarvel::trace::RemoveDirectoryW(lpPathName, result));
  return result;
}

HANDLE WINAPI LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad)
{
  Device &d = *device;
  HANDLE result = nullptr;
  if (!d.iconMissing) {
    result = reinterpret_cast<HANDLE>(d.nextIcon);
    d.nextIcon += 0x10;
  }
  d.Record(tarvel::trace::LoadImageW(hInst, name, type, cx, cy, fuLoad, result));
  return result;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
  device->Record(tarvel::trace::Sleep(dwMilliseconds));
}

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString)
{
  device->debugOutput.push_back(Utf16ToUtf8(TextView(lpOutputString)));
  device->Record(tarvel::trace::OutputDebugStringW(lpOutputString));
}

LRESULT WINAPI SHNotificationAdd(SHNOTIFICATIONDATA *pndAdd)
{
  Device &d = *device;
  fake::Bubble bubble{pndAdd->cbStruct, pndAdd->dwID,     pndAdd->npPriority, pndAdd->csDuration,
                      pndAdd->hicon,    pndAdd->grfFlags, pndAdd->clsid,      pndAdd->hwndSink,
                      pndAdd->pszHTML,  std::u16string(TextView(pndAdd->pszHTML)),
                      std::u16string(TextView(pndAdd->pszTitle))};
  d.bubbles.push_back(bubble);
  d.Record(tarvel::trace::SHNotificationAdd(pndAdd, 0));
  return 0;
}

LRESULT WINAPI SHNotificationRemove(const CLSID *pclsid, DWORD dwID)
{
  device->Record(tarvel::trace::SHNotificationRemove(pclsid, dwID, 0));
  return 0;
}

}  // extern "C"
