// The gauge fills from the left in proportion to its value and draws nothing
// else inside its frame.
#include <gtest/gtest.h>

#include <QImage>

#include "widgets/Gauges.h"

namespace {

// The share of the inner row that carries the highlight colour.
double FilledShare(TGauge& g) {
  const QImage img = g.grab().toImage();
  const QColor fill = g.palette().highlight().color();
  const int y = img.height() / 2;
  int filled = 0;
  for (int x = 1; x < img.width() - 1; ++x)
    if (img.pixelColor(x, y) == fill) ++filled;
  return double(filled) / (img.width() - 2);
}

}  // namespace

TEST(Gauge, FillFollowsTheValueAndIsClampedToTheRange) {
  TGauge g;
  g.resize(202, 16);
  const std::pair<int, double> cases[] = {{0, 0.0}, {25, 0.25}, {50, 0.5}, {100, 1.0}, {150, 1.0}, {-5, 0.0}};
  for (auto [value, share] : cases) {
    g.SetProgress(value);
    EXPECT_EQ(g.Progress(), std::clamp(value, 0, 100));
    EXPECT_NEAR(FilledShare(g), share, 0.02) << value;
  }
}
