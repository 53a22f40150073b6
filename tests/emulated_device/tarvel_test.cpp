// The tarvel program on emulated devices, as a user runs it.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "host_fixture.h"
#include "reg_file.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// The program, ten seconds at most, so that a run that would hang fails the
// test instead.
const std::string kTarvel = "timeout 10 '" TARVEL_BINARY "'";
// strace, for faults the host cannot be made to have otherwise (a sanitized
// build's leak check cannot run under it).
const std::string kStrace = "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null";

class TarvelTest : public HostTest {
 protected:
  Outcome RunTarvel(const fs::path &device, const std::string &extra = "",
                    const std::string &options = "")
  {
    return RunCommand(extra + " TARVEL_DEVICE='" + device.string() + "' " + kTarvel + " " + options);
  }
  // Expects a refusal: status 2, one line on stderr that names `what`.
  void ExpectRefused(const Outcome &outcome, const std::string &what)
  {
    EXPECT_EQ(outcome.status, 2) << outcome.err;
    EXPECT_THAT(outcome.err, HasSubstr(what));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
};

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

// The lines of a removal list, and the rows of a summary: a category's by
// its name in the device's table ("Temp"), the others by their label.
std::vector<std::string> Removals(const std::string &out)
{
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("\\")) {
      lines.push_back(line);
    }
  }
  return lines;
}

struct Row {
  long long files = -1;
  long long bytes = -1;
  std::string state;
  bool operator==(const Row &) const = default;
};

std::map<std::string, Row> SummaryRows(const std::string &out)
{
  std::map<std::string, Row> rows;
  std::size_t at = out.rfind("\nWhat ");
  std::istringstream in(at == std::string::npos ? "" : out.substr(at));
  const std::regex kRow("  (.*?(?:\\((\\w+)\\))?) +(-?[0-9,]+) +(-?[0-9,]+)(?:  (.*))?");
  for (std::string line; std::getline(in, line);) {
    std::smatch row;
    if (std::regex_match(line, row, kRow)) {
      auto number = [](std::string text) {
        std::erase(text, ',');
        return std::stoll(text);
      };
      rows[row[2].matched ? row[2].str() : row[1].str()] = {number(row[3]), number(row[4]), row[5]};
    }
  }
  return rows;
}


