// Whole runs of the tarvel program on emulated devices in memory (/dev/shm
// where it exists), against the tools a user would pick instead and against
// the floor: the system calls the run's walks make, issued straight.
//
//   tree_bench [ROUNDS] [--million] [--tarvel PROGRAM]
//
// Every figure is the CPU time (user + system) of a whole child process, as
// wait4 reports it when the child is reaped: a tarvel run from start-up to
// exit (all five categories, the registry, the bubbles), one rm or find, or
// a forked child that runs the floor. Each round makes every tree afresh and
// runs each contender once, in the same order; the tables give the medians.
//
// A run once waited five seconds behind its result bubble (it still does
// with --real-time; without, its Sleep returns at once). The bench reads the
// run's standard output, and once the bubble is up (every walk is done by
// then) it goes on with the next job, so the wait costs no time; the run is
// reaped later. The next job may overlap what the run does after its wait
// (it writes the statistics), which CPU times do not feel on two cores.
//
// Peak memory is VmHWM in /proc/PID/status, read while the child stops on
// its way out (ptrace's exit event), before its memory is released. The
// rusage of a child does not do: ru_maxrss also holds the peak of the
// memory the child had before its exec, which a forked child, a vforked one
// and one from posix_spawn all share with the bench (measured: each of them
// exec'ing /bin/true from a bench holding 200 MiB reports 200 MiB, where
// VmHWM says 1.1 MiB); and a reaped child, or a zombie, has no VmHWM left.
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int kChainLevels = 23;      // folders below \temp or \My Documents
const int kChainFiles = 1000;     // read-only files in each of them
// Runs left waiting behind their bubbles before the oldest is reaped: enough
// that a round's runs seldom hold the bench up, few enough that their trees
// (up to 100,000 files each, in memory) are not many at once.
const std::size_t kRunsWaiting = 6;

fs::path Base()
{
  fs::path shm = "/dev/shm";
  return (fs::is_directory(shm) ? shm : fs::temp_directory_path()) /
         ("tarvel-bench-" + std::to_string(getpid()));
}

// ---------------------------------------------------------------- trees

void Touch(const fs::path &path, const char *content = "0123456789")
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    [[maybe_unused]] ssize_t n = write(fd, content, std::strlen(content));
    close(fd);
  }
}

void MakeTempTree(const fs::path &root)
{
  for (int f = 0; f < 100; ++f) {
    fs::path folder = root / "temp" / ("folder" + std::to_string(f));
    fs::create_directories(folder);
    for (int i = 0; i < 1000; ++i) {
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

// One folder of `entries` empty files under \temp.
void MakeWideFolder(const fs::path &root, int entries)
{
  fs::path folder = root / "temp" / "wide";
  fs::create_directories(folder);
  for (int i = 0; i < entries; ++i) {
    Touch(folder / ("file" + std::to_string(i) + ".dat"), "");
  }
}

// Sets or clears the immutable flag, which keeps even root from unlinking.
bool SetImmutable(const fs::path &path, bool on)
{
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) {
    return false;
  }
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return done;
}

// A chain of kChainLevels folders named `link` below `top`, each holding
// kChainFiles read-only files named f<i><ending>: nothing in it can be
// deleted, so no folder can be removed. A read-only file is what the device
// refuses to delete; rm and find, run as root, delete it all the same, so
// their copy is also made immutable, where the file system allows.
struct Chain {
  const char *name;
  const char *top;
  const char *link;
  const char *ending;
  const char *findTest;  // what find tries to delete
};

const Chain kChains[] = {
    {"\\temp\\d\\d..., *.*", "temp", "d", ".log", "-type f"},
    {"\\My Documents\\x.tmp\\..., *.tmp", "My Documents", "x.tmp", ".tmp", "-type f -iname *.tmp"},
};

bool MakeChain(const fs::path &root, const Chain &chain, bool immutable)
{
  bool allImmutable = true;
  fs::path folder = root / chain.top;
  for (int level = 0; level < kChainLevels; ++level) {
    folder /= chain.link;
    fs::create_directories(folder);
    for (int i = 0; i < kChainFiles; ++i) {
      fs::path file = folder / ("f" + std::to_string(i) + chain.ending);
      Touch(file);
      chmod(file.c_str(), 0444);
      if (immutable) {
        allImmutable = SetImmutable(file, true) && allImmutable;
      }
    }
  }
  return allImmutable;
}

// Removes a tree the bench made; one made with immutable files has them
// made mutable again first.
void RemoveTree(const fs::path &path, bool immutable = false)
{
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(path, error);
       immutable && !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file()) {
      SetImmutable(it->path(), false);
    }
  }
  fs::remove_all(path, error);
}

