// The command line: switches, the word split, and the disk commands carried
// out in order on a target that records what it is asked.
#include <gtest/gtest.h>

#include "CmdLineUtil.h"
#include "CommandLine.h"

using namespace Ramdeck;

namespace {

class Recorder : public TDiskCommandTarget {
 public:
  QString disks = QStringLiteral("RST");
  QStringList calls;
  std::vector<TNewDiskParams> added;
  bool failImport = false;

  bool HasDisk(QChar letter) const override { return disks.contains(letter); }
  void ImportDisks(const QString &fileName) override {
    calls << QStringLiteral("import ") + fileName;
    if (failImport) throw Exception(QStringLiteral("cannot read ") + fileName);
  }
  void MountDisk(QChar letter) override { calls << QStringLiteral("mount ") + letter; }
  void MountAllDisks() override { calls << QStringLiteral("mount all"); }
  void UnmountDisk(QChar letter, bool force) override {
    calls << QStringLiteral("unmount ") + letter + (force ? QStringLiteral(" force") : QString());
  }
  void UnmountAllDisks(bool force) override {
    calls << QStringLiteral("unmount all") + (force ? QStringLiteral(" force") : QString());
  }
  void DeleteDisk(QChar letter, bool force) override {
    calls << QStringLiteral("del ") + letter + (force ? QStringLiteral(" force") : QString());
  }
  void DeleteAllDisks(bool force) override {
    calls << QStringLiteral("del all") + (force ? QStringLiteral(" force") : QString());
  }
  void AddDisk(const TNewDiskParams &params) override {
    calls << QStringLiteral("add ") + params.Letter;
    added.push_back(params);
  }
  void SaveDisk(QChar letter) override { calls << QStringLiteral("save ") + letter; }
  void SaveAllDisks() override { calls << QStringLiteral("save all"); }
};

class CommandLine : public ::testing::Test {
 protected:
  bool Run(const QString &arguments) {
    TCommandLineProcessor processor(target, [this](const QString &text) { errors << text; });
    return processor.Process(QStringLiteral("\"C:\\Program Files\\Ramdeck.exe\" ") + arguments);
  }
  Recorder target;
  QStringList errors;
};

TEST(CommandLineSwitches, AreWholeArgumentsInAnyCaseAnywhere) {
  QStringList args{QStringLiteral("/install"), QStringLiteral("/mount:R"), QStringLiteral("-HIDE"),
                   QStringLiteral("/Uninstall")};
  // The program's own path is no switch.
  EXPECT_FALSE(HasSwitch(args, QStringLiteral("install")));
  EXPECT_TRUE(HasSwitch(args, QStringLiteral("hide")));
  EXPECT_TRUE(HasSwitch(args, QStringLiteral("uninstall")));
  EXPECT_FALSE(HasSwitch(args, QStringLiteral("mount")));
  EXPECT_FALSE(HasSwitch({QStringLiteral("x"), QStringLiteral("/hidden"), QStringLiteral("hide"),
                          QStringLiteral("\\hide")},
                         QStringLiteral("hide")));
}

TEST(CommandLineWords, QuotesToggleAndAreDroppedSpacesEndWords) {
  EXPECT_EQ((QStringList{QStringLiteral("C:\\Program Files\\x.exe"),
                         QStringLiteral("/import:C:\\My Files\\a.xml"), QStringLiteral("-force")}),
            SplitCommandLine(QStringLiteral(
                "\"C:\\Program Files\\x.exe\"   /import:\"C:\\My Files\\a.xml\" -force ")));
  EXPECT_EQ((QStringList{QStringLiteral("ab c"), QStringLiteral("d")}),
            SplitCommandLine(QStringLiteral("a\"b c\" \"\" d")));
  EXPECT_TRUE(SplitCommandLine(QStringLiteral("   ")).isEmpty());
  // An unclosed quote runs to the end.
  EXPECT_EQ(QStringList{QStringLiteral("a b ")}, SplitCommandLine(QStringLiteral("\"a b ")));
  QStringList arguments{QStringLiteral("/opt/b w/Ramdeck"),
                        QStringLiteral("/add:letter=R,label=My Disk"), QStringLiteral("-force")};
  EXPECT_EQ(arguments, SplitCommandLine(JoinCommandLine(arguments)));
}

TEST_F(CommandLine, CommandsRunInOrderInAnyCaseWithEitherPrefix) {
  EXPECT_TRUE(
      Run(QStringLiteral("/MOUNT:r -save:S: /Unmount:all /del:t /import:\"C:\\a b.xml\" "
                         "-mount:ALL /save:All -DEL:all stray /mountR")));
  EXPECT_EQ((QStringList{QStringLiteral("mount R"), QStringLiteral("save S"),
                         QStringLiteral("unmount all"), QStringLiteral("del T"),
                         QStringLiteral("import C:\\a b.xml"), QStringLiteral("mount all"),
                         QStringLiteral("save all"), QStringLiteral("del all")}),
            target.calls);
  EXPECT_TRUE(errors.isEmpty());
}

TEST_F(CommandLine, AnEmptyValueIsNoCommand) {
  EXPECT_TRUE(Run(QStringLiteral("/mount: -del: /add: /import:\"\"")));
  EXPECT_TRUE(target.calls.isEmpty());
  EXPECT_TRUE(errors.isEmpty());
}

TEST_F(CommandLine, ForceAffectsOnlyLaterWordsOfTheSameLine) {
  EXPECT_TRUE(Run(QStringLiteral("/unmount:all /force /unmount:all -del:R")));
  EXPECT_TRUE(Run(QStringLiteral("/unmount:S /FORCE:yes /forced")));
  EXPECT_EQ((QStringList{QStringLiteral("unmount all"), QStringLiteral("unmount all force"),
                         QStringLiteral("del R force"), QStringLiteral("unmount S")}),
            target.calls);
}

TEST_F(CommandLine, AMissingDiskStopsTheRestWithTheWholeValue) {
  EXPECT_FALSE(Run(QStringLiteral("/mount:R /save:Qwerty /mount:S")));
  EXPECT_EQ(QStringList{QStringLiteral("mount R")}, target.calls);
  EXPECT_EQ(QStringList{QStringLiteral("Command line error: disk Qwerty is not found")}, errors);
}

TEST_F(CommandLine, AFailingImportStopsTheRest) {
  target.failImport = true;
  EXPECT_FALSE(Run(QStringLiteral("/import:x.xml /mount:R")));
  EXPECT_EQ(QStringList{QStringLiteral("import x.xml")}, target.calls);
  EXPECT_EQ(QStringList{QStringLiteral("Command line error: cannot read x.xml")}, errors);
}

TEST_F(CommandLine, AddTakesEveryParameterWithItsDefault) {
  EXPECT_TRUE(
      Run(QStringLiteral("/add:type=boot,letter=R,fs=ntfs,size=2G,label=Scratch,mount=no "
                         "-add:letter=T:,image=C:\\Images\\t.img,save=yes "
                         "/add:LETTER=u,SIZE=512,type=other,fs=exfat,save=maybe,mount=perhaps")));
  ASSERT_EQ(3u, target.added.size());
  const TNewDiskParams &boot = target.added[0];
  EXPECT_TRUE(boot.Boot);
  EXPECT_EQ(QChar(u'R'), boot.Letter);
  EXPECT_EQ(fsNTFS, boot.FileSystem);
  EXPECT_EQ(uint64_t{2} << 30, boot.Size);
  EXPECT_EQ(QStringLiteral("Scratch"), boot.Label);
  EXPECT_TRUE(boot.ImageFile.isEmpty());
  EXPECT_FALSE(boot.SaveToImage);
  EXPECT_FALSE(boot.Mount);

  const TNewDiskParams &imaged = target.added[1];
  EXPECT_FALSE(imaged.Boot);
  EXPECT_EQ(QChar(u'T'), imaged.Letter);
  EXPECT_EQ(fsRAW, imaged.FileSystem);
  EXPECT_EQ(QStringLiteral("C:\\Images\\t.img"), imaged.ImageFile);
  EXPECT_EQ(0u, imaged.Size);
  EXPECT_TRUE(imaged.SaveToImage);
  EXPECT_TRUE(imaged.Mount);
  EXPECT_TRUE(imaged.Label.isEmpty());

  // Invalid kinds, file systems and flags fall back to their defaults.
  const TNewDiskParams &fallback = target.added[2];
  EXPECT_FALSE(fallback.Boot);
  EXPECT_EQ(QChar(u'U'), fallback.Letter);
  EXPECT_EQ(fsRAW, fallback.FileSystem);
  EXPECT_EQ(512u, fallback.Size);
  EXPECT_FALSE(fallback.SaveToImage);
  EXPECT_TRUE(fallback.Mount);
}

TEST_F(CommandLine, AddRefusesAMissingOrMalformedLetterOrSize) {
  struct Case {
    const char *parameters;
    const char *message;
  } cases[] = {
      {"size=1M", "incorrect value for letter: "},
      {"letter=RS,size=1M", "incorrect value for letter: RS"},
      {"letter=7,size=1M", "incorrect value for letter: 7"},
      {"letter=R", "incorrect value for size: "},
      {"letter=R,size=1.5G", "incorrect value for size: 1.5G"},
      {"letter=R,size=-2M", "incorrect value for size: -2M"},
      {"letter=R,size=lots", "incorrect value for size: lots"},
  };
  for (const Case &c : cases) {
    target.calls.clear();
    errors.clear();
    EXPECT_FALSE(Run(QStringLiteral("/add:") + QString::fromUtf8(c.parameters) +
                     QStringLiteral(" /mount:R")))
        << c.parameters;
    EXPECT_TRUE(target.calls.isEmpty()) << c.parameters;
    EXPECT_EQ(QStringList{QStringLiteral("Command line error: ") + QString::fromUtf8(c.message)},
              errors)
        << c.parameters;
  }
}

}  // namespace
