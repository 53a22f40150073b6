// The tarvel program: one clean-up run on the emulated device.
//
// Start-up checks everything before the run changes anything: the command
// line, the environment (TARVEL_CODEPAGE, the device folder, TARVEL_TRACE),
// then, holding the device lock, the device folder and its user.reg (a new
// device's folder is made first, so that it can be locked). Anything it
// cannot use is refused with one line on stderr and status 2, and what was
// made for the run is removed again. Then it names the device folder, warns
// about option values that will not do what they say, calls WinMain on a
// thread with the device's 64 KiB stack (or, with --exe, runs the
// handheld's own program on the emulated ARM processor), stores what the
// run left pending and prints the summary.
#include <pthread.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arm_program.h"
#include "command_line.h"
#include "coredll.h"
#include "device_folder.h"
#include "host.h"
#include "keep_list.h"
#include "progress.h"
#include "purge/purge.h"
#include "run_options.h"
#include "run_watch.h"
#include "signals.h"
#include "summary.h"
#include "trace_file.h"

namespace {

using namespace tarvel::launcher;

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

int Refuse(const std::string &message)
{
  std::fprintf(stderr, "tarvel: %s\n", message.c_str());
  return kCannotStart;
}

// One line naming the device folder, and what this run made of it.
void AnnounceDevice(const TakenDevice &device)
{
  std::string made;
  const auto &names = device.MadeNow();
  for (std::size_t i = 0; i < names.size(); ++i) {
    made += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  bool isNew = std::find(names.begin(), names.end(), "root/") != names.end();
  std::fprintf(stderr, "tarvel: device folder: %s%s%s%s\n", device.Folder().c_str(),
               made.empty() ? "" : isNew ? " (new: made " : " (made ", made.c_str(),
               made.empty() ? "" : ")");
}

// Whether stdout took everything; says on stderr when it did not. A reader
// that went away (a pipe or socket) did so on purpose: that is not named,
// and counts as taken, as in `tarvel -v | head`. Either way the run itself
// was done and stored.
bool CheckOutput()
{
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
    return true;
  }
  struct stat status;
  if (fstat(STDOUT_FILENO, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
    return true;
  }
  std::fprintf(stderr, "tarvel: standard output did not take all of the run's output\n");
  return false;
}

// How often the progress line is redrawn while the run goes.
constexpr long kProgressTickNanoseconds = 250'000'000;

// Waits for the device's thread, drawing the progress line meanwhile.
void AwaitRun(pthread_t thread, Progress &progress)
{
  while (true) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += kProgressTickNanoseconds;
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000;
    }
    int result = pthread_timedjoin_np(thread, nullptr, &deadline);
    if (result == 0) {
      break;
    }
    if (result != ETIMEDOUT && result != EINTR) {
      pthread_join(thread, nullptr);
      break;
    }
    progress.Tick();
  }
  progress.End();
}

int runResult = 0;

// A line for stderr said when main ends, after everything declared after it
// is gone: a program stopped on the emulated processor is reported once the
// device lock is released.
struct SaidLast {
  std::string line;
  ~SaidLast()
  {
    if (!line.empty()) {
      std::fprintf(stderr, "tarvel: %s\n", line.c_str());
    }
  }
};

tarvel::arm::RunOutcome armOutcome;

// The thread's stack for running the handheld's program: the emulator's
// own frames, and the device's calls it makes, as a host program's thread.
constexpr std::size_t kEmulationStackBytes = 8 << 20;

