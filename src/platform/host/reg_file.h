// The registry editor's text format of user.reg: read from UTF-8 (with or
// without a byte-order mark) or UTF-16LE with a byte-order mark, written as
// UTF-8 with "\n" line ends. Data bytes are kept exactly.
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

std::variant<reg::Registry, ParseError> Parse(std::string_view bytes);

std::string Write(const reg::Registry &registry);

}  // namespace tarvel::regfile