TEST_F(TarvelTest, CleansTwiceKeepsLifetimeTotalsAndFollowsTheOptions)
{
  Write(device_ / "user.reg",
        std::string(kHeader) +
            "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n"
            "\"ie\"=\"1\"\n"
            "\"quiet\"=dword:00000001\n"
            "\"storage card\"=\"off\"\n"
            "\"CAB\"=hex(1):31,00\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]\n"
            "\"Favorites\"=\"\\\\Windows\\\\Favorites\"\n");
  Write(Root() / "temp" / "setup.log", std::string(1000, 'x'));
  Write(Root() / "Windows" / "Temp" / "sub" / "old.dat", std::string(500, 'x'));
  Write(Root() / "Windows" / "Profiles" / "guest" / "Cookies" / "c.txt", "cookie");
  Write(Root() / "Windows" / "x.tmp", "ws");             // WS is off: "quiet" is the number 1
  Write(Root() / "Windows" / "setup.CAB", "cab");        // CAB runs: "1" without terminator
  Write(Root() / "Storage Card" / "tmp" / "part.dat", "sc");  // SC runs: "off" is unreadable
  Write(Root() / "My Documents" / "letter.doc", "keep");
  // A tree deeper than a walk goes, on the device's 64 KiB stack. (Its
  // folders do not match "*.CAB", so each is walked once.)
  fs::path deep = Root() / "My Documents";
  for (int depth = 0; depth < 40; ++depth) {
    deep /= "level";
    Write(deep / "f.CAB", "1");
  }

  Outcome first = RunTarvel(device_);

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_THAT(first.out, HasSubstr("Tarvel 3.02 <beta>\n  Working...\n"));
  EXPECT_THAT(first.out, HasSubstr("  Done!\n"));
  EXPECT_FALSE(fs::exists(Root() / "temp" / "setup.log"));
  EXPECT_TRUE(fs::exists(Root() / "temp"));
  EXPECT_FALSE(fs::exists(Root() / "Windows" / "Temp" / "sub"));
  EXPECT_FALSE(fs::exists(Root() / "Windows" / "Profiles" / "guest" / "Cookies" / "c.txt"));
  EXPECT_TRUE(fs::exists(Root() / "Windows" / "x.tmp"));
  EXPECT_FALSE(fs::exists(Root() / "Windows" / "setup.CAB"));
  EXPECT_FALSE(fs::exists(Root() / "Storage Card" / "tmp" / "part.dat"));
  EXPECT_TRUE(fs::exists(Root() / "My Documents" / "letter.doc"));
  EXPECT_TRUE(fs::exists(deep / "f.CAB"));
  // Warned before the run, and told after it, as the device did it.
  EXPECT_THAT(first.err, HasSubstr("\"quiet\" in user.reg is the number 1 (4 bytes): the device "
                                   "takes it as not set, as its first byte is not the character "
                                   "\"1\", so the temporary files clean-up is switched off\n"));
  EXPECT_THAT(first.err, HasSubstr("\"storage card\" in user.reg is the text \"off\" (8 bytes): it "
                                   "is longer than the 4 bytes the device reads, so the device "
                                   "cannot read it and the storage card clean-up runs\n"));
  EXPECT_THAT(first.err, Not(HasSubstr("\"CAB\"")));  // it does what it says
  auto rows = SummaryRows(first.out);
  EXPECT_EQ(rows["WS"].state, "switched off by \"quiet\"");
  EXPECT_EQ(rows["WS"].files, 0);
  for (const char *ran : {"Temp", "Tele", "CAB", "SC"}) {
    EXPECT_EQ(rows[ran].state, "ran") << ran;
  }
  EXPECT_EQ(rows["SC"].files, 1);
  EXPECT_FALSE(fs::exists(Root() / "My Documents" / "level" / "f.CAB"));
  std::string reg = Read(device_ / "user.reg");
  EXPECT_THAT(reg, HasSubstr("\"example\"=hex(1):32,00\n"));
  EXPECT_THAT(reg, HasSubstr("\"History\"=hex(1):5c,00,57,00,69,00"));
  EXPECT_THAT(reg, HasSubstr("\"Cache\"=\"\\\\Windows\\\\profiles\\\\2\\\\Temporary Internet Files\"\n"));
  EXPECT_THAT(reg, HasSubstr("\"Favorites\"=\"\\\\Windows\\\\Favorites\"\n"));
  EXPECT_THAT(reg, HasSubstr("\"bytesDueToTemp\"=dword:000005dc\n"));  // 1,500 bytes

  Write(Root() / "temp" / "again.log", std::string(300, 'y'));
  Outcome second = RunTarvel(device_);

  EXPECT_EQ(second.status, 0);
  reg = Read(device_ / "user.reg");
  EXPECT_THAT(reg, HasSubstr("\"example\"=hex(1):31,00\n"));
  EXPECT_THAT(reg, HasSubstr("\"bytesDueToTemp\"=dword:00000708\n"));  // 1,800 bytes
  EXPECT_THAT(second.out, HasSubstr(" byte(s) [Lifetime-to-date]"));
  std::string files = "File\"=dword:";
  std::size_t at = reg.find(files);
  ASSERT_NE(at, std::string::npos);
  long lifetimeFiles = std::stol(reg.substr(at + files.size(), 8), nullptr, 16);
  EXPECT_THAT(second.out, HasSubstr("  " + std::to_string(lifetimeFiles) + " file(s)"));
  EXPECT_GE(lifetimeFiles, 2 + 23);
}

TEST_F(TarvelTest, BrokenRegistryOrAFolderThatIsNoDeviceIsRefusedAndNothingChanges)
{
  std::string broken = std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n\"b\"=bogus\n";
  Write(device_ / "user.reg", broken);
  Write(Root() / "temp" / "setup.log");

  Outcome refused = RunTarvel(device_);

  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err, HasSubstr((device_ / "user.reg").string() + ":5:"));
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(Read(device_ / "user.reg"), broken);
  EXPECT_TRUE(fs::exists(Root() / "temp" / "setup.log"));

  fs::path notDevice = base_ / "documents";
  Write(notDevice / "thesis.txt");
  Outcome notOne = RunTarvel(notDevice);
  EXPECT_EQ(notOne.status, 2);
  EXPECT_THAT(notOne.err, HasSubstr("is not a device folder"));
  EXPECT_EQ(std::count(notOne.err.begin(), notOne.err.end(), '\n'), 1);
  EXPECT_EQ(Files(notDevice), std::vector<std::string>{"thesis.txt"});
}

