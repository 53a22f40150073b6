// The current user's registry in user.reg.
//
// Every call sees the file as it is now: a read re-reads it when another
// process (or a hand edit) has replaced or changed it since. Every write is
// made under an exclusive lock on the device folder, re-reads the file first
// so that what another process wrote meanwhile is kept, and replaces the file
// atomically (temporary file, fsync, rename). A file that cannot be parsed is
// never overwritten: reads and writes fail with ERROR_BADDB until it is
// mended.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
  std::optional<regfile::ParseError> broken;
};

State *state = nullptr;

State &Current()
{
  if (state == nullptr) {
    state = new State;
    state->registry.Create({u"HKEY_CURRENT_USER"});
  }
  return *state;
}

std::optional<std::string> ReadWhole(int fd)
{
  std::string bytes;
  std::vector<char> buffer(8192);  // on the heap: every call keeps a small stack
  while (true) {
    ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer.data(), static_cast<std::size_t>(got));
  }
  return bytes;
}

// Brings the model up to the file. Gives ERROR_SUCCESS, or the error that
// the call must fail with.
LONG Refresh()
{
  State &s = Current();
  if (DeviceFolderFd() < 0) {
    return ERROR_BADDB;
  }
  int fd = openat(DeviceFolderFd(), kFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      return ERROR_BADDB;
    }
    if (!s.absentRead) {
      s.registry = reg::Registry{};
      s.registry.Create({u"HKEY_CURRENT_USER"});
      s.loaded.reset();
      s.absentRead = true;
    }
    s.broken.reset();
    return ERROR_SUCCESS;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    close(fd);
    return ERROR_BADDB;
  }
  if (s.loaded && *s.loaded == IdentityOf(status) && !s.absentRead) {
    close(fd);
    return s.broken ? ERROR_BADDB : ERROR_SUCCESS;
  }
  auto bytes = ReadWhole(fd);
  close(fd);
  if (!bytes) {
    return ERROR_BADDB;
  }
  s.loaded = IdentityOf(status);
  s.absentRead = false;
  auto parsed = regfile::Parse(*bytes);
  if (auto *error = std::get_if<regfile::ParseError>(&parsed)) {
    s.broken = *error;
    return ERROR_BADDB;
  }
  s.broken.reset();
  s.registry = std::move(std::get<reg::Registry>(parsed));
  s.registry.Create({u"HKEY_CURRENT_USER"});
  return ERROR_SUCCESS;
}

LONG Save()
{
  State &s = Current();
  std::string text = regfile::Write(s.registry);
  std::string temporary = std::string(kFileName) + ".tmp." + std::to_string(getpid());
  int fd = openat(DeviceFolderFd(), temporary.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
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
  struct stat status;
  bool ok = done == text.size() && fsync(fd) == 0 && fstat(fd, &status) == 0;
  close(fd);
  if (!ok || renameat(DeviceFolderFd(), temporary.c_str(), DeviceFolderFd(), kFileName) != 0) {
    unlinkat(DeviceFolderFd(), temporary.c_str(), 0);
    return ERROR_WRITE_FAULT;
  }
  fsync(DeviceFolderFd());
  s.loaded = IdentityOf(status);
  s.absentRead = false;
  return ERROR_SUCCESS;
}

// Runs one change of the registry under the lock, between a re-read and the
// save.
template <typename Change>
LONG Write(Change change)
{
  if (DeviceFolderFd() < 0) {
    return ERROR_BADDB;
  }
  while (flock(DeviceFolderFd(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      return ERROR_WRITE_FAULT;
    }
  }
  LONG status = Refresh();
  if (status == ERROR_SUCCESS) {
    status = change();
    if (status == ERROR_SUCCESS) {
      status = Save();
    }
  }
  flock(DeviceFolderFd(), LOCK_UN);
  return status;
}

}  // namespace

std::optional<regfile::ParseError> CheckRegistryFile()
{
  Refresh();
  return Current().broken;
}

void ForgetRegistry()
{
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
  LONG status = Write([&] { return Current().calls.Create(hKey, lpSubKey, phkResult, lpdwDisposition); });
  if (status != ERROR_SUCCESS && phkResult) {
    if (*phkResult) {
      Current().calls.Close(*phkResult);
    }
    *phkResult = nullptr;
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
