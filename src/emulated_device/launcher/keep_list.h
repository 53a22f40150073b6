// The keep list ("keep" in user.reg) as the device program reads it: the
// warnings before a run, and reading and setting the list without writing
// UTF-16 bytes by hand. The rules are the device's own (purge/keep.h);
// nothing here matches a pattern by itself. What a run kept is counted and
// listed by the run's watch (run_watch.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvel::launcher {

// Says on stderr, one line each, what the device will do with the "keep"
// value: why it cannot be used (each malformed pattern by its position), in
// which case the run removes nothing, and each pattern that keeps a whole
// folder a category walks. Gives whether the list can be used (an absent
// value can).
bool WarnAboutKeepList();

// The patterns of the list, one a line, as the device reads them (an
// unusable list is said on stderr too).
void PrintKeepList();

// Checks patterns given on a command line by the device's rules: why the
// first that cannot be used cannot, or nothing.
std::optional<std::string> CheckPatterns(const std::vector<std::string> &patterns);

// The REG_MULTI_SZ data of the patterns (UTF-8, each checked).
std::vector<unsigned char> KeepListData(const std::vector<std::string> &patterns);

}  // namespace tarvel::launcher
