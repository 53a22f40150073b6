// TARVEL_TRACE: checked at start-up, made and started when the run goes
// ahead.
#include "trace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "device_folder.h"
#include "host.h"

namespace tarvel::launcher {

namespace {

// Opened without blocking: a FIFO that nobody reads is refused at once
// (ENXIO) rather than waited on. Writes then block as usual, so a pipe
// whose reader is slow loses no line.
const int kOpenFlags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Why `path` cannot be opened. ENXIO means for a FIFO that no process
// reads it, for a device node (such as /dev/tty in a process without a
// terminal) that there is no device behind it.
std::string WhyNot(const std::string &path, int error)
{
  struct stat status;
  if (error == ENXIO && stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
    return "no process is reading it";
  }
  return std::strerror(error);
}

}  // namespace

TraceFile::~TraceFile()
{
  if (fd_ >= 0) {
    close(fd_);
  }
  if (folderFd_ >= 0) {
    close(folderFd_);
  }
}

std::optional<std::string> TraceFile::Check(const std::string &path)
{
  path_ = path;
  if (path.empty()) {
    return std::nullopt;
  }
  std::string cannot = "TARVEL_TRACE=" + path + ": cannot write the trace there: ";
  fd_ = open(path.c_str(), kOpenFlags);
  if (fd_ >= 0) {
    return std::nullopt;
  }
  if (errno != ENOENT) {
    return cannot + WhyNot(path, errno);
  }
  struct stat status;
  if (lstat(path.c_str(), &status) == 0) {
    return cannot + "it is a symbolic link to nothing";
  }
  std::filesystem::path named(path);
  name_ = named.filename();
  std::string folder = named.parent_path();
  folderFd_ = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd_ < 0 || faccessat(folderFd_, ".", W_OK | X_OK, 0) != 0) {
    return cannot + std::strerror(errno);
  }
  if (name_.empty() || name_ == "." || name_ == "..") {
    return cannot + std::strerror(EISDIR);
  }
  return std::nullopt;
}

// The trace is inside the device when what is open, or the folder it is to
// be made in, is user.reg or lies below the device folder, told by device
// and inode, never by comparing paths: a hard link or a link re-pointed
// does not get round it. A stream (a pipe, a terminal) changes no file and
// may be anything. A regular file with more than one name is refused
// outright, wherever the name given lies: another of its names may lie
// inside, and no file system tells where a file's other names are. Chosen
// over trying to tell a plainly outside one, as a trace has no reason to
// be hard-linked. A file with one name is checked where the kernel says
// that name is.
std::optional<std::string> TraceFile::InsideTheDevice(int deviceFd, const std::string &deviceFolder)
{
  std::string inside = "TARVEL_TRACE=" + path_ + ": the trace may not lie inside the device folder " +
                       deviceFolder + ", which the run changes";
  struct stat device;
  if (fstat(deviceFd, &device) != 0) {
    return "TARVEL_TRACE=" + path_ + ": cannot tell where it lies: " + std::strerror(errno);
  }
  if (fd_ < 0) {
    return LiesBelow(folderFd_, device.st_dev, device.st_ino) ? std::optional(inside)
                                                              : std::nullopt;
  }
  struct stat trace;
  if (fstat(fd_, &trace) != 0) {
    return "TARVEL_TRACE=" + path_ + ": cannot tell where it lies: " + std::strerror(errno);
  }
  if (!S_ISREG(trace.st_mode) || trace.st_nlink == 0) {
    return std::nullopt;
  }
  struct stat registry;
  if (fstatat(deviceFd, "user.reg", &registry, AT_SYMLINK_NOFOLLOW) == 0 &&
      SameFile(registry, trace)) {
    return inside;
  }
  if (trace.st_nlink > 1) {
    return inside + " (it has " + std::to_string(trace.st_nlink) +
           " hard links, and one may lie there)";
  }
  std::filesystem::path where(tarvel::host::PathOfDescriptor(fd_));
  int folder = where.is_absolute() ? open(where.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)
                                   : -1;
  struct stat named;
  bool found = folder >= 0 &&
               fstatat(folder, where.filename().c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
               SameFile(named, trace);
  bool below = found && LiesBelow(folder, device.st_dev, device.st_ino);
  if (folder >= 0) {
    close(folder);
  }
  if (!found) {
    return "TARVEL_TRACE=" + path_ + ": cannot tell where it lies (it was moved meanwhile)";
  }
  return below ? std::optional(inside) : std::nullopt;
}

std::optional<std::string> TraceFile::Start(int deviceFd, const std::string &deviceFolder)
{
  if (path_.empty()) {
    return std::nullopt;
  }
  bool made = false;
  if (fd_ < 0) {
    // The folder is checked before the file is made in it, and the file
    // again once made, in case the folder moved into the device meanwhile.
    if (auto why = InsideTheDevice(deviceFd, deviceFolder)) {
      return why;
    }
    fd_ = openat(folderFd_, name_.c_str(), kOpenFlags | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    made = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) {
      // Made by another meanwhile: taken as an existing file is.
      fd_ = openat(folderFd_, name_.c_str(), kOpenFlags | O_NOFOLLOW);
    }
    if (fd_ < 0) {
      return "TARVEL_TRACE=" + path_ + ": cannot write the trace there: " + WhyNot(path_, errno);
    }
  }
  if (auto why = InsideTheDevice(deviceFd, deviceFolder)) {
    struct stat opened, named;
    if (made && fstat(fd_, &opened) == 0 &&
        fstatat(folderFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(opened, named)) {
      unlinkat(folderFd_, name_.c_str(), 0);
    }
    return why;
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  tarvel::host::SetTraceDescriptor(fd_);
  fd_ = -1;
  return std::nullopt;
}

}  // namespace tarvel::launcher
