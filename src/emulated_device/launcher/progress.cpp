// The progress line on stderr.
#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "run_options.h"

namespace tarvel::launcher {

namespace {

// A count in groups of three digits, as the summary writes counts.
std::string Grouped(std::uint64_t count)
{
  std::string digits = std::to_string(count);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

// The terminal's width, or 80 when it does not say.
std::size_t Columns()
{
  struct winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return 80;
}

// "A second", "a few times a second": chosen so that a short run shows
// nothing and a long one does not redraw more than a terminal shows.
constexpr auto kQuietStart = std::chrono::seconds(1);

}  // namespace

Progress::Progress(const RunWatch &watch, bool preview)
    : watch_(watch),
      preview_(preview),
      shown_(isatty(STDERR_FILENO) == 1),
      sharesTerminal_(isatty(STDOUT_FILENO) == 1),
      start_(std::chrono::steady_clock::now())
{
}

void Progress::Tick()
{
  if (!shown_ || std::chrono::steady_clock::now() - start_ < kQuietStart) {
    return;
  }
  std::string line = "tarvel: " + CategoryInWords(watch_.Category()) + ": " +
                     Grouped(watch_.FilesSoFar()) + " files, " + Grouped(watch_.BytesSoFar()) +
                     (preview_ ? " bytes would go so far" : " bytes removed so far");
  // One line that never wraps, so that a carriage return takes it back.
  std::size_t width = Columns() - 1;
  if (line.size() > width) {
    line.resize(width);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) {
    return;
  }
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::Clear()
{
  if (drawn_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }
}

void Progress::MakeWayForOutput()
{
  if (!sharesTerminal_ || !drawn_) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Clear();
}

void Progress::End()
{
  std::lock_guard<std::mutex> lock(mutex_);
  Clear();
  ended_ = true;
}

}  // namespace tarvel::launcher
