#include "reg_file.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "utf16.h"

namespace tarvel::regfile {

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kOldHeader[] = "REGEDIT4";

// Whether the first line that is not blank is the old header: such a file
// was written in the ANSI code page of the machine that wrote it.
bool HasOldHeader(std::string_view bytes)
{
  std::size_t start = bytes.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || !bytes.substr(start).starts_with(kOldHeader)) {
    return false;
  }
  std::size_t after = start + sizeof kOldHeader - 1;
  return after == bytes.size() || bytes[after] == '\r' || bytes[after] == '\n' ||
         bytes[after] == ' ' || bytes[after] == '\t';
}

// The text in a code page as UTF-8, by the C library's iconv; a byte
// sequence the code page cannot convert fails with its line and column.
std::variant<std::string, ParseError> FromCodePage(std::string_view bytes, const std::string &codePage)
{
  iconv_t converter = iconv_open("UTF-8", codePage.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    return ParseError{1, 1, "the code page " + codePage + " is not known to iconv"};
  }
  // Converted into a buffer that grows as needed (E2BIG): most code pages'
  // text takes a little more room in UTF-8. Then the converter is told the
  // input has ended: it may hold back the last character until it knows
  // what follows (Windows-1258 waits for a combining mark).
  std::string out(bytes.size() + bytes.size() / 2 + 16, '\0');
  char *in = const_cast<char *>(bytes.data());
  std::size_t inLeft = bytes.size();
  std::size_t used = 0;
  std::size_t done;
  bool ending = false;
  while (true) {
    char *to = out.data() + used;
    std::size_t outLeft = out.size() - used;
    done = ending ? iconv(converter, nullptr, nullptr, &to, &outLeft)
                  : iconv(converter, &in, &inLeft, &to, &outLeft);
    used = out.size() - outLeft;
    if (done == static_cast<std::size_t>(-1) && errno == E2BIG) {
      out.resize(out.size() * 2);
    } else if (done == static_cast<std::size_t>(-1) || ending) {
      break;
    } else {
      ending = true;
    }
  }
  iconv_close(converter);
  out.resize(used);
  if (done == static_cast<std::size_t>(-1)) {
    // What was converted ends where the fault begins.
    std::size_t lineStart = out.rfind('\n');
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    ParseError fault{1 + static_cast<int>(std::count(out.begin(), out.end(), '\n')), 1,
                     "a byte sequence that the code page " + codePage + " does not have"};
    for (std::size_t i = lineStart; i < out.size(); ++i) {
      fault.column += (static_cast<unsigned char>(out[i]) & 0xC0) != 0x80;
    }
    return fault;
  }
  return out;
}

// The file is checked and converted a piece of about this many bytes at a
// time, so that no whole second form of it (UTF-16 of its UTF-8, or of its
// UTF-16 before it becomes UTF-8) is ever held besides the file.
constexpr std::size_t kDecodePiece = 64 * 1024;

