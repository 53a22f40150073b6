/* Lifetime statistics and the result report.
 *
 * The statistics are twelve REG_DWORD values in the options key: read and
 * merged into the run's counts right after the last clean-up category, and
 * written back once the result bubble is gone. The report is the HTML text of
 * the result bubble, with the two lifetime totals. */
#ifndef TARVEL_STATS_STATS_H
#define TARVEL_STATS_STATS_H

#include "coredll.h"

/* The nine per-category counts of a run, in this order. SC counts bytes
 * only. */
enum CategoryCountSlot {
  TEMP_FILES,
  TEMP_BYTES,
  TELE_FILES,
  TELE_BYTES,
  WS_FILES,
  WS_BYTES,
  CAB_FILES,
  CAB_BYTES,
  SC_BYTES,
  CATEGORY_COUNT_SLOTS
};

/* The twelve stored values, in the order they are written: each value's
 * name and the count it holds, one of the per-category slots or one of the
 * removal tally's two totals. "filesDueToSC" is the lifetime file total once
 * more, and "bytesDueToSC" this run's storage-card bytes, never merged. The
 * launcher of the emulated device names the values from this table too. */
enum { TALLY_FILES = -1, TALLY_BYTES = -2 };

struct LifetimeValue {
  LPCWSTR name;
  int slot;
};

enum { LIFETIME_VALUE_COUNT = 12 };
extern const LifetimeValue kLifetimeValues[LIFETIME_VALUE_COUNT];

/* Opens the key at keyPath for reading into *statsKey, reads the stored
 * values and, when "Size" could be read, adds them to the removal tally and
 * to counts. The key stays open for WriteLifetimeStats. */
void ReadLifetimeStats(HKEY *statsKey, LPCWSTR keyPath, LONG counts[CATEGORY_COUNT_SLOTS]);

/* Writes the twelve values through *statsKey and closes it; does nothing
 * when the key could not be opened. */
void WriteLifetimeStats(HKEY *statsKey, const LONG counts[CATEGORY_COUNT_SLOTS]);

/* Longest text of a total, without terminator: "2,147,483,647". */
enum { TOTAL_TEXT_CHARS = 13 };

/* Writes the decimal text of a total into text (room for TOTAL_TEXT_CHARS
 * and a terminator) and gives its length. */
int FormatTotal(LONG total, char *text);

/* The report text, terminator included. */
enum { REPORT_UNITS = 300 };

/* The report text, its closing credit line the usual one, or when
 * `keepListUnusable` the line that says the keep list could not be used and
 * nothing was removed. */
void ComposeReport(LONG lifetimeFiles, LONG lifetimeBytes, int keepListUnusable,
                   WCHAR report[REPORT_UNITS]);

#endif /* TARVEL_STATS_STATS_H */
