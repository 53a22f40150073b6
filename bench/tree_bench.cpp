// The walkers on the emulated device against the tools a user would pick
// instead, on the same trees in memory (/dev/shm where it exists).
//
//   build/bench/tree_bench [ROUNDS]
//   build/bench/tree_bench --run temp|ws DEVICE   (one case's calls, once)
//
// Temp: 100 folders of 1,000 files under \temp, the four Temp calls, against
// rm -rf of the same folder contents. WS: a \Windows tree of 100,000 files in
// nested folders, a tenth named *.tmp or *.temp, the twelve WS calls,
// against one find -delete. Memory: peak resident size of a Temp run at
// 1,000 and at 100,000 files. Deep: the Temp calls on a chain of folders
// 24 levels deep with one read-only file at the bottom, and on a 40-level
// chain with a file at every level, counted in searches (FindFirstFileW
// calls) and timed. Registry: user.reg with 20,000 and with 100,000 sibling
// keys, read and written again; linear time gives a ratio near 5. Rounds
// alternate tool and rival; the table gives medians. A second table gives
// the floor: the same system calls as the emulated device makes, without
// the emulation.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "host.h"
#include "purge/purge.h"
#include "reg_file.h"

namespace fs = std::filesystem;

// Every search the device code opens passes through here (the link wraps
// FindFirstFileW), so the bench can count listings.
extern "C" HANDLE __real_FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found);
static long searches = 0;
extern "C" HANDLE __wrap_FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found)
{
  ++searches;
  return __real_FindFirstFileW(pattern, found);
}

namespace {

fs::path Base()
{
  fs::path shm = "/dev/shm";
  return (fs::is_directory(shm) ? shm : fs::temp_directory_path()) /
         ("tarvel-bench-" + std::to_string(getpid()));
}

void Touch(const fs::path &path)
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    [[maybe_unused]] ssize_t n = write(fd, "0123456789", 10);
    close(fd);
  }
}

void MakeTempTree(const fs::path &root, int folders, int files)
{
  for (int f = 0; f < folders; ++f) {
    fs::path folder = root / "temp" / ("folder" + std::to_string(f));
    fs::create_directories(folder);
    for (int i = 0; i < files; ++i) {
      Touch(folder / ("file" + std::to_string(i) + ".dat"));
    }
  }
}

void MakeWindowsTree(const fs::path &root)
{
  int n = 0;
  for (int a = 0; a < 10; ++a) {
    for (int b = 0; b < 10; ++b) {
      fs::path folder = root / "Windows" / ("dir" + std::to_string(a)) / ("sub" + std::to_string(b));
      fs::create_directories(folder);
      for (int i = 0; i < 1000; ++i, ++n) {
        const char *ending = n % 20 == 0 ? ".tmp" : n % 20 == 10 ? ".TEMP" : ".dll";
        Touch(folder / ("f" + std::to_string(i) + ending));
      }
    }
  }
}

// A chain of `levels` folders below \temp, whose deepest folder's device
// path has `levels` + 1 backslashes. With `everyLevel` each folder holds a
// file; else only the deepest, read-only, so nothing can be emptied.
fs::path MakeChain(const fs::path &root, int levels, bool everyLevel)
{
  fs::path folder = root / "temp";
  for (int level = 0; level < levels; ++level) {
    folder /= "d";
    fs::create_directories(folder);
    if (everyLevel) {
      Touch(folder / "f");
    }
  }
  if (!everyLevel) {
    Touch(folder / "held.log");
    chmod((folder / "held.log").c_str(), 0444);
  }
  return folder;
}

