// Small pictures of the main window: TIcon, a 25 by 25 image that reports
// clicks, and the drawn arrows and logo.
#pragma once

#include <QLabel>
#include <QPixmap>
#include <functional>

class TIcon : public QLabel {
 public:
  explicit TIcon(QWidget* parent = nullptr);
  std::function<void()> OnClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override;
};

// An arrow pointing up (sending) or down (receiving), idle or lit.
QPixmap ArrowPicture(bool up, bool active);
// The program's small logo.
QPixmap LogoPicture();
