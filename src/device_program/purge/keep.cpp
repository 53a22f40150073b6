/* The keep list: reading, checking and matching. */
#include "keep.h"

#include "name_match.h"

KeepList runKeepList;

/* The value's own buffer, in code units so that its strings are aligned. */
static WCHAR keepText[KEEP_LIST_BYTES / sizeof(WCHAR)];

static const WCHAR kKeepValue[] = TEXT("keep");

KeepListProblem SplitKeepList(DWORD type, const WCHAR *units, DWORD byteCount, KeepList *list)
{
  list->count = 0;
  if (type != REG_MULTI_SZ && type != REG_SZ) {
    return KEEP_LIST_WRONG_TYPE;
  }
  if (byteCount % sizeof(WCHAR) != 0) {
    return KEEP_LIST_ODD_SIZE;
  }
  if (byteCount > KEEP_LIST_BYTES) {
    return KEEP_LIST_TOO_LARGE;
  }
  DWORD end = byteCount / sizeof(WCHAR);
  DWORD at = 0;
  int strings = 0;
  /* Each string is ended by a 0 unit; an empty string closes the list.
   * Data that stops right after an ended string is a list too (writers
   * leave the closing empty string out). */
  while (at < end) {
    if (units[at] == 0) {
      return at + 1 == end ? KEEP_LIST_USABLE : KEEP_LIST_DATA_AFTER_END;
    }
    DWORD start = at;
    while (at < end && units[at] != 0) {
      ++at;
    }
    if (at == end) {
      return KEEP_LIST_NO_TERMINATOR;
    }
    ++at;
    ++strings;
    if (type == REG_SZ && strings > 1) {
      return KEEP_LIST_DATA_AFTER_END;
    }
    if (strings > KEEP_MAX_PATTERNS) {
      return KEEP_LIST_TOO_MANY_PATTERNS;
    }
    list->patterns[list->count++] = units + start;
  }
  return KEEP_LIST_USABLE;
}

KeepPatternProblem CheckKeepPattern(LPCWSTR pattern)
{
  int length = 0;
  while (pattern[length] != 0) {
    if (++length > KEEP_MAX_PATTERN_UNITS) {
      return KEEP_PATTERN_TOO_LONG;
    }
  }
  if (pattern[0] != '\\') {
    return KEEP_PATTERN_NOT_ROOTED;
  }
  if (length == 1) {
    return KEEP_PATTERN_ROOT_ALONE;
  }
  /* The parts between backslashes; one trailing backslash ends the last. */
  int partStart = 1;
  for (int i = 1; i <= length; ++i) {
    WCHAR unit = pattern[i];
    if (unit == '/') {
      return KEEP_PATTERN_SLASH;
    }
    if (unit != '\\' && unit != 0) {
      continue;
    }
    int partLength = i - partStart;
    /* An empty part at the end follows the one trailing backslash, after a
     * part already found not to be empty. */
    if (partLength == 0 && unit != 0) {
      return KEEP_PATTERN_EMPTY_PART;
    }
    if ((partLength == 1 && pattern[partStart] == '.') ||
        (partLength == 2 && pattern[partStart] == '.' && pattern[partStart + 1] == '.')) {
      return KEEP_PATTERN_DOT_PART;
    }
    partStart = i + 1;
  }
  return KEEP_PATTERN_USABLE;
}

KeepMask KeepRootMask(const KeepList *list)
{
  if (list->count >= KEEP_MAX_PATTERNS) {
    return 0xFFFFFFFFu;
  }
  return ((KeepMask)1 << list->count) - 1;
}

/* Finds part `index` (0 is the first) of a checked pattern: its start and
 * length, and whether it is the last. Gives 0 when the pattern has fewer
 * parts. */
static int FindPart(LPCWSTR pattern, int index, LPCWSTR *start, int *length, int *last)
{
  LPCWSTR at = pattern + 1;
  for (; index > 0; --index) {
    while (*at != '\\' && *at != 0) {
      ++at;
    }
    if (*at == 0 || at[1] == 0) {
      return 0;
    }
    ++at;
  }
  int units = 0;
  while (at[units] != '\\' && at[units] != 0) {
    ++units;
  }
  *start = at;
  *length = units;
  *last = at[units] == 0 || at[units + 1] == 0;
  return 1;
}

void KeepStateOfEntry(const KeepList *list, KeepMask mask, int depth, LPCWSTR name,
                      KeepState *state)
{
  state->kept = 0;
  state->through = 0;
  for (int i = 0; mask != 0 && i < list->count; ++i) {
    KeepMask bit = (KeepMask)1 << i;
    if ((mask & bit) == 0) {
      continue;
    }
    mask &= ~bit;
    LPCWSTR part;
    int length;
    int last;
    if (!FindPart(list->patterns[i], depth, &part, &length, &last) ||
        !PartMatches(part, length, name)) {
      continue;
    }
    if (last) {
      /* Kept wins over on the way: nothing below is looked at. */
      state->kept = 1;
      state->through = 0;
      return;
    }
    state->through |= bit;
  }
}

void KeepStateOfPath(const KeepList *list, LPCWSTR path, KeepState *state)
{
  state->kept = 0;
  state->through = KeepRootMask(list);
  int depth = 0;
  while (*path == '\\' && path[1] != 0 && state->through != 0) {
    ++path;
    KeepStateOfEntry(list, state->through, depth++, path, state);
    if (state->kept) {
      return;
    }
    while (*path != '\\' && *path != 0) {
      ++path;
    }
  }
}

KeepListProblem ReadKeepList(HKEY key)
{
  runKeepList.count = 0;
  if (key == 0) {
    return KEEP_LIST_USABLE;
  }
  DWORD type = REG_NONE;
  DWORD size = KEEP_LIST_BYTES;
  LONG result = RegQueryValueExW(key, kKeepValue, 0, &type, (LPBYTE)keepText, &size);
  if (result == ERROR_FILE_NOT_FOUND) {
    return KEEP_LIST_USABLE;
  }
  if (result == ERROR_MORE_DATA) {
    return KEEP_LIST_TOO_LARGE;
  }
  if (result != ERROR_SUCCESS) {
    return KEEP_LIST_READ_FAILED;
  }
  KeepListProblem problem = SplitKeepList(type, keepText, size, &runKeepList);
  for (int i = 0; problem == KEEP_LIST_USABLE && i < runKeepList.count; ++i) {
    if (CheckKeepPattern(runKeepList.patterns[i]) != KEEP_PATTERN_USABLE) {
      problem = KEEP_LIST_MALFORMED_PATTERN;
    }
  }
  if (problem != KEEP_LIST_USABLE) {
    runKeepList.count = 0;
  }
  return problem;
}
