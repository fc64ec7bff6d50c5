// Test entry point: Qt needs an application object before any widget or
// event loop, and tests always run on the offscreen platform.
#include <QApplication>
#include <QByteArray>
#include <csignal>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  std::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
