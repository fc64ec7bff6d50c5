// TErrorBox: the fixed dialog "Configuration Error", shown modally when the
// configuration is incomplete. Headless, ShowModal writes the box as one
// line to standard error and returns at once, as if "&Ok" had been pressed.
#pragma once

#include <QDialog>

class QPushButton;

class TErrorBox : public QDialog {
 public:
  explicit TErrorBox(QWidget* parent = nullptr);
  void ShowModal();
  void Button1Click();

  QPushButton* Button1;
};
