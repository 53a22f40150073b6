// user.reg as a file in the device folder: read whole within the size
// limit and parsed, recognised again by its identity, and replaced
// atomically (temporary file, fsync, rename), with the clean-up of the
// temporary files that killed writers left. Every replace is made while
// the launcher holds the device lock (an exclusive flock on the device
// folder, from before the device is prepared to the end of the run).
#include "registry_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "host.h"
#include "host_internal.h"
#include "reg_file.h"

namespace tarvel::host {

namespace {

std::function<void()> beforeReplace;

}  // namespace

void SetBeforeReplaceHook(std::function<void()> hook)
{
  beforeReplace = std::move(hook);
}

namespace store {

namespace {

const char kFileName[] = "user.reg";

bool SameTime(const struct timespec &a, const struct timespec &b)
{
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

Identity IdentityOf(const struct stat &status)
{
  return Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
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

std::string TooLarge()
{
  return "is larger than " + std::to_string(kLargestRegistryFile >> 20) +
         " MiB, more than a registry file holds";
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
    if (IsStoreTemporaryName(entry->d_name)) {
      unlinkat(DeviceFolderFd(), entry->d_name, 0);
    }
  }
  closedir(folder);
}

// Whether user.reg is still the file `known` identifies (nothing: still
// absent). An editor that does not take the lock may have saved meanwhile.
bool StillAs(const std::optional<Identity> &known)
{
  struct stat status;
  if (fstatat(DeviceFolderFd(), kFileName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && !known;
  }
  return known && *known == IdentityOf(status);
}

Failure NotReplaced(int error)
{
  return Failure{ERROR_WRITE_FAULT, std::string("could not be replaced: ") + std::strerror(error)};
}

}  // namespace

bool Identity::operator==(const Identity &other) const
{
  return device == other.device && inode == other.inode && size == other.size &&
         SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

// The file must be a regular file: it is opened without following a link
// and without blocking, so that a FIFO or a device node in its place is
// refused rather than waited on or read without end. Its identity is taken
// before it is read, so that an edit made during the read shows as a
// change the next time.
Reading Read(const std::optional<Identity> &unchangedIf, const std::string &codePage)
{
  int fd = openat(DeviceFolderFd(), kFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd < 0 && errno == ENOENT) {
    return Absent{};
  }
  if (fd < 0) {
    // Say what is in its place when it is not a file (a socket cannot be
    // opened at all), else why it cannot be read.
    int error = errno;
    if (fstatat(DeviceFolderFd(), kFileName, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode)) {
      return Unusable{std::string("is ") + KindOf(status.st_mode) + ", not a regular file", {}};
    }
    return Unusable{std::string("cannot be read: ") + std::strerror(error), {}};
  }
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return Unusable{std::string("is ") + KindOf(status.st_mode) + ", not a regular file", {}};
  }
  Identity identity = IdentityOf(status);
  if (unchangedIf && *unchangedIf == identity) {
    close(fd);
    return Unchanged{};
  }
  bool tooLarge = static_cast<std::uintmax_t>(status.st_size) > kLargestRegistryFile;
  auto bytes = tooLarge ? std::nullopt : ReadWhole(fd, &tooLarge);
  int readError = errno;
  close(fd);
  if (tooLarge) {
    return Unusable{TooLarge(), {}};
  }
  if (!bytes) {
    return Unusable{std::string("cannot be read: ") + std::strerror(readError), {}};
  }
  auto parsed = regfile::ParseReleasing(std::move(*bytes), codePage);
  if (auto *error = std::get_if<regfile::ParseError>(&parsed)) {
    // Not parsed again until it changes.
    return Unusable{":" + std::to_string(error->line) + ":" + std::to_string(error->column) +
                        ": " + error->message,
                    identity};
  }
  return Contents{std::move(std::get<reg::Registry>(parsed)), identity};
}

Replaced Replace(std::string_view text, const std::optional<Identity> &known)
{
  // The store never writes what it would refuse to read. The nearest
  // error the device's registry has for a registry with no more room.
  if (text.size() > kLargestRegistryFile) {
    return Failure{ERROR_NOT_ENOUGH_MEMORY,
                   "would grow larger than " + std::to_string(kLargestRegistryFile >> 20) +
                       " MiB, more than the store reads"};
  }
  RemoveLeftoverTemporaries();
  std::string temporary = kTemporaryPrefix + std::to_string(getpid());
  int fd = openat(DeviceFolderFd(), temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    return NotReplaced(errno);
  }
  auto discard = [&] {
    close(fd);
    unlinkat(DeviceFolderFd(), temporary.c_str(), 0);
  };
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      int error = wrote < 0 ? errno : ENOSPC;
      discard();
      return NotReplaced(error);
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
  if (fsync(fd) != 0) {
    int error = errno;
    discard();
    return NotReplaced(error);
  }
  if (beforeReplace) {
    beforeReplace();
  }
  if (!StillAs(known)) {
    discard();
    return ChangedMeanwhile{};
  }
  if (renameat(DeviceFolderFd(), temporary.c_str(), DeviceFolderFd(), kFileName) != 0) {
    int error = errno;
    discard();
    return NotReplaced(error);
  }
  fsync(DeviceFolderFd());
  // Taken through the descriptor after the rename, which may have given
  // the file a new change time.
  struct stat status;
  Identity identity;  // one that matches no file, if the file cannot be asked
  if (fstat(fd, &status) == 0) {
    identity = IdentityOf(status);
  }
  close(fd);
  return identity;
}

std::string FilePath()
{
  std::string folder = PathOfDescriptor(DeviceFolderFd());
  return folder.empty() ? kFileName : folder + "/" + kFileName;
}

}  // namespace store

bool IsStoreTemporaryName(std::string_view name)
{
  std::string_view prefix = store::kTemporaryPrefix;
  if (!name.starts_with(prefix) || name.size() == prefix.size()) {
    return false;
  }
  name.remove_prefix(prefix.size());
  return name.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace tarvel::host
