// The transfer cycle and its scheduling: the AutoRun tick, one cycle of send
// pass, receive pass and between-hook, the manual passes of the two icons,
// and Shell, the way a batch hook is run.
#include "app/exit_status.h"
#include "app/hooks.h"
#include "app/mainunit.h"
#include "platform/session.h"
#include "platform/signals.h"

namespace {

// Marks work in progress for the lifetime of the scope and restores the
// previous mark afterwards, also when the work is left by an exception.
class WorkScope {
 public:
  explicit WorkScope(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~WorkScope() { flag_ = previous_; }
  WorkScope(const WorkScope&) = delete;
  WorkScope& operator=(const WorkScope&) = delete;

 private:
  bool& flag_;
  bool previous_;
};

}  // namespace

void TMain::SendAndReceive() {
  SendMail();
  ReceiveMail();
  if (GotZorvikMail && !StopRequested) {
    const std::string hook = FindHook(ProgramDir, "BETWEEN.BAT");
    if (!hook.empty()) {
      Shell(hook, true);
      SendMail();
    }
  }
  if (!Config.DaemonMode) ExitProgram();
}

void TMain::AutoRunTimer() {
  // Ticks that arrive while a cycle runs (its waits process events) are
  // dropped: no cycle starts inside another, and the period is counted from
  // the end of the previous cycle. During a manual pass ticks are counted,
  // but a cycle that falls due waits for the first tick after the pass. Once
  // the run ends (a hook of the exit procedure may still run), none starts.
  if (CycleRunning || Exiting) return;
  if (TickCount < UINT16_MAX) ++TickCount;
  if (TickCount < Config.DaemonPeriod || PassRunning) return;
  TickCount = 0;
  {
    WorkScope running(CycleRunning);
    RereadIfDue();
    SendAndReceive();
  }
  TickCount = 0;
  if (RereadRequested) RereadIfDue();
  CloseIfRequested();
}

void TMain::icnUpOffDblClick() {
  {
    WorkScope running(PassRunning);
    SendMail();
  }
  if (RereadRequested) RereadIfDue();
  CloseIfRequested();
}

void TMain::icnDownOffDblClick() {
  {
    WorkScope running(PassRunning);
    ReceiveMail();
  }
  if (RereadRequested) RereadIfDue();
  CloseIfRequested();
}

void TMain::RequestStop(int signal) {
  if (signal != 0 && !StopRequested) WriteLog("Stopping: " + plat::SignalName(signal) + " received");
  StopRequested = true;
  ++stopRequests_;
  if (Busy && Sock.State != 0) {
    LogConnectionFailure("connection closed: the program was asked to stop");
    NoteFailure(zvexit::kTemporary);
    Sock.Close();
  }
  close();
}

void TMain::CloseIfRequested() {
  if (!CloseRequested || CycleRunning || PassRunning) return;
  CloseRequested = false;
  close();
}

void TMain::Shell(const std::string& path, bool wait) {
  AppExec1.Clear();
  AppExec1.ExeName = path;
  AppExec1.ExeParams.clear();
  AppExec1.Wait = wait;
  AppExec1.ChangeDir = true;
  // A stop asked for while the hook runs ends the wait and the hook.
  const int stopsBefore = stopRequests_;
  AppExec1.StopWaiting = [this, stopsBefore] { return stopRequests_ != stopsBefore; };
  try {
    AppExec1.Execute();
  } catch (const EAppExec& e) {
    plat::MessageBox(e.what(), "ZaDozivo/32", plat::MB_OK);
  }
}
