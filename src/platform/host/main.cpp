// The tarvel program: one clean-up run on the emulated device.
//
// It finds the device folder ($TARVEL_DEVICE, else
// ${XDG_DATA_HOME:-$HOME/.local/share}/tarvel/device), creates an absent one,
// refuses a folder that is not a device or whose user.reg cannot be parsed
// (status 2, nothing touched), and then calls WinMain on a thread with the
// device's 64 KiB stack.
#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "coredll.h"
#include "host.h"

namespace {

// The device process's stack. Under AddressSanitizer every frame carries
// red zones and the sanitizer's own calls run on the thread too, so such a
// build gives the thread eight times as much.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStackBytes = 8 * 64 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kStackBytes = 8 * 64 * 1024;
#else
constexpr std::size_t kStackBytes = 64 * 1024;
#endif
#else
constexpr std::size_t kStackBytes = 64 * 1024;
#endif

const int kNotAUsableDevice = 2;

std::string DeviceFolder()
{
  if (const char *device = std::getenv("TARVEL_DEVICE"); device && *device) {
    return device;
  }
  std::string data;
  if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    data = xdg;
  } else if (const char *home = std::getenv("HOME"); home && *home) {
    data = std::string(home) + "/.local/share";
  } else {
    data = ".";
  }
  return data + "/tarvel/device";
}

bool MakeFolders(const std::string &path)
{
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      std::string part = path.substr(0, at);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
      }
    }
  }
  return true;
}

bool Exists(const std::string &path)
{
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

bool IsEmptyFolder(const std::string &path)
{
  DIR *folder = opendir(path.c_str());
  if (folder == nullptr) {
    return false;
  }
  bool empty = true;
  while (dirent *entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(folder);
  return empty;
}

int Refuse(const std::string &message)
{
  std::fprintf(stderr, "tarvel: %s\n", message.c_str());
  return kNotAUsableDevice;
}

int runResult = 0;

void *RunDevice(void *)
{
  runResult = WinMain(tarvel::host::ProgramInstance(), nullptr, nullptr, 1);
  return nullptr;
}

}  // namespace

int main()
{
  std::string device = DeviceFolder();
  struct stat status;
  if (lstat(device.c_str(), &status) != 0) {
    if (!MakeFolders(device)) {
      return Refuse(device + ": cannot create the device folder: " + std::strerror(errno));
    }
  } else if (!S_ISDIR(status.st_mode)) {
    return Refuse(device + " is not a device folder: it is not a folder");
  }
  bool hasRoot = Exists(device + "/root");
  bool hasRegistry = Exists(device + "/user.reg");
  if (!hasRoot && !hasRegistry && !IsEmptyFolder(device)) {
    return Refuse(device + " is not a device folder: it holds neither root/ nor user.reg");
  }
  if (!hasRoot && mkdir((device + "/root").c_str(), 0755) != 0) {
    return Refuse(device + "/root: cannot create it: " + std::strerror(errno));
  }
  if (auto error = tarvel::host::OpenDevice(device)) {
    return Refuse(*error);
  }
  if (auto broken = tarvel::host::CheckRegistryFile()) {
    return Refuse(device + "/user.reg:" + std::to_string(broken->line) + ": " + broken->message +
                  "; nothing was done");
  }
  if (const char *trace = std::getenv("TARVEL_TRACE"); trace && *trace) {
    tarvel::host::SetTraceFile(trace);
  }

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackBytes);
  pthread_t thread;
  if (int error = pthread_create(&thread, &attributes, RunDevice, nullptr); error != 0) {
    return Refuse(std::string("cannot start the device thread: ") + std::strerror(error));
  }
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  tarvel::host::CloseDevice();
  return runResult;
}
