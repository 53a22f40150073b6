// The command line of tarvel. The device program has none; the launcher
// takes the usual options of a Linux program and refuses any other argument.
#include "command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarvel::launcher {

namespace {

// Every line under 80 columns.
const char kUsage[] =
    "Usage: tarvel [OPTION]...\n"
    "Runs one clean-up of Tarvel, the storage clean-up tool of Windows CE\n"
    "handhelds, on an emulated device, as the handheld runs it at each launch:\n"
    "it deletes temporary files, the browser's caches, cookies and history,\n"
    "*.tmp and *.temp files, files with the temporary attribute, *.CAB installer\n"
    "archives and storage-card temporaries from a fixed list of folders (see\n"
    "--list), adds what it removed to the lifetime totals in the registry, shows\n"
    "its two notification bubbles and then a summary on standard output. Registry\n"
    "values under HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel steer it; the device\n"
    "reads a value only when its data fits 4 bytes, and takes it as set when its\n"
    "first byte is the character \"1\" (such as \"1\"; not dword:00000001, \"on\" or\n"
    "\"off\").\n"
    "tarvel warns before the run about values that will not do what they say.\n"
    "\n"
    "Options:\n"
    "  -n, --preview    play the run out without changing anything, and list what\n"
    "                   it would remove\n"
    "  -v, --verbose    list what the run removes, and what stayed and why\n"
    "      --json       write the summary as one JSON object, the last line of\n"
    "                   standard output\n"
    "      --real-time  wait as the device does (5 s after the result bubble);\n"
    "                   without it the device's waits pass at once\n"
    "      --list       list each category: the value that switches it off, the\n"
    "                   folders and patterns it cleans, and exit\n"
    "      --exe=FILE   run FILE, the handheld's own tarvel.exe (a Windows CE ARM\n"
    "                   program), on an emulated StrongARM processor instead of\n"
    "                   the built-in device program; the same device, lock,\n"
    "                   preview, list, summary and trace\n"
    "      --exe-base=ADDRESS  load FILE at ADDRESS (a multiple of 0x10000)\n"
    "                   instead of its own base, applying its relocations\n"
    "  -h, --help       show this help and exit\n"
    "      --version    show the version and exit\n"
    "A list has one line a removal, in the order removed: its device path, a tab,\n"
    "its size in bytes (none for a folder, whose path ends in a backslash), a tab\n"
    "and the category's short name. Lines about what stayed do not begin with \\.\n"
    "On a terminal, a run of more than a second shows its progress on stderr.\n"
    "What the keep list (\"keep\", see tarvel-keep) kept is a line \"kept PATH\".\n"
    "\n"
    "Environment:\n"
    "  TARVEL_DEVICE    the device folder (default:\n"
    "                   ${XDG_DATA_HOME:-$HOME/.local/share}/tarvel/device);\n"
    "                   only the default is made when absent; a named one that\n"
    "                   does not exist is refused\n"
    "  TARVEL_TRACE     a file, outside the device folder, to append every\n"
    "                   platform call of the run to\n"
    "  TARVEL_CODEPAGE  the code page of a REGEDIT4 user.reg that is not UTF-8\n"
    "                   (default: WINDOWS-1252; any name iconv knows, such as CP949)\n"
    "\n"
    "The device folder:\n"
    "  root/            the device's file system: root/Windows/temp is \\Windows\\temp\n"
    "  user.reg         the current user's registry, in the registry editor's\n"
    "                   text format\n"
    "A folder is a device when it holds user.reg, or nothing but root/. tarvel\n"
    "names on stderr the device folder it uses, and says when it made it.\n"
    "\n"
    "Exit status: 0 after a clean-up run (also one that the registry disables);\n"
    "1 when standard output could not be written (the run itself was done);\n"
    "2 when the device, user.reg, the environment, the command line or the --exe\n"
    "program cannot be used, and then nothing was done, or when the --exe\n"
    "program was stopped while it ran; 130 (143) when Ctrl-C (SIGTERM) ended the\n"
    "run early: it stopped removing and stored what it had removed.\n"
    "See tarvel(1).\n";

// Says on stderr, as getopt would, why the argument getopt_long just
// refused cannot be taken. glibc sets optopt to the character of a short
// option that is not known, to the value of a long option given an
// argument it does not take, and to 0 for a long option that is not known
// or is the beginning of several, and to the value of a long option that
// requires an argument and is given none; optind has then passed the long option,
// while a short one may sit within a cluster such as "-xn", so a short one
// is named by its character alone.
void SayWhyNot(const option *options, char **argv)
{
  const char *help = "; try 'tarvel --help'";
  const option *taken = nullptr;  // the long option given an argument, or given none
  for (const option *known = options; known->name != nullptr && optopt != 0; ++known) {
    if (known->val == optopt) {
      taken = known;
    }
  }
  if (optopt != 0 && taken == nullptr) {
    std::fprintf(stderr, "tarvel: unknown option '-%c'%s\n", static_cast<char>(optopt), help);
    return;
  }
  if (taken != nullptr) {
    std::fprintf(stderr, "tarvel: option '--%s' %s%s\n", taken->name,
                 taken->has_arg == no_argument ? "doesn't allow an argument" : "requires an argument",
                 help);
    return;
  }
  std::string written = argv[optind - 1];
  std::string name = written.substr(0, written.find('='));
  std::string candidates;
  int count = 0;
  for (const option *known = options; known->name != nullptr; ++known) {
    if ((std::string("--") + known->name).starts_with(name)) {
      candidates += std::string(" '--") + known->name + "'";
      ++count;
    }
  }
  if (count > 1) {
    std::fprintf(stderr, "tarvel: option '%s' is ambiguous; possibilities:%s%s\n", name.c_str(),
                 candidates.c_str(), help);
  } else {
    std::fprintf(stderr, "tarvel: unknown option '%s'%s\n", written.c_str(), help);
  }
}

}  // namespace

