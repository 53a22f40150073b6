#include "reg_file.h"

#include <cstdio>
#include <vector>

#include "utf16.h"

namespace tarvel::regfile {

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kOldHeader[] = "REGEDIT4";

struct Failure {
  std::string message;
};

// The text of the file as UTF-8, or why it is not text.
std::variant<std::string, Failure> Decode(std::string_view bytes)
{
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      return Failure{"UTF-16 text with an odd number of bytes"};
    }
    std::u16string units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    if (!IsWellFormedUtf16(units)) {
      return Failure{"malformed UTF-16 text"};
    }
    return Utf16ToUtf8(units);
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  }
  if (!Utf8ToUtf16(bytes)) {
    return Failure{"not UTF-8 text"};
  }
  return std::string(bytes);
}

int HexDigit(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted string at the start of text, with \\ and \" unescaped; the
// length of the quoted form in *used.
std::optional<std::string> Unquote(std::string_view text, std::size_t *used)
{
  if (text.empty() || text[0] != '"') {
    return std::nullopt;
  }
  std::string out;
  for (std::size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      *used = i + 1;
      return out;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
        return std::nullopt;
      }
      c = text[++i];
    }
    out.push_back(c);
  }
  return std::nullopt;
}

std::optional<std::vector<BYTE>> HexBytes(std::string_view text)
{
  std::vector<BYTE> bytes;
  std::size_t i = 0;
  auto skipSpace = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  };
  skipSpace();
  if (i == text.size()) {
    return bytes;
  }
  while (true) {
    skipSpace();
    if (i + 1 >= text.size() || HexDigit(text[i]) < 0 || HexDigit(text[i + 1]) < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<BYTE>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1])));
    i += 2;
    skipSpace();
    if (i == text.size()) {
      return bytes;
    }
    if (text[i] != ',') {
      return std::nullopt;
    }
    ++i;
  }
}

std::vector<BYTE> Utf16Bytes(std::u16string_view text, bool terminate)
{
  std::vector<BYTE> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  if (terminate) {
    bytes.push_back(0);
    bytes.push_back(0);
  }
  return bytes;
}

// Parses the data after "=" of a value line.
std::optional<reg::Value> ParseData(std::string_view data)
{
  reg::Value value;
  if (data.starts_with("\"")) {
    std::size_t used = 0;
    auto text = Unquote(data, &used);
    if (!text || data.find_first_not_of(" \t", used) != std::string_view::npos) {
      return std::nullopt;
    }
    auto wide = Utf8ToUtf16(*text);
    if (!wide) {
      return std::nullopt;
    }
    value.type = REG_SZ;
    value.data = Utf16Bytes(*wide, true);
    return value;
  }
  if (data.starts_with("dword:")) {
    std::string_view digits = data.substr(6);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t')) {
      digits.remove_suffix(1);
    }
    if (digits.empty() || digits.size() > 8) {
      return std::nullopt;
    }
    DWORD number = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) {
        return std::nullopt;
      }
      number = number * 16 + static_cast<DWORD>(d);
    }
    value.type = REG_DWORD;
    value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                  static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
    return value;
  }
  std::string_view rest;
  if (data.starts_with("hex:")) {
    value.type = REG_BINARY;
    rest = data.substr(4);
  } else if (data.starts_with("hex(")) {
    std::size_t close = data.find("):");
    if (close == std::string_view::npos || close == 4 || close > 12) {
      return std::nullopt;
    }
    DWORD type = 0;
    for (char c : data.substr(4, close - 4)) {
      int d = HexDigit(c);
      if (d < 0) {
        return std::nullopt;
      }
      type = type * 16 + static_cast<DWORD>(d);
    }
    value.type = type;
    rest = data.substr(close + 2);
  } else {
    return std::nullopt;
  }
  auto bytes = HexBytes(rest);
  if (!bytes) {
    return std::nullopt;
  }
  value.data = std::move(*bytes);
  return value;
}

// Whether a line is a value line whose data is hex, which alone may go on
// over several lines.
bool IsHexValueLine(std::string_view line)
{
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    line.remove_prefix(1);
  }
  std::size_t used = 1;
  if (!line.starts_with("@") && !Unquote(line, &used)) {
    return false;
  }
  return line.substr(used).starts_with("=hex");
}

std::string Quote(std::string_view text)
{
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// A REG_SZ that is one well-formed terminated string without control
// characters can be written as text; anything else goes as hex(1).
std::optional<std::u16string> AsText(const std::vector<BYTE> &data)
{
  if (data.size() < 2 || data.size() % 2 != 0) {
    return std::nullopt;
  }
  std::u16string text;
  for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
    auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit < 0x20 || unit == 0x7F) {
      return std::nullopt;
    }
    text.push_back(unit);
  }
  if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0 || !IsWellFormedUtf16(text)) {
    return std::nullopt;
  }
  return text;
}

