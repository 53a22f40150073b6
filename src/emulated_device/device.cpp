// The device folder, the trace and the last error.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "host.h"
#include "host_internal.h"

namespace tarvel::host {

namespace {

int deviceFolderFd = -1;
int rootFd = -1;
int traceFd = -1;
thread_local DWORD lastError = 0;

// Set by a signal handler on the launcher's thread, read by the device's.
std::atomic<bool> windingDown{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set in a signal handler");

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
  int folder = open(deviceFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    return deviceFolder + ": " + std::strerror(errno);
  }
  auto why = OpenDevice(folder);
  close(folder);
  return why ? std::optional(deviceFolder + *why) : std::nullopt;
}

std::optional<std::string> OpenDevice(int folderFd)
{
  CloseDevice();
  int folder = fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
  if (folder < 0) {
    return std::string(": ") + std::strerror(errno);
  }
  int root = openat(folder, "root", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root < 0) {
    int error = errno;
    close(folder);
    return std::string("/root: ") + std::strerror(error);
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

void SetTraceDescriptor(int fd)
{
  if (traceFd >= 0) {
    close(traceFd);
  }
  traceFd = fd;
}

bool Tracing()
{
  return traceFd >= 0;
}

void WriteTraceLine(const std::string &line)
{
  // One write per line, so lines of concurrent runs do not interleave. A
  // write that fails or falls short (a reader that went away, a full disk)
  // ends the trace and the run goes on; a reader that left did so on
  // purpose, any other failure is said once on stderr.
  std::string text = line + "\n";
  ssize_t written = write(traceFd, text.data(), text.size());
  if (written != static_cast<ssize_t>(text.size())) {
    if (written >= 0 || errno != EPIPE) {
      std::fprintf(stderr, "tarvel: TARVEL_TRACE: the trace ends here, the run goes on: %s\n",
                   written >= 0 ? "the file took only part of a line" : std::strerror(errno));
    }
    close(traceFd);
    traceFd = -1;
  }
}

void WindDown()
{
  windingDown.store(true);
}

bool WindingDown()
{
  return windingDown.load(std::memory_order_relaxed);
}

std::string PathOfDescriptor(int fd)
{
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string path(4096, '\0');
  ssize_t length = readlink(link.c_str(), path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
    return "";
  }
  path.resize(static_cast<std::size_t>(length));
  return path;
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
