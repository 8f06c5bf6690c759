// The disk dialog and its advanced dialog as a user fills them: every check
// of OK with wrong input shows its message and keeps the dialog open, the
// enabling follows the image and the file system, and the disk gets what
// the user entered.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include "AddDisk.h"
#include "Language.h"
#include "ImageDialogs.h"
#include "Volumes.h"
#include "dialog_test_support.h"

namespace Ramdeck::test {
namespace {

constexpr uint64_t kMB = 1048576;

class AddDiskDialogTest : public DialogTest {
 protected:
  // Enters the size and file system and presses OK; whether it closed.
  bool TryOk(TAddDiskForm &form, int sizeMB, TFileSystemType fileSystem) {
    form.FSize->setValue(sizeMB);
    form.FFileSystem->setCurrentIndex(fileSystem);
    return PressOk(form);
  }
  bool PressOk(TAddDiskForm &form) {
    form.setResult(QDialog::Rejected);
    QTest::mouseClick(form.FOK, Qt::LeftButton);
    return form.result() == QDialog::Accepted;
  }
};

TEST_F(AddDiskDialogTest, SizeMustFitTheFileSystem) {
  struct Case {
    TFileSystemType fileSystem;
    int sizeMB;
    const char *refusal;  // nullptr: accepted
  } cases[] = {
      {fsFAT, 2048, "FAT requires the disk to be 1 to 2047 MB in size"},
      {fsFAT, 2047, nullptr},
      {fsFAT32, 15, "FAT32 requires the disk to be 16 to 32767 MB in size"},
      {fsFAT32, 16, nullptr},
      {fsNTFS, 4, "NTFS requires the disk to be 5 to 2097151 MB in size"},
      {fsNTFS, 5, nullptr},
      {fsRAW, 1, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sizeMB);
    boxes.clear();
    TAddDiskForm form(nullptr, false, 0);
    bool closed = TryOk(form, c.sizeMB, c.fileSystem);
    if (c.refusal) {
      EXPECT_FALSE(closed);
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].Kind, TBoxKind::Information);
      EXPECT_EQ(boxes[0].Caption, QStringLiteral("Brimwell Corvane"));
      EXPECT_EQ(boxes[0].Text, QString::fromLatin1(c.refusal));
      // Nothing the user entered was changed by the refusal.
      EXPECT_EQ(form.FSize->value(), c.sizeMB);
      EXPECT_EQ(form.FileSystem(), c.fileSystem);
    } else {
      EXPECT_TRUE(closed);
      EXPECT_TRUE(boxes.empty()) << LastBoxText().toStdString();
    }
  }
}

TEST_F(AddDiskDialogTest, SizeIsLimitedTo95PercentOfTheMemoryThatWouldBeFree) {
  const QString refusal = QStringLiteral("You cannot create a RAM disk exceeding 95% of the available RAM");
  freeMemory = 10000 * kMB;
  {
    TAddDiskForm form(nullptr, false, 0);
    EXPECT_EQ(form.FFreeMemory->text(), QStringLiteral("10000 MB free"));
    EXPECT_FALSE(TryOk(form, 9501, fsRAW));
    EXPECT_EQ(LastBoxText(), refusal);
    EXPECT_TRUE(TryOk(form, 9500, fsRAW));
  }
  // Editing a mounted 4000 MB disk: its memory comes back on remount.
  freeMemory = 6000 * kMB;
  {
    TAddDiskForm form(nullptr, false, 4000 * kMB);
    EXPECT_EQ(form.FFreeMemory->text(), QStringLiteral("10000 MB free"));
    boxes.clear();
    EXPECT_FALSE(TryOk(form, 9501, fsNTFS));
    EXPECT_EQ(LastBoxText(), refusal);
    EXPECT_TRUE(TryOk(form, 9500, fsNTFS));
  }
  // The limit rounds halves to even: 95 % of 10 MB is 9.5 -> 10, of 30 MB
  // 28.5 -> 28; bytes beyond whole megabytes do not count.
  EXPECT_EQ(MemoryLimitMB(10 * kMB), 10u);
  EXPECT_EQ(MemoryLimitMB(30 * kMB), 28u);
  EXPECT_EQ(MemoryLimitMB(31 * kMB - 1), 28u);
  EXPECT_EQ(MemoryLimitMB(0), 0u);
  // With no memory at all even the smallest disk is refused.
  freeMemory = 0;
  TAddDiskForm empty(nullptr, false, 0);
  EXPECT_FALSE(TryOk(empty, 1, fsRAW));
  EXPECT_EQ(LastBoxText(), refusal);
}

