// The transfer cycle and its scheduling.
// Placeholder skeleton until the launcher and the cycle work land.
#include "app/mainunit.h"
#include "platform/session.h"

void TMain::SendAndReceive() {
  SendMail();
  ReceiveMail();
  if (!Config.DaemonMode) ExitProgram();
}

void TMain::AutoRunTimer() {
  ++TickCount;
  if (TickCount >= Config.DaemonPeriod) {
    TickCount = 0;
    SendAndReceive();
    TickCount = 0;
  }
}

void TMain::icnUpOffDblClick() { SendMail(); }
void TMain::icnDownOffDblClick() { ReceiveMail(); }

void TMain::Shell(const std::string& path, bool wait) {
  AppExec1.Clear();
  AppExec1.ExeName = path;
  AppExec1.ExeParams.clear();
  AppExec1.Wait = wait;
  AppExec1.ChangeDir = true;
  try {
    AppExec1.Execute();
  } catch (const EAppExec& e) {
    plat::MessageBox(e.what(), "ZaDozivo/32", plat::MB_OK);
  }
}
