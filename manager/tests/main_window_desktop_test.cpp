// The window on an X desktop with a notification-area host (Xvfb and
// trayer, skipped where they are not installed): the tray icon really sits
// in the notification area, carries the hint, and its menu offers the disks.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Language.h"
#include "MainGUI.h"
#include "platform/daemon/tests/daemon_harness.h"

using namespace Ramdeck;

// Qt's X platform asks the session's D-Bus for a notification host, and the
// D-Bus library keeps a buffer to the process's end: not ours to free.
extern "C" const char *__lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

namespace {

template <class Condition>
bool Until(Condition condition, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (condition()) return true;
    if (QCoreApplication::instance()) QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

pid_t Spawn(std::vector<std::string> args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void End(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
}

bool Installed(const char *program) {
  return std::filesystem::exists(std::string("/usr/bin/") + program);
}

class MainWindowOnDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Installed("Xvfb") || !Installed("trayer")) {
      GTEST_SKIP() << "Xvfb or trayer not installed";
    }
    int display = 90 + getpid() % 400;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display))) ++display;
    std::string name = ":" + std::to_string(display);
    xvfb_ = Spawn({"Xvfb", name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    ASSERT_TRUE(Until([&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display)); }));
    setenv("DISPLAY", name.c_str(), 1);
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("WAYLAND_DISPLAY");
    tray_ = Spawn({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "120"});
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override {
    window_.reset();
    app_.reset();
    End(tray_);
    End(xvfb_);
    if (xvfb_ > 0) {
      EXPECT_EQ(0, daemon_.Stop());
    }
  }

  int argc_ = 1;
  char name_[8] = "desktop";
  char *argv_[2] = {name_, nullptr};
  pid_t xvfb_ = -1, tray_ = -1;
  bw::test::Daemon daemon_;
  TLanguage::TProgramInstance language_;
  std::unique_ptr<QApplication> app_;
  std::unique_ptr<TBWMainGUIForm> window_;
};

TEST_F(MainWindowOnDesktop, TrayIconSitsInTheNotificationAreaWithHintAndDiskMenu) {
  ASSERT_TRUE(Until([] { return QSystemTrayIcon::isSystemTrayAvailable(); })) << "trayer did not start";
  window_ = std::make_unique<TBWMainGUIForm>(
      QString::fromStdU16String(WindowsPathOf(QString::fromStdString(daemon_.Root() + "/ramdeck.xml"))));
  QStringList boxes;
  window_->MessageBox = [&](TBWMainGUIForm::TBox, const QString &text) {
    boxes << text;
    return false;
  };
  window_->Dialogs.AddDisk = [](QWidget *, TUserVolume &disk, bool, uint64_t) {
    disk.SetLetter(u'R');
    disk.FFileSystem = fsFAT;
    disk.FSize = 16 << 20;
    return true;
  };
  window_->Started(QStringLiteral("Ramdeck"), false);
  ASSERT_TRUE(window_->Core().FInitDone) << boxes.join(u'\n').toStdString();
  window_->ActionAdd->trigger();
  ASSERT_TRUE(window_->TrayIcon->isVisible());
  EXPECT_TRUE(Until([&] { return window_->TrayIcon->geometry().isValid(); })) << "embedded by the host";
  EXPECT_TRUE(window_->TrayIcon->toolTip().startsWith(QStringLiteral("Brimwell Corvane ")));
  EXPECT_TRUE(window_->TrayIcon->toolTip().contains(QStringLiteral("\n1 RAM disks mounted\n")));

  // The menu opens at the icon with the disk submenu built just then.
  window_->TrayMenu->popup(window_->TrayIcon->geometry().center());
  EXPECT_TRUE(Until([&] { return window_->TrayMenu->isVisible(); }));
  QList<QAction *> disks = window_->TrayDiskMenu->actions();
  ASSERT_FALSE(disks.isEmpty());
  EXPECT_TRUE(disks.first()->text().startsWith(QStringLiteral("R: [16 MB FAT]")));
  window_->TrayMenu->hide();

  // Closing leaves the manager in the notification area.
  window_->close();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_TRUE(window_->TrayIcon->isVisible());
  EXPECT_EQ(1, boxes.size()) << "the note about the tray";
}

}  // namespace
