// The volume model and the disk list against a running engine: every
// failure message reached by a real failing library call, logon disks
// mounted with their file system, label, folders and access entry, boot
// disks in the engine's automatic volumes, external mounts, and boot disks
// exported and imported. ctest runs each test in a process of its own, as
// the control library is initialised once per process.
#include <aclapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <chrono>
#include <fstream>
#include <thread>

#include "ConfigFile.h"
#include "Volumes.h"
#include "platform/daemon/tests/daemon_harness.h"

using namespace Ramdeck;

namespace {

void WINAPI Ignore(uint64_t, uint32_t) {}

template <class Condition>
bool WaitFor(Condition condition, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// The message of what `action` threw; empty when it threw nothing.
template <class Action>
QString Thrown(Action action) {
  try {
    action();
  } catch (const Exception &e) {
    return e.Message();
  }
  return QString();
}

class VolumesEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    ASSERT_NE(0, RamctlInitialize(Ignore)) << RamctlGetErrorCode();
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  // A Windows path of a host file under the daemon's root, on drive Z:.
  QString HostPath(const std::string &name) {
    QString path = QStringLiteral("Z:") + QString::fromStdString(daemon_.Root() + "/" + name);
    return path.replace(u'/', u'\\');
  }
  static std::unique_ptr<TLogonVolume> Logon(QChar letter, TFileSystemType fs = fsFAT, uint64_t mb = 16) {
    auto d = std::make_unique<TLogonVolume>();
    d->SetLetter(letter);
    d->FFileSystem = fs;
    d->FSize = mb << 20;
    return d;
  }
  static int EngineVolumes() {
    TOpenVolumeList list(etAll);
    return list.Count();
  }
  static int AutoVolumeCount() {
    VV_AUTO_VOLUME_DATA *records = nullptr;
    uint32_t count = 0;
    if (!RamctlGetAutoVolumes(&records, &count)) return -1;
    RamctlFree(&records);
    return static_cast<int>(count);
  }

  bw::test::Daemon daemon_;
};

TEST_F(VolumesEngine, FailingCallsGiveTheirMessagesWithCodeAndSystemText) {
  // A letter in use.
  TMemoryVolume onC;
  onC.FLetter = u'C';
  onC.FSize = 8 << 20;
  EXPECT_TRUE(Thrown([&] { onC.CreateMemoryVolume(fsFAT, 0, "X"); }).startsWith(QStringLiteral("Letter C is already in use\r\n")));
  EXPECT_FALSE(onC.FMounted);

  // An image path that does not lead to a file.
  TDiskVolume missing;
  missing.FLetter = u'M';
  missing.FImageFile = HostPath("none/missing.img");
  QString error = Thrown([&] { missing.MountDiskVolume(); });
  EXPECT_TRUE(error.startsWith(QStringLiteral("Disk image mounting failed\r\n")) ||
              error.startsWith(QStringLiteral("Operation failed with status code = ")))
      << error.toStdString();
  EXPECT_FALSE(missing.FMounted);

  // A memory volume: no image to save or name.
  TMemoryVolume volume;
  volume.FLetter = u'R';
  volume.FSize = 8 << 20;
  volume.CreateMemoryVolume(fsFAT, 0, "RAM");
  ASSERT_TRUE(volume.FMounted);
  error = Thrown([&] { volume.Save(); });
  EXPECT_TRUE(error.startsWith(QStringLiteral("Saving image failed\r\n"))) << error.toStdString();
  EXPECT_TRUE(Thrown([&] { volume.GetMountedImageFileName(); })
                  .startsWith(QStringLiteral("No image file attached to the volume\r\n")));
  error = Thrown([&] { volume.SaveTo(HostPath("no/such/folder/r.img")); });
  EXPECT_TRUE(error.startsWith(QStringLiteral("Saving image to ") + HostPath("no/such/folder/r.img") + QStringLiteral(" failed\r\n")))
      << error.toStdString();

  // The volume removed behind the object's back: its handle is gone.
  uint64_t handle = volume.VolumeHandle();
  ASSERT_NE(0, RamctlUnmount(handle, 1)) << RamctlGetErrorCode();
  ASSERT_TRUE(WaitFor([] { return EngineVolumes() == 0; }));
  // The code and the system's text for it follow the message.
  static const QRegularExpression kWithReason(QStringLiteral("\r\n[1-9][0-9]* [A-Z][^\r\n]+$"));
  error = Thrown([&] { volume.Unmount(true, false); });
  EXPECT_TRUE(error.startsWith(QStringLiteral("Unmounting volume failed\r\n"))) << error.toStdString();
  EXPECT_TRUE(kWithReason.match(error).hasMatch()) << error.toStdString();
  EXPECT_TRUE(volume.FMounted);  // nothing changed on failure
  error = Thrown([&] { TOpenVolume gone(handle); });
  EXPECT_TRUE(error.startsWith(QStringLiteral("Querying volume information failed\r\n"))) << error.toStdString();
  EXPECT_TRUE(kWithReason.match(error).hasMatch()) << error.toStdString();
  EXPECT_TRUE(Thrown([&] { TOpenVolume(handle).Dismount(true); }).startsWith(QStringLiteral("Querying volume information failed")));
  EXPECT_TRUE(Thrown([&] { volume.GetVolumeInfo(u'R'); })
                  .startsWith(QStringLiteral("Error reading volume info by letter\r\n4312 ")));

  TImageCreator creator;
  creator.FFileName = HostPath("small.img");
  creator.FOverwrite = true;
  creator.FImageSize = 64 << 10;
  creator.FFileSystem = fsNTFS;
  EXPECT_EQ(QStringLiteral("Creation of image file failed\r\n1292 ") +
                QString::fromUtf16(u"The requested operation could not be completed because of an implementation limit."),
            Thrown([&] { creator.CreateImage(); }));
}

TEST_F(VolumesEngine, LogonDiskMountedWithFat32LabelFoldersAndFlags) {
  auto disk = Logon(u'r', fsFAT32, 64);
  disk->FVolumeLabel = QStringLiteral("My:Disk.Label.Long");
  disk->FCreateFolders << QStringLiteral(" Temp ") << QStringLiteral("a\\b\\c");
  disk->FRemovable = true;
  disk->FSaveToImage = true;
  disk->FAutoFlushEnabled = true;
  TUserVolumeList list;
  TUserVolume *r = list.Add(std::move(disk));
  r->Mount();
  ASSERT_TRUE(r->FMounted);

  WCHAR label[64] = {}, fs[16] = {};
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", label, 64, nullptr, nullptr, nullptr, fs, 16)) << GetLastError();
  EXPECT_EQ(QStringLiteral("FAT32"), QString::fromUtf16(fs));
  EXPECT_EQ(QStringLiteral("MY_DISK_LAB"), QString::fromUtf16(label).toUpper());
  EXPECT_EQ(QStringLiteral("FAT32"), QueryFileSystemName(QStringLiteral("R:\\")));
  EXPECT_EQ(QString(), QueryFileSystemName(QStringLiteral("Q:\\")));
  for (const char16_t *folder : {u"R:\\Temp", u"R:\\a\\b\\c"}) {
    DWORD attributes = GetFileAttributesW(folder);
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << QString::fromUtf16(folder).toStdString();
  }
  // Properties and flags as the engine keeps them.
  EXPECT_TRUE(r->FMemoryVolume->AutoSaveOnShutdown());
  VolumeInformation info{};
  ASSERT_NE(0, RamctlQueryVolumeInformation(r->VolumeHandle(), &info));
  EXPECT_EQ(uint64_t{64} << 20, uint64_t{info.VolumeSize});
  EXPECT_EQ(u'R', info.DriveLetter);
  EXPECT_FALSE(info.SessionLocal);
  TOpenVolumeList memory(etMemory);
  ASSERT_EQ(1, memory.Count());
  EXPECT_EQ(QChar(u'R'), memory.Items(0)->Letter());
  EXPECT_TRUE(memory.Items(0)->InMemory());
  EXPECT_TRUE(memory.Items(0)->Removable());
  EXPECT_EQ(QStringLiteral("FAT32"), memory.Items(0)->FileSystem());
  EXPECT_EQ(QStringLiteral("None"), memory.Items(0)->ImageFile());
  EXPECT_EQ(0, TOpenVolumeList(etFile).Count());
  EXPECT_EQ(1, list.GetDismountableCount());

  r->SetMountable(false);  // the user unmounts it
  r->Dismount(false);
  EXPECT_FALSE(r->FMounted);
  EXPECT_EQ(0, list.GetTotalMountedCount());
  EXPECT_TRUE(WaitFor([] { return !RamctlIsLetterUsed(u'R'); }));
}

TEST_F(VolumesEngine, GrantUsersAccessOnNtfsGivesUsersTheirEntry) {
  TUserVolumeList list;
  TUserVolume *n = list.Add(Logon(u'N', fsNTFS, 32));
  n->FCreateFolders << QStringLiteral("Shared");
  n->Mount();
  ASSERT_TRUE(n->FMounted);
  EXPECT_EQ(QStringLiteral("NTFS"), QueryFileSystemName(QStringLiteral("N:\\")));
  EXPECT_TRUE(GetFileAttributesW(u"N:\\") & 0x2000);  // not content indexed

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            GetNamedSecurityInfoW(u"N:\\", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                  nullptr, &descriptor));
  ASSERT_NE(nullptr, dacl);
  BYTE users[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof users;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
  bool found = false;
  auto *at = reinterpret_cast<BYTE *>(dacl) + sizeof(ACL);
  for (WORD i = 0; i < dacl->AceCount; ++i) {
    auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(at);
    if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&ace->SidStart, users)) {
      found = true;
      EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags & VALID_INHERIT_FLAGS);
      EXPECT_EQ(0xE0010000u, ace->Mask & 0xE0010000u);
    }
    at += ace->Header.AceSize;
  }
  EXPECT_TRUE(found);
  LocalFree(descriptor);
  EXPECT_TRUE(GetFileAttributesW(u"N:\\Shared") & FILE_ATTRIBUTE_DIRECTORY);

  // FAT keeps no security: the grant is skipped and the mount goes on.
  TUserVolume *f = list.Add(Logon(u'F', fsFAT));
  f->FCreateFolders << QStringLiteral("x");
  f->Mount();
  EXPECT_TRUE(f->FMounted);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"F:\\x"));
  list.AutoDismount(TUserVolumeList::dtBoth);
  EXPECT_EQ(0, list.GetTotalMountedCount());
}