TEST_F(TarvelTest, DisabledRunRotatesAndOtherwiseDoesNothing)
{
  Write(device_ / "user.reg",
        std::string(kHeader) + "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n\"disable\"=\"1\"\n"
                               "\"ie\"=\"1\"\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\"
                               "CurrentVersion\\Explorer\\Shell Folders]\n");
  Write(Root() / "temp" / "setup.log");

  Outcome run = RunTarvel(device_);

  EXPECT_EQ(run.status, 0);
  // No bubble; the launcher's summary says the run was disabled.
  EXPECT_EQ(run.out, "\nThe run was disabled (\"disable\" is set) and removed nothing.\n");
  EXPECT_TRUE(fs::exists(Root() / "temp" / "setup.log"));
  std::string reg = Read(device_ / "user.reg");
  EXPECT_THAT(reg, HasSubstr("\"example\"=hex(1):32,00\n"));
  EXPECT_THAT(reg, Not(HasSubstr("\"File\"")));
}

TEST_F(TarvelTest, NewUserWithNoSetUpGetsADeviceBubblesAndATrace)
{
  // The default folder, made with the folders it needs below an existing
  // home, and named with what was made of it.
  fs::path home = base_ / "home";
  fs::create_directory(home);
  fs::path fresh = home / ".local" / "share" / "tarvel" / "device";
  fs::path trace = base_ / "trace.txt";

  Outcome run = RunCommand("env -u TARVEL_DEVICE -u XDG_DATA_HOME HOME='" + home.string() +
                           "' TARVEL_TRACE='" + trace.string() + "' " + kTarvel);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::is_directory(fresh / "root"));
  EXPECT_EQ(run.err, "tarvel: device folder: " + fresh.string() +
                         " (new: made the folder, root/ and user.reg)\n");
  Outcome again = RunTarvel(fresh, "", "--preview");
  EXPECT_EQ(again.err, "tarvel: device folder: " + fresh.string() + "\n");
  EXPECT_THAT(run.out, HasSubstr("  0 file(s) [Lifetime-to-date]\n  0 byte(s) [Lifetime-to-date]\n"));
  std::vector<std::string> shell;
  std::ifstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("SH") || line.starts_with("Sleep")) {
      shell.push_back(line.substr(0, line.find(',')));
    }
    if (line.starts_with("LoadImageW")) {
      EXPECT_THAT(line, Not(HasSubstr(") = 0x0")));  // the program carries its icon
    }
  }
  EXPECT_EQ(shell, (std::vector<std::string>{
                       "SHNotificationAdd({4711", "SHNotificationRemove({5D2B8E41-0C73-4A9F-B6E2-9173F0A4C5D8}",
                       "SHNotificationAdd({4713", "Sleep(5000) = void",
                       "SHNotificationRemove({5D2B8E41-0C73-4A9F-B6E2-9173F0A4C5D8}"}));
  EXPECT_THAT(Read(fresh / "user.reg"), HasSubstr("[HKEY_CURRENT_USER\\Software\\Halvorn\\Tarvel]"));
}

TEST_F(TarvelTest, OnlyADeviceFolderIsUsedAndNothingElseIsTouched)
{
  // A home folder, though it holds root/ and user.reg.
  fs::path home = base_ / "home";
  Write(home / "root" / "temp" / "work.txt");
  Write(home / "user.reg", kHeader);
  ExpectRefused(RunTarvel(home, "HOME='" + home.string() + "'"), "home folder");
  EXPECT_TRUE(fs::exists(home / "root" / "temp" / "work.txt"));

  // A folder that merely holds a root/ among other things.
  fs::path project = base_ / "project";
  Write(project / "root" / "tmp" / "notes.txt");
  Write(project / "README");
  ExpectRefused(RunTarvel(project), "create user.reg in it");
  EXPECT_TRUE(fs::exists(project / "root" / "tmp" / "notes.txt"));
  EXPECT_FALSE(fs::exists(project / "user.reg"));

  // No variable says where the device is: nothing is made where tarvel
  // happens to be started.
  ExpectRefused(RunCommand("cd '" + base_.string() +
                           "' && env -u HOME -u XDG_DATA_HOME -u TARVEL_DEVICE " + kTarvel),
                "TARVEL_DEVICE");
  EXPECT_FALSE(fs::exists(base_ / "tarvel"));
}

