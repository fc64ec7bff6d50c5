// zvmail32: carries Zorvik work files over Internet mail.
#include <QApplication>
#include <csignal>
#include <string>
#include <vector>

#include "app/errorbx.h"
#include "app/mainunit.h"
#include "config/setup.h"
#include "platform/session.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  plat::ChooseDisplayPlatform();
  std::vector<std::string> args(argv, argv + argc);

  QApplication app(argc, argv);
  QApplication::setApplicationName("ZaDozivo/32");
  QApplication::setApplicationDisplayName("ZaDozivo/32");
  QApplication::setQuitOnLastWindowClosed(false);

  // SIGTERM and SIGINT are a close request, like the window's close button.
  TMain* closeTarget = nullptr;
  plat::CloseSignals closeSignals([&closeTarget](int) {
    if (closeTarget) closeTarget->close();
  });

  TMain Main(args);
  closeTarget = &Main;
  TErrorBox ErrorBox;
  TfSetup fSetup(Main.Config, Main.ProgramDir);
  Main.ErrorBox = &ErrorBox;
  Main.fSetup = &fSetup;
  Main.show();
  app.exec();
  closeTarget = nullptr;
  return 0;  // Main is destroyed here, after the boxes: FormDestroy runs
}
