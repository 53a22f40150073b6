// TARVEL_TRACE: the file that every platform call of the run is appended
// to. It is checked at start-up without making anything, and made (when
// absent) and handed to the trace writer only once the run goes ahead, so
// that a refused run leaves no trace file behind.
#pragma once

#include <optional>
#include <string>

namespace tarvel::launcher {

class TraceFile {
 public:
  TraceFile() = default;
  TraceFile(const TraceFile &) = delete;
  TraceFile &operator=(const TraceFile &) = delete;
  ~TraceFile();

  // Checks the file that TARVEL_TRACE names (empty: no trace): it can be
  // opened for writing at once, without blocking, or made in a folder that
  // exists. An existing file is opened here and kept open, so that a pipe's
  // reader sees one writer; for an absent one, the folder it goes in is.
  // Gives why not, a message for stderr.
  std::optional<std::string> Check(const std::string &path);

  // With the device folder open and locked in `deviceFd`: makes the file
  // when it is absent, checks that what is open is not inside the device
  // folder (by its identity, not its path), and starts the trace. Gives why
  // not.
  std::optional<std::string> Start(int deviceFd, const std::string &deviceFolder);

 private:
  std::optional<std::string> InsideTheDevice(int deviceFd, const std::string &deviceFolder);

  std::string path_;
  int fd_ = -1;
  int folderFd_ = -1;  // the folder an absent file is made in
  std::string name_;   // its name there
};

}  // namespace tarvel::launcher
