// The keep list: what a run keeps, against a literal reference of the
// matching rule, the edges where such lists fail open, and the values that
// cannot be used, which remove nothing.
#include "purge/keep.h"

#include <algorithm>
#include <random>
#include <set>

#include "device_test.h"
#include "purge/name_match.h"
#include "purge/purge.h"
#include "run/run.h"
#include "utf16.h"
#include "wildcard.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const char kOptions[] = "SOFTWARE/Halvorn/Tarvel";

std::vector<BYTE> Bytes(std::u16string_view units)
{
  std::vector<BYTE> data;
  for (char16_t unit : units) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  return data;
}

// A REG_MULTI_SZ of the patterns (UTF-8, "/" for "\"), with its closing
// empty string.
std::vector<BYTE> MultiString(const std::vector<std::string> &patterns)
{
  std::u16string units;
  for (const auto &pattern : patterns) {
    units += fake::DevicePath(pattern);
    units += u'\0';
  }
  units += u'\0';
  return Bytes(units);
}

std::vector<std::u16string> Parts(std::u16string_view path)
{
  std::vector<std::u16string> parts;
  for (auto part : tarvel::SplitAtBackslashes(path)) {
    parts.emplace_back(part);
  }
  return parts;
}

// The reference: a pattern keeps a path when its parts match the path's
// first parts, each by the device's search rule; it runs through a path
// whose parts all match its first parts and that has fewer parts.
struct Reference {
  std::vector<std::vector<std::u16string>> patterns;

  explicit Reference(const std::vector<std::string> &list)
  {
    for (const auto &pattern : list) {
      patterns.push_back(Parts(fake::DevicePath(pattern)));
    }
  }
  static bool PrefixMatches(const std::vector<std::u16string> &pattern,
                            const std::vector<std::u16string> &path, std::size_t count)
  {
    for (std::size_t i = 0; i < count; ++i) {
      if (!tarvel::MatchesPattern(pattern[i], path[i])) {
        return false;
      }
    }
    return true;
  }
  bool Kept(std::u16string_view path) const
  {
    auto parts = Parts(path);
    for (const auto &pattern : patterns) {
      if (pattern.size() <= parts.size() && PrefixMatches(pattern, parts, pattern.size())) {
        return true;
      }
    }
    return false;
  }
  bool OnTheWay(std::u16string_view path) const
  {
    auto parts = Parts(path);
    for (const auto &pattern : patterns) {
      if (pattern.size() > parts.size() && PrefixMatches(pattern, parts, parts.size())) {
        return true;
      }
    }
    return false;
  }
};

std::string Folded(std::string_view path)
{
  std::u16string units = fake::DevicePath(path);
  for (auto &unit : units) {
    unit = tarvel::FoldCase(unit);
  }
  return tarvel::Utf16ToUtf8(units);
}

std::string WithoutSlash(std::string path)
{
  if (path.ends_with('\\')) {
    path.pop_back();
  }
  return path;
}

class KeepTest : public DeviceTest {
 protected:
  int Run() { return WinMain(fake::Instance(), nullptr, nullptr, 0); }
  void Keep(const std::vector<std::string> &patterns)
  {
    device().SetValue(kOptions, "keep", REG_MULTI_SZ, MultiString(patterns));
  }
  std::optional<DWORD> Stored(const char *name)
  {
    auto value = device().GetValue(kOptions, name);
    if (!value || value->data.size() != 4) {
      return std::nullopt;
    }
    return value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
           static_cast<DWORD>(value->data[3]) << 24;
  }
};

