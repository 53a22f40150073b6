/* The four purge walkers and the removal tally.
 *
 * Every pass of every walker is one listing loop over one folder
 * (WalkListing); what a walker does with each entry is its entry rule. A
 * nested walk is started from inside the loop, so the parent's search stays
 * open while the whole subtree is walked, and each level keeps its buffers
 * and find record in its own stack frame. */
#include "purge.h"

#include "keep.h"
#include "name_match.h"

LONG filesRemoved = 0;
LONG bytesRemoved = 0;

/* The size of the file a walker is about to delete, counted once the delete
 * has succeeded. The walkers' own: nothing else reads it. */
static DWORD pendingSize = 0;

static const WCHAR kAllEntries[] = TEXT("\\*.*");
static const WCHAR kDot[] = TEXT(".");
static const WCHAR kDotDot[] = TEXT("..");

/* The profile folders PurgeProfiles looks for, in the order compared. */
static const WCHAR kCookies[] = TEXT("Cookies");
static const WCHAR kHistory[] = TEXT("History");
static const WCHAR kTemporaryInternetFiles[] = TEXT("Temporary Internet Files");

/* Path capacity. A search pattern or entry path is composed by copying and
 * appending; one that would need more than the 255 code units the buffers
 * hold before their terminator is not composed at all. The search it belongs
 * to counts as one that could not be opened, and an entry whose path would
 * not fit is skipped: nothing is cut, nothing is written beyond a buffer, and
 * nothing is done to an entry the walker cannot name exactly. */
static int AppendText(WCHAR *buffer, int length, LPCWSTR text)
{
  while (*text != 0) {
    if (length >= PURGE_PATH_UNITS - 1) {
      return -1;
    }
    buffer[length++] = *text++;
  }
  buffer[length] = 0;
  return length;
}

static int ComposeSearch(WCHAR *search, LPCWSTR folder, LPCWSTR pattern)
{
  int length = AppendText(search, 0, folder);
  if (length >= 0) {
    length = AppendText(search, length, pattern);
  }
  return length >= 0;
}

static int ComposeEntryPath(WCHAR *entryPath, LPCWSTR folder, LPCWSTR name)
{
  static const WCHAR separator[] = TEXT("\\");
  int length = AppendText(entryPath, 0, folder);
  if (length >= 0) {
    length = AppendText(entryPath, length, separator);
  }
  if (length >= 0) {
    length = AppendText(entryPath, length, name);
  }
  return length >= 0;
}

