/* The core library of the device, as the device code sees it.
 *
 * On a Windows build this is <windows.h>. On other hosts it declares the
 * subset the device code uses, with the platform's own names, types and
 * layouts: DWORD is 32-bit unsigned, LONG 32-bit signed and WCHAR a 16-bit
 * code unit on every host, so every byte count of a registry value is the
 * same as on the device. Implementations are chosen when linking: the
 * emulated device (src/emulated_device) or the in-memory test platform
 * (tests/fake). */
#ifndef TARVEL_DEVICE_API_COREDLL_H
#define TARVEL_DEVICE_API_COREDLL_H

#ifdef _WIN32

#include <windows.h>

/* The device's WinMain takes the command line as wide text; a desktop
 * Windows build enters at the narrow WinMain. The run ignores it either way. */
#ifdef _WIN32_WCE
typedef LPWSTR WINMAIN_CMDLINE;
#else
typedef LPSTR WINMAIN_CMDLINE;
#endif

#else /* not Windows */

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t UINT;
typedef char16_t WCHAR;
typedef char CHAR;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef CHAR *LPSTR;
typedef void *LPVOID;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef LONG HRESULT;
typedef DWORD REGSAM;

typedef void *HANDLE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HICON__ *HICON;
typedef struct HWND__ *HWND;

typedef LPWSTR WINMAIN_CMDLINE;

#define TEXT(s) u##s

#define TRUE 1
#define FALSE 0

#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_WRITE_FAULT 29L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_DIRECTORY 267L
#define ERROR_MORE_DATA 234L
#define ERROR_BADDB 1009L
#define ERROR_KEY_DELETED 1018L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100

#define KEY_READ 0x00020019
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define IMAGE_ICON 1
#define MAKEINTRESOURCEW(i) ((LPWSTR)(uintptr_t)(WORD)(i))
#define MAKEINTRESOURCE MAKEINTRESOURCEW

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

/* The device's find record: the object store's identifier where desktop
 * Windows has its reserved fields, and no short name. */
typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwOID;
  WCHAR cFileName[MAX_PATH];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID, CLSID;

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition);
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData);
LONG WINAPI RegCloseKey(HKEY hKey);

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);

HANDLE WINAPI LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad);
void WINAPI Sleep(DWORD dwMilliseconds);
/* Hands a text to an attached debugger; without one it goes nowhere. */
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);

/* The process entry that the platform's start-up calls. */
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, WINMAIN_CMDLINE lpCmdLine,
                   int nShowCmd);

} /* extern "C" */

#endif /* not Windows */

#endif /* TARVEL_DEVICE_API_COREDLL_H */
