// The dialogs' tests: a QApplication on the offscreen platform, a machine
// given by the test (free memory, letters, files, NUMA nodes, free space)
// and message boxes that are recorded instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMap>
#include <QTimer>
#include <functional>

#include "DialogServices.h"

namespace Ramdeck::test {

struct TShownBox {
  TBoxKind Kind;
  QString Caption;
  QString Text;
};

class DialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ramdeck_dialog_tests";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
  }

  void SetUp() override {
    TDialogSystem &system = DialogSystem();
    system.FreeMemory = [this] { return freeMemory; };
    system.LogicalDrives = [this] { return usedLetters; };
    system.FileExists = [this](const QString &name) { return files.contains(name); };
    system.ReadableFileSize = [this](const QString &name) -> std::optional<uint64_t> {
      if (!files.contains(name)) return std::nullopt;
      return files.value(name);
    };
    system.HighestNumaNode = [this] { return highestNode; };
    system.Windows8OrLater = [this] { return windows8; };
    system.FreeDiskSpace = [this](const QString &root) { return freeSpace.value(root); };
    system.CreateImage = [](TImageCreator &) {};
    system.SetBusy = [this](const QString &text) { busyTexts << text; };
    system.MessageBox = [this](QWidget *, TBoxKind kind, const QString &caption, const QString &text, bool) {
      boxes.push_back({kind, caption, text});
      return answer;
    };
    system.BrowseOpen = [](QWidget *, const QString &, const QString &) { return QString(); };
    system.BrowseSave = [](QWidget *, const QString &, const QString &, const QString &) { return QString(); };
  }

  void TearDown() override { ResetDialogSystem(); }

  // Runs `act` on the next modal dialog once the event loop of exec() runs.
  static void OnNextDialog(std::function<void(QDialog *)> act) {
    QTimer::singleShot(0, [act] {
      auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      act(dialog);
    });
  }

  QString LastBoxText() const { return boxes.empty() ? QString() : boxes.back().Text; }

  uint64_t freeMemory = uint64_t{10000} * 1048576;
  uint32_t usedLetters = 0;
  QMap<QString, uint64_t> files;
  std::optional<uint32_t> highestNode = 0;
  bool windows8 = true;
  QMap<QString, uint64_t> freeSpace;
  QStringList busyTexts;
  std::vector<TShownBox> boxes;
  bool answer = false;
};

}  // namespace Ramdeck::test
