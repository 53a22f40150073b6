// The keep list on the host. The device's own checks and matching
// (purge/keep.h) decide; this file only says what they decided.
#include "keep_list.h"

#include <cstdio>
#include <set>

#include "host.h"
#include "purge/keep.h"
#include "run_options.h"
#include "utf16.h"

namespace tarvel::launcher {

namespace {

const char16_t kKeepValue[] = u"keep";

// The value as stored: its type and its data as code units (an odd last
// byte dropped; the device refuses such data before looking at it).
struct StoredList {
  DWORD type = REG_NONE;
  std::size_t bytes = 0;
  std::u16string units;
};

std::optional<StoredList> LookUpKeepList()
{
  auto value = tarvel::host::StoredTypedValue(OptionsKeyPath(), kKeepValue);
  if (!value) {
    return std::nullopt;
  }
  const std::vector<BYTE> &data = value->data;
  StoredList list{value->type, data.size(), {}};
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    list.units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  return list;
}

std::string ListProblem(KeepListProblem problem, const StoredList &list)
{
  switch (problem) {
    case KEEP_LIST_WRONG_TYPE:
      return "is of type " + std::to_string(list.type) +
             ", not a multi-string (hex(7)) or a string";
    case KEEP_LIST_ODD_SIZE:
      return "has an odd number of bytes (" + std::to_string(list.bytes) +
             "), so it is not UTF-16 text";
    case KEEP_LIST_TOO_LARGE:
      return "is longer than the " + std::to_string(KEEP_LIST_BYTES) +
             " bytes the device reads (" + std::to_string(list.bytes) + " bytes)";
    case KEEP_LIST_NO_TERMINATOR:
      return "has a last pattern that is not ended by a 0 character";
    case KEEP_LIST_DATA_AFTER_END:
      return list.type == REG_SZ ? "is a string that holds more than one pattern"
                                 : "holds data after the empty string that ends the list";
    case KEEP_LIST_TOO_MANY_PATTERNS:
      return "holds more than " + std::to_string(KEEP_MAX_PATTERNS) + " patterns";
    default:
      return "cannot be read";
  }
}

std::string PatternProblem(KeepPatternProblem problem)
{
  switch (problem) {
    case KEEP_PATTERN_TOO_LONG:
      return "is longer than " + std::to_string(KEEP_MAX_PATTERN_UNITS) + " characters";
    case KEEP_PATTERN_NOT_ROOTED:
      return "does not begin with \"\\\"";
    case KEEP_PATTERN_ROOT_ALONE:
      return "is the root alone, which would keep everything (\"disable\" stops a run)";
    case KEEP_PATTERN_SLASH:
      return "holds \"/\" (parts are separated by \"\\\")";
    case KEEP_PATTERN_EMPTY_PART:
      return "has an empty part (\"\\\\\")";
    case KEEP_PATTERN_DOT_PART:
      return "has a part \".\" or \"..\"";
    default:
      return "can be used";
  }
}

const char kNothingRemoved[] = "so the run will remove nothing";

// Said on stderr, and kept for the JSON summary, as every warning.
void WarnKeep(const std::string &text)
{
  Warn("\"keep\" in user.reg" + text);
}

std::string Pattern(int position, LPCWSTR pattern)
{
  return ": pattern " + std::to_string(position + 1) + ", \"" + Utf16ToUtf8(pattern) + "\",";
}

// Each pattern that keeps a folder a category's walkers are handed, or one
// above it: that category finds nothing there.
void WarnAboutWholeFolders(const KeepList &list)
{
  for (int p = 0; p < list.count; ++p) {
    KeepList one;
    one.patterns[0] = list.patterns[p];
    one.count = 1;
    for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
      const CleanupCategory &category = kCleanupCategories[c];
      std::string folders;
      std::set<std::u16string> named;
      for (int i = 0; i < category.callCount; ++i) {
        KeepState state;
        KeepStateOfPath(&one, category.calls[i].folder, &state);
        if (state.kept && named.insert(category.calls[i].folder).second) {
          folders += (folders.empty() ? "" : ", ") + Utf16ToUtf8(category.calls[i].folder);
        }
      }
      if (!folders.empty()) {
        WarnKeep(Pattern(p, list.patterns[p]) + " keeps the whole of " + folders + ", which the " +
             CategoryInWords(c) + " clean-up walks: it removes nothing there");
      }
    }
  }
}

}  // namespace

bool WarnAboutKeepList()
{
  auto stored = LookUpKeepList();
  if (!stored) {
    return true;
  }
  KeepList list;
  KeepListProblem problem = SplitKeepList(stored->type, stored->units.c_str(),
                                          static_cast<DWORD>(stored->bytes), &list);
  if (problem != KEEP_LIST_USABLE) {
    WarnKeep(" " + ListProblem(problem, *stored) + ", " + kNothingRemoved);
    return false;
  }
  bool usable = true;
  for (int p = 0; p < list.count; ++p) {
    KeepPatternProblem why = CheckKeepPattern(list.patterns[p]);
    if (why != KEEP_PATTERN_USABLE) {
      WarnKeep(Pattern(p, list.patterns[p]) + " is malformed: it " + PatternProblem(why) + ", " +
           kNothingRemoved);
      usable = false;
    }
  }
  if (usable) {
    WarnAboutWholeFolders(list);
  }
  return usable;
}

void PrintKeepList()
{
  WarnAboutKeepList();
  auto stored = LookUpKeepList();
  if (!stored) {
    return;
  }
  KeepList list;
  SplitKeepList(stored->type, stored->units.c_str(), static_cast<DWORD>(stored->bytes), &list);
  for (int p = 0; p < list.count; ++p) {
    std::printf("%s\n", Utf16ToUtf8(list.patterns[p]).c_str());
  }
}

std::optional<std::string> CheckPatterns(const std::vector<std::string> &patterns)
{
  if (patterns.size() > KEEP_MAX_PATTERNS) {
    return "more than " + std::to_string(KEEP_MAX_PATTERNS) + " patterns";
  }
  for (std::size_t p = 0; p < patterns.size(); ++p) {
    auto units = Utf8ToUtf16(patterns[p]);
    if (!units || units->find(u'\0') != std::u16string::npos) {
      return "pattern " + std::to_string(p + 1) + " is not UTF-8 text";
    }
    KeepPatternProblem why = CheckKeepPattern(units->c_str());
    if (why != KEEP_PATTERN_USABLE) {
      return "pattern " + std::to_string(p + 1) + ", \"" + patterns[p] + "\", " +
             PatternProblem(why);
    }
  }
  if (KeepListData(patterns).size() > KEEP_LIST_BYTES) {
    return "the patterns take more than the " + std::to_string(KEEP_LIST_BYTES) +
           " bytes the device reads";
  }
  return std::nullopt;
}

std::vector<unsigned char> KeepListData(const std::vector<std::string> &patterns)
{
  std::vector<unsigned char> data;
  auto append = [&data](char16_t unit) {
    data.push_back(static_cast<unsigned char>(unit & 0xFF));
    data.push_back(static_cast<unsigned char>(unit >> 8));
  };
  for (const auto &pattern : patterns) {
    for (char16_t unit : Utf8ToUtf16(pattern).value_or(u"")) {
      append(unit);
    }
    append(0);
  }
  append(0);
  return data;
}

}  // namespace tarvel::launcher
