// Search expressions: the wildcards of directory queries, and the DOS forms
// a Win32 pattern becomes.
#include <ntifs.h>

#include <gtest/gtest.h>

#include <string>

namespace {

bool Matches(std::u16string expression, std::u16string name, bool ignoreCase = true) {
  UNICODE_STRING e{static_cast<USHORT>(expression.size() * 2),
                   static_cast<USHORT>(expression.size() * 2), expression.data()};
  UNICODE_STRING n{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                   name.data()};
  return FsRtlIsNameInExpression(&e, &n, ignoreCase, nullptr);
}

TEST(FsRtlNameExpression, StarAndQuestionMark) {
  EXPECT_TRUE(Matches(u"*", u"anything.txt"));
  EXPECT_TRUE(Matches(u"*", u""));
  EXPECT_TRUE(Matches(u"a*c", u"abbbc"));
  EXPECT_TRUE(Matches(u"a*c", u"ac"));
  EXPECT_FALSE(Matches(u"a*c", u"acb"));
  EXPECT_TRUE(Matches(u"*.txt", u"a.b.txt"));
  EXPECT_FALSE(Matches(u"*.txt", u"a.txt.bak"));
  EXPECT_TRUE(Matches(u"?.?", u"a.b"));
  EXPECT_FALSE(Matches(u"?", u""));
  EXPECT_FALSE(Matches(u"??", u"a"));
  EXPECT_TRUE(Matches(u"*a*b*", u"xxaxxbxx"));
}

TEST(FsRtlNameExpression, CaseIsIgnoredOnlyWhenAsked) {
  EXPECT_TRUE(Matches(u"readme.TXT", u"README.txt"));
  EXPECT_TRUE(Matches(u"R*", u"rest"));
  EXPECT_FALSE(Matches(u"readme.TXT", u"README.txt", false));
  EXPECT_TRUE(Matches(u"README.txt", u"README.txt", false));
}

TEST(FsRtlNameExpression, DosWildcards) {
  // "*.*" of DOS keeps to the last dot: "<.txt" is what "*.txt" becomes.
  EXPECT_TRUE(Matches(u"<.txt", u"a.txt"));
  EXPECT_TRUE(Matches(u"<.txt", u"a.b.txt"));
  EXPECT_FALSE(Matches(u"<.txt", u"a.txt.bak"));
  // "*." (names without an extension) becomes "<\"".
  EXPECT_TRUE(Matches(u"<\"", u"README"));
  EXPECT_FALSE(Matches(u"<\"", u"read.me"));
  // "a?c" becomes "a>c"; DOS_QM takes nothing at a dot or the end.
  EXPECT_TRUE(Matches(u"a>c", u"abc"));
  EXPECT_TRUE(Matches(u"ab>>", u"ab"));
  EXPECT_TRUE(Matches(u"ab>>.txt", u"ab.txt"));
  EXPECT_FALSE(Matches(u"a>c", u"ac"));
  // DOS_DOT: a dot, or nothing at the end.
  EXPECT_TRUE(Matches(u"abc\"*", u"abc"));
  EXPECT_TRUE(Matches(u"abc\"*", u"abc.d"));
}

TEST(FsRtlNameExpression, WildcardsAreFound) {
  std::u16string plain = u"name.txt", star = u"na*e";
  UNICODE_STRING a{static_cast<USHORT>(plain.size() * 2), static_cast<USHORT>(plain.size() * 2),
                   plain.data()};
  UNICODE_STRING b{static_cast<USHORT>(star.size() * 2), static_cast<USHORT>(star.size() * 2),
                   star.data()};
  EXPECT_FALSE(FsRtlDoesNameContainWildCards(&a));
  EXPECT_TRUE(FsRtlDoesNameContainWildCards(&b));
}

}  // namespace
