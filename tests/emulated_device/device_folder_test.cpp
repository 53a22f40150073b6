// The tarvel program and the device folder it is given: the folder is the
// one opened and locked, whatever its name leads to meanwhile; the trace is
// told from the device by identity; what a refused run made is undone; and
// the launcher's refusals name what is wrong.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "host_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kTarvel = "timeout 10 '" TARVEL_BINARY "'";
const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

class DeviceFolderTest : public HostTest {
 protected:
  // Runs a shell script; its output and errors are the outcome's.
  Outcome RunScript(const std::string &script)
  {
    Write(base_ / "script", script);
    return RunCommand("sh '" + (base_ / "script").string() + "'");
  }
  // tarvel with the device and trace given, as a script line.
  std::string Tarvel(const fs::path &device, const std::string &trace = "",
                     const std::string &options = "")
  {
    return "TARVEL_DEVICE='" + device.string() + "' " +
           (trace.empty() ? "" : "TARVEL_TRACE='" + trace + "' ") + kTarvel + " " + options;
  }
  // Expects a refusal: status 2, `lines` lines on stderr, the last naming `what`.
  void ExpectRefused(const Outcome &outcome, const std::string &what, int lines = 1)
  {
    EXPECT_EQ(outcome.status, 2) << outcome.err;
    EXPECT_THAT(outcome.err, HasSubstr(what));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), lines) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
  // A device with a user.reg of its own and a file a run removes.
  void MakeDevice(const fs::path &device, const std::string &registry)
  {
    Write(device / "user.reg", registry);
    Write(device / "root" / "temp" / "setup.log", "12345");
  }
};

// While the run waits for the lock of the folder its name led to (held by
// another program), the name is made to lead elsewhere, or the trace's
// folder goes: the run acts only on the folder it locked, and a run refused
// after it made a device of that folder removes again just what it made.
TEST_F(DeviceFolderTest, TheDeviceIsTheFolderLockedWhateverItsNameLeadsToMeanwhile)
{
  struct Case {
    const char *name;
    bool viaLink;          // TARVEL_DEVICE names a link to the empty folder
    std::string meanwhile;  // done while the run waits; $E, $B, $L, $T set
    const char *said;
  };
  const Case cases[] = {
      {"the link re-pointed to another device, the trace's folder removed", true,
       "ln -sfn \"$B\" \"$L\"; rmdir \"$T\"", "changed while the run waited"},
      {"the folder moved away and another device moved in its place", false,
       "mv \"$E\" \"$E.away\"; mv \"$B\" \"$E\"", "changed while the run waited"},
      {"the trace's folder removed: the new device made and unmade", false, "rmdir \"$T\"",
       "cannot write the trace there"},
  };
  std::string registryOfB = std::string(kHeader) + "[HKEY_CURRENT_USER\\Software\\B]\n\"v\"=\"1\"\n";
  int index = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::path at = base_ / ("case" + std::to_string(index++));
    fs::path empty = at / "E", other = at / "B", link = at / "L", traceFolder = at / "T";
    fs::create_directories(empty);
    fs::create_directories(traceFolder);
    MakeDevice(other, registryOfB);
    ASSERT_EQ(symlink(empty.c_str(), link.c_str()), 0);
    fs::path named = c.viaLink ? link : empty;
    fs::path held = at / "held", said = at / "said";
    // The holder takes the empty folder's lock, and once the run says it
    // waits, changes things and lets go.
    std::string script = "export E='" + empty.string() + "' B='" + other.string() + "' L='" +
                         link.string() + "' T='" + traceFolder.string() + "'\n" +
                         "timeout 10 flock \"$E\" sh -c 'touch \"" + held.string() +
                         "\"; until grep -qs waiting \"" + said.string() +
                         "\"; do sleep 0.02; done; " + c.meanwhile + "' &\n" +
                         "until [ -e '" + held.string() + "' ]; do sleep 0.02; done\n" +
                         Tarvel(named, (traceFolder / "trace").string()) + " 2>'" + said.string() +
                         "'\nstatus=$?\nwait\ncat '" + said.string() + "' >&2\nexit $status\n";
    Outcome outcome = RunScript(script);
    ExpectRefused(outcome, c.said, 2);
    EXPECT_THAT(outcome.err, HasSubstr("waiting for it to end"));
    // The other device is as it was, wherever it now is; the folder locked
    // holds nothing, as before the run.
    fs::path nowB = fs::exists(empty / "user.reg") ? empty : other;
    EXPECT_EQ(Read(nowB / "user.reg"), registryOfB);
    EXPECT_TRUE(fs::exists(nowB / "root" / "temp" / "setup.log"));
    fs::path locked = fs::exists(at / "E.away") ? at / "E.away" : empty;
    if (locked != nowB) {
      EXPECT_TRUE(fs::is_empty(locked)) << locked;
    }
  }
}