std::vector<std::string> Listing(const fs::path &folder)
{
  std::vector<std::string> paths;
  for (auto &entry : fs::recursive_directory_iterator(folder)) {
    paths.push_back(fs::relative(entry.path(), folder).string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

double Seconds(const std::function<void()> &work)
{
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values)
{
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The registry file with `keys` sibling keys of one value each, parsed and
// written again: the time of one round.
double RegistryRound(int keys)
{
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  for (int key = 0; key < keys; ++key) {
    text += "[HKEY_CURRENT_USER\\Sibling\\key" + std::to_string(key) + "]\n\"v\"=dword:00000001\n\n";
  }
  return Seconds([&] {
    auto parsed = tarvel::regfile::Parse(text);
    std::string written = tarvel::regfile::Write(std::get<tarvel::reg::Registry>(parsed));
    if (written.size() < text.size() / 2) {
      std::fprintf(stderr, "the registry was not written whole\n");
    }
  });
}

void Shell(const std::string &command)
{
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
  }
}

void TempCalls()
{
  PurgeMatching(u"\\temp", u"\\*.*");
  PurgeMatching(u"\\tmp", u"\\*.*");
  PurgeMatching(u"\\Windows\\temp", u"\\*.*");
  PurgeMatching(u"\\Windows\\tmp", u"\\*.*");
}

void WsCalls()
{
  const char16_t *folders[] = {u"\\My Documents", u"\\Program Files", u"\\Windows", u"\\Profiles"};
  for (auto *folder : folders) PurgeTemporary(folder, u"\\*.*");
  for (auto *folder : folders) PurgeMatching(folder, u"\\*.tmp");
  for (auto *folder : folders) PurgeMatching(folder, u"\\*.temp");
}

// The floor: the system calls the emulated device makes for the same walks,
// issued straight from host names, with no device code, no UTF-16 and no
// handles. Every listed entry costs its status and its DOS attributes (a
// device search delivers both), a delete one status check and the unlink.
namespace floor {

std::vector<std::string> List(int folder)
{
  std::vector<std::string> names;
  std::vector<char> buffer(32 * 1024);
  lseek(folder, 0, SEEK_SET);
  long bytes;
  while ((bytes = syscall(SYS_getdents64, folder, buffer.data(), buffer.size())) > 0) {
    for (long at = 0; at < bytes;) {
      auto *entry = reinterpret_cast<struct dirent64 *>(buffer.data() + at);
      at += entry->d_reclen;
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        names.emplace_back(entry->d_name);
      }
    }
  }
  return names;
}

// What a search delivers of an entry: whether it is a folder, and whether it
// carries DOS attributes (taken as the temporary one; the bench's trees carry
// none, so their value is never read).
bool Deliver(int folder, const std::string &name, bool *temporary)
{
  struct stat status;
  if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  struct {
    std::uint64_t value;
    std::uint32_t size;
    std::uint32_t flags;
  } args = {0, 0, 0};  // the length alone, as the emulated device asks first
  // getxattrat (x86-64, Linux 6.13 and later); where the kernel lacks it
  // this fails at once, and the floor leaves the attribute read out.
  long length = syscall(464, folder, name.c_str(), AT_SYMLINK_NOFOLLOW, "user.DOSATTRIB", &args,
                        sizeof args);
  *temporary = length > 0;
  return S_ISDIR(status.st_mode);
}

void Delete(int folder, const std::string &name)
{
  struct stat status;
  if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    unlinkat(folder, name.c_str(), 0);
  }
}

template <typename Walk>
void InSubfolder(int folder, const std::string &name, Walk walk)
{
  int sub = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (sub >= 0) {
    walk(sub);
    close(sub);
  }
}

void Matching(int folder, const char *pattern)
{
  bool temporary = false;
  for (auto &name : List(folder)) {
    if (Deliver(folder, name, &temporary)) {
      InSubfolder(folder, name, [&](int sub) { Matching(sub, pattern); });
    }
  }
  for (auto &name : List(folder)) {
    if (fnmatch(pattern, name.c_str(), FNM_CASEFOLD) != 0) {
      continue;
    }
    if (Deliver(folder, name, &temporary)) {
      InSubfolder(folder, name, [&](int sub) { Matching(sub, pattern); });
      unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    } else {
      Delete(folder, name);
    }
  }
}

void Temporary(int folder)
{
  bool temporary = false;
  for (auto &name : List(folder)) {
    if (Deliver(folder, name, &temporary)) {
      InSubfolder(folder, name, [&](int sub) { Temporary(sub); });
    } else if (temporary) {
      Delete(folder, name);
    }
  }
}

template <typename Walk>
void InFolders(const fs::path &root, std::initializer_list<const char *> folders, Walk walk)
{
  for (const char *folder : folders) {
    int fd = open((root / folder).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
      walk(fd);
      close(fd);
    }
  }
}

void TempCalls(const fs::path &root)
{
  InFolders(root, {"temp", "tmp", "Windows/temp", "Windows/tmp"},
            [](int fd) { Matching(fd, "*"); });
}

void WsCalls(const fs::path &root)
{
  auto folders = {"My Documents", "Program Files", "Windows", "Profiles"};
  InFolders(root, folders, [](int fd) { Temporary(fd); });
  InFolders(root, folders, [](int fd) { Matching(fd, "*.tmp"); });
  InFolders(root, folders, [](int fd) { Matching(fd, "*.temp"); });
}

}  // namespace floor

// The peak resident size of the running program, in KiB (VmHWM). Not the
// rusage of a child: that also holds what the child had before its exec,
// the pages of the bench it was forked from.
long OwnPeak()
{
  long peak = -1;
  if (std::FILE *status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) &&
           std::sscanf(line, "VmHWM: %ld kB", &peak) != 1) {
    }
    std::fclose(status);
  }
  return peak;
}

