/* The entry point: one clean-up run, a straight sequence of phases. */
#include "run.h"

#include "../notify/notify.h"
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

  /* 5. "disable" ends the run only when it was read. */
  LONG disableResult = ReadOption(TEXT("disable"));
  if (disableResult == ERROR_SUCCESS && OptionIsSet(disableResult)) {
    return 0;
  }

  /* 6, 7. */
  ShowProgressNotification();
  RunCategories();

  /* 8 to 11. The statistics key stays open from the read to the write. */
  ReadLifetimeStats(&keyHandle, OptionsKeyPath(), categoryCounts);
  ComposeReport(filesRemoved, bytesRemoved, reportText);
  ShowResultNotification(hInstance, reportText);
  WriteLifetimeStats(&keyHandle, categoryCounts);

  /* 12. */
  return 0;
}
