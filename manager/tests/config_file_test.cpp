// The configuration file of logon disks, settings and applications:
// written and read back, its defaults, each malformed form refused with
// the disks read before it kept, and an export that leaves the settings
// alone. Boot disks, which need the engine, are in the engine tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ConfigFile.h"
#include "platform/daemon/tests/daemon_harness.h"

using namespace Ramdeck;

namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    ASSERT_TRUE(CreateDirectoryW(u"C:\\cfg", nullptr)) << GetLastError();
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  std::string HostText(const std::string &relative) {
    std::ifstream in(daemon_.Root() + "/C/" + relative);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Put(const std::string &relative, const std::string &text) {
    std::ofstream(daemon_.Root() + "/C/" + relative) << text;
  }
  // Reads the text; the error's message, empty when none.
  QString ReadFails(const std::string &text, TUserVolumeList *disks = nullptr) {
    Put("cfg/bad.xml", text);
    try {
      TConfigFile(disks ? *disks : disks_, settings_, apps_).Read(cfConfig, QStringLiteral("C:\\cfg\\bad.xml"));
    } catch (const Exception &e) {
      return e.Message();
    }
    return QString();
  }

  bw::test::Daemon daemon_;
  TUserVolumeList disks_;
  TConfigSettings settings_;
  QStringList apps_;
};

std::unique_ptr<TLogonVolume> FullDisk() {
  auto d = std::make_unique<TLogonVolume>();
  d->FFileSystem = fsNTFS;
  d->FCreateFolders << QStringLiteral("Temp") << QStringLiteral("a\\b");
  d->SetLetter(u'r');
  d->FSize = 1572864000 + 12345;  // rounded down to whole megabytes
  d->FImageFile = QStringLiteral("C:\\images\\r.img");
  d->FSaveToImage = true;
  d->FRemovable = true;
  d->FVolumeLabel = QStringLiteral("RAM <disk>");
  d->FCompressed = true;
  d->FAutoFlushEnabled = true;
  d->FAutoFlushTimeMin = 15;
  d->FHDDEmulation = true;
  d->FNumaNode = 2;
  d->FSpecNuma = true;
  d->FWipeOnDismount = true;
  d->FMountable = false;
  return d;
}