TEST_F(AddDiskDialogTest, ImageFileIsCheckedAndDecidesTheSize) {
  const QString image = QStringLiteral("C:\\Images\\disk.img");
  TAddDiskForm form(nullptr, false, 0);
  form.FFileSystem->setCurrentIndex(fsNTFS);
  form.FFolders->setPlainText(QStringLiteral("Temp"));
  form.FWipe->setChecked(true);
  form.FSize->setValue(7);

  // A file that does not exist.
  QTest::keyClicks(form.FImage, image);
  EXPECT_TRUE(form.FImageSize->isHidden());
  EXPECT_FALSE(PressOk(form));
  EXPECT_EQ(LastBoxText(), QStringLiteral("Specified image file does not exist"));
  EXPECT_EQ(form.FileSystem(), fsNTFS);
  EXPECT_EQ(form.CreateFolders(), QStringList{QStringLiteral("Temp")});

  // Smaller than a megabyte: the size check, with the size field's bounds.
  files[image] = kMB - 1;
  form.FImage->setText(QString());
  form.FImage->setText(image);
  EXPECT_FALSE(PressOk(form));
  EXPECT_EQ(LastBoxText(), QStringLiteral("RAM disk size must be between 1 and 2147483647 MB"));

  // Larger than the memory allows: the 95 % rule holds for images too.
  files[image] = 9501 * kMB;
  form.FImage->setText(QString());
  form.FImage->setText(image);
  EXPECT_FALSE(PressOk(form));
  EXPECT_EQ(LastBoxText(), QStringLiteral("You cannot create a RAM disk exceeding 95% of the available RAM"));
  EXPECT_EQ(form.FSize->value(), 7);

  // A fitting image: its size, RAW, no folders, no wipe.
  files[image] = 64 * kMB + 5;
  form.FImage->setText(QString());
  form.FImage->setText(image);
  EXPECT_FALSE(form.FImageSize->isHidden());
  EXPECT_EQ(form.FImageSize->text(), QStringLiteral("Size 64 MB"));
  form.FSaveToImage->setChecked(true);
  boxes.clear();
  EXPECT_TRUE(PressOk(form));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(form.Size(), 64 * kMB);
  EXPECT_EQ(form.FileSystem(), fsRAW);
  EXPECT_TRUE(form.CreateFolders().isEmpty());
  EXPECT_FALSE(form.EraseEnabled());
  EXPECT_TRUE(form.SaveToImage());
}

TEST_F(AddDiskDialogTest, BootDiskRefusesNestedFolders) {
  for (const char *line : {"Temp\\Sub", "Temp/Sub"}) {
    TAddDiskForm form(nullptr, true, 0);
    form.FFileSystem->setCurrentIndex(fsFAT);
    form.FFolders->setPlainText(QStringLiteral("Top\n") + QString::fromLatin1(line));
    EXPECT_FALSE(PressOk(form)) << line;
    EXPECT_EQ(LastBoxText(), QStringLiteral("Nested folders are not allowed on a boot disk"));
  }
  TAddDiskForm boot(nullptr, true, 0);
  boot.FFileSystem->setCurrentIndex(fsFAT);
  boot.FFolders->setPlainText(QStringLiteral("Temp\nOther"));
  EXPECT_TRUE(PressOk(boot));
  EXPECT_EQ(boot.CreateFolders(), (QStringList{QStringLiteral("Temp"), QStringLiteral("Other")}));
  // A logon disk makes nested folders.
  TAddDiskForm logon(nullptr, false, 0);
  logon.FFileSystem->setCurrentIndex(fsFAT);
  logon.FFolders->setPlainText(QStringLiteral("Temp\\Sub"));
  EXPECT_TRUE(PressOk(logon));
}

