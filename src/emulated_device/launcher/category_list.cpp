// tarvel --list: the clean-up categories as the device program's own table
// (kCleanupCategories) has them, in the order a run takes them: each one's
// short name, the option value that switches it off, and each walker call in
// words, with its folder and pattern.
#include <cstdio>
#include <string>

#include "command_line.h"
#include "purge/purge.h"
#include "run/run.h"
#include "run_options.h"
#include "utf16.h"

namespace tarvel::launcher {

namespace {

std::string Text(LPCWSTR text)
{
  return Utf16ToUtf8(std::u16string_view(text, TextLength(text)));
}

// What a walker call takes, in words; the pattern without its leading
// backslash.
std::string WhatItTakes(const WalkerCall &call)
{
  std::string pattern = Text(call.pattern).substr(1);
  if (call.walker == PurgeProfiles) {
    return "the contents of each Cookies, History or Temporary Internet Files folder"
           " below it";
  }
  if (call.walker == PurgeTemporary) {
    return "each file below it that carries the temporary attribute";
  }
  if (call.walker == PurgeMatching && pattern == "*.*") {
    return "everything below it (the folder itself stays)";
  }
  if (call.walker == PurgeMatching) {
    return "each file named " + pattern + " below it, and each folder so named once that"
           " leaves it empty";
  }
  return "what the walker takes with " + pattern;  // a walker this list does not know yet
}

}  // namespace

int ShowCategories()
{
  std::printf("The clean-up categories, in the order a run takes them. A category's value\n"
              "under HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel switches it off when the\n"
              "device can read it (4 bytes at most) and its first byte is not the character\n"
              "\"1\" (such as \"0\"). Each folder is a device path; names ignore case.\n");
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    const CleanupCategory &category = kCleanupCategories[c];
    std::string gate = category.gateOption != nullptr
                           ? "switched off by \"" + Text(category.gateOption) + "\"=\"0\""
                           : "always runs";
    std::printf("\n%s: %s\n", CategoryInWords(c).c_str(), gate.c_str());
    for (int i = 0; i < category.callCount; ++i) {
      const WalkerCall &call = category.calls[i];
      std::printf("  %s: %s\n", Text(call.folder).c_str(), WhatItTakes(call).c_str());
    }
  }
  return FinishOutput();
}

}  // namespace tarvel::launcher
