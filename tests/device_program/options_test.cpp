// The options key: its opens and closes through a run, the option reads and
// the three tests that turn a read into a decision.
#include "run/run.h"

#include "device_test.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const char kOptions[] = "SOFTWARE/Halvorn/Tarvel";
const char kShellFolders[] = "SOFTWARE/Microsoft/Windows/CurrentVersion/Explorer/Shell Folders";

class OptionsTest : public DeviceTest {
 protected:
  int Run() { return WinMain(fake::Instance(), nullptr, nullptr, 0); }

  // The registry calls of the run up to the statistics, as short lines:
  // "open", "create", "query NAME", "close", "set NAME", and "search" for a
  // run of searches.
  std::vector<std::string> KeyCalls()
  {
    std::vector<std::string> calls;
    for (const auto &line : device().journal) {
      if (line.starts_with("RegOpenKeyExW(")) {
        calls.push_back(line.find("Tarvel") != std::string::npos ? "open" : "open shell");
      } else if (line.starts_with("RegCreateKeyExW(")) {
        calls.push_back("create");
      } else if (line.starts_with("RegQueryValueExW(") || line.starts_with("RegSetValueExW(")) {
        std::size_t quote = line.find('"');
        std::string name = line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
        calls.push_back((line[3] == 'Q' ? "query " : "set ") + name);
      } else if (line.starts_with("RegCloseKey(")) {
        calls.push_back("close");
      } else if (line.starts_with("FindFirstFileW(") &&
                 (calls.empty() || calls.back() != "search")) {
        calls.push_back("search");
      }
    }
    return calls;
  }

  bool TempRan() { return !device().Exists("/temp/a"); }
  bool TeleRan() { return !device().Exists("/Windows/History/h"); }
  bool WsRan() { return !device().Exists("/My Documents/x.tmp"); }
  bool CabRan() { return !device().Exists("/Windows/setup.cab"); }
  bool ScRan() { return !device().Exists("/Storage Card/temp/s"); }
  void AddOneFilePerCategory()
  {
    device().AddFile("/temp/a", 1);
    device().AddFile("/Windows/History/h", 2);
    device().AddFile("/My Documents/x.tmp", 4);
    device().AddFile("/Windows/setup.cab", 8);
    device().AddFile("/Storage Card/temp/s", 16);
  }
  void ExpectAllCategoriesRan()
  {
    EXPECT_TRUE(TempRan());
    EXPECT_TRUE(TeleRan());
    EXPECT_TRUE(WsRan());
    EXPECT_TRUE(CabRan());
    EXPECT_TRUE(ScRan());
  }
};

TEST_F(OptionsTest, KeyIsOpenedReadAndClosedInTheOrderOfTheRun)
{
  device().SetString(kOptions, "ie", u"1");
  device().SetString(kShellFolders, "example", u"1");

  Run();

  auto calls = KeyCalls();
  calls.resize(35);
  EXPECT_THAT(calls,
              ElementsAre("open", "query ie", "close",                                   //
                          "open shell", "query example", "set example", "set History",    //
                          "set Cookies", "set Cache", "close",                            //
                          "open", "query disable", "query keep", "close", "search",       //
                          "open", "query telecommunications", "close", "search",          //
                          "open", "query quiet", "close", "search",                       //
                          "open", "query CAB", "close", "search",                         //
                          "open", "query storage card", "close", "search",                //
                          "open", "query File", "query filesDueToTemp", "query bytesDueToTemp"));
  // Every open is for reading only.
  for (const auto &line : device().Calls("RegOpenKeyExW")) {
    EXPECT_THAT(line, HasSubstr(", 0, 131097, "));
  }
}

