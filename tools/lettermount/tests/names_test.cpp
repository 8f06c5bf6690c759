// Host names as the volume's names and back: what must come through
// unchanged, and what must never reach the volume as some other name.
#include "tools/lettermount/names.h"

#include <gtest/gtest.h>

namespace lettermount {
namespace {

TEST(LettermountNames, HostPathsBecomeFullPathsOnTheLetter) {
  std::u16string out;
  ASSERT_TRUE(ToVolumePath(u'R', "/", &out));
  EXPECT_EQ(u"R:\\", out);
  ASSERT_TRUE(ToVolumePath(u'R', "/a/b c/d.txt", &out));
  EXPECT_EQ(u"R:\\a\\b c\\d.txt", out);
  // Two- three- and four-byte forms; the last one a surrogate pair.
  ASSERT_TRUE(ToVolumePath(u'S', "/Grüße/日本/\xF0\x9F\x98\x80", &out));
  EXPECT_EQ(u"S:\\Grüße\\日本\\\U0001F600", out);
}

TEST(LettermountNames, NamesTheVolumeWouldTakeForOthersAreRefused) {
  std::u16string out = u"unchanged";
  EXPECT_FALSE(ToVolumePath(u'R', "/a\\b", &out));   // would be a\b: another folder
  EXPECT_FALSE(ToVolumePath(u'R', "relative", &out));
  EXPECT_FALSE(ToVolumePath(u'R', "", &out));
  EXPECT_FALSE(ToVolumePath(u'R', "/\xFF", &out));          // no UTF-8 at all
  EXPECT_FALSE(ToVolumePath(u'R', "/\xC3", &out));          // cut off
  EXPECT_FALSE(ToVolumePath(u'R', "/\xC0\xAF", &out));      // overlong "/"
  EXPECT_FALSE(ToVolumePath(u'R', "/\xED\xA0\x80", &out));  // a surrogate
  EXPECT_FALSE(ToVolumePath(u'R', "/\xF4\x90\x80\x80", &out));  // past U+10FFFF
  EXPECT_EQ(u"unchanged", out);
}

TEST(LettermountNames, VolumeNamesComeBackAsTheSameBytes) {
  for (const char *name : {"plain", "Grüße", "日本語のファイル", "\xF0\x9F\x98\x80 smile", ""}) {
    std::u16string wide;
    std::string back;
    ASSERT_TRUE(Utf8ToUtf16(name, &wide)) << name;
    ASSERT_TRUE(Utf16ToUtf8(wide, &back)) << name;
    EXPECT_EQ(name, back);
  }
  std::string out;
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, u'\xD800'), &out));        // unpaired high
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, u'\xDC00'), &out));        // lone low
  EXPECT_FALSE(Utf16ToUtf8(std::u16string{u'\xD800', u'a'}, &out));     // high, then no low
}

}  // namespace
}  // namespace lettermount
