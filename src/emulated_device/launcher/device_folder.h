// The device folder: where the environment says it is, what makes a folder
// a device, making the default one, and the device lock. The folder is
// opened once; from then on everything about it is asked and done through
// that descriptor, never by looking its name up again.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvel::launcher {

// Where the device folder is, as the environment names it.
struct DeviceLocation {
  std::string path;
  // How it was named, for messages: "TARVEL_DEVICE=..." or the default's path.
  std::string namedAs;
  // Whether TARVEL_DEVICE names it: such a folder is never made, so that a
  // typo never becomes a new device.
  bool named = false;
  // For the default: the folder that must exist for it to be made
  // ($XDG_DATA_HOME or $HOME), how to name it in a message ("HOME="), and
  // the folders to make below it ("tarvel/device").
  std::string madeUnder;
  std::string madeUnderName;
  std::string madeBelow;
};

// Finds the device folder that the environment names. Gives why it names
// none that can be used (a message for stderr), changing nothing.
std::optional<std::string> LocateDevice(DeviceLocation &location);

// Whether two statuses are of one file: the same device and inode.
bool SameFile(const struct stat &a, const struct stat &b);

// Whether the folder open in `folderFd` is the folder of identity
// (`device`, `inode`) or lies below it: whether that folder is on the chain
// of folders that hold it, followed up through "..".
bool LiesBelow(int folderFd, dev_t device, ino_t inode);

// The device folder of the run, taken: opened once, locked for the whole
// run, and made a device when it was new. Until Keep() what was made for it
// is removed again when it goes (a run refused after that leaves nothing
// behind); the lock is held until it goes.
class TakenDevice {
 public:
  TakenDevice() = default;
  TakenDevice(const TakenDevice &) = delete;
  TakenDevice &operator=(const TakenDevice &) = delete;
  ~TakenDevice();

  // The run goes ahead: what was made stays.
  void Keep();

  // The device folder, opened and locked.
  int Fd() const { return folderFd_; }
  // Its path, as the kernel has it for the descriptor.
  const std::string &Folder() const { return folder_; }
  // What this run made of the device ("the folder", "root/", "user.reg"),
  // in the order made; empty when it was a device already.
  const std::vector<std::string> &MadeNow() const { return madeNames_; }

 private:
  friend std::optional<std::string> TakeDevice(const DeviceLocation &, bool, TakenDevice &);
  friend std::optional<std::string> MakeDefaultFolder(const DeviceLocation &, TakenDevice &);
  // Records that this run made the entry `name` in the folder open in
  // `parentFd`, which now has the status `made`.
  void Made(int parentFd, const std::string &name, const std::string &label, bool isFolder);

  // What a refused run removes again: an entry named in a folder held open,
  // removed only while it is still the one made (same device and inode).
  struct MadeEntry {
    int parentFd;  // a descriptor of its own
    std::string name;
    dev_t device;
    ino_t inode;
    bool isFolder;
  };

  std::string folder_;
  int folderFd_ = -1;
  std::vector<MadeEntry> made_;
  std::vector<std::string> madeNames_;
};

// Takes the device folder for a run: opens it once (TARVEL_DEVICE may name a
// link to it, followed by that one open), makes the default one when it is
// absent (only when `mayMake`: a preview makes nothing; a named one never),
// takes its lock (waiting for another run, said once on stderr) and,
// holding it, checks that the name still leads to the folder locked, that
// this folder is a device, and makes it one. Gives why not, having left
// everything as it was.
std::optional<std::string> TakeDevice(const DeviceLocation &location, bool mayMake,
                                      TakenDevice &device);

}  // namespace tarvel::launcher
