// UTF-16 helpers shared by the emulated device and the test platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// The length of a zero-terminated UTF-16 text.
std::size_t TextLength(const char16_t *text);

// A zero-terminated UTF-16 text as a view; a null pointer is an empty one.
std::u16string_view TextView(const char16_t *text);

// Well-formed UTF-8 to UTF-16; nothing for malformed input (overlong forms,
// surrogates, truncated sequences, values past U+10FFFF).
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Whether the text holds no unpaired surrogate.
bool IsWellFormedUtf16(std::u16string_view utf16);

// The upper-case form the device compares names by: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters; every other unit is itself.
char16_t FoldCase(char16_t unit);

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

// The parts of a device path or key path between its backslashes; empty
// parts (a leading, trailing or doubled backslash) are passed over.
std::vector<std::u16string_view> SplitAtBackslashes(std::u16string_view path);

}  // namespace tarvel
