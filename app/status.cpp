// The activity log and the status display.
#include <QLabel>
#include <cstdlib>
#include <ctime>

#include "app/icons.h"
#include "app/mainunit.h"
#include "app/status_echo.h"
#include "config/textutil.h"
#include "platform/msgwindow.h"
#include "widgets/Gauges.h"

std::string FormatLogLine(const std::tm& t, const std::string& text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d", (t.tm_mon + 1) % 100, t.tm_mday % 100,
                t.tm_year % 100, t.tm_hour % 100, t.tm_min % 100, t.tm_sec % 100);
  return std::string(stamp) + "  " + text + "\r\n";
}

void TMain::WriteLog(const std::string& text) {
  if (!Config.LOG) return;
  if (Config.LOGFILE.empty()) Config.LOGFILE = ProgramDir + kDefaultLogName;
  std::FILE* f = nullptr;
  if (!OpenTextRetry(f, Config.LOGFILE, 'X')) return;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string line = FormatLogLine(local, text);
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);
}

void TMain::ShowSocketState() {
  const int32_t state = Sock.State;
  if (state == LastShownState) return;
  switch (state) {
    case 0: SetCaption(lbState, "Closed"); break;
    case 1: SetCaption(lbState, "Connected"); break;
    case 2: SetCaption(lbState, "Listening"); break;
    case 3: SetCaption(lbState, "Error"); break;
    default: SetCaption(lbState, "Status = " + NumToText(state, 0)); break;
  }
  LastShownState = state;
}

void TMain::TimedTimer() {
  TickFired = true;
  Timed.stop();
}

void TMain::WaitTick() {
  TickFired = false;
  Timed.start();
  // Sleeps in the event loop; any event wakes it, so loop on the flag.
  while (!TickFired) plat::WaitForEvents();
}

void TMain::SetCaption(QLabel* label, const std::string& text) {
  label->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
  label->repaint();
  EchoStatus(label->objectName().toStdString(), text);
}

void TMain::SetPercent(int percent) {
  Percent->SetProgress(percent);
  Percent->repaint();
  EchoStatus("Percent", std::to_string(percent));
}

void TMain::SetIconVisible(TIcon* icon, bool visible) {
  icon->setVisible(visible);
  if (visible) icon->raise();
  icon->repaint();
  EchoStatus(icon->objectName().toStdString(), visible ? "shown" : "hidden");
}

void TMain::SetDaemonLabelVisible(bool visible) {
  lbDaemon->setVisible(visible);
  EchoStatus("lbDaemon", visible ? "shown" : "hidden");
}
