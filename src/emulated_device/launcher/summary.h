// What tarvel shows of a run on standard output besides the bubbles: the
// list of removals as they go, and after the run a summary of what each
// category removed, from the statistics the run stored in user.reg.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "run_options.h"
#include "stats/stats.h"

namespace tarvel::launcher {

// Counts the removals of the run and, when asked, lists them on stdout:
// one line a removal, its device path, a tab and its size, or a folder's
// path with a trailing backslash. The list ends at the first write that
// stdout does not take (a reader that went away); the run goes on.
class RemovalList {
 public:
  explicit RemovalList(bool shown) : shown_(shown) {}
  void Removed(std::u16string_view path, std::optional<std::uint64_t> size);

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

// The summary after a run: what each category removed, whether it ran or
// which value switched it off, the run's total and the lifetime totals,
// from the statistics stored before and after the run. When the run's
// registry changes did not all reach user.reg (`notStored`), only the
// list's count is shown. A disabled run says so.
void PrintSummary(const Statistics &before, const CategoryGates &gates, bool preview,
                  const RemovalList &removals, bool notStored);

}  // namespace tarvel::launcher
