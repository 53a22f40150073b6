// A run of tarvel that a person can watch, stop and script: what stayed and
// why, a Ctrl-C that loses nothing, the summary for scripts, the progress
// line on a terminal, the category list.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "host_fixture.h"
#include "run/run.h"
#include "utf16.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

class WatchTest : public HostTest {
 protected:
  struct Outcome {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
  };

  // Runs tarvel on the device with `options`, its stdout a pipe of one page
  // and its stderr a pseudo-terminal or a pipe. Until `hold` has passed
  // nothing is read from stdout, so a run that writes more than a page is
  // held up that long; `whileHeld` is called once it has written
  // `linesBeforeCall` lines. Ten seconds at most.
  Outcome Run(const std::string &options, bool terminal, std::chrono::milliseconds hold,
              int linesBeforeCall = -1, std::function<void(pid_t)> whileHeld = nullptr)
  {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    fcntl(out[0], F_SETPIPE_SZ, 4096);
    int errRead = -1, errWrite = -1;
    if (terminal) {
      EXPECT_EQ(openpty(&errRead, &errWrite, nullptr, nullptr, nullptr), 0);
    } else {
      int err[2];
      EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
      errRead = err[0];
      errWrite = err[1];
    }
    std::string command = "exec '" TARVEL_BINARY "' " + options;
    std::string device = device_.string();
    pid_t child = fork();
    if (child == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(errWrite, STDERR_FILENO);
      setenv("TARVEL_DEVICE", device.c_str(), 1);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(out[1]);
    close(errWrite);
    auto start = std::chrono::steady_clock::now();
    Outcome outcome;
    bool outOpen = true, errOpen = true, called = !whileHeld;
    while (outOpen || errOpen) {
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
        kill(child, SIGKILL);
        ADD_FAILURE() << "tarvel " << options << " took more than 10 s";
        break;
      }
      bool holding = std::chrono::steady_clock::now() - start < hold;
      struct pollfd fds[2] = {{outOpen && !holding ? out[0] : -1, POLLIN, 0},
                              {errOpen ? errRead : -1, POLLIN, 0}};
      poll(fds, 2, 20);
      char buffer[4096];
      if (fds[0].revents != 0) {
        ssize_t got = read(out[0], buffer, sizeof buffer);
        outOpen = got > 0;
        outcome.out.append(buffer, std::max<ssize_t>(got, 0));
      }
      if (fds[1].revents != 0) {
        ssize_t got = read(errRead, buffer, sizeof buffer);
        errOpen = got > 0;  // a terminal says EIO once its last writer is gone
        outcome.err.append(buffer, std::max<ssize_t>(got, 0));
      }
      if (!called && std::count(outcome.out.begin(), outcome.out.end(), '\n') >= linesBeforeCall) {
        whileHeld(child);
        called = true;
      }
    }
    close(out[0]);
    close(errRead);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
  }

  // Files below root/, as device paths.
  std::set<std::string> DeviceFiles()
  {
    std::set<std::string> paths;
    for (auto &entry : fs::recursive_directory_iterator(Root())) {
      if (entry.is_regular_file()) {
        std::string path = "\\" + fs::relative(entry.path(), Root()).string();
        std::replace(path.begin(), path.end(), '/', '\\');
        paths.insert(path);
      }
    }
    return paths;
  }
};

// The removals a list names: path, size and category of each file.
struct Listed {
  std::string path;
  long long size;
  std::string category;
};
std::vector<Listed> FilesListed(const std::string &out)
{
  std::vector<Listed> files;
  std::istringstream in(out);
  const std::regex kLine("(\\\\[^\t]*[^\\\\])\t([0-9]+)\t(\\w+)");
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (std::regex_match(line, match, kLine)) {
      files.push_back({match[1], std::stoll(match[2]), match[3]});
    }
  }
  return files;
}

