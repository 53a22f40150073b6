// The tarvel program: one clean-up run on the emulated device.
//
// The device program has no command line; this launcher takes the usual
// options of a Linux program (--help, --version, --preview, --verbose) and
// refuses any other argument. Before anything is done it checks what it is given: the trace file of
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

#include <array>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "coredll.h"
#include "host.h"
#include "utf16.h"

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
// nothing else (unless `mayMake` is false: a preview makes nothing). A
// folder is a device when it holds user.reg, or nothing but root/ (and the
// tool's own temporary files); "/" and the user's home folder never are.
// Gives why not, when it is not.
std::optional<std::string> PrepareDevice(const std::string &device, bool mayMake)
{
  const char kNotYet[] = " is not a device yet, and a preview makes nothing: run tarvel once";
  struct stat status;
  if (stat(device.c_str(), &status) != 0) {
    if (errno != ENOENT) {
      return device + ": cannot use it as the device folder: " + std::strerror(errno);
    }
    if (!mayMake) {
      return device + kNotYet;
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
    if (!mayMake) {
      return device + kNotYet;
    }
    if (mkdir(root.c_str(), 0755) != 0) {
      return root + ": cannot create it: " + std::strerror(errno);
    }
  } else if (!S_ISDIR(status.st_mode)) {
    return root + " is not a folder";
  }
  if (!hasRegistry && mayMake) {
    // A registry with no keys, as the store writes it.
    std::string empty = tarvel::regfile::Write(tarvel::reg::Registry{});
    int fd = open(registry.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, empty.data(), empty.size()) != static_cast<ssize_t>(empty.size())) {
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

// The device lock: an exclusive flock on the device folder held for the
// whole run, so that runs on one device take turns and their statistics add
// up; the registry store writes only while it is held.
std::optional<std::string> TakeRunLock(const std::string &device)
{
  const std::string &root = device;
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
    "Usage: tarvel [OPTION]...\n"
    "Runs one clean-up of Tarvel, the storage clean-up tool of Windows CE handhelds, on an\n"
    "emulated device, as the handheld runs it at each launch: it deletes temporary files,\n"
    "the browser's caches, cookies and history, *.tmp and *.temp files, files with the\n"
    "temporary attribute, *.CAB installer archives and storage-card temporaries from a\n"
    "fixed list of folders, adds what it removed to the lifetime totals in the registry,\n"
    "shows its two notification bubbles and then a summary on standard output. Registry\n"
    "values under HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel steer it.\n"
    "\n"
    "Options:\n"
    "  -n, --preview    play the run out without changing anything, and list what it\n"
    "                   would remove\n"
    "  -v, --verbose    list what the run removes\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n"
    "A list has one line a file, in the order removed: its device path, a tab and its\n"
    "size in bytes; a removed folder is its path with a trailing backslash.\n"
    "\n"
    "Environment:\n"
    "  TARVEL_DEVICE    the device folder (default: ${XDG_DATA_HOME:-$HOME/.local/share}/\n"
    "                   tarvel/device, made when absent)\n"
    "  TARVEL_TRACE     a file to append every platform call of the run to\n"
    "  TARVEL_CODEPAGE  the code page of a REGEDIT4 user.reg that is not UTF-8\n"
    "                   (default: WINDOWS-1252; any name iconv knows, such as CP949)\n"
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
struct Request {
  bool help = false;
  bool version = false;
  bool preview = false;
  bool verbose = false;
};

// Reads the command line: nothing when it cannot be used, after saying why
// on stderr.
std::optional<Request> ReadCommandLine(int argc, char **argv)
{
  Request request;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      request.help = true;
    } else if (argument == "--version") {
      request.version = true;
    } else if (argument == "-n" || argument == "--preview") {
      request.preview = true;
    } else if (argument == "-v" || argument == "--verbose") {
      request.verbose = true;
    } else {
      std::fprintf(stderr, "tarvel: %s '%s'; try 'tarvel --help'\n",
                   argument.starts_with("-") ? "unknown option" : "takes no arguments, not",
                   argument.c_str());
      return std::nullopt;
    }
  }
  return request;
}

// One line a removal, as the usage above gives it.
void ListRemoval(std::u16string_view path, std::optional<std::uint64_t> size)
{
  std::string line = tarvel::Utf16ToUtf8(path);
  if (size) {
    line += '\t';
    line += std::to_string(*size);
  } else {
    line += '\\';
  }
  std::printf("%s\n", line.c_str());
}

// The statistics values of the run, as stored in the options key.
const char16_t kOptionsKey[] = u"SOFTWARE\\Halvorn\\Tarvel";
const char16_t *const kStatistics[] = {
    u"File",          u"Size",          u"filesDueToTemp", u"bytesDueToTemp",
    u"filesDueToTele", u"bytesDueToTele", u"filesDueToWS",   u"bytesDueToWS",
    u"filesDueToCAB", u"bytesDueToCAB", u"filesDueToSC",   u"bytesDueToSC"};
enum Statistic { FILE_TOTAL, SIZE_TOTAL, TEMP_FILES, TEMP_BYTES, TELE_FILES, TELE_BYTES, WS_FILES,
                 WS_BYTES, CAB_FILES, CAB_BYTES, SC_FILES, SC_BYTES, STATISTIC_COUNT };

// A statistics value as the run reads it, into 4 bytes: nothing when it is
// absent or longer; a shorter one gives what its bytes give.
std::optional<std::uint32_t> StoredNumber(const char16_t *name)
{
  auto data = tarvel::host::StoredValue(kOptionsKey, name);
  if (!data || data->size() > 4) {
    return std::nullopt;
  }
  std::uint32_t number = 0;
  for (std::size_t i = data->size(); i-- > 0;) {
    number = (number << 8) | (*data)[i];
  }
  return number;
}

std::array<std::optional<std::uint32_t>, STATISTIC_COUNT> StoredStatistics()
{
  std::array<std::optional<std::uint32_t>, STATISTIC_COUNT> values;
  for (int i = 0; i < STATISTIC_COUNT; ++i) {
    values[i] = StoredNumber(kStatistics[i]);
  }
  return values;
}

// A count in decimal with "," between groups of three digits. Counts are
// the device's signed 32-bit values, which wrap.
std::string Grouped(std::uint32_t count)
{
  auto value = static_cast<std::int32_t>(count);
  std::string digits = std::to_string(value < 0 ? -static_cast<std::int64_t>(value) : value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) {
    digits.insert(at - 3, ",");
  }
  return value < 0 ? "-" + digits : digits;
}

// What each category removed, the run's total and the lifetime totals,
// from the statistics stored before and after the run: the run's share is
// the difference, or the stored value itself when the run merged nothing
// ("Size" could not be read before it). "bytesDueToSC" is always the last
// run's alone.
void PrintSummary(const std::array<std::optional<std::uint32_t>, STATISTIC_COUNT> &before,
                  bool preview)
{
  if (!tarvel::host::ResultShown()) {
    std::printf("\nThe run was disabled (\"disable\" is set) and removed nothing.\n");
    return;
  }
  auto after = StoredStatistics();
  bool merged = before[SIZE_TOTAL].has_value();
  auto share = [&](int i) {
    std::uint32_t now = after[i].value_or(0);
    return merged && i != SC_BYTES ? now - before[i].value_or(0) : now;
  };
  std::printf("\n%s\n  %-10s %15s %15s\n",
              preview ? "What a run would remove now (a preview: nothing was changed):"
                      : "What this run removed:",
              "", "files", "bytes");
  const char *names[] = {"Temp", "Tele", "WS", "CAB"};
  for (int c = 0; c < 4; ++c) {
    std::printf("  %-10s %15s %15s\n", names[c], Grouped(share(TEMP_FILES + 2 * c)).c_str(),
                Grouped(share(TEMP_BYTES + 2 * c)).c_str());
  }
  std::printf("  %-10s %15s %15s\n", "SC", "-", Grouped(share(SC_BYTES)).c_str());
  std::printf("  %-10s %15s %15s\n", "in all", Grouped(share(FILE_TOTAL)).c_str(),
              Grouped(share(SIZE_TOTAL)).c_str());
  std::printf("  %-10s %15s %15s\n", "lifetime", Grouped(after[FILE_TOTAL].value_or(0)).c_str(),
              Grouped(after[SIZE_TOTAL].value_or(0)).c_str());
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
  if (request->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (request->version) {
    std::printf("tarvel %s\n", TARVEL_VERSION);
    return 0;
  }
  std::string trace = Variable("TARVEL_TRACE");
  if (auto why = tarvel::host::SetTraceFile(trace)) {
    return Refuse("TARVEL_TRACE=" + trace + ": cannot write the trace there: " + *why);
  }
  if (std::string codePage = Variable("TARVEL_CODEPAGE"); !codePage.empty()) {
    if (auto why = tarvel::host::SetCodePage(codePage)) {
      return Refuse("TARVEL_CODEPAGE=" + codePage + ": " + *why);
    }
  }
  auto device = DeviceFolder();
  if (!device) {
    return Refuse(
        "no device folder: set TARVEL_DEVICE to one, or HOME for the default "
        "$HOME/.local/share/tarvel/device");
  }
  if (auto why = PrepareDevice(*device, !request->preview)) {
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
  if (request->preview) {
    tarvel::host::StartPreview();
  }
  if (request->preview || request->verbose) {
    tarvel::host::SetRemovalListener(ListRemoval);
  }
  auto before = StoredStatistics();

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackBytes);
  pthread_t thread;
  if (int error = pthread_create(&thread, &attributes, RunDevice, nullptr); error != 0) {
    return Refuse(std::string("cannot start the device thread: ") + std::strerror(error));
  }
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  PrintSummary(before, request->preview);
  tarvel::host::CloseDevice();
  return runResult;
}
