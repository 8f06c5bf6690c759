// The busy window: seen only over a visible owner, centred on it, and not
// closed by the user; an empty text takes it away.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMainWindow>
#include <memory>

#include "BusyWindow.h"

namespace {

TEST(BusyWindow, ShownOverAVisibleOwnerOnlyAndNotClosedByTheUser) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "busy";
  char *argv[] = {name, nullptr};
  QApplication app(argc, argv);
  {
    QMainWindow owner;
    owner.setGeometry(100, 100, 600, 400);
    Ramdeck::TBusyWindow busy(&owner);

    busy.SetText(QStringLiteral("Mounting..."));
    EXPECT_FALSE(busy.isVisible()) << "the owner is hidden (in the tray)";
    EXPECT_EQ(QStringLiteral("Mounting..."), busy.Text());

    owner.show();
    busy.SetText(QStringLiteral("Unmounting..."));
    ASSERT_TRUE(busy.isVisible());
    EXPECT_EQ(QSize(160, 50), busy.size());
    EXPECT_LE((busy.frameGeometry().center() - owner.frameGeometry().center()).manhattanLength(), 2);

    EXPECT_FALSE(busy.close()) << "the operation ends it, not the user";
    EXPECT_TRUE(busy.isVisible());

    busy.SetText(QString());
    EXPECT_FALSE(busy.isVisible());
  }
}

}  // namespace
