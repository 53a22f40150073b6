// The tarvel program: one clean-up run on the emulated device.
//
// The device program has no command line; this launcher takes the usual
// options of a Linux program (--help, --version) and refuses any other
// argument. Before anything is done it checks what it is given: the trace file of
// TARVEL_TRACE, the device folder ($TARVEL_DEVICE, else
// ${XDG_DATA_HOME:-$HOME/.local/share}/tarvel/device, made when absent) and
// its user.reg. Anything it cannot use is refused with one line on stderr
// and status 2, nothing touched. Then it takes the device's run lock, so
// that runs on one device take turns, and calls WinMain on a thread with
// the device's 64 KiB stack.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
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

// What a fresh device's user.reg holds: a registry with no keys.
const char kEmptyRegistry[] = "Windows Registry Editor Version 5.00\n\n";

int Refuse(const std::string &message)
{
  std::fprintf(stderr, "tarvel: %s\n", message.c_str());
  return kNotAUsableDevice;
}

std::string Variable(const char *name)
{
  const char *value = std::getenv(name);
  return value ? value : "";
}

// The device folder, or nothing when no variable says where it is. An
// empty variable counts as unset, and so does a relative XDG_DATA_HOME, as
// the XDG convention asks.
std::optional<std::string> DeviceFolder()
{
  if (std::string device = Variable("TARVEL_DEVICE"); !device.empty()) {
    return device;
  }
  if (std::string data = Variable("XDG_DATA_HOME"); data.starts_with("/")) {
    return data + "/tarvel/device";
  }
  if (std::string home = Variable("HOME"); !home.empty()) {
    return home + "/.local/share/tarvel/device";
  }
  return std::nullopt;
}

std::string RealPath(const std::string &path)
{
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
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

// Whether a folder holds nothing but root/ and the registry store's own
// temporary files: what a device holds before its user.reg is made.
bool HoldsOnlyADevice(const std::string &folder)
{
  DIR *listing = opendir(folder.c_str());
  if (listing == nullptr) {
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

// Makes sure the folder is a device, making it one when it is new or holds
// nothing else. A folder is a device when it holds user.reg, or nothing but
// root/ (and the tool's own temporary files); "/" and the user's home
// folder never are. Gives why not, when it is not.
std::optional<std::string> PrepareDevice(const std::string &device)
{
  struct stat status;
  if (stat(device.c_str(), &status) != 0) {
    if (errno != ENOENT) {
      return device + ": cannot use it as the device folder: " + std::strerror(errno);
    }
    if (!MakeFolders(device)) {
      return device + ": cannot create the device folder: " + std::strerror(errno);
    }
  } else if (!S_ISDIR(status.st_mode)) {
    return device + " is not a device folder: it is not a folder";
  }
  std::string resolved = RealPath(device);
  if (resolved == "/") {
    return device + " is not a device folder: the root folder never is one";
  }
  if (IsHomeFolder(resolved)) {
    return device + " is not a device folder: a home folder never is one";
  }
  std::string registry = device + "/user.reg";
  bool hasRegistry = lstat(registry.c_str(), &status) == 0;
  if (!hasRegistry && !HoldsOnlyADevice(device)) {
    return device +
           " is not a device folder: it holds other things than root/ and has no user.reg "
           "(to make it one, create user.reg in it holding the line \"Windows Registry Editor "
           "Version 5.00\")";
  }
  std::string root = device + "/root";
  if (lstat(root.c_str(), &status) != 0) {
    if (mkdir(root.c_str(), 0755) != 0) {
      return root + ": cannot create it: " + std::strerror(errno);
    }
  } else if (!S_ISDIR(status.st_mode)) {
    return root + " is not a folder";
  }
  if (!hasRegistry) {
    int fd = open(registry.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 ||
        write(fd, kEmptyRegistry, sizeof kEmptyRegistry - 1) != sizeof kEmptyRegistry - 1) {
      std::string why = std::strerror(errno);
      if (fd >= 0) {
        close(fd);
        unlink(registry.c_str());
      }
      return registry + ": cannot create it: " + why;
    }
    close(fd);
  }
  return std::nullopt;
}

// The run lock: an exclusive lock on root/ held for the whole run, so that
// runs on one device take turns and their statistics add up. (The registry
// store locks the device folder itself for each write; the two never meet.)
std::optional<std::string> TakeRunLock(const std::string &device)
{
  std::string root = device + "/root";
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return root + ": " + std::strerror(errno);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return std::nullopt;  // held until the process ends
  }
  std::fprintf(stderr, "tarvel: %s is in use by another run; waiting for it to end\n",
               device.c_str());
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      return root + ": cannot lock it: " + std::strerror(errno);
    }
  }
  return std::nullopt;
}