TEST_F(AddDiskDialogTest, ControlsFollowTheImageAndTheFileSystem) {
  files[QStringLiteral("C:\\a.img")] = 8 * kMB;
  TAddDiskForm form(nullptr, false, 0);
  auto expectNoImage = [&] {
    EXPECT_TRUE(form.FSize->isEnabled());
    EXPECT_TRUE(form.FFileSystem->isEnabled());
    EXPECT_TRUE(form.FWipe->isEnabled());
    EXPECT_FALSE(form.FSaveToImage->isEnabled());
  };
  expectNoImage();
  EXPECT_FALSE(form.FFolders->isEnabled());  // RAW has no folders
  EXPECT_FALSE(form.FFoldersLabel->isEnabled());
  for (TFileSystemType fileSystem : {fsFAT, fsFAT32, fsNTFS}) {
    form.FFileSystem->setCurrentIndex(fileSystem);
    EXPECT_TRUE(form.FFolders->isEnabled());
  }
  form.FImage->setText(QStringLiteral("C:\\a.img"));
  EXPECT_FALSE(form.FSize->isEnabled());
  EXPECT_FALSE(form.FFileSystem->isEnabled());
  EXPECT_FALSE(form.FWipe->isEnabled());
  EXPECT_TRUE(form.FSaveToImage->isEnabled());
  EXPECT_FALSE(form.FFolders->isEnabled());
  form.FImage->clear();
  expectNoImage();
  EXPECT_TRUE(form.FImageSize->isHidden());

  // The wipe is a logon disk's only.
  TAddDiskForm boot(nullptr, true, 0);
  EXPECT_TRUE(boot.FWipe->isHidden());
  EXPECT_FALSE(form.FWipe->isHidden());
}

TEST_F(AddDiskDialogTest, LetterListHoldsTheFreeLettersAndTheEditedDisksOwn) {
  usedLetters = (1u << 0) | (1u << 2) | (1u << 17);  // A, C, R
  TAddDiskForm form(nullptr, false, 0);
  EXPECT_EQ(form.FLetter->count(), 23);
  EXPECT_EQ(form.FLetter->itemText(0), QStringLiteral("B:"));
  EXPECT_EQ(form.Letter(), QChar(u'B'));
  EXPECT_EQ(form.FLetter->findText(QStringLiteral("C:")), -1);
  // Editing the disk mounted on R: keeps R: in its place and selects it.
  form.SetLetter(QChar(u'r'));
  EXPECT_EQ(form.FLetter->count(), 24);
  EXPECT_EQ(form.Letter(), QChar(u'R'));
  EXPECT_EQ(form.FLetter->itemText(form.FLetter->currentIndex() - 1), QStringLiteral("Q:"));
  EXPECT_EQ(form.FLetter->itemText(form.FLetter->currentIndex() + 1), QStringLiteral("S:"));
  // A free letter is only selected.
  form.SetLetter(QChar(u'T'));
  EXPECT_EQ(form.FLetter->count(), 24);
  EXPECT_EQ(form.Letter(), QChar(u'T'));
}

