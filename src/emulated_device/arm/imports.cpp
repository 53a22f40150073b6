// The calls of coredll.dll and aygshell.dll that the emulated device serves
// to an ARM program: ONE table, one entry a call, each served by the
// emulated device's own implementation of the call (the functions the
// built-in device program calls), so both programs run on one device.
//
// Each entry takes the call's arguments from the guest (r0-r3, then the
// stack), copies what they point to into host memory (strings, buffers,
// WIN32_FIND_DATAW and SHNOTIFICATIONDATA in the device's 32-bit layout,
// handles as 32-bit values), makes the call and copies back what the call
// changed, so the guest sees exactly what the built-in program sees. A
// pointer the guest does not have memory behind stops the run (GuestFault),
// as it would fault on the device.
//
// Adding a call the device API declares is one entry here.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "aygshell.h"
#include "coredll.h"
#include "guest.h"
#include "host.h"

namespace tarvel::arm {

namespace {

// A guest pointer that may be null, and what it is as a host pointer.
bool IsNull(std::uint32_t address)
{
  return address == 0;
}

// A string argument: its host copy, or none for a null pointer.
class TextArgument {
 public:
  TextArgument(Guest &guest, std::uint32_t address)
  {
    if (!IsNull(address)) {
      text_ = guest.Text(address);
    }
  }
  const WCHAR *get() const { return text_ ? text_->c_str() : nullptr; }
  WCHAR *mutable_get() { return text_ ? text_->data() : nullptr; }

 private:
  std::optional<std::u16string> text_;
};

// A guest word the call reads and may change (DWORD*): the host copy, and
// the change written back.
class WordArgument {
 public:
  WordArgument(Guest &guest, std::uint32_t address) : guest_(guest), address_(address)
  {
    if (!IsNull(address)) {
      value_ = before_ = guest.ReadWord(address);
    }
  }
  DWORD *get() { return IsNull(address_) ? nullptr : &value_; }
  void CopyBack()
  {
    if (!IsNull(address_) && value_ != before_) {
      guest_.WriteWord(address_, value_);
    }
  }

 private:
  Guest &guest_;
  std::uint32_t address_;
  DWORD value_ = 0;
  DWORD before_ = 0;
};

// A guest buffer of `size` bytes the call reads or fills.
class BufferArgument {
 public:
  BufferArgument(Guest &guest, std::uint32_t address, std::uint32_t size)
      : guest_(guest), address_(address)
  {
    if (!IsNull(address)) {
      bytes_ = before_ = guest.Read(address, size);
    }
  }
  BYTE *get() { return IsNull(address_) ? nullptr : bytes_.data(); }
  void CopyBack()
  {
    if (!IsNull(address_) && bytes_ != before_) {
      guest_.Write(address_, bytes_.data(), bytes_.size());
    }
  }

 private:
  Guest &guest_;
  std::uint32_t address_;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> before_;
};

// A handle the call gives back through a pointer (HKEY*): written to the
// guest as its 32-bit value when the call wrote one.
class HandleResult {
 public:
  HandleResult(Guest &guest, std::uint32_t address) : guest_(guest), address_(address) {}
  HKEY *get() { return IsNull(address_) ? nullptr : &key_; }
  void CopyBack()
  {
    if (!IsNull(address_) && key_ != kUnwritten) {
      guest_.WriteWord(address_, guest_.handles().ToGuest(key_));
    }
  }

