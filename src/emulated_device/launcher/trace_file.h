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
  // exists, and it does not lie inside the device folder. An existing file
  // is opened here and kept open, so that a pipe's reader sees one writer.
  // Gives why not, a message for stderr.
  std::optional<std::string> Check(const std::string &path, const std::string &deviceFolder);

  // Makes the file when it is absent and starts the trace. Gives why not.
  std::optional<std::string> Start();

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace tarvel::launcher
