// zvmail32: carries Zorvik work files over Internet mail.
#include <QApplication>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/errorbx.h"
#include "app/exit_status.h"
#include "app/mainunit.h"
#include "config/setup.h"
#include "platform/instance_lock.h"
#include "platform/session.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv, argv + argc);

  // --help, --version, --check and wrong options end here, touching nothing;
  // --authorize writes only ZVMAIL32.TOK.
  const TCliRequest request = ParseCommandLine(args);
  if (request.action == TCliAction::Authorize) return AuthorizeInstance(argc, argv, ProgramDirOf(args), stdout, stderr);
  const int answered = CarryOutCommandLine(request, ProgramDirOf(args), stdout, stderr);
  if (answered >= 0) return answered;

  // A directory such as /usr/bin is no instance: nothing is written there.
  const std::string programDir = ProgramDirOf(args);
  if (const std::string why = WhyNoInstance(programDir, args.empty() ? "" : args[0]); !why.empty()) {
    std::fprintf(stderr, "zvmail32: %s\n", why.c_str());
    return zvexit::kUsage;
  }

  // One run per instance, "/SETUP" included: a second start changes nothing.
  plat::InstanceLock lock;
  std::string why;
  switch (lock.Take(programDir, why)) {
    case plat::InstanceLock::Result::Taken:
      break;
    case plat::InstanceLock::Result::HeldByAnother:
      std::fprintf(stderr, "zvmail32: another run of the instance in %s is in progress\n", programDir.c_str());
      return zvexit::kTemporary;
    case plat::InstanceLock::Result::Failed:
      std::fprintf(stderr, "zvmail32: %s\n", why.c_str());
      return zvexit::kCannotCreate;
  }

  plat::ChooseDisplayPlatform();

  QApplication app(argc, argv);
  QApplication::setApplicationName("ZaDozivo/32");
  // No display name: the platform would add it to every window's caption.
  QApplication::setQuitOnLastWindowClosed(false);

  // SIGTERM and SIGINT ask the program to stop: a pass in progress ends
  // within moments, then the run ends by its normal path. A second one ends
  // it at once; nothing it leaves is lost or doubled. SIGHUP asks for the
  // configuration to be read again.
  TMain* closeTarget = nullptr;
  plat::CloseSignals closeSignals([&closeTarget](int signal) {
    if (closeTarget == nullptr) return;
    if (signal == SIGHUP)
      closeTarget->RequestReread();
    else
      closeTarget->RequestStop(signal);
  });

  TMain Main(args, {}, programDir);
  closeTarget = &Main;
  closeSignals.ExitOnSecondSignal(Main.Config.DaemonMode ? zvexit::kOk : zvexit::kTemporary);
  TErrorBox ErrorBox;
  TfSetup fSetup(Main.Config, Main.ProgramDir);
  Main.ErrorBox = &ErrorBox;
  Main.fSetup = &fSetup;
  Main.show();
  app.exec();
  closeTarget = nullptr;
  return Main.ExitStatus();  // Main is destroyed here, after the boxes: FormDestroy runs
}
