// The option values in user.reg as the device program reads them.
//
// The device reads each option value into its 4-byte option buffer: data
// longer than that is a failed read, which leaves the buffer as it was. A
// value is set when it was read and its first byte is the character "1"
// (OptionIsSet). "ie" and "disable" act only when set; a category's gate
// lets it run when its value is set and also when it could not be read
// (GateOpen), so an absent value, or one too long to read, lets it run.
#include "run_options.h"

#include <cctype>
#include <cstdio>
#include <string_view>
#include <vector>

#include "host.h"
#include "utf16.h"

namespace tarvel::launcher {

namespace {

// The categories in words, by their names in the device's table (see
// categories.cpp for what each walks).
struct KnownWords {
  std::u16string_view name;
  const char *words;
};
const KnownWords kCategoryWords[] = {
    {u"Temp", "temporary folders"},   // \temp, \tmp, \Windows\temp, \Windows\tmp
    {u"Tele", "browser data"},        // the browser's cache, history and cookies
    {u"WS", "temporary files"},       // *.tmp, *.temp and files marked temporary
    {u"CAB", "installer archives"},   // *.CAB
    {u"SC", "storage card"},          // the storage card's temporaries
};

// An option value as the device reads it.
struct OptionValue {
  std::optional<std::vector<BYTE>> data;  // nothing: absent

  // Read whole: within the option buffer.
  bool Readable() const { return data && data->size() <= OPTION_BUFFER_BYTES; }
  // Read, with a first byte that is the character "1".
  bool Set() const { return Readable() && !data->empty() && (*data)[0] == '1'; }
  // Whether the run acts as if it were on: set, or, for a gate, unreadable.
  bool TakenAsOn(bool onWhenUnreadable) const { return Readable() ? Set() : onWhenUnreadable; }
};

OptionValue LookUpOption(std::u16string_view name)
{
  return {tarvel::host::StoredValue(OptionsKeyPath(), name)};
}

// An option and what the run does by it. "ie" and "disable" are named here
// as WinMain names them in its calls; the gates come from the category
// table.
struct Option {
  std::u16string_view name;
  std::string whenOn;
  std::string whenOff;
  bool onWhenUnreadable;  // a gate: a value that cannot be read lets its category run
};

std::vector<Option> Options()
{
  std::vector<Option> options = {
      {u"ie", "the browser profile switches", "the browser profile does not switch", false},
      {u"disable", "the run is disabled", "the run is not disabled", false}};
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    if (LPCWSTR gate = kCleanupCategories[c].gateOption) {
      std::string cleanUp = "the " + CategoryWords(c) + " clean-up";
      options.push_back({gate, cleanUp + " runs", cleanUp + " is switched off", true});
    }
  }
  return options;
}

// What a value's data says to a person who reads it: text (UTF-16 as a
// REG_SZ holds it, or single bytes) by its word; other data of up to 4
// bytes is a number, as a DWORD, on unless 0.
enum class Says { kOn, kOff, kNothingClear };

struct Reading {
  std::string shown;  // "the text \"off\"", "the number 1"
  Says says;
};

bool Printable(char16_t unit)
{
  return unit >= 0x20 && unit < 0x7f;
}

std::optional<std::string> AsText(const std::vector<BYTE> &data)
{
  std::string text;
  bool utf16 = !data.empty() && data.size() % 2 == 0;
  for (std::size_t i = 0; utf16 && i < data.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0 && i + 2 == data.size()) {
      break;  // its terminator
    }
    utf16 = Printable(unit);
    text += static_cast<char>(unit);
  }
  if (utf16 && !text.empty()) {
    return text;
  }
  text.assign(data.begin(), data.end());
  if (text.ends_with('\0')) {
    text.pop_back();
  }
  for (char c : text) {
    if (!Printable(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
  }
  return text.empty() ? std::nullopt : std::optional(text);
}

Reading Read(const std::vector<BYTE> &data)
{
  if (auto text = AsText(data)) {
    std::string word;
    for (char c : *text) {
      if (c != ' ') {
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    Says says = Says::kNothingClear;
    for (const char *on : {"1", "y", "yes", "true", "on", "enable", "enabled"}) {
      says = word == on ? Says::kOn : says;
    }
    for (const char *off : {"0", "n", "no", "false", "off", "disable", "disabled"}) {
      says = word == off ? Says::kOff : says;
    }
    return {"the text \"" + *text + "\"", says};
  }
  if (data.empty()) {
    return {"empty", Says::kNothingClear};
  }
  if (data.size() <= 4) {
    std::uint32_t number = 0;
    for (std::size_t i = data.size(); i-- > 0;) {
      number = number << 8 | data[i];
    }
    return {"the number " + std::to_string(number), number != 0 ? Says::kOn : Says::kOff};
  }
  return {"binary data", Says::kNothingClear};
}

// Every warning said, for the JSON summary.
std::vector<std::string> warningsGiven;

}  // namespace

void Warn(const std::string &text)
{
  std::fprintf(stderr, "tarvel: warning: %s\n", text.c_str());
  warningsGiven.push_back(text);
}

const std::vector<std::string> &WarningsGiven()
{
  return warningsGiven;
}

std::string CategoryWords(int category)
{
  std::u16string_view name = kCleanupCategories[category].name;
  for (const KnownWords &known : kCategoryWords) {
    if (known.name == name) {
      return known.words;
    }
  }
  return Utf16ToUtf8(name);
}

std::string CategoryInWords(int category)
{
  return CategoryWords(category) + " (" + Utf16ToUtf8(kCleanupCategories[category].name) + ")";
}

CategoryGates ReadCategoryGates()
{
  CategoryGates gates;
  for (int c = 0; c < CLEANUP_CATEGORY_COUNT; ++c) {
    LPCWSTR gate = kCleanupCategories[c].gateOption;
    if (gate != nullptr) {
      if (!LookUpOption(gate).TakenAsOn(true)) {
        gates[c] = Utf16ToUtf8(gate);
      }
    }
  }
  return gates;
}

void WarnAboutOptions()
{
  for (const Option &option : Options()) {
    OptionValue value = LookUpOption(option.name);
    if (!value.data) {
      continue;
    }
    Reading reading = Read(*value.data);
    bool on = value.TakenAsOn(option.onWhenUnreadable);
    if (value.Readable() && reading.says == (on ? Says::kOn : Says::kOff)) {
      continue;  // it does what it says
    }
    std::string why;
    if (!value.Readable()) {
      why = "it is longer than the " + std::to_string(OPTION_BUFFER_BYTES) +
            " bytes the device reads, so the device cannot read it and";
    } else if (value.data->empty()) {
      why = "the device takes it as not set, as it has no first byte, so";
    } else if (value.Set()) {
      why = "the device takes it as set, as its first byte is the character \"1\", so";
    } else {
      why = "the device takes it as not set, as its first byte is not the character \"1\", so";
    }
    Warn("\"" + Utf16ToUtf8(option.name) + "\" in user.reg is " + reading.shown + " (" +
         std::to_string(value.data->size()) + " bytes): " + why + " " +
         (on ? option.whenOn : option.whenOff));
  }
}

}  // namespace tarvel::launcher
