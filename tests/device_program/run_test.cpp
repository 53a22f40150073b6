// The run's category table and how each category is measured.
#include "run/run.h"

#include "purge/purge.h"
#include "device_test.h"

using ::testing::ElementsAre;

namespace {

const char kOptions[] = "SOFTWARE/Halvorn/Tarvel";

class RunTest : public DeviceTest {
 protected:
  int Run() { return WinMain(fake::Instance(), nullptr, nullptr, 0); }
  // Switches every gated category off but the one named.
  void OnlyGate(const char *gate)
  {
    for (const char *option : {"telecommunications", "quiet", "CAB", "storage card"}) {
      device().SetString(kOptions, option, std::string(option) == gate ? u"1" : u"0");
    }
  }
};

TEST_F(RunTest, EveryWalkerCallOfTheTableIsMadeInOrderEvenWhenNothingExists)
{
  EXPECT_EQ(Run(), 0);

  // On an empty device each call's first search fails, so the searches are
  // exactly the calls of the table, in order.
  EXPECT_THAT(device().searches,
              ElementsAre("\\temp\\*.*", "\\tmp\\*.*", "\\Windows\\temp\\*.*",
                          "\\Windows\\tmp\\*.*",
                          "\\Windows\\Temporary Internet Files\\*.*", "\\Windows\\History\\*.*",
                          "\\Windows\\Cookies\\*.*", "\\Windows\\Profiles\\*.*", "\\Profiles\\*.*",
                          "\\My Documents\\*.*", "\\Program Files\\*.*", "\\Windows\\*.*",
                          "\\Profiles\\*.*", "\\My Documents\\*.*", "\\Program Files\\*.*",
                          "\\Windows\\*.*", "\\Profiles\\*.*", "\\My Documents\\*.*",
                          "\\Program Files\\*.*", "\\Windows\\*.*", "\\Profiles\\*.*",
                          "\\Windows\\*.*", "\\Program Files\\*.*", "\\My Documents\\*.*",
                          "\\Storage Card\\temp\\*.*", "\\Storage Card\\tmp\\*.*",
                          "\\Storage Card\\*.*", "\\Storage Card\\*.*"));
  for (int slot = 0; slot < CATEGORY_COUNT_SLOTS; ++slot) {
    EXPECT_EQ(categoryCounts[slot], 0) << slot;
  }
  EXPECT_EQ(device().bubbles.size(), 2u);
  EXPECT_TRUE(device().GetValue(kOptions, "File").has_value());
}

TEST_F(RunTest, TempEmptiesItsFourFoldersAndKeepsThem)
{
  OnlyGate("none");
  for (const char *folder : {"/temp", "/tmp", "/Windows/temp", "/Windows/tmp"}) {
    device().AddFile(std::string(folder) + "/a.log", 100);
    device().AddFile(std::string(folder) + "/sub/b.dat", 10);
  }
  device().AddFile("/Windows/keep.txt", 1);

  Run();

  EXPECT_THAT(device().Tree(), ElementsAre("\\temp\\", "\\tmp\\", "\\Windows\\",
                                           "\\Windows\\temp\\", "\\Windows\\tmp\\",
                                           "\\Windows\\keep.txt"));
  EXPECT_EQ(categoryCounts[TEMP_FILES], 8);
  EXPECT_EQ(categoryCounts[TEMP_BYTES], 440);
}

TEST_F(RunTest, TeleEmptiesTheBrowserFoldersAndPurgesProfilesOnly)
{
  OnlyGate("telecommunications");
  device().AddFile("/Windows/Temporary Internet Files/p.htm", 1);
  device().AddFile("/Windows/History/h", 2);
  device().AddFile("/Windows/Cookies/c", 4);
  device().AddFile("/Windows/Profiles/guest/Cookies/c", 8);
  device().AddFile("/Windows/Profiles/guest/keep", 16);
  device().AddFile("/Profiles/owner/History/h", 32);
  device().AddFile("/Profiles/owner/keep", 64);

  Run();

  EXPECT_THAT(device().Tree(),
              ElementsAre("\\Windows\\", "\\Windows\\Temporary Internet Files\\",
                          "\\Windows\\History\\", "\\Windows\\Cookies\\", "\\Windows\\Profiles\\",
                          "\\Windows\\Profiles\\guest\\", "\\Windows\\Profiles\\guest\\Cookies\\",
                          "\\Windows\\Profiles\\guest\\keep", "\\Profiles\\",
                          "\\Profiles\\owner\\", "\\Profiles\\owner\\History\\",
                          "\\Profiles\\owner\\keep"));
  EXPECT_EQ(categoryCounts[TELE_FILES], 5);
  EXPECT_EQ(categoryCounts[TELE_BYTES], 47);
}

TEST_F(RunTest, WsDeletesTemporaryAndTmpTempFilesInItsFourFolders)
{
  OnlyGate("quiet");
  for (const char *folder : {"/My Documents", "/Program Files", "/Windows", "/Profiles"}) {
    std::string f = folder;
    device().AddFile(f + "/flagged.doc", 1, FILE_ATTRIBUTE_TEMPORARY);
    device().AddFile(f + "/sub/x.TMP", 2);
    device().AddFile(f + "/y.temp", 4);
    device().AddFile(f + "/z.CAB", 8);
    device().AddFile(f + "/plain.doc", 16);
  }
  device().AddFile("/Storage Card/s.tmp", 32);

  Run();

  EXPECT_EQ(categoryCounts[WS_FILES], 12);
  EXPECT_EQ(categoryCounts[WS_BYTES], 28);
  for (const char *folder : {"/My Documents", "/Program Files", "/Windows", "/Profiles"}) {
    std::string f = folder;
    EXPECT_TRUE(device().Exists(f + "/z.CAB"));
    EXPECT_TRUE(device().Exists(f + "/plain.doc"));
    EXPECT_TRUE(device().Exists(f + "/sub"));
  }
  EXPECT_TRUE(device().Exists("/Storage Card/s.tmp"));
}

TEST_F(RunTest, CabDeletesInstallerArchivesInItsThreeFolders)
{
  OnlyGate("CAB");
  device().AddFile("/Windows/a.cab", 1);
  device().AddFile("/Program Files/app/b.CAB", 2);
  device().AddFile("/My Documents/c.Cab", 4);
  device().AddFile("/Profiles/d.CAB", 8);
  device().AddFile("/Windows/e.tmp", 16);

  Run();

  EXPECT_THAT(device().deleted, ElementsAre("\\Windows\\a.cab", "\\Program Files\\app\\b.CAB",
                                            "\\My Documents\\c.Cab"));
  EXPECT_EQ(categoryCounts[CAB_FILES], 3);
  EXPECT_EQ(categoryCounts[CAB_BYTES], 7);
}

TEST_F(RunTest, StorageCardCountsBytesOnlyWhileTheTallyCountsItsFiles)
{
  OnlyGate("storage card");
  device().AddFile("/Storage Card/temp/a", 100);
  device().AddFile("/Storage Card/tmp/b", 200);
  device().AddFile("/Storage Card/music/c.temp", 300);
  device().AddFile("/Storage Card/d.tmp", 400);
  device().AddFile("/Storage Card/music/song.mp3", 500);

  Run();

  EXPECT_THAT(device().Tree(), ElementsAre("\\Storage Card\\", "\\Storage Card\\temp\\",
                                           "\\Storage Card\\tmp\\", "\\Storage Card\\music\\",
                                           "\\Storage Card\\music\\song.mp3"));
  EXPECT_EQ(categoryCounts[SC_BYTES], 1000);
  EXPECT_EQ(filesRemoved, 4);
  for (int slot : {TEMP_FILES, TELE_FILES, WS_FILES, CAB_FILES}) {
    EXPECT_EQ(categoryCounts[slot], 0);
  }
}

TEST_F(RunTest, FileInAnOverlapIsCountedOnceByTheFirstCategoryThatReachesIt)
{
  device().AddFile("/Windows/temp/setup.tmp", 10);
  device().AddFile("/Profiles/owner/Cookies/c.temp", 20);
  device().AddFile("/Windows/old.CAB", 40);

  Run();

  EXPECT_EQ(categoryCounts[TEMP_FILES], 1);
  EXPECT_EQ(categoryCounts[TEMP_BYTES], 10);
  EXPECT_EQ(categoryCounts[TELE_FILES], 1);
  EXPECT_EQ(categoryCounts[TELE_BYTES], 20);
  EXPECT_EQ(categoryCounts[WS_FILES], 0);
  EXPECT_EQ(categoryCounts[CAB_FILES], 1);
  EXPECT_EQ(categoryCounts[CAB_BYTES], 40);
  EXPECT_EQ(filesRemoved, 3);
}

TEST_F(RunTest, CategoryDifferencesWrapPastTheLargestCount)
{
  // The tally is near its limit when the run starts, as after a long life.
  filesRemoved = 2147483646;
  bytesRemoved = 2147483000;
  device().AddFile("/temp/a", 600);
  device().AddFile("/temp/b", 600);
  device().AddFile("/Windows/c.CAB", 5);

  Run();

  EXPECT_EQ(categoryCounts[TEMP_FILES], 2);
  EXPECT_EQ(categoryCounts[TEMP_BYTES], 1200);
  EXPECT_EQ(categoryCounts[CAB_FILES], 1);
  EXPECT_EQ(categoryCounts[CAB_BYTES], 5);
  EXPECT_EQ(filesRemoved, -2147483647);
  EXPECT_EQ(bytesRemoved, -2147483091);
}

}  // namespace
