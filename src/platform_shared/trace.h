// The lines by which a platform journals its calls, one line a call:
// Name(arg, arg, ...) = result. Strings in double quotes with \\, \" and \n
// escaped; byte buffers as hex; numbers in decimal; handles in hex with 0x;
// the root key as HKEY_CURRENT_USER. Both platforms write these lines: the
// emulated device into TARVEL_TRACE, the test platform into its journal.
#pragma once

#include <string>

#include "aygshell.h"
#include "coredll.h"

namespace tarvel::trace {

std::string Text(const char16_t *text);  // NULL when there is none
std::string Bytes(const BYTE *data, DWORD size);
std::string Handle(const void *handle);
std::string Key(HKEY key);
std::string Guid(const CLSID *guid);

std::string RegOpenKeyExW(HKEY parent, LPCWSTR subkey, DWORD options, REGSAM access,
                          const HKEY *result, LONG status);
std::string RegCreateKeyExW(HKEY parent, LPCWSTR subkey, REGSAM access, const HKEY *result,
                            const DWORD *disposition, LONG status);
// Type and size as the call left them; the data it returned, none when it
// failed.
std::string RegQueryValueExW(HKEY key, LPCWSTR name, const DWORD *type, const BYTE *data,
                             const DWORD *size, LONG status);
std::string RegSetValueExW(HKEY key, LPCWSTR name, DWORD type, const BYTE *data, DWORD size,
                           LONG status);
std::string RegCloseKey(HKEY key, LONG status);
// The record's entry name when the call delivered one.
std::string FindFirstFileW(LPCWSTR pattern, const WIN32_FIND_DATAW *found, HANDLE result);
std::string FindNextFileW(HANDLE find, const WIN32_FIND_DATAW *found, BOOL result);
std::string FindClose(HANDLE find, BOOL result);
std::string DeleteFileW(LPCWSTR path, BOOL result);
std::string RemoveDirectoryW(LPCWSTR path, BOOL result);
std::string LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags,
                       HANDLE result);
std::string Sleep(DWORD milliseconds);
std::string OutputDebugStringW(LPCWSTR text);
std::string SHNotificationAdd(const SHNOTIFICATIONDATA *record, LRESULT result);
std::string SHNotificationRemove(const CLSID *clsid, DWORD id, LRESULT result);

}  // namespace tarvel::trace
