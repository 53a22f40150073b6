// The device folder: where it is, what makes a folder a device, making one,
// and the device lock.
#include "device_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line.h"
#include "host.h"

namespace tarvel::launcher {

namespace {

const char kNotADeviceYet[] =
    " is not a device yet, and a preview makes nothing: run tarvel once without --preview "
    "to make it";

// The folder a path lies in ("." for a bare name), as a shell's dirname.
std::string ParentOf(std::string path)
{
  while (path.size() > 1 && path.ends_with('/')) {
    path.pop_back();
  }
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(std::string path)
{
  while (path.size() > 1 && path.ends_with('/')) {
    path.pop_back();
  }
  return path.substr(path.rfind('/') + 1);
}

std::string RealPath(const std::string &path)
{
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
}

// A path with links resolved as far as it exists: the real path of its
// deepest existing folder and the names below it.
std::string ResolvedAsFarAsItExists(const std::string &path)
{
  std::string rest;
  for (std::string at = path;; at = ParentOf(at)) {
    if (std::string real = RealPath(at); !real.empty()) {
      return rest.empty() ? real : (real == "/" ? "" : real) + "/" + rest;
    }
    if (at == "/" || at == ".") {
      return path;
    }
    rest = rest.empty() ? NameOf(at) : NameOf(at) + "/" + rest;
  }
}

bool IsFolder(const std::string &path)
{
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The user's home folder, by HOME and by the password database.
bool IsHomeFolder(const std::string &resolved)
{
  if (std::string home = Variable("HOME"); !home.empty() && RealPath(home) == resolved) {
    return true;
  }
  const passwd *user = getpwuid(getuid());
  return user && user->pw_dir && RealPath(user->pw_dir) == resolved;
}

// Whether the folder open in `folderFd` holds nothing but root/ and the
// registry store's temporary files: what a device holds before its
// user.reg is made.
bool HoldsOnlyADevice(int folderFd)
{
  int listingFd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *listing = listingFd >= 0 ? fdopendir(listingFd) : nullptr;
  if (listing == nullptr) {
    if (listingFd >= 0) {
      close(listingFd);
    }
    return false;
  }
  bool only = true;
  while (dirent *entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "root" && !name.starts_with("user.reg.tmp.")) {
      only = false;
      break;
    }
  }
  closedir(listing);
  return only;
}

bool HasRegistry(int folderFd)
{
  struct stat status;
  return fstatat(folderFd, "user.reg", &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// A folder is a device when it holds user.reg, or nothing but root/.
bool IsADevice(int folderFd)
{
  return HasRegistry(folderFd) || HoldsOnlyADevice(folderFd);
}

bool IsADevice(const std::string &folder)
{
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool device = IsADevice(fd);
  close(fd);
  return device;
}

// Why a folder can never be a device, whatever it holds: "/", a home
// folder, and the file system root/ of a device (a typo for the device).
std::optional<std::string> NeverADevice(const std::string &path, const std::string &resolved)
{
  if (resolved == "/") {
    return path + " is not a device folder: the root folder never is one";
  }
  if (IsHomeFolder(resolved)) {
    return path + " is not a device folder: a home folder never is one";
  }
  if (std::string parent = ParentOf(resolved); NameOf(resolved) == "root" && IsADevice(parent)) {
    return path + " is the file system root/ of the device " + parent +
           ", not a device folder: set TARVEL_DEVICE=" + parent;
  }
  return std::nullopt;
}

std::optional<std::string> CheckHoldsADevice(const std::string &path, int folderFd)
{
  if (IsADevice(folderFd)) {
    return std::nullopt;
  }
  return path +
         " is not a device folder: it holds other things than root/ and has no user.reg "
         "(to make it one, create user.reg in it holding the line \"Windows Registry Editor "
         "Version 5.00\")";
}

// Takes the device lock: an exclusive flock on the device folder, held
// until the descriptor is closed, so that runs on one device take turns and
// their statistics add up; the registry store writes only while it is
// held. Only "held by another" is waited for, said once on stderr; any
// other failure (no lock support on the folder's file system) refuses the
// run.
std::optional<std::string> Lock(const std::string &path, int folderFd)
{
  int taken;
  while ((taken = flock(folderFd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (taken == 0) {
    return std::nullopt;
  }
  if (errno != EWOULDBLOCK) {
    return path + ": cannot lock the device folder: " + std::strerror(errno);
  }
  std::fprintf(stderr,
               "tarvel: %s: another run or program holds the device's lock; waiting for it "
               "to end\n",
               path.c_str());
  while (flock(folderFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      return path + ": cannot lock the device folder: " + std::strerror(errno);
    }
  }
  return std::nullopt;
}

// A registry with no keys, as the store writes it, in a new user.reg.
std::optional<std::string> MakeRegistry(int folderFd)
{
  std::string empty = tarvel::regfile::Write(tarvel::reg::Registry{});
  int fd = openat(folderFd, "user.reg", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    return std::strerror(errno);
  }
  bool written = write(fd, empty.data(), empty.size()) == static_cast<ssize_t>(empty.size());
  std::string why = std::strerror(errno);
  if (close(fd) != 0 && written) {
    written = false;
    why = std::strerror(errno);
  }
  if (!written) {
    unlinkat(folderFd, "user.reg", 0);
    return why;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> LocateDevice(DeviceLocation &location)
{
  // An empty variable counts as unset, and so does a relative
  // XDG_DATA_HOME, as the XDG convention asks.
  if (std::string device = Variable("TARVEL_DEVICE"); !device.empty()) {
    if (device.starts_with("~")) {
      std::string example = device == "~" || device.starts_with("~/")
                                ? " such as $HOME" + device.substr(1)
                                : "";
      return "TARVEL_DEVICE=" + device +
             ": a path that begins with \"~\" is taken as written, not as a home folder "
             "(the shell did not expand it); name the folder in full," +
             example;
    }
    location = {device, "TARVEL_DEVICE=" + device, ParentOf(device), "the folder "};
    return std::nullopt;
  }
  // The default folder is made with the folders it needs below
  // $XDG_DATA_HOME or $HOME, as an application makes its data folder; that
  // base itself must exist, so a mistyped one makes nothing.
  if (std::string data = Variable("XDG_DATA_HOME"); data.starts_with("/")) {
    std::string path = data + "/tarvel/device";
    location = {path, path, data, "XDG_DATA_HOME="};
    return std::nullopt;
  }
  if (std::string home = Variable("HOME"); !home.empty()) {
    std::string path = home + "/.local/share/tarvel/device";
    location = {path, path, home, "HOME="};
    return std::nullopt;
  }
  return "no device folder: set TARVEL_DEVICE to one, or HOME for the default "
         "$HOME/.local/share/tarvel/device";
}

bool LiesInside(const std::string &path, const std::string &folder)
{
  struct stat device;
  if (stat(folder.c_str(), &device) != 0) {
    return false;
  }
  std::string resolved = RealPath(path);
  if (resolved.empty()) {
    resolved = RealPath(ParentOf(path));
  }
  for (std::string at = resolved; !at.empty(); at = ParentOf(at)) {
    struct stat status;
    if (stat(at.c_str(), &status) == 0 && status.st_dev == device.st_dev &&
        status.st_ino == device.st_ino) {
      return true;
    }
    if (at == "/") {
      break;
    }
  }
  return false;
}

TakenDevice::~TakenDevice()
{
  for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
    std::remove(made->c_str());
  }
  if (lockFd_ >= 0) {
    close(lockFd_);
  }
}

void TakenDevice::Made(const std::string &path, const std::string &name)
{
  made_.push_back(path);
  if (madeNames_.empty() || madeNames_.back() != name) {
    madeNames_.push_back(name);
  }
}

std::optional<std::string> TakeDevice(const DeviceLocation &location, bool mayMake,
                                      TakenDevice &device)
{
  const std::string &path = location.path;
  struct stat status;
  bool exists = stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) {
    return path + ": cannot use it as the device folder: " + std::strerror(errno);
  }
  if (exists && !S_ISDIR(status.st_mode)) {
    return path + " is not a device folder: it is not a folder";
  }
  if (!exists && !IsFolder(location.madeUnder)) {
    return location.namedAs + ": there is no such folder, nor " + location.madeUnderName +
           location.madeUnder + " to make it in";
  }
  if (auto why = NeverADevice(path, ResolvedAsFarAsItExists(path))) {
    return why;
  }
  if (!exists) {
    if (!mayMake) {
      // Said plainly, so that a mistyped name is not taken for a device
      // that only needs a first run.
      return path + ": there is no such folder; a preview makes nothing (a run would make a "
                    "new device there)";
    }
    // The folders missing from the base down, made top first; one that
    // another run makes meanwhile is taken as it is.
    std::vector<std::string> missing;
    for (std::string at = path; at != location.madeUnder && !IsFolder(at); at = ParentOf(at)) {
      missing.push_back(at);
      if (at == "/" || at == ".") {
        break;
      }
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
      if (mkdir(folder->c_str(), 0755) == 0) {
        device.Made(*folder, "the folder");
      } else if (errno != EEXIST) {
        return *folder + ": cannot create the device folder: " + std::strerror(errno);
      }
    }
  }

  // The folder is opened as named, links followed: TARVEL_DEVICE may name
  // a link to the device.
  device.lockFd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (device.lockFd_ < 0) {
    return path + ": cannot use it as the device folder: " + std::strerror(errno);
  }
  if (auto why = CheckHoldsADevice(path, device.lockFd_)) {
    return why;  // refused at once rather than after waiting for its lock
  }
  if (auto why = Lock(path, device.lockFd_)) {
    return why;
  }
  // Holding the lock, the folder is looked at again: another run may have
  // made it a device meanwhile, or something else put files in it.
  if (auto why = CheckHoldsADevice(path, device.lockFd_)) {
    return why;
  }
  bool hasRegistry = HasRegistry(device.lockFd_);
  if (fstatat(device.lockFd_, "root", &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (!mayMake) {
      return path + kNotADeviceYet;
    }
    if (mkdirat(device.lockFd_, "root", 0755) != 0) {
      return path + "/root: cannot create it: " + std::strerror(errno);
    }
    device.Made(path + "/root", "root/");
  } else if (!S_ISDIR(status.st_mode)) {
    return path + "/root is not a folder";
  }
  if (!hasRegistry && mayMake) {
    if (auto why = MakeRegistry(device.lockFd_)) {
      return path + "/user.reg: cannot create it: " + *why;
    }
    device.Made(path + "/user.reg", "user.reg");
  }
  device.folder_ = RealPath(path);
  return std::nullopt;
}

}  // namespace tarvel::launcher
