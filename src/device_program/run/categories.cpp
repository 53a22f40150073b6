/* The table of the five clean-up categories and how the run measures each. */
#include "run.h"

#include "../purge/purge.h"

LONG categoryCounts[CATEGORY_COUNT_SLOTS];

#define ALL TEXT("\\*.*")

static const WalkerCall kTempCalls[] = {
    {PurgeMatching, TEXT("\\temp"), ALL},
    {PurgeMatching, TEXT("\\tmp"), ALL},
    {PurgeMatching, TEXT("\\Windows\\temp"), ALL},
    {PurgeMatching, TEXT("\\Windows\\tmp"), ALL},
};

static const WalkerCall kTeleCalls[] = {
    {PurgeMatching, TEXT("\\Windows\\Temporary Internet Files"), ALL},
    {PurgeMatching, TEXT("\\Windows\\History"), ALL},
    {PurgeMatching, TEXT("\\Windows\\Cookies"), ALL},
    {PurgeProfiles, TEXT("\\Windows\\Profiles"), ALL},
    {PurgeProfiles, TEXT("\\Profiles"), ALL},
};

static const WalkerCall kWsCalls[] = {
    {PurgeTemporary, TEXT("\\My Documents"), ALL},
    {PurgeTemporary, TEXT("\\Program Files"), ALL},
    {PurgeTemporary, TEXT("\\Windows"), ALL},
    {PurgeTemporary, TEXT("\\Profiles"), ALL},
    {PurgeMatching, TEXT("\\My Documents"), TEXT("\\*.tmp")},
    {PurgeMatching, TEXT("\\Program Files"), TEXT("\\*.tmp")},
    {PurgeMatching, TEXT("\\Windows"), TEXT("\\*.tmp")},
    {PurgeMatching, TEXT("\\Profiles"), TEXT("\\*.tmp")},
    {PurgeMatching, TEXT("\\My Documents"), TEXT("\\*.temp")},
    {PurgeMatching, TEXT("\\Program Files"), TEXT("\\*.temp")},
    {PurgeMatching, TEXT("\\Windows"), TEXT("\\*.temp")},
    {PurgeMatching, TEXT("\\Profiles"), TEXT("\\*.temp")},
};

static const WalkerCall kCabCalls[] = {
    {PurgeMatching, TEXT("\\Windows"), TEXT("\\*.CAB")},
    {PurgeMatching, TEXT("\\Program Files"), TEXT("\\*.CAB")},
    {PurgeMatching, TEXT("\\My Documents"), TEXT("\\*.CAB")},
};

static const WalkerCall kScCalls[] = {
    {PurgeMatching, TEXT("\\Storage Card\\temp"), ALL},
    {PurgeMatching, TEXT("\\Storage Card\\tmp"), ALL},
    {PurgeMatching, TEXT("\\Storage Card"), TEXT("\\*.temp")},
    {PurgeMatching, TEXT("\\Storage Card"), TEXT("\\*.tmp")},
};

#undef ALL

#define CALLS(list) list, (int)(sizeof list / sizeof list[0])

/* In the order run. The gate options are read right before their category. */
const CleanupCategory kCleanupCategories[CLEANUP_CATEGORY_COUNT] = {
    {TEXT("Temp"), 0, CALLS(kTempCalls), TEMP_FILES, TEMP_BYTES},
    {TEXT("Tele"), TEXT("telecommunications"), CALLS(kTeleCalls), TELE_FILES, TELE_BYTES},
    {TEXT("WS"), TEXT("quiet"), CALLS(kWsCalls), WS_FILES, WS_BYTES},
    {TEXT("CAB"), TEXT("CAB"), CALLS(kCabCalls), CAB_FILES, CAB_BYTES},
    {TEXT("SC"), TEXT("storage card"), CALLS(kScCalls), NO_COUNT, SC_BYTES},
};

#undef CALLS

/* A gate lets its category run when the option begins with "1", and when it
 * could not be read at all. */
static int GateOpen(const CleanupCategory *category)
{
  LONG result = ReadOption(category->gateOption);
  if (category->filesSlot != NO_COUNT) {
    categoryCounts[category->filesSlot] = 0;
  }
  categoryCounts[category->bytesSlot] = 0;
  return result != ERROR_SUCCESS || OptionIsSet(result);
}

/* The category's share is the difference of the tally around its calls,
 * with 32-bit wrap-around. */
static void RunCategory(const CleanupCategory *category)
{
  if (category->gateOption != 0 && !GateOpen(category)) {
    return;
  }
  LONG filesBefore = filesRemoved;
  LONG bytesBefore = bytesRemoved;
  for (int i = 0; i < category->callCount; ++i) {
    category->calls[i].walker(category->calls[i].folder, category->calls[i].pattern);
  }
  if (category->filesSlot != NO_COUNT) {
    categoryCounts[category->filesSlot] = SubtractWrapped(filesRemoved, filesBefore);
  }
  categoryCounts[category->bytesSlot] = SubtractWrapped(bytesRemoved, bytesBefore);
}

void SkipCategories()
{
  for (int i = 0; i < CATEGORY_COUNT_SLOTS; ++i) {
    categoryCounts[i] = 0;
  }
}

void RunCategories()
{
  for (int i = 0; i < CLEANUP_CATEGORY_COUNT; ++i) {
    RunCategory(&kCleanupCategories[i]);
  }
}
