#include "wildcard.h"

#include "utf16.h"

namespace tarvel {

namespace {

// Greedy matching with one point of backtracking, the last "*" seen:
// linear in practice and never recursive.
bool MatchPlain(std::u16string_view pattern, std::u16string_view name)
{
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starAt = std::u16string_view::npos;
  std::size_t resumeAt = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starAt = p++;
      resumeAt = n;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (starAt != std::u16string_view::npos) {
      p = starAt + 1;
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') {
    ++p;
  }
  return p == pattern.size();
}

}  // namespace

bool MatchesPattern(std::u16string_view pattern, std::u16string_view name)
{
  if (MatchPlain(pattern, name)) {
    return true;
  }
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*") {
    return MatchPlain(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

bool HasWildcards(std::u16string_view pattern)
{
  return pattern.find_first_of(u"*?") != std::u16string_view::npos;
}

}  // namespace tarvel
