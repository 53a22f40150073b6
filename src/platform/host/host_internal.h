// What the parts of the emulated device share among themselves.
#pragma once

#include <string>

#include "coredll.h"

namespace tarvel::host {

// The device folder and its root/, as descriptors; -1 when no device is
// open.
int DeviceFolderFd();
int RootFd();

// Appends one line to the trace, if one is being written.
void Trace(const std::string &line);

void SetLastError(DWORD error);

// Called by CloseDevice for each part's own state.
void ForgetFileSearches();
void ForgetRegistry();

}  // namespace tarvel::host
