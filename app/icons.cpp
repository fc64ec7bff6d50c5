#include "app/icons.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>

TIcon::TIcon(QWidget* parent) : QLabel(parent) { setFixedSize(25, 25); }

void TIcon::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()) && OnClick) OnClick();
}

QPixmap ArrowPicture(bool up, bool active) {
  QPixmap pm(25, 25);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor fill = active ? (up ? QColor(0, 160, 60) : QColor(30, 90, 220)) : QColor(170, 170, 170);
  p.setPen(QPen(active ? fill.darker(150) : QColor(110, 110, 110), 1));
  p.setBrush(fill);
  QPolygon arrow;
  if (up)
    arrow << QPoint(12, 2) << QPoint(22, 12) << QPoint(16, 12) << QPoint(16, 22) << QPoint(8, 22) << QPoint(8, 12)
          << QPoint(2, 12);
  else
    arrow << QPoint(12, 22) << QPoint(22, 12) << QPoint(16, 12) << QPoint(16, 2) << QPoint(8, 2) << QPoint(8, 12)
          << QPoint(2, 12);
  p.drawPolygon(arrow);
  return pm;
}

QPixmap LogoPicture() {
  QPixmap pm(40, 40);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(20, 60, 140), 2));
  p.setBrush(QColor(235, 240, 250));
  p.drawRect(3, 9, 34, 24);                                    // envelope
  p.drawPolyline(QPolygon({QPoint(3, 9), QPoint(20, 23), QPoint(37, 9)}));
  p.setPen(QPen(QColor(200, 60, 20), 3));
  p.drawPolyline(QPolygon({QPoint(12, 15), QPoint(28, 15), QPoint(12, 28), QPoint(28, 28)}));  // Z
  return pm;
}
