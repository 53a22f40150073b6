// The command line of tarvel: its options, read as getopt_long reads them,
// the help and version texts, and the environment variables it reads.
#pragma once

#include <optional>
#include <string>

namespace tarvel::launcher {

// The exit status of a run that could not start: the command line, the
// environment, the device folder or user.reg cannot be used.
constexpr int kCannotStart = 2;

// The exit status of a run, or of --help, --version or --list, whose output
// standard output did not take (a full disk): the run itself was done.
constexpr int kOutputFailed = 1;

// What the command line asks for.
struct Request {
  bool help = false;
  bool version = false;
  bool preview = false;
  bool verbose = false;
  bool list = false;      // --list: the categories, then exit
  bool json = false;      // --json: the summary as one JSON object
  bool realTime = false;  // --real-time: the device's waits are waited
  // --exe: the handheld's program to run on the emulated ARM processor
  // instead of the built-in device program; --exe-base: where to load it.
  std::string exe;
  std::string exeBase;
};

// Reads the command line: nothing when it cannot be used, after saying why
// on stderr.
std::optional<Request> ReadCommandLine(int argc, char **argv);

// An environment variable's value; an unset one is empty.
std::string Variable(const char *name);

// The exit status once stdout has taken everything: kOutputFailed when it
// could not (a full disk, a closed pipe), said on stderr.
int FinishOutput();

// Show the help or the version on stdout and give the exit status: 0, or 1
// when stdout did not take it (said on stderr).
int ShowHelp();
int ShowCategories();  // --list: categories.cpp
int ShowVersion();

}  // namespace tarvel::launcher
