// TGauge: a horizontal bar filled from the left in proportion to Progress
// between MinValue and MaxValue (0 to 100 unless changed). It draws no text.
#pragma once

#include <QWidget>

class TGauge : public QWidget {
 public:
  explicit TGauge(QWidget* parent = nullptr);

  int MinValue() const { return min_; }
  int MaxValue() const { return max_; }
  int Progress() const { return progress_; }
  // Clamps to the range and repaints when the value changes.
  void SetProgress(int value);
  void SetRange(int min, int max);

  QSize sizeHint() const override { return {200, 16}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  int min_ = 0, max_ = 100, progress_ = 0;
};
