// The device's file system over root/.
//
// Every path is resolved from the root descriptor (or from that of a folder
// an open search lists), one component at a time, with
// openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS): a symbolic link is never
// followed and nothing outside root/ can be reached, even when a folder is
// swapped for a link while a run goes on. A component is looked up
// by its exact name first, then without regard to case among the names the
// device can see.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "host.h"
#include "host_internal.h"
#include "trace.h"
#include "utf16.h"
#include "wildcard.h"

namespace tarvel::host {

namespace {

// An owned descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd &operator=(Fd &&other) noexcept
  {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd()
  {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

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
      return ERROR_ACCESS_DENIED;
  }
}

// A host name is visible to the device only if it is valid UTF-8, fits
// cFileName with its terminator and holds none of \ / * ? nor a control
// character. If it is, `wide` is given its UTF-16 form; the caller's string
// is reused, so that listing a folder does not allocate a string a name.
bool VisibleName(std::string_view name, std::u16string &wide)
{
  if (name.empty() || name == "." || name == "..") {
    return false;
  }
  bool ascii = true;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\' || c == '/' || c == '*' || c == '?') {
      return false;
    }
    ascii = ascii && byte < 0x80;
  }
  if (ascii) {
    wide.assign(name.begin(), name.end());
  } else if (auto converted = Utf8ToUtf16(name)) {
    wide = std::move(*converted);
  } else {
    return false;
  }
  return wide.size() < MAX_PATH;
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

int OpenBeneath(int folder, const std::string &name, int flags)
{
  struct open_how how = {};
  how.flags = static_cast<unsigned long long>(flags | O_NOFOLLOW | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EAGAIN);
  return static_cast<int>(fd);
}

// Calls visit(host name) for each name in a folder but "." and "..", in
// the order the host lists them, until visit returns true. The folder's
// descriptor is read from its start; the buffer is on the heap, so the
// call's own stack use stays small.
template <typename Visit>
void ForEachName(int folder, Visit visit)
{
  if (lseek(folder, 0, SEEK_SET) < 0) {
    return;
  }
  std::vector<char> buffer(32 * 1024);
  while (true) {
    long bytes = syscall(SYS_getdents64, folder, buffer.data(), buffer.size());
    if (bytes <= 0) {
      return;
    }
    for (long at = 0; at < bytes;) {
      auto *entry = reinterpret_cast<struct dirent64 *>(buffer.data() + at);
      at += entry->d_reclen;
      const char *name = entry->d_name;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 && visit(name)) {
        return;
      }
    }
  }
}

// What deleting a file and removing a folder do to the host's files, chosen
// once when the device is opened. A run unlinks the entry. A preview hides
// it from every later listing and lookup of the run instead and leaves it
// where it is, so that the device code takes the path a run would take.
class Changes {
 public:
  virtual ~Changes() = default;
  // As unlinkat: 0, or -1 with errno set.
  virtual int Unlink(int folder, const char *name, int flags) = 0;
  // Whether the entry is gone for the device.
  virtual bool Hidden(int folder, const char *name) const = 0;
};

class Unlinking final : public Changes {
 public:
  int Unlink(int folder, const char *name, int flags) override
  {
    return unlinkat(folder, name, flags);
  }
  bool Hidden(int, const char *) const override { return false; }
};

class Hiding final : public Changes {
 public:
  // A folder goes as a run's rmdir would: when every entry in it, those the
  // device cannot see included, is gone.
  int Unlink(int folder, const char *name, int flags) override
  {
    if ((flags & AT_REMOVEDIR) != 0) {
      Fd inside(OpenBeneath(folder, name, O_RDONLY | O_DIRECTORY));
      if (!inside.valid()) {
        return -1;
      }
      bool empty = true;
      ForEachName(inside.get(), [&](const char *entry) {
        empty = Hidden(inside.get(), entry);
        return !empty;
      });
      if (!empty) {
        errno = ENOTEMPTY;
        return -1;
      }
    }
    hidden_.insert(Key(folder, name));
    return 0;
  }
  bool Hidden(int folder, const char *name) const override
  {
    return !hidden_.empty() && hidden_.count(Key(folder, name)) != 0;
  }