TEST_F(TarvelTest, AMistakenDeviceOrTraceIsRefusedAndNothingIsMade)
{
  fs::path trace = base_ / "trace.txt";
  std::string withTrace = "TARVEL_TRACE='" + trace.string() + "'";
  // A named folder that does not exist is never made, even where its
  // parent exists, for a run and a preview: the message gives the command
  // that makes one.
  for (const fs::path &typo : {base_ / "handhled" / "device", base_ / "devcie"}) {
    ExpectRefused(RunTarvel(typo, withTrace),
                  "there is no such folder, and tarvel makes only the default device");
    ExpectRefused(RunTarvel(typo, withTrace, "-n"), "mkdir -p '" + typo.string() + "'");
  }
  // A "~" that no shell expanded, and a device's root/ named for the device.
  ExpectRefused(RunCommand("cd '" + base_.string() + "' && TARVEL_DEVICE='~/handheld' " +
                           withTrace + " " + kTarvel),
                "TARVEL_DEVICE=~/handheld: a path that begins with \"~\"");
  Write(device_ / "user.reg", kHeader);
  Write(Root() / "temp" / "keep.log");
  ExpectRefused(RunTarvel(Root(), withTrace), "set TARVEL_DEVICE=" + device_.string());
  // A trace inside the device: its user.reg, or a file not yet in its root/.
  for (const fs::path &inside : {device_ / "user.reg", Root() / "temp" / "trace.txt"}) {
    ExpectRefused(RunTarvel(device_, "TARVEL_TRACE='" + inside.string() + "'"),
                  "the trace may not lie inside the device folder");
  }
  EXPECT_EQ(Read(device_ / "user.reg"), kHeader);
  EXPECT_EQ(Files(base_), (std::vector<std::string>{"device", "device/root", "device/root/temp",
                                                    "device/root/temp/keep.log",
                                                    "device/user.reg", "err", "out"}));

  // A lock that fails for another reason than another run holding it (here
  // made to fail as on a file system without flock) refuses a new device
  // before anything is made.
  if (std::system("strace -o /dev/null -e inject=flock:error=ENOLCK flock /tmp true "
                  ">/dev/null 2>&1") != (71 << 8)) {
    std::printf("skipped: strace cannot make flock fail here\n");
    return;
  }
  fs::path fresh = base_ / "fresh";
  fs::create_directory(fresh);
  ExpectRefused(RunCommand("TARVEL_DEVICE='" + fresh.string() + "' " + withTrace +
                           " " + kStrace + " -e inject=flock:error=ENOLCK " + kTarvel),
                fresh.string() + ": cannot lock the device folder: No locks available");
  EXPECT_TRUE(fs::is_empty(fresh));
  EXPECT_FALSE(fs::exists(trace));
}