TEST_F(AddDiskDialogTest, AdvancedDialogEditsWhatTheDiskAllows) {
  highestNode = 1;
  files[QStringLiteral("C:\\a.img")] = 8 * kMB;
  TAddDiskForm form(nullptr, false, 0);
  form.VolumeLabel = QStringLiteral("Old");
  form.AutoFlushTime = 60;
  form.NumaNode = 0;

  // RAW without an image: nothing but the NUMA node may change.
  OnNextDialog([](QDialog *dialog) {
    auto *advanced = qobject_cast<TAddDiskMoreSettingsForm *>(dialog);
    ASSERT_NE(advanced, nullptr);
    EXPECT_EQ(advanced->windowTitle(), QStringLiteral("Advanced Disk Properties"));
    EXPECT_FALSE(advanced->FLabel->isEnabled());
    EXPECT_FALSE(advanced->FCompression->isEnabled());
    EXPECT_FALSE(advanced->FAutoFlush->isEnabled());
    EXPECT_FALSE(advanced->FFlushMinutes->isEnabled());
    EXPECT_EQ(advanced->FNumaNodes->count(), 2);
    EXPECT_TRUE(advanced->FNumaNodes->isEnabled());
    advanced->FNumaNodes->setCurrentIndex(1);
    advanced->FSpecNuma->setChecked(true);
    QTest::mouseClick(advanced->FOK, Qt::LeftButton);
  });
  QTest::mouseClick(form.FAdvanced, Qt::LeftButton);
  EXPECT_EQ(form.NumaNode, 1u);
  EXPECT_TRUE(form.SpecNuma);

  // NTFS: label and compression; cancelling keeps every value.
  form.FFileSystem->setCurrentIndex(fsNTFS);
  OnNextDialog([](QDialog *dialog) {
    auto *advanced = qobject_cast<TAddDiskMoreSettingsForm *>(dialog);
    EXPECT_TRUE(advanced->FLabel->isEnabled());
    EXPECT_EQ(advanced->FLabel->maxLength(), 32);
    EXPECT_TRUE(advanced->FCompression->isEnabled());
    advanced->FLabel->setText(QStringLiteral("Changed"));
    advanced->reject();
  });
  QTest::mouseClick(form.FAdvanced, Qt::LeftButton);
  EXPECT_EQ(form.VolumeLabel, QStringLiteral("Old"));

  // An image saved back: the flushing, its minutes only while checked.
  form.FImage->setText(QStringLiteral("C:\\a.img"));
  form.FSaveToImage->setChecked(true);
  OnNextDialog([](QDialog *dialog) {
    auto *advanced = qobject_cast<TAddDiskMoreSettingsForm *>(dialog);
    EXPECT_TRUE(advanced->FAutoFlush->isEnabled());
    EXPECT_FALSE(advanced->FFlushMinutes->isEnabled());
    advanced->FAutoFlush->setChecked(true);
    EXPECT_TRUE(advanced->FFlushMinutes->isEnabled());
    advanced->FFlushMinutes->stepUp();
    EXPECT_EQ(advanced->FFlushMinutes->value(), 65);
    advanced->FLabel->setText(QStringLiteral("Data"));
    QTest::mouseClick(advanced->FOK, Qt::LeftButton);
  });
  QTest::mouseClick(form.FAdvanced, Qt::LeftButton);
  EXPECT_TRUE(form.AutoFlush);
  EXPECT_EQ(form.AutoFlushTime, 65);
  EXPECT_EQ(form.VolumeLabel, QStringLiteral("Data"));
}

TEST_F(AddDiskDialogTest, NumaNodeListOnlyWhereTheSystemHasOne) {
  // A stored node the machine lacks stays what it was.
  highestNode = 1;
  {
    TAddDiskMoreSettingsForm form(nullptr, {});
    form.SetNumaNode(5);
    EXPECT_EQ(form.FNumaNodes->currentIndex(), -1);
    EXPECT_EQ(form.NumaNode(), 5u);
  }
  windows8 = false;
  {
    TAddDiskMoreSettingsForm form(nullptr, {});
    EXPECT_FALSE(form.FNumaNodes->isEnabled());
    EXPECT_FALSE(form.FSpecNuma->isEnabled());
  }
  windows8 = true;
  highestNode = std::nullopt;
  TAddDiskMoreSettingsForm form(nullptr, {});
  EXPECT_EQ(form.FNumaNodes->count(), 0);
  EXPECT_FALSE(form.FNumaNodes->isEnabled());
  EXPECT_FALSE(form.FSpecNuma->isEnabled());
}