TEST_F(VolumesEngine, BootDiskWrittenReadBackEditedAndRemoved) {
  TUserVolumeList list;
  auto disk = std::make_unique<TBootVolume>();
  disk->SetLetter(u'b');
  disk->FFileSystem = fsFAT;
  disk->FSize = 16 << 20;
  disk->FVolumeLabel = QStringLiteral("Boot.Disk");
  disk->FCreateFolders << QStringLiteral("Temp") << QStringLiteral("x\\y");
  disk->FCompressed = true;
  disk->FRemovable = true;
  disk->FSpecNuma = true;
  disk->FSaveToImage = true;
  disk->FAutoFlushEnabled = true;
  disk->FAutoFlushTimeMin = 5;
  TUserVolume *b = list.Add(std::move(disk));
  EXPECT_EQ(1, AutoVolumeCount());

  VV_AUTO_VOLUME_DATA *records = nullptr;
  uint32_t count = 0;
  ASSERT_NE(0, RamctlGetAutoVolumes(&records, &count));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(0xCu | 0x40 | 0x2 | 0x100, uint32_t{records->MountFlags});
  EXPECT_EQ(1u, uint32_t{records->Properties});
  EXPECT_EQ(0u, uint32_t{records->AutoflushPeriod});  // flushing needs an image
  RamctlFree(&records);

  TUserVolumeList fresh;
  fresh.ReadBootVolumes(true);
  ASSERT_EQ(1, fresh.Count());
  TUserVolume *read = fresh.Items(0);
  EXPECT_TRUE(read->IsBoot());
  EXPECT_EQ(QChar(u'B'), read->FLetter);
  EXPECT_EQ(fsFAT, read->FFileSystem);
  EXPECT_EQ(uint64_t{16} << 20, read->FSize);
  EXPECT_EQ(QStringLiteral("Boot_Disk"), read->FVolumeLabel);
  EXPECT_EQ(QStringList({QStringLiteral("Temp"), QStringLiteral("x\\y")}), read->FCreateFolders);
  EXPECT_TRUE(read->FCompressed && read->FRemovable && read->FSpecNuma && read->FSaveToImage);
  EXPECT_FALSE(read->FHDDEmulation);
  EXPECT_FALSE(read->FAutoFlushEnabled);
  EXPECT_TRUE(read->FLocalLink);
  EXPECT_FALSE(read->FMounted);  // the engine made none since its start
  EXPECT_EQ(1, AutoVolumeCount());  // written back in place, not doubled

  // A changed letter: the old record goes before the new one is written.
  b->SetLetter(u'D');
  list.Update(b, u'B');
  ASSERT_NE(0, RamctlGetAutoVolumes(&records, &count));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(u'D', records->DriveLetter);
  RamctlFree(&records);

  // Mounted from the manager at once, like a logon disk.
  b->Mount();
  EXPECT_TRUE(b->FMounted);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"D:\\x\\y"));
  list.AutoDismount(TUserVolumeList::dtLogon);
  EXPECT_TRUE(b->FMounted);  // not a logon disk
  // Save-to-image without an image: nothing to save, and it still goes.
  list.AutoDismount(TUserVolumeList::dtBoot);
  EXPECT_FALSE(b->FMounted);

  list.Remove(b);
  EXPECT_EQ(0, list.Count());
  EXPECT_EQ(0, AutoVolumeCount());
  fresh.ClearDisks();
  EXPECT_EQ(0, fresh.Count());
}

