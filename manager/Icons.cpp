#include "Icons.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

namespace Ramdeck {

namespace {

// Every picture is drawn on a 32 x 32 grid and scaled by the painter.
constexpr qreal kGrid = 32;

const QColor kModule(38, 94, 160);
const QColor kModuleGrey(128, 134, 142);
const QColor kChip(230, 236, 244);
const QColor kGreen(46, 160, 67);
const QColor kRed(200, 44, 44);
const QColor kGold(214, 168, 40);

void Module(QPainter &p, const QRectF &r, bool grey) {
  p.setPen(QPen(grey ? kModuleGrey.darker(130) : kModule.darker(140), 1));
  p.setBrush(grey ? kModuleGrey : kModule);
  p.drawRoundedRect(r, 2, 2);
  // The chips of a memory module and the contact fingers below them.
  p.setPen(Qt::NoPen);
  p.setBrush(kChip);
  qreal w = r.width() / 4;
  for (int i = 0; i < 3; ++i) p.drawRect(QRectF(r.left() + w * (i + 0.5) + 1, r.top() + 3, w - 2, r.height() / 2 - 2));
  p.setBrush(kGold);
  for (qreal x = r.left() + 2; x < r.right() - 2; x += 3) p.drawRect(QRectF(x, r.bottom() - 3, 1.6, 2.5));
}

void Light(QPainter &p, const QPointF &c, const QColor &color) {
  p.setPen(QPen(color.darker(150), 1));
  p.setBrush(color);
  p.drawEllipse(c, 4.5, 4.5);
}

void Plus(QPainter &p, const QPointF &c, const QColor &color) {
  p.setPen(QPen(color, 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(c - QPointF(6, 0), c + QPointF(6, 0));
  p.drawLine(c - QPointF(0, 6), c + QPointF(0, 6));
}

void Arrow(QPainter &p, QPointF from, QPointF to, const QColor &color) {
  p.setPen(QPen(color, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawLine(from, to);
  QPointF d = to - from;
  qreal len = std::hypot(d.x(), d.y());
  QPointF u = d / len, n(-u.y(), u.x());
  p.drawLine(to, to - u * 6 + n * 5);
  p.drawLine(to, to - u * 6 - n * 5);
}

void File(QPainter &p, const QRectF &r) {
  QPainterPath path;
  path.moveTo(r.topLeft());
  path.lineTo(r.right() - 6, r.top());
  path.lineTo(r.right(), r.top() + 6);
  path.lineTo(r.bottomRight());
  path.lineTo(r.bottomLeft());
  path.closeSubpath();
  p.setPen(QPen(QColor(90, 90, 90), 1));
  p.setBrush(Qt::white);
  p.drawPath(path);
}

void Draw(QPainter &p, TIconKind kind) {
  const QRectF module(2, 9, 28, 16);
  switch (kind) {
    case TIconKind::DiskMounted:
      Module(p, module, false);
      Light(p, QPointF(25, 8), kGreen);
      break;
    case TIconKind::DiskUnmounted:
      Module(p, module, true);
      break;
    case TIconKind::AddDisk:
      Module(p, QRectF(2, 13, 24, 15), false);
      Plus(p, QPointF(24, 8), kGreen);
      break;
    case TIconKind::AddBootDisk: {
      Module(p, QRectF(2, 13, 24, 15), false);
      p.setPen(QPen(kGold.darker(120), 2.5, Qt::SolidLine, Qt::RoundCap));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(17, 1, 13, 13), 120 * 16, 300 * 16);
      p.drawLine(QPointF(23.5, 0.5), QPointF(23.5, 7));
      break;
    }
    case TIconKind::Delete:
      p.setPen(QPen(kRed, 5, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(7, 7), QPointF(25, 25));
      p.drawLine(QPointF(25, 7), QPointF(7, 25));
      break;
    case TIconKind::Refresh: {
      p.setPen(QPen(kModule, 4, Qt::SolidLine, Qt::RoundCap));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(5, 5, 22, 22), 60 * 16, 280 * 16);
      p.setPen(Qt::NoPen);
      p.setBrush(kModule);
      QPolygonF head({QPointF(19, 1), QPointF(29, 8), QPointF(18, 12)});
      p.drawPolygon(head);
      break;
    }
    case TIconKind::Mount:
      Module(p, QRectF(2, 15, 28, 15), false);
      Arrow(p, QPointF(16, 1), QPointF(16, 13), kGreen);
      break;
    case TIconKind::Unmount:
      Module(p, QRectF(2, 15, 28, 15), true);
      Arrow(p, QPointF(16, 13), QPointF(16, 1), kRed);
      break;
    case TIconKind::Save:
      File(p, QRectF(12, 2, 17, 22));
      Module(p, QRectF(1, 16, 22, 14), false);
      break;
    case TIconKind::Help: {
      p.setPen(QPen(kModule.darker(120), 1.5));
      p.setBrush(kModule);
      p.drawEllipse(QRectF(2, 2, 28, 28));
      QFont font = p.font();
      font.setPixelSize(22);
      font.setBold(true);
      p.setFont(font);
      p.setPen(Qt::white);
      p.drawText(QRectF(2, 2, 28, 28), Qt::AlignCenter, QStringLiteral("?"));
      break;
    }
    case TIconKind::Image:
      File(p, QRectF(5, 1, 22, 30));
      Module(p, QRectF(8, 14, 16, 10), false);
      break;
    case TIconKind::Application:
      Module(p, QRectF(1, 6, 30, 20), false);
      Light(p, QPointF(26, 6), kGreen);
      break;
    case TIconKind::Busy: {
      p.setPen(QPen(QColor(70, 70, 70), 2));
      p.setBrush(QColor(240, 220, 150));
      QPolygonF glass({QPointF(8, 3), QPointF(24, 3), QPointF(16, 16), QPointF(24, 29), QPointF(8, 29), QPointF(16, 16)});
      p.drawPolygon(glass);
      break;
    }
  }
}

}  // namespace

QIcon Icon(TIconKind kind) {
  // Drawn once per kind: the list asks for its two icons at every redraw.
  // Kept to the process's end: pixmaps must not outlive the application
  // object in static destruction.
  static auto *drawn = new QHash<int, QIcon>;
  auto found = drawn->constFind(static_cast<int>(kind));
  if (found != drawn->constEnd()) return *found;
  QIcon icon;
  for (int size : {16, 20, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kGrid, size / kGrid);
    Draw(painter, kind);
    painter.end();
    icon.addPixmap(pixmap);
  }
  drawn->insert(static_cast<int>(kind), icon);
  return icon;
}

}  // namespace Ramdeck
