// The emulated device: the state behind the platform calls of the host
// build, and what its start-up and tests use of it.
//
// The emulated device is modern C++ (RAII, std::string, clear ownership).
// It never follows a symbolic link and never leaves the device's root/:
// every path is resolved relative to a descriptor. Host failures become the
// Win32 error codes the device code expects. Each file holds one layer: the
// files (files.cpp), the preview over them (files_preview.cpp), DOS
// attributes (file_attributes.cpp), the registry calls (registry.cpp), the
// store's file handling (registry_store.cpp), the user.reg text
// (reg_file.cpp), the shell (shell.cpp), the device and trace (device.cpp);
// the launcher (launcher/) is the only part that knows Linux conventions.
#pragma once

#include <functional>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "coredll.h"
#include "reg_file.h"

namespace tarvel::host {

// Opens the device folder (which must exist and hold root/): the file
// system is root/, the registry user.reg. Gives an error text on failure.
std::optional<std::string> OpenDevice(const std::string &deviceFolder);

// Opens the device whose folder is open on `folderFd`, as the launcher
// opened and locked it: everything is reached through a copy of that
// descriptor, never by the folder's name. Gives an error text on failure.
std::optional<std::string> OpenDevice(int folderFd);

// The path the kernel has for what `fd` is open on, for messages; empty
// when it has none that fits.
std::string PathOfDescriptor(int fd);

// Whether `name` is one of the registry store's own temporary files beside
// user.reg: "user.reg.tmp." and digits (the writer's process number). Only
// such names are the store's: a device folder may hold them, and the store
// removes them as leftovers; other names that begin so (a person's
// user.reg.tmp.orig) are neither.
bool IsStoreTemporaryName(std::string_view name);

// Releases the device opened last; open searches and keys are forgotten.
void CloseDevice();

// The largest user.reg the store reads, and so the largest it writes.
constexpr std::size_t kLargestRegistryFile = 64u << 20;

// Reads user.reg as the registry calls will: nothing when it can be used
// (or is absent), else why not, as the rest of a sentence that begins with
// the file's name (":LINE:COLUMN: ..." for a file that does not parse).
std::optional<std::string> CheckRegistryFile();

// The code page that a REGEDIT4 user.reg which is not UTF-8 is read in
// (Windows-1252 unless set): any name iconv knows, else why not.
std::optional<std::string> SetCodePage(const std::string &name);

// Makes the rest of the run a preview: the same platform calls with the
// same results, but nothing is changed. A delete or a removal that would
// succeed succeeds and hides the entry from the rest of the run, registry
// writes stay in memory, and the bubbles say it is a preview and do not
// wait. Called once, before the run.
void StartPreview();

// Tells `listener` of every file deleted (its device path and size) and
// every folder removed (its path, no size), in the order they go.
void SetRemovalListener(
    std::function<void(std::u16string_view path, std::optional<std::uint64_t> size)> listener);

// Why the host refused a removal that the device attempted.
enum class Refusal {
  kReadOnly,    // the entry or its file system is read-only
  kPermission,  // the folder's permissions (or a sticky folder's owner rule)
  kImmutable,   // an immutable or append-only entry or folder
  kBusy,        // in use, or the root of a mount
  kOther,
};

// Tells `listener` of every delete or removal the host refused, with the
// device path and why. A folder that is not empty, an entry that is gone
// and a removal refused because the run winds down are not told: they are
// no refusal of the host's.
void SetRefusalListener(
    std::function<void(std::u16string_view path, bool folder, Refusal why)> listener);

// Why an entry the device's searches met is out of the device's sight.
enum class Unseen {
  kNotUtf8,            // a name that is not valid UTF-8
  kTooLong,            // a name longer than cFileName holds
  kControlCharacter,   // a name holding a control character
  kReservedCharacter,  // a name holding \ * or ?
  kLink,               // a folder of a walker's path that is a symbolic link
  kUnreadable,         // a folder that cannot be read
  kPathTooLong,        // a path longer than the walkers' buffers hold
  kTooDeep,            // a folder deeper than the walkers descend
};

// The device program's walkers name an entry only when its whole path,
// the searched folder's path, "\" and its name, is at most `pathUnits`
// code units long, and search no subfolder of a folder whose path holds
// `folderDepth` backslashes. A search that delivers such an entry (it is
// still delivered: the walkers skip it themselves) tells the unseen
// listener of it too, as kPathTooLong or kTooDeep. Zero, as at the start,
// tells nothing of either.
void SetWalkerReach(std::size_t pathUnits, std::size_t folderDepth);

// Tells `listener` of every host entry that a search of the device's met
// and could not show: the device path of the folder it lies in (for a link
// or an unreadable folder, its own path, and an empty name) and its host
// name. A folder listed several times tells it each time.
void SetUnseenListener(
    std::function<void(std::u16string_view folder, std::string_view hostName, Unseen why)>
        listener);

// Tells `listener` of the name of every value the device program queries
// (RegQueryValueExW), before the query.
void SetValueQueryListener(std::function<void(std::u16string_view name)> listener);

// Makes the run wind down through its normal end: from now on every search
// ends (a FindFirstFileW finds nothing, a FindNextFileW has no more files),
// every delete and removal is refused, and Sleep returns at once. Safe in a
// signal handler: it only sets a flag.
void WindDown();
bool WindingDown();

// Whether Sleep waits for real. It does not by default: the result bubble
// is already on the terminal when the device waits for it to be read, so a
// wait holds nobody but the user. Either way the trace records the call and
// the device's clock (DeviceMilliseconds) goes on by the time asked.
void SetRealTime(bool realTime);
std::uint64_t DeviceMilliseconds();

// Called before the shell writes a bubble on stdout, so that a line drawn
// on the terminal (the progress line) can make way.
void SetBeforeShellOutput(std::function<void()> hook);

// Tells `listener` of every text the device program hands to
// OutputDebugStringW, in order.
void SetDebugOutputListener(std::function<void(std::u16string_view text)> listener);

// The data of a value under HKEY_CURRENT_USER as the registry now holds it,
// without a platform call (so without a trace line).
std::optional<std::vector<BYTE>> StoredValue(std::u16string_view keyPath,
                                             std::u16string_view valueName);

// The names of the values of a key under HKEY_CURRENT_USER, in the order
// written; none when the key is absent. Without a platform call.
std::vector<std::u16string> StoredValueNames(std::u16string_view keyPath);

// Calls `visit` with the path of every key of user.reg, every root included
// ("HKEY_CURRENT_USER", "SOFTWARE", ...), parents before their subkeys.
void VisitStoredKeys(const std::function<void(const std::vector<std::u16string_view> &)> &visit);

// A value under HKEY_CURRENT_USER with its registry type, as StoredValue
// finds it.
struct TypedValue {
  DWORD type;
  std::vector<BYTE> data;
};
std::optional<TypedValue> StoredTypedValue(std::u16string_view keyPath,
                                           std::u16string_view valueName);

// Stores the registry changes of the run that have not reached user.reg
// yet (those made through keys still open), in one replace. Gives nothing
// when every store of the run reached the file (in a preview nothing is
// stored, and nothing is said), else why the first that did not failed, as
// the rest of a sentence that begins with "user.reg": "it could not be
// replaced: ...". CloseDevice drops what is still pending: call this first.
std::optional<std::string> FinishRegistry();

// Whether the result bubble was shown: whether the run got past its
// "disable" check.
bool ResultShown();

// For tests: called by every replace of user.reg, with the new contents in
// their temporary file, just before it checks that user.reg is still the
// file it read and renames it over.
void SetBeforeReplaceHook(std::function<void()> hook);

// Appends the trace lines of TARVEL_TRACE to `fd`, which the trace then
// owns; -1 for none. The launcher opens the file (see launcher/trace_file.h).
// A write that fails ends the trace, never the run.
void SetTraceDescriptor(int fd);

// The Win32 error of the last failed file call on this thread.
DWORD LastError();

// The instance handle of the program, whose resources hold icon group 101.
HINSTANCE ProgramInstance();

}  // namespace tarvel::host