// A whole Temp run of the tool in a process of its own, which reports its
// peak resident size in KiB on its standard output.
long TempRunPeak(const char *self, const fs::path &device)
{
  int report[2];
  if (pipe(report) != 0) {
    return -1;
  }
  pid_t child = fork();
  if (child == 0) {
    dup2(report[1], STDOUT_FILENO);
    execl(self, self, "--run", "temp", device.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(report[1]);
  std::string text;
  char buffer[256];
  ssize_t bytes;
  while ((bytes = read(report[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(bytes));
  }
  close(report[0]);
  waitpid(child, nullptr, 0);
  long peak = -1;
  return std::sscanf(text.c_str(), "peak resident size: %ld KiB", &peak) == 1 ? peak : -1;
}

}  // namespace

int main(int argc, char **argv)
{
  // One case's calls on a device made beforehand: for the memory figure,
  // and for a profiler.
  if (argc == 4 && std::string(argv[1]) == "--run") {
    tarvel::host::OpenDevice(argv[3]);
    std::string which = argv[2];
    if (which == "temp") {
      TempCalls();
    } else if (which == "ws") {
      WsCalls();
    } else {
      std::fprintf(stderr, "tree_bench: --run takes temp or ws\n");
      return 2;
    }
    std::printf("peak resident size: %ld KiB\n", OwnPeak());
    return 0;
  }
  int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  fs::path base = Base();
  fs::path device = base / "device";
  fs::path root = device / "root";
  fs::create_directories(root);

  std::vector<double> tempTool, tempRm, tempFloor, wsTool, wsFind, wsFloor;
  bool sameLeft = true;
  for (int round = 0; round < rounds; ++round) {
    MakeTempTree(root, 100, 1000);
    tempTool.push_back(Seconds([&] {
      tarvel::host::OpenDevice(device);
      TempCalls();
      tarvel::host::CloseDevice();
    }));
    MakeTempTree(root, 100, 1000);
    tempRm.push_back(Seconds([&] { Shell("rm -rf '" + (root / "temp").string() + "'/*"); }));
    MakeTempTree(root, 100, 1000);
    tempFloor.push_back(Seconds([&] { floor::TempCalls(root); }));

    MakeWindowsTree(root);
    wsTool.push_back(Seconds([&] {
      tarvel::host::OpenDevice(device);
      WsCalls();
      tarvel::host::CloseDevice();
    }));
    auto toolLeft = Listing(root / "Windows");
    fs::remove_all(root / "Windows");
    MakeWindowsTree(root);
    wsFind.push_back(Seconds([&] {
      Shell("find '" + (root / "Windows").string() +
            "' \\( -iname '*.tmp' -o -iname '*.temp' \\) -type f -delete");
    }));
    sameLeft = sameLeft && toolLeft == Listing(root / "Windows");
    fs::remove_all(root / "Windows");
    MakeWindowsTree(root);
    wsFloor.push_back(Seconds([&] { floor::WsCalls(root); }));
    sameLeft = sameLeft && toolLeft == Listing(root / "Windows");
    fs::remove_all(root / "Windows");
  }

  // The deep chains: searches of one run, and the median time.
  struct Deep {
    const char *name;
    int levels;
    bool everyLevel;
    std::size_t filesLeft;
    std::vector<double> times;
    long searches;
  } deep[] = {{"Deep: 24 levels, one read-only file at the bottom", 23, false, 1, {}, 0},
              {"Deep: 40 levels, a file at every level", 40, true,
               static_cast<std::size_t>(40 - (PURGE_MAX_FOLDER_DEPTH - 1)), {}, 0}};
  for (Deep &chain : deep) {
    for (int round = 0; round < rounds; ++round) {
      MakeChain(root, chain.levels, chain.everyLevel);
      searches = 0;
      chain.times.push_back(Seconds([&] {
        tarvel::host::OpenDevice(device);
        TempCalls();
        tarvel::host::CloseDevice();
      }));
      chain.searches = searches;
      // Every folder of the chain stays (none can be emptied), and so do
      // the files it must keep.
      std::size_t folders = 0, files = 0;
      for (auto &entry : fs::recursive_directory_iterator(root / "temp")) {
        ++(entry.is_directory() ? folders : files);
      }
      sameLeft = sameLeft && folders == static_cast<std::size_t>(chain.levels) &&
                 files == chain.filesLeft;
      fs::remove_all(root / "temp");
    }
  }

  std::vector<double> registrySmall, registryLarge;
  for (int round = 0; round < rounds; ++round) {
    registrySmall.push_back(RegistryRound(20'000));
    registryLarge.push_back(RegistryRound(100'000));
  }

  MakeTempTree(root, 1, 1000);
  long small = TempRunPeak(argv[0], device);
  MakeTempTree(root, 100, 1000);
  long large = TempRunPeak(argv[0], device);
  fs::remove_all(base);

  double temp = Median(tempTool), rm = Median(tempRm), ws = Median(wsTool), find = Median(wsFind);
  std::printf("\n%-44s %10s %10s %8s %8s\n", "case (medians of rounds)", "tarvel", "rival", "ratio",
              "target");
  std::printf("%-44s %9.3fs %9.3fs %7.2fx %8s\n", "Temp: 100 x 1,000 files vs rm -rf", temp, rm,
              temp / rm, "<= 1.5x");
  std::printf("%-44s %9.3fs %9.3fs %7.2fx %8s\n", "WS: 100,000 files, 1/10 *.tmp|*.temp vs find",
              ws, find, ws / find, "<= 3x");
  std::printf("%-44s %8ld KiB %6ld KiB %+7ld KiB %8s\n", "Memory: peak RSS at 1,000 vs 100,000 files",
              small, large, large - small, "<= 1 MiB");
  double tempAlone = Median(tempFloor), wsAlone = Median(wsFloor);
  std::printf("\n%-44s %10s %10s %8s\n", "the same system calls alone (floor)", "floor",
              "vs rival", "tarvel");
  std::printf("%-44s %9.3fs %9.2fx %+7.0f%%\n", "Temp", tempAlone, tempAlone / rm,
              100 * (temp / tempAlone - 1));
  std::printf("%-44s %9.3fs %9.2fx %+7.0f%%\n", "WS", wsAlone, wsAlone / find,
              100 * (ws / wsAlone - 1));
  std::printf("\n%-52s %10s %10s\n", "deep chains under \\temp, the Temp calls", "searches",
              "time");
  for (const Deep &chain : deep) {
    std::printf("%-52s %10ld %9.4fs\n", chain.name, chain.searches, Median(chain.times));
  }
  double registry20k = Median(registrySmall), registry100k = Median(registryLarge);
  std::printf("\n%-52s %9.3fs %9.3fs %7.2fx\n",
              "user.reg of 20,000 vs 100,000 sibling keys, read and written", registry20k,
              registry100k, registry100k / registry20k);
  std::printf("rounds: %d; WS, the floor and find left the same files, and the deep chains "
              "what they must: %s\n",
              rounds, sameLeft ? "yes" : "NO");
  bool measured = small > 0 && large > 0;
  if (!measured) {
    std::printf("the peak resident size could not be read from the Temp runs\n");
  }
  return sameLeft && measured ? 0 : 1;
}
