// Mount All and Unmount All against a running engine: the balloon at the
// tray icon tells of success only while the window is hidden and no disk
// failed, and each disk is still mounted or unmounted when the balloon is
// held back. ctest runs each test in a process of its own, as the control
// library is initialised once per process.
#include <windows.h>

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "ManagerCore.h"
#include "recording_ui.h"
#include "ProgramStart.h"
#include "Volumes.h"
#include "ctl/ramctl.h"
#include "platform/daemon/tests/daemon_harness.h"

namespace Ramdeck::test {
namespace {

int gArgc = 1;
char gName[] = "ramdeck_tests";
char *gArgv[] = {gName, nullptr};

const QString kMountedAll = QStringLiteral("All RAM disks have been mounted successfully");
const QString kUnmountedAll = QStringLiteral("All RAM disks have been unmounted successfully");


class MountAllBalloon : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = std::make_unique<QCoreApplication>(gArgc, gArgv);
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    QString config = QString::fromStdU16String(
        WindowsPathOf(QString::fromStdString(daemon_.Root() + "/ramdeck.xml")));
    core_ = std::make_unique<TManagerCore>(ui_, config);
    core_->StartUp(QString());
    ASSERT_TRUE(core_->FInitDone) << Errors();
    ui_.errors.clear();
  }
  void TearDown() override {
    if (core_) core_->Finish();
    core_.reset();
    app_.reset();
    EXPECT_EQ(0, daemon_.Stop());
  }

  // An unmounted logon disk in the list, 16 MB FAT.
  TUserVolume *Configure(QChar letter) {
    auto disk = std::make_unique<TLogonVolume>();
    disk->SetLetter(letter);
    disk->FFileSystem = fsFAT;
    disk->FSize = 16 << 20;
    return core_->FUserVolumeList.Add(std::move(disk));
  }
  std::string Errors() const { return ui_.errors.join(u'\n').toStdString(); }

  std::unique_ptr<QCoreApplication> app_;
  bw::test::Daemon daemon_;
  RecordingUi ui_;
  std::unique_ptr<TManagerCore> core_;
};

TEST_F(MountAllBalloon, HiddenWindowIsToldOfEachSuccess) {
  TUserVolume *first = Configure(u'R');
  TUserVolume *second = Configure(u'S');

  core_->MountAll();
  EXPECT_TRUE(first->FMounted && second->FMounted) << Errors();
  EXPECT_EQ(ui_.balloons, QStringList{kMountedAll});

  core_->UnmountAll();
  EXPECT_FALSE(first->FMounted || second->FMounted) << Errors();
  EXPECT_EQ(ui_.balloons, (QStringList{kMountedAll, kUnmountedAll}));
  EXPECT_TRUE(ui_.errors.isEmpty()) << Errors();
}

TEST_F(MountAllBalloon, VisibleWindowShowsNoBalloon) {
  TUserVolume *disk = Configure(u'R');
  ui_.visible = true;

  core_->MountAll();
  EXPECT_TRUE(disk->FMounted) << Errors();
  core_->UnmountAll();
  EXPECT_FALSE(disk->FMounted) << Errors();
  EXPECT_TRUE(ui_.balloons.isEmpty()) << ui_.balloons.join(u'\n').toStdString();
}

TEST_F(MountAllBalloon, OneFailedDiskHoldsTheBalloonBack) {
  // R: is taken by an image mounted outside the list.
  TImageCreator creator;
  creator.FFileName = QString::fromStdU16String(WindowsPathOf(QString::fromStdString(daemon_.Root() + "/taken.img")));
  creator.FImageSize = 8 << 20;
  creator.FFileSystem = fsFAT;
  creator.CreateImage();
  ASSERT_TRUE(core_->MountImage(creator.FFileName, u'R', false)) << Errors();
  TUserVolume *clash = Configure(u'R');
  TUserVolume *other = Configure(u'S');

  core_->MountAll();
  EXPECT_FALSE(clash->FMounted);
  EXPECT_TRUE(other->FMounted) << Errors();
  EXPECT_EQ(ui_.errors.size(), 1) << Errors();
  EXPECT_TRUE(ui_.balloons.isEmpty()) << ui_.balloons.join(u'\n').toStdString();

  // A file open on S: and the force question answered no: that unmount
  // fails, so no balloon either.
  HANDLE open = CreateFileW(u"S:\\open.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE) << GetLastError();
  core_->UnmountAll();
  CloseHandle(open);
  EXPECT_EQ(ui_.questions.size(), 1);
  EXPECT_TRUE(other->FMounted);
  EXPECT_TRUE(ui_.balloons.isEmpty()) << ui_.balloons.join(u'\n').toStdString();
}

}  // namespace
}  // namespace Ramdeck::test
