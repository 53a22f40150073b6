// What the parts of the emulated device share among themselves.
#pragma once

#include <string>

#include "coredll.h"

namespace tarvel::host {

// The device folder and its root/, as descriptors; -1 when no device is
// open.
int DeviceFolderFd();
int RootFd();

// Whether a trace is being written, and its line writer.
bool Tracing();
void WriteTraceLine(const std::string &line);

// Appends the line `compose()` gives to the trace. The line is composed only
// while a trace is being written: a run without one formats nothing.
template <typename Compose>
void Trace(Compose compose)
{
  if (Tracing()) {
    WriteTraceLine(compose());
  }
}

void SetLastError(DWORD error);

// Called by StartPreview: each part plays its changes out instead of making
// them.
void PreviewFileChanges();
void PreviewRegistryChanges();
void PreviewShell();

// Called by CloseDevice for each part's own state.
void ForgetFileSearches();
void ForgetRegistry();

}  // namespace tarvel::host
