// The activity log and the status display.
#include <QBasicTimer>
#include <QLabel>
#include <QTimerEvent>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <ctime>

#include "app/icons.h"
#include "app/mainunit.h"
#include "app/status_echo.h"
#include "config/instance_files.h"
#include "config/textutil.h"
#include "platform/filing.h"
#include "platform/msgwindow.h"
#include "platform/session.h"
#include "widgets/Gauges.h"

namespace {

// Headless runs: nobody looks at the window, so changes of a control are
// painted at most once per interval instead of after every change. The
// control's own updates stay off until the interval ends; its state (a
// label's text) changes at once as always.
class PaintLater final : public QObject {
 public:
  static constexpr int kIntervalMs = 100;

  // Call before changing `w`.
  static void Hold(QWidget* w) {
    if (!w->updatesEnabled()) return;  // held already: the timer runs
    PaintLater* p = nullptr;
    for (QObject* child : w->children())
      if ((p = dynamic_cast<PaintLater*>(child)) != nullptr) break;
    if (p == nullptr) p = new PaintLater(w);
    w->setUpdatesEnabled(false);
    if (!p->timer_.isActive()) p->timer_.start(kIntervalMs, p);
  }

 protected:
  void timerEvent(QTimerEvent* e) override {
    if (e->timerId() != timer_.timerId()) return QObject::timerEvent(e);
    timer_.stop();
    static_cast<QWidget*>(parent())->setUpdatesEnabled(true);  // paints the latest state
  }

 private:
  explicit PaintLater(QWidget* w) : QObject(w) {}
  QBasicTimer timer_;
};

}  // namespace

std::string FormatLogLine(const std::tm& t, const std::string& text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d", (t.tm_mon + 1) % 100, t.tm_mday % 100,
                t.tm_year % 100, t.tm_hour % 100, t.tm_min % 100, t.tm_sec % 100);
  return std::string(stamp) + "  " + EscapeControls(text) + "\r\n";
}

// The log stays open between lines of a pass (one write per line); each
// pass opens it afresh (ReopenLog), so a log moved away by a rotation is
// left for a new one at the next pass.
void TMain::WriteLog(const std::string& text) {
  EchoLogLine(text);
  if (!Config.LOG) return;
  if (Config.LOGFILE.empty()) Config.LOGFILE = ProgramDir + kDefaultLogName;
  if (logFile_ == nullptr || logPath_ != Config.LOGFILE) {
    ReopenLog();
    // The log names hosts, users and server replies: its owner's only.
    if (!OpenTextRetry(logFile_, Config.LOGFILE, 'X', 0600)) return;
    logPath_ = Config.LOGFILE;
    const int fd = ::fileno(logFile_);
    // A log others may read (made so by hand, or by an older version) is the
    // owner's alone again; never through a link or another name.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 0777) != 0600 && plat::OnlyNameOf(fd, logPath_)) ::fchmod(fd, 0600);
    AdoptInstanceOwner(fd, logPath_, ProgramDir);
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string line = FormatLogLine(local, text);
  ::write(::fileno(logFile_), line.data(), line.size());
}

void TMain::LogFailure(const std::string& text) {
  WriteLog(text);
  EchoFailure(text);
}

void TMain::ReopenLog() {
  if (logFile_ != nullptr) std::fclose(logFile_);
  logFile_ = nullptr;
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

// With a display the change is painted at once, since the thread goes on
// working. Headless, the text changes at once and its paint follows within
// PaintLater's interval. An unchanged text is not painted again.
void TMain::SetCaption(QLabel* label, const std::string& text) {
  const QString caption = QString::fromLatin1(text.data(), qsizetype(text.size()));
  if (label->text() != caption) {
    if (plat::Headless()) {
      PaintLater::Hold(label);
      label->setText(caption);
    } else {
      label->setText(caption);
      label->repaint();
    }
  }
  if (StatusEchoEnabled()) EchoStatus(label->objectName().toStdString(), text);
}

void TMain::SetPercent(int percent) {
  if (plat::Headless()) {
    PaintLater::Hold(Percent);
    Percent->SetProgress(percent);
  } else {
    Percent->SetProgress(percent);
    Percent->repaint();
  }
  if (StatusEchoEnabled()) EchoStatus("Percent", std::to_string(percent));
}

void TMain::SetIconVisible(TIcon* icon, bool visible) {
  icon->setVisible(visible);
  if (visible) icon->raise();
  if (!plat::Headless()) icon->repaint();
  EchoStatus(icon->objectName().toStdString(), visible ? "shown" : "hidden");
}

void TMain::SetDaemonLabelVisible(bool visible) {
  lbDaemon->setVisible(visible);
  EchoStatus("lbDaemon", visible ? "shown" : "hidden");
}