// A trace that is the device's user.reg or a document in its root/ under
// another name (a hard link outside), or a folder the trace goes in that
// lies in the device by way of a link, is refused before the run; a trace
// with one name outside is written.
TEST_F(DeviceFolderTest, ATraceInsideTheDeviceIsRefusedByWhatItIsNotByItsPath)
{
  MakeDevice(device_, kHeader);
  Write(Root() / "docs" / "letter.txt", "Dear");
  fs::create_directories(Outside());
  ASSERT_EQ(link((device_ / "user.reg").c_str(), (Outside() / "registry").c_str()), 0);
  ASSERT_EQ(link((Root() / "docs" / "letter.txt").c_str(), (Outside() / "letter").c_str()), 0);
  ASSERT_EQ(symlink(Root().c_str(), (Outside() / "into").c_str()), 0);
  for (const fs::path &trace : {Outside() / "registry", Outside() / "letter", Outside() / "into" / "new"}) {
    SCOPED_TRACE(trace);
    ExpectRefused(RunScript(Tarvel(device_, trace.string())),
                  "the trace may not lie inside the device folder");
  }
  EXPECT_EQ(Read(device_ / "user.reg"), kHeader);
  EXPECT_EQ(Read(Root() / "docs" / "letter.txt"), "Dear");
  EXPECT_FALSE(fs::exists(Root() / "new"));
  EXPECT_TRUE(fs::exists(Root() / "temp" / "setup.log"));

  Outcome run = RunScript(Tarvel(device_, (Outside() / "trace").string()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(Read(Outside() / "trace"), HasSubstr("DeleteFileW(\"\\\\temp\\\\setup.log\") = 1"));
}

// Where a device may be and what it holds: not inside another device's
// root/ at any depth, and beside root/ only the store's own temporary
// files (user.reg.tmp. and digits), not a person's user.reg.tmp.orig.
TEST_F(DeviceFolderTest, AFolderIsADeviceByWhatItHoldsAndWhereItLies)
{
  MakeDevice(device_, kHeader);
  fs::path nested = Root() / "tmp" / "inner";
  fs::create_directories(nested / "root");
  ExpectRefused(RunScript(Tarvel(nested)),
                "lies inside the file system root/ of the device " + device_.string());
  EXPECT_TRUE(fs::is_empty(nested / "root"));

  fs::path backup = base_ / "backup";
  fs::create_directories(backup / "root");
  Write(backup / "user.reg.tmp.orig", "a person's copy");
  ExpectRefused(RunScript(Tarvel(backup)), "is not a device folder");
  EXPECT_FALSE(fs::exists(backup / "user.reg"));

  fs::rename(backup / "user.reg.tmp.orig", backup / "user.reg.tmp.4242");
  Outcome leftover = RunScript(Tarvel(backup));
  EXPECT_EQ(leftover.status, 0) << leftover.err;
  EXPECT_EQ(Files(backup), (std::vector<std::string>{"root", "user.reg"}));
}

// The launcher's refusals say what getopt would say, name the device when
// its path is too long, and tell a terminal that is not there from a pipe
// nobody reads.
TEST_F(DeviceFolderTest, RefusalsSayWhatIsWrong)
{
  const std::pair<const char *, const char *> arguments[] = {
      {"--preview -xn", "unknown option '-x'"},
      {"--preview=x", "option '--preview' doesn't allow an argument"},
      {"--help=1", "option '--help' doesn't allow an argument"},
      {"--ver", "option '--ver' is ambiguous; possibilities: '--version' '--verbose'"},
      {"--anything", "unknown option '--anything'"},
  };
  for (const auto &[argument, said] : arguments) {
    ExpectRefused(RunScript(Tarvel(device_, "", argument)), said);
  }
  std::string longName = device_.string() + "/" + std::string(200, 'd');
  for (int i = 0; i < 25; ++i) {
    longName += "/" + std::string(200, 'd');
  }
  ExpectRefused(RunScript(Tarvel(longName)), "File name too long");
  Outcome noTerminal = RunScript("setsid -w sh -c \"" + Tarvel(device_, "/dev/tty") + "\"");
  ExpectRefused(noTerminal, "TARVEL_TRACE=/dev/tty: cannot write the trace there: No such device");
  EXPECT_THAT(noTerminal.err, Not(HasSubstr("no process is reading it")));
  EXPECT_EQ(Files(device_), std::vector<std::string>{"root"});
}

}  // namespace
