// The preview's layer over the device's files: a delete or a removal is
// checked as the host would check the run's unlinkat or rmdir, and when the
// host would allow it the entry is hidden from every later listing and
// lookup of the run instead of removed, so that the device code takes the
// path a run would take and the preview lists what the run removes.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host_internal.h"

namespace tarvel::host {

namespace {

// A set of inode numbers in one array, with open addressing: 8 bytes a
// slot, grown by doubling when three quarters full, so 11 to 21 bytes an
// inode (32 while the array doubles) where a node set takes 90.
class InodeSet {
 public:
  bool Contains(std::uint64_t inode) const
  {
    if (inode == 0) {
      return hasZero_;
    }
    if (slots_.empty()) {
      return false;
    }
    for (std::size_t at = Start(inode, slots_.size());; at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at] == inode) {
        return true;
      }
      if (slots_[at] == kEmpty) {
        return false;
      }
    }
  }
  void Insert(std::uint64_t inode)
  {
    if (inode == 0) {
      hasZero_ = true;
      return;
    }
    if ((count_ + 1) * 4 > slots_.size() * 3) {
      std::vector<std::uint64_t> grown(std::max<std::size_t>(64, slots_.size() * 2), kEmpty);
      for (std::uint64_t kept : slots_) {
        if (kept != kEmpty) {
          Place(grown, kept);
        }
      }
      slots_.swap(grown);
    }
    count_ += Place(slots_, inode) ? 1 : 0;
  }

 private:
  static constexpr std::uint64_t kEmpty = 0;  // inode 0 is kept aside in hasZero_
  static std::size_t Start(std::uint64_t inode, std::size_t size)
  {
    std::uint64_t mixed = inode * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(mixed ^ (mixed >> 32)) & (size - 1);
  }
  // Whether the inode was new to `slots`.
  static bool Place(std::vector<std::uint64_t> &slots, std::uint64_t inode)
  {
    for (std::size_t at = Start(inode, slots.size());; at = (at + 1) & (slots.size() - 1)) {
      if (slots[at] == inode) {
        return false;
      }
      if (slots[at] == kEmpty) {
        slots[at] = inode;
        return true;
      }
    }
  }
  std::vector<std::uint64_t> slots_;  // a power of two of them
  std::size_t count_ = 0;
  bool hasZero_ = false;
};

// Whether this process may delete others' files in a sticky folder.
bool HasCapabilityFowner()
{
  static const bool has = [] {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
      return geteuid() == 0;
    }
    return (data[CAP_TO_INDEX(CAP_FOWNER)].effective & CAP_TO_MASK(CAP_FOWNER)) != 0;
  }();
  return has;
}

// What the host's checks need of a folder, taken once while it is open
// (for the folder of a search, once for the whole search).
struct FolderFacts final : FolderMemo {
  explicit FolderFacts(int folder)
  {
    struct statx self;
    if (statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &self) != 0) {
      refusal = errno;
      return;
    }
    device = makedev(self.stx_dev_major, self.stx_dev_minor);
    owner = self.stx_uid;
    sticky = (self.stx_mode & S_ISVTX) != 0;
    user = geteuid();
    // Write and search permission as the kernel grants it to this process
    // (mode bits, ACLs, capabilities), which also says EROFS for a
    // read-only mount and EPERM for an immutable folder.
    if (faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0) {
      refusal = errno;
    } else if ((self.stx_attributes & STATX_ATTR_APPEND) != 0) {
      refusal = EPERM;  // an append-only folder keeps its entries
    }
  }
  int refusal = 0;  // what every unlink in the folder meets, or 0
  dev_t device = 0;
  uid_t owner = 0;
  bool sticky = false;
  uid_t user = 0;  // this process's, as the kernel checks it
};

