// The command line of tarvel: its options, read as getopt_long reads them,
// the help and version texts, and the environment variables it reads.
#pragma once

#include <optional>
#include <string>

namespace tarvel::launcher {

// The exit status of a run that could not start: the command line, the
// environment, the device folder or user.reg cannot be used.
constexpr int kCannotStart = 2;

// What the command line asks for.
struct Request {
  bool help = false;
  bool version = false;
  bool preview = false;
  bool verbose = false;
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

// Show the help or the version on stdout and give the exit status: 0, or 1
// when stdout did not take it (said on stderr).
int ShowHelp();
int ShowVersion();

}  // namespace tarvel::launcher
