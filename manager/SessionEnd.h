// The end of the user's session as the manager's process learns it here:
// the signals a session's processes receive when it ends (SIGTERM, SIGHUP,
// and SIGINT from a terminal), taken on the manager's thread. Windows tells
// the session's top-level windows the same with WM_QUERYENDSESSION and
// WM_ENDSESSION.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace Ramdeck {

class TSessionEndWatch : public QObject {
  Q_OBJECT
 public:
  // One watch per process; the signals keep their default action before
  // it exists and after it is gone.
  TSessionEndWatch();
  ~TSessionEndWatch() override;

 signals:
  // Once, on the thread that created the watch.
  void SessionEnding();

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace Ramdeck
