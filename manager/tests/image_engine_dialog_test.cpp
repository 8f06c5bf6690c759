// The dialogs on a running engine and the stand-in's real calls: an image
// made and mounted through the dialogs, its size shown by the disk dialog,
// the unmount dialog's list following the engine and its dismount with the
// force question. ctest runs each test in a process of its own, as the
// control library is initialised once per process.
#include <windows.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "AddDisk.h"
#include "ImageDialogs.h"
#include "ManagerCore.h"
#include "recording_ui.h"
#include "Volumes.h"
#include "dialog_test_support.h"
#include "platform/daemon/tests/daemon_harness.h"

namespace Ramdeck::test {
namespace {

using Ramdeck::test::RecordingUi;

constexpr uint64_t kMB = 1048576;

TManagerCore *gCore = nullptr;

// The library's events go to the core as the program's own callback sends
// them: posted to the window's thread.
void WINAPI Forward(uint64_t handle, uint32_t event) {
  if (gCore) emit gCore->EngineEvent(handle, event);
}


class ImageEngineDialogTest : public DialogTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    core_ = std::make_unique<TManagerCore>(ui_);
    gCore = core_.get();
    ASSERT_NE(0, RamctlInitialize(Forward)) << RamctlGetErrorCode();
    // The real system, boxes recorded.
    ResetDialogSystem();
    DialogSystem().MessageBox = [this](QWidget *, TBoxKind kind, const QString &caption, const QString &text, bool) {
      boxes.push_back({kind, caption, text});
      return answer;
    };
  }
  void TearDown() override {
    gCore = nullptr;
    ResetDialogSystem();
    EXPECT_EQ(0, daemon_.Stop());
  }
  QString HostPath(const std::string &name) {
    QString path = QStringLiteral("Z:") + QString::fromStdString(daemon_.Root() + "/" + name);
    return path.replace(u'/', u'\\');
  }
  QString MakeImage(const std::string &name, uint64_t mb) {
    TImageCreator creator;
    creator.FFileName = HostPath(name);
    creator.FImageSize = mb * kMB;
    creator.FFileSystem = fsFAT;
    creator.CreateImage();
    return creator.FFileName;
  }
  static bool WaitFor(const std::function<bool()> &condition) {
    for (int i = 0; i < 500 && !condition(); ++i) QTest::qWait(20);
    return condition();
  }

  bw::test::Daemon daemon_;
  RecordingUi ui_;
  std::unique_ptr<TManagerCore> core_;
};

TEST_F(ImageEngineDialogTest, ImagesMountedShownAndUnmountedThroughTheDialogs) {
  QString first = MakeImage("first.img", 8);
  QString second = MakeImage("second.img", 16);

  // The disk dialog reads the real file.
  {
    TAddDiskForm form(nullptr, false, 0);
    form.FImage->setText(second);
    EXPECT_FALSE(form.FImageSize->isHidden());
    EXPECT_EQ(form.FImageSize->text(), QStringLiteral("Size 16 MB"));
    form.FImage->setText(HostPath("none.img"));
    EXPECT_TRUE(form.FImageSize->isHidden());
  }

  // The create dialog tells what the host's drive has free.
  {
    TCreateImageForm create(nullptr);
    create.FFileName->setText(HostPath("new.img"));
    EXPECT_FALSE(create.FFreeSpace->isHidden());
    EXPECT_TRUE(create.FFreeSpace->text().startsWith(QStringLiteral("Free Space on Z:\\ ")))
        << create.FFreeSpace->text().toStdString();
    EXPECT_TRUE(create.FOK->isEnabled());
  }

  // Mounted on the letter the mount dialog offers first.
  TMountImageForm mount(nullptr);
  mount.FFileName->setText(HostPath("none.img"));
  QTest::mouseClick(mount.FOK, Qt::LeftButton);
  EXPECT_EQ(LastBoxText(), QStringLiteral("Specified image file does not exist"));
  mount.FFileName->setText(first);
  mount.setResult(QDialog::Rejected);
  QTest::mouseClick(mount.FOK, Qt::LeftButton);
  ASSERT_EQ(mount.result(), QDialog::Accepted);
  QChar letter = mount.FLetter->currentText().at(0);
  ASSERT_TRUE(core_->MountImage(first, letter, false)) << ui_.errors.join(u'\n').toStdString();
  ASSERT_TRUE(GetLogicalDrives() & (1u << (letter.unicode() - u'A')));
  // The letter is no longer offered.
  TMountImageForm again(nullptr);
  EXPECT_EQ(again.FLetter->findText(QString(letter) + u':'), -1);

  TUnmountImageForm unmount(nullptr, *core_);
  ASSERT_EQ(unmount.FVolumes->topLevelItemCount(), 1);
  QTreeWidgetItem *row = unmount.FVolumes->topLevelItem(0);
  EXPECT_EQ(row->text(0), QString(letter) + u':');
  EXPECT_EQ(row->text(1), QStringLiteral("8"));
  // The engine names the file by its device path.
  EXPECT_TRUE(row->text(2).endsWith(QStringLiteral("\\first.img"))) << row->text(2).toStdString();

  // Another image mounted meanwhile: the engine's report renews the list.
  QChar other = TManagerCore::FirstFreeLetter();
  ASSERT_TRUE(core_->MountImage(second, other, false));
  EXPECT_TRUE(WaitFor([&] { return unmount.FVolumes->topLevelItemCount() == 2; }));

  // Nothing selected: nothing happens.
  unmount.FVolumes->setCurrentItem(nullptr);
  unmount.setResult(QDialog::Rejected);
  QTest::mouseClick(unmount.FOK, Qt::LeftButton);
  EXPECT_EQ(unmount.result(), QDialog::Rejected);
  EXPECT_EQ(TOpenVolumeList(etFile).Count(), 2);

  auto select = [&] {
    for (int i = 0; i < unmount.FVolumes->topLevelItemCount(); ++i)
      if (unmount.FVolumes->topLevelItem(i)->text(0) == QString(letter) + u':')
        unmount.FVolumes->setCurrentItem(unmount.FVolumes->topLevelItem(i));
  };
  // A file open on the volume: the plain dismount is refused and the user
  // is asked; No keeps the dialog and the volume.
  std::u16string openName = (QString(letter) + QStringLiteral(":\\open.txt")).toStdU16String();
  HANDLE open = CreateFileW(openName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE) << GetLastError();
  select();
  QTest::mouseClick(unmount.FOK, Qt::LeftButton);
  EXPECT_EQ(unmount.result(), QDialog::Rejected);
  ASSERT_EQ(ui_.questions.size(), 1);
  EXPECT_EQ(ui_.questions[0], QString(QStringLiteral(
                                  "Unable to dismount volume %1: Perhaps it contains open files or is locked. "
                                  "Force dismount?"))
                                  .arg(letter));
  EXPECT_EQ(TOpenVolumeList(etFile).Count(), 2);
  // Yes forces it.
  ui_.confirm = true;
  select();
  QTest::mouseClick(unmount.FOK, Qt::LeftButton);
  CloseHandle(open);
  EXPECT_EQ(unmount.result(), QDialog::Accepted);
  EXPECT_TRUE(ui_.errors.isEmpty()) << ui_.errors.join(u'\n').toStdString();
  TOpenVolumeList left(etFile);
  ASSERT_EQ(left.Count(), 1);
  EXPECT_EQ(left.Items(0)->Letter(), other);
  EXPECT_TRUE(WaitFor([&] { return unmount.FVolumes->topLevelItemCount() == 1; }));
}

}  // namespace
}  // namespace Ramdeck::test
