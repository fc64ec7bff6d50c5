#include "config/setup.h"

TfSetup::TfSetup(TConfig& cfg, std::string programDir, QWidget* parent)
    : QDialog(parent), cfg_(cfg), programDir_(std::move(programDir)) {
  setObjectName("fSetup");
  setWindowTitle("Configuration");
}