TEST_F(WatchTest, WhatStayedIsCountedByCategoryAndReasonAndListedOffTheRemovalList)
{
  Write(device_ / "user.reg", kHeader);
  Write(Root() / "temp" / "goes.log", "12");
  Write(Root() / "temp" / "readonly.log");
  fs::permissions(Root() / "temp" / "readonly.log", fs::perms::owner_read);
  Write(Root() / "temp" / "bad\xff.log");  // not UTF-8
  Write(Root() / "temp" / "sub" / "bell\x07.log");  // a control character
  Write(Root() / "Windows" / "x.CAB");
  // The file system may take no inode flags (tmpfs of older kernels; only
  // root may set them).
  bool immutable = SetInodeFlags(Root() / "Windows" / "x.CAB", FS_IMMUTABLE_FL);
  // The storage card as a link: the device cannot go through it.
  fs::create_directories(Outside() / "card" / "temp");
  Write(Outside() / "card" / "temp" / "away.log");
  fs::create_directory_symlink(Outside() / "card", Root() / "Storage Card");
  // Beyond the walkers' reach: a path longer than their buffers, and a
  // folder below the deepest they search ("\temp\1\...\23" has 24
  // backslashes).
  const std::string longFolder(200, 'l');
  const fs::path longFile = Root() / "temp" / longFolder / (std::string(60, 'f') + ".log");
  Write(longFile);
  fs::path deep = Root() / "temp";
  std::string deepParent = "\\temp";
  for (int level = 1; level <= 23; ++level) {
    deep /= std::to_string(level);
    deepParent += "\\" + std::to_string(level);
  }
  Write(deep / "24" / "deepest.log");

  for (const char *mode : {"--preview", "--verbose"}) {
    SCOPED_TRACE(mode);
    Outcome run = Run(mode, false, std::chrono::milliseconds(0));
    EXPECT_EQ(run.status, 0) << run.err;
    std::string out = run.out;
    EXPECT_THAT(out, HasSubstr("\\temp\\goes.log\t2\tTemp\n"));
    EXPECT_THAT(out, HasSubstr("\nstayed: \\temp\\readonly.log (read-only)\n"));
    EXPECT_THAT(out, HasSubstr("\nnot seen: \"bad\\xff.log\" in \\temp (not UTF-8)\n"));
    EXPECT_THAT(out, HasSubstr("\nnot seen: \"bell\\x07.log\" in \\temp\\sub (control character)\n"));
    EXPECT_THAT(out, HasSubstr("\nnot seen: \\Storage Card (a symbolic link)\n"));
    EXPECT_TRUE(std::regex_search(out, std::regex("Stayed, as the host (would refuse|refused) "
                                                  "to remove them:\n"
                                                  "  temporary folders \\(Temp\\) +1  "
                                                  "\\(1 read-only\\)\n")))
        << out;
    if (immutable) {
      EXPECT_TRUE(std::regex_search(
          out, std::regex("  installer archives \\(CAB\\) +1  \\(1 immutable or append-only\\)\n")))
          << out;
    }
    EXPECT_THAT(out, HasSubstr("\nnot seen: \"" + std::string(60, 'f') + ".log\" in \\temp\\" +
                               longFolder + " (path too long)\n"));
    EXPECT_THAT(out, HasSubstr("\nnot seen: \"24\" in " + deepParent + " (folder too deep)\n"));
    EXPECT_THAT(out, HasSubstr("so left: 5\n  (1 not UTF-8, 1 control character, "
                               "1 a symbolic link, 1 path too long, 1 folder too deep)\n"));
  }
  EXPECT_TRUE(fs::exists(longFile));
  EXPECT_TRUE(fs::exists(deep / "24" / "deepest.log"));
  EXPECT_FALSE(fs::exists(Root() / "temp" / "goes.log"));
  EXPECT_TRUE(fs::exists(Root() / "temp" / "readonly.log"));
  EXPECT_TRUE(fs::exists(Outside() / "card" / "temp" / "away.log"));
  if (immutable) {
    EXPECT_TRUE(fs::exists(Root() / "Windows" / "x.CAB"));
    SetInodeFlags(Root() / "Windows" / "x.CAB", 0);
  } else {
    std::printf("not checked: the immutable flag cannot be set here\n");
  }
}