static int SameText(LPCWSTR a, LPCWSTR b)
{
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

static int FolderDepth(LPCWSTR folder)
{
  int depth = 0;
  for (; *folder != 0; ++folder) {
    if (*folder == '\\') {
      ++depth;
    }
  }
  return depth;
}

static int IsFolder(const WIN32_FIND_DATAW *entry)
{
  return (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

/* The keep list is obeyed where the walkers act: a kept entry is neither
 * deleted, searched nor removed, and a folder on the way is not removed.
 * Each kept entry a walker would have acted on is told through the debug
 * output, by its path, in the pass of its first walk that would have acted
 * on it (files in the purging pass, folders where they would be walked), so
 * that one walker call tells an entry once; a retry walk tells nothing. */
static void TellKept(LPCWSTR entryPath)
{
  OutputDebugStringW(entryPath);
}

/* The only step that changes the tally: a file counts, with the low 32 bits
 * of its size, only when the platform deleted it. A kept file is not
 * deleted, and told when `tell` is set. */
static void DeleteEntry(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, const KeepState *keep,
                        int tell)
{
  if (keep->kept) {
    if (tell) {
      TellKept(entryPath);
    }
    return;
  }
  pendingSize = entry->nFileSizeLow;
  if (DeleteFileW(entryPath)) {
    filesRemoved = AddWrapped(filesRemoved, 1);
    bytesRemoved = AddWrapped(bytesRemoved, pendingSize);
  }
}

/* A folder that is neither kept nor on the way; a kept one is never
 * walked, so it does not reach here. */
static void RemoveFolder(LPCWSTR entryPath, const KeepState *keep)
{
  if (keep->through == 0) {
    RemoveDirectoryW(entryPath);
  }
}

/* What one pass does with one entry (never "." or ".."), which stands with
 * the keep list as `keep` says. */
typedef void (*EntryRule)(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR pattern,
                          const KeepState *keep);

/* Nesting depth. The walkers recurse once per folder level, and the device
 * stack is 64 KiB. One level costs one WalkListing frame (two 256-unit
 * buffers, a find record and the entry's keep state: 1,696 bytes with g++
 * -O2 on x86-64, by -fstack-usage; the 32-bit device frames are smaller)
 * plus an entry rule's and a walker's frame (at most 48 bytes each): 1,792
 * bytes a level. PurgeProfiles adds one PurgeFolder level once. Below the
 * deepest level come the platform's own calls, which the emulated device
 * keeps under 8 KiB (its buffers are on the heap); the keep list's matching
 * (under 200 bytes) sits beside them, not below. Above the walks sit the
 * start-up and the run, under 4 KiB. So 24 levels below "\" take at most
 * 25 * 1,792 + 8 KiB + 4 KiB = 57,088 bytes, leaving 8 KiB of the 64 KiB
 * spare. A subfolder deeper than that is skipped as an entry: it is neither
 * walked nor removed, and nothing below it is touched. */
static int WalkListing(LPCWSTR folder, LPCWSTR searchPattern, LPCWSTR pattern, EntryRule rule,
                       KeepMask keepMask)
{
  WCHAR search[PURGE_PATH_UNITS];
  WCHAR entryPath[PURGE_PATH_UNITS];
  WIN32_FIND_DATAW entry;
  KeepState keep;

  if (!ComposeSearch(search, folder, searchPattern)) {
    return 0;
  }
  HANDLE find = FindFirstFileW(search, &entry);
  if (find == 0 || find == INVALID_HANDLE_VALUE) {
    return 0;
  }
  int depth = FolderDepth(folder);
  int subfoldersTooDeep = depth >= PURGE_MAX_FOLDER_DEPTH;
  do {
    if (SameText(entry.cFileName, kDot) || SameText(entry.cFileName, kDotDot)) {
      continue;
    }
    if (IsFolder(&entry) && subfoldersTooDeep) {
      continue;
    }
    if (!ComposeEntryPath(entryPath, folder, entry.cFileName)) {
      continue;
    }
    /* A folder no pattern runs through costs nothing more per entry. */
    keep.kept = 0;
    keep.through = 0;
    if (keepMask != 0) {
      KeepStateOfEntry(&runKeepList, keepMask, depth, entry.cFileName, &keep);
    }
    rule(entryPath, &entry, pattern, &keep);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return 1;
}

/* Whether an entry's name matches the caller's pattern, its leading
 * backslash left off. */
static int NameMatches(LPCWSTR pattern, LPCWSTR name)
{
  if (*pattern == '\\') {
    ++pattern;
  }
  int length = 0;
  while (pattern[length] != 0) {
    ++length;
  }
  return PartMatches(pattern, length, name);
}

/* A walk of PurgeMatching is a first walk or a retry walk, and every folder
 * gets at most one of each from one walker call. A first walk is the full
 * two passes: the descending pass gives every subfolder its first walk, and
 * the purging pass gives every matching subfolder its retry walk before
 * removing it. The retry is the walkers' only second attempt: it tries once
 * more every matching file the first walk left and removes every matching
 * folder that is empty by then.
 *
 * A retry walk's subfolders have all had their first walk inside the first
 * walk of the same folder, and the matching ones their retry too, in its
 * purging pass. So a retry walk's descending pass gives a retry walk to the
 * subfolders whose names do not match, for which it is the only second
 * attempt, and its purging pass removes matching subfolders without walking
 * them again. A folder is walked twice when a matching folder lies on its
 * way down from the walker's folder, else once: each file the platform
 * refuses is tried twice below a matching folder and once elsewhere, and a
 * walker call lists each folder at most twice in each pass, however deep
 * the tree.
 * (Were a retry walk to retry every subfolder, a folder would be walked once
 * more for each matching folder above it; were it to start retry walks of
 * its own, the walks would double at every level.)
 *
 * Which of its parent's walks gives a subfolder its retry is decided by the
 * subfolder's name alone (NameMatches): the first walk's purging pass for a
 * matching name, the retry's descending pass for any other. So no folder
 * gets two retries even where the platform's search were to read a pattern
 * otherwise than NameMatches does; there a folder the platform lists as
 * matching but NameMatches does not would miss its retry unless its parent
 * gets one.
 *
 * On a tree that does not change meanwhile this deletes, removes and counts
 * what the doubling walks (every walk of a matching subfolder walking each
 * of its matching subfolders twice again) would: after the first walk of a
 * subtree every further walk finds nothing more it can do. */
static int RetryMatching(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask);
static int MatchingWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask);
static int TemporaryWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask);
static int FolderWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask);
static int ProfilesWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask);

/* Whether a subfolder is walked: a kept one is not, and is told when
 * `tell` is set. */
static int Walked(LPCWSTR entryPath, const KeepState *keep, int tell)
{
  if (keep->kept && tell) {
    TellKept(entryPath);
  }
  return !keep->kept;
}

static void DescendRule(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR pattern,
                        const KeepState *keep)
{
  if (IsFolder(entry) && Walked(entryPath, keep, 1)) {
    MatchingWalk(entryPath, pattern, keep->through);
  }
}

static void RetryDescendRule(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR pattern,
                             const KeepState *keep)
{
  if (IsFolder(entry) && !NameMatches(pattern, entry->cFileName) && Walked(entryPath, keep, 0)) {
    RetryMatching(entryPath, pattern, keep->through);
  }
}

