// What the parts of the emulated device share among themselves.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include "coredll.h"
#include "owned_fd.h"

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

// --- The file layer, and the seam its preview overlay fits in ---

// Opens `name` in `folder` without following a link and without leaving
// the folder (so never root/): a descriptor, or -1 with errno set.
int OpenBeneath(int folder, const char *name, int flags);

// The status of the entry `name` in `folder`, the link itself for a link;
// as fstatat: 0, or -1 with errno set. statx, for the attributes that say
// whether the host refuses to remove the entry.
int EntryStatus(int folder, const char *name, struct statx *status);

// The device's attributes of the entry `name` in `folder`, whose status is
// `status`: FILE_ATTRIBUTE_DIRECTORY from its type, READONLY from its mode
// or DOS attributes, the rest from its DOS attributes, NORMAL if none.
DWORD DeviceAttributes(int folder, const char *name, const struct statx &status);

// Reads a folder's names, but "." and "..", from its start, one batch of
// host entries at a time, so that reading a folder of any size takes the
// same small memory.
class FolderReader {
 public:
  // Reads the folder `folder` is open on through a descriptor of its own, so
  // that a reading of `folder` itself goes on undisturbed.
  explicit FolderReader(int folder);
  // Reads through `folder` itself.
  explicit FolderReader(Fd folder);
  int fd() const { return folder_.get(); }
  // The next host name, or nullptr once there is none (or the folder cannot
  // be read). Valid until the next call.
  const char *Next();

 private:
  Fd folder_;
  std::unique_ptr<char[]> batch_;  // allocated at the first read
  long filled_ = 0;
  long at_ = 0;
  bool ended_ = false;
};

// What a layer over the files learns of a folder, kept as long as the
// folder is open in the file layer (for a search, until it is closed).
struct FolderMemo {
  virtual ~FolderMemo() = default;
};

// What deleting a file and removing a folder do to the host's files. The
// run's layer unlinks; a preview puts its own in place (PreviewFileChanges).
class FileChanges {
 public:
  virtual ~FileChanges() = default;
  // As unlinkat of the entry `name` in `folder`, whose status is `entry`:
  // 0, or -1 with errno set. `memo` is the folder's, empty at first.
  virtual int Unlink(int folder, std::unique_ptr<FolderMemo> &memo, const char *name,
                     const struct statx &entry, int flags) = 0;
  // Whether the entry `name` in `folder` is gone for the device. Asked
  // before the entry's status is taken, so that an entry gone costs no
  // status query. `memo` is the folder's, as for Unlink.
  virtual bool Hidden(int folder, std::unique_ptr<FolderMemo> &memo, const char *name) const = 0;
};

// Puts `changes` in place of the file layer's changes for the rest of the
// device's life.
void SetFileChanges(std::unique_ptr<FileChanges> changes);

// Called by CloseDevice for each part's own state.
void ForgetFileSearches();
void ForgetRegistry();

}  // namespace tarvel::host