TEST_F(VolumesEngine, ExternalMountsAreLeftAloneByAutoMountAndAutoDismount) {
  // A volume some other program made on E:.
  MountResult result{};
  ASSERT_NE(0, RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 8 << 20, nullptr, nullptr, 0, 0, ENGINE_FS_FAT, 0,
                                          "EXT", &result));
  ASSERT_NE(0, RamctlCreateLink(result.VolumeHandle, 0, u'E', 0));

  TUserVolumeList list;
  auto *e = static_cast<TLogonVolume *>(list.Add(Logon(u'E')));
  auto *g = static_cast<TLogonVolume *>(list.Add(Logon(u'G')));
  auto *h = static_cast<TLogonVolume *>(list.Add(Logon(u'H')));
  h->FMountable = false;
  list.AutoMount();
  EXPECT_TRUE(e->FMounted);
  EXPECT_TRUE(e->FExternalMount);
  EXPECT_EQ(uint64_t{result.VolumeHandle}, e->VolumeHandle());
  EXPECT_TRUE(g->FMounted);
  EXPECT_FALSE(g->FExternalMount);
  EXPECT_FALSE(h->FMounted);
  EXPECT_EQ(2, list.GetTotalMountedCount());
  EXPECT_EQ(1, list.GetDismountableCount());

  list.AutoDismount(TUserVolumeList::dtBoth);
  EXPECT_TRUE(e->FMounted);
  EXPECT_FALSE(g->FMounted);
  EXPECT_NE(0, RamctlIsMemoryVolume(u'E'));
  EXPECT_TRUE(WaitFor([] { return !RamctlIsLetterUsed(u'G'); }));

  // G: now made by another program: found there and left to it.
  MountResult other{};
  ASSERT_NE(0, RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 8 << 20, nullptr, nullptr, 0, 0, ENGINE_FS_FAT, 0,
                                          "X", &other));
  ASSERT_NE(0, RamctlCreateLink(other.VolumeHandle, 0, u'G', 0));
  h->FMountable = true;
  list.AutoMount();  // G: is now external, H: mounts
  EXPECT_TRUE(g->FExternalMount && h->FMounted);
  EXPECT_EQ(3, list.GetTotalMountedCount());
  EXPECT_EQ(1, list.GetDismountableCount());
  list.AutoDismount(TUserVolumeList::dtLogon);
  EXPECT_EQ(2, list.GetTotalMountedCount());
}