// Every path below the folder, relative to it, sorted.
std::vector<std::string> Listing(const fs::path &folder)
{
  std::vector<std::string> paths;
  std::size_t prefix = folder.string().size() + 1;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    paths.push_back(it->path().string().substr(prefix));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// A user.reg with `keys` sibling keys of one value each, and with the run
// disabled when `disabled`.
void WriteRegistry(const fs::path &device, int keys, bool disabled)
{
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  if (disabled) {
    text += "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n\"disable\"=\"1\"\n\n";
  }
  for (int key = 0; key < keys; ++key) {
    text += "[HKEY_CURRENT_USER\\Sibling\\key" + std::to_string(key) + "]\n\"v\"=dword:00000001\n\n";
  }
  std::FILE *file = std::fopen((device / "user.reg").c_str(), "w");
  if (file != nullptr) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
}

// -------------------------------------------------------------- children

struct Outcome {
  double cpu = 0;   // user + system seconds of the whole child
  long peak = -1;   // KiB, VmHWM at its exit; -1 where not read
  int status = -1;  // exit status
  std::string output;
};

long PeakOf(pid_t pid)
{
  long peak = -1;
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  if (std::FILE *status = std::fopen(path.c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) &&
           std::sscanf(line, "VmHWM: %ld kB", &peak) != 1) {
    }
    std::fclose(status);
  }
  return peak;
}

class Child {
 public:
  // Runs a program, traced so that its peak can be read as it exits. With
  // `capture` its standard output and error come to the bench; else they go
  // to /dev/null.
  static Child Exec(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                    bool capture)
  {
    Child child;
    int pipeEnds[2] = {-1, -1};
    if (capture && pipe(pipeEnds) != 0) {
      capture = false;
    }
    std::vector<char *> args;
    for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    child.pid_ = fork();
    if (child.pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, STDIN_FILENO);
      dup2(capture ? pipeEnds[1] : null, STDOUT_FILENO);
      dup2(capture ? pipeEnds[1] : null, STDERR_FILENO);
      for (const auto &setting : env) putenv(const_cast<char *>(setting.c_str()));
      ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    if (capture) {
      close(pipeEnds[1]);
      child.output_ = pipeEnds[0];
    }
    // Stopped at its exec: ask to be stopped again as it exits.
    int status = 0;
    if (waitpid(child.pid_, &status, 0) == child.pid_ && WIFSTOPPED(status)) {
      ptrace(PTRACE_SETOPTIONS, child.pid_, nullptr,
             reinterpret_cast<void *>(long{PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL}));
      ptrace(PTRACE_CONT, child.pid_, nullptr, nullptr);
    }
    return child;
  }

  // Runs `work` in a forked child of the bench (the floor).
  static Child Fork(const std::function<void()> &work)
  {
    Child child;
    child.pid_ = fork();
    if (child.pid_ == 0) {
      work();
      _exit(0);
    }
    return child;
  }

  // Returns once a run's result bubble is up (its walks are done): true;
  // or once the child has ended without one: false.
  bool AwaitBubble()
  {
    Follow([this] { return text_.find("Done!") != std::string::npos; });
    return !exited_;
  }

