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

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host.h"
#include "host_internal.h"

namespace tarvel::host {

namespace {

// A set of 64-bit keys in one array, with open addressing: 8 bytes a slot,
// grown by doubling when half full, so 16 to 32 bytes a key (48 for the
// moment the array doubles, while both arrays are held). Half full at most
// keeps a search for a key that is not there to a few slots.
class KeySet {
 public:
  bool Empty() const { return count_ == 0 && !hasZero_; }
  bool Contains(std::uint64_t key) const
  {
    if (key == kEmpty) {
      return hasZero_;
    }
    if (slots_.empty()) {
      return false;
    }
    for (std::size_t at = Start(key, slots_.size());; at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at] == key) {
        return true;
      }
      if (slots_[at] == kEmpty) {
        return false;
      }
    }
  }
  void Insert(std::uint64_t key)
  {
    if (key == kEmpty) {
      hasZero_ = true;
      return;
    }
    if ((count_ + 1) * 2 > slots_.size()) {
      std::vector<std::uint64_t> grown(std::max<std::size_t>(64, slots_.size() * 2), kEmpty);
      for (std::uint64_t kept : slots_) {
        if (kept != kEmpty) {
          Place(grown, kept);
        }
      }
      slots_.swap(grown);
    }
    count_ += Place(slots_, key) ? 1 : 0;
  }

