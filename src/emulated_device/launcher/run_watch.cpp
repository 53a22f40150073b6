// What the launcher watches of a run while it goes.
#include "run_watch.h"

#include <cstdio>

#include "utf16.h"

namespace tarvel::launcher {

namespace {

// A host name as a person can read it: printable ASCII as it is, every
// other byte as \xNN, inside double quotes (a quote or backslash escaped).
std::string Quoted(std::string_view name)
{
  std::string text = "\"";
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    }
  }
  return text + "\"";
}

// Writes one line that is not a removal (so does not begin with a
// backslash), unless stdout no longer takes lines.
void ListLine(const std::string &line)
{
  if (!std::ferror(stdout)) {
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace

const char *RefusalInWords(host::Refusal why)
{
  switch (why) {
    case host::Refusal::kReadOnly:
      return "read-only";
    case host::Refusal::kPermission:
      return "permission";
    case host::Refusal::kImmutable:
      return "immutable or append-only";
    case host::Refusal::kBusy:
      return "busy or a mount point";
    case host::Refusal::kOther:
      break;
  }
  return "other";
}

const char *UnseenInWords(host::Unseen why)
{
  switch (why) {
    case host::Unseen::kNotUtf8:
      return "not UTF-8";
    case host::Unseen::kTooLong:
      return "name too long";
    case host::Unseen::kControlCharacter:
      return "control character";
    case host::Unseen::kReservedCharacter:
      return "\\, * or ? in the name";
    case host::Unseen::kLink:
      return "a symbolic link";
    case host::Unseen::kPathTooLong:
      return "path too long";
    case host::Unseen::kTooDeep:
      return "folder too deep";
    case host::Unseen::kUnreadable:
      break;
  }
  return "cannot be read";
}

void RunWatch::ValueQueried(std::u16string_view name)
{
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    LPCWSTR gate = kCleanupCategories[c].gateOption;
    if (gate != nullptr && name == TextView(gate)) {
      category_.store(c, std::memory_order_relaxed);
    }
  }
}

void RunWatch::Removed(std::u16string_view, std::optional<std::uint64_t> size)
{
  if (!size) {
    return;  // a folder: no file, no bytes
  }
  Removals &removals = removed_[Category()];
  ++removals.files;
  removals.bytes += *size;
  files_.fetch_add(1, std::memory_order_relaxed);
  bytes_.fetch_add(*size, std::memory_order_relaxed);
}

void RunWatch::Refused(std::u16string_view path, bool folder, host::Refusal why)
{
  // A refused entry is met again by the walkers' second pass, and by later
  // categories that walk the same folder.
  if (!refusedPaths_.emplace(path).second) {
    return;
  }
  ++stayed_[Category()][static_cast<int>(why)];
  if (listed_) {
    std::string name = Utf16ToUtf8(path) + (folder ? "\\" : "");
    ListLine("stayed: " + name + " (" + RefusalInWords(why) + ")");
  }
}

void RunWatch::Unseen(std::u16string_view folder, std::string_view hostName, host::Unseen why)
{
  if (!unseenEntries_.emplace(folder, hostName).second) {
    return;
  }
  ++unseen_[static_cast<int>(why)];
  if (listed_) {
    std::string where = Utf16ToUtf8(folder);
    ListLine("not seen: " + (hostName.empty() ? where : Quoted(hostName) + " in " + where) + " (" +
             UnseenInWords(why) + ")");
  }
}

void RunWatch::Kept(std::u16string_view path)
{
  // A kept entry is met by each walker of each category that walks it. The
  // device compares without regard to case, and so does this count.
  std::u16string folded(path);
  for (char16_t &unit : folded) {
    unit = FoldCase(unit);
  }
  if (!keptPaths_.insert(std::move(folded)).second) {
    return;
  }
  ++kept_[Category()];
  if (listed_) {
    ListLine("kept " + Utf16ToUtf8(path));
  }
}

RunWatch::ReasonCounts RunWatch::StayedByReason(int category) const
{
  ReasonCounts counts;
  for (int why = 0; why < kRefusalKinds; ++why) {
    if (std::uint64_t count = stayed_[category][why]) {
      counts.emplace_back(RefusalInWords(static_cast<host::Refusal>(why)), count);
    }
  }
  return counts;
}

RunWatch::ReasonCounts RunWatch::UnseenByReason() const
{
  ReasonCounts counts;
  for (int why = 0; why < kUnseenKinds; ++why) {
    if (std::uint64_t count = unseen_[why]) {
      counts.emplace_back(UnseenInWords(static_cast<host::Unseen>(why)), count);
    }
  }
  return counts;
}

std::uint64_t RunWatch::Stayed(int category) const
{
  std::uint64_t total = 0;
  for (std::uint64_t count : stayed_[category]) {
    total += count;
  }
  return total;
}

std::uint64_t RunWatch::UnseenTotal() const
{
  std::uint64_t total = 0;
  for (std::uint64_t count : unseen_) {
    total += count;
  }
  return total;
}

}  // namespace tarvel::launcher