TEST_F(VolumesEngine, BootDisksExportedAndImported) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\cfg", nullptr));
  TUserVolumeList list;
  TConfigSettings settings;
  QStringList apps;
  auto boot = std::make_unique<TBootVolume>();
  boot->SetLetter(u'K');
  boot->FFileSystem = fsNTFS;
  boot->FSize = 32 << 20;
  list.Add(std::move(boot));
  list.Add(Logon(u'L'));
  TConfigFile(list, settings, apps).Write(cfExport, QStringLiteral("C:\\cfg\\export.xml"));

  list.ClearDisks();  // also empties the engine's automatic volumes
  EXPECT_EQ(0, AutoVolumeCount());
  TConfigFile(list, settings, apps).Read(cfExport, QStringLiteral("C:\\cfg\\export.xml"));
  ASSERT_EQ(2, list.Count());
  EXPECT_EQ(1, AutoVolumeCount());  // the boot disk went straight to the engine
  EXPECT_TRUE(list.ItemByLetter(u'K')->IsBoot());
  EXPECT_FALSE(list.ItemByLetter(u'L')->IsBoot());

  // A boot disk the engine refuses ends the import there.
  std::ofstream(daemon_.Root() + "/C/cfg/bad.xml")
      << "<corvane><boot><item letter='P'><folders><name></name></folders><image/></item>"
         "<item letter='Q'><image/></item></boot></corvane>";
  QString error = Thrown([&] { TConfigFile(list, settings, apps).Read(cfBoot, QStringLiteral("C:\\cfg\\bad.xml")); });
  EXPECT_TRUE(error.startsWith(QStringLiteral("Error adding/editing boot volume\r\n87 "))) << error.toStdString();
  EXPECT_EQ(2, list.Count());
  EXPECT_FALSE(list.Exists(u'Q'));
}

}  // namespace