// A signal while the run goes: the run winds down, stores what it removed
// and lists all of it; the list, the statistics and the disk agree. A
// second signal right after the first ends the process, and user.reg is
// still whole: the next run reads it.
TEST_F(WatchTest, ASignalWindsTheRunDownAndLosesNothing)
{
  for (std::pair<int, bool> signalled : {std::pair{SIGINT, false}, {SIGTERM, false}, {SIGINT, true}}) {
    const int signal = signalled.first;
    const bool twice = signalled.second;
    SCOPED_TRACE(std::to_string(signal) + (twice ? " twice" : ""));
    Write(device_ / "user.reg", kHeader);
    std::set<std::string> made;
    for (int folder = 0; folder < 10; ++folder) {
      for (int file = 0; file < 200; ++file) {
        std::string name = "temp/" + std::to_string(folder) + "/" + std::to_string(file) + ".log";
        Write(Root() / name, "abc");
        std::replace(name.begin(), name.end(), '/', '\\');
        made.insert("\\" + name);
      }
    }
    // The run is held up by its list on a full pipe; the signal comes once
    // 50 lines are out.
    Outcome run = Run("--verbose", false, std::chrono::milliseconds(300), 50,
                      [signal, twice](pid_t child) {
                        kill(child, signal);
                        if (twice) {
                          // Once the first one has been taken.
                          std::this_thread::sleep_for(std::chrono::milliseconds(20));
                          kill(child, signal);
                        }
                      });
    EXPECT_EQ(run.status, 128 + signal) << run.err;
    if (twice) {
      Outcome next = Run("--preview", false, std::chrono::milliseconds(0));
      EXPECT_EQ(next.status, 0) << next.err;
      fs::remove_all(Root() / "temp");
      continue;
    }
    EXPECT_THAT(run.out, HasSubstr("What this run removed before it was interrupted:"));
    EXPECT_THAT(run.out, HasSubstr("The run was interrupted"));
    std::set<std::string> listed;
    for (const Listed &file : FilesListed(run.out)) {
      listed.insert(file.path);
    }
    EXPECT_GT(listed.size(), 0u);
    EXPECT_LT(listed.size(), made.size());
    std::set<std::string> left = DeviceFiles();
    for (const std::string &path : made) {
      EXPECT_NE(listed.count(path) == 1, left.count(path) == 1) << path;
    }
    char stored[40];
    std::snprintf(stored, sizeof stored, "\"File\"=dword:%08zx\n", listed.size());
    EXPECT_THAT(Read(device_ / "user.reg"), HasSubstr(stored));
    fs::remove_all(Root() / "temp");
  }
}

