// TfSetup: the configuration dialog "Configuration", shown for "/SETUP".
// It is filled once at creation from the configuration record; "OK" takes
// the values over into that record and writes the file, "Cancel" closes.
#pragma once

#include <QDialog>
#include <string>

#include "config/configfile.h"

class TfSetup : public QDialog {
 public:
  // cfg: the record held by the main window (outlives the dialog's use).
  TfSetup(TConfig& cfg, std::string programDir, QWidget* parent = nullptr);

 private:
  TConfig& cfg_;
  std::string programDir_;
};
