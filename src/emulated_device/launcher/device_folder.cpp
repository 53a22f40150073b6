// The device folder: where it is, what makes a folder a device, making the
// default one, and the device lock. Everything after the one open of the
// folder goes through its descriptor, so that a link re-pointed or a folder
// swapped while a run waits for the lock changes nothing the run does.
#include "device_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

#include "command_line.h"
#include "host.h"
#include "owned_fd.h"

namespace tarvel::launcher {

namespace {

const char kNotADeviceYet[] =
    " is not a device yet, and a preview makes nothing: run tarvel once without --preview "
    "to make it";

// The deepest chain of folders followed up through "..": far more than any
// real path has, so that a loop of bind mounts cannot hold a run.
constexpr int kDeepestChain = 4096;

using tarvel::host::Fd;

// A path quoted for a shell command in a message.
std::string Quoted(const std::string &path)
{
  std::string quoted = "'";
  for (char c : path) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// Whether the folder named by `path` (links followed) is the one of status
// `folder`.
bool NamesFolder(const char *path, const struct stat &folder)
{
  struct stat status;
  return path && *path && stat(path, &status) == 0 && SameFile(status, folder);
}

// The user's home folder, by HOME and by the password database.
bool IsHomeFolder(const struct stat &folder)
{
  if (NamesFolder(std::getenv("HOME"), folder)) {
    return true;
  }
  const passwd *user = getpwuid(getuid());
  return user && NamesFolder(user->pw_dir, folder);
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
    if (name != "." && name != ".." && name != "root" &&
        !tarvel::host::IsStoreTemporaryName(name)) {
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

// Calls `visit` with each folder on the chain from the folder open in
// `folderFd` up to "/", followed up through "..": its descriptor, its
// status, and the status of the folder before it on the chain (none for the
// first), until `visit` gives true. Gives whether it did; false once "/"
// has been visited, when a folder cannot be asked, or past kDeepestChain
// folders.
bool AnyFolderUp(
    int folderFd,
    const std::function<bool(int fd, const struct stat &status, const struct stat *below)> &visit)
{
  Fd at(fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
  struct stat status, below;
  if (!at.valid() || fstat(at.get(), &status) != 0) {
    return false;
  }
  for (int depth = 0; depth < kDeepestChain; ++depth) {
    if (visit(at.get(), status, depth == 0 ? nullptr : &below)) {
      return true;
    }
    Fd parent(openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat parentStatus;
    if (!parent.valid() || fstat(parent.get(), &parentStatus) != 0 ||
        SameFile(parentStatus, status)) {
      return false;  // "/" reached, or a folder that cannot be asked
    }
    below = status;
    at = std::move(parent);
    status = parentStatus;
  }
  return false;
}

// The device whose root/ holds the folder open in `folderFd`, at any depth:
// one of the folders above it on the chain whose root/ is the folder below
// it on that chain and that is a device.
struct Holder {
  std::string path;
  bool isItsRoot;  // the folder is that device's root/ itself
};
std::optional<Holder> DeviceHolding(int folderFd)
{
  std::optional<Holder> holder;
  bool firstAbove = true;
  AnyFolderUp(folderFd, [&](int at, const struct stat &, const struct stat *below) {
    if (below == nullptr) {
      return false;  // the folder itself
    }
    bool isItsRoot = firstAbove;
    firstAbove = false;
    struct stat root;
    if (fstatat(at, "root", &root, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(root, *below) &&
        IsADevice(at)) {
      holder = Holder{tarvel::host::PathOfDescriptor(at), isItsRoot};
    }
    return holder.has_value();
  });
  return holder;
}

// Why the folder open in `folderFd` is not a device: "/", a home folder,
// a folder inside the file system root/ of a device (a device there would
// be cleaned by that device's runs, and the device's root/ itself is a typo
// for the device), or a folder that holds other things than a device does.
std::optional<std::string> WhyNotADevice(const std::string &path, int folderFd)
{
  struct stat folder;
  if (fstat(folderFd, &folder) != 0) {
    return path + ": cannot use it as the device folder: " + std::strerror(errno);
  }
  if (NamesFolder("/", folder)) {
    return path + " is not a device folder: the root folder never is one";
  }
  if (IsHomeFolder(folder)) {
    return path + " is not a device folder: a home folder never is one";
  }
  if (auto holder = DeviceHolding(folderFd)) {
    if (holder->isItsRoot) {
      return path + " is the file system root/ of the device " + holder->path +
             ", not a device folder: set TARVEL_DEVICE=" + holder->path;
    }
    return path + " is not a device folder: it lies inside the file system root/ of the device " +
           holder->path + ", whose runs would clean it";
  }
  if (!IsADevice(folderFd)) {
    return path +
           " is not a device folder: it holds other things than root/ and has no user.reg "
           "(to make it one, create user.reg in it holding the line \"Windows Registry Editor "
           "Version 5.00\")";
  }
  return std::nullopt;
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
    location = {device, "TARVEL_DEVICE=" + device, true, "", "", ""};
    return std::nullopt;
  }
  // The default folder is made with the folders it needs below
  // $XDG_DATA_HOME or $HOME, as an application makes its data folder; that
  // base itself must exist, so a mistyped one makes nothing.
  if (std::string data = Variable("XDG_DATA_HOME"); data.starts_with("/")) {
    location = {data + "/tarvel/device", data + "/tarvel/device", false, data, "XDG_DATA_HOME=",
                "tarvel/device"};
    return std::nullopt;
  }
  if (std::string home = Variable("HOME"); !home.empty()) {
    std::string path = home + "/.local/share/tarvel/device";
    location = {path, path, false, home, "HOME=", ".local/share/tarvel/device"};
    return std::nullopt;
  }
  return "no device folder: set TARVEL_DEVICE to one, or HOME for the default "
         "$HOME/.local/share/tarvel/device";
}

bool SameFile(const struct stat &a, const struct stat &b)
{
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool LiesBelow(int folderFd, dev_t device, ino_t inode)
{
  return AnyFolderUp(folderFd, [&](int, const struct stat &status, const struct stat *) {
    return status.st_dev == device && status.st_ino == inode;
  });
}

TakenDevice::~TakenDevice()
{
  // Only what this run made, and only while it is what it made: an entry
  // put in its place meanwhile (another inode) is not this run's.
  for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
    struct stat status;
    if (fstatat(made->parentFd, made->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        status.st_dev == made->device && status.st_ino == made->inode) {
      unlinkat(made->parentFd, made->name.c_str(), made->isFolder ? AT_REMOVEDIR : 0);
    }
  }
  Keep();
  if (folderFd_ >= 0) {
    close(folderFd_);
  }
}

void TakenDevice::Keep()
{
  for (MadeEntry &made : made_) {
    close(made.parentFd);
  }
  made_.clear();
}

void TakenDevice::Made(int parentFd, const std::string &name, const std::string &label,
                       bool isFolder)
{
  struct stat status;
  int parent = fcntl(parentFd, F_DUPFD_CLOEXEC, 0);
  if (parent >= 0 && fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    made_.push_back({parent, name, status.st_dev, status.st_ino, isFolder});
  } else if (parent >= 0) {
    close(parent);
  }
  if (madeNames_.empty() || madeNames_.back() != label) {
    madeNames_.push_back(label);
  }
}

// Makes the default device folder and the folders it needs below the base
// ($XDG_DATA_HOME or $HOME, which must exist), each in the one above it by
// descriptor; one that another run makes meanwhile is taken as it is. A
// folder that was there is opened as it is (a link such as ~/.local/share
// to elsewhere is followed); one this run made is opened without following
// a link. Leaves the device folder open in the device.
std::optional<std::string> MakeDefaultFolder(const DeviceLocation &location, TakenDevice &device)
{
  Fd at(open(location.madeUnder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at.valid()) {
    return location.namedAs + ": there is no such folder, nor " + location.madeUnderName +
           location.madeUnder + " to make it in";
  }
  std::string folder = location.madeUnder;
  std::string below = location.madeBelow;
  while (!below.empty()) {
    std::size_t slash = below.find('/');
    std::string name = below.substr(0, slash);
    below = slash == std::string::npos ? "" : below.substr(slash + 1);
    folder += "/" + name;
    bool made = mkdirat(at.get(), name.c_str(), 0755) == 0;
    if (!made && errno != EEXIST) {
      return folder + ": cannot create the device folder: " + std::strerror(errno);
    }
    if (made) {
      device.Made(at.get(), name, "the folder", true);
    }
    Fd next(
        openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (made ? O_NOFOLLOW : 0)));
    if (!next.valid()) {
      return folder + ": cannot use it as the device folder: " + std::strerror(errno);
    }
    at = std::move(next);
  }
  device.folderFd_ = fcntl(at.get(), F_DUPFD_CLOEXEC, 0);
  if (device.folderFd_ < 0) {
    return folder + ": cannot use it as the device folder: " + std::strerror(errno);
  }
  return std::nullopt;
}

std::optional<std::string> TakeDevice(const DeviceLocation &location, bool mayMake,
                                      TakenDevice &device)
{
  const std::string &path = location.path;
  // The one open of the folder by its name, a link followed: TARVEL_DEVICE
  // may name a link to the device.
  device.folderFd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat named;
  if (device.folderFd_ < 0 && errno == ENOTDIR && stat(path.c_str(), &named) == 0) {
    return path + " is not a device folder: it is not a folder";
  }
  if (device.folderFd_ < 0 && errno != ENOENT) {
    return location.namedAs + ": cannot use it as the device folder: " + std::strerror(errno);
  }
  if (device.folderFd_ < 0 && location.named) {
    return location.namedAs +
           ": there is no such folder, and tarvel makes only the default device (a mistyped "
           "name never becomes a new device); to make a new device there: mkdir -p " +
           Quoted(path);
  }
  if (device.folderFd_ < 0 && !mayMake) {
    // Said plainly, so that a mistyped name is not taken for a device
    // that only needs a first run.
    return path + ": there is no such folder; a preview makes nothing (a run would make a "
                  "new device there)";
  }
  if (device.folderFd_ < 0) {
    if (auto why = MakeDefaultFolder(location, device)) {
      return why;
    }
  }

  // Refused at once rather than after waiting for its lock; asked again
  // once the lock is held, which is what counts.
  if (auto why = WhyNotADevice(path, device.folderFd_)) {
    return why;
  }
  if (auto why = Lock(path, device.folderFd_)) {
    return why;
  }
  // The name must still lead to the folder locked: a link re-pointed or a
  // folder moved away while the run waited would otherwise leave it
  // cleaning one folder while the name, and a user, mean another.
  struct stat opened;
  if (fstat(device.folderFd_, &opened) != 0 || !NamesFolder(path.c_str(), opened)) {
    return path +
           ": the folder this name leads to changed while the run waited for the device's "
           "lock (a link re-pointed or a folder moved); nothing was done";
  }
  // Holding the lock, the folder is looked at again: another run may have
  // made it a device meanwhile, or something else put files in it.
  if (auto why = WhyNotADevice(path, device.folderFd_)) {
    return why;
  }
  bool hasRegistry = HasRegistry(device.folderFd_);
  struct stat status;
  if (fstatat(device.folderFd_, "root", &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (!mayMake) {
      return path + kNotADeviceYet;
    }
    if (mkdirat(device.folderFd_, "root", 0755) != 0) {
      return path + "/root: cannot create it: " + std::strerror(errno);
    }
    device.Made(device.folderFd_, "root", "root/", true);
  } else if (!S_ISDIR(status.st_mode)) {
    return path + "/root is not a folder";
  }
  if (!hasRegistry && mayMake) {
    if (auto why = MakeRegistry(device.folderFd_)) {
      return path + "/user.reg: cannot create it: " + *why;
    }
    device.Made(device.folderFd_, "user.reg", "user.reg", false);
  }
  device.folder_ = tarvel::host::PathOfDescriptor(device.folderFd_);
  if (device.folder_.empty()) {
    device.folder_ = path;
  }
  return std::nullopt;
}

}  // namespace tarvel::launcher
