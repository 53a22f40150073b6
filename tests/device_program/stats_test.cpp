// The lifetime statistics through whole runs.
#include "stats/stats.h"

#include "purge/purge.h"
#include "run/run.h"
#include "device_test.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

const char kOptions[] = "SOFTWARE/Halvorn/Tarvel";
const char *const kWriteOrder[] = {
    "File",          "Size",           "filesDueToTemp", "bytesDueToTemp",
    "filesDueToTele", "bytesDueToTele", "filesDueToWS",   "bytesDueToWS",
    "filesDueToCAB", "bytesDueToCAB",  "filesDueToSC",   "bytesDueToSC"};

class StatsTest : public DeviceTest {
 protected:
  int Run() { return WinMain(fake::Instance(), nullptr, nullptr, 0); }
  LONG Stored(const char *name)
  {
    auto value = device().GetValue(kOptions, name);
    EXPECT_TRUE(value.has_value()) << name;
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD)) << name;
    EXPECT_EQ(value->data.size(), 4u) << name;
    DWORD v = 0;
    for (int i = 3; i >= 0; --i) {
      v = (v << 8) | value->data[i];
    }
    return static_cast<LONG>(v);
  }
  std::vector<LONG> AllStored()
  {
    std::vector<LONG> values;
    for (const char *name : kWriteOrder) {
      values.push_back(Stored(name));
    }
    return values;
  }
  void StoreAll(std::vector<LONG> values)
  {
    for (std::size_t i = 0; i < values.size(); ++i) {
      device().SetDword(kOptions, kWriteOrder[i], static_cast<DWORD>(values[i]));
    }
  }
  // The value names of one call, in order.
  std::vector<std::string> Names(const char *call)
  {
    std::vector<std::string> names;
    for (const auto &line : device().Calls(call)) {
      std::size_t quote = line.find('"');
      names.push_back(line.substr(quote + 1, line.find('"', quote + 1) - quote - 1));
    }
    return names;
  }
};

TEST_F(StatsTest, StoredTotalsGrowByWhatTheRunRemoved)
{
  //            File Size   fTemp bTemp fTele bTele fWS bWS fCAB bCAB fSC bSC
  StoreAll({100, 50000, 40, 9000, 7, 700, 3, 30, 2, 2000, 100, 55});
  for (int i = 0; i < 5; ++i) {
    device().AddFile("/temp/f" + std::to_string(i), 200);
  }

  Run();

  EXPECT_EQ(AllStored(),
            (std::vector<LONG>{105, 51000, 45, 10000, 7, 700, 3, 30, 2, 2000, 105, 0}));
  auto sets = Names("RegSetValueExW");
  EXPECT_THAT(sets, ElementsAreArray(kWriteOrder));
  for (const auto &line : device().Calls("RegSetValueExW")) {
    EXPECT_NE(line.find(", 4, 4, "), std::string::npos) << line;
  }
}

TEST_F(StatsTest, CallsAreOneOpenTenReadsReportBubbleTwelveWritesOneClose)
{
  Run();

  // From the statistics open on: nothing but these calls, in this order.
  auto &journal = device().journal;
  std::size_t open = 0;
  for (std::size_t i = 0; i < journal.size(); ++i) {
    if (journal[i].starts_with("RegOpenKeyExW(")) {
      open = i;
    }
  }
  std::vector<std::string> tail;
  for (std::size_t i = open; i < journal.size(); ++i) {
    const std::string &line = journal[i];
    tail.push_back(line.substr(0, line.find('(')));
  }
  std::vector<std::string> expected{"RegOpenKeyExW"};
  expected.insert(expected.end(), 10, "RegQueryValueExW");
  for (const char *call : {"LoadImageW", "SHNotificationRemove", "SHNotificationAdd", "Sleep",
                           "SHNotificationRemove"}) {
    expected.push_back(call);
  }
  expected.insert(expected.end(), 12, "RegSetValueExW");
  expected.push_back("RegCloseKey");
  EXPECT_EQ(tail, expected);
  auto reads = Names("RegQueryValueExW");
  std::vector<std::string> lastTen(reads.end() - 10, reads.end());
  EXPECT_THAT(lastTen, ElementsAre("File", "filesDueToTemp", "bytesDueToTemp", "filesDueToTele",
                                   "bytesDueToTele", "filesDueToWS", "bytesDueToWS",
                                   "filesDueToCAB", "bytesDueToCAB", "Size"));
}

TEST_F(StatsTest, FirstRunStoresThisRunsCounts)
{
  device().AddFile("/temp/a", 10);
  device().AddFile("/Windows/History/h", 20);
  device().AddFile("/Windows/x.tmp", 40);
  device().AddFile("/Program Files/setup.CAB", 80);
  device().AddFile("/Storage Card/tmp/s", 160);

  Run();

  EXPECT_EQ(AllStored(), (std::vector<LONG>{5, 310, 1, 10, 1, 20, 1, 40, 1, 80, 5, 160}));
  // The failed reads are traced the same on every run: no type was given back.
  for (const auto &line : device().Calls("RegQueryValueExW")) {
    if (line.find("\"File\"") != std::string::npos) {
      EXPECT_THAT(line, ::testing::HasSubstr("\"File\", 0, 4, -) = 2")) << line;
    }
  }
}

