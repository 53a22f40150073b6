#include "utf16.h"

namespace tarvel {

std::size_t TextLength(const char16_t *text)
{
  std::size_t length = 0;
  while (text[length] != 0) {
    ++length;
  }
  return length;
}

std::u16string_view TextView(const char16_t *text)
{
  return text ? std::u16string_view(text, TextLength(text)) : std::u16string_view();
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8)
{
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    auto byte = static_cast<unsigned char>(utf8[i]);
    char32_t code = 0;
    int extra = 0;
    char32_t least = 0;
    if (byte < 0x80) {
      code = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      code = byte & 0x1F;
      extra = 1;
      least = 0x80;
    } else if ((byte & 0xF0) == 0xE0) {
      code = byte & 0x0F;
      extra = 2;
      least = 0x800;
    } else if ((byte & 0xF8) == 0xF0) {
      code = byte & 0x07;
      extra = 3;
      least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + extra >= utf8.size() && extra > 0) {
      return std::nullopt;
    }
    for (int k = 1; k <= extra; ++k) {
      auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) {
        return std::nullopt;
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (extra > 0 && code < least) {
      return std::nullopt;
    }
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return std::nullopt;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16)
{
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t code = utf16[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

bool IsWellFormedUtf16(std::u16string_view utf16)
{
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char16_t unit = utf16[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF) {
        return false;
      }
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

char16_t FoldCase(char16_t unit)
{
  if (unit < 0x80) {
    return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
  }
  // Latin-1: à..þ but ÷; ÿ folds to Ÿ.
  if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) {
    return static_cast<char16_t>(unit - 0x20);
  }
  if (unit == 0xFF) {
    return 0x178;
  }
  // Latin Extended-A: pairs of upper and lower case, except the few that
  // pair the other way round or not at all.
  if (unit >= 0x100 && unit <= 0x17F) {
    if ((unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E)) {
      return (unit % 2 == 0) ? static_cast<char16_t>(unit - 1) : unit;
    }
    if (unit == 0x131 || unit == 0x138 || unit == 0x149 || unit == 0x17F) {
      return unit;
    }
    return (unit % 2 == 1) ? static_cast<char16_t>(unit - 1) : unit;
  }
  // Greek and Cyrillic.
  if (unit >= 0x3B1 && unit <= 0x3CB && unit != 0x3C2) {
    return static_cast<char16_t>(unit - 0x20);
  }
  if (unit >= 0x430 && unit <= 0x44F) {
    return static_cast<char16_t>(unit - 0x20);
  }
  if (unit >= 0x450 && unit <= 0x45F) {
    return static_cast<char16_t>(unit - 0x50);
  }
  return unit;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b)
{
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) {
      return false;
    }
  }
  return true;
}

std::vector<std::u16string_view> SplitAtBackslashes(std::u16string_view path)
{
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) {
      end = path.size();
    }
    if (end > start) {
      parts.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

}  // namespace tarvel
