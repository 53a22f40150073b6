// The device folder, the trace and the last error.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "host.h"
#include "host_internal.h"

namespace tarvel::host {

namespace {

int deviceFolderFd = -1;
int rootFd = -1;
int traceFd = -1;
thread_local DWORD lastError = 0;

}  // namespace

int DeviceFolderFd()
{
  return deviceFolderFd;
}

int RootFd()
{
  return rootFd;
}

std::optional<std::string> OpenDevice(const std::string &deviceFolder)
{
  CloseDevice();
  int folder = open(deviceFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    return deviceFolder + ": " + std::strerror(errno);
  }
  int root = openat(folder, "root", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root < 0) {
    int error = errno;
    close(folder);
    return deviceFolder + "/root: " + std::strerror(error);
  }
  deviceFolderFd = folder;
  rootFd = root;
  return std::nullopt;
}

void StartPreview()
{
  PreviewFileChanges();
  PreviewRegistryChanges();
  PreviewShell();
}

void CloseDevice()
{
  ForgetFileSearches();
  ForgetRegistry();
  if (rootFd >= 0) {
    close(rootFd);
  }
  if (deviceFolderFd >= 0) {
    close(deviceFolderFd);
  }
  rootFd = deviceFolderFd = -1;
}

std::optional<std::string> SetTraceFile(const std::string &path)
{
  if (traceFd >= 0) {
    close(traceFd);
    traceFd = -1;
  }
  if (path.empty()) {
    return std::nullopt;
  }
  // Opened without blocking: a FIFO that nobody reads is refused at once
  // (ENXIO) rather than waited on. Writes then block as usual, so a pipe
  // whose reader is slow loses no line.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                0644);
  if (fd < 0) {
    return errno == ENXIO ? std::string("no process is reading it") : std::strerror(errno);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  traceFd = fd;
  return std::nullopt;
}

bool Tracing()
{
  return traceFd >= 0;
}

void WriteTraceLine(const std::string &line)
{
  // One write per line, so lines of concurrent runs do not interleave.
  std::string text = line + "\n";
  [[maybe_unused]] ssize_t written = write(traceFd, text.data(), text.size());
}

void SetLastError(DWORD error)
{
  lastError = error;
}

DWORD LastError()
{
  return lastError;
}

}  // namespace tarvel::host