TEST_F(TarvelTest, OutputGoesAsAUnixToolsDoesAndAReaderThatLeavesEndsOnlyIt)
{
  fs::path fresh = base_ / "fresh";
  std::string command = "TARVEL_DEVICE='" + fresh.string() + "' " + kTarvel;
  // Options as getopt takes them; help within 80 columns; an output that
  // fails is an error.
  Outcome help = RunCommand(command + " -nv --help");
  EXPECT_EQ(help.status, 0) << help.err;
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LT(line.size(), 80u) << line;
  }
  ExpectRefused(RunCommand(command + " -n -- --help"), "takes no arguments, not '--help'");
  Outcome full = RunCommand("{ " + command + " --help >/dev/full; }");
  EXPECT_EQ(full.status, 1);
  EXPECT_THAT(full.err, HasSubstr("No space left on device"));
  EXPECT_FALSE(fs::exists(fresh));

  // A list and a trace whose reader goes at once: the run goes on to its
  // end and stores its statistics.
  Write(device_ / "user.reg", kHeader);
  for (int i = 0; i < 3; ++i) {
    Write(Root() / "temp" / (std::to_string(i) + ".log"), "12345");
  }
  Outcome cut = RunCommand("sh -c \"TARVEL_DEVICE='" + device_.string() +
                           "' TARVEL_TRACE=/dev/stderr " + kTarvel + " -v 2>&1 | head -c 1\"");
  EXPECT_EQ(cut.out.size(), 1u);
  std::string stored = Read(device_ / "user.reg");
  EXPECT_THAT(stored, HasSubstr("\"File\"=dword:00000003\n"));

  // Statistics that could not be stored (every replace of user.reg made to
  // fail) are said to be so, and no totals are shown that are not on disk.
  if (std::system("strace -o /dev/null -e inject=rename:error=EIO true >/dev/null 2>&1") != 0) {
    std::printf("skipped: strace cannot make rename fail here\n");
    return;
  }
  Write(Root() / "temp" / "more.log", "123");
  Outcome notStored = RunCommand("TARVEL_DEVICE='" + device_.string() +
                                 "' " + kStrace +
                                 " -e inject=rename,renameat,renameat2:error=EIO " + kTarvel);
  EXPECT_EQ(notStored.status, 0) << notStored.err;
  EXPECT_THAT(notStored.err, HasSubstr("tarvel: " + device_.string() +
                                       "/user.reg: not every registry change of the run could "
                                       "be stored, so its statistics may be missing: "));
  EXPECT_THAT(notStored.out, HasSubstr("What this run removed: 1 file(s), 3 byte(s) in all"));
  EXPECT_THAT(SummaryRows(notStored.out), ::testing::IsEmpty());
  EXPECT_EQ(Read(device_ / "user.reg"), stored);
}