TEST_F(AddDiskDialogTest, DiskGetsTheEnteredValuesOnlyOnOk) {
  TLogonVolume disk;
  disk.FSize = 300 * kMB;
  disk.SetLetter(QChar(u'R'));
  disk.FFileSystem = fsFAT32;
  disk.FVolumeLabel = QStringLiteral("RamDisk");
  disk.FCompressed = false;
  disk.FCreateFolders = {QStringLiteral("Temp")};
  usedLetters = 1u << 17;  // the disk's own R: is mounted

  OnNextDialog([](QDialog *dialog) {
    auto *form = qobject_cast<TAddDiskForm *>(dialog);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Add/Edit Disk"));
    EXPECT_EQ(form->FSize->value(), 300);
    EXPECT_EQ(form->Letter(), QChar(u'R'));
    EXPECT_EQ(form->FileSystem(), fsFAT32);
    EXPECT_EQ(form->FFolders->toPlainText(), QStringLiteral("Temp"));
    form->FSize->setValue(1);  // too small for FAT32: refused
    QTest::mouseClick(form->FOK, Qt::LeftButton);
    EXPECT_TRUE(form->isVisible());
    QTest::mouseClick(form->FCancel, Qt::LeftButton);
  });
  EXPECT_FALSE(ShowAddDiskDialog(nullptr, disk, false, 300 * kMB));
  EXPECT_EQ(LastBoxText(), QStringLiteral("FAT32 requires the disk to be 16 to 32767 MB in size"));
  EXPECT_EQ(disk.FSize, 300 * kMB);

  OnNextDialog([](QDialog *dialog) {
    auto *form = qobject_cast<TAddDiskForm *>(dialog);
    form->FSize->setValue(512);
    form->FFileSystem->setCurrentIndex(fsNTFS);
    form->VolumeCompression = true;
    form->FWipe->setChecked(true);
    form->FRemovable->setChecked(true);
    form->FFolders->setPlainText(QStringLiteral("Temp\nCache\n"));
    form->SetLetter(QChar(u'S'));
    QTest::mouseClick(form->FOK, Qt::LeftButton);
  });
  ASSERT_TRUE(ShowAddDiskDialog(nullptr, disk, false, 300 * kMB));
  EXPECT_EQ(disk.FSize, 512 * kMB);
  EXPECT_EQ(disk.FFileSystem, fsNTFS);
  EXPECT_TRUE(disk.FCompressed);
  EXPECT_TRUE(disk.FWipeOnDismount);
  EXPECT_TRUE(disk.FRemovable);
  EXPECT_EQ(disk.Letter(), QChar(u'S'));
  EXPECT_EQ(disk.FCreateFolders, (QStringList{QStringLiteral("Temp"), QStringLiteral("Cache")}));
  EXPECT_EQ(disk.FVolumeLabel, QStringLiteral("RamDisk"));

  // Compression is NTFS's alone, even when the dialog still holds the flag.
  OnNextDialog([](QDialog *dialog) {
    auto *form = qobject_cast<TAddDiskForm *>(dialog);
    EXPECT_TRUE(form->VolumeCompression);
    form->FFileSystem->setCurrentIndex(fsFAT32);
    QTest::mouseClick(form->FOK, Qt::LeftButton);
  });
  ASSERT_TRUE(ShowAddDiskDialog(nullptr, disk, false, 0));
  EXPECT_FALSE(disk.FCompressed);
  EXPECT_EQ(disk.FFileSystem, fsFAT32);
}

TEST_F(AddDiskDialogTest, CreateImageButtonMakesTheFileAndEntersIt) {
  std::vector<TImageCreator> made;
  DialogSystem().CreateImage = [&](TImageCreator &creator) { made.push_back(creator); };
  TAddDiskForm form(nullptr, false, 0);

  // Cancelled: nothing made.
  OnNextDialog([](QDialog *dialog) { dialog->reject(); });
  QTest::mouseClick(form.FCreateImage, Qt::LeftButton);
  EXPECT_TRUE(made.empty());

  OnNextDialog([](QDialog *dialog) {
    auto *create = qobject_cast<TCreateImageForm *>(dialog);
    ASSERT_NE(create, nullptr);
    create->FFileName->setText(QStringLiteral("C:\\Images\\new.img"));
    create->FSize->setValue(16);
    QTest::mouseClick(create->FOK, Qt::LeftButton);
  });
  QTest::mouseClick(form.FCreateImage, Qt::LeftButton);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_TRUE(made[0].FOverwrite);
  EXPECT_EQ(made[0].FImageSize, 16 * kMB);
  EXPECT_EQ(form.ImageFile(), QStringLiteral("C:\\Images\\new.img"));
  EXPECT_EQ(busyTexts, (QStringList{QStringLiteral("Creating image..."), QString()}));

  // The engine refuses: an error box, the field keeps its name.
  DialogSystem().CreateImage = [](TImageCreator &) { throw EVolumeError(QStringLiteral("Creation of image file failed")); };
  OnNextDialog([](QDialog *dialog) {
    auto *create = qobject_cast<TCreateImageForm *>(dialog);
    create->FFileName->setText(QStringLiteral("C:\\Images\\other.img"));
    QTest::mouseClick(create->FOK, Qt::LeftButton);
  });
  QTest::mouseClick(form.FCreateImage, Qt::LeftButton);
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().Kind, TBoxKind::Error);
  EXPECT_TRUE(boxes.back().Text.startsWith(QStringLiteral("Creation of image file failed\r\n")));
  EXPECT_EQ(form.ImageFile(), QStringLiteral("C:\\Images\\new.img"));
  EXPECT_EQ(busyTexts.last(), QString());
}

