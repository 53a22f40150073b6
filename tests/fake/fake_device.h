// The test platform: an in-memory device with scripted faults and a journal
// of every platform call, linked into device-code tests in place of the
// emulated device. Paths are written in device form; "/" may stand for "\"
// to keep tests readable.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "aygshell.h"
#include "coredll.h"
#include "registry_model.h"

namespace fake {

namespace reg = tarvel::reg;

struct Node {
  std::u16string name;
  bool folder = false;
  std::uint64_t size = 0;
  DWORD attributes = 0;  // beside FILE_ATTRIBUTE_DIRECTORY, which folder gives
  std::vector<std::unique_ptr<Node>> children;  // in the order listed
};

// A bubble as the shell was handed it.
struct Bubble {
  DWORD cbStruct;
  DWORD id;
  SHNP priority;
  DWORD duration;
  HICON icon;
  DWORD flags;
  CLSID clsid;
  HWND sink;
  const WCHAR *htmlPointer;
  std::u16string html;
  std::u16string title;
};

class Device {
 public:
  Device();

  // Files. Folders on the way are made as needed.
  void AddFolder(std::string_view path, DWORD attributes = 0);
  void AddFile(std::string_view path, std::uint64_t size = 0, DWORD attributes = 0);
  bool Exists(std::string_view path) const;
  // Every path below the root, depth first in listing order, folders with a
  // trailing "\".
  std::vector<std::string> Tree() const;

  // Registry, by key path below HKEY_CURRENT_USER.
  reg::Registry registry;
  void SetValue(std::string_view key, std::string_view name, DWORD type, std::vector<BYTE> data);
  void SetString(std::string_view key, std::string_view name, std::u16string_view text);
  void SetDword(std::string_view key, std::string_view name, DWORD value);
  void DeleteValue(std::string_view key, std::string_view name);
  std::optional<reg::Value> GetValue(std::string_view key, std::string_view name) const;
  bool HasKey(std::string_view key) const;

  // Scripted faults.
  std::set<std::string> unsearchableFolders;          // FindFirstFileW fails there
  std::map<std::string, int> listingStopsAfter;       // entries a listing delivers
  std::set<std::string> refusedDeletes;               // DeleteFileW fails
  std::set<std::string> refusedRemovals;              // RemoveDirectoryW fails
  bool listsDotEntries = false;                       // "." and ".." come first
  int failOpenOnCall = 0;                             // the n-th RegOpenKeyExW fails
  std::set<std::string> unopenableKeys;               // RegOpenKeyExW fails for these
  bool createFails = false;                           // RegCreateKeyExW fails
  std::set<std::string> failedWrites;                 // RegSetValueExW fails for these
  std::set<std::string> failedReads;                  // RegQueryValueExW fails for these
  bool iconMissing = false;                           // LoadImageW gives null
  // Called after every journalled call, with its line: lets a test change
  // the device while a run goes on.
  std::function<void(const std::string &)> onCall;

  // What happened.
  std::vector<std::string> journal;
  std::vector<Bubble> bubbles;
  std::vector<std::string> searches;  // each FindFirstFileW pattern
  std::vector<std::string> deleted;
  std::vector<std::string> removed;
  std::vector<std::string> debugOutput;  // each OutputDebugStringW text
  int openFinds = 0;
  // The journal lines of one call, by name.
  std::vector<std::string> Calls(std::string_view name) const;

  // Platform internals, for the calls in fake_device.cpp.
  struct Search {
    std::u16string folder;
    std::vector<std::u16string> names;
    std::size_t next = 0;
  };
  Node root;
  reg::Calls registryCalls{registry};
  std::map<std::uintptr_t, Search> finds;
  std::uintptr_t nextFind = 0x100;
  std::uintptr_t nextIcon = 0x7700;
  int openCallCount = 0;
  void Record(std::string line);
  Node *Resolve(std::u16string_view path, Node **parent = nullptr);
};

// The device the platform calls reach.
Device &TheDevice();
// A new process: a fresh device, the device code's tally at zero and its
// keep list empty.
void NewProcess();
// The instance handle that tests hand to WinMain.
HINSTANCE Instance();
// Device-form path in UTF-8 ("/" taken for "\") to UTF-16.
std::u16string DevicePath(std::string_view path);

}  // namespace fake