static void RetryPurgeRule(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR /* pattern */,
                           const KeepState *keep)
{
  if (!IsFolder(entry)) {
    DeleteEntry(entryPath, entry, keep, 0);
  } else if (Walked(entryPath, keep, 0)) {
    RemoveFolder(entryPath, keep);
  }
}

/* A first walk's purging pass: a matching subfolder gets its retry walk,
 * then every entry goes as in a retry walk's purging pass. Its kept files
 * are told here; its kept folders were told by the descending pass. */
static void PurgeMatchingRule(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR pattern,
                              const KeepState *keep)
{
  if (!IsFolder(entry)) {
    DeleteEntry(entryPath, entry, keep, 1);
    return;
  }
  if (NameMatches(pattern, entry->cFileName) && Walked(entryPath, keep, 0)) {
    RetryMatching(entryPath, pattern, keep->through);
  }
  RetryPurgeRule(entryPath, entry, pattern, keep);
}

static void TemporaryRule(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR pattern,
                          const KeepState *keep)
{
  /* The folder test comes first: a folder carrying the temporary attribute
   * is walked, never deleted. */
  if (IsFolder(entry)) {
    if (Walked(entryPath, keep, 1)) {
      TemporaryWalk(entryPath, pattern, keep->through);
    }
  } else if ((entry->dwFileAttributes & FILE_ATTRIBUTE_TEMPORARY) != 0) {
    DeleteEntry(entryPath, entry, keep, 1);
  }
}

static void FolderRule(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR pattern,
                       const KeepState *keep)
{
  if (!IsFolder(entry)) {
    DeleteEntry(entryPath, entry, keep, 1);
  } else if (Walked(entryPath, keep, 1)) {
    MatchingWalk(entryPath, pattern, keep->through);
  }
}

static void ProfilesRule(LPCWSTR entryPath, const WIN32_FIND_DATAW *entry, LPCWSTR pattern,
                         const KeepState *keep)
{
  if (!IsFolder(entry) || !Walked(entryPath, keep, 1)) {
    return;
  }
  /* Exact, case-sensitive comparison of the whole name. */
  if (SameText(entry->cFileName, kCookies) || SameText(entry->cFileName, kHistory) ||
      SameText(entry->cFileName, kTemporaryInternetFiles)) {
    FolderWalk(entryPath, pattern, keep->through);
  } else {
    ProfilesWalk(entryPath, pattern, keep->through);
  }
}

/* Both walks: the descending pass over every entry, then, if its search
 * could be opened, the purging pass over the entries matching the pattern. */
static int WalkMatching(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask, EntryRule descend,
                        EntryRule purge)
{
  if (!WalkListing(folder, kAllEntries, pattern, descend, keepMask)) {
    return 0;
  }
  return WalkListing(folder, pattern, pattern, purge, keepMask);
}

static int MatchingWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask)
{
  return WalkMatching(folder, pattern, keepMask, DescendRule, PurgeMatchingRule);
}

static int RetryMatching(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask)
{
  return WalkMatching(folder, pattern, keepMask, RetryDescendRule, RetryPurgeRule);
}

static int TemporaryWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask)
{
  return WalkListing(folder, pattern, pattern, TemporaryRule, keepMask);
}

static int FolderWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask)
{
  return WalkListing(folder, pattern, pattern, FolderRule, keepMask);
}

static int ProfilesWalk(LPCWSTR folder, LPCWSTR pattern, KeepMask keepMask)
{
  return WalkListing(folder, pattern, pattern, ProfilesRule, keepMask);
}

/* A walker call starts from where its folder stands with the keep list. A
 * kept folder (or one below a kept folder) is told and not searched: the
 * call gives 0, as no search was opened. With an empty list this makes no
 * platform call. */
static int StartWalk(LPCWSTR folder, KeepMask *keepMask)
{
  KeepState keep;
  KeepStateOfPath(&runKeepList, folder, &keep);
  if (keep.kept) {
    TellKept(folder);
    return 0;
  }
  *keepMask = keep.through;
  return 1;
}

int PurgeMatching(LPCWSTR folder, LPCWSTR pattern)
{
  KeepMask keepMask;
  return StartWalk(folder, &keepMask) && MatchingWalk(folder, pattern, keepMask);
}

int PurgeTemporary(LPCWSTR folder, LPCWSTR pattern)
{
  KeepMask keepMask;
  return StartWalk(folder, &keepMask) && TemporaryWalk(folder, pattern, keepMask);
}

int PurgeFolder(LPCWSTR folder, LPCWSTR pattern)
{
  KeepMask keepMask;
  return StartWalk(folder, &keepMask) && FolderWalk(folder, pattern, keepMask);
}

int PurgeProfiles(LPCWSTR folder, LPCWSTR pattern)
{
  KeepMask keepMask;
  return StartWalk(folder, &keepMask) && ProfilesWalk(folder, pattern, keepMask);
}
