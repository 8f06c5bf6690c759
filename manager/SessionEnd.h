// The end of the user's session as the manager learns it: Windows asks the
// session's top-level windows (WM_QUERYENDSESSION) and tells them
// (WM_ENDSESSION), waiting for each answer, so that the manager removes its
// logon disks while the session is still there. The watch keeps a window of
// its own for that on a thread of its own, since the manager's widgets are
// not windows of the system. A terminal's signals (SIGTERM, SIGHUP,
// SIGINT) count as the session's end too.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace Ramdeck {

class TSessionEndWatch : public QObject {
  Q_OBJECT
 public:
  // One watch per process; the signals keep their default action before
  // it exists and after it is gone.
  TSessionEndWatch();
  ~TSessionEndWatch() override;

  // WM_ENDSESSION reached the window: SessionEnding runs on the watch's
  // thread, and the answer waits until its handlers have returned (or the
  // watch goes).
  void EndingFromWindow();

 signals:
  // Once, on the thread that created the watch.
  void SessionEnding();

 private:
  void Fire();
  void RunWindow();

  std::unique_ptr<QSocketNotifier> notifier_;
  bool fired_ = false;
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool handled_ = false;
  void *window_ = nullptr;  // the window's handle, once it exists
  std::thread thread_;
};

}  // namespace Ramdeck
