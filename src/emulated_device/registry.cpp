// The current user's registry in user.reg.
//
// Every call sees the file as it is now: a read re-reads it when another
// process (or a hand edit) has replaced or changed it since. Every write is
// made while the launcher holds the device lock (an exclusive flock on the
// device folder, from before the device is prepared to the end of the
// run), re-reads the file first
// so that what another process wrote meanwhile is kept, and replaces the file
// atomically (temporary file, fsync, rename). A file that cannot be parsed is
// never overwritten: reads and writes fail with ERROR_BADDB until it is
// mended.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "host_internal.h"
#include "registry_model.h"
#include "trace.h"

namespace tarvel::host {

namespace {

const char kFileName[] = "user.reg";

// What identifies the file as last read: a replace gives a new inode, an
// edit in place a new time or size.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  struct timespec changed = {};

  bool operator==(const Identity &other) const
  {
    return device == other.device && inode == other.inode && size == other.size &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

Identity IdentityOf(const struct stat &status)
{
  return Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

struct State {
  reg::Registry registry;
  reg::Calls calls{registry};
  std::optional<Identity> loaded;  // nothing: not read yet, or absent
  bool absentRead = false;
  // Why user.reg cannot be used, as "user.reg" and the rest of a sentence
  // would say it; nothing while it can.
  std::optional<std::string> unusable;
};

State *state = nullptr;
std::function<void()> beforeReplace;
std::string codePage = regfile::kDefaultCodePage;

State &Current()
{
  if (state == nullptr) {
    state = new State;
    state->registry.Create({u"HKEY_CURRENT_USER"});
  }
  return *state;
}

const char *KindOf(mode_t mode)
{
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device node";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// The whole file, or nothing when it cannot be read or is larger than the
// limit (*tooLarge then says so).
std::optional<std::string> ReadWhole(int fd, bool *tooLarge)
{
  std::string bytes;
  std::vector<char> buffer(64 * 1024);  // on the heap: every call keeps a small stack
  while (true) {
    ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer.data(), static_cast<std::size_t>(got));
    if (bytes.size() > kLargestRegistryFile) {
      *tooLarge = true;
      return std::nullopt;
    }
  }
  return bytes;
}

// Records why user.reg cannot be used. The file is read afresh by the next
// call, so that one mended meanwhile is taken again.
LONG Unusable(std::string why)
{
  Current().unusable = std::move(why);
  Current().loaded.reset();
  return ERROR_BADDB;
}

// Brings the model up to the file. Gives ERROR_SUCCESS, or the error that
// the call must fail with. The file must be a regular file: it is opened
// without following a link and without blocking, so that a FIFO or a
// device node in its place is refused rather than waited on or read
// without end.
LONG Refresh()
{
  State &s = Current();
  if (DeviceFolderFd() < 0) {
    return ERROR_BADDB;
  }
  int fd = openat(DeviceFolderFd(), kFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd < 0 && errno == ENOENT) {
    if (!s.absentRead) {
      s.registry = reg::Registry{};
      s.registry.Create({u"HKEY_CURRENT_USER"});
      s.loaded.reset();
      s.absentRead = true;
    }
    s.unusable.reset();
    return ERROR_SUCCESS;
  }
  if (fd < 0) {
    // Say what is in its place when it is not a file (a socket cannot be
    // opened at all), else why it cannot be read.
    int error = errno;
    if (fstatat(DeviceFolderFd(), kFileName, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode)) {
      return Unusable(std::string("is ") + KindOf(status.st_mode) + ", not a regular file");
    }
    return Unusable(std::string("cannot be read: ") + std::strerror(error));
  }
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return Unusable(std::string("is ") + KindOf(status.st_mode) + ", not a regular file");
  }
  if (s.loaded && *s.loaded == IdentityOf(status) && !s.absentRead) {
    close(fd);
    return s.unusable ? ERROR_BADDB : ERROR_SUCCESS;
  }
  bool tooLarge = static_cast<std::uintmax_t>(status.st_size) > kLargestRegistryFile;
  auto bytes = tooLarge ? std::nullopt : ReadWhole(fd, &tooLarge);
  int readError = errno;
  close(fd);
  if (tooLarge) {
    return Unusable("is larger than " + std::to_string(kLargestRegistryFile >> 20) +
                    " MiB, more than a registry file holds");
  }
  if (!bytes) {
    return Unusable(std::string("cannot be read: ") + std::strerror(readError));
  }
  s.absentRead = false;
  auto parsed = regfile::ParseReleasing(std::move(*bytes), codePage);
  if (auto *error = std::get_if<regfile::ParseError>(&parsed)) {
    Unusable(":" + std::to_string(error->line) + ":" + std::to_string(error->column) + ": " +
             error->message);
    s.loaded = IdentityOf(status);  // not parsed again until it changes
    return ERROR_BADDB;
  }
  s.loaded = IdentityOf(status);
  s.unusable.reset();
  s.registry = std::move(std::get<reg::Registry>(parsed));
  s.registry.Create({u"HKEY_CURRENT_USER"});
  return ERROR_SUCCESS;
}

// The temporary files of the store are "user.reg.tmp." and the writer's
// process number. Every writer holds the lock while it has one, so under
// the lock any such file is left over from a writer that was killed: it is
// removed (a link or a FIFO by its name only, never what it points to).
const char kTemporaryPrefix[] = "user.reg.tmp.";

void RemoveLeftoverTemporaries()
{
  int fd = openat(DeviceFolderFd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *folder = fd < 0 ? nullptr : fdopendir(fd);
  if (folder == nullptr) {
    if (fd >= 0) close(fd);
    return;
  }
  while (dirent *entry = readdir(folder)) {
    if (std::strncmp(entry->d_name, kTemporaryPrefix, sizeof kTemporaryPrefix - 1) == 0) {
      unlinkat(DeviceFolderFd(), entry->d_name, 0);
    }
  }
  closedir(folder);
}

// Whether user.reg is still the file the model was read from: absent if it
// was absent, else the same inode, size and modification time. An editor
// that does not take the lock may have saved meanwhile.
bool StillAsRead()
{
  const State &s = Current();
  struct stat status;
  if (fstatat(DeviceFolderFd(), kFileName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && s.absentRead;
  }
  return !s.absentRead && s.loaded && *s.loaded == IdentityOf(status);
}

// The outcome of a save that found user.reg replaced since it was read.
const LONG kChangedMeanwhile = -1;

LONG Save()
{
  State &s = Current();
  std::string text = regfile::Write(s.registry);
  RemoveLeftoverTemporaries();
  std::string temporary = kTemporaryPrefix + std::to_string(getpid());
  int fd = openat(DeviceFolderFd(), temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    return ERROR_WRITE_FAULT;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<std::size_t>(wrote);
  }
  // The new file keeps the mode and, where this process may set it, the
  // owner of the one it replaces.
  struct stat old;
  if (fstatat(DeviceFolderFd(), kFileName, &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode)) {
    fchmod(fd, old.st_mode & 07777);
    [[maybe_unused]] int owned = fchown(fd, old.st_uid, old.st_gid);
  }
  struct stat status;
  bool ok = done == text.size() && fsync(fd) == 0 && fstat(fd, &status) == 0;
  close(fd);
  if (beforeReplace) {
    beforeReplace();
  }
  LONG result = ok ? (StillAsRead() ? ERROR_SUCCESS : kChangedMeanwhile) : ERROR_WRITE_FAULT;
  if (result != ERROR_SUCCESS ||
      renameat(DeviceFolderFd(), temporary.c_str(), DeviceFolderFd(), kFileName) != 0) {
    unlinkat(DeviceFolderFd(), temporary.c_str(), 0);
    return result == ERROR_SUCCESS ? ERROR_WRITE_FAULT : result;
  }
  fsync(DeviceFolderFd());
  s.loaded = IdentityOf(status);
  s.absentRead = false;
  return ERROR_SUCCESS;
}

// How a change is kept, chosen once when the device is opened: a run saves
// it to user.reg; a preview keeps it in memory only, where every later read
// of the run finds it (the file, unchanged, is not read again).
LONG (*keep)() = Save;

LONG KeepInMemory()
{
  return ERROR_SUCCESS;
}

// Why the first write of the run that did not reach user.reg failed.
std::optional<std::string> firstFailedWrite;

// Runs one change of the registry under the lock, between a re-read and the
// save. When user.reg was replaced between the two, by an editor that does
// not take the lock, the change is made again on what it now holds, so
// that the edit is kept; a few times at most, then the write fails.
template <typename Change>
LONG Write(Change change)
{
  if (DeviceFolderFd() < 0) {
    return ERROR_BADDB;
  }
  LONG status = kChangedMeanwhile;
  for (int attempt = 0; attempt < 16 && status == kChangedMeanwhile; ++attempt) {
    status = Refresh();
    if (status == ERROR_SUCCESS) {
      status = change();
    }
    if (status == ERROR_SUCCESS) {
      status = keep();
    }
  }
  if (status == kChangedMeanwhile) {
    status = ERROR_WRITE_FAULT;
  }
  if (status != ERROR_SUCCESS && !firstFailedWrite) {
    firstFailedWrite = status == ERROR_BADDB ? "it could not be read or does not parse"
                                             : "it could not be replaced";
  }
  return status;
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
  Current().loaded.reset();  // read again in the new code page
  return std::nullopt;
}

void PreviewRegistryChanges()
{
  keep = KeepInMemory;
}

std::optional<std::vector<BYTE>> StoredValue(std::u16string_view keyPath,
                                             std::u16string_view valueName)
{
  if (Refresh() != ERROR_SUCCESS) {
    return std::nullopt;
  }
  reg::KeyPath path{u"HKEY_CURRENT_USER"};
  for (auto &part : reg::SplitKeyPath(keyPath)) {
    path.push_back(std::move(part));
  }
  const reg::Key *key = Current().registry.Find(path);
  const reg::Value *value = key ? key->FindValue(valueName) : nullptr;
  if (value == nullptr) {
    return std::nullopt;
  }
  return value->data;
}

std::optional<std::string> FinishRegistry()
{
  return firstFailedWrite;
}

void SetBeforeReplaceHook(std::function<void()> hook)
{
  beforeReplace = std::move(hook);
}

void ForgetRegistry()
{
  firstFailedWrite.reset();
  delete state;
  state = nullptr;
}

}  // namespace tarvel::host

using namespace tarvel::host;

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
  // through whatever was asked for. It is saved at once.
  // A change made again after an editor's save opens the key again: only
  // the last handle is kept.
  HKEY created = nullptr;
  LONG status = Write([&] {
    if (created) {
      Current().calls.Close(created);
      created = nullptr;
    }
    return Current().calls.Create(hKey, lpSubKey, phkResult ? &created : nullptr, lpdwDisposition);
  });
  if (status != ERROR_SUCCESS && created) {
    Current().calls.Close(created);
    created = nullptr;
  }
  if (phkResult) {
    *phkResult = created;
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
  LONG status =
      Write([&] { return Current().calls.Set(hKey, lpValueName, dwType, lpData, cbData); });
  Trace([&] {
    return tarvel::trace::RegSetValueExW(hKey, lpValueName, dwType, lpData, cbData, status);
  });
  return status;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
  LONG status = Current().calls.Close(hKey);
  Trace([&] { return tarvel::trace::RegCloseKey(hKey, status); });
  return status;
}

}  // extern "C"
