// The create-image and mount-image dialogs as a user fills them: which
// names the create dialog takes, its free-space line and results, and the
// mount dialog's refusal of a missing file.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include "ImageDialogs.h"
#include "Volumes.h"
#include "dialog_test_support.h"

namespace Ramdeck::test {
namespace {

constexpr uint64_t kMB = 1048576;

using ImageDialogTest = DialogTest;

TEST_F(ImageDialogTest, CreateTakesOnlyLocalRootedNames) {
  TCreateImageForm form(nullptr);
  struct Case {
    const char *name;
    bool ok;
  } cases[] = {
      {"", false},
      {"disk.img", false},             // relative
      {"C:disk.img", false},           // relative to C:'s folder
      {"\\\\server\\share\\a.img", false},  // network
      {"//server/share/a.img", false},
      {"C:\\Images\\disk.img", true},
      {"d:/disk.img", true},
      {"\\Images\\disk.img", true},    // the current drive's root
  };
  for (const Case &c : cases) {
    form.FFileName->setText(QString::fromLatin1(c.name));
    EXPECT_EQ(form.FOK->isEnabled(), c.ok) << c.name;
  }
  EXPECT_TRUE(boxes.empty());
  // Characters no path may hold: an error, and no OK.
  for (const char *name : {"C:\\a?.img", "C:\\a*.img", "C:\\a|b.img", "C:\\a<b>.img", "C:\\x:y.img"}) {
    form.FFileName->setText(QStringLiteral("C:\\valid.img"));
    boxes.clear();
    form.FFileName->setText(QString::fromLatin1(name));
    EXPECT_FALSE(form.FOK->isEnabled()) << name;
    ASSERT_EQ(boxes.size(), 1u) << name;
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Error);
  }
  // Typing on after the bad character does not repeat the message; the
  // name mended takes OK again.
  form.FFileName->setText(QStringLiteral("C:\\a"));
  boxes.clear();
  QTest::keyClicks(form.FFileName, QStringLiteral("?bc.img"));
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_FALSE(form.FOK->isEnabled());
  form.FFileName->setText(QStringLiteral("C:\\abc.img"));
  EXPECT_TRUE(form.FOK->isEnabled());
  EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(ImageDialogTest, CreateShowsTheFreeSpaceOfTheNamedDrive) {
  freeSpace[QStringLiteral("D:\\")] = 2500 * kMB + 7;
  TCreateImageForm form(nullptr);
  EXPECT_TRUE(form.FFreeSpace->isHidden());
  form.FFileName->setText(QStringLiteral("d:\\images\\a.img"));
  EXPECT_FALSE(form.FFreeSpace->isHidden());
  EXPECT_EQ(form.FFreeSpace->text(), QStringLiteral("Free Space on D:\\ 2500 MB"));
  // A drive with nothing free (or unknown) hides the line.
  form.FFileName->setText(QStringLiteral("E:\\a.img"));
  EXPECT_TRUE(form.FFreeSpace->isHidden());
  form.FFileName->setText(QStringLiteral("\\a.img"));
  EXPECT_TRUE(form.FFreeSpace->isHidden());
}

TEST_F(ImageDialogTest, CreateGivesTheEnteredImage) {
  TCreateImageForm form(nullptr);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Create Image"));
  EXPECT_EQ(form.FSize->value(), 1);
  EXPECT_EQ(form.FFileSystem->currentText(), QStringLiteral("RAW"));
  EXPECT_EQ(form.FImageType->currentText(), QStringLiteral("Volume"));
  EXPECT_FALSE(form.FLabel->isEnabled());
  form.FFileSystem->setCurrentIndex(fsFAT);
  EXPECT_TRUE(form.FLabel->isEnabled());

  form.FFileName->setText(QStringLiteral("C:\\a.img"));
  form.FSize->setValue(3000);
  form.FLabel->setText(QStringLiteral("My:Disk.1 and more"));
  form.FImageType->setCurrentIndex(1);
  TImageCreator creator;
  form.FillCreator(creator);
  EXPECT_EQ(creator.FFileName, QStringLiteral("C:\\a.img"));
  EXPECT_EQ(creator.FImageSize, 3000 * kMB);
  EXPECT_EQ(creator.FFileSystem, fsFAT);
  EXPECT_EQ(creator.FVolumeLabel, QStringLiteral("My_Disk_1 a"));  // FAT: 11 characters
  EXPECT_TRUE(creator.FHDDEmulation);
  EXPECT_FALSE(creator.FOverwrite);

  // A label typed before RAW was chosen does not reach a RAW image.
  form.FFileSystem->setCurrentIndex(fsRAW);
  form.FImageType->setCurrentIndex(0);
  form.FillCreator(creator);
  EXPECT_TRUE(creator.FVolumeLabel.isEmpty());
  EXPECT_FALSE(creator.FHDDEmulation);

  // Through the dialog function: nothing changes on Cancel.
  TImageCreator untouched;
  OnNextDialog([](QDialog *dialog) {
    qobject_cast<TCreateImageForm *>(dialog)->FFileName->setText(QStringLiteral("C:\\b.img"));
    dialog->reject();
  });
  EXPECT_FALSE(ShowCreateImageDialog(nullptr, untouched));
  EXPECT_TRUE(untouched.FFileName.isEmpty());
}

TEST_F(ImageDialogTest, MountRefusesAMissingFileAndGivesTheChoice) {
  usedLetters = (1u << 26) - 1 - (1u << 12) - (1u << 20);  // only M: and U: free
  files[QStringLiteral("C:\\disk.img")] = 8 * kMB;

  OnNextDialog([this](QDialog *dialog) {
    auto *form = qobject_cast<TMountImageForm *>(dialog);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Mount Image"));
    EXPECT_EQ(form->FLetter->count(), 2);
    EXPECT_EQ(form->FLetter->currentText(), QStringLiteral("M:"));
    form->FFileName->setText(QStringLiteral("C:\\missing.img"));
    QTest::mouseClick(form->FOK, Qt::LeftButton);
    EXPECT_TRUE(form->isVisible());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Information);
    EXPECT_TRUE(boxes[0].Caption.isEmpty());
    EXPECT_EQ(boxes[0].Text, QStringLiteral("Specified image file does not exist"));
    form->FFileName->setText(QStringLiteral("C:\\disk.img"));
    form->FLetter->setCurrentIndex(1);
    form->FHDDEmulation->setChecked(true);
    QTest::mouseClick(form->FOK, Qt::LeftButton);
  });
  QString image;
  QChar letter;
  bool hdd = false;
  ASSERT_TRUE(ShowMountImageDialog(nullptr, image, letter, hdd));
  EXPECT_EQ(image, QStringLiteral("C:\\disk.img"));
  EXPECT_EQ(letter, QChar(u'U'));
  EXPECT_TRUE(hdd);
}

}  // namespace
}  // namespace Ramdeck::test
