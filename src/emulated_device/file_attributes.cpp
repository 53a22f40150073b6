// The attributes the device sees on an entry: from its type, its mode and
// the DOS attributes Samba and Wine keep in the extended attribute
// user.DOSATTRIB.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "host_internal.h"

namespace tarvel::host {

namespace {

// user.DOSATTRIB of an entry, read relative to its folder's descriptor
// without following a link: getxattrat where the kernel has it, else through
// the folder's /proc/self/fd link. With size 0, its length alone.
ssize_t GetDosAttribute(int folder, const char *name, char *value, std::size_t size)
{
#ifdef SYS_getxattrat
  const long getxattrat = SYS_getxattrat;
#else
  const long getxattrat = 464;  // x86-64, Linux 6.13 and later
#endif
  static bool haveGetxattrat = true;
  if (haveGetxattrat) {
    struct {
      std::uint64_t value;
      std::uint32_t size;
      std::uint32_t flags;
    } args = {reinterpret_cast<std::uintptr_t>(value), static_cast<std::uint32_t>(size), 0};
    long length = syscall(getxattrat, folder, name, AT_SYMLINK_NOFOLLOW,
                          "user.DOSATTRIB", &args, sizeof args);
    if (length >= 0 || errno != ENOSYS) {
      return length;
    }
    haveGetxattrat = false;
  }
  std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
  return lgetxattr(path.c_str(), "user.DOSATTRIB", value, size);
}

// The raw user.DOSATTRIB of an entry, if it fits the buffer. Its length is
// asked first: most entries have none, and a query without a buffer spares
// the kernel allocating one.
ssize_t ReadDosAttribute(int folder, const char *name, char *value, std::size_t size)
{
  ssize_t length = GetDosAttribute(folder, name, nullptr, 0);
  if (length <= 0) {
    return length;
  }
  return static_cast<std::size_t>(length) <= size ? GetDosAttribute(folder, name, value, size) : -1;
}

// The DOS attributes in user.DOSATTRIB, as Samba and Wine write them: a hex
// text such as 0x100, quoted or not.
DWORD DosAttributes(int folder, const char *name)
{
  char value[64];
  ssize_t length = ReadDosAttribute(folder, name, value, sizeof value - 1);
  if (length <= 0) {
    return 0;
  }
  std::string text(value, static_cast<std::size_t>(length));
  std::erase_if(text, [](char c) { return c == '"' || c == '\0' || c == ' ' || c == '\n'; });
  if (!text.starts_with("0x") && !text.starts_with("0X")) {
    return 0;
  }
  DWORD attributes = 0;
  for (char c : text.substr(2)) {
    int digit = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) {
      return 0;
    }
    attributes = attributes * 16 + static_cast<DWORD>(digit);
  }
  return attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY);
}

}  // namespace

DWORD DeviceAttributes(int folder, const char *name, const struct statx &status)
{
  DWORD attributes = DosAttributes(folder, name);
  if (S_ISDIR(status.stx_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  }
  if (!S_ISLNK(status.stx_mode) && (status.stx_mode & S_IWUSR) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}


}  // namespace tarvel::host