// Whether the bytes are well-formed UTF-8. Each piece ends before a byte
// that begins a character, so a piece is well-formed exactly when its part
// of the whole is.
bool IsUtf8(std::string_view bytes)
{
  while (!bytes.empty()) {
    std::size_t end = std::min(bytes.size(), kDecodePiece);
    // At most three bytes follow the one a character begins with; past
    // them the bytes are malformed wherever the piece ends.
    for (int back = 0; back < 3 && end < bytes.size() &&
                       (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80;
         ++back) {
      --end;
    }
    if (!Utf8ToUtf16(bytes.substr(0, end))) {
      return false;
    }
    bytes.remove_prefix(end);
  }
  return true;
}

// UTF-16LE text (after its byte-order mark) as UTF-8, or nothing when it
// is malformed. A pair of surrogates is never split between pieces.
std::optional<std::string> FromUtf16(std::string_view bytes)
{
  std::string out;
  out.reserve(bytes.size() / 2);
  std::u16string piece;
  for (std::size_t i = 0; i + 1 < bytes.size();) {
    piece.clear();
    for (; i + 1 < bytes.size() && piece.size() < kDecodePiece / 2; i += 2) {
      piece.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    if (i + 1 < bytes.size() && piece.back() >= 0xD800 && piece.back() <= 0xDBFF) {
      piece.pop_back();
      i -= 2;
    }
    if (!IsWellFormedUtf16(piece)) {
      return std::nullopt;
    }
    out += Utf16ToUtf8(piece);
  }
  return out;
}

// The text of the file as UTF-8, or why it is not text. UTF-8 text is not
// copied: the result views the file's bytes. Other text is converted once,
// into *converted, and the result views that.
std::variant<std::string_view, ParseError> Decode(std::string_view bytes,
                                                  const std::string &codePage,
                                                  std::string *converted)
{
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      return ParseError{1, 1, "UTF-16 text with an odd number of bytes"};
    }
    auto text = FromUtf16(bytes.substr(2));
    if (!text) {
      return ParseError{1, 1, "malformed UTF-16 text"};
    }
    *converted = std::move(*text);
    return std::string_view(*converted);
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  }
  if (IsUtf8(bytes)) {
    return bytes;
  }
  if (HasOldHeader(bytes)) {
    auto text = FromCodePage(bytes, codePage);
    if (auto *error = std::get_if<ParseError>(&text)) {
      return *error;
    }
    *converted = std::move(std::get<std::string>(text));
    return std::string_view(*converted);
  }
  return ParseError{1, 1, "not UTF-8 text (only a REGEDIT4 file may be in a code page)"};
}

int HexDigit(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Why a piece of a line is not what it must be, and at which byte of the
// piece.
struct Fault {
  std::size_t at;
  std::string message;
};

// A quoted string at the start of text, with \\ and \" unescaped; the
// length of the quoted form in *used.
std::variant<std::string, Fault> Unquote(std::string_view text, std::size_t *used)
{
  if (text.empty() || text[0] != '"') {
    return Fault{0, "a quoted name expected"};
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
        return Fault{i, "only \\\\ and \\\" may be escaped in a quoted text"};
      }
      c = text[++i];
    }
    out.push_back(c);
  }
  return Fault{text.size(), "the closing \" of a quoted text expected"};
}