TEST_F(TarvelTest, UserRegOrTraceThatCannotBeUsedIsRefusedBeforeAnything)
{
  struct Case {
    const char *name;
    std::function<bool(const fs::path &device)> make;  // false: cannot be set up here
    std::string environment;
    const char *said;
    std::string program = kTarvel;
  };
  fs::path pipe = base_ / "pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  bool root = geteuid() == 0;
  // Root reads anything, so the unreadable case runs as nobody, with a copy
  // of the program that nobody can reach wherever the build folder lies.
  fs::path nobodysCopy = base_ / "tarvel";
  if (root) {
    fs::copy_file(TARVEL_BINARY, nobodysCopy);
  }
  const Case cases[] = {
      {"a folder", [](const fs::path &d) { return fs::create_directory(d / "user.reg"); }, "",
       "is a folder"},
      {"a dangling link",
       [](const fs::path &d) { return symlink("/nonexistent", (d / "user.reg").c_str()) == 0; }, "",
       "symbolic link"},
      {"a FIFO", [](const fs::path &d) { return mkfifo((d / "user.reg").c_str(), 0644) == 0; }, "",
       "is a FIFO"},
      {"a device node",
       [](const fs::path &d) {
         return mknod((d / "user.reg").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;
       },
       "", "is a device node"},
      {"larger than the limit",
       [](const fs::path &d) {
         std::ofstream(d / "user.reg") << kHeader;
         fs::resize_file(d / "user.reg", tarvel::host::kLargestRegistryFile + 1);
         return true;
       },
       "", "larger than 64 MiB"},
      {"unreadable",
       [&](const fs::path &d) {
         std::ofstream(d / "user.reg") << kHeader;
         fs::permissions(d / "user.reg", fs::perms::none);
         if (root) {
           for (fs::path p = d / "root"; p != base_.parent_path(); p = p.parent_path()) {
             fs::permissions(p, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
           }
           fs::permissions(d / "root" / "temp" / "keep.log", fs::perms::all);
         }
         return true;
       },
       root ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "", "Permission denied",
       root ? "timeout 10 '" + nobodysCopy.string() + "'" : kTarvel},
      {"a trace nobody reads", [](const fs::path &) { return true; },
       "TARVEL_TRACE='" + pipe.string() + "'", "no process is reading it"},
      {"a trace in a missing folder", [](const fs::path &) { return true; },
       "TARVEL_TRACE='" + (base_ / "missing" / "trace").string() + "'", "TARVEL_TRACE"},
  };
  int index = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::path device = base_ / ("device" + std::to_string(index++));
    Write(device / "root" / "temp" / "keep.log");
    if (!c.make(device)) {
      std::printf("skipped: user.reg as %s cannot be made here (not root)\n", c.name);
      continue;
    }
    Outcome outcome =
        RunCommand(c.environment + " env TARVEL_DEVICE='" + device.string() + "' " + c.program);
    ExpectRefused(outcome, c.said);
    EXPECT_TRUE(fs::exists(device / "root" / "temp" / "keep.log"));
  }
}

TEST_F(TarvelTest, RunsOnOneDeviceTakeTurnsAndTheirTotalsAddUp)
{
  // The options key exists, and a key as deep as the registry allows: the
  // store writes it back on the device's stack.
  std::string deep = "HKEY_CURRENT_USER";
  for (std::size_t level = 0; level < tarvel::regfile::kDeepestKey; ++level) {
    deep += "\\d";
  }
  Write(device_ / "user.reg", std::string(kHeader) + "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n\n[" +
                                  deep + "]\n\"x\"=\"y\"\n");
  const int kFiles = 40;
  for (int i = 0; i < kFiles; ++i) {
    Write(Root() / "temp" / (std::to_string(i) + ".log"), "12345");
  }

  // In real time, so that the first run holds the lock while the second
  // comes.
  std::string run =
      "TARVEL_DEVICE='" + device_.string() + "' " + kTarvel + " --real-time >/dev/null";
  Outcome both = RunCommand("sh -c \"" + run + " 2>'" + (base_ / "first").string() + "' & " + run +
                            " 2>'" + (base_ / "second").string() + "' & wait\"");

  EXPECT_EQ(both.status, 0);
  std::string said = Read(base_ / "first") + Read(base_ / "second");
  EXPECT_EQ(said.find("waiting for it to end"), said.rfind("waiting for it to end")) << said;
  EXPECT_THAT(said, HasSubstr("waiting for it to end"));
  std::string reg = Read(device_ / "user.reg");
  EXPECT_THAT(reg, HasSubstr("\"File\"=dword:00000028\n"));  // 40
  EXPECT_THAT(reg, HasSubstr("\"Size\"=dword:000000c8\n"));  // 200
  EXPECT_THAT(reg, HasSubstr("[" + deep + "]\n\"x\"=\"y\"\n"));
}

TEST_F(TarvelTest, LauncherOptionsAnswerWithoutTouchingADevice)
{
  fs::path fresh = base_ / "fresh";
  Outcome help = RunCommand("TARVEL_DEVICE='" + fresh.string() + "' " + kTarvel + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: tarvel"));
  EXPECT_THAT(help.out, HasSubstr("TARVEL_DEVICE"));
  Outcome version = RunCommand("TARVEL_DEVICE='" + fresh.string() + "' " + kTarvel + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tarvel 3.02\n");
  for (const char *argument : {"--anything", "-x", "clean"}) {
    ExpectRefused(RunCommand("TARVEL_DEVICE='" + fresh.string() + "' " + kTarvel + " " + argument),
                  argument);
  }
  EXPECT_FALSE(fs::exists(fresh));
}

// Everything of a device that a run could change: each entry's path, kind,
// mode, size, DOS attribute, link target and content, and the folder's own
// files (user.reg byte for byte, no temporary or lock file).
std::string Snapshot(const fs::path &device)
{
  std::vector<std::string> lines;
  for (auto &entry : fs::recursive_directory_iterator(device)) {
    struct stat status;
    lstat(entry.path().c_str(), &status);
    std::string line = fs::relative(entry.path(), device).string() + " " +
                       std::to_string(status.st_mode) + " " + std::to_string(status.st_size);
    char attribute[64] = {};
    if (lgetxattr(entry.path().c_str(), "user.DOSATTRIB", attribute, sizeof attribute - 1) > 0) {
      line += std::string(" dos=") + attribute;
    }
    if (entry.is_symlink()) {
      line += " -> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      line += " " + std::string(std::istreambuf_iterator<char>(in), {});
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const auto &line : lines) {
    all += line + "\n";
  }
  return all;
}

TEST_F(TarvelTest, PreviewChangesNothingAndListsWhatTheRunThenRemoves)
{
  // The sample handheld, and beside it a link out of the device, a deep
  // chain holding a read-only file, matching folders over a file that does
  // not match, and a folder carrying the temporary attribute.
  fs::path original = base_ / "original";
  MakeSampleDevice(original);
  fs::path root = original / "root";
  Write(Outside(), "outside");
  fs::create_symlink(Outside(), root / "temp" / "link.log");
  fs::path deep = root / "Windows" / "temp";
  for (int level = 0; level < 30; ++level) {
    deep /= "d";
  }
  Write(deep / "held.log", "held");
  fs::permissions(deep / "held.log", fs::perms::owner_read);
  Write(root / "My Documents" / "a.tmp" / "b.tmp" / "keep.doc", "keep");
  Write(root / "Program Files" / "scratch" / "x.dat", "x");
  setxattr((root / "Program Files" / "scratch").c_str(), "user.DOSATTRIB", "0x100", 5, 0);
  fs::path copy = base_ / "copy";
  ASSERT_EQ(std::system(("cp -a '" + original.string() + "' '" + copy.string() + "'").c_str()), 0);
  std::string before = Snapshot(original);

  Outcome preview = RunTarvel(original, "", "--preview");
  Outcome run = RunTarvel(copy, "", "--verbose");

  EXPECT_EQ(preview.status, 0) << preview.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Snapshot(original), before);
  EXPECT_THAT(preview.out, HasSubstr("[preview: nothing is changed]"));
  std::vector<std::string> listed = Removals(run.out);
  EXPECT_EQ(Removals(preview.out), listed);
  EXPECT_THAT(listed, ::testing::Contains("\\temp\\link.log\t" +
                                          std::to_string(Outside().string().size()) + "\tTemp"));
  EXPECT_EQ(Read(Outside()), "outside");
  EXPECT_TRUE(fs::exists(deep / "held.log"));

  // The summary: the categories add up to the run's totals, and those are
  // what the list names and the statistics store.
  auto rows = SummaryRows(run.out);
  auto previewRows = SummaryRows(preview.out);
  EXPECT_EQ(previewRows["lifetime totals would be"], rows["lifetime totals"]);
  EXPECT_EQ(rows["lifetime totals"], rows["in all"]);  // the first run
  previewRows.erase("lifetime totals would be");
  rows.erase("lifetime totals");
  EXPECT_EQ(previewRows, rows);
  long long files = 0, bytes = 0;
  for (const char *category : {"Temp", "Tele", "WS", "CAB", "SC"}) {
    EXPECT_GT(rows[category].files, 0) << category;
    files += rows[category].files;
    bytes += rows[category].bytes;
  }
  long long listedFiles = 0, listedBytes = 0;
  for (const auto &line : listed) {
    if (std::size_t tab = line.find('\t'); tab != std::string::npos && line[tab + 1] != '\t') {
      ++listedFiles;
      listedBytes += std::stoll(line.substr(tab + 1));
    }
  }
  EXPECT_EQ(files, rows["in all"].files);
  EXPECT_EQ(bytes, rows["in all"].bytes);
  EXPECT_EQ(rows["in all"], (Row{listedFiles, listedBytes, ""}));
  char stored[32];
  std::snprintf(stored, sizeof stored, "\"File\"=dword:%08llx\n", listedFiles);
  EXPECT_THAT(Read(copy / "user.reg"), HasSubstr(stored));

  // A disabled run, previewed, says so and lists nothing.
  Write(original / "user.reg", std::string(kHeader) +
                                   "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n\"disable\"=\"1\"\n");
  Outcome disabled = RunTarvel(original, "", "-n");
  EXPECT_EQ(disabled.status, 0);
  EXPECT_THAT(disabled.out, HasSubstr("disabled"));
  EXPECT_THAT(Removals(disabled.out), ::testing::IsEmpty());
}

}  // namespace
