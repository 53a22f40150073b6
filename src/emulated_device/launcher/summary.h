// What tarvel shows of a run on standard output besides the bubbles: the
// list of removals as they go, and after the run a summary of what each
// category removed, from the statistics the run stored in user.reg.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "run_options.h"
#include "run_watch.h"
#include "stats/stats.h"

namespace tarvel::launcher {

// Counts the removals of the run and, when asked, lists them on stdout:
// one line a removal, its device path, a tab, its size (for a folder none,
// and its path has a trailing backslash), a tab and the short name of the
// category that removed it. The list ends at the first write that stdout
// does not take (a reader that went away); the run goes on.
class RemovalList {
 public:
  explicit RemovalList(bool shown) : shown_(shown) {}
  void Removed(std::u16string_view path, std::optional<std::uint64_t> size, int category);

  std::uint64_t Files() const { return files_; }
  std::uint64_t Bytes() const { return bytes_; }

 private:
  bool shown_;
  std::uint64_t files_ = 0;
  std::uint64_t bytes_ = 0;
};

// The statistics values as stored, in the order of the device's table
// (kLifetimeValues), each as the run reads it.
using Statistics = std::array<std::optional<std::uint32_t>, LIFETIME_VALUE_COUNT>;
Statistics StoredStatistics();

// What a run did, for the summary and its JSON form.
struct RunSummary {
  std::string device;    // the device folder
  bool preview = false;
  bool disabled = false;  // "disable" was set: nothing ran
  bool stored = true;     // every registry change of the run reached user.reg
  int interruptedBy = 0;  // the signal that wound the run down, or 0
  bool keepListUsable = true;  // an unusable keep list makes the run remove nothing
  struct Category {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::optional<std::string> switchedOffBy;  // the value's name; nothing: it ran
  };
  std::array<Category, CLEANUP_CATEGORY_COUNT> categories;
  std::uint64_t files = 0;  // the run's total
  std::uint64_t bytes = 0;
  // The lifetime totals as stored (for a preview, as they would be):
  // nothing when the statistics were not stored.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> lifetime;
};

// What each category removed and the totals, from the statistics stored
// before and after the run; when they were not all stored (`notStored`),
// from the list's own counts, and no lifetime totals.
RunSummary SummarizeRun(const Statistics &before, const CategoryGates &gates,
                        const RemovalList &removals, const RunWatch &watch, bool notStored);

// The summary after a run: what each category removed, whether it ran or
// which value switched it off, the run's total and the lifetime totals;
// what stayed, by category and reason, and what the device could not see.
// When the run's registry changes did not all reach user.reg, only the
// list's count is shown. A disabled run says so, an interrupted one too,
// and the keep list's line follows: how many entries it kept, or that it
// could not be used and so nothing was removed.
void PrintSummary(const RunSummary &summary, const RunWatch &watch);

// The same as one JSON object on one line (json_summary.cpp), with the
// warnings given before the run.
void PrintJsonSummary(const RunSummary &summary, const RunWatch &watch,
                      const std::vector<std::string> &warnings);

}  // namespace tarvel::launcher
