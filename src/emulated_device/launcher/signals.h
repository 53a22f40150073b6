// Ctrl-C and SIGTERM during a run: the first makes the run wind down
// through its normal end (the device ends its searches and removes nothing
// more, then stores its statistics as at the end of any run), so that what
// was removed is listed and counted; a second one ends the process at once,
// which still leaves user.reg whole, as every replace of it is atomic.
#pragma once

#include <csignal>

namespace tarvel::launcher {

// From now on, SIGINT and SIGTERM wind the run down (tarvel::host::WindDown).
void WindDownOnSignals();

// While one lives, SIGINT and SIGTERM wait on this thread; a thread
// started meanwhile keeps them blocked for good. So the handler runs on
// the launcher's thread, never on the device's, whose calls it would
// otherwise interrupt.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld &) = delete;
  SignalsHeld &operator=(const SignalsHeld &) = delete;

 private:
  sigset_t before_;
};

// Called once the device's run has ended: the signal that asked it to wind
// down, or 0. A signal after this asked for nothing the run did, so it says
// so and is not reported as an interruption; the next one ends the process.
int RunEnded();

}  // namespace tarvel::launcher
