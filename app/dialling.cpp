// Auto-dial: the one dial of a run before its first transfer, the wait for
// its outcome, the dial progress shown in lbState, and the minimising of the
// window that announces the connection.
#include <QLabel>

#include "app/exit_status.h"
#include "app/login_secrets.h"
#include "app/mainunit.h"
#include "config/textutil.h"
#include "platform/msgwindow.h"
#include "platform/windowlist.h"

namespace {

constexpr uint32_t kLineBusy = 676;
constexpr const char* kConnectedPrefix = "CONNECTED TO ";
constexpr std::size_t kConnectedPrefixLength = 13;

// Minimises the first top-level window whose title begins with "Connected to "
// in any letter case. True when one was found.
bool MinimiseConnectionWindow(plat::WindowList& list) {
  for (const auto& window : list.TopLevelWindows()) {
    if (UpperText(window.title.substr(0, kConnectedPrefixLength)) == kConnectedPrefix) {
      list.Minimise(window.id);
      return true;
    }
  }
  return false;
}

}  // namespace

void TMain::AutoDial() {
  if (!(DialPending && Config.DIAL)) return;
  DialPending = false;
  repaint();
  Dialling = true;
  Busy = true;

  // The dial-up password from its command or credential file: without it
  // the dial fails as any other.
  std::string password;
  if (!Logins().Password("LOGIN_PWD", password)) ExitProgram();
  RAS.Password = password;
  if (RAS.Dial() == 0) {
    WriteLog("Dialing");
    // No limit of our own: the service ends a dial that does not finish. A
    // stop ends the wait at once, and the dial with it.
    while (Dialling && RAS.LastError == 0 && !StopRequested) {
      WaitTick();
      plat::PumpOnce();
    }
    if (Dialling && StopRequested) {
      WriteLog("Dial abandoned: the program was asked to stop");
      NoteFailure(zvexit::kTemporary);
      Dialling = false;
      RAS.HangUp();
    } else if (Dialling) {
      if (RAS.LastError == int32_t(kLineBusy)) LogFailure("Busy");
      if (Config.DEBUG) WriteLog("DEBUG:RAS LE = " + NumToText(RAS.LastError, 0));
      EndWith(zvexit::kTemporary);  // worth another try
      ExitProgram();
    }
  }
  Busy = false;

  std::shared_ptr<plat::WindowList> windows = services_.windows ? services_.windows : plat::SystemWindowList();
  if (windows && MinimiseConnectionWindow(*windows)) WriteLog("Connected");
}

void TMain::ShowDialProgress(const std::string& text) { SetCaption(lbState, "Dialing .. " + text); }

void TMain::RASConnect(TRAS*) {
  ShowDialProgress("connected");
  Dialling = false;
}

void TMain::RASDisconnect(TRAS*, int32_t, const std::string& ErrorString) {
  ShowDialProgress("diconnected (" + ErrorString + ")");
  const std::string line = ErrorString.empty() ? std::string("Disconnected") : "Disconnected (" + ErrorString + ")";
  if (Dialling)
    LogFailure(line);
  else
    WriteLog(line);
  // A line that drops while it is being dialled is a failed dial, and
  // outside daemon mode it ends the run.
  if (Dialling && !Exiting && !Config.DaemonMode) EndWith(zvexit::kTemporary);
  Dialling = false;
  if (!Config.DaemonMode && !Exiting) ExitProgram();
}

void TMain::RASAboutToOpenPort(TRAS*) { ShowDialProgress("opening port"); }
void TMain::RASPortOpened(TRAS*) { ShowDialProgress("port opened"); }
void TMain::RASAboutToConnDev(TRAS*) { ShowDialProgress("connecting to device"); }
void TMain::RASAllDevsConnected(TRAS*) { ShowDialProgress("devices connected"); }
void TMain::RASAuthenticate(TRAS*) { ShowDialProgress("authenticating"); }
void TMain::RASAuthRetry(TRAS*) { ShowDialProgress("retrying authentication"); }
void TMain::RASAuthenticated(TRAS*) { ShowDialProgress("authenticated"); }
void TMain::RASWaitForModemReset(TRAS*) { ShowDialProgress("resetting modem"); }
