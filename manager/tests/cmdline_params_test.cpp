// The add command's parameter list: the split, the name lookup and every
// typed reader with the values it refuses.
#include <gtest/gtest.h>

#include "CmdLineUtil.h"

using namespace Ramdeck;

namespace {

QString Refusal(const std::function<void()> &read) {
  try {
    read();
  } catch (const ECmdLineError &error) {
    return error.Message();
  }
  return QStringLiteral("(accepted)");
}

TEST(CmdLineParams, SplitsAtCommasOnlyAndMatchesNamesInAnyCase) {
  TCmdLineParams params(QStringLiteral(" Letter = r , label=My Disk,Image=a=b, , size"));
  EXPECT_EQ(QStringLiteral("r"), params.GetAsString(QStringLiteral("LETTER")));
  EXPECT_EQ(QStringLiteral("My Disk"), params.GetAsString(QStringLiteral("label")));
  // The value is everything after the first "=".
  EXPECT_EQ(QStringLiteral("a=b"), params.GetAsString(QStringLiteral("image")));
  // A name without "=" or not there at all has an empty value.
  EXPECT_EQ(QString(), params.GetAsString(QStringLiteral("size")));
  EXPECT_FALSE(params.Exists(QStringLiteral("size")));
  EXPECT_FALSE(params.Exists(QStringLiteral("mount")));
  EXPECT_TRUE(params.Exists(QStringLiteral("letter")));
  EXPECT_EQ(QStringLiteral("x"), params.GetAsString(QStringLiteral("mount"), QStringLiteral("x")));
  // Spaces separate nothing.
  TCmdLineParams spaced(QStringLiteral("letter=R size=1M"));
  EXPECT_EQ(QStringLiteral("R size=1M"), spaced.GetAsString(QStringLiteral("letter")));
}

TEST(CmdLineParams, BoolsAreYesOrNoAndDefaultsReplaceAnythingElse) {
  TCmdLineParams params(QStringLiteral("a=YES,b=no,c=true,d="));
  EXPECT_TRUE(params.GetAsBool(QStringLiteral("a")));
  EXPECT_FALSE(params.GetAsBool(QStringLiteral("b")));
  EXPECT_EQ(QStringLiteral("incorrect value for c: true"),
            Refusal([&] { params.GetAsBool(QStringLiteral("c")); }));
  EXPECT_EQ(QStringLiteral("incorrect value for d: "),
            Refusal([&] { params.GetAsBool(QStringLiteral("d")); }));
  EXPECT_TRUE(params.GetAsBool(QStringLiteral("c"), true));
  EXPECT_FALSE(params.GetAsBool(QStringLiteral("missing"), false));
  EXPECT_FALSE(params.GetAsBool(QStringLiteral("b"), true));
}

TEST(CmdLineParams, DriveLettersAreOneCharacterOrOneWithAColon) {
  TCmdLineParams params(QStringLiteral("a=r,b=T:,c=TT,d=T:\\,e="));
  EXPECT_EQ(QChar(u'r'), params.GetAsDriveLetter(QStringLiteral("a")));
  EXPECT_EQ(QChar(u'T'), params.GetAsDriveLetter(QStringLiteral("b")));
  EXPECT_EQ(QStringLiteral("incorrect value for c: TT"),
            Refusal([&] { params.GetAsDriveLetter(QStringLiteral("c")); }));
  EXPECT_EQ(QStringLiteral("incorrect value for d: T:\\"),
            Refusal([&] { params.GetAsDriveLetter(QStringLiteral("d")); }));
  EXPECT_EQ(QStringLiteral("incorrect value for e: "),
            Refusal([&] { params.GetAsDriveLetter(QStringLiteral("e")); }));
  EXPECT_EQ(QChar(u'Z'), params.GetAsDriveLetter(QStringLiteral("c"), u'Z'));
}

TEST(CmdLineParams, SizesTakeTheirUnitFromTheLastCharacter) {
  TCmdLineParams params(
      QStringLiteral("b=512,m=512m,k=3K,g=2G,spaced=7 "
                     "M,neg=-1k,frac=1.5G,empty=,unit=G,word=12x,huge=9000000000G"));
  EXPECT_EQ(512, params.GetAsSize(QStringLiteral("b")));
  EXPECT_EQ(536870912, params.GetAsSize(QStringLiteral("m")));
  EXPECT_EQ(3072, params.GetAsSize(QStringLiteral("k")));
  EXPECT_EQ(int64_t{2} << 30, params.GetAsSize(QStringLiteral("g")));
  // The rest is trimmed once the unit is removed.
  EXPECT_EQ(int64_t{7} << 20, params.GetAsSize(QStringLiteral("spaced")));
  EXPECT_EQ(-1024, params.GetAsSize(QStringLiteral("neg")));
  EXPECT_EQ(QStringLiteral("incorrect value for frac: 1.5G"),
            Refusal([&] { params.GetAsSize(QStringLiteral("frac")); }));
  EXPECT_EQ(QStringLiteral("incorrect value for empty: "),
            Refusal([&] { params.GetAsSize(QStringLiteral("empty")); }));
  EXPECT_EQ(QStringLiteral("incorrect value for unit: G"),
            Refusal([&] { params.GetAsSize(QStringLiteral("unit")); }));
  // Any other last character is part of the number.
  EXPECT_EQ(QStringLiteral("incorrect value for word: 12x"),
            Refusal([&] { params.GetAsSize(QStringLiteral("word")); }));
  // Beyond the signed 64-bit range once multiplied.
  EXPECT_EQ(QStringLiteral("incorrect value for huge: 9000000000G"),
            Refusal([&] { params.GetAsSize(QStringLiteral("huge")); }));
  EXPECT_EQ(42, params.GetAsSize(QStringLiteral("frac"), 42));
  EXPECT_EQ(42, params.GetAsSize(QStringLiteral("missing"), 42));
}

TEST(CmdLineParams, IndexOfComparesWordsWithoutCase) {
  TCmdLineParams params(QStringLiteral("fs=FAT32,type=other"));
  QStringList systems{QStringLiteral("raw"), QStringLiteral("fat"), QStringLiteral("fat32"),
                      QStringLiteral("ntfs")};
  EXPECT_EQ(2, params.GetAsIndexOf(QStringLiteral("fs"), systems));
  EXPECT_EQ(QStringLiteral("incorrect value for type: other"),
            Refusal([&] { params.GetAsIndexOf(QStringLiteral("type"), systems); }));
  EXPECT_EQ(0, params.GetAsIndexOf(QStringLiteral("type"), systems, 0));
  EXPECT_EQ(3, params.GetAsIndexOf(QStringLiteral("missing"), systems, 3));
}

TEST(CmdLineParams, FormatsFillPlaceholdersInOrderWithoutRescanning) {
  EXPECT_EQ(QStringLiteral("incorrect value for %s: x"),
            TrFormat(QStringLiteral("incorrect value for %s: %s"),
                     {QStringLiteral("%s"), QStringLiteral("x")}));
  EXPECT_EQ(QStringLiteral("disk  is not found"),
            TrFormat(QStringLiteral("disk %s is not found"), {QString()}));
}

}  // namespace
