// The list of removals and the summary after a run.
#include "summary.h"

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

}  // namespace

void RemovalList::Removed(std::u16string_view path, std::optional<std::uint64_t> size)
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
    line += '\\';
  }
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
void PrintSummary(const Statistics &before, const CategoryGates &gates, bool preview,
                  const RemovalList &removals, bool notStored)
{
  if (!tarvel::host::ResultShown()) {
    std::printf("\nThe run was disabled (\"disable\" is set) and removed nothing.\n");
    return;
  }
  const char *title = preview ? "What a run would remove now (a preview: nothing was changed):"
                              : "What this run removed:";
  if (notStored) {
    std::printf("\n%s %s file(s), %s byte(s) in all, as listed.\n"
                "Not every registry change of the run reached user.reg (said on stderr), so\n"
                "what each category removed and the lifetime totals are not shown.\n",
                title, std::to_string(removals.Files()).c_str(),
                std::to_string(removals.Bytes()).c_str());
    return;
  }
  Statistics after = StoredStatistics();
  bool merged = before[ValueOf(TALLY_BYTES)].has_value();
  auto share = [&](int slot) -> std::uint32_t {
    int i = ValueOf(slot);
    std::uint32_t now = after[i].value_or(0);
    return merged && slot != SC_BYTES ? now - before[i].value_or(0) : now;
  };
  std::printf("\n%s\n  %-24s%9s%15s\n", title, "", "files", "bytes");
  std::uint32_t runFiles = share(TALLY_FILES);
  std::uint32_t uncounted = runFiles;
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    if (kCleanupCategories[c].filesSlot != NO_COUNT) {
      uncounted -= share(kCleanupCategories[c].filesSlot);
    }
  }
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    const CleanupCategory &category = kCleanupCategories[c];
    std::uint32_t files = category.filesSlot != NO_COUNT ? share(category.filesSlot) : uncounted;
    PrintRow(CategoryInWords(c), files, share(category.bytesSlot),
             gates[c] ? "switched off by \"" + *gates[c] + "\"" : "ran");
  }
  PrintRow("in all", runFiles, share(TALLY_BYTES));
  PrintRow(preview ? "lifetime totals would be" : "lifetime totals",
           after[ValueOf(TALLY_FILES)].value_or(0), after[ValueOf(TALLY_BYTES)].value_or(0));
}

}  // namespace tarvel::launcher