TEST_F(OptionsTest, DeviceWithoutTheKeyCreatesItAndRunsEverything)
{
  AddOneFilePerCategory();

  EXPECT_EQ(Run(), 0);

  EXPECT_TRUE(device().HasKey(kOptions));
  auto create = device().Calls("RegCreateKeyExW");
  ASSERT_EQ(create.size(), 1u);
  EXPECT_THAT(create[0], HasSubstr("(HKEY_CURRENT_USER, \"Software\\\\Halvorn\\\\Tarvel\", 0, "));
  EXPECT_THAT(device().Calls("RegOpenKeyExW")[0],
              HasSubstr("\"SOFTWARE\\\\Halvorn\\\\Tarvel\""));
  EXPECT_FALSE(device().HasKey(kShellFolders));
  ExpectAllCategoriesRan();
}

TEST_F(OptionsTest, KeyThatCanBeNeitherOpenedNorCreatedIsNeverQueriedOrClosed)
{
  device().unopenableKeys.insert("SOFTWARE\\Halvorn\\Tarvel");
  device().createFails = true;
  AddOneFilePerCategory();

  EXPECT_EQ(Run(), 0);

  ExpectAllCategoriesRan();
  EXPECT_THAT(device().Calls("RegQueryValueExW"), IsEmpty());
  EXPECT_THAT(device().Calls("RegCloseKey"), IsEmpty());
  EXPECT_THAT(device().Calls("RegSetValueExW"), IsEmpty());
  EXPECT_EQ(device().bubbles.size(), 2u);
}

TEST_F(OptionsTest, DisableEndsTheRunOnlyWhenReadAndSet)
{
  struct Case {
    const char *what;
    std::vector<BYTE> data;
    bool ends;
  };
  const Case cases[] = {
      {"string 1", {'1', 0, 0, 0}, true},
      {"1 without terminator", {'1', 0}, true},
      {"two characters starting with 1", {'1', 0, '1', 0, 0, 0}, false},
      {"DWORD 1", {1, 0, 0, 0}, false},
      {"DWORD 49", {49, 0, 0, 0}, true},
      {"string 0", {'0', 0, 0, 0}, false},
      {"empty string", {0, 0}, false},
  };
  for (const Case &c : cases) {
    fake::NewProcess();
    device().SetValue(kOptions, "disable", REG_SZ, c.data);
    AddOneFilePerCategory();

    EXPECT_EQ(Run(), 0) << c.what;

    EXPECT_EQ(!TempRan(), c.ends) << c.what;
    EXPECT_EQ(device().bubbles.empty(), c.ends) << c.what;
    EXPECT_EQ(device().GetValue(kOptions, "File").has_value(), !c.ends) << c.what;
  }
}

TEST_F(OptionsTest, DisabledRunHasRotatedAndDoneNothingElse)
{
  device().SetString(kOptions, "disable", u"1");
  device().SetString(kOptions, "ie", u"1");
  device().SetString(kShellFolders, "History", u"old");
  AddOneFilePerCategory();

  Run();

  EXPECT_EQ(device().GetValue(kShellFolders, "example")->data, (std::vector<BYTE>{'2', 0}));
  EXPECT_THAT(device().searches, IsEmpty());
  EXPECT_THAT(device().Calls("SHNotificationAdd"), IsEmpty());
  EXPECT_THAT(device().Calls("SHNotificationRemove"), IsEmpty());
  EXPECT_THAT(device().Calls("Sleep"), IsEmpty());
  EXPECT_TRUE(device().journal.back().starts_with("RegCloseKey(")) << device().journal.back();
  EXPECT_EQ(device().Calls("RegQueryValueExW").size(), 3u);
}

