// What an INF offers once parsed: models for this platform, the install
// section chosen among decorated ones, destination folders by DIRID, the
// store's names and the GUID text of [Version].
#include "platform/user/src/setupapi/inf_handles.h"
#include "platform/user/src/setupapi/inf_models.h"
#include "platform/user/src/setupapi/inf_store.h"
#include "platform/user/src/setupapi/setup_paths.h"
#include "setupapi.h"

#include <gtest/gtest.h>

using namespace bw::setup;

namespace {

bw::inf::InfFile Parsed(std::u16string_view text) {
  bw::inf::InfFile inf;
  DWORD error = 0;
  unsigned line = 0;
  EXPECT_TRUE(inf.Parse(text, &error, &line));
  return inf;
}

TEST(InfModels, ModelsComeFromThePlatformsDecoratedSectionWhenTheManufacturerListsIt) {
  auto inf = Parsed(
      u"[Manufacturer]\n"
      u"%A% = ModelsA, NTx86, NTamd64.10.0\n"
      u"B = ModelsB\n"
      u"C = ModelsC, NTamd64\n"  // listed, but no such section: nothing
      u"[ModelsA]\nOld = OldInstall, Root\\BWRD\n"
      u"[ModelsA.NTx86]\nX86 = X86Install, Root\\BWRD\n"
      u"[ModelsA.NTamd64.10.0]\nBus = BusInstall, Root\\BWRD, *BWRDCOMPAT\n"
      u"[ModelsB]\nPlain = PlainInstall, , Root\\Other\n"
      u"[ModelsC]\nNever = NeverInstall, Root\\C\n"
      u"[Strings]\nA = \"Maker A\"\n");
  auto models = ModelsOf(inf);
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[0].manufacturer, u"Maker A");
  EXPECT_EQ(models[0].description, u"Bus");
  EXPECT_EQ(models[0].installSection, u"BusInstall");
  EXPECT_EQ(models[0].ids, (std::vector<std::u16string>{u"Root\\BWRD", u"*BWRDCOMPAT"}));
  // An empty hardware id leaves the compatible one.
  EXPECT_EQ(models[1].ids, (std::vector<std::u16string>{u"Root\\Other"}));
  ASSERT_NE(ModelFor(models, u"root\\bwrd"), nullptr);
  EXPECT_EQ(ModelFor(models, u"*bwrdcompat")->description, u"Bus");
  EXPECT_EQ(ModelFor(models, u"Root\\BWR"), nullptr);
  EXPECT_EQ(ModelFor(models, u"Root\\C"), nullptr);
}

TEST(InfModels, InstallSectionIsTheMostSpecificThatExists) {
  auto both = Parsed(u"[Inst]\n[Inst.NT]\n[Inst.NTamd64]\n");
  EXPECT_EQ(DecoratedSection(both, u"inst"), u"Inst.NTamd64");
  auto nt = Parsed(u"[Inst]\n[Inst.NT]\n[Inst.NTx86]\n");
  EXPECT_EQ(DecoratedSection(nt, u"Inst"), u"Inst.NT");
  EXPECT_EQ(DecoratedSection(Parsed(u"[Inst]\n"), u"Inst"), u"Inst");
  EXPECT_EQ(DecoratedSection(Parsed(u"[Other]\n"), u"Inst"), u"");
}

TEST(InfModels, DestinationsFollowTheSectionsEntryThenTheDefaultThenSystem32) {
  OpenInf open;
  open.folder = u"Z:\\media";
  open.inf = Parsed(
      u"[DestinationDirs]\n"
      u"DefaultDestDir = 12\n"
      u"Store = 17\n"
      u"Beside = 1, sub\\dir\n"
      u"Odd = 99\n");
  std::u16string folder;
  ASSERT_TRUE(TargetFolder(open, u"", &folder));
  EXPECT_EQ(folder, u"C:\\Windows\\System32\\drivers");
  ASSERT_TRUE(TargetFolder(open, u"store", &folder));
  EXPECT_EQ(folder, u"C:\\Windows\\INF");
  ASSERT_TRUE(TargetFolder(open, u"Beside", &folder));
  EXPECT_EQ(folder, u"Z:\\media\\sub\\dir");
  ASSERT_TRUE(TargetFolder(open, u"Unlisted", &folder));
  EXPECT_EQ(folder, u"C:\\Windows\\System32\\drivers");
  // A DIRID this system does not know is a fault of the INF.
  EXPECT_FALSE(TargetFolder(open, u"Odd", &folder));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GENERAL_SYNTAX));
  open.inf = Parsed(u"[Version]\n");
  ASSERT_TRUE(TargetFolder(open, u"", &folder));
  EXPECT_EQ(folder, u"C:\\Windows\\System32");
}

TEST(InfModels, StoreNamesGuidsAndListsAreReadStrictly) {
  EXPECT_TRUE(IsOemInfName(u"oem0.inf"));
  EXPECT_TRUE(IsOemInfName(u"OEM123.INF"));
  for (const char16_t *bad : {u"oem.inf", u"oemx.inf", u"oem1.pnf", u"x\\oem1.inf", u"oem1234567890.inf", u"oem-1.inf"})
    EXPECT_FALSE(IsOemInfName(bad)) << std::u16string(bad).size();

  GUID guid;
  ASSERT_TRUE(ParseGuid(u"{4d36e97b-e325-11ce-bfc1-08002be10318}", &guid));
  EXPECT_EQ(guid.Data1, 0x4D36E97Bu);
  EXPECT_EQ(guid.Data4[7], 0x18);
  EXPECT_EQ(FormatGuid(guid), u"{4D36E97B-E325-11CE-BFC1-08002BE10318}");
  for (const char16_t *bad : {u"4D36E97B-E325-11CE-BFC1-08002BE10318", u"{4D36E97B-E325-11CE-BFC1-08002BE1031}",
                              u"{4D36E97B+E325-11CE-BFC1-08002BE10318}", u"{4D36E97B-E325-11CE-BFC1-08002BE1031G}"})
    EXPECT_FALSE(ParseGuid(bad, &guid));

  std::vector<uint8_t> list = MultiStringBytes({u"Root\\BWRD", u"*X"});
  EXPECT_EQ(list.size(), (9 + 1 + 2 + 1 + 1) * 2u);
  EXPECT_EQ(MultiStrings(list.data(), list.size()), (std::vector<std::u16string>{u"Root\\BWRD", u"*X"}));
  // A list without its last terminator still ends at its size.
  EXPECT_EQ(MultiStrings(u"ab\0cd", 10), (std::vector<std::u16string>{u"ab", u"cd"}));
}

}  // namespace
