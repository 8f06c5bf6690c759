// The INF parser on texts written here: what a line becomes, how strings are
// substituted, and where a malformed file is refused.
#include "platform/user/src/setupapi/inf_file.h"
#include "setupapi.h"

#include <gtest/gtest.h>

using bw::inf::InfFile;

namespace {

InfFile Parsed(std::u16string_view text) {
  InfFile inf;
  DWORD error = 0;
  unsigned line = 0;
  EXPECT_TRUE(inf.Parse(text, &error, &line)) << "error " << std::hex << error << " at " << std::dec << line;
  return inf;
}

struct Failure {
  DWORD error;
  unsigned line;
};

Failure Refused(std::u16string_view text) {
  InfFile inf;
  Failure f{0, 0};
  EXPECT_FALSE(inf.Parse(text, &f.error, &f.line));
  return f;
}

TEST(InfParser, LinesBecomeKeysAndFieldsWithQuotesCommentsAndContinuations) {
  InfFile inf = Parsed(
      u"; leading comment\r\n"
      u"[Version]\r\n"
      u"  Signature = \"$Windows NT$\" ; trailing comment\r\n"
      u"[Install.NT]\r\n"
      u"CopyFiles = Files.Driver ,  Files.Extra\r\n"
      u"AddReg=Reg.A, \\\r\n"
      u"       Reg.B\r\n"
      u"Quoted = \"a, b; c = d\", \"say \"\"hi\"\"\"\r\n"
      u"bare.sys\r\n"
      u"Empty = , , x\r\n"
      u"\r\n");
  EXPECT_TRUE(inf.IsWin4Style());
  const auto *install = inf.Find(u"install.nt");
  ASSERT_NE(install, nullptr);
  ASSERT_EQ(install->lines.size(), 5u);
  EXPECT_EQ(install->lines[0].key, u"CopyFiles");
  EXPECT_EQ(install->lines[0].fields, (std::vector<std::u16string>{u"Files.Driver", u"Files.Extra"}));
  EXPECT_EQ(install->lines[1].fields, (std::vector<std::u16string>{u"Reg.A", u"Reg.B"}));
  EXPECT_EQ(install->lines[1].number, 6u);
  EXPECT_EQ(install->lines[2].fields, (std::vector<std::u16string>{u"a, b; c = d", u"say \"hi\""}));
  EXPECT_FALSE(install->lines[3].hasKey);
  EXPECT_EQ(install->lines[3].fields, (std::vector<std::u16string>{u"bare.sys"}));
  EXPECT_EQ(install->lines[4].fields, (std::vector<std::u16string>{u"", u"", u"x"}));
}

TEST(InfParser, StringsAreSubstitutedWhereverTheyAppearAndUnknownNamesStay) {
  InfFile inf = Parsed(
      u"[Manufacturer]\n"
      u"%Mfg% = Models, NTamd64\n"
      u"[Models.NTamd64]\n"
      u"%Desc% = Install, Root\\BWRD\n"
      u"Percent = 100%%, %Missing%, pre%Mfg%post\n"
      u"Quoted = \"%Mfg%\"\n"
      u"[strings]\n"
      u"MFG = \"Brimwell, Ltd\"\n"
      u"desc = Virtual bus\n");
  EXPECT_EQ(inf.Find(u"Manufacturer")->lines[0].key, u"Brimwell, Ltd");
  const auto &models = inf.Find(u"Models.NTamd64")->lines;
  EXPECT_EQ(models[0].key, u"Virtual bus");
  EXPECT_EQ(models[0].fields[1], u"Root\\BWRD");
  EXPECT_EQ(models[1].fields, (std::vector<std::u16string>{u"100%", u"%Missing%", u"preBrimwell, Ltdpost"}));
  // Quoted text is taken as written.
  EXPECT_EQ(models[2].fields[0], u"%Mfg%");
  ASSERT_NE(inf.Value(u"Strings", u"mfg"), nullptr);
}

TEST(InfParser, SectionsNamedTwiceAreMergedAndMissingOnesAreNotFound) {
  InfFile inf = Parsed(u"[A]\nx=1\n[b]\ny=2\n[a]\nz=3\n");
  ASSERT_NE(inf.Find(u"a"), nullptr);
  EXPECT_EQ(inf.Find(u"A")->lines.size(), 2u);
  EXPECT_EQ(*inf.Value(u"a", u"Z"), u"3");
  EXPECT_EQ(inf.Find(u"SourceDisksFiles"), nullptr);
  EXPECT_EQ(inf.Value(u"a", u"missing"), nullptr);
  EXPECT_FALSE(inf.IsWin4Style());
}

TEST(InfParser, MalformedFilesAreRefusedWithTheLineOfTheFault) {
  Failure open = Refused(u"[Version]\nSignature=\"$Windows NT$\"\nName = \"never closed\n[Next]\n");
  EXPECT_EQ(open.error, static_cast<DWORD>(ERROR_GENERAL_SYNTAX));
  EXPECT_EQ(open.line, 3u);
  Failure header = Refused(u"[Version]\nx=1\n[Broken\n");
  EXPECT_EQ(header.error, static_cast<DWORD>(ERROR_BAD_SECTION_NAME_LINE));
  EXPECT_EQ(header.line, 3u);
  Failure before = Refused(u"; fine\n\nkey = value\n[Version]\n");
  EXPECT_EQ(before.error, static_cast<DWORD>(ERROR_EXPECTED_SECTION_NAME));
  EXPECT_EQ(before.line, 3u);
  Failure tooLong = Refused(u"[" + std::u16string(256, u'a') + u"]\n");
  EXPECT_EQ(tooLong.error, static_cast<DWORD>(ERROR_SECTION_NAME_TOO_LONG));
}

TEST(InfParser, TextIsReadAsUtf16WithItsMarkOrAsUtf8) {
  static const char kUtf16[] = "\xFF\xFE[\0A\0]\0\n\0k\0=\0\xE9\0";
  EXPECT_EQ(bw::inf::DecodeText(std::string(kUtf16, sizeof kUtf16 - 1)), u"[A]\nk=\u00e9");
  EXPECT_EQ(bw::inf::DecodeText("\xEF\xBB\xBFk=\xC3\xA9"), u"k=\u00e9");
  // A byte that is not UTF-8 stands for itself.
  EXPECT_EQ(bw::inf::DecodeText("k=\xE9!"), u"k=\u00e9!");
}

}  // namespace
