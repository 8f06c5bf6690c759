// Path and string helpers: joining within MAX_PATH with ".." resolved, file
// names, and comparisons without regard to case.
#include "shlwapi.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Combined(const char16_t *dir, const char16_t *file) {
  WCHAR out[MAX_PATH];
  return PathCombineW(out, dir, file) ? std::u16string(out) : u"<null>";
}

TEST(PathHelpers, CombineJoinsResolvesDotsAndRespectsRoots) {
  EXPECT_EQ(Combined(u"C:\\Windows\\System32\\drivers", u"ramenum.sys"),
            u"C:\\Windows\\System32\\drivers\\ramenum.sys");
  EXPECT_EQ(Combined(u"C:\\Windows\\", u"INF"), u"C:\\Windows\\INF");
  EXPECT_EQ(Combined(u"C:\\a\\b", u"..\\..\\c"), u"C:\\c");
  EXPECT_EQ(Combined(u"C:\\a", u"..\\..\\..\\c"), u"C:\\c");  // never above the root
  EXPECT_EQ(Combined(u"C:\\a\\.\\b", u"."), u"C:\\a\\b");
  EXPECT_EQ(Combined(u"C:\\a", u"D:\\x"), u"D:\\x");
  EXPECT_EQ(Combined(u"C:\\a\\b", u"\\x"), u"C:\\x");
  EXPECT_EQ(Combined(nullptr, u"x"), u"x");
  EXPECT_EQ(Combined(u"C:\\a", nullptr), u"C:\\a");
  EXPECT_EQ(Combined(nullptr, nullptr), u"<null>");
  std::u16string longName(MAX_PATH, u'a');
  EXPECT_EQ(Combined(u"C:\\", longName.c_str()), u"<null>");
  std::u16string fits(MAX_PATH - 4, u'a');  // "C:\" + name + terminator = MAX_PATH
  EXPECT_EQ(Combined(u"C:\\", fits.c_str()), u"C:\\" + fits);
}

TEST(PathHelpers, AppendAddsOneSeparatorAndFailsWhenTooLong) {
  WCHAR path[MAX_PATH] = u"C:\\Windows";
  ASSERT_TRUE(PathAppendW(path, u"System32"));
  ASSERT_TRUE(PathAppendW(path, u"\\drivers\\"));
  EXPECT_EQ(std::u16string(path), u"C:\\Windows\\System32\\drivers\\");
  ASSERT_TRUE(PathAppendW(path, u"..\\x.sys"));
  EXPECT_EQ(std::u16string(path), u"C:\\Windows\\System32\\x.sys");
  std::u16string longName(MAX_PATH - 10, u'b');
  EXPECT_FALSE(PathAppendW(path, longName.c_str()));
  EXPECT_EQ(std::u16string(path), u"C:\\Windows\\System32\\x.sys");  // left as it was
}

TEST(PathHelpers, FileNameIsTheLastComponent) {
  EXPECT_EQ(std::u16string(PathFindFileNameW(u"C:\\a\\ramvol.sys")), u"ramvol.sys");
  EXPECT_EQ(std::u16string(PathFindFileNameW(u"ramvol.sys")), u"ramvol.sys");
  EXPECT_EQ(std::u16string(PathFindFileNameW(u"C:x.sys")), u"x.sys");
  EXPECT_EQ(std::u16string(PathFindFileNameW(u"C:\\a\\")), u"a\\");
}

TEST(StringHelpers, SearchAndCompareIgnoreCase) {
  const char16_t *ids = u"ROOT\\bwrd";
  EXPECT_EQ(StrStrIW(ids, u"Root\\BWRD"), ids);
  const char16_t *inside = u"x-root\\bwrd2";
  EXPECT_EQ(StrStrIW(inside, u"Root\\BWRD"), inside + 2);
  EXPECT_EQ(StrStrIW(u"Root\\BWR", u"Root\\BWRD"), nullptr);
  EXPECT_EQ(StrStrIW(u"abc", u""), nullptr);
  EXPECT_EQ(StrCmpNIW(u"\\SystemRoot\\System32", u"\\systemroot", 11), 0);
  EXPECT_LT(StrCmpNIW(u"abc", u"abd", 3), 0);
  EXPECT_EQ(StrCmpNIW(u"abc", u"abd", 2), 0);
  EXPECT_GT(StrCmpNIW(u"abc", u"ab", 5), 0);
}

}  // namespace
