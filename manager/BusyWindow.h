// The small window that tells the user an operation is running: borderless,
// centred over its owner, shown without taking the focus and only while the
// owner is visible; the user cannot close it.
#pragma once

#include <QLabel>
#include <QWidget>

namespace Ramdeck {

class TBusyWindow : public QWidget {
  Q_OBJECT
 public:
  explicit TBusyWindow(QWidget *owner);
  // An empty text hides the window. Pending events are handled so that the
  // change is seen before the operation goes on.
  void SetText(const QString &text);
  QString Text() const { return text_->text(); }

 protected:
  void closeEvent(QCloseEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;

 private:
  QWidget *owner_;
  QLabel *text_;
};

}  // namespace Ramdeck
