// The emulated device: the state behind the platform calls of the host
// build, and what its start-up and tests use of it.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "coredll.h"
#include "reg_file.h"

namespace tarvel::host {

// Opens the device folder (which must exist and hold root/): the file
// system is root/, the registry user.reg. Gives an error text on failure.
std::optional<std::string> OpenDevice(const std::string &deviceFolder);

// Releases the device opened last; open searches and keys are forgotten.
void CloseDevice();

// The largest user.reg the store reads.
constexpr std::size_t kLargestRegistryFile = 64u << 20;

// Reads user.reg as the registry calls will: nothing when it can be used
// (or is absent), else why not, as the rest of a sentence that begins with
// the file's name (":LINE:COLUMN: ..." for a file that does not parse).
std::optional<std::string> CheckRegistryFile();

// For tests: called by every registry write just before it checks that
// user.reg is still the file it read and replaces it.
void SetBeforeReplaceHook(std::function<void()> hook);

// Where TARVEL_TRACE lines go; empty for none. Gives why the file cannot
// be written to, if it cannot.
std::optional<std::string> SetTraceFile(const std::string &path);

// The Win32 error of the last failed file call on this thread.
DWORD LastError();

// The instance handle of the program, whose resources hold icon group 101.
HINSTANCE ProgramInstance();

}  // namespace tarvel::host
