// The volume model's rules that need no engine: labels, mount flags, image
// status texts, the exception's message, letters in the disk list, and the
// text formatting of messages.
#include <windows.h>

#include <gtest/gtest.h>

#include "Volumes.h"

using namespace Ramdeck;

TEST(VolumeLabel, ReplacedCharactersAndLengthPerFileSystem) {
  EXPECT_EQ(QByteArray("My_Disk_1"), MakeVolumeLabel(fsFAT, QStringLiteral("My:Disk.1")));
  EXPECT_EQ(QByteArray("_______________*a"), MakeVolumeLabel(fsNTFS, QStringLiteral("\"+,./:;<=>?[\\]|*a")));
  QString forty(40, u'x');
  EXPECT_EQ(32, MakeVolumeLabel(fsNTFS, forty).size());
  EXPECT_EQ(QByteArray("ABCDEFGHIJK"), MakeVolumeLabel(fsFAT32, QStringLiteral("ABCDEFGHIJKLMN")));
  EXPECT_EQ(QByteArray(), MakeVolumeLabel(fsRAW, QStringLiteral("Anything")));
  EXPECT_EQ(QByteArray("caf\xe9"), MakeVolumeLabel(fsFAT, QStringLiteral("café")));  // system code page
}

TEST(MountFlags, EachFieldItsBits) {
  TVirtualVolume v;
  EXPECT_EQ(0u, v.GetMountFlags(true));
  v.FReadOnly = v.FRemovable = v.FNoSecurity = v.FNoImageLock = true;
  EXPECT_EQ(0x17u, v.GetMountFlags(true));
  TVirtualVolume disk;
  disk.FHDDEmulation = true;
  EXPECT_EQ(0xB0280u, disk.GetMountFlags(true));
  disk.FImageFile = QStringLiteral("C:\\disk.img");
  EXPECT_EQ(0x30280u, disk.GetMountFlags(true));
  TVirtualVolume numa;
  numa.FSpecNuma = true;
  EXPECT_EQ(0x100u, numa.GetMountFlags(true));
  EXPECT_EQ(0u, numa.GetMountFlags(false));
  EXPECT_EQ(AlgNull, numa.FAlgorithm);
}

TEST(ImageStatus, TextsAndHexForOthers) {
  EXPECT_EQ(QStringLiteral("Image load succeeded"), ImageStatusText(0));
  EXPECT_EQ(QStringLiteral("Image file could not be opened"), ImageStatusText(7));
  EXPECT_EQ(QStringLiteral("Unknown reason"), ImageStatusText(10));
  EXPECT_EQ(QStringLiteral("       c"), ImageStatusText(12));
  EXPECT_EQ(QStringLiteral("ffffffff"), ImageStatusText(-1));
}

TEST(VolumeError, MessageCarriesTheLastErrorAndItsSystemText) {
  SetLastError(ERROR_INVALID_PARAMETER);
  EVolumeError plain(QStringLiteral("Memory volume creation failed"));
  EXPECT_EQ(QStringLiteral("Memory volume creation failed\r\n87 The parameter is incorrect."), plain.Message());
  SetLastError(ERROR_OBJECT_NOT_FOUND);
  EVolumeError formatted(QStringLiteral("Letter %s is already in use"), {QStringLiteral("R")});
  EXPECT_EQ(QStringLiteral("Letter R is already in use\r\n4312 The object identifier does not represent a valid object."),
            formatted.Message());
  SetLastError(123456);  // no text for it: the code alone
  EXPECT_EQ(QStringLiteral("x\r\n123456 "), EVolumeError(QStringLiteral("x")).Message());
  EXPECT_EQ(QStringLiteral("= 1f and s"), FormatText(QStringLiteral("= %x and %s"), {QStringLiteral("1f"), QStringLiteral("s")}));
  EXPECT_EQ(QStringLiteral("    c0000034|%"), FormatText(QStringLiteral("%12x|%%"), {QStringLiteral("c0000034")}));
}

TEST(VolumeError, CheckLetterRefusesWhatIsNoLetter) {
  TVirtualVolume v;
  v.FLetter = u'1';
  try {
    v.CheckLetter();
    FAIL() << "no exception";
  } catch (const EVolumeError &e) {
    EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Incorrect letter character\r\n"))) << e.what();
  }
  v.FMountInfo.Status = static_cast<int32_t>(0xC0000034);
  v.FMountInfo.ImageStatus = 7;
  try {
    v.CheckMountInfo();
    FAIL() << "no exception";
  } catch (const EVolumeError &e) {
    EXPECT_TRUE(e.Message().startsWith(QStringLiteral(
        "Operation failed with status code = c0000034 and image status code = Image file could not be opened\r\n")))
        << e.what();
  }
}

TEST(DiskList, LettersKindsAndCounts) {
  TUserVolumeList list;
  auto r = std::make_unique<TLogonVolume>();
  r->SetLetter(u'r');
  EXPECT_EQ(QChar(u'R'), r->FLetter);
  EXPECT_EQ(60, r->FAutoFlushTimeMin);
  EXPECT_TRUE(r->Mountable());
  r->FMounted = true;
  list.Add(std::move(r));
  auto s = std::make_unique<TLogonVolume>();
  s->SetLetter(u'S');
  s->FMounted = true;
  s->FExternalMount = true;
  list.Add(std::move(s));
  EXPECT_EQ(0, list.IndexOfLetter(u'r'));
  EXPECT_EQ(1, list.IndexOfLetter(u's'));
  EXPECT_EQ(-1, list.IndexOfLetter(u'T'));
  EXPECT_TRUE(list.Exists(u'R'));
  EXPECT_EQ(list.Items(1), list.GetItemByLetter(u's'));
  EXPECT_EQ(2, list.GetTotalMountedCount());
  EXPECT_EQ(1, list.GetDismountableCount());  // the external one is not ours to dismount
  list.Remove(list.Items(0));  // a logon disk: nothing to tell the engine
  EXPECT_EQ(1, list.Count());

  TBootVolume boot;
  EXPECT_FALSE(boot.Mountable());
  boot.SetMountable(true);
  EXPECT_FALSE(boot.Mountable());
  EXPECT_FALSE(boot.WipeOnDismount());
}

TEST(DiskList, FileSystemTextAndSizeWithoutImage) {
  TLogonVolume disk;
  disk.FSize = 1572864000 + 1000;
  EXPECT_EQ(1500u, disk.SizeForUI());
  EXPECT_EQ(QStringLiteral("RAW"), disk.FileSystemAsStr());
  disk.FFileSystem = fsFAT32;
  EXPECT_EQ(QStringLiteral("FAT32"), disk.FileSystemAsStr());
  disk.FFileSystem = fsNTFS;
  EXPECT_EQ(QStringLiteral("NTFS"), disk.FileSystemAsStr());
  EXPECT_EQ(3u, disk.FileSystemNumber());
}
