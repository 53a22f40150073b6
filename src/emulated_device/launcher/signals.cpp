// Ctrl-C and SIGTERM during a run.
#include "signals.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "host.h"

namespace tarvel::launcher {

namespace {

// 0 while the run goes, then the signal that wound it down, or kEnded once
// it ended without one.
constexpr int kEnded = -1;
std::atomic<int> runState{0};
// Taken before the handlers are set, as isatty is no call for a handler.
bool stderrIsTerminal = false;
static_assert(std::atomic<int>::is_always_lock_free, "set in a signal handler");

// Only async-signal-safe calls: an atomic exchange, sigaction, write.
void OnSignal(int signal)
{
  int state = 0;
  const char *message;
  if (runState.compare_exchange_strong(state, signal)) {
    tarvel::host::WindDown();
    message =
        "tarvel: interrupted: the run ends its searches, removes nothing more and stores what "
        "it removed (once more to stop at once)\n";
  } else if (state == kEnded) {
    message = "tarvel: the run has already ended; what it removed is being stored and "
              "reported (once more to stop at once)\n";
  } else {
    return;  // the handlers are reset below; a signal raced in meanwhile
  }
  // The next SIGINT or SIGTERM takes its default course and ends the
  // process.
  struct sigaction usual = {};
  usual.sa_handler = SIG_DFL;
  sigaction(SIGINT, &usual, nullptr);
  sigaction(SIGTERM, &usual, nullptr);
  // On a terminal the progress line, if any, makes way for the message.
  const char *start = stderrIsTerminal ? "\r\033[K" : "\n";
  ssize_t ignored = write(STDERR_FILENO, start, std::strlen(start));
  ignored = write(STDERR_FILENO, message, std::strlen(message));
  (void)ignored;
}

}  // namespace

void WindDownOnSignals()
{
  stderrIsTerminal = isatty(STDERR_FILENO) == 1;
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  // A call the signal meets goes on, so that no write of the list fails
  // with EINTR.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

SignalsHeld::SignalsHeld()
{
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &both, &before_);
}

SignalsHeld::~SignalsHeld()
{
  pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

int RunEnded()
{
  int state = 0;
  return runState.compare_exchange_strong(state, kEnded) ? 0 : state;
}

}  // namespace tarvel::launcher