// Runs the device program: the built-in one, or the handheld's program
// (`exe`) on the emulated ARM processor.
void *RunDevice(void *exe)
{
  if (exe != nullptr) {
    armOutcome = static_cast<tarvel::arm::Program *>(exe)->Run();
    runResult = armOutcome.result.value_or(kCannotStart);
  } else {
    runResult = WinMain(tarvel::host::ProgramInstance(), nullptr, nullptr, 1);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
  // A list or trace reader that goes away ends its output, never the run:
  // writes to it fail with EPIPE instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);

  auto request = ReadCommandLine(argc, argv);
  if (!request) {
    return kCannotStart;
  }
  if (request->help) {
    return ShowHelp();
  }
  if (request->version) {
    return ShowVersion();
  }
  if (request->list) {
    return ShowCategories();
  }
  // The handheld's program is read, and every import it makes found served,
  // before anything of the device is touched.
  std::unique_ptr<tarvel::arm::Program> exe;
  if (!request->exe.empty()) {
    tarvel::arm::LoadOptions load;
    if (!request->exeBase.empty() && !(load.base = tarvel::arm::ParseBase(request->exeBase))) {
      return Refuse("--exe-base=" + request->exeBase + ": not an address that is a multiple of 0x10000");
    }
    if (auto why = tarvel::arm::Program::Load(request->exe, load, exe)) {
      return Refuse(request->exe + ": " + *why);
    }
  }
  if (std::string codePage = Variable("TARVEL_CODEPAGE"); !codePage.empty()) {
    if (auto why = tarvel::host::SetCodePage(codePage)) {
      return Refuse("TARVEL_CODEPAGE=" + codePage + ": " + *why);
    }
  }
  DeviceLocation location;
  if (auto why = LocateDevice(location)) {
    return Refuse(*why);
  }
  SaidLast stopped;
  TraceFile trace;
  if (auto why = trace.Check(Variable("TARVEL_TRACE"))) {
    return Refuse(*why);
  }
  // From here on what is made for the run is removed again if the run is
  // refused, until `device` is kept; the trace file is made last.
  TakenDevice device;
  if (auto why = TakeDevice(location, !request->preview, device)) {
    return Refuse(*why);
  }
  if (auto why = tarvel::host::OpenDevice(device.Fd())) {
    return Refuse(device.Folder() + *why);
  }
  if (auto why = tarvel::host::CheckRegistryFile()) {
    std::string file = location.path + "/user.reg";
    return Refuse(file + (why->starts_with(":") ? "" : " ") + *why + "; nothing was done");
  }
  if (auto why = trace.Start(device.Fd(), device.Folder())) {
    return Refuse(*why);
  }
  device.Keep();

  AnnounceDevice(device);
  WarnAboutOptions();
  WarnAboutOptionNames();
  bool keepListUsable = WarnAboutKeepList();
  CategoryGates gates = ReadCategoryGates();
  if (!keepListUsable) {
    // No category runs: the keep list stops them all.
    for (auto &gate : gates) {
      gate = "keep";
    }
  }
  if (request->preview) {
    tarvel::host::StartPreview();
  }
  tarvel::host::SetRealTime(request->realTime);
  bool listed = request->preview || request->verbose;
  RemovalList removals(listed);
  RunWatch watch(listed);
  Progress progress(watch, request->preview);
  tarvel::host::SetBeforeShellOutput([&progress] { progress.MakeWayForOutput(); });
  tarvel::host::SetValueQueryListener([&watch](std::u16string_view name) { watch.ValueQueried(name); });
  tarvel::host::SetRemovalListener(
      [&](std::u16string_view path, std::optional<std::uint64_t> size) {
        progress.MakeWayForOutput();
        watch.Removed(path, size);
        removals.Removed(path, size, watch.Category());
      });
  tarvel::host::SetRefusalListener(
      [&](std::u16string_view path, bool folder, tarvel::host::Refusal why) {
        progress.MakeWayForOutput();
        watch.Refused(path, folder, why);
      });
  tarvel::host::SetUnseenListener(
      [&](std::u16string_view folder, std::string_view name, tarvel::host::Unseen why) {
        progress.MakeWayForOutput();
        watch.Unseen(folder, name, why);
      });
  // What lies beyond the walkers' buffers or depth stays too: told as not
  // seen, with the device program's own limits.
  tarvel::host::SetWalkerReach(PURGE_PATH_UNITS - 1, PURGE_MAX_FOLDER_DEPTH);
  tarvel::host::SetDebugOutputListener([&](std::u16string_view path) {
    progress.MakeWayForOutput();
    watch.Kept(path);
  });
  Statistics before = StoredStatistics();

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  // The handheld's program has the stack its image asks for in the emulated
  // processor's memory; the thread that runs the emulation needs the host's
  // usual room.
  pthread_attr_setstacksize(&attributes, exe ? kEmulationStackBytes : kStackBytes);
  pthread_t thread;
  WindDownOnSignals();
  {
    SignalsHeld held;  // the device's thread is born with them blocked
    if (int error = pthread_create(&thread, &attributes, RunDevice, exe.get()); error != 0) {
      return Refuse(std::string("cannot start the device thread: ") + std::strerror(error));
    }
  }
  AwaitRun(thread, progress);
  const int interruptedBy = RunEnded();
  pthread_attr_destroy(&attributes);
  if (exe) {
    if (request->verbose) {
      std::fprintf(stderr, "tarvel: %s ran %llu instructions on the emulated %s\n",
                   request->exe.c_str(), static_cast<unsigned long long>(armOutcome.instructions),
                   tarvel::arm::kProcessorName);
    }
    if (!armOutcome.result) {
      // Stopped: nothing more is removed. What the registry calls changed so
      // far is stored as at the end of any run (the device's registry keeps
      // a change once made); there is no summary of a run that did not end.
      stopped.line = request->exe + ": the program stopped on the emulated " +
                     tarvel::arm::kProcessorName + ": " + armOutcome.stopped +
                     "; nothing more was removed";
    }
  }

  auto notStored = tarvel::host::FinishRegistry();
  if (notStored) {
    std::fprintf(stderr,
                 "tarvel: %s/user.reg: not every registry change of the run could be stored, "
                 "so its statistics may be missing: %s\n",
                 device.Folder().c_str(), notStored->c_str());
  }
  RunSummary summary = SummarizeRun(before, gates, removals, watch, notStored.has_value());
  summary.device = device.Folder();
  summary.preview = request->preview;
  summary.interruptedBy = interruptedBy;
  summary.keepListUsable = keepListUsable;
  std::vector<std::string> warnings = WarningsGiven();
  if (notStored) {
    warnings.push_back("not every registry change of the run could be stored: " + *notStored);
  }
  if (!stopped.line.empty()) {
    // A run that did not end has no summary.
  } else if (request->json) {
    PrintJsonSummary(summary, watch, warnings);
  } else {
    PrintSummary(summary, watch);
  }
  tarvel::host::SetRemovalListener(nullptr);
  tarvel::host::SetRefusalListener(nullptr);
  tarvel::host::SetUnseenListener(nullptr);
  tarvel::host::SetValueQueryListener(nullptr);
  tarvel::host::SetBeforeShellOutput(nullptr);
  tarvel::host::SetDebugOutputListener(nullptr);
  tarvel::host::CloseDevice();
  bool outputTaken = CheckOutput();
  if (!stopped.line.empty()) {
    return kCannotStart;
  }
  // A signal wound the run down: the shell's convention, 128 and its
  // number, tells a script that the run did not go to its end.
  if (interruptedBy != 0) {
    return 128 + interruptedBy;
  }
  return outputTaken ? runResult : kOutputFailed;
}
