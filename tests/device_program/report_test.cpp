// The decimal text of the totals and the report text.
#include "stats/stats.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Format(LONG total)
{
  char text[TOTAL_TEXT_CHARS + 1];
  int length = FormatTotal(total, text);
  EXPECT_EQ(static_cast<std::size_t>(length), std::string(text).size());
  return text;
}

const std::string kHeader =
    "<html><body><b><i>Done!</b></i><br><br><b>Thank you for using Tarvel!</b><br><br>"
    "Tarvel has created or recycled the following space:<br> ";
const std::string kFileTail = " file(s) <i>[Lifetime-to-date]</i><br>\n";
const std::string kByteTail = " byte(s) <i>[Lifetime-to-date]</i><br><br>";

std::u16string Report(LONG files, LONG bytes)
{
  WCHAR report[REPORT_UNITS];
  for (auto &unit : report) {
    unit = u'#';
  }
  ComposeReport(files, bytes, 0, report);
  return std::u16string(report);
}

std::string Narrow(const std::u16string &wide)
{
  std::string narrow;
  for (char16_t unit : wide) {
    EXPECT_LT(unit, 0x80);
    narrow.push_back(static_cast<char>(unit));
  }
  return narrow;
}

TEST(FormatTotalTest, GroupsDigitsInThreesAndWritesNegativesWhole)
{
  EXPECT_EQ(Format(0), "0");
  EXPECT_EQ(Format(7), "7");
  EXPECT_EQ(Format(999), "999");
  EXPECT_EQ(Format(1000), "1,000");
  EXPECT_EQ(Format(9999), "9,999");
  EXPECT_EQ(Format(10000), "10,000");
  EXPECT_EQ(Format(12345), "12,345");
  EXPECT_EQ(Format(999999), "999,999");
  EXPECT_EQ(Format(1000000), "1,000,000");
  EXPECT_EQ(Format(1234567), "1,234,567");
  EXPECT_EQ(Format(1000000000), "1,000,000,000");
  EXPECT_EQ(Format(1002003004), "1,002,003,004");
  EXPECT_EQ(Format(2147483647), "2,147,483,647");
  EXPECT_EQ(Format(-42), "-42");
  EXPECT_EQ(Format(-1234567), "-1234567");
  EXPECT_EQ(Format(-2147483647 - 1), "-2147483648");
}

TEST(ComposeReportTest, WorkedExamplesHaveTheirLengthsBeforeTheCreditLine)
{
  struct Case {
    LONG files, bytes;
    const char *fileText, *byteText;
    std::size_t before;
  };
  const Case cases[] = {
      {1234, 1234567, "1,234", "1,234,567", 232},
      {0, 0, "0", "0", 220},
      {12345, 98817300, "12,345", "98,817,300", 234},
  };
  EXPECT_EQ(kHeader.size(), 137u);
  EXPECT_EQ(kFileTail.size(), 39u);
  EXPECT_EQ(kByteTail.size(), 42u);
  for (const Case &c : cases) {
    std::string text = Narrow(Report(c.files, c.bytes));
    std::string body = kHeader + c.fileText + kFileTail + c.byteText + kByteTail;
    ASSERT_EQ(body.size(), c.before);
    ASSERT_EQ(text.substr(0, body.size()), body);
    std::string credit = text.substr(body.size());
    EXPECT_GT(credit.size(), 0u);
    EXPECT_LE(credit.size(), 55u);
    EXPECT_EQ(credit.find('\n'), std::string::npos);
    EXPECT_EQ(credit.find("</body>"), std::string::npos);
    EXPECT_EQ(credit.find("</html>"), std::string::npos);
  }
}

TEST(ComposeReportTest, LongestReportFitsWithItsTerminator)
{
  std::u16string longest = Report(-2147483647 - 1, 2147483647);
  EXPECT_LE(longest.size(), 299u);
  std::string text = Narrow(longest);
  EXPECT_NE(text.find("<br> -2147483648 file(s) <i>[Lifetime-to-date]</i><br>\n2,147,483,647 byte(s)"),
            std::string::npos);
  EXPECT_EQ(text.find("<br>\n", text.find("byte(s)")), std::string::npos);
}

}  // namespace
