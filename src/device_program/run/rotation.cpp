/* The browser profile rotation: each run with "ie" set points the browser's
 * history, cookie and cache folders at the other of two profile folders. */
#include "run.h"

static const WCHAR kShellFoldersKeyPath[] =
    TEXT("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
static const WCHAR kProfileValue[] = TEXT("example");
static const WCHAR kProfilesFolder[] = TEXT("\\Windows\\profiles\\");

/* The folder values, in the order written, with the byte count written for
 * each: fixed, not the path's length, so the tail after the terminator goes
 * with the data. */
struct ProfileFolder {
  LPCWSTR valueName;
  LPCWSTR leaf;
  DWORD byteCount;
};
static const ProfileFolder kProfileFolders[] = {
    {TEXT("History"), TEXT("\\History"), 80},
    {TEXT("Cookies"), TEXT("\\Cookies"), 90},
    {TEXT("Cache"), TEXT("\\Temporary Internet Files"), 90},
};
enum { PROFILE_FOLDER_COUNT = sizeof kProfileFolders / sizeof kProfileFolders[0] };

/* 45 units: the longest path, "\Windows\profiles\N\Temporary Internet
 * Files", fills it with its terminator. */
enum { PROFILE_TEXT_UNITS = 45 };

/* Builds "\Windows\profiles\" digit leaf and zeroes every unit after it. */
static void ComposeProfilePath(WCHAR *text, WCHAR digit, LPCWSTR leaf)
{
  int length = 0;
  for (LPCWSTR p = kProfilesFolder; *p != 0; ++p) {
    text[length++] = *p;
  }
  text[length++] = digit;
  for (; *leaf != 0 && length < PROFILE_TEXT_UNITS - 1; ++leaf) {
    text[length++] = *leaf;
  }
  while (length < PROFILE_TEXT_UNITS) {
    text[length++] = 0;
  }
}

void RotateBrowserProfile()
{
  if (OpenKeyForReading(kShellFoldersKeyPath) != ERROR_SUCCESS) {
    return;
  }
  LONG result = QueryOption(kProfileValue);
  optionBuffer[1] = 0;

  BYTE current = result == ERROR_SUCCESS ? optionBuffer[0] : (BYTE)'1';
  BYTE next = current == '2' ? (BYTE)'1' : (BYTE)'2';
  optionBuffer[0] = next;
  /* The digit as one UTF-16 unit, without terminator. */
  RegSetValueExW(keyHandle, kProfileValue, 0, REG_SZ, optionBuffer, 2);

  WCHAR text[PROFILE_TEXT_UNITS];
  for (int i = 0; i < PROFILE_FOLDER_COUNT; ++i) {
    ComposeProfilePath(text, (WCHAR)next, kProfileFolders[i].leaf);
    RegSetValueExW(keyHandle, kProfileFolders[i].valueName, 0, REG_SZ, (const BYTE *)text,
                   kProfileFolders[i].byteCount);
  }
  CloseKey();
}