const char kUsage[] =
    "Usage: tarvel [OPTION]\n"
    "Runs one clean-up of Tarvel, the storage clean-up tool of Windows CE handhelds, on an\n"
    "emulated device, as the handheld runs it at each launch: it deletes temporary files,\n"
    "the browser's caches, cookies and history, *.tmp and *.temp files, files with the\n"
    "temporary attribute, *.CAB installer archives and storage-card temporaries from a\n"
    "fixed list of folders, adds what it removed to the lifetime totals in the registry,\n"
    "and shows its two notification bubbles on standard output. Registry values under\n"
    "HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel steer it.\n"
    "\n"
    "Options:\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n"
    "\n"
    "Environment:\n"
    "  TARVEL_DEVICE    the device folder (default: ${XDG_DATA_HOME:-$HOME/.local/share}/\n"
    "                   tarvel/device, made when absent)\n"
    "  TARVEL_TRACE     a file to append every platform call of the run to\n"
    "\n"
    "The device folder:\n"
    "  root/            the device's file system: root/Windows/temp is \\Windows\\temp\n"
    "  user.reg         the current user's registry, in the registry editor's text format\n"
    "A folder is a device when it holds user.reg, or nothing but root/.\n"
    "\n"
    "Exit status: 0 after a clean-up run (also one that the registry disables);\n"
    "2 when the device, user.reg, the environment or the command line cannot be used,\n"
    "and then nothing was done.\n"
    "See tarvel(1).\n";

// What the command line asks for.
enum class Request { Run, Help, Version };

// Reads the command line: nothing when it cannot be used, after saying why
// on stderr.
std::optional<Request> ReadCommandLine(int argc, char **argv)
{
  Request request = Request::Run;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      request = Request::Help;
    } else if (argument == "--version") {
      request = request == Request::Help ? request : Request::Version;
    } else {
      std::fprintf(stderr, "tarvel: %s '%s'; try 'tarvel --help'\n",
                   argument.starts_with("-") ? "unknown option" : "takes no arguments, not",
                   argument.c_str());
      return std::nullopt;
    }
  }
  return request;
}

int runResult = 0;

void *RunDevice(void *)
{
  runResult = WinMain(tarvel::host::ProgramInstance(), nullptr, nullptr, 1);
  return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
  auto request = ReadCommandLine(argc, argv);
  if (!request) {
    return kNotAUsableDevice;
  }
  if (*request == Request::Help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (*request == Request::Version) {
    std::printf("tarvel %s\n", TARVEL_VERSION);
    return 0;
  }
  std::string trace = Variable("TARVEL_TRACE");
  if (auto why = tarvel::host::SetTraceFile(trace)) {
    return Refuse("TARVEL_TRACE=" + trace + ": cannot write the trace there: " + *why);
  }
  auto device = DeviceFolder();
  if (!device) {
    return Refuse(
        "no device folder: set TARVEL_DEVICE to one, or HOME for the default "
        "$HOME/.local/share/tarvel/device");
  }
  if (auto why = PrepareDevice(*device)) {
    return Refuse(*why);
  }
  if (auto error = tarvel::host::OpenDevice(*device)) {
    return Refuse(*error);
  }
  if (auto why = TakeRunLock(*device)) {
    return Refuse(*why);
  }
  if (auto why = tarvel::host::CheckRegistryFile()) {
    std::string file = *device + "/user.reg";
    return Refuse(file + (why->starts_with(":") ? "" : " ") + *why + "; nothing was done");
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