int FinishOutput()
{
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tarvel: cannot write to standard output: %s\n", std::strerror(errno));
    return kOutputFailed;
  }
  return 0;
}

std::optional<Request> ReadCommandLine(int argc, char **argv)
{
  // Outside the range of a character, so that no short option in error
  // (whose optopt is its character) is taken for it.
  enum { kVersion = 256, kList, kJson, kRealTime, kExe, kExeBase };
  const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                             {"version", no_argument, nullptr, kVersion},
                             {"preview", no_argument, nullptr, 'n'},
                             {"verbose", no_argument, nullptr, 'v'},
                             {"list", no_argument, nullptr, kList},
                             {"json", no_argument, nullptr, kJson},
                             {"real-time", no_argument, nullptr, kRealTime},
                             {"exe", required_argument, nullptr, kExe},
                             {"exe-base", required_argument, nullptr, kExeBase},
                             {nullptr, 0, nullptr, 0}};
  Request request;
  opterr = 0;  // the messages below name the argument in the launcher's own words
  optind = 1;
  for (int c; (c = getopt_long(argc, argv, "hnv", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'h':
        request.help = true;
        break;
      case kVersion:
        request.version = true;
        break;
      case 'n':
        request.preview = true;
        break;
      case 'v':
        request.verbose = true;
        break;
      case kList:
        request.list = true;
        break;
      case kJson:
        request.json = true;
        break;
      case kRealTime:
        request.realTime = true;
        break;
      case kExe:
      case kExeBase:
        if (*optarg == '\0') {
          std::fprintf(stderr, "tarvel: option '--%s' requires an argument; try 'tarvel --help'\n",
                       c == kExe ? "exe" : "exe-base");
          return std::nullopt;
        }
        (c == kExe ? request.exe : request.exeBase) = optarg;
        break;
      default:
        SayWhyNot(kOptions, argv);
        return std::nullopt;
    }
  }
  if (!request.exeBase.empty() && request.exe.empty()) {
    std::fprintf(stderr, "tarvel: --exe-base needs --exe; try 'tarvel --help'\n");
    return std::nullopt;
  }
  if (optind < argc) {
    std::fprintf(stderr, "tarvel: takes no arguments, not '%s'; try 'tarvel --help'\n",
                 argv[optind]);
    return std::nullopt;
  }
  return request;
}

std::string Variable(const char *name)
{
  const char *value = std::getenv(name);
  return value ? value : "";
}

int ShowHelp()
{
  std::fputs(kUsage, stdout);
  return FinishOutput();
}

int ShowVersion()
{
  std::printf("tarvel %s\n", TARVEL_VERSION);
  return FinishOutput();
}

}  // namespace tarvel::launcher