// Random trees over the folders of every category, with names that each
// walker acts on (temporary files, *.tmp, *.temp, *.CAB, the profile
// folders) and names beyond ASCII, refused deletes and removals.
void BuildTree(unsigned seed)
{
  fake::Device &device = fake::TheDevice();
  const char *bases[] = {"/temp", "/tmp", "/Windows", "/Windows/temp", "/Windows/Cookies",
                         "/Windows/profiles/1", "/Windows/profiles/2", "/Profiles/guest",
                         "/My Documents", "/Program Files", "/Storage Card",
                         "/Storage Card/tmp"};
  const char *names[] = {"a.tmp", "B.TMP", "c.txt", "setup.CAB", "Cookies", "History", "x.temp",
                         "d", "\xc3\x89t\xc3\xa9.tmp", "Temporary Internet Files", "m"};
  std::mt19937 random(seed);
  std::vector<std::string> folders;
  for (const char *base : bases) {
    if (random() % 3 != 0) {
      device.AddFolder(base);
      folders.push_back(base);
    }
  }
  if (folders.empty()) {
    folders.push_back("/temp");
  }
  for (int i = 0; i < 30; ++i) {
    std::string parent = folders[random() % folders.size()];
    if (std::count(parent.begin(), parent.end(), '/') > 6) {
      continue;
    }
    std::string path = parent + "/" + names[random() % std::size(names)];
    if (random() % 2 == 0) {
      DWORD attributes = random() % 3 == 0 ? FILE_ATTRIBUTE_TEMPORARY : 0;
      device.AddFile(path, 1 + random() % 100, attributes);
      if (random() % 8 == 0) {
        device.refusedDeletes.insert(path);
      }
    } else {
      device.AddFolder(path);
      folders.push_back(path);
      if (random() % 10 == 0) {
        device.refusedRemovals.insert(path);
      }
    }
  }
}

// A pattern made from a path of the tree: parts turned into wildcards or
// another case, cut short to name a folder, a trailing backslash.
std::string MakePattern(std::mt19937 &random, const std::vector<std::string> &tree)
{
  std::string path = WithoutSlash(tree[random() % tree.size()]);
  auto parts = Parts(fake::DevicePath(path));
  if (parts.size() > 1 && random() % 3 == 0) {
    parts.resize(1 + random() % (parts.size() - 1));
  }
  std::u16string pattern;
  for (auto part : parts) {
    switch (random() % 6) {
      case 0:
        part = u"*";
        break;
      case 1:
        part[random() % part.size()] = u'?';
        break;
      case 2:
        for (auto &unit : part) {
          unit = tarvel::FoldCase(unit);
        }
        break;
      case 3:
        part = part.substr(0, random() % part.size()) + u"*";
        break;
      default:
        break;
    }
    pattern += u"\\" + part;
  }
  if (random() % 5 == 0) {
    pattern += u"\\";
  }
  return tarvel::Utf16ToUtf8(pattern);
}

TEST_F(KeepTest, ListTakesAwayExactlyTheKeptEntriesAndTheFoldersOnTheirWay)
{
  for (unsigned seed = 0; seed < 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    fake::NewProcess();
    BuildTree(seed);
    auto original = device().Tree();
    Run();
    auto treeWithout = device().Tree();
    std::set<std::string> without(treeWithout.begin(), treeWithout.end());
    ASSERT_THAT(device().debugOutput, IsEmpty());

    std::mt19937 random(seed);
    std::vector<std::string> list;
    std::vector<std::string> previous = device().Tree();
    for (int count = 1; count <= 4; ++count) {
      list.push_back(MakePattern(random, original));
      SCOPED_TRACE("list ending " + list.back());
      fake::NewProcess();
      BuildTree(seed);
      Keep(list);
      Run();
      Reference reference(list);

      // What stays is what stays without the list, and every kept entry
      // and folder on the way.
      std::vector<std::string> expected;
      for (const auto &path : original) {
        std::u16string devicePath = fake::DevicePath(WithoutSlash(path));
        if (without.contains(path) || reference.Kept(devicePath) ||
            (path.ends_with('\\') && reference.OnTheWay(devicePath))) {
          expected.push_back(path);
        }
      }
      auto tree = device().Tree();
      ASSERT_EQ(tree, expected);
      // Adding a pattern never removes more.
      for (const auto &path : previous) {
        ASSERT_THAT(tree, Contains(path));
      }
      previous = tree;

      // Nothing kept is counted: the statistics hold what was deleted.
      ASSERT_EQ(filesRemoved, static_cast<LONG>(device().deleted.size()));
      ASSERT_EQ(Stored("File"), static_cast<DWORD>(device().deleted.size()));

      // Each entry told is kept; each topmost kept entry that a run without
      // the list removed is told.
      std::set<std::string> told;
      for (const auto &path : device().debugOutput) {
        ASSERT_TRUE(reference.Kept(fake::DevicePath(path))) << path;
        told.insert(Folded(path));
      }
      for (const auto &path : original) {
        std::string entry = WithoutSlash(path);
        std::string parent = entry.substr(0, entry.rfind('\\'));
        if (!without.contains(path) && reference.Kept(fake::DevicePath(entry)) &&
            !reference.Kept(fake::DevicePath(parent))) {
          ASSERT_TRUE(told.contains(Folded(entry))) << entry;
        }
      }
    }
  }
}

