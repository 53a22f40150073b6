/* The clean-up run: WinMain and its twelve phases, the category table, the
 * options key and the browser profile rotation.
 *
 * WinMain itself is declared by the platform (coredll.h).
 *
 * The device program (run, purge, stats, notify) is what ships to the
 * handheld. It is plain procedural C++ that an old device compiler takes
 * (C++03): free functions, fixed buffers on the stack, a few static
 * counters, no standard library, no exceptions, no heap but the two
 * notification records. It reaches the system only through the device's
 * API (coredll.h, aygshell.h, its only include path) and includes its own
 * subsystems' faces by relative path; run calls the others, never the
 * other way round. */
#ifndef TARVEL_RUN_RUN_H
#define TARVEL_RUN_RUN_H

#include "coredll.h"
#include "../stats/stats.h"

/* The one key handle variable of the run: every key the run opens is opened
 * into it, one at a time. Null whenever no key is open. */
extern HKEY keyHandle;

/* The option buffer: every option read of the run, and the profile value of
 * the rotation, go through these 4 bytes. */
enum { OPTION_BUFFER_BYTES = 4 };
extern BYTE optionBuffer[OPTION_BUFFER_BYTES];

/* The per-category counts of this run, merged into lifetime values by the
 * statistics. */
extern LONG categoryCounts[CATEGORY_COUNT_SLOTS];

/* "SOFTWARE\Halvorn\Tarvel", the key of the options and the statistics. */
LPCWSTR OptionsKeyPath();

/* Opens a key of the current user for reading into keyHandle, which stays
 * null when the open fails. Gives the open's result. */
LONG OpenKeyForReading(LPCWSTR path);

/* Opens the options key for reading into keyHandle; creates it when it
 * cannot be opened. keyHandle stays null when neither gives a key. */
void OpenOptionsKey();

/* Opens the options key, reads one option value into the option buffer and
 * closes the key. Gives ERROR_SUCCESS or the platform's error code. */
LONG ReadOption(LPCWSTR name);

/* Reads one option value through the key that is open in keyHandle; fails
 * without a call when none is. */
LONG QueryOption(LPCWSTR name);

/* Closes the key in keyHandle, if one is open. */
void CloseKey();

/* Whether the option just read, with the given result, begins with "1". */
int OptionIsSet(LONG readResult);

/* Switches the browser's history, cookie and cache folders to the other of
 * the two profile folders. */
void RotateBrowserProfile();

/* A clean-up category: its name, the option that gates it (0: it always
 * runs), its walker calls and the slots of its counts (NO_COUNT: it keeps no
 * files count). The launcher of the emulated device reads the table too. */
enum { NO_COUNT = -1 };

/* One walker call of a category: the walker (purge.h), the folder and the
 * pattern it is handed. */
typedef int (*Walker)(LPCWSTR folder, LPCWSTR pattern);
struct WalkerCall {
  Walker walker;
  LPCWSTR folder;
  LPCWSTR pattern;
};

struct CleanupCategory {
  LPCWSTR name;
  LPCWSTR gateOption;
  const WalkerCall *calls;
  int callCount;
  int filesSlot;
  int bytesSlot;
};

/* The five categories, in the order run. */
enum { CLEANUP_CATEGORY_COUNT = 5 };
extern const CleanupCategory kCleanupCategories[CLEANUP_CATEGORY_COUNT];

/* Phase 7: the five categories in order, each behind its gate. */
void RunCategories();

/* Phase 7 of a run that removes nothing: every category counts 0. */
void SkipCategories();

#endif /* TARVEL_RUN_RUN_H */
