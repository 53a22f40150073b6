// user.reg as a file in the device folder: read whole within the size
// limit and parsed, recognised again by its identity, and replaced
// atomically. What the registry calls make of it is registry.cpp's.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "coredll.h"
#include "registry_model.h"

namespace tarvel::host::store {

// What tells the file as read from any later state of it: a replace gives
// a new inode; an edit in place a new size or change time, and a new
// modification time unless the editor set it back (cp -p, rsync -t
// --inplace), which the change time still shows.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  struct timespec modified = {};
  struct timespec changed = {};

  bool operator==(const Identity &other) const;
};

// What a read of user.reg found.
struct Absent {};
struct Unchanged {};  // the file is the one of the identity given
struct Contents {
  reg::Registry registry;
  Identity identity;
};
struct Unusable {
  // Why, as the rest of a sentence that begins with the file's name
  // (":LINE:COLUMN: ..." for a file that does not parse).
  std::string why;
  // The file's identity when it is worth reading again only once it
  // changes (it does not parse); nothing when the next call must try again.
  std::optional<Identity> identity;
};
using Reading = std::variant<Absent, Unchanged, Contents, Unusable>;

// Reads user.reg, unless it is still the file `unchangedIf` identifies.
// A REGEDIT4 file that is not UTF-8 is read in `codePage`.
Reading Read(const std::optional<Identity> &unchangedIf, const std::string &codePage);

// The outcome of a replace: the new file's identity, or that user.reg
// changed since it was read (the changes must be made again on what it
// holds now), or a failure: the registry call's error and why, as the rest
// of a sentence that begins with "user.reg" ("could not be replaced: ...").
struct ChangedMeanwhile {};
struct Failure {
  LONG error;
  std::string why;
};
using Replaced = std::variant<Identity, ChangedMeanwhile, Failure>;

// Replaces user.reg with `text`: a temporary file user.reg.tmp.<PID>
// created exclusively, written, fsync'ed and renamed over it, provided
// user.reg is still the file `known` identifies (nothing: still absent).
// The new file keeps the old one's mode and owner. Text longer than the
// store reads is refused before anything is written. The caller holds the
// device lock.
Replaced Replace(std::string_view text, const std::optional<Identity> &known);

// The path of user.reg, for messages.
std::string FilePath();

}  // namespace tarvel::host::store