 private:
  // A value no call writes: the address of a byte of this class's own.
  static inline char unwrittenMark = 0;
  static inline const HKEY kUnwritten = reinterpret_cast<HKEY>(&unwrittenMark);
  Guest &guest_;
  std::uint32_t address_;
  HKEY key_ = kUnwritten;
};

HKEY Key(Guest &guest, std::uint32_t value)
{
  return static_cast<HKEY>(guest.handles().ToHost(value));
}

// WIN32_FIND_DATAW in the device's layout: attributes at 0, the three
// times at 4, 12 and 20, the size's high and low words at 28 and 32, the
// object identifier at 36 and the name, 260 code units, at 40: 560 bytes.
constexpr std::uint32_t kFindDataSize = 560;
static_assert(sizeof(WIN32_FIND_DATAW::cFileName) == kFindDataSize - 40);

class FindDataArgument {
 public:
  FindDataArgument(Guest &guest, std::uint32_t address) : guest_(guest), address_(address)
  {
    if (IsNull(address)) {
      return;
    }
    before_ = guest.Read(address, kFindDataSize);
    auto word = [&](std::uint32_t at) {
      DWORD value;
      std::memcpy(&value, &before_[at], 4);
      return value;
    };
    data_.dwFileAttributes = word(0);
    data_.ftCreationTime = {word(4), word(8)};
    data_.ftLastAccessTime = {word(12), word(16)};
    data_.ftLastWriteTime = {word(20), word(24)};
    data_.nFileSizeHigh = word(28);
    data_.nFileSizeLow = word(32);
    data_.dwOID = word(36);
    std::memcpy(data_.cFileName, &before_[40], sizeof data_.cFileName);
  }
  WIN32_FIND_DATAW *get() { return IsNull(address_) ? nullptr : &data_; }
  void CopyBack()
  {
    if (IsNull(address_)) {
      return;
    }
    std::vector<std::uint8_t> after(kFindDataSize);
    auto word = [&](std::uint32_t at, DWORD value) { std::memcpy(&after[at], &value, 4); };
    word(0, data_.dwFileAttributes);
    word(4, data_.ftCreationTime.dwLowDateTime);
    word(8, data_.ftCreationTime.dwHighDateTime);
    word(12, data_.ftLastAccessTime.dwLowDateTime);
    word(16, data_.ftLastAccessTime.dwHighDateTime);
    word(20, data_.ftLastWriteTime.dwLowDateTime);
    word(24, data_.ftLastWriteTime.dwHighDateTime);
    word(28, data_.nFileSizeHigh);
    word(32, data_.nFileSizeLow);
    word(36, data_.dwOID);
    std::memcpy(&after[40], data_.cFileName, sizeof data_.cFileName);
    if (after != before_) {
      guest_.Write(address_, after.data(), after.size());
    }
  }

