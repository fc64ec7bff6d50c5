// Auto-dial and the dial progress shown in lbState.
// Placeholder: only the first step of AutoDial until the dial-up work lands.
#include "app/mainunit.h"

void TMain::AutoDial() {
  if (!(DialPending && Config.DIAL)) return;
  DialPending = false;
}

void TMain::ShowDialProgress(const std::string& text) { SetCaption(lbState, "Dialing .. " + text); }

void TMain::RASConnect(TRAS*) {
  ShowDialProgress("connected");
  Dialling = false;
}

void TMain::RASDisconnect(TRAS*, int32_t, const std::string& ErrorString) {
  ShowDialProgress("diconnected (" + ErrorString + ")");
  WriteLog(ErrorString.empty() ? std::string("Disconnected") : "Disconnected (" + ErrorString + ")");
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
