// The keep list ("keep" in user.reg) as the device program reads it: the
// warnings before a run, the kept lines of a run, and reading and setting
// the list without writing UTF-16 bytes by hand. The rules are the device's
// own (purge/keep.h); nothing here matches a pattern by itself.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::launcher {

// Says on stderr, one line each, what the device will do with the "keep"
// value: why it cannot be used (each malformed pattern by its position), in
// which case the run removes nothing, and each pattern that keeps a whole
// folder a category walks. Gives whether the list can be used (an absent
// value can).
bool WarnAboutKeepList();

// The entries the device program told it kept (through its debug output),
// each once however many walkers met it, and, when asked, listed on stdout
// as "kept PATH": lines that do not begin with "\", so the list of removals
// is unchanged.
class KeptList {
 public:
  explicit KeptList(bool shown) : shown_(shown) {}
  void Kept(std::u16string_view path);
  std::size_t Count() const { return paths_.size(); }

 private:
  bool shown_;
  std::set<std::u16string> paths_;  // case folded, as the device compares
};

// The summary's line for the keep list: how many entries it kept, or that
// it could not be used and so nothing was removed. Nothing when the list
// is empty and kept nothing.
void PrintKeptSummary(const KeptList &kept, bool usable);

// The patterns of the list, one a line, as the device reads them (an
// unusable list is said on stderr too).
void PrintKeepList();

// Checks patterns given on a command line by the device's rules: why the
// first that cannot be used cannot, or nothing.
std::optional<std::string> CheckPatterns(const std::vector<std::string> &patterns);

// The REG_MULTI_SZ data of the patterns (UTF-8, each checked).
std::vector<unsigned char> KeepListData(const std::vector<std::string> &patterns);

}  // namespace tarvel::launcher
