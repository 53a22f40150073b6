// The summary after a run as one JSON object on one line (--json), for
// scripts:
//   {"device": "/path", "mode": "run" or "preview", "disabled": false,
//    "interrupted": false, "stored": true, "keep_list_usable": true,
//    "categories": [{"name": "Temp", "words": "temporary folders",
//                    "gate": null or "telecommunications", "ran": true,
//                    "files": 6, "bytes": 323976, "kept": 0,
//                    "stayed": 1, "stayed_by_reason": {"permission": 1}}, ...],
//    "total": {"files": 30, "bytes": 1451588},
//    "lifetime": {"files": 30, "bytes": 1451588} or null,
//    "unseen": 0, "unseen_by_reason": {}, "warnings": ["..."]}
// Every count is a whole number; the totals are the categories' sums.
#include <cstdio>
#include <string>

#include "summary.h"
#include "utf16.h"

namespace tarvel::launcher {

namespace {

// A JSON string: quotes, backslashes and control characters escaped; the
// text is UTF-8 already.
std::string Json(const std::string &text)
{
  std::string quoted = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escaped[7];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string Number(std::uint64_t count)
{
  return std::to_string(count);
}

std::string Bool(bool value)
{
  return value ? "true" : "false";
}

std::string FilesAndBytes(std::uint64_t files, std::uint64_t bytes)
{
  return "{\"files\": " + Number(files) + ", \"bytes\": " + Number(bytes) + "}";
}

// Counts by reason as an object: {"read-only": 2, "permission": 1}.
std::string Object(const RunWatch::ReasonCounts &counts)
{
  std::string object = "{";
  for (const auto &[why, count] : counts) {
    object += (object.size() == 1 ? "" : ", ") + Json(why) + ": " + Number(count);
  }
  return object + "}";
}

}  // namespace

void PrintJsonSummary(const RunSummary &summary, const RunWatch &watch,
                      const std::vector<std::string> &warnings)
{
  std::string json = "{\"device\": " + Json(summary.device) +
                     ", \"mode\": " + Json(summary.preview ? "preview" : "run") +
                     ", \"disabled\": " + Bool(summary.disabled) +
                     ", \"interrupted\": " + Bool(summary.interruptedBy != 0) +
                     ", \"stored\": " + Bool(summary.stored) +
                     ", \"keep_list_usable\": " + Bool(summary.keepListUsable) +
                     ", \"categories\": [";
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    const CleanupCategory &table = kCleanupCategories[c];
    const RunSummary::Category &category = summary.categories[c];
    json += std::string(c == 0 ? "" : ", ") + "{\"name\": " + Json(Utf16ToUtf8(table.name)) +
            ", \"words\": " + Json(CategoryWords(c)) + ", \"gate\": " +
            (table.gateOption ? Json(Utf16ToUtf8(table.gateOption)) : "null") +
            ", \"ran\": " + Bool(!summary.disabled && !category.switchedOffBy) +
            ", \"files\": " + Number(category.files) + ", \"bytes\": " + Number(category.bytes) +
            ", \"kept\": " + Number(watch.KeptBy(c)) + ", \"stayed\": " +
            Number(watch.Stayed(c)) + ", \"stayed_by_reason\": " + Object(watch.StayedByReason(c)) +
            "}";
  }
  json += "], \"total\": " + FilesAndBytes(summary.files, summary.bytes) + ", \"lifetime\": " +
          (summary.lifetime ? FilesAndBytes(summary.lifetime->first, summary.lifetime->second)
                            : "null") +
          ", \"unseen\": " + Number(watch.UnseenTotal()) +
          ", \"unseen_by_reason\": " + Object(watch.UnseenByReason()) + ", \"warnings\": [";
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    json += (i == 0 ? "" : ", ") + Json(warnings[i]);
  }
  json += "]}";
  std::printf("%s\n", json.c_str());
}

}  // namespace tarvel::launcher
