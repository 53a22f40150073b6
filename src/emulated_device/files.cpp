// The device's file system over root/.
//
// Every path is resolved from the root descriptor (or from that of a folder
// an open search lists), one component at a time, with
// openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS): a symbolic link is never
// followed and nothing outside root/ can be reached, even when a folder is
// swapped for a link while a run goes on. A component is looked up
// by its exact name first, then without regard to case among the names the
// device can see. Deletes and removals go through the file changes in
// place: the host's unlinkat in a run, the overlay of files_preview.cpp in
// a preview.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host.h"
#include "host_internal.h"
#include "trace.h"
#include "utf16.h"
#include "wildcard.h"

namespace tarvel::host {

int OpenBeneath(int folder, const char *name, int flags)
{
  struct open_how how = {};
  how.flags = static_cast<unsigned long long>(flags | O_NOFOLLOW | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, folder, name, &how, sizeof how);
  } while (fd < 0 && errno == EAGAIN);
  return static_cast<int>(fd);
}

int EntryStatus(int folder, const char *name, struct statx *status)
{
  // As fstatat(AT_SYMLINK_NOFOLLOW): no link followed, no automount.
  return statx(folder, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, status);
}

FolderReader::FolderReader(int folder) : folder_(OpenBeneath(folder, ".", O_RDONLY | O_DIRECTORY))
{
}

FolderReader::FolderReader(Fd folder) : folder_(std::move(folder)) {}

// 8 KiB holds some two hundred host entries of ordinary names: one
// getdents64 call for each two hundred entries costs nothing beside a
// status query an entry, and twenty-four nested searches take 192 KiB.
constexpr long kBatchBytes = 8 * 1024;

const char *FolderReader::Next()
{
  while (true) {
    while (at_ < filled_) {
      auto *entry = reinterpret_cast<struct dirent64 *>(batch_.get() + at_);
      at_ += entry->d_reclen;
      const char *name = entry->d_name;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
        return name;
      }
    }
    if (ended_ || !folder_.valid()) {
      return nullptr;
    }
    if (!batch_) {
      batch_ = std::make_unique<char[]>(kBatchBytes);
    }
    long bytes = syscall(SYS_getdents64, folder_.get(), batch_.get(), kBatchBytes);
    ended_ = bytes <= 0;
    filled_ = std::max(bytes, 0L);
    at_ = 0;
  }
}

namespace {

// The result of a file call that fails, with its Win32 error.
struct Failed {
  DWORD error;
};

DWORD ErrorFromErrno(int error)
{
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
    case EXDEV:
      return ERROR_PATH_NOT_FOUND;
    case ENOTEMPTY:
    case EEXIST:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_ACCESS_DENIED;  // EACCES, EPERM, EROFS among them
  }
}

// Why a host name is out of the device's sight, or nothing when the device
// can see it: it must be valid UTF-8, fit cFileName with its terminator and
// hold none of \ / * ? nor a control character: C0 (below U+0020), DEL, or
// C1 (U+0080 to U+009F, among them U+009B, a terminal's one-character CSI,
// so a name listed on a terminal cannot steer it). A name it can see has
// its UTF-16 form in `wide`; the caller's string is reused, so that listing
// a folder does not allocate a string a name.
std::optional<Unseen> WhyUnseen(std::string_view name, std::u16string &wide)
{
  bool ascii = true;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      return Unseen::kControlCharacter;
    }
    if (c == '\\' || c == '/' || c == '*' || c == '?') {
      return Unseen::kReservedCharacter;
    }
    ascii = ascii && byte < 0x80;
  }
  if (ascii) {
    wide.assign(name.begin(), name.end());
  } else if (auto converted = Utf8ToUtf16(name)) {
    wide = std::move(*converted);
  } else {
    return Unseen::kNotUtf8;
  }
  if (wide.size() >= MAX_PATH) {
    return Unseen::kTooLong;
  }
  if (!ascii && std::any_of(wide.begin(), wide.end(),
                            [](char16_t unit) { return unit >= 0x80 && unit <= 0x9F; })) {
    return Unseen::kControlCharacter;
  }
  return std::nullopt;
}

bool VisibleName(std::string_view name, std::u16string &wide)
{
  return !name.empty() && name != "." && name != ".." && !WhyUnseen(name, wide);
}

// The host form of one device path component, if it could name a visible
// entry at all.
std::optional<std::string> HostName(std::u16string_view component)
{
  if (!IsWellFormedUtf16(component)) {
    return std::nullopt;
  }
  std::string name = Utf16ToUtf8(component);
  std::u16string wide;
  if (!VisibleName(name, wide)) {
    return std::nullopt;
  }
  return name;
}