TEST_F(KeepTest, EdgesWhereKeepListsFailOpenElsewhere)
{
  // A trailing backslash, a pattern naming a folder, mixed case (beyond
  // ASCII too), "?" against one character only, a pattern below folders a
  // walker would remove whole, and the profile folders of the rotation.
  device().SetString(kOptions, "ie", u"1");
  device().AddFile("/temp/keepme/inner/a.dat", 10);
  device().AddFile("/temp/other.log", 1);
  device().AddFile("/temp/caf\xc3\xa9.TXT", 2);
  device().AddFile("/temp/sub/deep/keep.log", 3);
  device().AddFile("/temp/sub/deep/go.log", 4);
  device().AddFile("/My Documents/x.tmp/inner.tmp", 5);
  device().AddFile("/My Documents/x.tmp/other.tmp", 6);
  device().AddFile("/My Documents/Setup/player.CAB", 7);
  device().AddFile("/My Documents/Setup/other.CAB", 8);
  device().AddFile("/Windows/profiles/1/Cookies/user@mybank.txt", 9);
  device().AddFile("/Windows/profiles/1/Cookies/user@ads.txt", 10);
  device().AddFile("/Windows/profiles/12/Cookies/user@mybank.txt", 11);
  device().AddFolder("/Windows/profiles/2/Cookies");
  Keep({"/TEMP/KeepMe/", "/temp/CAF\xc3\x89.txt", "/temp/sub/deep/keep.log",
        "/My Documents/x.tmp/inner.tmp", "/my documents/setup/player.cab",
        "/Windows/profiles/?/Cookies/*mybank*", "/Windows/profiles/2/Cookies/gone"});

  Run();

  EXPECT_THAT(device().Tree(),
              ElementsAre("\\temp\\", "\\temp\\keepme\\", "\\temp\\keepme\\inner\\",
                          "\\temp\\keepme\\inner\\a.dat", "\\temp\\caf\xc3\xa9.TXT",
                          "\\temp\\sub\\", "\\temp\\sub\\deep\\", "\\temp\\sub\\deep\\keep.log",
                          "\\My Documents\\", "\\My Documents\\x.tmp\\",
                          "\\My Documents\\x.tmp\\inner.tmp", "\\My Documents\\Setup\\",
                          "\\My Documents\\Setup\\player.CAB", "\\Windows\\",
                          "\\Windows\\profiles\\", "\\Windows\\profiles\\1\\",
                          "\\Windows\\profiles\\1\\Cookies\\",
                          "\\Windows\\profiles\\1\\Cookies\\user@mybank.txt",
                          "\\Windows\\profiles\\12\\", "\\Windows\\profiles\\12\\Cookies\\",
                          "\\Windows\\profiles\\2\\", "\\Windows\\profiles\\2\\Cookies\\"));
  // The kept folder is not searched; each kept entry is told once.
  for (const auto &search : device().searches) {
    EXPECT_THAT(Folded(search), Not(HasSubstr("KEEPME\\"))) << search;
  }
  EXPECT_THAT(device().debugOutput,
              ElementsAre("\\temp\\keepme", "\\temp\\sub\\deep\\keep.log",
                          "\\temp\\caf\xc3\xa9.TXT",
                          "\\Windows\\Profiles\\1\\Cookies\\user@mybank.txt",
                          "\\My Documents\\x.tmp\\inner.tmp",
                          "\\My Documents\\Setup\\player.CAB"));
  EXPECT_THAT(device().Calls("OutputDebugStringW"), Contains("OutputDebugStringW(\"\\\\temp\\\\keepme\") = void"));
  // Counted: other.log, go.log, other.tmp, other.CAB, the ads cookie and
  // the 12th profile's cookie.
  EXPECT_EQ(filesRemoved, 6);
  EXPECT_EQ(bytesRemoved, 1 + 4 + 6 + 8 + 10 + 11);

  // A walker handed a kept folder, or one below it, searches nothing.
  fake::NewProcess();
  device().AddFile("/Windows/temp/a", 1);
  device().AddFile("/Windows/b.tmp", 1);
  Keep({"/Windows"});
  Run();
  EXPECT_EQ(filesRemoved, 0);
  for (const auto &search : device().searches) {
    EXPECT_FALSE(search.starts_with("\\Windows\\")) << search;
  }
  EXPECT_THAT(device().debugOutput, Contains("\\Windows\\temp"));
  EXPECT_THAT(device().debugOutput, Contains("\\Windows"));
}