std::variant<std::vector<BYTE>, Fault> HexBytes(std::string_view text)
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
      return Fault{i, "a byte of two hex digits expected"};
    }
    bytes.push_back(static_cast<BYTE>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1])));
    i += 2;
    skipSpace();
    if (i == text.size()) {
      return bytes;
    }
    if (text[i] != ',') {
      return Fault{i, "\",\" expected between hex bytes"};
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
std::variant<reg::Value, Fault> ParseData(std::string_view data)
{
  reg::Value value;
  if (data.starts_with("\"")) {
    std::size_t used = 0;
    auto text = Unquote(data, &used);
    if (auto *fault = std::get_if<Fault>(&text)) {
      return *fault;
    }
    if (std::size_t after = data.find_first_not_of(" \t", used); after != std::string_view::npos) {
      return Fault{after, "nothing may follow the closing \" of a text"};
    }
    value.type = REG_SZ;
    value.data = Utf16Bytes(*Utf8ToUtf16(std::get<std::string>(text)), true);
    return value;
  }
  if (data.starts_with("dword:")) {
    std::string_view digits = data.substr(6);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t')) {
      digits.remove_suffix(1);
    }
    DWORD number = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
      int d = HexDigit(digits[i]);
      if (d < 0 || i == 8) {
        return Fault{6 + i, "dword: takes 1 to 8 hex digits"};
      }
      number = number * 16 + static_cast<DWORD>(d);
    }
    if (digits.empty()) {
      return Fault{6, "dword: takes 1 to 8 hex digits"};
    }
    value.type = REG_DWORD;
    value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                  static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
    return value;
  }
  std::size_t restAt = 0;
  if (data.starts_with("hex:")) {
    value.type = REG_BINARY;
    restAt = 4;
  } else if (data.starts_with("hex(")) {
    std::size_t close = data.find("):");
    DWORD type = 0;
    for (std::size_t i = 4; close != std::string_view::npos && i < close; ++i) {
      int d = HexDigit(data[i]);
      if (d < 0 || i == 12) {
        close = std::string_view::npos;
        break;
      }
      type = type * 16 + static_cast<DWORD>(d);
    }
    if (close == std::string_view::npos || close == 4) {
      return Fault{4, "hex( takes a type of 1 to 8 hex digits and \"):\""};
    }
    value.type = type;
    restAt = close + 2;
  } else {
    return Fault{0, "a quoted text, dword:, hex: or hex(type): expected"};
  }
  auto bytes = HexBytes(data.substr(restAt));
  if (auto *fault = std::get_if<Fault>(&bytes)) {
    return Fault{restAt + fault->at, fault->message};
  }
  value.data = std::move(std::get<std::vector<BYTE>>(bytes));
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
  if (!line.starts_with("@") && std::holds_alternative<Fault>(Unquote(line, &used))) {
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

void WriteValues(const reg::Key &key, std::string &out)
{
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
}

// Writes a root key and every key below it, each before its subkeys, with
// a stack of its own rather than by recursion: a key may be 512 levels deep
// and the writer runs on the device's 64 KiB thread. A key that holds no
// value but has subkeys needs no section of its own: its subkeys' sections
// make it again.
void WriteTree(const reg::Key &root, std::string &out)
{
  std::vector<std::pair<const reg::Key *, std::string>> pending{{&root, Utf16ToUtf8(root.name)}};
  while (!pending.empty()) {
    auto [key, path] = std::move(pending.back());
    pending.pop_back();
    if (!key->values.empty() || key->subkeys.empty()) {
      out += "[" + path + "]\n";
      WriteValues(*key, out);
      out += "\n";
    }
    for (auto subkey = key->subkeys.rbegin(); subkey != key->subkeys.rend(); ++subkey) {
      pending.emplace_back(subkey->get(), path + "\\" + Utf16ToUtf8((*subkey)->name));
    }
  }
}

// One logical line: a physical line, with the lines that continue its hex
// data appended. Knows where each of its bytes stands in the file.
struct LogicalLine {
  std::string text;
  std::vector<std::pair<std::size_t, int>> starts;  // (offset in text, line number)

  void Append(std::string_view piece, int lineNumber)
  {
    starts.emplace_back(text.size(), lineNumber);
    text += piece;
  }
  // The file's line and column (1-based, in characters) of byte `at`.
  ParseError Error(std::size_t at, std::string message) const
  {
    auto start = starts.begin();
    while (start + 1 != starts.end() && (start + 1)->first <= at) {
      ++start;
    }
    int column = 1;
    for (std::size_t i = start->first; i < at && i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
        ++column;
      }
    }
    return ParseError{start->second, column, std::move(message)};
  }
};