FILETIME FileTime(const struct statx_timestamp &time)
{
  // 100-nanosecond intervals since 1601.
  auto ticks = static_cast<unsigned long long>(time.tv_sec) * 10000000ull +
               static_cast<unsigned long long>(time.tv_nsec) / 100 + 116444736000000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// The run's changes: the host's own unlinkat.
class Unlinking final : public FileChanges {
 public:
  int Unlink(int folder, std::unique_ptr<FolderMemo> &, const char *name, const struct statx &,
             int flags) override
  {
    return unlinkat(folder, name, flags);
  }
  bool Hidden(int, std::unique_ptr<FolderMemo> &, const char *) const override { return false; }
};

std::unique_ptr<FileChanges> changes = std::make_unique<Unlinking>();

// Told of every file deleted and folder removed, of every removal the host
// refused and of every entry a search met that the device cannot see.
std::function<void(std::u16string_view, std::optional<std::uint64_t>)> onRemoved;
std::function<void(std::u16string_view, bool, Refusal)> onRefused;
std::function<void(std::u16string_view, std::string_view, Unseen)> onUnseen;

void TellUnseen(std::u16string_view folder, std::string_view name, Unseen why)
{
  if (onUnseen) {
    onUnseen(folder, name, why);
  }
}

// How far the device program's walkers reach (SetWalkerReach); 0: not told.
std::size_t walkerPathUnits = 0;
std::size_t walkerFolderDepth = 0;

// An entry delivered beyond the walkers' reach is told as unseen, for the
// same reason the walkers skip it, checked in the same order: a subfolder
// too deep, then a path too long.
void TellIfBeyondReach(std::u16string_view folder, std::string_view hostName,
                       std::size_t nameUnits, bool isFolder)
{
  if (walkerPathUnits == 0 || !onUnseen) {
    return;
  }
  if (isFolder && static_cast<std::size_t>(std::count(folder.begin(), folder.end(), u'\\')) >=
                      walkerFolderDepth) {
    TellUnseen(folder, hostName, Unseen::kTooDeep);
  } else if (folder.size() + 1 + nameUnits > walkerPathUnits) {
    TellUnseen(folder, hostName, Unseen::kPathTooLong);
  }
}

// Why the host refused to unlink `name` in `folder` (whose status is
// `entry`) with `error`; nothing for what is no refusal of the host's (a
// folder not empty, an entry gone).
std::optional<Refusal> RefusalOf(int error, int folder, const struct statx &entry)
{
  constexpr auto kFlags = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
  switch (error) {
    case EROFS:
      return Refusal::kReadOnly;
    case EACCES:
      return Refusal::kPermission;
    case EPERM: {
      // Immutable or append-only, the entry or its folder; else a sticky
      // folder's owner rule, which is a matter of permission.
      struct statx self;
      bool folderFlagged = statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &self) == 0 &&
                           (self.stx_attributes & kFlags) != 0;
      return (entry.stx_attributes & kFlags) != 0 || folderFlagged ? Refusal::kImmutable
                                                                   : Refusal::kPermission;
    }
    case EBUSY:
    case ETXTBSY:
      return Refusal::kBusy;
    case ENOENT:
    case ENOTEMPTY:
    case EEXIST:
    case EISDIR:
    case ENOTDIR:
      return std::nullopt;
    default:
      return Refusal::kOther;
  }
}

void TellRefused(std::u16string_view path, bool folder, std::optional<Refusal> why)
{
  if (onRefused && why) {
    onRefused(path, folder, *why);
  }
}

