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

std::string WhyNot(int error)
{
  return error == ENXIO ? "no process is reading it" : std::strerror(error);
}

}  // namespace

TraceFile::~TraceFile()
{
  if (fd_ >= 0) {
    close(fd_);
  }
}

std::optional<std::string> TraceFile::Check(const std::string &path,
                                            const std::string &deviceFolder)
{
  path_ = path;
  if (path.empty()) {
    return std::nullopt;
  }
  std::string cannot = "TARVEL_TRACE=" + path + ": cannot write the trace there: ";
  fd_ = open(path.c_str(), kOpenFlags);
  if (fd_ < 0) {
    if (errno != ENOENT) {
      return cannot + WhyNot(errno);
    }
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) {
      return cannot + "it is a symbolic link to nothing";
    }
    std::string folder = std::filesystem::path(path).parent_path();
    if (access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0) {
      return cannot + std::strerror(errno);
    }
  }
  if (LiesInside(path, deviceFolder)) {
    return "TARVEL_TRACE=" + path + ": the trace may not lie inside the device folder " +
           deviceFolder + ", which the run changes";
  }
  return std::nullopt;
}

std::optional<std::string> TraceFile::Start()
{
  if (path_.empty()) {
    return std::nullopt;
  }
  if (fd_ < 0) {
    fd_ = open(path_.c_str(), kOpenFlags | O_CREAT, 0644);
    if (fd_ < 0) {
      return "TARVEL_TRACE=" + path_ + ": cannot write the trace there: " + WhyNot(errno);
    }
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  tarvel::host::SetTraceDescriptor(fd_);
  fd_ = -1;
  return std::nullopt;
}

}  // namespace tarvel::launcher