// Whether the entry is the root of a mount, which rmdir and unlink refuse
// (EBUSY). Kernels before 5.8 do not say: there a folder on another device
// than its parent's is taken for one.
bool MountRoot(const struct statx &entry, const FolderFacts &folder)
{
  if ((entry.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (entry.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  return S_ISDIR(entry.stx_mode) &&
         makedev(entry.stx_dev_major, entry.stx_dev_minor) != folder.device;
}

// What unlinkat of the entry would meet from the host's checks, in the
// kernel's order, before it looks at a folder's contents; 0 for nothing.
int HostRefusal(const struct statx &entry, const FolderFacts &folder, int flags)
{
  bool removingFolder = (flags & AT_REMOVEDIR) != 0;
  if (S_ISDIR(entry.stx_mode) != removingFolder) {
    return removingFolder ? ENOTDIR : EISDIR;
  }
  if (folder.refusal != 0) {
    return folder.refusal;
  }
  if (folder.sticky && entry.stx_uid != folder.user && folder.owner != folder.user &&
      !HasCapabilityFowner()) {
    return EPERM;
  }
  if ((entry.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0) {
    return EPERM;
  }
  return MountRoot(entry, folder) ? EBUSY : 0;
}

class Hiding final : public FileChanges {
 public:
  int Unlink(int folder, std::unique_ptr<FolderMemo> &memo, const char *name,
             const struct statx &entry, int flags) override
  {
    if (!memo) {
      memo = std::make_unique<FolderFacts>(folder);
    }
    // Only this layer makes the memos it is given.
    int refusal = HostRefusal(entry, static_cast<const FolderFacts &>(*memo), flags);
    if (refusal == 0 && (flags & AT_REMOVEDIR) != 0) {
      refusal = Emptiness(folder, name, entry);
    }
    if (refusal != 0) {
      errno = refusal;
      return -1;
    }
    if (KnownByInode(entry)) {
      Inodes(Device(entry)).Insert(entry.stx_ino);
    } else {
      named_.insert(NamedKey(folder, name));
    }
    return 0;
  }

  bool Hidden(int folder, const char *name, const struct statx &entry) const override
  {
    if (KnownByInode(entry)) {
      for (const auto &[device, inodes] : byDevice_) {
        if (device == Device(entry)) {
          return inodes.Contains(entry.stx_ino);
        }
      }
      return false;
    }
    return !named_.empty() && named_.count(NamedKey(folder, name)) != 0;
  }

 private:
  // A hidden entry is known by its inode when no other name leads to it (a
  // folder, or a file of one link): the status every lookup takes anyway
  // says whether it is hidden. A file of more links is known by its
  // folder's identity and its name, so that hiding one name of it leaves
  // the others.
  static bool KnownByInode(const struct statx &entry)
  {
    return S_ISDIR(entry.stx_mode) || entry.stx_nlink <= 1;
  }
  static dev_t Device(const struct statx &entry)
  {
    return makedev(entry.stx_dev_major, entry.stx_dev_minor);
  }
  InodeSet &Inodes(dev_t device)
  {
    for (auto &[known, inodes] : byDevice_) {
      if (known == device) {
        return inodes;
      }
    }
    return byDevice_.emplace_back(device, InodeSet()).second;
  }
  using NamedEntry = std::tuple<dev_t, ino_t, std::string>;
  static NamedEntry NamedKey(int folder, const char *name)
  {
    struct stat status = {};
    fstat(folder, &status);
    return {status.st_dev, status.st_ino, name};
  }

  // 0 when the folder `name` in `folder` holds nothing that is not hidden
  // (entries the device cannot see count, as for rmdir), else ENOTEMPTY or
  // why it cannot be read.
  int Emptiness(int folder, const char *name, const struct statx &entry) const
  {
    Fd inside(OpenBeneath(folder, name, O_RDONLY | O_DIRECTORY));
    if (!inside.valid()) {
      if (errno != EACCES) {
        return errno;
      }
      // A folder this process may not read, such as one of mode 000: rmdir
      // asks only for its parent's permission, and nothing in it was
      // hidden, since no search could read it. Whether it holds anything
      // cannot be told without reading it; chosen: empty unless its link
      // count shows a subfolder. A sealed folder holding only files is the
      // one case where the preview says removed and the run does not.
      return entry.stx_nlink > 2 ? ENOTEMPTY : 0;
    }
    FolderReader reader(std::move(inside));
    while (const char *inner = reader.Next()) {
      struct statx status;
      if (EntryStatus(reader.fd(), inner, &status) == 0 && !Hidden(reader.fd(), inner, status)) {
        return ENOTEMPTY;
      }
    }
    return 0;
  }

  std::vector<std::pair<dev_t, InodeSet>> byDevice_;  // a few file systems at most
  std::set<NamedEntry> named_;
};

}  // namespace

void PreviewFileChanges()
{
  SetFileChanges(std::make_unique<Hiding>());
}

}  // namespace tarvel::host
