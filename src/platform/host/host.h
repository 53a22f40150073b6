// The emulated device: the state behind the platform calls of the host
// build, and what its start-up and tests use of it.
#pragma once

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

// Reads user.reg as the registry calls will: nothing when it parses (or is
// absent), else where and why it does not.
std::optional<regfile::ParseError> CheckRegistryFile();

// Where TARVEL_TRACE lines go; empty for none.
void SetTraceFile(const std::string &path);

// The Win32 error of the last failed file call on this thread.
DWORD LastError();

// The instance handle of the program, whose resources hold icon group 101.
HINSTANCE ProgramInstance();

}  // namespace tarvel::host
