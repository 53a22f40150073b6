/* The entry point: one clean-up run, a straight sequence of phases. */
#include "run.h"

#include "../notify/notify.h"
#include "../purge/keep.h"
#include "../purge/purge.h"
#include "../stats/stats.h"

/* The result bubble's text; it stays unchanged until that bubble is gone. */
static WCHAR reportText[REPORT_UNITS];

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, WINMAIN_CMDLINE, int)
{
  /* 1. Prepare the progress bubble; the option buffer starts as "0". */
  PrepareProgressNotification(hInstance);
  optionBuffer[0] = '0';

  /* 2, 3. Open or create the options key, read "ie" through it, close it.
   * A failed read leaves the "0", so "ie" is tested by the byte alone. */
  OpenOptionsKey();
  LONG ieResult = QueryOption(TEXT("ie"));
  CloseKey();

  /* 4. */
  if (OptionIsSet(ieResult)) {
    RotateBrowserProfile();
  }

  /* 5. "disable" ends the run only when it was read. The keep list is read
   * through the same handle before it is closed; a disabled run never
   * reads it. When the key cannot be opened neither is read (the list is
   * empty), as ReadOption does. */
  OpenKeyForReading(OptionsKeyPath());
  LONG disableResult = QueryOption(TEXT("disable"));
  if (disableResult == ERROR_SUCCESS && OptionIsSet(disableResult)) {
    CloseKey();
    return 0;
  }
  int keepListUsable = ReadKeepList(keyHandle) == KEEP_LIST_USABLE;
  CloseKey();

  /* 6, 7. A keep list that cannot be used fails closed: a list that
   * protects too little would delete what the person meant to keep, so no
   * walker is called and every category counts 0. */
  ShowProgressNotification();
  if (keepListUsable) {
    RunCategories();
  } else {
    SkipCategories();
  }

  /* 8 to 11. The statistics key stays open from the read to the write. */
  ReadLifetimeStats(&keyHandle, OptionsKeyPath(), categoryCounts);
  ComposeReport(filesRemoved, bytesRemoved, !keepListUsable, reportText);
  ShowResultNotification(hInstance, reportText);
  WriteLifetimeStats(&keyHandle, categoryCounts);

  /* 12. */
  return 0;
}
