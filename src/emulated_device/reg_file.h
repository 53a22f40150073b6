// The registry editor's text format of user.reg: read from UTF-8 (with or
// without a byte-order mark), UTF-16LE with a byte-order mark, or a code
// page for an old REGEDIT4 file; written as UTF-8 with "\n" line ends,
// version 5.00. Data bytes are kept exactly.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "registry_model.h"

namespace tarvel::regfile {

struct ParseError {
  int line;    // 1-based
  int column;  // 1-based, in characters
  std::string message;
};

// The deepest key the registry allows, in levels below its root key.
constexpr std::size_t kDeepestKey = 512;

// The code page a REGEDIT4 file that is not UTF-8 is read in, unless
// another is named: the registry editor of that era wrote the ANSI code
// page of its machine, Windows-1252 in the West.
inline const std::string kDefaultCodePage = "WINDOWS-1252";

// Reads a registry file: UTF-16LE with a byte-order mark, or UTF-8 (with
// or without one), or, for a REGEDIT4 file that is not UTF-8, the code page
// (any name iconv knows).
std::variant<reg::Registry, ParseError> Parse(std::string_view bytes,
                                              const std::string &codePage = kDefaultCodePage);

// Reads a registry file as Parse does, taking over its bytes: the bytes
// of a file that has to be converted to UTF-8 are released before the
// registry is built, so that the file is never held twice.
std::variant<reg::Registry, ParseError> ParseReleasing(std::string &&bytes,
                                                       const std::string &codePage = kDefaultCodePage);

std::string Write(const reg::Registry &registry);

}  // namespace tarvel::regfile
