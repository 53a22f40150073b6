/* The options key and the reads of its option values. */
#include "run.h"

HKEY keyHandle = 0;
BYTE optionBuffer[OPTION_BUFFER_BYTES];

/* The option names are compared by the registry without regard to case, so
 * the two spellings of the key name the same key. */
static const WCHAR kOptionsKeyPath[] = TEXT("SOFTWARE\\Halvorn\\Tarvel");
static const WCHAR kOptionsKeyCreatePath[] = TEXT("Software\\Halvorn\\Tarvel");

/* The byte count of the last option read, as the platform returned it. */
static DWORD optionSize = 0;
/* The registry type of the last read; a value counts by its first data byte
 * whatever its type. */
static DWORD optionType = 0;

LPCWSTR OptionsKeyPath()
{
  return kOptionsKeyPath;
}

LONG OpenKeyForReading(LPCWSTR path)
{
  keyHandle = 0;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &keyHandle);
  if (opened != ERROR_SUCCESS) {
    keyHandle = 0;
  }
  return opened;
}

void OpenOptionsKey()
{
  if (OpenKeyForReading(kOptionsKeyPath) == ERROR_SUCCESS) {
    return;
  }
  DWORD disposition;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kOptionsKeyCreatePath, 0, 0, 0, 0, 0, &keyHandle,
                      &disposition) != ERROR_SUCCESS) {
    keyHandle = 0;
  }
}

/* One read into the option buffer through the key that is open. The size is
 * set to the buffer's capacity before every read; data longer than that is a
 * failed read that leaves the buffer as it was. */
LONG QueryOption(LPCWSTR name)
{
  if (keyHandle == 0) {
    return ERROR_INVALID_HANDLE;
  }
  optionSize = OPTION_BUFFER_BYTES;
  return RegQueryValueExW(keyHandle, name, 0, &optionType, optionBuffer, &optionSize);
}

void CloseKey()
{
  if (keyHandle != 0) {
    RegCloseKey(keyHandle);
    keyHandle = 0;
  }
}

LONG ReadOption(LPCWSTR name)
{
  LONG opened = OpenKeyForReading(kOptionsKeyPath);
  if (opened != ERROR_SUCCESS) {
    return opened;
  }
  LONG result = QueryOption(name);
  CloseKey();
  return result;
}

int OptionIsSet(LONG readResult)
{
  /* The buffer is never reset, so a value read successfully with no data
   * would otherwise be judged by what an earlier read left there. It has no
   * first byte, and so does not begin with "1". */
  if (readResult == ERROR_SUCCESS && optionSize == 0) {
    return 0;
  }
  return optionBuffer[0] == '1';
}
