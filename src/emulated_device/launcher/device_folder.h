// The device folder: where the environment says it is, what makes a folder
// a device, making one, and the device lock.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvel::launcher {

// Where the device folder is, as the environment names it.
struct DeviceLocation {
  std::string path;
  // How it was named, for messages: "TARVEL_DEVICE=..." or the default's path.
  std::string namedAs;
  // The folder that must exist for an absent device to be made: the parent
  // of a named folder, $XDG_DATA_HOME or $HOME for the default; and how to
  // name it in a message ("the folder ", "HOME=").
  std::string madeUnder;
  std::string madeUnderName;
};

// Finds the device folder that the environment names. Gives why it names
// none that can be used (a message for stderr), changing nothing.
std::optional<std::string> LocateDevice(DeviceLocation &location);

// Whether `path` lies inside `folder` (an existing folder), links resolved:
// whether the folder is on the chain of folders that hold it. A path that
// does not exist is taken by the folder it would be made in.
bool LiesInside(const std::string &path, const std::string &folder);

// The device folder of the run, taken: locked for the whole run, and made a
// device when it was new. Until Keep() what was made for it is removed again
// when it goes (a run refused after that leaves nothing behind); the lock
// is held until it goes.
class TakenDevice {
 public:
  TakenDevice() = default;
  TakenDevice(const TakenDevice &) = delete;
  TakenDevice &operator=(const TakenDevice &) = delete;
  ~TakenDevice();

  // The run goes ahead: what was made stays.
  void Keep() { made_.clear(); }

  // The folder, links resolved.
  const std::string &Folder() const { return folder_; }
  // What this run made of the device ("the folder", "root/", "user.reg"),
  // in the order made; empty when it was a device already.
  const std::vector<std::string> &MadeNow() const { return madeNames_; }

 private:
  friend std::optional<std::string> TakeDevice(const DeviceLocation &, bool, TakenDevice &);
  void Made(const std::string &path, const std::string &name);

  std::string folder_;
  int lockFd_ = -1;
  std::vector<std::string> made_;
  std::vector<std::string> madeNames_;
};

// Takes the device folder for a run: checks that it is or can become a
// device, makes an absent one (only in a folder that exists, and only when
// `mayMake`: a preview makes nothing), takes its lock (waiting for another
// run, said once on stderr) and, holding it, makes it a device. Gives why
// not, having left everything as it was.
std::optional<std::string> TakeDevice(const DeviceLocation &location, bool mayMake,
                                      TakenDevice &device);

}  // namespace tarvel::launcher