TEST_F(StatsTest, WithoutAReadableSizeNothingIsMergedAndAllIsOverwritten)
{
  for (bool sizeTooLong : {false, true}) {
    fake::NewProcess();
    StoreAll({100, 50000, 40, 9000, 7, 700, 3, 30, 2, 2000, 100, 55});
    if (sizeTooLong) {
      device().SetValue(kOptions, "Size", REG_BINARY, {1, 0, 0, 0, 0, 0});
    } else {
      device().DeleteValue(kOptions, "Size");
    }
    device().AddFile("/temp/a", 10);

    Run();

    EXPECT_EQ(AllStored(), (std::vector<LONG>{1, 10, 1, 10, 0, 0, 0, 0, 0, 0, 1, 0}))
        << sizeTooLong;
  }
}

TEST_F(StatsTest, UnreadableValueAddsZeroAndShortOneAddsItsBytes)
{
  StoreAll({100, 50000, 40, 9000, 7, 700, 3, 30, 2, 2000, 100, 55});
  device().DeleteValue(kOptions, "filesDueToTele");
  device().SetValue(kOptions, "bytesDueToTele", REG_BINARY, {1, 2, 3, 4, 5});
  device().SetValue(kOptions, "filesDueToWS", REG_BINARY, {0x10, 0x01});

  Run();

  EXPECT_EQ(Stored("filesDueToTele"), 0);
  EXPECT_EQ(Stored("bytesDueToTele"), 0);
  EXPECT_EQ(Stored("filesDueToWS"), 0x110);
  EXPECT_EQ(Stored("File"), 100);
}

TEST_F(StatsTest, SkippedCategoryKeepsItsStoredValues)
{
  StoreAll({100, 50000, 40, 9000, 7, 700, 3, 30, 2, 2000, 100, 55});
  device().SetString(kOptions, "quiet", u"0");
  device().AddFile("/Windows/x.tmp", 40);

  Run();

  EXPECT_EQ(Stored("filesDueToWS"), 3);
  EXPECT_EQ(Stored("bytesDueToWS"), 30);
  EXPECT_TRUE(device().Exists("/Windows/x.tmp"));
}

TEST_F(StatsTest, StorageCardBytesAreThisRunsOnlyWhileSizeGrowsByBoth)
{
  device().AddFile("/Storage Card/temp/a", 300);
  Run();
  EXPECT_EQ(Stored("bytesDueToSC"), 300);

  // A second process on the same registry.
  fake::reg::Registry kept = std::move(device().registry);
  fake::NewProcess();
  device().registry = std::move(kept);
  device().AddFile("/Storage Card/tmp/b", 200);
  Run();

  EXPECT_EQ(Stored("bytesDueToSC"), 200);
  EXPECT_EQ(Stored("Size"), 500);
  EXPECT_EQ(Stored("File"), 2);
  EXPECT_EQ(Stored("filesDueToSC"), 2);
}

TEST_F(StatsTest, TotalsWrapAroundAndAreReportedSo)
{
  StoreAll({2147483647, 2147483000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  device().AddFile("/temp/a", 1000);

  Run();

  EXPECT_EQ(Stored("Size"), -2147483296);
  EXPECT_EQ(Stored("File"), -2147483647 - 1);
  EXPECT_NE(device().bubbles.at(1).html.find(u"-2147483648 file(s)"), std::u16string::npos);
  EXPECT_NE(device().bubbles.at(1).html.find(u"-2147483296 byte(s)"), std::u16string::npos);
}

TEST_F(StatsTest, KeyThatCannotBeOpenedForTheStatisticsIsNeitherReadNorWritten)
{
  // The seventh open is the statistics' one: options, disable, four gates.
  device().failOpenOnCall = 7;
  StoreAll({100, 50000, 40, 9000, 7, 700, 3, 30, 2, 2000, 100, 55});
  device().AddFile("/temp/a", 1);

  Run();

  EXPECT_EQ(device().Calls("RegOpenKeyExW").size(), 7u);
  // ie, disable, keep and the four gates.
  EXPECT_EQ(Names("RegQueryValueExW").size(), 7u);
  EXPECT_THAT(device().Calls("RegSetValueExW"), IsEmpty());
  EXPECT_EQ(Stored("File"), 100);
  // The report shows this run's totals.
  EXPECT_NE(device().bubbles.at(1).html.find(u"> 1 file(s)"), std::u16string::npos);
}

TEST_F(StatsTest, FailedWriteIsPassedOverAndTheRestAreMade)
{
  device().failedWrites.insert("Size");

  Run();

  EXPECT_EQ(device().Calls("RegSetValueExW").size(), 12u);
  EXPECT_FALSE(device().GetValue(kOptions, "Size").has_value());
  EXPECT_EQ(Stored("bytesDueToSC"), 0);
  EXPECT_EQ(device().Calls("RegCloseKey").size(), 7u);
}

TEST_F(StatsTest, DisabledRunLeavesTheStatisticsUntouched)
{
  StoreAll({100, 50000, 40, 9000, 7, 700, 3, 30, 2, 2000, 100, 55});
  device().SetString(kOptions, "disable", u"1");
  device().AddFile("/temp/a", 1);

  Run();

  EXPECT_EQ(AllStored(), (std::vector<LONG>{100, 50000, 40, 9000, 7, 700, 3, 30, 2, 2000, 100, 55}));
  EXPECT_THAT(device().Calls("RegSetValueExW"), IsEmpty());
}

}  // namespace
