// The handheld's own program (tarvel.exe for Windows CE on ARM) run by
// tarvel --exe on the emulated ARM processor, against the built-in device
// program on the same devices.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

#include "arm_program.h"
#include "host_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kTarvel = "timeout 30 '" TARVEL_BINARY "'";
const fs::path kExe = TARVEL_HANDHELD_EXE;

class ArmTest : public HostTest {
 protected:
  struct Outcome {
    int status;
    std::string out;
    std::string err;
    std::string trace;
  };

  // A device made by the sample maker, with `options` added to the
  // options key.
  void MakeDevice(const fs::path &device, const std::string &options = "")
  {
    fs::create_directories(device);
    MakeSampleDevice(device);
    std::string text = Read(device / "user.reg");
    const std::string key = "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n";
    std::size_t at = text.find(key);
    text = at == std::string::npos ? text + "\n" + key + options
                                   : text.insert(at + key.size(), options);
    Write(device / "user.reg", text);
  }

  // Runs tarvel with each of `arguments` on a device of its own, all at
  // once (each real run waits five seconds for its result bubble).
  std::vector<Outcome> RunAll(const std::vector<std::pair<fs::path, std::string>> &runs)
  {
    std::string script;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      fs::path at = base_ / ("run" + std::to_string(i));
      script += "(TARVEL_DEVICE='" + runs[i].first.string() + "' TARVEL_TRACE='" + at.string() +
                ".trace' " + kTarvel + " " + runs[i].second + " >'" + at.string() + ".out' 2>'" +
                at.string() + ".err'; echo $? >'" + at.string() + ".status') &\n";
    }
    script += "wait\n";
    Write(base_ / "runs.sh", script);
    EXPECT_EQ(std::system(("sh '" + (base_ / "runs.sh").string() + "'").c_str()), 0);
    std::vector<Outcome> outcomes;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      fs::path at = base_ / ("run" + std::to_string(i));
      outcomes.push_back({std::atoi(Read(at.string() + ".status").c_str()), Read(at.string() + ".out"),
                          Read(at.string() + ".err"), Read(at.string() + ".trace")});
    }
    return outcomes;
  }

  Outcome RunOne(const fs::path &device, const std::string &arguments)
  {
    return RunAll({{device, arguments}})[0];
  }

  // The files and folders left on a device, each with its size.
  std::string Tree(const fs::path &device)
  {
    std::vector<std::string> lines;
    for (auto &entry : fs::recursive_directory_iterator(device / "root")) {
      lines.push_back(fs::relative(entry.path(), device).string() +
                      (entry.is_regular_file() ? " " + std::to_string(entry.file_size()) : "/"));
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (auto &line : lines) text += line + "\n";
    return text;
  }

  std::vector<std::uint8_t> ReadExe() const
  {
    std::ifstream in(kExe, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  fs::path WriteExe(const std::string &name, const std::vector<std::uint8_t> &bytes)
  {
    fs::path path = base_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
};

// A REG_MULTI_SZ value's data in user.reg: hex(7): and the UTF-16LE bytes
// of each string with its terminator, then the closing empty string.
std::string MultiString(const std::vector<std::string> &strings)
{
  std::string text = "hex(7):";
  char byte[8];
  for (const std::string &string : strings) {
    for (char c : string + '\0') {
      std::snprintf(byte, sizeof byte, "%02x,00,", static_cast<unsigned char>(c));
      text += byte;
    }
  }
  return text + "00,00\n";
}

// Standard output with the times the bubbles were up taken out: they
// depend on how fast the run went.
std::string WithoutTimes(const std::string &out)
{
  return std::regex_replace(out, std::regex("removed after [0-9.]+ s\\)"), "removed after _ s)");
}

// A trace with the handles and addresses (hex numbers) taken out: they are
// the host's pointers, different in every run.
std::string WithoutAddresses(const std::string &trace)
{
  return std::regex_replace(trace, std::regex("0x[0-9a-f]+"), "0x_");
}

std::uint32_t Word(const std::vector<std::uint8_t> &image, std::size_t at)
{
  return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | std::uint32_t(image[at + 3]) << 24;
}

// The PE image's section holding `rva`: its file offset for that rva.
std::size_t FileOffset(const std::vector<std::uint8_t> &image, std::uint32_t rva)
{
  std::size_t pe = Word(image, 0x3C);
  std::size_t sections = pe + 24 + (image[pe + 20] | image[pe + 21] << 8);
  for (int i = 0; i < (image[pe + 6] | image[pe + 7] << 8); ++i) {
    std::size_t at = sections + 40 * i;
    if (Word(image, at + 12) <= rva && rva < Word(image, at + 12) + Word(image, at + 16)) {
      return Word(image, at + 20) + rva - Word(image, at + 12);
    }
  }
  ADD_FAILURE() << "no section holds " << rva;
  return 0;
}

TEST_F(ArmTest, TheHandheldsProgramRunsAsTheBuiltInOneOnEveryDevice)
{
  // The sample device (its "ie" set, so the profile rotates), one disabled,
  // one with each gate off, one with a keep list (whose kept entries the
  // program tells through OutputDebugStringW); the sample once more loaded
  // at another base, relocated, and once as a preview.
  struct Device {
    std::string name;
    std::string options;
    std::string arguments;
  };
  const std::vector<Device> devices = {
      {"sample", "", "-v"},
      {"disabled", "\"disable\"=\"1\"\n", "-v"},
      {"tele-off", "\"telecommunications\"=\"0\"\n", "-v"},
      {"quiet-off", "\"quiet\"=\"0\"\n", "-v"},
      {"cab-off", "\"CAB\"=\"0\"\n", "-v"},
      {"card-off", "\"storage card\"=\"0\"\n", "-v"},
      {"keep", "\"keep\"=" + MultiString({"\\Windows\\profiles\\?\\Cookies\\*news*",
                                           "\\My Documents\\Downloads\\mapviewer.CAB",
                                           "\\temp\\install"}),
       "-v"},
      {"sample-elsewhere", "", "-v"},
      {"sample-preview", "", "-v -n"}};
  std::vector<std::pair<fs::path, std::string>> runs;
  for (const auto &[name, options, arguments] : devices) {
    MakeDevice(base_ / ("builtin-" + name), options);
    MakeDevice(base_ / ("arm-" + name), options);
    runs.push_back({base_ / ("builtin-" + name), arguments});
    runs.push_back({base_ / ("arm-" + name), arguments + " --exe='" + kExe.string() + "'" +
                                                 (name.ends_with("elsewhere") ? " --exe-base=0x2a0000" : "")});
  }
  auto outcomes = RunAll(runs);
  for (std::size_t i = 0; i < devices.size(); ++i) {
    SCOPED_TRACE(devices[i].name);
    const Outcome &builtin = outcomes[2 * i];
    const Outcome &arm = outcomes[2 * i + 1];
    EXPECT_EQ(builtin.status, 0) << builtin.err;
    EXPECT_EQ(arm.status, 0) << arm.err;
    // The bubbles, the removal list and the summary.
    EXPECT_EQ(WithoutTimes(arm.out), WithoutTimes(builtin.out));
    EXPECT_EQ(WithoutAddresses(arm.trace), WithoutAddresses(builtin.trace));
    EXPECT_EQ(Read(base_ / ("arm-" + devices[i].name) / "user.reg"),
              Read(base_ / ("builtin-" + devices[i].name) / "user.reg"));
    EXPECT_EQ(Tree(base_ / ("arm-" + devices[i].name)), Tree(base_ / ("builtin-" + devices[i].name)));
    EXPECT_THAT(arm.err, HasSubstr("instructions on the emulated StrongARM SA-1110"));
  }
  // The comparisons above compared something: the sample run removed and
  // traced its calls, the disabled one showed no bubble.
  EXPECT_THAT(outcomes[0].out, HasSubstr("\\temp\\setup.log\t12400"));
  EXPECT_THAT(outcomes[0].trace, HasSubstr("DeleteFileW("));
  EXPECT_THAT(outcomes[0].trace, HasSubstr("SHNotificationAdd({4713"));
  EXPECT_THAT(outcomes[2].out, Not(HasSubstr("+--")));
  EXPECT_THAT(outcomes[12].out, HasSubstr("kept \\temp\\install"));
  EXPECT_THAT(outcomes[13].trace, HasSubstr("OutputDebugStringW(\"\\\\temp\\\\install\") = void"));
  EXPECT_THAT(outcomes.back().out, HasSubstr("preview"));
}

TEST_F(ArmTest, ADamagedImageIsRefusedAndNeverReadBeyond)
{
  // Every copy shortened into its last section's data (which ends the file
  // after at most 511 bytes of padding), and every
  // header and section-table byte set to 0xFF in turn: each is refused or
  // loads; none is read beyond its end (which the sanitizers would catch).
  std::vector<std::uint8_t> good = ReadExe();
  std::unique_ptr<tarvel::arm::Program> program;
  ASSERT_EQ(tarvel::arm::Program::Load(kExe, {}, program), std::nullopt);
  for (std::size_t size = 0; size + 512 < good.size(); size += 61) {
    std::vector<std::uint8_t> shortened(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_NE(tarvel::arm::Program::Load(WriteExe("short.exe", shortened), {}, program), std::nullopt)
        << size;
  }
  for (std::size_t at = 0; at < 0x400; ++at) {
    std::vector<std::uint8_t> damaged = good;
    damaged[at] = 0xFF;
    tarvel::arm::Program::Load(WriteExe("damaged.exe", damaged), {}, program);
    tarvel::arm::Program::Load(WriteExe("damaged.exe", damaged), {0x2a0000}, program);
  }
}

TEST_F(ArmTest, ADroppedRelocationMakesTheImageAtAnotherBaseRunDifferently)
{
  // The first base relocation turned into padding: the image runs at its
  // own base as before, but no longer at another.
  std::vector<std::uint8_t> image = ReadExe();
  std::size_t pe = Word(image, 0x3C);
  std::uint32_t relocations = Word(image, pe + 24 + 96 + 8 * 5);
  std::size_t first = FileOffset(image, relocations) + 8;
  ASSERT_EQ(image[first + 1] >> 4, 3) << "the first entry is a HIGHLOW relocation";
  image[first] = 0;
  image[first + 1] = 0;
  fs::path dropped = WriteExe("dropped.exe", image);

  MakeDevice(base_ / "builtin");
  MakeDevice(base_ / "arm");
  auto outcomes = RunAll({{base_ / "builtin", "-v"},
                          {base_ / "arm", "-v --exe='" + dropped.string() + "' --exe-base=0x2a0000"}});
  bool same = outcomes[1].status == outcomes[0].status &&
              WithoutTimes(outcomes[1].out) == WithoutTimes(outcomes[0].out) &&
              WithoutAddresses(outcomes[1].trace) == WithoutAddresses(outcomes[0].trace) &&
              Read(base_ / "arm" / "user.reg") == Read(base_ / "builtin" / "user.reg");
  EXPECT_FALSE(same) << outcomes[1].err;
}

TEST_F(ArmTest, AnExecutableThatCannotRunIsRefusedBeforeAnythingIsTouched)
{
  std::vector<std::uint8_t> good = ReadExe();
  std::size_t pe = Word(good, 0x3C);
  auto patched = [&](const std::string &name, std::size_t at, std::vector<std::uint8_t> bytes) {
    std::vector<std::uint8_t> image = good;
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    return WriteExe(name, image).string();
  };
  std::size_t sleep = std::search(good.begin(), good.end(), std::begin("Sleep"), std::end("Sleep")) -
                      good.begin();
  Write(base_ / "text.exe", "MZ but nothing more");
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {"--exe='" + (base_ / "missing.exe").string() + "'", "No such file or directory"},
      {"--exe='" + (base_ / "text.exe").string() + "'", "not a Windows executable"},
      {"--exe='" + patched("x86.exe", pe + 4, {0x4c, 0x01}) + "'", "not an ARM program"},
      {"--exe='" + patched("desktop.exe", pe + 24 + 68, {2, 0}) + "'", "not a Windows CE program"},
      {"--exe='" + patched("unserved.exe", sleep, {'S', 'l', 'u', 'm', 'p'}) + "'",
       "imports Slump from coredll.dll, which the emulated device does not serve"},
      {"--exe='" + kExe.string() + "' --exe-base=0x12345", "--exe-base=0x12345"},
      {"--exe-base=0x100000", "--exe-base needs --exe"},
      {"--exe", "option '--exe' requires an argument"},
      {"--exe=", "option '--exe' requires an argument"}};
  MakeDevice(device_);
  std::string registry = Read(device_ / "user.reg");
  std::string tree = Tree(device_);
  for (const auto &[arguments, message] : refusals) {
    SCOPED_TRACE(arguments);
    // A new device would be made in base_, and the trace file made.
    Outcome outcome = RunOne(base_ / "new", arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_THAT(outcome.err, HasSubstr(message));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(fs::exists(base_ / "new"));
    EXPECT_FALSE(fs::exists(base_ / "run0.trace"));
    outcome = RunOne(device_, arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(Read(device_ / "user.reg"), registry);
    EXPECT_EQ(Tree(device_), tree);
  }
}

TEST_F(ArmTest, AnInstructionTheStrongArmLacksStopsTheRunAndNothingMoreIsRemoved)
{
  // RemoveDirectoryW's thunk begins with CLZ (ARMv5): the first folder
  // removal meets it, after the first files of the run were deleted.
  std::vector<std::uint8_t> image = ReadExe();
  const std::uint8_t thunk[] = {0x00, 0xC0, 0x9F, 0xE5, 0x00, 0xF0, 0x9C, 0xE5};  // ldr ip,[pc]; ldr pc,[ip]
  std::vector<std::size_t> thunks;
  for (auto at = image.begin(); (at = std::search(at, image.end(), std::begin(thunk), std::end(thunk))) != image.end(); ++at) {
    thunks.push_back(static_cast<std::size_t>(at - image.begin()));
  }
  // The thunks are in the import tables' order: coredll.dll's first.
  std::size_t index = 0;
  std::string names(image.begin(), image.end());
  for (const char *name : {"RegOpenKeyExW", "RegCreateKeyExW", "RegQueryValueExW", "RegSetValueExW",
                           "RegCloseKey", "FindFirstFileW", "FindNextFileW", "FindClose", "DeleteFileW"}) {
    ASSERT_NE(names.find(std::string(name) + '\0'), std::string::npos) << name;
    ++index;
  }
  ASSERT_NE(names.find(std::string("RemoveDirectoryW") + '\0'), std::string::npos);
  ASSERT_GT(thunks.size(), index);
  const std::uint8_t clz[] = {0x10, 0x0F, 0x6F, 0xE1};  // clz r0, r0
  std::copy(std::begin(clz), std::end(clz), image.begin() + static_cast<std::ptrdiff_t>(thunks[index]));
  fs::path faulty = WriteExe("clz.exe", image);

  MakeDevice(base_ / "builtin");
  MakeDevice(device_);
  auto outcomes = RunAll({{base_ / "builtin", "-v"}, {device_, "-v --exe='" + faulty.string() + "'"}});
  const Outcome &arm = outcomes[1];
  EXPECT_EQ(arm.status, 2);
  EXPECT_THAT(arm.err, HasSubstr("the program stopped on the emulated StrongARM SA-1110: an "
                                 "instruction the StrongARM SA-1110 does not have"));
  EXPECT_THAT(arm.err, HasSubstr("nothing more was removed"));
  // What it removed is the start of what the built-in program removes, up to
  // the first folder; its last call is the first RemoveDirectoryW's caller's.
  std::string list = arm.out.substr(0, arm.out.find("\nWhat "));
  EXPECT_THAT(list, HasSubstr("\\"));
  EXPECT_THAT(outcomes[0].out, HasSubstr(list.substr(list.find('\\'))));
  EXPECT_THAT(arm.out, Not(HasSubstr("What this run removed")));
  EXPECT_THAT(arm.trace, Not(HasSubstr("RemoveDirectoryW")));
  // The lock is released and user.reg is whole: a built-in run takes the
  // device and finishes.
  EXPECT_EQ(RunOne(device_, "-n").status, 0);
}

// A program that never returns (here its entry branches to itself) is
// stopped some time after the first Ctrl-C: every run ends, and the device
// is left as it was.
TEST_F(ArmTest, AProgramThatLoopsForeverIsStoppedAfterTheFirstCtrlC)
{
  std::vector<std::uint8_t> image = ReadExe();
  std::size_t pe = Word(image, 0x3C);
  std::size_t entry = FileOffset(image, Word(image, pe + 24 + 16));
  const std::uint8_t branchToItself[] = {0xFE, 0xFF, 0xFF, 0xEA};  // b .
  std::copy(std::begin(branchToItself), std::end(branchToItself),
            image.begin() + static_cast<std::ptrdiff_t>(entry));
  fs::path looping = WriteExe("loop.exe", image);
  MakeDevice(device_);
  std::string registry = Read(device_ / "user.reg");
  std::string tree = Tree(device_);
  // One SIGINT, to tarvel alone, once it is looping; 30 s at most.
  fs::path err = base_ / "err";
  pid_t child = fork();
  if (child == 0) {
    int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    setenv("TARVEL_DEVICE", device_.c_str(), 1);
    std::string exe = "--exe=" + looping.string();
    execl(TARVEL_BINARY, "tarvel", exe.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  kill(child, SIGINT);
  int status = 0;
  for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
    if (waited == 300) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "the run did not end within 30 s of the Ctrl-C";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_THAT(Read(err), HasSubstr("it did not end within 100000000 instructions of the "
                                   "interruption; nothing more was removed"));
  EXPECT_EQ(Read(device_ / "user.reg"), registry);
  EXPECT_EQ(Tree(device_), tree);
}

}  // namespace
