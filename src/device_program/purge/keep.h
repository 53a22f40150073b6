/* The keep list: device paths a person protects from every clean-up.
 *
 * The list is the "keep" value of the options key: REG_MULTI_SZ, one
 * pattern a string, or REG_SZ as a list of one. A pattern is a device path
 * from the root whose parts may hold "*" and "?"; each part is matched
 * against one name by the walkers' own rule (NameMatches), so a wildcard
 * never crosses a backslash. A path is kept when a pattern matches it part
 * for part or matches its first parts (it lies below a kept folder); it is
 * on the way when its parts match the first parts of a longer pattern. The
 * walkers never delete, search or remove a kept entry and never remove a
 * folder on the way.
 *
 * The reading and checking are here, apart from the run's single list, so
 * that the launcher of the emulated device checks a value with the same
 * rules. */
#ifndef TARVEL_PURGE_KEEP_H
#define TARVEL_PURGE_KEEP_H

#include "coredll.h"

enum {
  KEEP_LIST_BYTES = 4096,   /* the largest value read */
  KEEP_MAX_PATTERNS = 32,   /* one bit each in a KeepMask */
  KEEP_MAX_PATTERN_UNITS = 259
};

/* One bit a pattern, bit i for pattern i. */
typedef DWORD KeepMask;

/* The patterns of a list, each a 0-ended string inside the value's data. */
struct KeepList {
  LPCWSTR patterns[KEEP_MAX_PATTERNS];
  int count;
};

/* Why a list cannot be used. */
enum KeepListProblem {
  KEEP_LIST_USABLE,
  KEEP_LIST_WRONG_TYPE,        /* neither REG_MULTI_SZ nor REG_SZ */
  KEEP_LIST_ODD_SIZE,          /* not whole UTF-16 code units */
  KEEP_LIST_TOO_LARGE,         /* more than KEEP_LIST_BYTES */
  KEEP_LIST_NO_TERMINATOR,     /* the last string is not ended */
  KEEP_LIST_DATA_AFTER_END,    /* anything after the closing empty string */
  KEEP_LIST_TOO_MANY_PATTERNS, /* more than KEEP_MAX_PATTERNS */
  KEEP_LIST_MALFORMED_PATTERN, /* see KeepPatternProblem */
  KEEP_LIST_READ_FAILED        /* the read failed other than for absence */
};

/* Why a pattern is malformed. */
enum KeepPatternProblem {
  KEEP_PATTERN_USABLE,
  KEEP_PATTERN_TOO_LONG,     /* more than KEEP_MAX_PATTERN_UNITS */
  KEEP_PATTERN_NOT_ROOTED,   /* does not begin with "\" */
  KEEP_PATTERN_ROOT_ALONE,   /* "\" alone would keep everything */
  KEEP_PATTERN_SLASH,        /* holds "/" */
  KEEP_PATTERN_EMPTY_PART,   /* "\\" */
  KEEP_PATTERN_DOT_PART      /* a part "." or ".." */
};

/* Splits a value's data (byteCount bytes of UTF-16 at units) into the
 * list's strings, checking its shape and count but not the patterns. A
 * REG_SZ value holds at most one string. On KEEP_LIST_TOO_MANY_PATTERNS the
 * list holds the first KEEP_MAX_PATTERNS. */
KeepListProblem SplitKeepList(DWORD type, const WCHAR *units, DWORD byteCount, KeepList *list);

KeepPatternProblem CheckKeepPattern(LPCWSTR pattern);

/* Where a path stands with a list: kept, or the patterns that run through
 * it (it is on the way when any does). */
struct KeepState {
  int kept;
  KeepMask through;
};

/* The patterns that run through the root: every pattern of the list. */
KeepMask KeepRootMask(const KeepList *list);

/* Where the entry `name` stands, in a folder of `depth` parts (the root has
 * none) through which the patterns of `mask` run. Only those patterns are
 * looked at: with an empty mask this costs nothing. */
void KeepStateOfEntry(const KeepList *list, KeepMask mask, int depth, LPCWSTR name,
                      KeepState *state);

/* Where a path from the root ("\temp\a", no trailing "\") stands. */
void KeepStateOfPath(const KeepList *list, LPCWSTR path, KeepState *state);

/* The run's list, empty until ReadKeepList fills it; the walkers obey it. */
extern KeepList runKeepList;

/* Reads the run's list with one RegQueryValueExW of "keep" through the open
 * key `key` (null: no key, and so an empty list) into the list's own
 * buffer. An absent value is an empty list. Gives why the list cannot be
 * used, or KEEP_LIST_USABLE; an unusable list is left empty. */
KeepListProblem ReadKeepList(HKEY key);

#endif /* TARVEL_PURGE_KEEP_H */
