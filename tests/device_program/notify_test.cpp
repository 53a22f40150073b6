// The two bubbles, as the shell is handed them through a run.
#include "notify/notify.h"

#include <cstring>

#include "run/run.h"
#include "device_test.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class NotifyTest : public DeviceTest {
 protected:
  int Run() { return WinMain(fake::Instance(), nullptr, nullptr, 0); }
  // The journal lines of the shell, the icon loads, the wait, the first
  // search, the first statistics write, by call name.
  std::vector<std::string> Milestones()
  {
    std::vector<std::string> names;
    bool searched = false, wrote = false;
    for (const auto &line : device().journal) {
      std::string name = line.substr(0, line.find('('));
      if (name == "FindFirstFileW") {
        if (searched) continue;
        searched = true;
      }
      if (name == "RegSetValueExW") {
        if (wrote) continue;
        wrote = true;
      }
      if (name.starts_with("SH") || name == "LoadImageW" || name == "Sleep" ||
          name == "FindFirstFileW" || name == "RegSetValueExW") {
        names.push_back(name == "SHNotificationAdd" || name == "SHNotificationRemove"
                            ? line.substr(0, line.find(')') + 1)
                            : name);
      }
    }
    return names;
  }
};

TEST_F(NotifyTest, EnabledRunCallsTheShellFourTimesInOrder)
{
  Run();

  EXPECT_THAT(Milestones(),
              ElementsAre("LoadImageW", "SHNotificationAdd({4711, 0x7700, \"Tarvel 3.02 <beta>\", "
                                        "\"<html><body><b><i>Working...</b></i></body></html>\"})",
                          "FindFirstFileW", "LoadImageW",
                          "SHNotificationRemove({5D2B8E41-0C73-4A9F-B6E2-9173F0A4C5D8}, 4711)",
                          testing::StartsWith("SHNotificationAdd({4713, 0x7710, \"Tarvel 3.02 <beta>\", \"<html>"),
                          "Sleep",
                          "SHNotificationRemove({5D2B8E41-0C73-4A9F-B6E2-9173F0A4C5D8}, 4713)",
                          "RegSetValueExW"));
  EXPECT_THAT(device().Calls("Sleep"), ElementsAre("Sleep(5000) = void"));
  for (const auto &line : device().Calls("LoadImageW")) {
    EXPECT_EQ(line.substr(0, line.find(')') + 1), "LoadImageW(0x400000, 101, 1, 16, 16, 0)");
  }
  EXPECT_EQ(device().Calls("LoadImageW").size(), 2u);
}

TEST_F(NotifyTest, BothRecordsDifferOnlyInIdentifierIconAndText)
{
  Run();

  ASSERT_EQ(device().bubbles.size(), 2u);
  const fake::Bubble &progress = device().bubbles[0];
  const fake::Bubble &result = device().bubbles[1];
  for (const fake::Bubble *b : {&progress, &result}) {
    EXPECT_EQ(b->cbStruct, sizeof(SHNOTIFICATIONDATA));
    EXPECT_EQ(b->priority, SHNP_INFORM);
    EXPECT_EQ(b->duration, 20u);
    EXPECT_EQ(b->flags, 0u);
    EXPECT_EQ(b->sink, nullptr);
    EXPECT_EQ(std::memcmp(&b->clsid, &NotificationClsid, sizeof(CLSID)), 0);
    EXPECT_EQ(b->title, u"Tarvel 3.02 <beta>");
  }
  EXPECT_EQ(progress.id, 4711u);
  EXPECT_EQ(result.id, 4713u);
  EXPECT_NE(progress.icon, result.icon);
  EXPECT_EQ(progress.html, u"<html><body><b><i>Working...</b></i></body></html>");
  EXPECT_TRUE(result.html.starts_with(u"<html><body><b><i>Done!</b></i>"));
  EXPECT_NE(result.htmlPointer, progress.htmlPointer);
  EXPECT_EQ(NotificationClsid.Data1, 0x5D2B8E41u);
  EXPECT_EQ(NotificationClsid.Data4[7], 0xD8);
}

TEST_F(NotifyTest, IconThatCannotBeLoadedStillShowsBothBubbles)
{
  device().iconMissing = true;

  Run();

  ASSERT_EQ(device().bubbles.size(), 2u);
  EXPECT_EQ(device().bubbles[0].icon, nullptr);
  EXPECT_EQ(device().bubbles[1].icon, nullptr);
  EXPECT_EQ(device().Calls("SHNotificationRemove").size(), 2u);
}

TEST_F(NotifyTest, DisabledRunMakesNoShellCall)
{
  device().SetString("SOFTWARE/Halvorn/Tarvel", "disable", u"1");

  Run();

  EXPECT_THAT(device().Calls("SHNotificationAdd"), IsEmpty());
  EXPECT_THAT(device().Calls("SHNotificationRemove"), IsEmpty());
  // The progress bubble was prepared all the same: its icon was loaded.
  EXPECT_EQ(device().Calls("LoadImageW").size(), 1u);
  EXPECT_TRUE(device().journal.front().starts_with("LoadImageW("));
}

}  // namespace