 private:
  // An entry by its folder's identity and its name, whichever descriptor
  // the folder is reached through.
  using EntryKey = std::tuple<dev_t, ino_t, std::string>;
  static EntryKey Key(int folder, const char *name)
  {
    struct stat status = {};
    fstat(folder, &status);
    return {status.st_dev, status.st_ino, name};
  }
  std::set<EntryKey> hidden_;
};

std::unique_ptr<Changes> changes = std::make_unique<Unlinking>();

// Told of every file deleted and folder removed.
std::function<void(std::u16string_view, std::optional<std::uint64_t>)> onRemoved;

// Calls visit(host name, device name) for each name in a folder that the
// device can see, in the order the host lists them, until visit returns true.
template <typename Visit>
void ForEachVisibleName(int folder, Visit visit)
{
  std::u16string wide;
  ForEachName(folder, [&](const char *name) {
    return VisibleName(name, wide) && !changes->Hidden(folder, name) &&
           visit(name, std::u16string_view(wide));
  });
}

// The host name of the entry that a device name finds in a folder, with its
// status: the exact name first, then one that matches it without regard to
// case.
std::optional<std::string> FindEntry(int folder, std::u16string_view component,
                                     struct stat *status)
{
  auto name = HostName(component);
  if (!name) {
    return std::nullopt;
  }
  if (fstatat(folder, name->c_str(), status, AT_SYMLINK_NOFOLLOW) == 0 &&
      !changes->Hidden(folder, name->c_str())) {
    return name;
  }
  std::optional<std::string> found;
  ForEachVisibleName(folder, [&](const char *candidate, std::u16string_view wide) {
    if (EqualsIgnoringCase(wide, component) &&
        fstatat(folder, candidate, status, AT_SYMLINK_NOFOLLOW) == 0) {
      found = candidate;
    }
    return found.has_value();
  });
  return found;
}

// user.DOSATTRIB of an entry, read relative to its folder's descriptor
// without following a link: getxattrat where the kernel has it, else through
// the folder's /proc/self/fd link. With size 0, its length alone.
ssize_t GetDosAttribute(int folder, const char *name, char *value, std::size_t size)
{
#ifdef SYS_getxattrat
  const long getxattrat = SYS_getxattrat;
#else
  const long getxattrat = 464;  // x86-64, Linux 6.13 and later
#endif
  static bool haveGetxattrat = true;
  if (haveGetxattrat) {
    struct {
      std::uint64_t value;
      std::uint32_t size;
      std::uint32_t flags;
    } args = {reinterpret_cast<std::uintptr_t>(value), static_cast<std::uint32_t>(size), 0};
    long length = syscall(getxattrat, folder, name, AT_SYMLINK_NOFOLLOW,
                          "user.DOSATTRIB", &args, sizeof args);
    if (length >= 0 || errno != ENOSYS) {
      return length;
    }
    haveGetxattrat = false;
  }
  std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
  return lgetxattr(path.c_str(), "user.DOSATTRIB", value, size);
}

// The raw user.DOSATTRIB of an entry, if it fits the buffer. Its length is
// asked first: most entries have none, and a query without a buffer spares
// the kernel allocating one.
ssize_t ReadDosAttribute(int folder, const char *name, char *value, std::size_t size)
{
  ssize_t length = GetDosAttribute(folder, name, nullptr, 0);
  if (length <= 0) {
    return length;
  }
  return static_cast<std::size_t>(length) <= size ? GetDosAttribute(folder, name, value, size) : -1;
}

// The DOS attributes in user.DOSATTRIB, as Samba and Wine write them: a hex
// text such as 0x100, quoted or not.
DWORD DosAttributes(int folder, const char *name)
{
  char value[64];
  ssize_t length = ReadDosAttribute(folder, name, value, sizeof value - 1);
  if (length <= 0) {
    return 0;
  }
  std::string text(value, static_cast<std::size_t>(length));
  std::erase_if(text, [](char c) { return c == '"' || c == '\0' || c == ' ' || c == '\n'; });
  if (!text.starts_with("0x") && !text.starts_with("0X")) {
    return 0;
  }
  DWORD attributes = 0;
  for (char c : text.substr(2)) {
    int digit = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) {
      return 0;
    }
    attributes = attributes * 16 + static_cast<DWORD>(digit);
  }
  return attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY);
}

