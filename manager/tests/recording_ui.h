// A TManagerUi that records what the manager would show the user: messages,
// questions (answered by `confirm`), balloons and the tray icon's changes;
// the window counts as shown when `visible` is set.
#pragma once

#include <QCoreApplication>
#include <QStringList>
#include <vector>

#include "ManagerCore.h"

namespace Ramdeck::test {

class RecordingUi : public TManagerUi {
 public:
  void ShowError(const QString &text) override { errors << text; }
  void ShowInformation(const QString &text) override { errors << text; }
  void ShowWarning(const QString &text) override { errors << text; }
  bool Confirm(const QString &text, bool) override {
    questions << text;
    return confirm;
  }
  bool InformationWithDontShowAgain(const QString &) override { return false; }
  void SetBusy(const QString &) override {}
  void ShowBalloon(const QString &text) override { balloons << text; }
  bool WindowVisible() const override { return visible; }
  void ProcessEvents() override { QCoreApplication::processEvents(); }
  void Redraw() override {}
  void ShowTrayIcon(bool show) override { trayIcon.push_back(show); }
  void Activate() override {}

  QStringList errors, questions, balloons;
  std::vector<bool> trayIcon;
  bool confirm = false;
  bool visible = false;
};

}  // namespace Ramdeck::test