TEST_F(KeepTest, ValueThatCannotBeUsedRemovesNothingAndSaysSo)
{
  std::u16string tooMany;
  for (int i = 0; i <= KEEP_MAX_PATTERNS; ++i) {
    tooMany += u"\\p" + tarvel::Utf8ToUtf16(std::to_string(i)).value() + u'\0';
  }
  struct Case {
    const char *what;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::vector<BYTE> odd = MultiString({"/temp/a"});
  odd.pop_back();
  const Case cases[] = {
      {"a number", REG_DWORD, {1, 0, 0, 0}},
      {"an expandable string", REG_EXPAND_SZ, MultiString({"/temp/a"})},
      {"an odd byte count", REG_MULTI_SZ, odd},
      {"no terminator", REG_MULTI_SZ, Bytes(u"\\temp\\a")},
      {"data after the closing empty string", REG_MULTI_SZ, Bytes(std::u16string(u"\\a\0\0\\b\0", 7))},
      {"two strings in a REG_SZ", REG_SZ, Bytes(std::u16string(u"\\a\0\\b\0", 6))},
      {"more than 4,096 bytes", REG_MULTI_SZ, MultiString({"/" + std::string(2100, 'x')})},
      {"more than 32 patterns", REG_MULTI_SZ, Bytes(tooMany)},
      {"not from the root", REG_MULTI_SZ, MultiString({"/temp/a", "temp/b"})},
      {"the root alone", REG_SZ, Bytes(std::u16string(u"\\\0", 2))},
      {"an empty part", REG_MULTI_SZ, MultiString({"/temp//a"})},
      {"a dot part", REG_MULTI_SZ, MultiString({"/temp/../Windows"})},
      {"a slash", REG_SZ, Bytes(std::u16string(u"\\temp/a\0", 8))},
      {"a pattern of 260 characters", REG_MULTI_SZ, MultiString({"/" + std::string(259, 'x')})},
      {"a failed read", REG_MULTI_SZ, MultiString({"/temp/a"})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fake::NewProcess();
    device().AddFile("/temp/a", 1);
    device().AddFile("/Windows/x.tmp", 2);
    device().SetValue(kOptions, "keep", c.type, c.data);
    if (std::string(c.what) == "a failed read") {
      device().failedReads.insert("keep");
    }

    Run();

    EXPECT_THAT(device().Calls("FindFirstFileW"), IsEmpty());
    EXPECT_THAT(device().Calls("DeleteFileW"), IsEmpty());
    for (int slot = 0; slot < CATEGORY_COUNT_SLOTS; ++slot) {
      EXPECT_EQ(categoryCounts[slot], 0) << slot;
    }
    ASSERT_EQ(device().bubbles.size(), 2u);
    EXPECT_TRUE(device().bubbles[1].html.ends_with(u"<i>Keep list unreadable: nothing removed.</i>"));
    EXPECT_EQ(Stored("File"), 0u);
    EXPECT_EQ(std::count_if(device().journal.begin(), device().journal.end(),
                            [](const std::string &line) { return line.find("\"keep\"") != std::string::npos; }),
              1);
  }

  // The limits themselves are usable: 32 patterns, 259 characters, 4,096
  // bytes.
  std::u16string most;
  for (int i = 0; i < KEEP_MAX_PATTERNS; ++i) {
    most += u"\\p" + tarvel::Utf8ToUtf16(std::to_string(i)).value() + u'\0';
  }
  std::u16string full;
  for (int i = 0; i < 8; ++i) {
    full += u"\\" + std::u16string(254, u'x') + u'\0';  // ended, no closing empty string
  }
  for (const auto &data : {Bytes(most), MultiString({"/" + std::string(258, 'x')}), Bytes(full)}) {
    KeepList list;
    KeepListProblem problem = SplitKeepList(REG_MULTI_SZ, reinterpret_cast<const WCHAR *>(data.data()),
                                            static_cast<DWORD>(data.size()), &list);
    EXPECT_EQ(problem, KEEP_LIST_USABLE);
    for (int i = 0; i < list.count; ++i) {
      EXPECT_EQ(CheckKeepPattern(list.patterns[i]), KEEP_PATTERN_USABLE);
    }
  }
  EXPECT_EQ(Bytes(full).size(), static_cast<std::size_t>(KEEP_LIST_BYTES));
}

TEST_F(KeepTest, AbsentOrEmptyListRunsAsWithoutOneAndADisabledRunNeverReadsIt)
{
  auto runWith = [&](std::optional<std::pair<DWORD, std::vector<BYTE>>> value) {
    fake::NewProcess();
    device().AddFile("/temp/a/b", 1);
    device().AddFile("/Windows/Cookies/c", 2);
    device().AddFile("/Windows/profiles/1/History/h", 4);
    device().AddFile("/My Documents/d.tmp", 8);
    device().AddFile("/Program Files/e.CAB", 16);
    device().AddFile("/Storage Card/f.temp", 32);
    // The options key is there either way.
    device().SetValue(kOptions, "keep", REG_MULTI_SZ, {});
    if (value) {
      device().SetValue(kOptions, "keep", value->first, value->second);
    } else {
      device().DeleteValue(kOptions, "keep");
    }
    Run();
    // The journal but for the read of "keep".
    std::vector<std::string> journal;
    for (const auto &line : device().journal) {
      if (line.find("\"keep\"") == std::string::npos) {
        journal.push_back(line);
      }
    }
    return journal;
  };
  auto absent = runWith(std::nullopt);
  EXPECT_EQ(filesRemoved, 6);
  EXPECT_THAT(device().Calls("RegQueryValueExW"),
              Contains(HasSubstr("\"keep\", 0, 4096, -) = 2")));
  // Empty lists, and a list that keeps nothing present, make the very same
  // calls with the same results.
  for (const auto &[type, data] :
       {std::pair<DWORD, std::vector<BYTE>>{REG_MULTI_SZ, {}}, {REG_SZ, Bytes(std::u16string(1, u'\0'))},
        {REG_MULTI_SZ, Bytes(std::u16string(1, u'\0'))},
        {REG_MULTI_SZ, Bytes(std::u16string(u"\\nowhere\\*\0", 11))}}) {
    EXPECT_EQ(runWith(std::pair{type, data}), absent);
  }

  // Disabled: "keep" is not read, even when it could not be used.
  fake::NewProcess();
  device().SetString(kOptions, "disable", u"1");
  device().SetValue(kOptions, "keep", REG_DWORD, {1, 0, 0, 0});
  Run();
  EXPECT_THAT(device().Calls("RegQueryValueExW"), Not(Contains(HasSubstr("\"keep\""))));
  EXPECT_THAT(device().bubbles, IsEmpty());

  // No options key for the "disable" read: no list, and the run goes on.
  fake::NewProcess();
  device().AddFile("/temp/a", 1);
  device().SetValue(kOptions, "keep", REG_DWORD, {1, 0, 0, 0});
  device().failOpenOnCall = 2;
  Run();
  EXPECT_THAT(device().Calls("RegQueryValueExW"), Not(Contains(HasSubstr("\"keep\""))));
  EXPECT_EQ(filesRemoved, 1);
}

TEST(KeepFoldTest, DeviceFoldsCaseAsItsFileSystemDoes)
{
  // One rule for the searches and the list: every code unit folds as the
  // device's file system folds it.
  auto special = [](unsigned unit) { return unit == 0 || unit == '\\' || unit == '*' || unit == '?'; };
  for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
    for (int offset : {0, 1, -1, 0x20, -0x20, 0x50, -0x50, 0x178 - 0xFF}) {
      unsigned other = unit + offset;
      if (other > 0xFFFF || special(unit) || special(other)) {
        continue;
      }
      WCHAR pattern[1] = {static_cast<WCHAR>(unit)};
      WCHAR name[2] = {static_cast<WCHAR>(other), 0};
      bool same = tarvel::FoldCase(static_cast<char16_t>(unit)) ==
                  tarvel::FoldCase(static_cast<char16_t>(other));
      ASSERT_EQ(PartMatches(pattern, 1, name) != 0, same) << std::hex << unit << " " << other;
    }
  }
}

}  // namespace