DWORD Attributes(int folder, const char *name, const struct stat &status)
{
  DWORD attributes = DosAttributes(folder, name);
  if (S_ISDIR(status.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  }
  if (!S_ISLNK(status.st_mode) && (status.st_mode & S_IWUSR) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

FILETIME FileTime(const struct timespec &time)
{
  // 100-nanosecond intervals since 1601.
  auto ticks = static_cast<unsigned long long>(time.tv_sec) * 10000000ull +
               static_cast<unsigned long long>(time.tv_nsec) / 100 + 116444736000000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Names in both forms, packed into two texts, so that a listing of a
// thousand names costs a few allocations rather than thousands.
class Names {
 public:
  void Add(std::string_view host, std::u16string_view device)
  {
    offsets_.push_back({hosts_.size(), devices_.size(), device.size()});
    hosts_.append(host).push_back('\0');
    devices_.append(device);
  }
  void Clear()
  {
    hosts_.clear();
    devices_.clear();
    offsets_.clear();
  }
  std::size_t size() const { return offsets_.size(); }
  const char *Host(std::size_t i) const { return hosts_.c_str() + offsets_[i].host; }
  std::u16string_view Device(std::size_t i) const
  {
    return std::u16string_view(devices_).substr(offsets_[i].device, offsets_[i].deviceLength);
  }

 private:
  struct Offsets {
    std::size_t host, device, deviceLength;
  };
  std::string hosts_;      // each name followed by its terminator
  std::u16string devices_;  // the names' UTF-16 forms, one after another
  std::vector<Offsets> offsets_;
};

// An open search: the folder's descriptor, the names listed when it was
// opened, and the entry it delivered last, whose attributes a delete of that
// entry right after can reuse.
struct Search {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::u16string folderPath;  // as the caller wrote it
  Fd folder;
  Names names;
  std::size_t next = 0;
  std::size_t last = kNone;  // the index of the entry delivered last
  struct stat lastStatus = {};
  DWORD lastAttributes = 0;
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
      result.fd = found->folder.get();
      rest = path.substr(length);
      result.search = rest.empty() ? found : nullptr;
      break;
    }
    std::size_t cut = path.rfind(u'\\', length - 1);
    length = cut == std::u16string_view::npos ? 0 : cut;
  }
  for (std::u16string_view component : SplitAtBackslashes(rest)) {
    struct stat status;
    auto name = FindEntry(result.fd, component, &status);
    if (!name || !S_ISDIR(status.st_mode)) {
      return Failed{ERROR_PATH_NOT_FOUND};
    }
    Fd next(OpenBeneath(result.fd, *name, O_RDONLY | O_DIRECTORY));
    if (!next.valid()) {
      return Failed{ERROR_PATH_NOT_FOUND};
    }
    result.owned = std::move(next);
    result.fd = result.owned.get();
  }
  return result;
}

// Fills the record with the next entry that still exists.
bool Deliver(Search &search, WIN32_FIND_DATAW *record)
{
  while (search.next < search.names.size()) {
    std::size_t index = search.next++;
    const char *name = search.names.Host(index);
    struct stat status;
    if (fstatat(search.folder.get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        changes->Hidden(search.folder.get(), name)) {
      continue;  // gone since the listing
    }
    std::u16string_view wide = search.names.Device(index);
    std::memset(record, 0, sizeof *record);
    record->dwFileAttributes = Attributes(search.folder.get(), name, status);
    record->ftCreationTime = FileTime(status.st_ctim);
    record->ftLastAccessTime = FileTime(status.st_atim);
    record->ftLastWriteTime = FileTime(status.st_mtim);
    auto size = static_cast<unsigned long long>(status.st_size);
    record->nFileSizeLow = static_cast<DWORD>(size);
    record->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record->dwOID = static_cast<DWORD>(status.st_ino);
    std::copy(wide.begin(), wide.end(), record->cFileName);
    search.last = index;
    search.lastStatus = status;
    search.lastAttributes = record->dwFileAttributes;
    return true;
  }
  return false;
}

std::u16string_view View(const WCHAR *text)
{
  return text ? std::u16string_view(text, TextLength(text)) : std::u16string_view();
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
  auto [folderPath, last] = SplitLast(View(lpFileName));
  if (last.empty() || record == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto folder = OpenFolder(folderPath);
  if (auto *failed = std::get_if<Failed>(&folder)) {
    SetLastError(failed->error);
    return INVALID_HANDLE_VALUE;
  }
  auto search = std::make_unique<Search>();
  search->folderPath = std::u16string(folderPath);
  Folder &opened = std::get<Folder>(folder);
  // A search of its own descriptor: its listing starts from the top.
  search->folder = opened.owned.valid() ? std::move(opened.owned)
                                        : Fd(OpenBeneath(opened.fd, ".", O_RDONLY | O_DIRECTORY));
  // A plain variable for the lambda: clang before 16 cannot capture a
  // structured binding.
  std::u16string_view pattern = last;
  bool wildcards = HasWildcards(pattern);
  Names &names = search->names;
  ForEachVisibleName(search->folder.get(), [&](const char *name, std::u16string_view wide) {
    if (!MatchesPattern(pattern, wide)) {
      return false;
    }
    if (!wildcards && wide == pattern) {
      names.Clear();  // the exact name is taken first
      names.Add(name, wide);
      return true;
    }
    if (wildcards || names.size() == 0) {
      names.Add(name, wide);
    }
    return false;
  });
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
  struct stat status;
  DWORD attributes;
};

std::variant<Entry, Failed> FindPath(LPCWSTR path)
{
  std::u16string_view whole = View(path);
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
  bool delivered = search && search->last != Search::kNone &&
                   search->names.Device(search->last) == last &&
                   fstatat(entry.folder.fd, search->names.Host(search->last), &entry.status,
                           AT_SYMLINK_NOFOLLOW) == 0 &&
                   !changes->Hidden(entry.folder.fd, search->names.Host(search->last));
  if (delivered) {
    entry.name = search->names.Host(search->last);
  } else if (auto name = FindEntry(entry.folder.fd, last, &entry.status)) {
    entry.name = std::move(*name);
  } else {
    return Failed{ERROR_FILE_NOT_FOUND};
  }
  if (delivered && search->lastStatus.st_ino == entry.status.st_ino &&
      search->lastStatus.st_ctim.tv_sec == entry.status.st_ctim.tv_sec &&
      search->lastStatus.st_ctim.tv_nsec == entry.status.st_ctim.tv_nsec) {
    entry.attributes = search->lastAttributes;
  } else {
    entry.attributes = Attributes(entry.folder.fd, entry.name.c_str(), entry.status);
  }
  return entry;
}

BOOL Delete(LPCWSTR path)
{
  auto found = FindPath(path);
  if (auto *failed = std::get_if<Failed>(&found)) {
    SetLastError(failed->error);
    return FALSE;
  }
  Entry &entry = std::get<Entry>(found);
  if (S_ISDIR(entry.status.st_mode) || (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (changes->Unlink(entry.folder.fd, entry.name.c_str(), 0) != 0) {
    SetLastError(errno == EISDIR ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    return FALSE;
  }
  if (onRemoved) {
    onRemoved(View(path), static_cast<std::uint64_t>(entry.status.st_size));
  }
  return TRUE;
}

BOOL RemoveFolder(LPCWSTR path)
{
  auto found = FindPath(path);
  if (auto *failed = std::get_if<Failed>(&found)) {
    SetLastError(failed->error);
    return FALSE;
  }
  Entry &entry = std::get<Entry>(found);
  if (!S_ISDIR(entry.status.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (changes->Unlink(entry.folder.fd, entry.name.c_str(), AT_REMOVEDIR) != 0) {
    SetLastError(errno == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrno(errno));
    return FALSE;
  }
  if (onRemoved) {
    onRemoved(View(path), std::nullopt);
  }
  return TRUE;
}

}  // namespace

void PreviewFileChanges()
{
  changes = std::make_unique<Hiding>();
}

void SetRemovalListener(
    std::function<void(std::u16string_view path, std::optional<std::uint64_t> size)> listener)
{
  onRemoved = std::move(listener);
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
  } else if (Deliver(*search, lpFindFileData)) {
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