TEST_F(ConfigFileTest, WrittenAndReadBackWithEveryAttribute) {
  disks_.Add(FullDisk());
  auto plain = std::make_unique<TLogonVolume>();
  plain->SetLetter(u'S');
  plain->FSize = 64 << 20;
  disks_.Add(std::move(plain));
  settings_ = {false, true, false, false};
  apps_ = QStringList{QStringLiteral("%WINDIR%\\notepad.exe \"S:\\a b.txt\""), QStringLiteral("calc")};
  TConfigFile(disks_, settings_, apps_).Write(cfConfig, QStringLiteral("C:\\cfg\\Ramdeck.xml"));

  std::string text = HostText("cfg/Ramdeck.xml");
  EXPECT_EQ(0u, text.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<corvane>\n  <config")) << text;
  EXPECT_NE(std::string::npos,
            text.find("<config useraccess=\"False\" locallinks=\"True\" trayicon=\"False\" alloweject=\"False\"/>"))
      << text;
  EXPECT_NE(std::string::npos,
            text.find("<item filesystem=\"3\" letter=\"R\" size=\"1500\" savetoimage=\"True\" removable=\"True\" "
                      "label=\"RAM &lt;disk&gt;\" compressed=\"True\" autoflush=\"True\" flushtime=\"15\" "
                      "hddemulation=\"True\" numanode=\"2\" specnuma=\"True\" wipe=\"True\" mountable=\"False\">"))
      << text;
  EXPECT_LT(text.find("<folders>"), text.find("<image filename=\"C:\\images\\r.img\"/>"));
  EXPECT_NE(std::string::npos, text.find("<name>a\\b</name>"));
  EXPECT_LT(text.find("<mount>"), text.find("<autorun>"));
  EXPECT_EQ(std::string::npos, text.find("<boot"));

  TUserVolumeList disks;
  TConfigSettings settings;
  QStringList apps{QStringLiteral("replaced")};
  TConfigFile(disks, settings, apps).Read(cfConfig, QStringLiteral("C:\\cfg\\Ramdeck.xml"));
  EXPECT_FALSE(settings.UserAccess);
  EXPECT_TRUE(settings.LocalLinks);
  EXPECT_FALSE(settings.TrayIcon);
  EXPECT_FALSE(settings.AllowEject);
  EXPECT_EQ(apps_, apps);
  ASSERT_EQ(2, disks.Count());
  auto *r = dynamic_cast<TLogonVolume *>(disks.Items(0));
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(fsNTFS, r->FFileSystem);
  EXPECT_EQ(QStringList({QStringLiteral("Temp"), QStringLiteral("a\\b")}), r->FCreateFolders);
  EXPECT_EQ(QChar(u'R'), r->FLetter);
  EXPECT_EQ(uint64_t{1500} << 20, r->FSize);
  EXPECT_EQ(QStringLiteral("C:\\images\\r.img"), r->FImageFile);
  EXPECT_TRUE(r->FSaveToImage && r->FRemovable && r->FCompressed && r->FAutoFlushEnabled && r->FHDDEmulation &&
              r->FSpecNuma && r->FWipeOnDismount);
  EXPECT_FALSE(r->FMountable);
  EXPECT_EQ(QStringLiteral("RAM <disk>"), r->FVolumeLabel);
  EXPECT_EQ(15, r->FAutoFlushTimeMin);
  EXPECT_EQ(2u, r->FNumaNode);
  EXPECT_TRUE(r->FLocalLink);  // from the local-links setting just read
  auto *s = dynamic_cast<TLogonVolume *>(disks.Items(1));
  EXPECT_TRUE(s->FMountable);
  EXPECT_TRUE(s->FImageFile.isEmpty());
  EXPECT_EQ(uint64_t{64} << 20, s->FSize);
}

TEST_F(ConfigFileTest, MissingFileAndAttributesGiveTheDefaults) {
  settings_ = {false, true, false, false};
  TConfigFile(disks_, settings_, apps_).Read(cfConfig, QStringLiteral("C:\\cfg\\none.xml"));
  EXPECT_FALSE(settings_.UserAccess);  // a missing file changes nothing
  EXPECT_EQ(0, disks_.Count());

  EXPECT_EQ(QString(), ReadFails("<corvane><mount><item letter='q'><image/></item></mount></corvane>"));
  EXPECT_TRUE(settings_.UserAccess);
  EXPECT_FALSE(settings_.LocalLinks);
  EXPECT_TRUE(settings_.TrayIcon);
  EXPECT_TRUE(settings_.AllowEject);
  ASSERT_EQ(1, disks_.Count());
  auto *q = dynamic_cast<TLogonVolume *>(disks_.Items(0));
  EXPECT_EQ(QChar(u'Q'), q->FLetter);
  EXPECT_EQ(60, q->FAutoFlushTimeMin);
  EXPECT_TRUE(q->FMountable);
  EXPECT_FALSE(q->FWipeOnDismount || q->FSaveToImage || q->FAutoFlushEnabled);
  EXPECT_EQ(fsRAW, q->FFileSystem);
  EXPECT_EQ(0u, q->FSize);

  // Booleans by the text-to-boolean rule.
  TUserVolumeList more;
  EXPECT_EQ(QString(), ReadFails("<corvane><config useraccess='FALSE' trayicon='0' alloweject='7'/>"
                                 "<mount><item letter='t' removable='tRuE'><image filename='x'/></item></mount>"
                                 "</corvane>",
                                 &more));
  EXPECT_FALSE(settings_.UserAccess);
  EXPECT_FALSE(settings_.TrayIcon);
  EXPECT_TRUE(settings_.AllowEject);
  EXPECT_TRUE(more.Items(0)->FRemovable);
}

TEST_F(ConfigFileTest, MalformedFilesRefusedKeepingWhatWasRead) {
  const QString corrupted = QStringLiteral("Config file corrupted");
  EXPECT_TRUE(ReadFails("<other><mount/></other>").startsWith(corrupted));
  EXPECT_TRUE(ReadFails("").startsWith(corrupted));
  EXPECT_TRUE(ReadFails("<corvane><mount>").startsWith(corrupted));
  EXPECT_EQ(0, disks_.Count());

  // The second disk is bad in each case: the first stays, the bad one is
  // dropped, and nothing after it is read.
  const std::string good = "<item letter='A'><image filename=''/></item>";
  const std::string after = "<item letter='Z'><image/></item>";
  for (const std::string bad : {"<item letter='B'/>", "<item><image/></item>", "<item letter=''><image/></item>",
                                "<item letter='B' size='big'><image/></item>",
                                "<item letter='B' savetoimage='maybe'><image/></item>",
                                "<item letter='B' filesystem='9'><image/></item>"}) {
    TUserVolumeList disks;
    QString error = ReadFails("<corvane><mount>" + good + bad + after + "</mount></corvane>", &disks);
    EXPECT_TRUE(error.startsWith(corrupted)) << bad << " " << error.toStdString();
    ASSERT_EQ(1, disks.Count()) << bad;
    EXPECT_EQ(QChar(u'A'), disks.Items(0)->FLetter);
  }
  EXPECT_FALSE(ReadFails("<corvane><config trayicon='yes'/></corvane>").isEmpty());
  EXPECT_EQ(0, disks_.Count());
}

TEST_F(ConfigFileTest, ExportHoldsDisksOnlyAndImportLeavesTheSettings) {
  disks_.Add(FullDisk());
  apps_ = QStringList{QStringLiteral("calc")};
  TConfigFile(disks_, settings_, apps_).Write(cfExport, QStringLiteral("C:\\cfg\\export.xml"));
  std::string text = HostText("cfg/export.xml");
  EXPECT_EQ(std::string::npos, text.find("<config"));
  EXPECT_EQ(std::string::npos, text.find("<autorun"));
  EXPECT_NE(std::string::npos, text.find("<mount>"));
  EXPECT_NE(std::string::npos, text.find("<boot/>"));

  TUserVolumeList disks;
  TConfigSettings settings{false, true, false, false};
  QStringList apps{QStringLiteral("kept")};
  TConfigFile(disks, settings, apps).Read(cfExport, QStringLiteral("C:\\cfg\\export.xml"));
  EXPECT_EQ(1, disks.Count());
  EXPECT_FALSE(settings.UserAccess);
  EXPECT_TRUE(settings.LocalLinks);
  EXPECT_EQ(QStringList{QStringLiteral("kept")}, apps);
  EXPECT_TRUE(disks.Items(0)->FLocalLink);  // taken from the current setting
}

TEST_F(ConfigFileTest, DefaultLocationAndWriteFailure) {
  QString path = TConfigFile::DefaultPath();
  EXPECT_EQ(QStringLiteral("C:\\ProgramData\\Brimwell\\Ramdeck\\Ramdeck.xml"), path);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"C:\\ProgramData\\Brimwell\\Ramdeck"));
  TConfigFile(disks_, settings_, apps_).Write(cfConfig);
  EXPECT_NE(std::string::npos, HostText("ProgramData/Brimwell/Ramdeck/Ramdeck.xml").find("<corvane>"));
  try {
    TConfigFile(disks_, settings_, apps_).Write(cfConfig, QStringLiteral("C:\\no\\such\\folder\\x.xml"));
    FAIL() << "written";
  } catch (const Exception &e) {
    EXPECT_TRUE(e.Message().contains(QStringLiteral("\r\n3 The system cannot find the path specified."))) << e.what();
  }
}

}  // namespace