std::string HexData(const std::vector<BYTE> &data, std::size_t prefixLength)
{
  std::string out;
  std::size_t column = prefixLength;
  for (std::size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
      if (column > 76) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
  return out;
}

// A key that holds no value but has subkeys needs no section of its own:
// its subkeys' sections make it again.
void WriteKey(const reg::Key &key, const std::string &path, std::string &out)
{
  if (key.values.empty() && !key.subkeys.empty()) {
    for (const auto &subkey : key.subkeys) {
      WriteKey(*subkey, path + "\\" + Utf16ToUtf8(subkey->name), out);
    }
    return;
  }
  out += "[" + path + "]\n";
  for (const auto &value : key.values) {
    std::string line = value.name.empty() ? "@=" : Quote(Utf16ToUtf8(value.name)) + "=";
    if (value.type == REG_SZ && AsText(value.data)) {
      line += Quote(Utf16ToUtf8(*AsText(value.data)));
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
      char number[16];
      std::snprintf(number, sizeof number, "dword:%08x",
                    static_cast<unsigned>(value.data[0] | (value.data[1] << 8) |
                                          (value.data[2] << 16) |
                                          (static_cast<unsigned>(value.data[3]) << 24)));
      line += number;
    } else {
      char prefix[24];
      if (value.type == REG_BINARY) {
        std::snprintf(prefix, sizeof prefix, "hex:");
      } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
      }
      line += prefix;
      line += HexData(value.data, line.size());
    }
    out += line + "\n";
  }
  out += "\n";
  for (const auto &subkey : key.subkeys) {
    WriteKey(*subkey, path + "\\" + Utf16ToUtf8(subkey->name), out);
  }
}

}  // namespace

std::variant<reg::Registry, ParseError> Parse(std::string_view bytes)
{
  auto decoded = Decode(bytes);
  if (auto *failure = std::get_if<Failure>(&decoded)) {
    return ParseError{1, failure->message};
  }
  const std::string &text = std::get<std::string>(decoded);

  reg::Registry registry;
  reg::Key *section = nullptr;
  bool sawHeader = false;
  int lineNumber = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(at, end - at);
    at = end + 1;
    int startLine = ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    // Hex data may continue on the next line after a trailing backslash.
    while (!line.empty() && line.back() == '\\' && IsHexValueLine(line) && at < text.size()) {
      line.pop_back();
      end = text.find('\n', at);
      if (end == std::string::npos) {
        end = text.size();
      }
      std::string next = text.substr(at, end - at);
      at = end + 1;
      ++lineNumber;
      if (!next.empty() && next.back() == '\r') {
        next.pop_back();
      }
      line += next;
    }
    std::string_view view = line;
    while (!view.empty() && (view.front() == ' ' || view.front() == '\t')) {
      view.remove_prefix(1);
    }
    if (!sawHeader) {
      if (view.empty()) {
        continue;
      }
      if (view != kHeader && view != kOldHeader) {
        return ParseError{startLine, "not a registry file: the first line must be \"" +
                                         std::string(kHeader) + "\""};
      }
      sawHeader = true;
      continue;
    }
    if (view.empty() || view.front() == ';') {
      continue;
    }
    if (view.front() == '[') {
      std::size_t close = view.rfind(']');
      if (close == std::string_view::npos ||
          view.find_first_not_of(" \t", close + 1) != std::string_view::npos) {
        return ParseError{startLine, "a key line must end with \"]\""};
      }
      std::string_view name = view.substr(1, close - 1);
      if (name.starts_with("-")) {
        return ParseError{startLine, "key deletions are not supported"};
      }
      auto wide = Utf8ToUtf16(name);
      auto path = wide ? reg::SplitKeyPath(*wide) : reg::KeyPath{};
      if (path.empty()) {
        return ParseError{startLine, "a key line must name a key"};
      }
      section = &registry.Create(path);
      continue;
    }
    if (section == nullptr) {
      return ParseError{startLine, "a value line outside any key"};
    }
    std::string name;
    std::size_t used = 0;
    if (view.starts_with("@=")) {
      used = 1;
    } else {
      auto quoted = Unquote(view, &used);
      if (!quoted) {
        return ParseError{startLine, "a value line must begin with a quoted name or @"};
      }
      name = *quoted;
    }
    if (used >= view.size() || view[used] != '=') {
      return ParseError{startLine, "\"=\" expected after the value name"};
    }
    auto value = ParseData(view.substr(used + 1));
    if (!value) {
      return ParseError{startLine, "unknown or malformed value data"};
    }
    section->SetValue(*Utf8ToUtf16(name), value->type, std::move(value->data));
  }
  if (!sawHeader) {
    return ParseError{1, "empty file: the first line must be \"" + std::string(kHeader) + "\""};
  }
  return registry;
}

std::string Write(const reg::Registry &registry)
{
  std::string out = std::string(kHeader) + "\n\n";
  for (const auto &root : registry.top.subkeys) {
    WriteKey(*root, Utf16ToUtf8(root->name), out);
  }
  return out;
}

}  // namespace tarvel::regfile