// Reads the registry out of the file's text, in UTF-8.
std::variant<reg::Registry, ParseError> ParseText(std::string_view text)
{
  reg::Registry registry;
  reg::Key *section = nullptr;
  bool sawHeader = false;
  int lineNumber = 0;
  std::size_t at = 0;
  auto nextLine = [&] {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    return line;
  };
  while (at < text.size()) {
    LogicalLine line;
    std::string_view first = nextLine();
    line.Append(first, lineNumber);
    // Hex data may continue on the next line after a trailing backslash.
    // Whether the line is a hex value line is settled by its first physical
    // line (its name and "=hex" stand before the backslash), so it is asked
    // once: asking again for every continued line would scan the name each
    // time.
    bool continues = first.ends_with('\\') && IsHexValueLine(first);
    while (continues && !line.text.empty() && line.text.back() == '\\' && at < text.size()) {
      line.text.pop_back();
      std::string_view next = nextLine();
      line.Append(next, lineNumber);
    }
    std::string_view view = line.text;
    std::size_t indent = view.find_first_not_of(" \t");
    view.remove_prefix(indent == std::string_view::npos ? view.size() : indent);
    auto fail = [&](std::size_t offset, std::string message) {
      return line.Error(indent + offset, std::move(message));
    };
    if (!sawHeader) {
      if (view.empty()) {
        continue;
      }
      if (view != kHeader && view != kOldHeader) {
        return fail(0, "not a registry file: the first line must be \"" + std::string(kHeader) +
                           "\"");
      }
      sawHeader = true;
      continue;
    }
    if (view.empty() || view.front() == ';') {
      continue;
    }
    if (view.front() == '[') {
      std::size_t close = view.rfind(']');
      if (close == std::string_view::npos) {
        return fail(view.size(), "a key line must end with \"]\"");
      }
      if (std::size_t after = view.find_first_not_of(" \t", close + 1);
          after != std::string_view::npos) {
        return fail(after, "nothing may follow the \"]\" of a key line");
      }
      std::string_view name = view.substr(1, close - 1);
      auto path = reg::SplitKeyPath(*Utf8ToUtf16(name));
      if (path.empty()) {
        return fail(1, "a key line must name a key");
      }
      // Judged on the root's name as split, so that "[\-X]" (whose empty
      // first part is dropped) is refused like "[-X]": written back, it
      // would read as the deletion it would be.
      if (path.front().starts_with(u'-')) {
        return fail(1, "key deletions are not supported");
      }
      if (path.size() > kDeepestKey + 1) {
        return fail(1, "a key more than " + std::to_string(kDeepestKey) +
                           " levels below its root; the registry allows no deeper key");
      }
      section = &registry.Create(path);
      continue;
    }
    if (section == nullptr) {
      return fail(0, "a value line outside any key: a [key] line must come first");
    }
    std::string name;
    std::size_t used = 0;
    if (view.starts_with("@=")) {
      used = 1;
    } else {
      auto quoted = Unquote(view, &used);
      if (auto *fault = std::get_if<Fault>(&quoted)) {
        return fail(fault->at, fault->at == 0 ? "a value line must begin with a quoted name or @"
                                              : fault->message);
      }
      name = std::get<std::string>(quoted);
    }
    if (used >= view.size() || view[used] != '=') {
      return fail(used, "\"=\" expected after the value name");
    }
    auto value = ParseData(view.substr(used + 1));
    if (auto *fault = std::get_if<Fault>(&value)) {
      return fail(used + 1 + fault->at, fault->message);
    }
    auto &parsed = std::get<reg::Value>(value);
    section->SetValue(*Utf8ToUtf16(name), parsed.type, std::move(parsed.data));
  }
  if (!sawHeader) {
    return ParseError{1, 1, "empty file: the first line must be \"" + std::string(kHeader) + "\""};
  }
  return registry;
}

// Reads a registry file; *file, when given, holds the file's bytes and is
// released once they are converted.
std::variant<reg::Registry, ParseError> DecodeAndParse(std::string_view bytes,
                                                       const std::string &codePage,
                                                       std::string *file)
{
  std::string converted;
  auto text = Decode(bytes, codePage, &converted);
  if (auto *error = std::get_if<ParseError>(&text)) {
    return *error;
  }
  if (file != nullptr && !converted.empty()) {
    std::string().swap(*file);  // the text is read from its converted form
  }
  return ParseText(std::get<std::string_view>(text));
}

}  // namespace

std::variant<reg::Registry, ParseError> Parse(std::string_view bytes, const std::string &codePage)
{
  return DecodeAndParse(bytes, codePage, nullptr);
}

std::variant<reg::Registry, ParseError> ParseReleasing(std::string &&bytes,
                                                       const std::string &codePage)
{
  return DecodeAndParse(bytes, codePage, &bytes);
}

std::string Write(const reg::Registry &registry)
{
  std::string out = std::string(kHeader) + "\n\n";
  for (const auto &root : registry.top.subkeys) {
    WriteTree(*root, out);
  }
  return out;
}

}  // namespace tarvel::regfile
