// Test entry point: Qt needs an application object before any widget or
// event loop, and tests always run on the offscreen platform.
#include <QApplication>
#include <QByteArray>
#include <csignal>
#include <gtest/gtest.h>

#include "platform/session.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  plat::SetHeadless(true);  // no test ever waits for a person at a modal box
  std::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