// --json: one object on the last line of stdout, whose categories add up
// to its totals and to what the list says each category removed, and which
// carries the warnings (here of misspelt names); --list and the manual page
// carry the device program's own table.
TEST_F(WatchTest, TheJsonSummaryParsesAndAddsUpAndTheCategoriesAreListed)
{
  fs::remove_all(device_);
  MakeSampleDevice(device_);
  std::ofstream(device_ / "user.reg", std::ios::app)
      << "\n[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n\"storagecard\"=\"0\"\n"
         "\"File\"=dword:00000000\n\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Tarvel]\n\n"
         "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvell]\n\n"
         "[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel\\Below]\n";
  Outcome run = Run("--verbose --json", false, std::chrono::milliseconds(0));
  ASSERT_EQ(run.status, 0) << run.err;
  std::string json = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
  std::map<std::string, long long> listedFiles, listedBytes;
  for (const Listed &file : FilesListed(run.out)) {
    ++listedFiles[file.category];
    listedBytes[file.category] += file.size;
  }
  std::string expected = "{";
  for (const auto &[category, files] : listedFiles) {
    expected += "'" + category + "': (" + std::to_string(files) + ", " +
                std::to_string(listedBytes[category]) + "), ";
  }
  expected += "}";
  // python3 parses it (the main job needs python3 anyway) and checks it.
  Write(base_ / "summary.json", json);
  std::string check =
      "import json, sys\n"
      "s = json.load(open(sys.argv[1]))\n"
      "listed = " + expected + "\n"
      "cats = s['categories']\n"
      "assert s['mode'] == 'run' and not s['interrupted'] and s['stored'], s\n"
      "assert [c['name'] for c in cats] == ['Temp', 'Tele', 'WS', 'CAB', 'SC'], cats\n"
      "assert all(c['ran'] for c in cats)\n"
      "assert sum(c['files'] for c in cats) == s['total']['files'] > 0, s\n"
      "assert sum(c['bytes'] for c in cats) == s['total']['bytes'] > 0, s\n"
      "assert s['lifetime'] == s['total'], s\n"
      "assert {c['name']: (c['files'], c['bytes']) for c in cats if c['files']} == listed, "
      "(cats, listed)\n"
      "assert sum(c['stayed'] for c in cats) == "
      "sum(sum(c['stayed_by_reason'].values()) for c in cats)\n"
      "w = s['warnings']\n"
      "assert len(w) == 3, w\n"
      "assert '\"storagecard\"' in w[0] and w[0].endswith('\"storage card\"'), w\n"
      "assert 'HKEY_CURRENT_USER\\\\SOFTWARE\\\\Halvorn\\\\Tarvell ' in ' '.join(w), w\n"
      "assert 'HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Halvorn\\\\Tarvel ' in ' '.join(w), w\n";
  Write(base_ / "check.py", check);
  EXPECT_EQ(std::system(("python3 '" + (base_ / "check.py").string() + "' '" +
                         (base_ / "summary.json").string() + "'")
                            .c_str()),
            0)
      << json;
  EXPECT_THAT(run.out, Not(HasSubstr("What this run removed")));

  // Every folder and gate of the table, in --list and in the manual page.
  Outcome list = Run("--list", false, std::chrono::milliseconds(0));
  EXPECT_EQ(list.status, 0);
  std::string manual = Read(TARVEL_MANUAL);
  for (const CleanupCategory &category : kCleanupCategories) {
    std::string name = tarvel::Utf16ToUtf8(category.name);
    EXPECT_THAT(list.out, HasSubstr("(" + name + "): "));
    if (category.gateOption) {
      std::string gate = tarvel::Utf16ToUtf8(category.gateOption);
      EXPECT_THAT(list.out, HasSubstr("\"" + gate + "\""));
      EXPECT_NE(manual.find(gate), std::string::npos) << gate;
    }
    for (int i = 0; i < category.callCount; ++i) {
      std::string folder = tarvel::Utf16ToUtf8(category.calls[i].folder);
      EXPECT_THAT(list.out, HasSubstr(" " + folder + "\n"));
      std::string escaped = std::regex_replace(folder, std::regex("\\\\"), "\\e");
      EXPECT_NE(manual.find(escaped), std::string::npos) << folder;
    }
  }

  // An output that cannot be written: status 1, the run done and stored.
  fs::remove_all(device_ / "root" / "temp");
  Write(Root() / "temp" / "one.log", "1");
  std::string full = "TARVEL_DEVICE='" + device_.string() + "' '" TARVEL_BINARY
                     "' -v >/dev/full 2>/dev/null";
  int status = std::system(full.c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  EXPECT_FALSE(fs::exists(Root() / "temp" / "one.log"));
}

// The progress line: on a terminal, while a run takes more than a second
// (here held up by its list), drawn and then cleared; never elsewhere.
TEST_F(WatchTest, ProgressIsShownOnlyOnATerminal)
{
  Write(device_ / "user.reg", kHeader);
  for (int file = 0; file < 400; ++file) {
    Write(Root() / "temp" / ("some-file-name-" + std::to_string(file) + ".log"), "abc");
  }
  Outcome onTerminal = Run("--verbose", true, std::chrono::milliseconds(2000));
  EXPECT_EQ(onTerminal.status, 0) << onTerminal.err;
  EXPECT_THAT(onTerminal.err, HasSubstr("\rtarvel: temporary folders (Temp): "));
  EXPECT_THAT(onTerminal.err, HasSubstr(" bytes removed so far\x1b[K"));
  EXPECT_TRUE(onTerminal.err.ends_with("\r\x1b[K")) << onTerminal.err;

  for (int file = 0; file < 400; ++file) {
    Write(Root() / "temp" / ("some-file-name-" + std::to_string(file) + ".log"), "abc");
  }
  Outcome elsewhere = Run("--verbose", false, std::chrono::milliseconds(1600));
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
  EXPECT_THAT(elsewhere.err, Not(HasSubstr("so far")));
  EXPECT_THAT(elsewhere.err, Not(HasSubstr("\r")));
  EXPECT_EQ(FilesListed(elsewhere.out).size(), 400u);
}

}  // namespace
