#include "widgets/Gauges.h"

#include <QPainter>
#include <algorithm>

TGauge::TGauge(QWidget* parent) : QWidget(parent) { setMinimumHeight(12); }

void TGauge::SetProgress(int value) {
  value = std::clamp(value, min_, max_);
  if (value == progress_) return;
  progress_ = value;
  update();
}

void TGauge::SetRange(int min, int max) {
  min_ = min;
  max_ = std::max(min, max);
  progress_ = std::clamp(progress_, min_, max_);
  update();
}

void TGauge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect frame = rect().adjusted(0, 0, -1, -1);
  p.fillRect(rect(), palette().base());
  const int span = max_ - min_;
  const int filled = span > 0 ? (frame.width() - 1) * (progress_ - min_) / span : 0;
  if (filled > 0) p.fillRect(QRect(frame.left() + 1, frame.top() + 1, filled, frame.height() - 1), palette().highlight());
  p.setPen(palette().color(QPalette::Mid));
  p.drawRect(frame);
}
