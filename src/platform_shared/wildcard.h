// The device's search patterns.
#pragma once

#include <string_view>

namespace tarvel {

// Whether name matches pattern: "*" any run of units, "?" any one unit,
// without regard to case. As on the device, a pattern that ends in ".*" also
// matches a name without that dot, so "*.*" matches every name.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view name);

// Whether the pattern holds "*" or "?".
bool HasWildcards(std::u16string_view pattern);

}  // namespace tarvel
