/* Reading, merging and writing the lifetime statistics. */
#include "stats.h"

#include "../purge/purge.h"

/* The order of the reads: "Size" last, since its read decides the merge. */
static const LifetimeValue kReadOrder[] = {
    {TEXT("File"), TALLY_FILES},
    {TEXT("filesDueToTemp"), TEMP_FILES},
    {TEXT("bytesDueToTemp"), TEMP_BYTES},
    {TEXT("filesDueToTele"), TELE_FILES},
    {TEXT("bytesDueToTele"), TELE_BYTES},
    {TEXT("filesDueToWS"), WS_FILES},
    {TEXT("bytesDueToWS"), WS_BYTES},
    {TEXT("filesDueToCAB"), CAB_FILES},
    {TEXT("bytesDueToCAB"), CAB_BYTES},
    {TEXT("Size"), TALLY_BYTES},
};
enum { READ_COUNT = sizeof kReadOrder / sizeof kReadOrder[0], SIZE_READ = READ_COUNT - 1 };

/* The order of the merge, by position in kReadOrder: "File", "Size", then
 * the eight category values. */
static const int kMergeOrder[] = {0, SIZE_READ, 1, 2, 3, 4, 5, 6, 7, 8};

/* The order of the writes. */
const LifetimeValue kLifetimeValues[LIFETIME_VALUE_COUNT] = {
    {TEXT("File"), TALLY_FILES},
    {TEXT("Size"), TALLY_BYTES},
    {TEXT("filesDueToTemp"), TEMP_FILES},
    {TEXT("bytesDueToTemp"), TEMP_BYTES},
    {TEXT("filesDueToTele"), TELE_FILES},
    {TEXT("bytesDueToTele"), TELE_BYTES},
    {TEXT("filesDueToWS"), WS_FILES},
    {TEXT("bytesDueToWS"), WS_BYTES},
    {TEXT("filesDueToCAB"), CAB_FILES},
    {TEXT("bytesDueToCAB"), CAB_BYTES},
    {TEXT("filesDueToSC"), TALLY_FILES},
    {TEXT("bytesDueToSC"), SC_BYTES},
};

static const LONG *CountFor(int slot, const LONG counts[])
{
  if (slot == TALLY_FILES) {
    return &filesRemoved;
  }
  if (slot == TALLY_BYTES) {
    return &bytesRemoved;
  }
  return &counts[slot];
}

void ReadLifetimeStats(HKEY *statsKey, LPCWSTR keyPath, LONG counts[CATEGORY_COUNT_SLOTS])
{
  *statsKey = 0;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, statsKey) != ERROR_SUCCESS) {
    *statsKey = 0;
    return;
  }

  /* Each receiving variable starts at 0, so a value that cannot be read adds
   * nothing, and one shorter than 4 bytes adds what its bytes give. The
   * bytes are the little-endian REG_DWORD of the device and of every host. */
  DWORD stored[READ_COUNT];
  LONG sizeResult = ERROR_FILE_NOT_FOUND;
  for (int i = 0; i < READ_COUNT; ++i) {
    /* The type is not looked at; it starts as REG_NONE so that a failed
     * read, which leaves it as it was, is traced the same on every run. */
    DWORD type = REG_NONE;
    DWORD size = sizeof stored[i];
    stored[i] = 0;
    LONG result = RegQueryValueExW(*statsKey, kReadOrder[i].name, 0, &type,
                                   (LPBYTE)&stored[i], &size);
    if (i == SIZE_READ) {
      sizeResult = result;
    }
  }
  if (sizeResult != ERROR_SUCCESS) {
    return;
  }
  for (int m = 0; m < READ_COUNT; ++m) {
    int i = kMergeOrder[m];
    /* counts is the run's own, writable array. */
    LONG *count = const_cast<LONG *>(CountFor(kReadOrder[i].slot, counts));
    *count = AddWrapped(*count, stored[i]);
  }
}

void WriteLifetimeStats(HKEY *statsKey, const LONG counts[CATEGORY_COUNT_SLOTS])
{
  if (*statsKey == 0) {
    return;
  }
  for (int i = 0; i < LIFETIME_VALUE_COUNT; ++i) {
    const LONG *value = CountFor(kLifetimeValues[i].slot, counts);
    RegSetValueExW(*statsKey, kLifetimeValues[i].name, 0, REG_DWORD, (const BYTE *)value,
                   sizeof *value);
  }
  RegCloseKey(*statsKey);
  *statsKey = 0;
}
