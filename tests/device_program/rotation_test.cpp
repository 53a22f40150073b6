// The browser profile rotation.
#include "run/run.h"

#include "device_test.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kShellFolders[] = "SOFTWARE/Microsoft/Windows/CurrentVersion/Explorer/Shell Folders";

// The bytes of a UTF-16 text and its terminator, padded with zeros to size.
std::vector<BYTE> Padded(std::u16string_view text, std::size_t size)
{
  std::vector<BYTE> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  bytes.resize(size, 0);
  return bytes;
}

class RotationTest : public DeviceTest {
 protected:
  void SetUp() override
  {
    DeviceTest::SetUp();
    device().SetString(kShellFolders, "Favorites", u"\\Windows\\Favorites");
  }
  std::vector<BYTE> Data(const char *name) { return device().GetValue(kShellFolders, name)->data; }
  void ExpectProfile(char16_t digit)
  {
    std::u16string base = u"\\Windows\\profiles\\";
    base += digit;
    EXPECT_EQ(Data("example"), (std::vector<BYTE>{static_cast<BYTE>(digit), 0}));
    EXPECT_EQ(Data("History"), Padded(base + u"\\History", 80));
    EXPECT_EQ(Data("Cookies"), Padded(base + u"\\Cookies", 90));
    EXPECT_EQ(Data("Cache"), Padded(base + u"\\Temporary Internet Files", 90));
    for (const char *name : {"example", "History", "Cookies", "Cache"}) {
      EXPECT_EQ(device().GetValue(kShellFolders, name)->type, static_cast<DWORD>(REG_SZ));
    }
  }
};

TEST_F(RotationTest, FirstRotationSelectsProfileTwoAndWritesInOrderWithFixedSizes)
{
  RotateBrowserProfile();

  ExpectProfile(u'2');
  auto writes = device().Calls("RegSetValueExW");
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].find("RegSetValueExW(0x1000, \"example\", 1, 2, 3200)"), 0u) << writes[0];
  EXPECT_EQ(writes[1].find("RegSetValueExW(0x1000, \"History\", 1, 80, "), 0u) << writes[1];
  EXPECT_EQ(writes[2].find("RegSetValueExW(0x1000, \"Cookies\", 1, 90, "), 0u) << writes[2];
  EXPECT_EQ(writes[3].find("RegSetValueExW(0x1000, \"Cache\", 1, 90, "), 0u) << writes[3];
  EXPECT_EQ(device().journal.back(), "RegCloseKey(0x1000) = 0");
  EXPECT_EQ(keyHandle, nullptr);
}

TEST_F(RotationTest, RotationsAlternateBetweenTheTwoProfiles)
{
  RotateBrowserProfile();
  ExpectProfile(u'2');
  RotateBrowserProfile();
  ExpectProfile(u'1');
  RotateBrowserProfile();
  ExpectProfile(u'2');
}

TEST_F(RotationTest, StoredProfileDecidesTheNext)
{
  struct Case {
    const char *what;
    std::vector<BYTE> example;
    char16_t next;
  };
  const Case cases[] = {
      {"2 with terminator", {'2', 0, 0, 0}, u'1'},
      {"3", {'3', 0}, u'2'},
      {"1", {'1', 0}, u'2'},
      {"too long: counts as 1", {'2', 0, '2', 0, 0, 0}, u'2'},
  };
  for (const Case &c : cases) {
    fake::NewProcess();
    device().SetValue(kShellFolders, "example", REG_SZ, c.example);
    RotateBrowserProfile();
    ExpectProfile(c.next);
  }
}

TEST_F(RotationTest, FailedWritesGoUnnoticedAndTheRestAreMade)
{
  device().failedWrites.insert("example");
  device().failedWrites.insert("Cookies");

  RotateBrowserProfile();

  EXPECT_FALSE(device().GetValue(kShellFolders, "example").has_value());
  EXPECT_FALSE(device().GetValue(kShellFolders, "Cookies").has_value());
  EXPECT_EQ(Data("History"), Padded(u"\\Windows\\profiles\\2\\History", 80));
  EXPECT_EQ(Data("Cache"), Padded(u"\\Windows\\profiles\\2\\Temporary Internet Files", 90));
  EXPECT_EQ(device().Calls("RegSetValueExW").size(), 4u);
  EXPECT_EQ(device().Calls("RegCloseKey").size(), 1u);
}

TEST_F(RotationTest, MissingShellFolderKeyMeansNoWritesAndNoClose)
{
  fake::NewProcess();

  RotateBrowserProfile();

  EXPECT_THAT(device().Calls("RegSetValueExW"), IsEmpty());
  EXPECT_THAT(device().Calls("RegCloseKey"), IsEmpty());
  EXPECT_THAT(device().Calls("RegQueryValueExW"), IsEmpty());
  EXPECT_FALSE(device().HasKey(kShellFolders));
}

TEST_F(RotationTest, RunWithIeRotatesBeforeDisableIsRead)
{
  device().SetString("SOFTWARE/Halvorn/Tarvel", "ie", u"1");

  WinMain(fake::Instance(), nullptr, nullptr, 0);

  ExpectProfile(u'2');
  std::vector<std::string> order;
  for (const auto &line : device().Calls("RegQueryValueExW")) {
    order.push_back(line.substr(line.find('"') + 1, line.find('"', line.find('"') + 1) - line.find('"') - 1));
  }
  order.resize(3);
  EXPECT_THAT(order, ElementsAre("ie", "example", "disable"));
}

}  // namespace
