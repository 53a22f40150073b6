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
  return Utf16ToUtf8(TextView(text));
}

// What a walker call takes in its folder, in one word that the legend
// explains: the pattern of a matching walk, or the kind of walk.
std::string WhatItTakes(const WalkerCall &call)
{
  if (call.walker == PurgeProfiles) {
    return "profiles";
  }
  if (call.walker == PurgeTemporary) {
    return "temporary";
  }
  return Text(call.pattern).substr(1);  // without its leading backslash
}

}  // namespace

int ShowCategories()
{
  std::printf(
      "The clean-up categories, in the order a run takes them, each with the walks\n"
      "it makes, in order: what a walk takes, and the folder it is handed.\n"
      "  *.*        everything below the folder (the folder itself stays)\n"
      "  *.tmp ...  each file so named below the folder, and each folder so named\n"
      "             once that leaves it empty\n"
      "  temporary  each file below the folder that carries the temporary attribute\n"
      "  profiles   the contents of each folder named Cookies, History or Temporary\n"
      "             Internet Files below the folder\n"
      "Folders are device paths; names ignore case. A category's value under\n"
      "HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel switches it off when the device\n"
      "can read it (4 bytes at most) and its first byte is not the character \"1\".\n");
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    const CleanupCategory &category = kCleanupCategories[c];
    std::string gate = category.gateOption != nullptr
                           ? "switched off by \"" + Text(category.gateOption) + "\"=\"0\""
                           : "always runs";
    std::printf("\n%s: %s\n", CategoryInWords(c).c_str(), gate.c_str());
    for (int i = 0; i < category.callCount; ++i) {
      const WalkerCall &call = category.calls[i];
      std::printf("  %-10s %s\n", WhatItTakes(call).c_str(), Text(call.folder).c_str());
    }
  }
  return FinishOutput();
}

}  // namespace tarvel::launcher
