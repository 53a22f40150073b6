// The list of removals and the summary after a run.
#include "summary.h"

#include <csignal>
#include <cstdio>

#include "host.h"
#include "utf16.h"

namespace tarvel::launcher {

namespace {

// A statistics value as the run reads it, into a 4-byte DWORD: nothing
// when it is absent or longer; a shorter one gives what its bytes give.
std::optional<std::uint32_t> StoredNumber(LPCWSTR name)
{
  auto data = tarvel::host::StoredValue(OptionsKeyPath(), name);
  if (!data || data->size() > sizeof(DWORD)) {
    return std::nullopt;
  }
  std::uint32_t number = 0;
  for (std::size_t i = data->size(); i-- > 0;) {
    number = (number << 8) | (*data)[i];
  }
  return number;
}

// Where a count lies in the statistics: the first value of the device's
// table that holds it ("File" before "filesDueToSC").
int ValueOf(int slot)
{
  for (int i = 0; i < LIFETIME_VALUE_COUNT; ++i) {
    if (kLifetimeValues[i].slot == slot) {
      return i;
    }
  }
  return -1;
}

// A count as the result bubble writes it: the device's signed 32-bit value,
// which wraps, in groups of three digits.
std::string Total(std::uint32_t count)
{
  char text[TOTAL_TEXT_CHARS + 1];
  FormatTotal(static_cast<LONG>(count), text);
  return text;
}

void PrintRow(const std::string &label, std::uint32_t files, std::uint32_t bytes,
              const std::string &state = "")
{
  std::printf("  %-24s%9s%15s%s%s\n", label.c_str(), Total(files).c_str(), Total(bytes).c_str(),
              state.empty() ? "" : "  ", state.c_str());
}

// Counts by reason as the summary says them: "2 read-only, 1 permission".
std::string InWords(const RunWatch::ReasonCounts &counts)
{
  std::string words;
  for (const auto &[why, count] : counts) {
    words += (words.empty() ? "" : ", ") + std::to_string(count) + " " + why;
  }
  return words;
}

// What stayed, by category and reason, and what the device could not see
// below the folders it cleans; nothing when all went. The rows carry one
// count each, so they never read as the table's rows of files and bytes.
void PrintLeftBehind(const RunWatch &watch, bool preview)
{
  bool headed = false;
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    std::uint64_t stayed = watch.Stayed(c);
    if (stayed == 0) {
      continue;
    }
    if (!headed) {
      std::printf("Stayed, as the host %s to remove them:\n",
                  preview ? "would refuse" : "refused");
      headed = true;
    }
    std::printf("  %-24s%9s  (%s)\n", CategoryInWords(c).c_str(), std::to_string(stayed).c_str(),
                InWords(watch.StayedByReason(c)).c_str());
  }
  if (std::uint64_t unseen = watch.UnseenTotal()) {
    std::printf("Out of the device's sight below the folders it cleans, so left: %s\n  (%s)\n",
                std::to_string(unseen).c_str(), InWords(watch.UnseenByReason()).c_str());
  }
}

}  // namespace

void RemovalList::Removed(std::u16string_view path, std::optional<std::uint64_t> size,
                          int category)
{
  if (size) {
    ++files_;
    bytes_ += *size;
  }
  if (!shown_ || std::ferror(stdout)) {
    return;
  }
  std::string line = Utf16ToUtf8(path);
  if (size) {
    line += '\t';
    line += std::to_string(*size);
  } else {
    line += "\\\t";
  }
  line += '\t';
  line += Utf16ToUtf8(kCleanupCategories[category].name);
  std::printf("%s\n", line.c_str());
}

Statistics StoredStatistics()
{
  Statistics values;
  for (int i = 0; i < LIFETIME_VALUE_COUNT; ++i) {
    values[i] = StoredNumber(kLifetimeValues[i].name);
  }
  return values;
}

