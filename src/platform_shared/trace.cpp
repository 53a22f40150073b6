#include "trace.h"

#include <cinttypes>
#include <cstdio>

#include "registry_model.h"
#include "utf16.h"

namespace tarvel::trace {

namespace {

std::string Number(long long value)
{
  return std::to_string(value);
}

std::string Call(const char *name, std::initializer_list<std::string> args,
                 const std::string &result)
{
  std::string line = name;
  line += '(';
  bool first = true;
  for (const auto &arg : args) {
    if (!first) {
      line += ", ";
    }
    line += arg;
    first = false;
  }
  line += ") = ";
  line += result;
  return line;
}

std::string OutKey(const HKEY *key)
{
  return key ? Key(*key) : "NULL";
}

std::string OutNumber(const DWORD *value)
{
  return value ? Number(*value) : "NULL";
}

std::string FoundName(const WIN32_FIND_DATAW *found, bool delivered)
{
  return delivered && found ? Text(found->cFileName) : "NULL";
}

}  // namespace

std::string Text(const char16_t *text)
{
  if (text == nullptr) {
    return "NULL";
  }
  std::string utf8 = Utf16ToUtf8(TextView(text));
  std::string quoted = "\"";
  for (char c : utf8) {
    switch (c) {
      case '\\':
        quoted += "\\\\";
        break;
      case '"':
        quoted += "\\\"";
        break;
      case '\n':
        quoted += "\\n";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

std::string Bytes(const BYTE *data, DWORD size)
{
  if (data == nullptr || size == 0) {
    return "-";
  }
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (DWORD i = 0; i < size; ++i) {
    hex += digits[data[i] >> 4];
    hex += digits[data[i] & 0xF];
  }
  return hex;
}

std::string Handle(const void *handle)
{
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(handle));
  return text;
}

std::string Key(HKEY key)
{
  if (auto root = reg::RootName(key)) {
    return Utf16ToUtf8(*root);
  }
  return Handle(key);
}

std::string Guid(const CLSID *guid)
{
  if (guid == nullptr) {
    return "NULL";
  }
  char text[48];
  std::snprintf(text, sizeof text, "{%08" PRIX32 "-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<std::uint32_t>(guid->Data1), guid->Data2, guid->Data3,
                guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4],
                guid->Data4[5], guid->Data4[6], guid->Data4[7]);
  return text;
}

std::string RegOpenKeyExW(HKEY parent, LPCWSTR subkey, DWORD options, REGSAM access,
                          const HKEY *result, LONG status)
{
  return Call("RegOpenKeyExW",
              {Key(parent), Text(subkey), Number(options), Number(access), OutKey(result)},
              Number(status));
}

std::string RegCreateKeyExW(HKEY parent, LPCWSTR subkey, REGSAM access, const HKEY *result,
                            const DWORD *disposition, LONG status)
{
  return Call("RegCreateKeyExW",
              {Key(parent), Text(subkey), Number(access), OutKey(result), OutNumber(disposition)},
              Number(status));
}

std::string RegQueryValueExW(HKEY key, LPCWSTR name, const DWORD *type, const BYTE *data,
                             const DWORD *size, LONG status)
{
  std::string bytes = status == ERROR_SUCCESS && size ? Bytes(data, *size) : "-";
  return Call("RegQueryValueExW", {Key(key), Text(name), OutNumber(type), OutNumber(size), bytes},
              Number(status));
}

std::string RegSetValueExW(HKEY key, LPCWSTR name, DWORD type, const BYTE *data, DWORD size,
                           LONG status)
{
  return Call("RegSetValueExW",
              {Key(key), Text(name), Number(type), Number(size), Bytes(data, size)},
              Number(status));
}

std::string RegCloseKey(HKEY key, LONG status)
{
  return Call("RegCloseKey", {Key(key)}, Number(status));
}

std::string FindFirstFileW(LPCWSTR pattern, const WIN32_FIND_DATAW *found, HANDLE result)
{
  bool delivered = result != nullptr && result != INVALID_HANDLE_VALUE;
  return Call("FindFirstFileW", {Text(pattern), FoundName(found, delivered)}, Handle(result));
}

std::string FindNextFileW(HANDLE find, const WIN32_FIND_DATAW *found, BOOL result)
{
  return Call("FindNextFileW", {Handle(find), FoundName(found, result != 0)}, Number(result));
}

std::string FindClose(HANDLE find, BOOL result)
{
  return Call("FindClose", {Handle(find)}, Number(result));
}

std::string DeleteFileW(LPCWSTR path, BOOL result)
{
  return Call("DeleteFileW", {Text(path)}, Number(result));
}

std::string RemoveDirectoryW(LPCWSTR path, BOOL result)
{
  return Call("RemoveDirectoryW", {Text(path)}, Number(result));
}

std::string LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags,
                       HANDLE result)
{
  auto id = reinterpret_cast<std::uintptr_t>(name);
  std::string nameText = id <= 0xFFFF ? Number(static_cast<long long>(id)) : Text(name);
  return Call("LoadImageW",
              {Handle(instance), nameText, Number(type), Number(cx), Number(cy), Number(flags)},
              Handle(result));
}

std::string Sleep(DWORD milliseconds)
{
  return Call("Sleep", {Number(milliseconds)}, "void");
}

std::string OutputDebugStringW(LPCWSTR text)
{
  return Call("OutputDebugStringW", {Text(text)}, "void");
}

std::string SHNotificationAdd(const SHNOTIFICATIONDATA *record, LRESULT result)
{
  if (record == nullptr) {
    return Call("SHNotificationAdd", {Text(nullptr)}, Number(result));
  }
  std::string fields(1, '{');
  for (const std::string &field :
       {Number(record->dwID), Handle(record->hicon), Text(record->pszTitle),
        Text(record->pszHTML)}) {
    if (fields.size() > 1) {
      fields.append(", ");
    }
    fields.append(field);
  }
  fields.push_back('}');
  return Call("SHNotificationAdd", {fields}, Number(result));
}

std::string SHNotificationRemove(const CLSID *clsid, DWORD id, LRESULT result)
{
  return Call("SHNotificationRemove", {Guid(clsid), Number(id)}, Number(result));
}

}  // namespace tarvel::trace