 private:
  Guest &guest_;
  std::uint32_t address_;
  WIN32_FIND_DATAW data_{};
  std::vector<std::uint8_t> before_;
};

// A CLSID: 16 bytes, the same on both sides.
std::optional<CLSID> ReadClsid(Guest &guest, std::uint32_t address)
{
  if (IsNull(address)) {
    return std::nullopt;
  }
  auto bytes = guest.Read(address, 16);
  CLSID clsid;
  std::memcpy(&clsid.Data1, &bytes[0], 4);
  std::memcpy(&clsid.Data2, &bytes[4], 2);
  std::memcpy(&clsid.Data3, &bytes[6], 2);
  std::memcpy(clsid.Data4, &bytes[8], 8);
  return clsid;
}

std::uint32_t Handle(Guest &guest, const void *host)
{
  return guest.handles().ToGuest(host);
}

// --- coredll.dll ---

void ServeRegOpenKeyExW(Guest &guest)
{
  TextArgument subkey(guest, guest.Argument(1));
  HandleResult result(guest, guest.Argument(4));
  LONG status = RegOpenKeyExW(Key(guest, guest.Argument(0)), subkey.get(), guest.Argument(2),
                              guest.Argument(3), result.get());
  result.CopyBack();
  guest.Return(static_cast<std::uint32_t>(status));
}

void ServeRegCreateKeyExW(Guest &guest)
{
  TextArgument subkey(guest, guest.Argument(1));
  TextArgument keyClass(guest, guest.Argument(3));
  // The security attributes are not read by the device; a guest pointer
  // is not passed on as a host one.
  SECURITY_ATTRIBUTES attributes{};
  HandleResult result(guest, guest.Argument(7));
  WordArgument disposition(guest, guest.Argument(8));
  LONG status = RegCreateKeyExW(Key(guest, guest.Argument(0)), subkey.get(), guest.Argument(2),
                                keyClass.mutable_get(), guest.Argument(4), guest.Argument(5),
                                IsNull(guest.Argument(6)) ? nullptr : &attributes, result.get(),
                                disposition.get());
  result.CopyBack();
  disposition.CopyBack();
  guest.Return(static_cast<std::uint32_t>(status));
}

void ServeRegQueryValueExW(Guest &guest)
{
  TextArgument name(guest, guest.Argument(1));
  WordArgument reserved(guest, guest.Argument(2));
  WordArgument type(guest, guest.Argument(3));
  WordArgument size(guest, guest.Argument(5));
  // The buffer is as large as the size says before the call.
  BufferArgument data(guest, guest.Argument(4), size.get() ? *size.get() : 0);
  LONG status = RegQueryValueExW(Key(guest, guest.Argument(0)), name.get(), reserved.get(),
                                 type.get(), data.get(), size.get());
  type.CopyBack();
  data.CopyBack();
  size.CopyBack();
  guest.Return(static_cast<std::uint32_t>(status));
}

void ServeRegSetValueExW(Guest &guest)
{
  TextArgument name(guest, guest.Argument(1));
  BufferArgument data(guest, guest.Argument(4), guest.Argument(5));
  LONG status = RegSetValueExW(Key(guest, guest.Argument(0)), name.get(), guest.Argument(2),
                               guest.Argument(3), data.get(), guest.Argument(5));
  guest.Return(static_cast<std::uint32_t>(status));
}

void ServeRegCloseKey(Guest &guest)
{
  guest.Return(static_cast<std::uint32_t>(RegCloseKey(Key(guest, guest.Argument(0)))));
}

void ServeFindFirstFileW(Guest &guest)
{
  TextArgument pattern(guest, guest.Argument(0));
  FindDataArgument found(guest, guest.Argument(1));
  HANDLE search = FindFirstFileW(pattern.get(), found.get());
  found.CopyBack();
  guest.Return(Handle(guest, search));
}

void ServeFindNextFileW(Guest &guest)
{
  FindDataArgument found(guest, guest.Argument(1));
  BOOL result = FindNextFileW(guest.handles().ToHost(guest.Argument(0)), found.get());
  found.CopyBack();
  guest.Return(static_cast<std::uint32_t>(result));
}

void ServeFindClose(Guest &guest)
{
  guest.Return(static_cast<std::uint32_t>(FindClose(guest.handles().ToHost(guest.Argument(0)))));
}

void ServeDeleteFileW(Guest &guest)
{
  TextArgument path(guest, guest.Argument(0));
  guest.Return(static_cast<std::uint32_t>(DeleteFileW(path.get())));
}

void ServeRemoveDirectoryW(Guest &guest)
{
  TextArgument path(guest, guest.Argument(0));
  guest.Return(static_cast<std::uint32_t>(RemoveDirectoryW(path.get())));
}

void ServeLoadImageW(Guest &guest)
{
  // The program's own instance is the emulated device's program instance,
  // whose icon group 101 is the same icon file as the image's resources.
  std::uint32_t instance = guest.Argument(0);
  HINSTANCE host = instance == guest.Instance()
                       ? tarvel::host::ProgramInstance()
                       : static_cast<HINSTANCE>(guest.handles().ToHost(instance));
  // A name below 0x10000 is a resource number (MAKEINTRESOURCE).
  std::uint32_t nameArgument = guest.Argument(1);
  std::optional<TextArgument> name;
  if (nameArgument >= 0x10000) {
    name.emplace(guest, nameArgument);
  }
  LPCWSTR hostName = name ? name->get() : MAKEINTRESOURCEW(nameArgument);
  HANDLE image = LoadImageW(host, hostName, guest.Argument(2), static_cast<int>(guest.Argument(3)),
                            static_cast<int>(guest.Argument(4)), guest.Argument(5));
  guest.Return(Handle(guest, image));
}

void ServeSleep(Guest &guest)
{
  Sleep(guest.Argument(0));
  guest.Return(0);
}

void ServeOutputDebugStringW(Guest &guest)
{
  TextArgument text(guest, guest.Argument(0));
  OutputDebugStringW(text.get());
  guest.Return(0);
}

// --- aygshell.dll ---

// SHNOTIFICATIONDATA in the device's layout: cbStruct 0, dwID 4,
// npPriority 8, csDuration 12, hicon 16, grfFlags 20, clsid 24, hwndSink
// 40, pszHTML 44, pszTitle 48, lParam 52: 56 bytes.
void ServeSHNotificationAdd(Guest &guest)
{
  std::uint32_t address = guest.Argument(0);
  if (IsNull(address)) {
    guest.Return(static_cast<std::uint32_t>(SHNotificationAdd(nullptr)));
    return;
  }
  auto word = [&](std::uint32_t at) { return guest.ReadWord(address + at); };
  TextArgument html(guest, word(44));
  TextArgument title(guest, word(48));
  SHNOTIFICATIONDATA record{};
  record.cbStruct = word(0);
  record.dwID = word(4);
  record.npPriority = static_cast<SHNP>(word(8));
  record.csDuration = word(12);
  record.hicon = static_cast<HICON>(guest.handles().ToHost(word(16)));
  record.grfFlags = word(20);
  record.clsid = *ReadClsid(guest, address + 24);
  record.hwndSink = static_cast<HWND>(guest.handles().ToHost(word(40)));
  record.pszHTML = html.get();
  record.pszTitle = title.get();
  record.lParam = static_cast<LPARAM>(static_cast<std::int32_t>(word(52)));
  guest.Return(static_cast<std::uint32_t>(SHNotificationAdd(&record)));
}

void ServeSHNotificationRemove(Guest &guest)
{
  auto clsid = ReadClsid(guest, guest.Argument(0));
  LRESULT result = SHNotificationRemove(clsid ? &*clsid : nullptr, guest.Argument(1));
  guest.Return(static_cast<std::uint32_t>(result));
}

const ServedImport kServedImports[] = {
    {"coredll.dll", "RegOpenKeyExW", ServeRegOpenKeyExW},
    {"coredll.dll", "RegCreateKeyExW", ServeRegCreateKeyExW},
    {"coredll.dll", "RegQueryValueExW", ServeRegQueryValueExW},
    {"coredll.dll", "RegSetValueExW", ServeRegSetValueExW},
    {"coredll.dll", "RegCloseKey", ServeRegCloseKey},
    {"coredll.dll", "FindFirstFileW", ServeFindFirstFileW},
    {"coredll.dll", "FindNextFileW", ServeFindNextFileW},
    {"coredll.dll", "FindClose", ServeFindClose},
    {"coredll.dll", "DeleteFileW", ServeDeleteFileW},
    {"coredll.dll", "RemoveDirectoryW", ServeRemoveDirectoryW},
    {"coredll.dll", "LoadImageW", ServeLoadImageW},
    {"coredll.dll", "Sleep", ServeSleep},
    {"coredll.dll", "OutputDebugStringW", ServeOutputDebugStringW},
    {"aygshell.dll", "SHNotificationAdd", ServeSHNotificationAdd},
    {"aygshell.dll", "SHNotificationRemove", ServeSHNotificationRemove},
};

}  // namespace

std::span<const ServedImport> ServedImports()
{
  return kServedImports;
}

const ServedImport *FindServedImport(std::string_view library, std::string_view name)
{
  for (const ServedImport &served : kServedImports) {
    // Windows matches library names without regard to case, function
    // names exactly.
    if (library.size() == std::strlen(served.library) &&
        strncasecmp(std::string(library).c_str(), served.library, library.size()) == 0 &&
        name == served.name) {
      return &served;
    }
  }
  return nullptr;
}

}  // namespace tarvel::arm