// The run's share of a count is the difference of the stored values around
// the run, or the stored value itself when the run merged nothing ("Size"
// could not be read before it). The storage card's bytes are always the
// last run's alone; its files are counted only in the run's total, so they
// are what the total has beyond the other categories' files.
RunSummary SummarizeRun(const Statistics &before, const CategoryGates &gates,
                        const RemovalList &removals, const RunWatch &watch, bool notStored)
{
  RunSummary summary;
  summary.disabled = !tarvel::host::ResultShown();
  summary.stored = !notStored;
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    summary.categories[c].switchedOffBy = gates[c];
  }
  if (summary.disabled) {
    return summary;
  }
  if (notStored) {
    for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
      summary.categories[c].files = watch.RemovedBy(c).files;
      summary.categories[c].bytes = watch.RemovedBy(c).bytes;
    }
    summary.files = removals.Files();
    summary.bytes = removals.Bytes();
    return summary;
  }
  Statistics after = StoredStatistics();
  bool merged = before[ValueOf(TALLY_BYTES)].has_value();
  auto share = [&](int slot) -> std::uint32_t {
    int i = ValueOf(slot);
    std::uint32_t now = after[i].value_or(0);
    return merged && slot != SC_BYTES ? now - before[i].value_or(0) : now;
  };
  std::uint32_t runFiles = share(TALLY_FILES);
  std::uint32_t uncounted = runFiles;
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    if (kCleanupCategories[c].filesSlot != NO_COUNT) {
      uncounted -= share(kCleanupCategories[c].filesSlot);
    }
  }
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    const CleanupCategory &category = kCleanupCategories[c];
    summary.categories[c].files =
        category.filesSlot != NO_COUNT ? share(category.filesSlot) : uncounted;
    summary.categories[c].bytes = share(category.bytesSlot);
  }
  summary.files = runFiles;
  summary.bytes = share(TALLY_BYTES);
  summary.lifetime = {after[ValueOf(TALLY_FILES)].value_or(0),
                      after[ValueOf(TALLY_BYTES)].value_or(0)};
  return summary;
}

void PrintSummary(const RunSummary &summary, const RunWatch &watch)
{
  if (summary.disabled) {
    std::printf("\nThe run was disabled (\"disable\" is set) and removed nothing.\n");
    return;
  }
  std::string title = summary.preview ? "What a run would remove now (a preview: nothing was changed)"
                      : summary.interruptedBy != 0 ? "What this run removed before it was interrupted"
                                                   : "What this run removed";
  if (!summary.stored) {
    std::printf("\n%s: %s file(s), %s byte(s) in all, as listed.\n"
                "Not every registry change of the run reached user.reg (said on stderr), so\n"
                "what each category removed and the lifetime totals are not shown.\n",
                title.c_str(), std::to_string(summary.files).c_str(),
                std::to_string(summary.bytes).c_str());
  } else {
    std::printf("\n%s:\n  %-24s%9s%15s\n", title.c_str(), "", "files", "bytes");
    for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
      const RunSummary::Category &category = summary.categories[c];
      PrintRow(CategoryInWords(c), static_cast<std::uint32_t>(category.files),
               static_cast<std::uint32_t>(category.bytes),
               category.switchedOffBy ? "switched off by \"" + *category.switchedOffBy + "\""
                                      : "ran");
    }
    PrintRow("in all", static_cast<std::uint32_t>(summary.files),
             static_cast<std::uint32_t>(summary.bytes));
    PrintRow(summary.preview ? "lifetime totals would be" : "lifetime totals",
             static_cast<std::uint32_t>(summary.lifetime->first),
             static_cast<std::uint32_t>(summary.lifetime->second));
  }
  PrintLeftBehind(watch, summary.preview);
  if (summary.interruptedBy != 0) {
    std::printf("The run was interrupted (%s): it ended its searches early, removed nothing\n"
                "more and stored what it had removed.\n",
                summary.interruptedBy == SIGINT ? "Ctrl-C" : "SIGTERM");
  }
  if (!summary.keepListUsable) {
    std::printf("The keep list in user.reg cannot be used (said above), so nothing was removed.\n");
  } else if (std::uint64_t kept = watch.KeptTotal()) {
    std::printf("The keep list kept %s file(s) and folder(s) that would have been removed.\n",
                std::to_string(kept).c_str());
  }
}

}  // namespace tarvel::launcher
