// What the launcher watches of a run while it goes: the category at work,
// what each category removed, each removal the host refused and why, and
// each entry below the cleaned folders that the device could not see.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host.h"
#include "run/run.h"

namespace tarvel::launcher {

constexpr int kRefusalKinds = 5;  // tarvel::host::Refusal
constexpr int kUnseenKinds = 8;   // tarvel::host::Unseen

// "read-only", "not UTF-8": as the summary and the JSON name them.
const char *RefusalInWords(host::Refusal why);
const char *UnseenInWords(host::Unseen why);

// Called on the device's thread as the run goes; the counts of what was
// removed so far may be read on another thread while it goes (progress),
// the rest once the run is over.
class RunWatch {
 public:
  // `listed`: the removals, what stayed and what was kept are listed on
  // stdout (--preview, --verbose).
  explicit RunWatch(bool listed) : listed_(listed) {}

  // The device program reads a category's gate value right before the
  // category, and nothing removes anything before the first category: so a
  // removal belongs to the category whose gate was read last, or to the
  // first, which has none.
  void ValueQueried(std::u16string_view name);
  void Removed(std::u16string_view path, std::optional<std::uint64_t> size);
  void Refused(std::u16string_view path, bool folder, host::Refusal why);
  void Unseen(std::u16string_view folder, std::string_view hostName, host::Unseen why);
  // An entry the keep list kept (the device's debug output), counted and
  // listed ("kept PATH") once however many walkers met it.
  void Kept(std::u16string_view path);

  int Category() const { return category_.load(std::memory_order_relaxed); }
  std::uint64_t FilesSoFar() const { return files_.load(std::memory_order_relaxed); }
  std::uint64_t BytesSoFar() const { return bytes_.load(std::memory_order_relaxed); }

  struct Removals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
  };
  // As listed, by category.
  const Removals &RemovedBy(int category) const { return removed_[category]; }
  // Counts by reason, each reason in words, in the order of the reasons;
  // those of 0 left out.
  using ReasonCounts = std::vector<std::pair<const char *, std::uint64_t>>;
  // Entries that stayed, by category and reason: each path counted once,
  // in the category that met it first.
  ReasonCounts StayedByReason(int category) const;
  std::uint64_t Stayed(int category) const;
  // Entries out of the device's sight, by reason: each counted once.
  ReasonCounts UnseenByReason() const;
  std::uint64_t UnseenTotal() const;
  // Entries the keep list kept, by category: each counted once, in the
  // category that met it first.
  std::uint64_t KeptBy(int category) const { return kept_[category]; }
  std::uint64_t KeptTotal() const { return keptPaths_.size(); }

 private:
  bool listed_;
  std::atomic<int> category_{0};
  std::atomic<std::uint64_t> files_{0};
  std::atomic<std::uint64_t> bytes_{0};
  std::array<Removals, CLEANUP_CATEGORY_COUNT> removed_{};
  std::array<std::array<std::uint64_t, kRefusalKinds>, CLEANUP_CATEGORY_COUNT> stayed_{};
  std::array<std::uint64_t, kUnseenKinds> unseen_{};
  std::array<std::uint64_t, CLEANUP_CATEGORY_COUNT> kept_{};
  std::set<std::u16string> refusedPaths_;
  std::set<std::u16string> keptPaths_;
  std::set<std::pair<std::u16string, std::string>> unseenEntries_;
};

}  // namespace tarvel::launcher