TEST_F(OptionsTest, GatesRunTheirCategoryWhenSetOrUnreadable)
{
  struct Case {
    const char *what;
    std::optional<std::vector<BYTE>> data;  // none: the value is absent
    DWORD type;
    bool runs;
  };
  const Case cases[] = {
      {"string 0", std::vector<BYTE>{'0', 0, 0, 0}, REG_SZ, false},
      {"absent", std::nullopt, REG_SZ, true},
      {"DWORD 1", std::vector<BYTE>{1, 0, 0, 0}, REG_DWORD, false},
      {"DWORD 49", std::vector<BYTE>{49, 0, 0, 0}, REG_DWORD, true},
      {"1 without terminator", std::vector<BYTE>{'1', 0}, REG_SZ, true},
      {"string 1", std::vector<BYTE>{'1', 0, 0, 0}, REG_SZ, true},
      {"too long for the buffer", std::vector<BYTE>{'0', 0, '0', 0, 0, 0}, REG_SZ, true},
      {"no data at all", std::vector<BYTE>{}, REG_BINARY, false},
  };
  for (const Case &c : cases) {
    for (const char *gate : {"telecommunications", "quiet", "CAB", "storage card"}) {
      fake::NewProcess();
      if (c.data) {
        device().SetValue(kOptions, gate, c.type, *c.data);
      }
      AddOneFilePerCategory();

      Run();

      std::string g = gate;
      EXPECT_TRUE(TempRan());
      EXPECT_EQ(TeleRan(), g != "telecommunications" || c.runs) << c.what << " " << g;
      EXPECT_EQ(WsRan(), g != "quiet" || c.runs) << c.what << " " << g;
      EXPECT_EQ(CabRan(), g != "CAB" || c.runs) << c.what << " " << g;
      EXPECT_EQ(ScRan(), g != "storage card" || c.runs) << c.what << " " << g;
    }
  }
}

TEST_F(OptionsTest, SkippedCategoryKeepsZeroCounts)
{
  device().SetString(kOptions, "CAB", u"0");
  device().AddFile("/Windows/a.CAB", 5);

  Run();

  EXPECT_TRUE(device().Exists("/Windows/a.CAB"));
  EXPECT_EQ(categoryCounts[CAB_FILES], 0);
  EXPECT_EQ(categoryCounts[CAB_BYTES], 0);
  EXPECT_EQ(device().GetValue(kOptions, "filesDueToCAB")->data, (std::vector<BYTE>{0, 0, 0, 0}));
}

TEST_F(OptionsTest, GateChangedDuringTheRunTakesEffectForLaterCategories)
{
  AddOneFilePerCategory();
  // While Temp is cleaning, something switches CAB off and quiet stays on.
  device().onCall = [this](const std::string &line) {
    if (line.starts_with("DeleteFileW(\"\\\\temp\\\\a\")")) {
      device().SetString(kOptions, "CAB", u"0");
    }
  };

  Run();

  EXPECT_TRUE(WsRan());
  EXPECT_FALSE(CabRan());
  EXPECT_TRUE(ScRan());
}

TEST_F(OptionsTest, IeThatCannotBeReadDoesNotRotate)
{
  device().SetValue(kOptions, "ie", REG_SZ, {'1', 0, '1', 0, 0, 0});

  Run();

  EXPECT_FALSE(device().HasKey(kShellFolders));
  EXPECT_THAT(device().Calls("RegQueryValueExW")[0], HasSubstr("\"ie\", 1, 6, -) = 234"));
  EXPECT_EQ(optionBuffer[0], '0');
}

TEST_F(OptionsTest, EmptyDisableAfterARotationToProfileOneDoesNotEndTheRun)
{
  // The rotation leaves "1" in the option buffer; a "disable" that reads
  // successfully with no data must not be judged by it.
  device().SetString(kOptions, "ie", u"1");
  device().SetString(kShellFolders, "example", u"2");
  device().SetValue(kOptions, "disable", REG_BINARY, {});
  device().AddFile("/temp/a", 1);

  Run();

  EXPECT_EQ(device().GetValue(kShellFolders, "example")->data, (std::vector<BYTE>{'1', 0}));
  EXPECT_FALSE(device().Exists("/temp/a"));
  EXPECT_EQ(device().bubbles.size(), 2u);
}

}  // namespace
