#include "BusyWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>

#include "Icons.h"

namespace Ramdeck {

TBusyWindow::TBusyWindow(QWidget *owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus), owner_(owner) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFixedSize(160, 50);
  setObjectName(QStringLiteral("BusyWindow"));
  setStyleSheet(QStringLiteral("#BusyWindow { border: 1px solid palette(dark); }"));
  auto *layout = new QHBoxLayout(this);
  auto *icon = new QLabel(this);
  icon->setPixmap(Icon(TIconKind::Busy).pixmap(32, 32));
  text_ = new QLabel(this);
  text_->setAlignment(Qt::AlignCenter);
  layout->addWidget(icon);
  layout->addWidget(text_, 1);
}

void TBusyWindow::SetText(const QString &text) {
  text_->setText(text);
  if (text.isEmpty()) {
    hide();
  } else if (owner_->isVisible()) {
    QRect area = owner_->frameGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
    show();
  }
  QApplication::processEvents();
}

// Neither the close command nor Alt+F4 may end it: the operation does.
void TBusyWindow::closeEvent(QCloseEvent *event) { event->ignore(); }

void TBusyWindow::keyPressEvent(QKeyEvent *event) { event->ignore(); }

}  // namespace Ramdeck