  Outcome Finish()
  {
    Follow([] { return false; });
    while (output_ >= 0 && ReadSome()) {
    }
    outcome_.output = text_;
    return outcome_;
  }

 private:
  // Reads what the child writes and answers its stops, until `enough`
  // holds or the child has ended. The output is read as it comes, so the
  // child never waits on a full pipe; a child stopped on its way out holds
  // its output open, so the wait for that stop cannot be a blocking read.
  void Follow(const std::function<bool()> &enough)
  {
    while (!exited_ && !enough()) {
      if (output_ >= 0) {
        struct pollfd ready = {output_, POLLIN, 0};
        if (poll(&ready, 1, 10) > 0) {
          ReadSome();
          continue;
        }
      }
      int status = 0;
      struct rusage usage {};
      pid_t got = wait4(pid_, &status, __WALL | (output_ >= 0 ? WNOHANG : 0), &usage);
      if (got < 0) {
        exited_ = true;
      } else if (got == pid_) {
        Answer(status, usage);
      }
    }
  }

  void Answer(int status, const struct rusage &usage)
  {
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      exited_ = true;
      outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      outcome_.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      return;
    }
    int signal = WSTOPSIG(status);
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      outcome_.peak = PeakOf(pid_);
      signal = 0;
    } else if (signal == SIGTRAP) {
      signal = 0;
    }
    ptrace(PTRACE_CONT, pid_, nullptr, reinterpret_cast<void *>(long{signal}));
  }

  bool ReadSome()
  {
    char buffer[4096];
    ssize_t bytes = read(output_, buffer, sizeof buffer);
    if (bytes > 0) {
      text_.append(buffer, static_cast<std::size_t>(bytes));
      return true;
    }
    if (bytes < 0 && errno == EINTR) {
      return true;
    }
    close(output_);
    output_ = -1;
    return false;
  }

  pid_t pid_ = -1;
  int output_ = -1;
  bool exited_ = false;
  std::string text_;
  Outcome outcome_;
};

// ----------------------------------------------------------------- floor

// The floor: the system calls the emulated device makes for a whole run's
// walks, issued straight from host names, with no device code, no UTF-16, no
// handles and no registry. Every listed entry costs its status and its DOS
// attributes (a device search delivers both), a delete one status check and
// the unlink. The walks are the walkers' own: a first walk of two passes
// over each folder, and a retry walk of the matching subfolders and of the
// subfolders below them whose names do not match.
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

