// The progress line on stderr while a run goes, when stderr is a terminal:
// the category at work and the files and bytes removed so far, redrawn a
// few times a second once the run has taken a second, and cleared at the
// end. Nothing at all when stderr is not a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "run_watch.h"

namespace tarvel::launcher {

class Progress {
 public:
  Progress(const RunWatch &watch, bool preview);
  // Draws the line afresh, once the run has taken a second. Called by the
  // launcher's thread while it waits for the run.
  void Tick();
  // Clears the line if it is drawn and stdout writes to the terminal too, so
  // that a line written there does not land behind it. Called by the
  // device's thread before it writes on stdout; the next Tick draws again.
  void MakeWayForOutput();
  // Clears the line for good.
  void End();

 private:
  void Clear();

  const RunWatch &watch_;
  bool preview_;
  bool shown_;             // stderr is a terminal
  bool sharesTerminal_;    // stdout is a terminal too
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::atomic<bool> drawn_{false};
  bool ended_ = false;
};

}  // namespace tarvel::launcher
