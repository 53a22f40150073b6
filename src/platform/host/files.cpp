// The device's file system over root/.
//
// Every path is resolved afresh from the root descriptor, one component at a
// time, with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS): a symbolic link
// is never followed and nothing outside root/ can be reached, even when a
// folder is swapped for a link while a run goes on. A component is looked up
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
#include <memory>
#include <optional>
#include <set>
#include <string>
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
// character. Gives its UTF-16 form.
std::optional<std::u16string> VisibleName(std::string_view name)
{
  if (name.empty() || name == "." || name == "..") {
    return std::nullopt;
  }
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\' || c == '/' || c == '*' || c == '?') {
      return std::nullopt;
    }
  }
  auto wide = Utf8ToUtf16(name);
  if (!wide || wide->size() >= MAX_PATH) {
    return std::nullopt;
  }
  return wide;
}

// The host form of one device path component, if it could name a visible
// entry at all.
std::optional<std::string> HostName(std::u16string_view component)
{
  if (!IsWellFormedUtf16(component)) {
    return std::nullopt;
  }
  std::string name = Utf16ToUtf8(component);
  if (!VisibleName(name)) {
    return std::nullopt;
  }
  return name;
}

std::vector<std::u16string_view> SplitDevicePath(std::u16string_view path)
{
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) {
      end = path.size();
    }
    if (end > start) {
      parts.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
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

// The names in a folder, in the order the host lists them. The folder's
// descriptor is read from its start; the buffer is on the heap, so the
// call's own stack use stays small.
std::vector<std::string> ReadNames(int folder)
{
  std::vector<std::string> names;
  if (lseek(folder, 0, SEEK_SET) < 0) {
    return names;
  }
  std::vector<char> buffer(32 * 1024);
  while (true) {
    long bytes = syscall(SYS_getdents64, folder, buffer.data(), buffer.size());
    if (bytes <= 0) {
      break;
    }
    for (long at = 0; at < bytes;) {
      auto *entry = reinterpret_cast<struct dirent64 *>(buffer.data() + at);
      names.emplace_back(entry->d_name);
      at += entry->d_reclen;
    }
  }
  return names;
}

// The host name of the entry that a device name finds in a folder: the
// exact name first, then one that matches it without regard to case.
std::optional<std::string> FindEntry(int folder, std::u16string_view component)
{
  auto name = HostName(component);
  if (!name) {
    return std::nullopt;
  }
  struct stat status;
  if (fstatat(folder, name->c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    return name;
  }
  for (auto &candidate : ReadNames(folder)) {
    auto wide = VisibleName(candidate);
    if (wide && EqualsIgnoringCase(*wide, component)) {
      return candidate;
    }
  }
  return std::nullopt;
}

// Opens the folder that a list of device components names, below root/.
std::variant<Fd, Failed> OpenFolder(const std::vector<std::u16string_view> &components,
                                    std::size_t count)
{
  if (RootFd() < 0) {
    return Failed{ERROR_PATH_NOT_FOUND};
  }
  Fd current(fcntl(RootFd(), F_DUPFD_CLOEXEC, 0));
  for (std::size_t i = 0; i < count; ++i) {
    auto name = FindEntry(current.get(), components[i]);
    if (!name) {
      return Failed{ERROR_PATH_NOT_FOUND};
    }
    Fd next(OpenBeneath(current.get(), *name, O_RDONLY | O_DIRECTORY));
    if (!next.valid()) {
      return Failed{ERROR_PATH_NOT_FOUND};
    }
    current = std::move(next);
  }
  return current;
}

// The DOS attributes in user.DOSATTRIB, as Samba and Wine write them: a hex
// text such as 0x100, quoted or not. Read through the folder's descriptor,
// never following a link.
DWORD DosAttributes(int folder, const std::string &name)
{
  std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
  char value[64];
  ssize_t length = lgetxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value - 1);
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

DWORD Attributes(int folder, const std::string &name, const struct stat &status)
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

struct Search {
  Fd folder;
  std::vector<std::string> names;
  std::size_t next = 0;
};

std::set<Search *> searches;

// Fills the record with the next entry that still exists.
bool Deliver(Search &search, WIN32_FIND_DATAW *record)
{
  while (search.next < search.names.size()) {
    const std::string &name = search.names[search.next++];
    struct stat status;
    if (fstatat(search.folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // gone since the listing
    }
    std::u16string wide = *VisibleName(name);
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
    return true;
  }
  return false;
}

std::u16string_view View(const WCHAR *text)
{
  return text ? std::u16string_view(text, TextLength(text)) : std::u16string_view();
}

HANDLE FindFirst(LPCWSTR lpFileName, WIN32_FIND_DATAW *record)
{
  std::u16string_view pattern = View(lpFileName);
  std::size_t cut = pattern.rfind(u'\\');
  std::u16string_view last = cut == std::u16string_view::npos ? pattern : pattern.substr(cut + 1);
  auto components = SplitDevicePath(cut == std::u16string_view::npos ? u"" : pattern.substr(0, cut));
  if (last.empty() || record == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto folder = OpenFolder(components, components.size());
  if (auto *failed = std::get_if<Failed>(&folder)) {
    SetLastError(failed->error);
    return INVALID_HANDLE_VALUE;
  }
  auto search = std::make_unique<Search>();
  search->folder = std::move(std::get<Fd>(folder));
  bool wildcards = HasWildcards(last);
  for (auto &name : ReadNames(search->folder.get())) {
    auto wide = VisibleName(name);
    if (!wide || !MatchesPattern(last, *wide)) {
      continue;
    }
    if (!wildcards && *wide == last) {
      search->names.assign(1, name);  // the exact name is taken first
      break;
    }
    if (!wildcards && !search->names.empty()) {
      continue;
    }
    search->names.push_back(std::move(name));
  }
  if (!Deliver(*search, record)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Search *handle = search.release();
  searches.insert(handle);
  return handle;
}

// The folder holding the entry a device path names, and the entry's host
// name there.
struct Entry {
  Fd folder;
  std::string name;
  struct stat status;
};

std::variant<Entry, Failed> FindPath(LPCWSTR path)
{
  auto components = SplitDevicePath(View(path));
  if (components.empty()) {
    return Failed{ERROR_ACCESS_DENIED};  // the root itself
  }
  auto folder = OpenFolder(components, components.size() - 1);
  if (auto *failed = std::get_if<Failed>(&folder)) {
    return *failed;
  }
  Entry entry;
  entry.folder = std::move(std::get<Fd>(folder));
  auto name = FindEntry(entry.folder.get(), components.back());
  if (!name) {
    return Failed{ERROR_FILE_NOT_FOUND};
  }
  entry.name = std::move(*name);
  if (fstatat(entry.folder.get(), entry.name.c_str(), &entry.status, AT_SYMLINK_NOFOLLOW) != 0) {
    return Failed{ErrorFromErrno(errno)};
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
  if (S_ISDIR(entry.status.st_mode) ||
      (Attributes(entry.folder.get(), entry.name, entry.status) & FILE_ATTRIBUTE_READONLY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlinkat(entry.folder.get(), entry.name.c_str(), 0) != 0) {
    SetLastError(errno == EISDIR ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    return FALSE;
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
  if (unlinkat(entry.folder.get(), entry.name.c_str(), AT_REMOVEDIR) != 0) {
    SetLastError(errno == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

}  // namespace

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
  Trace(tarvel::trace::FindFirstFileW(lpFileName, lpFindFileData, result));
  return result;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
  BOOL result = FALSE;
  auto *search = static_cast<Search *>(hFindFile);
  if (searches.count(search) == 0 || lpFindFileData == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else if (Deliver(*search, lpFindFileData)) {
    result = TRUE;
  } else {
    SetLastError(ERROR_NO_MORE_FILES);
  }
  Trace(tarvel::trace::FindNextFileW(hFindFile, lpFindFileData, result));
  return result;
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
  auto *search = static_cast<Search *>(hFindFile);
  BOOL result = searches.erase(search) == 1;
  if (result) {
    delete search;
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
  }
  Trace(tarvel::trace::FindClose(hFindFile, result));
  return result;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName)
{
  BOOL result = Delete(lpFileName);
  Trace(tarvel::trace::DeleteFileW(lpFileName, result));
  return result;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName)
{
  BOOL result = RemoveFolder(lpPathName);
  Trace(tarvel::trace::RemoveDirectoryW(lpPathName, result));
  return result;
}

}  // extern "C"