// A read-only file is refused, as the device refuses it.
void Delete(int folder, const std::string &name)
{
  struct stat status;
  if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      (status.st_mode & S_IWUSR) != 0) {
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

bool Matches(const char *pattern, const std::string &name)
{
  return fnmatch(pattern, name.c_str(), FNM_CASEFOLD) == 0;
}

void Matching(int folder, const char *pattern, bool retry)
{
  bool temporary = false;
  for (auto &name : List(folder)) {
    if (Deliver(folder, name, &temporary) && !(retry && Matches(pattern, name))) {
      InSubfolder(folder, name, [&](int sub) { Matching(sub, pattern, retry); });
    }
  }
  for (auto &name : List(folder)) {
    if (!Matches(pattern, name)) {
      continue;
    }
    if (Deliver(folder, name, &temporary)) {
      if (!retry) {
        InSubfolder(folder, name, [&](int sub) { Matching(sub, pattern, true); });
      }
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

void Profiles(int folder)
{
  bool temporary = false;
  for (auto &name : List(folder)) {
    if (!Deliver(folder, name, &temporary)) {
      continue;
    }
    if (name == "Cookies" || name == "History" || name == "Temporary Internet Files") {
      InSubfolder(folder, name, [&](int profile) {
        for (auto &inner : List(profile)) {
          if (Deliver(profile, inner, &temporary)) {
            InSubfolder(profile, inner, [&](int sub) { Matching(sub, "*", false); });
          } else {
            Delete(profile, inner);
          }
        }
      });
    } else {
      InSubfolder(folder, name, [&](int sub) { Profiles(sub); });
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

// The five categories' walker calls, in the run's order ("*.*" is "*").
void Run(const fs::path &root)
{
  auto matching = [](const char *pattern) {
    return [pattern](int fd) { Matching(fd, pattern, false); };
  };
  InFolders(root, {"temp", "tmp", "Windows/temp", "Windows/tmp"}, matching("*"));
  InFolders(root, {"Windows/Temporary Internet Files", "Windows/History", "Windows/Cookies"},
            matching("*"));
  InFolders(root, {"Windows/Profiles", "Profiles"}, [](int fd) { Profiles(fd); });
  auto ws = {"My Documents", "Program Files", "Windows", "Profiles"};
  InFolders(root, ws, [](int fd) { Temporary(fd); });
  InFolders(root, ws, matching("*.tmp"));
  InFolders(root, ws, matching("*.temp"));
  InFolders(root, {"Windows", "Program Files", "My Documents"}, matching("*.CAB"));
  InFolders(root, {"Storage Card/temp", "Storage Card/tmp"}, matching("*"));
  InFolders(root, {"Storage Card"}, matching("*.temp"));
  InFolders(root, {"Storage Card"}, matching("*.tmp"));
}

}  // namespace floor

// ------------------------------------------------------------- the bench

double Median(std::vector<double> values)
{
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class Bench {
 public:
  Bench(std::string tarvel, fs::path base) : tarvel_(std::move(tarvel)), base_(std::move(base)) {}

  // A fresh device folder (nothing but root/), or a plain folder for a rival.
  fs::path NewFolder()
  {
    fs::path folder = base_ / ("f" + std::to_string(folders_++));
    fs::create_directories(folder / "root");
    return folder;
  }

  // Starts a whole tarvel run on the device and returns once its walks are
  // done; `done` gets its outcome once it is reaped (and its device removed).
  void StartRun(const fs::path &device, std::function<void(const Outcome &)> done,
                const std::string &trace = "")
  {
    std::vector<std::string> env = {"TARVEL_DEVICE=" + device.string()};
    if (!trace.empty()) {
      env.push_back("TARVEL_TRACE=" + trace);
    }
    running_.push_back({Child::Exec({tarvel_}, env, true), device, std::move(done)});
    // A run that ends without a bubble (a disabled one) is reaped at once;
    // runs still waiting behind their bubbles some jobs later.
    if (!running_.back().child.AwaitBubble()) {
      ReapNewest();
    }
    while (running_.size() > kRunsWaiting) {
      ReapOldest();
    }
  }

  void ReapAll()
  {
    while (!running_.empty()) {
      ReapOldest();
    }
  }

  Outcome Rival(const std::vector<std::string> &argv)
  {
    return Child::Exec(argv, {}, false).Finish();
  }

  // Whether every run exited 0 and every check held.
  bool ok = true;

 private:
  struct Running {
    Child child;
    fs::path device;
    std::function<void(const Outcome &)> done;
  };

  void ReapNewest()
  {
    Running run = std::move(running_.back());
    running_.pop_back();
    Reap(run);
  }

  void ReapOldest()
  {
    Running run = std::move(running_.front());
    running_.pop_front();
    Reap(run);
  }

  void Reap(Running &run)
  {
    Outcome outcome = run.child.Finish();
    if (outcome.status != 0) {
      ok = false;
      std::fprintf(stderr, "tarvel exited with %d:\n%s\n", outcome.status, outcome.output.c_str());
    }
    run.done(outcome);
    RemoveTree(run.device);
  }

  std::string tarvel_;
  fs::path base_;
  int folders_ = 0;
  std::deque<Running> running_;
};

// Entries a traced run's searches delivered (FindFirstFileW and
// FindNextFileW lines that name an entry) other than the chain's folders,
// per file of the chain. The trace is written by the emulated device for
// every call the device code makes, so this counts what the walks asked
// for, independent of how the emulated device reads its folders.
double DeliveriesPerFile(const fs::path &trace, const Chain &chain)
{
  std::FILE *file = std::fopen(trace.c_str(), "r");
  if (file == nullptr) {
    return -1;
  }
  std::string folderName = std::string("\"") + chain.link + "\"";
  long deliveries = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, file)) {
    std::string text = line;
    if (text.rfind("FindFirstFileW(", 0) != 0 && text.rfind("FindNextFileW(", 0) != 0) {
      continue;
    }
    // The record's name is the last argument: NULL when nothing was delivered.
    std::size_t end = text.rfind(") = ");
    std::size_t start = text.rfind(", ", end);
    if (end == std::string::npos || start == std::string::npos) {
      continue;
    }
    std::string delivered = text.substr(start + 2, end - start - 2);
    if (delivered != "NULL" && delivered != folderName) {
      ++deliveries;
    }
  }
  std::fclose(file);
  return static_cast<double>(deliveries) / (kChainLevels * kChainFiles);
}

std::string Kib(long kib)
{
  return kib < 0 ? "?" : std::to_string(kib) + " KiB";
}

}  // namespace

int main(int argc, char **argv)
{
  int rounds = 5;
  bool million = false;
  std::string tarvel = TARVEL_BINARY;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--million") {
      million = true;
    } else if (arg == "--tarvel" && i + 1 < argc) {
      tarvel = argv[++i];
    } else if (std::atoi(arg.c_str()) > 0) {
      rounds = std::atoi(arg.c_str());
    } else {
      std::fprintf(stderr, "usage: tree_bench [ROUNDS] [--million] [--tarvel PROGRAM]\n");
      return 2;
    }
  }
  fs::path base = Base();
  Bench bench(tarvel, base);

  // ---- Temp and WS: a run, its rival and the floor on the same tree.
  std::vector<double> tempRun, tempRm, tempFloor, wsRun, wsFind, wsFloor;
  std::map<std::string, std::vector<double>> chainRun, chainFloor, chainFind;
  std::vector<double> registryRun[2], registryDisabled[2];
  const int registryKeys[2] = {20'000, 100'000};
  bool chainsImmutable = true;
  for (int round = 0; round < rounds; ++round) {
    fs::path device = bench.NewFolder();
    MakeTempTree(device / "root");
    bench.StartRun(device, [&](const Outcome &run) { tempRun.push_back(run.cpu); });
    bench.ok = bench.ok && fs::is_empty(device / "root" / "temp");
    fs::path rival = bench.NewFolder();
    MakeTempTree(rival);
    std::vector<std::string> rm = {"/bin/rm", "-rf", "--"};
    for (int f = 0; f < 100; ++f) rm.push_back((rival / "temp" / ("folder" + std::to_string(f))).string());
    tempRm.push_back(bench.Rival(rm).cpu);
    bench.ok = bench.ok && fs::is_empty(rival / "temp");
    MakeTempTree(rival / "root");
    tempFloor.push_back(Child::Fork([&] { floor::Run(rival / "root"); }).Finish().cpu);
    bench.ok = bench.ok && fs::is_empty(rival / "root" / "temp");
    RemoveTree(rival);

    device = bench.NewFolder();
    MakeWindowsTree(device / "root");
    bench.StartRun(device, [&](const Outcome &run) { wsRun.push_back(run.cpu); });
    auto runLeft = Listing(device / "root" / "Windows");
    rival = bench.NewFolder();
    MakeWindowsTree(rival);
    wsFind.push_back(bench
                         .Rival({"/usr/bin/find", (rival / "Windows").string(), "(", "-iname",
                                 "*.tmp", "-o", "-iname", "*.temp", "-o", "-iname", "*.cab", ")",
                                 "-type", "f", "-delete"})
                         .cpu);
    bench.ok = bench.ok && Listing(rival / "Windows") == runLeft;
    MakeWindowsTree(rival / "root");
    wsFloor.push_back(Child::Fork([&] { floor::Run(rival / "root"); }).Finish().cpu);
    bench.ok = bench.ok && Listing(rival / "root" / "Windows") == runLeft;
    RemoveTree(rival);

    // ---- The chains: a run against one find that tries each file once.
    for (const Chain &chain : kChains) {
      device = bench.NewFolder();
      MakeChain(device / "root", chain, false);
      bench.StartRun(device, [&, name = chain.name](const Outcome &run) {
        chainRun[name].push_back(run.cpu);
      });
      // Nothing can go, so everything stays; the floor then walks the same
      // tree, which it cannot change either.
      auto chainLeft = [&] {
        return Listing(device / "root").size() ==
               static_cast<std::size_t>(1 + kChainLevels * (kChainFiles + 1));
      };
      bench.ok = bench.ok && chainLeft();
      chainFloor[chain.name].push_back(
          Child::Fork([&] { floor::Run(device / "root"); }).Finish().cpu);
      bench.ok = bench.ok && chainLeft();
      rival = bench.NewFolder();
      chainsImmutable = MakeChain(rival, chain, true) && chainsImmutable;
      std::vector<std::string> find = {"/usr/bin/find", (rival / chain.top).string()};
      for (const char *test = chain.findTest; *test != 0;) {
        const char *space = std::strchr(test, ' ');
        std::size_t length = space ? static_cast<std::size_t>(space - test) : std::strlen(test);
        find.emplace_back(test, length);
        test += length + (space ? 1 : 0);
      }
      find.push_back("-delete");
      chainFind[chain.name].push_back(bench.Rival(find).cpu);
      RemoveTree(rival, true);
    }

    // ---- The registry: a whole run on a large user.reg, and a disabled one.
    for (int size = 0; size < 2; ++size) {
      device = bench.NewFolder();
      WriteRegistry(device, registryKeys[size], false);
      bench.StartRun(device, [&, size](const Outcome &run) { registryRun[size].push_back(run.cpu); });
      device = bench.NewFolder();
      WriteRegistry(device, registryKeys[size], true);
      bench.StartRun(device, [&, size](const Outcome &run) {
        registryDisabled[size].push_back(run.cpu);
      });
    }
  }

  // ---- Deliveries per file on the chains, from one traced run each.
  std::map<std::string, double> deliveries;
  for (const Chain &chain : kChains) {
    fs::path device = bench.NewFolder();
    MakeChain(device / "root", chain, false);
    fs::path trace = base / ("trace" + std::to_string(&chain - kChains));
    bench.StartRun(device, [&, trace, chain](const Outcome &) {
      deliveries[chain.name] = DeliveriesPerFile(trace, chain);
    }, trace.string());
  }

  // ---- Memory: the largest folder grows; a run, rm -rf and find -delete.
  struct Wide {
    int entries;
    Outcome run, rm, find;
  };
  std::vector<Wide> wide = {{1'000, {}, {}, {}}, {100'000, {}, {}, {}}};
  if (million) {
    wide.push_back({1'000'000, {}, {}, {}});
  }
  for (Wide &row : wide) {
    fs::path device = bench.NewFolder();
    MakeWideFolder(device / "root", row.entries);
    bench.StartRun(device, [&row](const Outcome &run) { row.run = run; });
    bench.ok = bench.ok && fs::is_empty(device / "root" / "temp");
    fs::path rival = bench.NewFolder();
    MakeWideFolder(rival, row.entries);
    row.rm = bench.Rival({"/bin/rm", "-rf", "--", (rival / "temp" / "wide").string()});
    MakeWideFolder(rival, row.entries);
    row.find = bench.Rival({"/usr/bin/find", (rival / "temp" / "wide").string(), "-type", "f",
                            "-delete"});
    RemoveTree(rival);
  }
  bench.ReapAll();
  RemoveTree(base);

  // ---- The tables.
  std::printf("\nWhole runs, CPU seconds (user + system of the process), medians of %d rounds\n",
              rounds);
  std::printf("%-40s %9s %9s %9s %9s %9s\n", "tree", "tarvel", "floor", "rival", "vs rival",
              "floor vs");
  double temp = Median(tempRun), rm = Median(tempRm), tempAlone = Median(tempFloor);
  double ws = Median(wsRun), find = Median(wsFind), wsAlone = Median(wsFloor);
  std::printf("%-40s %8.3fs %8.3fs %8.3fs %8.2fx %8.2fx\n",
              "Temp: 100 x 1,000 files; rm -rf", temp, tempAlone, rm, temp / rm, tempAlone / rm);
  std::printf("%-40s %8.3fs %8.3fs %8.3fs %8.2fx %8.2fx\n",
              "WS: 100,000 files, 1/10 *.tmp|*.temp; find", ws, wsAlone, find, ws / find,
              wsAlone / find);
  std::printf("tarvel against its floor: Temp %+.0f%%, WS %+.0f%%\n", 100 * (temp / tempAlone - 1),
              100 * (ws / wsAlone - 1));

  std::printf("\nUndeletable content below matching folders: %d levels of %d read-only files\n",
              kChainLevels, kChainFiles);
  std::printf("%-36s %11s %9s %9s %9s %9s %9s\n", "chain", "deliveries", "tarvel", "floor",
              "find", "vs find", "floor vs");
  for (const Chain &chain : kChains) {
    double run = Median(chainRun[chain.name]), alone = Median(chainFloor[chain.name]),
           rival = Median(chainFind[chain.name]);
    std::printf("%-36s %6.2f/file %8.3fs %8.3fs %8.3fs %8.2fx %8.2fx\n", chain.name,
                deliveries[chain.name], run, alone, rival, run / rival, alone / rival);
  }
  if (!chainsImmutable) {
    std::printf("(find's copies could not be made immutable: find deleted the files)\n");
  }

  std::printf("\nMemory: one folder of N files under \\temp; peak resident size (VmHWM)\n");
  std::printf("%-12s %12s %14s %9s %12s %12s\n", "N", "tarvel", "per entry", "tarvel", "rm -rf",
              "find -delete");
  for (const Wide &row : wide) {
    std::string perEntry = "";
    if (row.entries > wide[0].entries && row.run.peak >= 0 && wide[0].run.peak >= 0) {
      perEntry = std::to_string((row.run.peak - wide[0].run.peak) * 1024 /
                                (row.entries - wide[0].entries)) + " B";
    }
    std::printf("%-12d %12s %14s %8.3fs %12s %12s\n", row.entries, Kib(row.run.peak).c_str(),
                perEntry.c_str(), row.run.cpu, Kib(row.rm.peak).c_str(), Kib(row.find.peak).c_str());
    bench.ok = bench.ok && row.run.peak > 0;
  }
  std::printf("(per entry: the growth over the %d-file folder; CPU of the run beside it)\n",
              wide[0].entries);

  std::printf("\nRegistry: user.reg of N sibling keys, an empty device\n");
  std::printf("%-12s %12s %12s %12s\n", "N", "whole run", "disabled", "difference");
  for (int size = 0; size < 2; ++size) {
    double run = Median(registryRun[size]), disabled = Median(registryDisabled[size]);
    std::printf("%-12d %11.3fs %11.3fs %11.3fs\n", registryKeys[size], run, disabled,
                run - disabled);
  }
  std::printf("\nrounds: %d; every run exited 0, and the run, the floor and the rivals left what "
              "they must: %s\n",
              rounds, bench.ok ? "yes" : "NO");
  return bench.ok ? 0 : 1;
}
