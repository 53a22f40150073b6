// Misspelt names in user.reg: value names under the OptionsKey that the
// device program never reads, and keys elsewhere that look like the
// OptionsKey. The device ignores both silently, so a typo would make a run
// that does not do what its writer meant; the launcher says so before it.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"
#include "run/run.h"
#include "run_options.h"
#include "stats/stats.h"
#include "utf16.h"

namespace tarvel::launcher {

namespace {

// Every value name the device program reads under the OptionsKey: "ie" and
// "disable" as WinMain names them, "keep" (the keep list), each category's
// gate and the lifetime statistics.
std::vector<std::u16string_view> NamesTheDeviceReads()
{
  std::vector<std::u16string_view> names = {u"ie", u"disable", u"keep"};
  for (const CleanupCategory &category : kCleanupCategories) {
    if (category.gateOption != nullptr) {
      names.push_back(TextView(category.gateOption));
    }
  }
  for (const LifetimeValue &value : kLifetimeValues) {
    names.push_back(TextView(value.name));
  }
  return names;
}

// The edit distance of two names without regard to case, or `limit` + 1
// once it exceeds `limit` (a band of that width is all it computes).
std::size_t Distance(std::u16string_view a, std::u16string_view b, std::size_t limit)
{
  std::size_t longer = std::max(a.size(), b.size());
  if (longer - std::min(a.size(), b.size()) > limit) {
    return limit + 1;
  }
  std::vector<std::size_t> previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    previous[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    std::size_t best = current[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t change = FoldCase(a[i - 1]) == FoldCase(b[j - 1]) ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + change});
      best = std::min(best, current[j]);
    }
    if (best > limit) {
      return limit + 1;
    }
    std::swap(previous, current);
  }
  return std::min(previous[b.size()], limit + 1);
}

std::string Shown(std::u16string_view name)
{
  return name.empty() ? "@ (the default value)" : "\"" + Utf16ToUtf8(name) + "\"";
}

// How near a key path must be to the OptionsKey's to be taken for a typo of
// it: two edits, such as "Tarvell" or "Halvorn\Travel"; a key whose own name
// is "Tarvel" anywhere else counts too.
constexpr std::size_t kNearKey = 2;

}  // namespace

void WarnAboutOptionNames()
{
  const std::u16string optionsKey = std::u16string(TextView(OptionsKeyPath()));
  const std::string shownKey = "HKEY_CURRENT_USER\\" + Utf16ToUtf8(optionsKey);
  std::vector<std::u16string_view> known = NamesTheDeviceReads();
  for (const std::u16string &name : tarvel::host::StoredValueNames(optionsKey)) {
    auto same = [&](std::u16string_view k) { return EqualsIgnoringCase(k, name); };
    if (std::any_of(known.begin(), known.end(), same)) {
      continue;
    }
    std::u16string_view nearest = known.front();
    std::size_t nearestDistance = Distance(name, nearest, 64);
    for (std::u16string_view candidate : known) {
      if (std::size_t d = Distance(name, candidate, 64); d < nearestDistance) {
        nearest = candidate;
        nearestDistance = d;
      }
    }
    Warn(Shown(name) + " under " + shownKey +
         " in user.reg is no value the device reads, so it does nothing; the nearest that it "
         "reads is " + Shown(nearest));
  }

  const std::u16string lastName = optionsKey.substr(optionsKey.rfind(u'\\') + 1);
  std::u16string below;
  tarvel::host::VisitStoredKeys([&](const std::vector<std::u16string_view> &path) {
    if (path.size() < 2) {
      return;  // a root
    }
    below.clear();
    for (std::size_t i = 1; i < path.size(); ++i) {
      below += (i == 1 ? u"" : u"\\");
      below += path[i];
    }
    bool optionsKeyOrBelow =
        EqualsIgnoringCase(path[0], u"HKEY_CURRENT_USER") &&
        EqualsIgnoringCase(std::u16string_view(below).substr(0, optionsKey.size()), optionsKey) &&
        (below.size() == optionsKey.size() || below[optionsKey.size()] == u'\\');
    if (optionsKeyOrBelow) {
      return;
    }
    if (Distance(below, optionsKey, kNearKey) <= kNearKey ||
        EqualsIgnoringCase(path.back(), lastName)) {
      Warn("the key " + Utf16ToUtf8(path[0]) + "\\" + Utf16ToUtf8(below) +
           " in user.reg looks like the options key, but the device reads its options "
           "only from " + shownKey);
    }
  });
}

}  // namespace tarvel::launcher
