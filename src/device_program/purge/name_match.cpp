#include "name_match.h"

/* Whether a name matches a pattern, by the device's rule: "*" any run of
 * code units, "?" any one, without regard to case, and a pattern that ends
 * in ".*" also matches a name without that dot, so "*.*" matches every
 * name. The walkers' search patterns and the keep list's parts are matched
 * by this one rule. Greedy, backtracking only to the last "*" met: no
 * recursion, and time linear in practice.
 *
 * Case is folded as the device's file system folds it: ASCII, Latin-1,
 * Latin Extended-A, Greek and Cyrillic letters, each to its capital. No
 * code unit beyond ASCII folds to an ASCII letter, so the run's own ASCII
 * patterns match as with ASCII folding alone; a keep pattern written in
 * another case than the name keeps it all the same. */
static WCHAR FoldCase(WCHAR unit)
{
  if (unit < 0x80) {
    return (unit >= 'a' && unit <= 'z') ? (WCHAR)(unit - 0x20) : unit;
  }
  if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) {
    return (WCHAR)(unit - 0x20);
  }
  if (unit == 0xFF) {
    return 0x178;
  }
  /* Latin Extended-A: pairs of capital and small letter, except the few
   * that pair the other way round or not at all. */
  if (unit >= 0x100 && unit <= 0x17F) {
    if ((unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E)) {
      return (unit % 2 == 0) ? (WCHAR)(unit - 1) : unit;
    }
    if (unit == 0x131 || unit == 0x138 || unit == 0x149 || unit == 0x17F) {
      return unit;
    }
    return (unit % 2 == 1) ? (WCHAR)(unit - 1) : unit;
  }
  if (unit >= 0x3B1 && unit <= 0x3CB && unit != 0x3C2) {
    return (WCHAR)(unit - 0x20);
  }
  if (unit >= 0x430 && unit <= 0x44F) {
    return (WCHAR)(unit - 0x20);
  }
  if (unit >= 0x450 && unit <= 0x45F) {
    return (WCHAR)(unit - 0x50);
  }
  return unit;
}

/* A name ends at its terminator, or at a backslash where it is one part of
 * a path. */
static int NameEnds(WCHAR unit)
{
  return unit == 0 || unit == '\\';
}

static int MatchesUpTo(LPCWSTR pattern, int patternLength, LPCWSTR name)
{
  int p = 0;
  int n = 0;
  int starAt = -1;
  int resumeAt = 0;
  while (!NameEnds(name[n])) {
    if (p < patternLength && pattern[p] == '*') {
      starAt = p++;
      resumeAt = n;
    } else if (p < patternLength &&
               (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (starAt >= 0) {
      p = starAt + 1;
      n = ++resumeAt;
    } else {
      return 0;
    }
  }
  while (p < patternLength && pattern[p] == '*') {
    ++p;
  }
  return p == patternLength;
}

int PartMatches(LPCWSTR pattern, int length, LPCWSTR name)
{
  if (MatchesUpTo(pattern, length, name)) {
    return 1;
  }
  return length >= 2 && pattern[length - 2] == '.' && pattern[length - 1] == '*' &&
         MatchesUpTo(pattern, length - 2, name);
}