// The host name of the entry that a device name finds in a folder, with its
// status: the exact name first, then one that matches it without regard to
// case. `memo` is the folder's.
std::optional<std::string> FindEntry(int folder, std::unique_ptr<FolderMemo> &memo,
                                     std::u16string_view component, struct statx *status)
{
  auto name = HostName(component);
  if (!name) {
    return std::nullopt;
  }
  if (!changes->Hidden(folder, memo, name->c_str()) &&
      EntryStatus(folder, name->c_str(), status) == 0) {
    return name;
  }
  FolderReader reader(folder);
  std::u16string wide;
  while (const char *candidate = reader.Next()) {
    if (VisibleName(candidate, wide) && EqualsIgnoringCase(wide, component) &&
        !changes->Hidden(folder, memo, candidate) && EntryStatus(folder, candidate, status) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

// An open search. A search of a pattern without wildcards names one entry,
// found as any path component is; one with wildcards reads its folder as it
// goes, a batch of host entries at a time, and never holds the folder's
// names. It delivers what the folder holds when each batch is read: an
// entry deleted before its batch is not delivered, one deleted after being
// delivered is not met again (the host's directory position stays valid
// across deletions, as rm and fts rely on), and an entry that vanished
// since its batch was read fails its status query and is passed over.
// Nested searches each read through a descriptor of their own, so they do
// not move each other's position.
struct Search {
  std::u16string folderPath;  // as the caller wrote it
  FolderReader reader;        // its descriptor is the search's folder
  std::u16string pattern;
  bool wildcards = false;
  std::optional<std::string> single;  // a pattern without wildcards: its entry, until delivered
  std::u16string wide;                // the device form of the name read last
  // The entry delivered last, whose attributes a delete of that entry right
  // after can reuse.
  bool delivered = false;
  std::string lastHost;
  std::u16string lastDevice;
  struct statx lastStatus = {};
  DWORD lastAttributes = 0;
  std::unique_ptr<FolderMemo> memo;  // the file changes' own, of the folder

  explicit Search(Fd folder) : reader(std::move(folder)) {}
  int fd() const { return reader.fd(); }
};

// Newest last. The walkers nest searches, at most one a level.
std::vector<Search *> searches;

bool IsOpen(Search *search)
{
  return std::find(searches.begin(), searches.end(), search) != searches.end();
}

// A folder to work in: a descriptor of its own, or that of an open search
// of the same folder.
struct Folder {
  Fd owned;
  int fd = -1;
  Search *search = nullptr;
  std::unique_ptr<FolderMemo> ownMemo;
  std::unique_ptr<FolderMemo> &memo() { return search ? search->memo : ownMemo; }
};

// Opens the folder a device path names, below root/. The descriptors of
// folders with open searches are reused: the walkers delete in, and search
// below, the folder they are listing, so only the rest of the path is
// resolved. Such a descriptor was opened beneath root/ like any other.
std::variant<Folder, Failed> OpenFolder(std::u16string_view path)
{
  if (RootFd() < 0) {
    return Failed{ERROR_PATH_NOT_FOUND};
  }
  Folder result;
  result.fd = RootFd();
  std::unique_ptr<FolderMemo> *memo = &result.ownMemo;  // that of the folder result.fd is on
  std::u16string_view rest = path;
  // The longest prefix of the path, ending at a backslash, that an open
  // search lists.
  for (std::size_t length = path.size(); length > 0;) {
    Search *found = nullptr;
    for (auto open = searches.rbegin(); open != searches.rend() && !found; ++open) {
      if ((*open)->folderPath == path.substr(0, length)) {
        found = *open;
      }
    }
    if (found) {
      result.fd = found->fd();
      memo = &found->memo;
      rest = path.substr(length);
      result.search = rest.empty() ? found : nullptr;
      break;
    }
    std::size_t cut = path.rfind(u'\\', length - 1);
    length = cut == std::u16string_view::npos ? 0 : cut;
  }
  for (std::u16string_view component : SplitAtBackslashes(rest)) {
    // The path up to this component, as the device wrote it.
    std::u16string_view upTo = path.substr(0, component.data() + component.size() - path.data());
    struct statx status;
    auto name = FindEntry(result.fd, *memo, component, &status);
    if (!name || !S_ISDIR(status.stx_mode)) {
      if (name && S_ISLNK(status.stx_mode)) {
        TellUnseen(upTo, "", Unseen::kLink);
      }
      return Failed{ERROR_PATH_NOT_FOUND};
    }
    Fd next(OpenBeneath(result.fd, name->c_str(), O_RDONLY | O_DIRECTORY));
    if (!next.valid()) {
      if (errno == EACCES) {
        TellUnseen(upTo, "", Unseen::kUnreadable);
      }
      return Failed{ERROR_PATH_NOT_FOUND};
    }
    result.owned = std::move(next);
    result.fd = result.owned.get();
    result.search = nullptr;
    result.ownMemo.reset();
    memo = &result.ownMemo;
  }
  return result;
}

// The next host name the search may deliver: its one entry, or the next
// name read whose device form matches the pattern (left in search.wide).
const char *NextCandidate(Search &search)
{
  if (!search.wildcards) {
    if (!search.single) {
      return nullptr;
    }
    search.lastHost = std::move(*search.single);
    search.single.reset();
    search.wide = search.pattern;
    VisibleName(search.lastHost, search.wide);
    return search.lastHost.c_str();
  }
  while (const char *name = search.reader.Next()) {
    if (auto why = WhyUnseen(name, search.wide)) {
      TellUnseen(search.folderPath, name, *why);
    } else if (MatchesPattern(search.pattern, search.wide)) {
      return name;
    }
  }
  return nullptr;
}

// Fills the record with the next entry that still exists.
bool Deliver(Search &search, WIN32_FIND_DATAW *record)
{
  while (const char *name = NextCandidate(search)) {
    struct statx status;
    if (changes->Hidden(search.fd(), search.memo, name) ||
        EntryStatus(search.fd(), name, &status) != 0) {
      continue;  // gone since the folder was read
    }
    std::memset(record, 0, sizeof *record);
    record->dwFileAttributes = DeviceAttributes(search.fd(), name, status);
    record->ftCreationTime = FileTime(status.stx_ctime);
    record->ftLastAccessTime = FileTime(status.stx_atime);
    record->ftLastWriteTime = FileTime(status.stx_mtime);
    record->nFileSizeLow = static_cast<DWORD>(status.stx_size);
    record->nFileSizeHigh = static_cast<DWORD>(status.stx_size >> 32);
    record->dwOID = static_cast<DWORD>(status.stx_ino);
    std::copy(search.wide.begin(), search.wide.end(), record->cFileName);
    TellIfBeyondReach(search.folderPath, name, search.wide.size(),
                      (record->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    search.delivered = true;
    if (search.lastHost.c_str() != name) {
      search.lastHost = name;
    }
    search.lastDevice = search.wide;
    search.lastStatus = status;
    search.lastAttributes = record->dwFileAttributes;
    return true;
  }
  search.delivered = false;
  return false;
}

// The text before a path's last backslash, and after it.
std::pair<std::u16string_view, std::u16string_view> SplitLast(std::u16string_view path)
{
  std::size_t cut = path.rfind(u'\\');
  if (cut == std::u16string_view::npos) {
    return {std::u16string_view(), path};
  }
  return {path.substr(0, cut), path.substr(cut + 1)};
}

HANDLE FindFirst(LPCWSTR lpFileName, WIN32_FIND_DATAW *record)
{
  auto [folderPath, last] = SplitLast(TextView(lpFileName));
  if (last.empty() || record == nullptr || WindingDown()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto folder = OpenFolder(folderPath);
  if (auto *failed = std::get_if<Failed>(&folder)) {
    SetLastError(failed->error);
    return INVALID_HANDLE_VALUE;
  }
  Folder &opened = std::get<Folder>(folder);
  // A search of its own descriptor: its reading starts from the top, and
  // no other search moves it.
  auto search = std::make_unique<Search>(
      opened.owned.valid() ? std::move(opened.owned)
                           : Fd(OpenBeneath(opened.fd, ".", O_RDONLY | O_DIRECTORY)));
  search->folderPath = std::u16string(folderPath);
  search->pattern = std::u16string(last);
  search->wildcards = HasWildcards(last);
  if (!search->wildcards) {
    // The exact name is taken first, as by any lookup.
    struct statx status;
    search->single = FindEntry(search->fd(), search->memo, last, &status);
  }
  if (!Deliver(*search, record)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  searches.push_back(search.release());
  return searches.back();
}

// The folder holding the entry a device path names, the entry's host name
// there, its status and attributes.
struct Entry {
  Folder folder;
  std::string name;
  struct statx status;
  DWORD attributes;
};

std::variant<Entry, Failed> FindPath(LPCWSTR path)
{
  std::u16string_view whole = TextView(path);
  if (whole.find_first_not_of(u'\\') == std::u16string_view::npos) {
    return Failed{ERROR_ACCESS_DENIED};  // the root itself: nothing but backslashes
  }
  auto [folderPath, last] = SplitLast(whole);
  auto folder = OpenFolder(folderPath);
  if (auto *failed = std::get_if<Failed>(&folder)) {
    return *failed;
  }
  Entry entry;
  entry.folder = std::move(std::get<Folder>(folder));
  // The entry its folder's search delivered last, named as delivered: its
  // host name is known. While it is unchanged since (a new mode or DOS
  // attribute changes its ctime), its attributes stand too.
  const Search *search = entry.folder.search;
  const char *lastHost = search ? search->lastHost.c_str() : nullptr;
  bool delivered = search && search->delivered && search->lastDevice == last &&
                   !changes->Hidden(entry.folder.fd, entry.folder.memo(), lastHost) &&
                   EntryStatus(entry.folder.fd, lastHost, &entry.status) == 0;
  if (delivered) {
    entry.name = search->lastHost;
  } else if (auto name = FindEntry(entry.folder.fd, entry.folder.memo(), last, &entry.status)) {
    entry.name = std::move(*name);
  } else {
    return Failed{ERROR_FILE_NOT_FOUND};
  }
  if (delivered && search->lastStatus.stx_ino == entry.status.stx_ino &&
      search->lastStatus.stx_ctime.tv_sec == entry.status.stx_ctime.tv_sec &&
      search->lastStatus.stx_ctime.tv_nsec == entry.status.stx_ctime.tv_nsec) {
    entry.attributes = search->lastAttributes;
  } else {
    entry.attributes = DeviceAttributes(entry.folder.fd, entry.name.c_str(), entry.status);
  }
  return entry;
}

// As the file changes' Unlink of the entry.
int Unlink(Entry &entry, int flags)
{
  return changes->Unlink(entry.folder.fd, entry.folder.memo(), entry.name.c_str(), entry.status,
                         flags);
}

BOOL Delete(LPCWSTR path)
{
  if (WindingDown()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  auto found = FindPath(path);
  if (auto *failed = std::get_if<Failed>(&found)) {
    SetLastError(failed->error);
    return FALSE;
  }
  Entry &entry = std::get<Entry>(found);
  if (S_ISDIR(entry.status.stx_mode) || (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    if (!S_ISDIR(entry.status.stx_mode)) {
      TellRefused(TextView(path), false, Refusal::kReadOnly);
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Unlink(entry, 0) != 0) {
    int error = errno;
    TellRefused(TextView(path), false, RefusalOf(error, entry.folder.fd, entry.status));
    SetLastError(error == EISDIR ? ERROR_ACCESS_DENIED : ErrorFromErrno(error));
    return FALSE;
  }
  if (onRemoved) {
    onRemoved(TextView(path), entry.status.stx_size);
  }
  return TRUE;
}

BOOL RemoveFolder(LPCWSTR path)
{
  if (WindingDown()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  auto found = FindPath(path);
  if (auto *failed = std::get_if<Failed>(&found)) {
    SetLastError(failed->error);
    return FALSE;
  }
  Entry &entry = std::get<Entry>(found);
  if (!S_ISDIR(entry.status.stx_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (Unlink(entry, AT_REMOVEDIR) != 0) {
    int error = errno;
    TellRefused(TextView(path), true, RefusalOf(error, entry.folder.fd, entry.status));
    SetLastError(error == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrno(error));
    return FALSE;
  }
  if (onRemoved) {
    onRemoved(TextView(path), std::nullopt);
  }
  return TRUE;
}

}  // namespace

void SetFileChanges(std::unique_ptr<FileChanges> replacement)
{
  changes = std::move(replacement);
}

void SetRemovalListener(
    std::function<void(std::u16string_view path, std::optional<std::uint64_t> size)> listener)
{
  onRemoved = std::move(listener);
}

void SetRefusalListener(
    std::function<void(std::u16string_view path, bool folder, Refusal why)> listener)
{
  onRefused = std::move(listener);
}

void SetUnseenListener(
    std::function<void(std::u16string_view folder, std::string_view hostName, Unseen why)>
        listener)
{
  onUnseen = std::move(listener);
}

void SetWalkerReach(std::size_t pathUnits, std::size_t folderDepth)
{
  walkerPathUnits = pathUnits;
  walkerFolderDepth = folderDepth;
}

void ForgetFileSearches()
{
  for (Search *search : searches) {
    delete search;
  }
  searches.clear();
}

}  // namespace tarvel::host

using namespace tarvel::host;

extern "C" {

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
  HANDLE result = FindFirst(lpFileName, lpFindFileData);
  Trace([&] { return tarvel::trace::FindFirstFileW(lpFileName, lpFindFileData, result); });
  return result;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
  BOOL result = FALSE;
  auto *search = static_cast<Search *>(hFindFile);
  if (!IsOpen(search) || lpFindFileData == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if (!WindingDown() && Deliver(*search, lpFindFileData)) {
    result = TRUE;
  } else {
    SetLastError(ERROR_NO_MORE_FILES);
  }
  Trace([&] { return tarvel::trace::FindNextFileW(hFindFile, lpFindFileData, result); });
  return result;
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
  auto *search = static_cast<Search *>(hFindFile);
  BOOL result = IsOpen(search);
  if (result) {
    std::erase(searches, search);
    delete search;
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
  }
  Trace([&] { return tarvel::trace::FindClose(hFindFile, result); });
  return result;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName)
{
  BOOL result = Delete(lpFileName);
  Trace([&] { return tarvel::trace::DeleteFileW(lpFileName, result); });
  return result;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName)
{
  BOOL result = RemoveFolder(lpPathName);
  Trace([&] { return tarvel::trace::RemoveDirectoryW(lpPathName, result); });
  return result;
}

}  // extern "C"