 private:
  static constexpr std::uint64_t kEmpty = 0;  // the key 0 is kept aside in hasZero_
  // The keys are hashes already: their low bits serve as they are.
  static std::size_t Start(std::uint64_t key, std::size_t size)
  {
    return static_cast<std::size_t>(key) & (size - 1);
  }
  // Whether the key was new to `slots`.
  static bool Place(std::vector<std::uint64_t> &slots, std::uint64_t key)
  {
    for (std::size_t at = Start(key, slots.size());; at = (at + 1) & (slots.size() - 1)) {
      if (slots[at] == key) {
        return false;
      }
      if (slots[at] == kEmpty) {
        slots[at] = key;
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

// The ids a user namespace maps, read from its map file
// ("/proc/self/uid_map" or gid_map): lines of "inside outside count". An
// owner that is not mapped shows as the overflow id, outside every range.
// The initial namespace maps every id; a map that cannot be read is taken
// as that.
class IdMap {
 public:
  explicit IdMap(const char *mapFile)
  {
    if (FILE *map = std::fopen(mapFile, "re")) {
      unsigned long long first, outside, count;
      while (std::fscanf(map, "%llu %llu %llu", &first, &outside, &count) == 3) {
        ranges_.push_back({first, count});
      }
      std::fclose(map);
    }
    if (ranges_.empty()) {
      ranges_.push_back({0, 1ull << 32});
    }
  }
  bool Maps(std::uint32_t id) const
  {
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const Range &range) {
      return id >= range.first && id - range.first < range.count;
    });
  }

 private:
  struct Range {
    std::uint64_t first, count;
  };
  std::vector<Range> ranges_;
};

// Whether CAP_FOWNER lets this process delete the entry in a sticky folder
// it owns neither: the kernel grants it only when the entry's owner and
// group are both mapped in the process's user namespace (inside
// "unshare -U -r" a file of another user is not).
bool MayDeleteAsFowner(const struct statx &entry)
{
  // Read once: a process's own namespace does not change during a run.
  static const IdMap users("/proc/self/uid_map");
  static const IdMap groups("/proc/self/gid_map");
  return HasCapabilityFowner() && users.Maps(entry.stx_uid) && groups.Maps(entry.stx_gid);
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
    inode = self.stx_ino;
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
  dev_t device = 0;  // with the inode, the folder's identity: 0 if unknown
  ino_t inode = 0;
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
      !MayDeleteAsFowner(entry)) {
    return EPERM;
  }
  if ((entry.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0) {
    return EPERM;
  }
  return MountRoot(entry, folder) ? EBUSY : 0;
}

// MurmurHash3's 64-bit finaliser: a bijection whose every output bit
// depends on every input bit.
std::uint64_t Mix(std::uint64_t value)
{
  value ^= value >> 33;
  value *= 0xFF51AFD7ED558CCDull;
  value ^= value >> 33;
  value *= 0xC4CEB9FE1A85EC53ull;
  value ^= value >> 33;
  return value;
}

// The key of the entry `name` in the folder: a 64-bit hash of the folder's
// identity (device, inode) and the name, the name taken 8 bytes at a time,
// each mixed into the state by Mix. Chosen over a 128-bit key so that a
// hidden entry takes at most 32 bytes in a set at most half full. Two
// entries sharing a key would hide the second one once the first is hidden
// (the preview would then list what the run does not remove): with n
// entries hidden and m names asked after, the odds of any such pair are
// about n*m/2^64, one run in eighteen million for a million of each.
std::uint64_t EntryKey(const FolderFacts &folder, const char *name)
{
  std::uint64_t state = Mix(Mix(folder.inode) ^ static_cast<std::uint64_t>(folder.device));
  std::size_t length = std::strlen(name);
  // A host name holds no NUL, so the zeros padding its last block cannot
  // make two names alike.
  for (std::size_t at = 0; at < length; at += 8) {
    std::uint64_t block = 0;
    std::memcpy(&block, name + at, std::min<std::size_t>(8, length - at));
    state = Mix(state ^ block);
  }
  return state;
}

// Hides each entry the host would let the run remove, by its folder's
// identity and its name: hiding one name of a file of several links leaves
// the others, and a folder removed is hidden by its name in its parent (the
// entries below it were hidden before, or it could not be removed).
class Hiding final : public FileChanges {
 public:
  int Unlink(int folder, std::unique_ptr<FolderMemo> &memo, const char *name,
             const struct statx &entry, int flags) override
  {
    const FolderFacts &facts = Facts(folder, memo);
    int refusal = HostRefusal(entry, facts, flags);
    if (refusal == 0 && (flags & AT_REMOVEDIR) != 0) {
      refusal = Emptiness(folder, name, facts);
    }
    if (refusal != 0) {
      errno = refusal;
      return -1;
    }
    hidden_.Insert(EntryKey(facts, name));
    return 0;
  }

  bool Hidden(int folder, std::unique_ptr<FolderMemo> &memo, const char *name) const override
  {
    return !hidden_.Empty() && hidden_.Contains(EntryKey(Facts(folder, memo), name));
  }

 private:
  // The folder's facts, taken at the first call that needs them. Only this
  // layer makes the memos it is given.
  static const FolderFacts &Facts(int folder, std::unique_ptr<FolderMemo> &memo)
  {
    if (!memo) {
      memo = std::make_unique<FolderFacts>(folder);
    }
    return static_cast<const FolderFacts &>(*memo);
  }

  // 0 when the folder `name` in `folder` holds nothing that is not hidden
  // (entries the device cannot see count, as for rmdir), else ENOTEMPTY or
  // why it cannot be opened. A folder the preview cannot look inside (one of
  // mode 000 cannot be read, one of mode 0600 read but its entries not
  // asked, as a user other than root) may or may not be empty: it is taken
  // as not, since the preview must not promise a removal the run may not
  // make, and said on stderr.
  int Emptiness(int folder, const char *name, const FolderFacts &facts)
  {
    Fd inside(OpenBeneath(folder, name, O_RDONLY | O_DIRECTORY));
    if (!inside.valid()) {
      return errno == EACCES ? CannotLookInside(folder, name, facts, errno) : errno;
    }
    FolderReader reader(std::move(inside));
    std::unique_ptr<FolderMemo> memo;
    while (const char *inner = reader.Next()) {
      // A name not hidden counts unless its entry has vanished since.
      struct statx status;
      if (Hidden(reader.fd(), memo, inner)) {
        continue;
      }
      if (EntryStatus(reader.fd(), inner, &status) == 0) {
        return ENOTEMPTY;
      }
      if (errno != ENOENT) {
        return CannotLookInside(folder, name, facts, errno);
      }
    }
    return 0;
  }

  // Says once a folder that the preview could not look inside it, and
  // gives the refusal that lists it as not removed.
  int CannotLookInside(int folder, const char *name, const FolderFacts &facts, int error)
  {
    std::uint64_t key = EntryKey(facts, name);
    if (!unseen_.Contains(key)) {
      unseen_.Insert(key);
      std::string path = PathOfDescriptor(folder);
      path = path.empty() ? name : path + "/" + name;
      std::fprintf(stderr,
                   "tarvel: preview: could not look inside %s (%s), so it is listed as not "
                   "removed\n",
                   path.c_str(), std::strerror(error));
    }
    return ENOTEMPTY;
  }

  KeySet hidden_;
  KeySet unseen_;  // the folders said to be unseen inside
};

}  // namespace

void PreviewFileChanges()
{
  SetFileChanges(std::make_unique<Hiding>());
}

}  // namespace tarvel::host
