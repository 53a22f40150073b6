#include "wildcard.h"

#include <gtest/gtest.h>

namespace {

using tarvel::MatchesPattern;

TEST(WildcardTest, StarQuestionAndCaseFollowTheDevice)
{
  EXPECT_TRUE(MatchesPattern(u"*.*", u"setup.log"));
  EXPECT_TRUE(MatchesPattern(u"*.*", u"README"));
  EXPECT_TRUE(MatchesPattern(u"*.*", u".cache"));
  EXPECT_TRUE(MatchesPattern(u"*.tmp", u"A.TMP"));
  EXPECT_TRUE(MatchesPattern(u"*.tmp", u"x.y.tmp"));
  EXPECT_FALSE(MatchesPattern(u"*.tmp", u"x.tmpl"));
  EXPECT_FALSE(MatchesPattern(u"*.tmp", u"tmp"));
  EXPECT_TRUE(MatchesPattern(u"*.temp", u"a.Temp"));
  EXPECT_FALSE(MatchesPattern(u"*.temp", u"a.tmp"));
  EXPECT_TRUE(MatchesPattern(u"*.CAB", u"setup.cab"));
  EXPECT_TRUE(MatchesPattern(u"a?c", u"abc"));
  EXPECT_FALSE(MatchesPattern(u"a?c", u"ac"));
  EXPECT_TRUE(MatchesPattern(u"*", u""));
  EXPECT_TRUE(MatchesPattern(u"*a*b*", u"xxaxxbxx"));
  EXPECT_FALSE(MatchesPattern(u"*a*b*", u"xxbxxaxx"));
  EXPECT_TRUE(MatchesPattern(u"Cookies", u"cookies"));
  EXPECT_TRUE(MatchesPattern(u"ÉTÉ.*", u"été.txt"));
  EXPECT_TRUE(MatchesPattern(u"report.*", u"report"));
}

}  // namespace
