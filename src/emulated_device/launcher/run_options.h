// The option values in user.reg as the device program reads them: what
// each will make the run do, found by the device's own rule, and a warning
// for each value whose text says otherwise.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "run/run.h"

namespace tarvel::launcher {

// A category of the device's table in words: "temporary folders"; with its
// name in the table: "temporary folders (Temp)".
std::string CategoryWords(int category);
std::string CategoryInWords(int category);

// For each category of the device's table, in its order: the name of the
// option value that will switch it off, or nothing when it will run.
using CategoryGates = std::array<std::optional<std::string>, CLEANUP_CATEGORY_COUNT>;
CategoryGates ReadCategoryGates();

// Says on stderr, one line each, which option values present will not do
// what their text suggests (too long for the device to read, a number, a
// word such as "off"), and what the device will do instead.
void WarnAboutOptions();

// Says on stderr, one line each, which value names under the OptionsKey the
// device program never reads (with the nearest name it reads), and which
// keys elsewhere look like the OptionsKey (option_names.cpp).
void WarnAboutOptionNames();

// Says "tarvel: warning: TEXT" on stderr, and keeps TEXT for the JSON
// summary.
void Warn(const std::string &text);
const std::vector<std::string> &WarningsGiven();

}  // namespace tarvel::launcher