TEST_F(AddDiskDialogTest, OtherLanguagesTranslateTheDialogAndWidenIt) {
  TLanguage::TProgramInstance program;
  {
    TAddDiskForm english(nullptr, false, 0);
    EXPECT_EQ(english.windowTitle(), QStringLiteral("Add/Edit Disk"));
    EXPECT_EQ(english.width(), english.sizeHint().width());
  }
  program.Language().SetCurrLang(QStringLiteral("German"));
  TAddDiskForm german(nullptr, false, 0);
  EXPECT_NE(german.windowTitle(), QStringLiteral("Add/Edit Disk"));
  EXPECT_EQ(german.width(), german.sizeHint().width() * 5 / 4);
  // The refusals speak the language too.
  EXPECT_FALSE(TryOk(german, 2048, fsFAT));
  EXPECT_NE(LastBoxText(), QStringLiteral("FAT requires the disk to be 1 to 2047 MB in size"));
  EXPECT_TRUE(LastBoxText().contains(QStringLiteral("2047")));
}

}  // namespace
}  // namespace Ramdeck::test

namespace Ramdeck::test {
namespace {

// Whether `lower` lies wholly below `upper`, both seen in `form`.
bool Below(QWidget *form, QWidget *upper, QWidget *lower) {
  int upperBottom = upper->mapTo(form, QPoint(0, upper->height())).y();
  return lower->mapTo(form, QPoint(0, 0)).y() >= upperBottom;
}

// The lines that appear once a file is named (the image's size, the
// drive's free space) make room for themselves in the fixed-size dialogs
// instead of pushing the rows below into one another or off the dialog.
TEST_F(AddDiskDialogTest, LinesShownForANamedFileSqueezeNoRow) {
  const QString image = QStringLiteral("C:\\Images\\disk.img");
  files[image] = 8 * kMB;
  for (bool boot : {false, true}) {
    TAddDiskForm form(nullptr, boot, 0);
    form.show();
    int before = form.height();
    form.FImage->setText(image);
    QApplication::processEvents();
    EXPECT_FALSE(form.FImageSize->isHidden());
    EXPECT_GT(form.height(), before);
    EXPECT_TRUE(Below(&form, form.FFolders, form.FAdvanced)) << "boot " << boot;
    EXPECT_TRUE(Below(&form, form.FAdvanced, form.FOK)) << "boot " << boot;
    EXPECT_LE(form.FOK->mapTo(&form, QPoint(0, form.FOK->height())).y(), form.height());
    // And gives the room back.
    form.FImage->setText(QString());
    QApplication::processEvents();
    EXPECT_EQ(form.height(), before);
  }

  // Filled before it is shown, as the dialog of an edited disk with an
  // image is.
  TAddDiskForm edited(nullptr, true, 0);
  edited.SetImageFile(image);
  edited.show();
  QApplication::processEvents();
  EXPECT_TRUE(Below(&edited, edited.FFolders, edited.FAdvanced));
  EXPECT_TRUE(Below(&edited, edited.FAdvanced, edited.FOK));

  freeSpace[QStringLiteral("C:\\")] = 500 * kMB;
  TCreateImageForm create(nullptr);
  create.show();
  create.FFileName->setText(image);
  QApplication::processEvents();
  ASSERT_FALSE(create.FFreeSpace->isHidden());
  EXPECT_TRUE(Below(&create, create.FFreeSpace, create.FSize));
  EXPECT_TRUE(Below(&create, create.FImageType, create.FOK));
  EXPECT_LE(create.FOK->mapTo(&create, QPoint(0, create.FOK->height())).y(), create.height());
}

}  // namespace
}  // namespace Ramdeck::test
