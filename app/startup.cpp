// Start-up and exit of a run: creation, activation, destruction, ExitProgram.
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QScreen>
#include <QLabel>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/cmdline.h"
#include "app/errorbx.h"
#include "app/hooks.h"
#include "app/icons.h"
#include "app/login_secrets.h"
#include "app/mainunit.h"
#include "app/status_echo.h"
#include "config/setup.h"
#include "config/textutil.h"
#include "platform/msgwindow.h"
#include "platform/session.h"

namespace {

// What a rewrite of the configuration file could change: its bytes, mode
// and owner ("" when there is none).
std::string ConfigFileState(const std::string& programDir) {
  const std::string path = programDir + kConfigFileName;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " + std::to_string(st.st_gid) + "\n" +
         bytes.str();
}

}  // namespace

std::string ProgramDirOf(const std::vector<std::string>& args) {
  std::string dir;
  if (!args.empty() && args[0].find('/') != std::string::npos) {
    dir = ExtractDir(args[0]);
  } else {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    dir = ec ? std::string("./") : ExtractDir(exe.string());
  }
  if (!dir.empty() && dir[0] == '/') return dir;
  // Relative to the working directory of the start; the link that makes the
  // directory an instance is kept, not resolved.
  std::error_code ec;
  const auto cwd = std::filesystem::current_path(ec);
  if (ec) return dir;
  std::string absolute = (cwd / dir).lexically_normal().string();
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute;
}

TMain::TMain(std::vector<std::string> args, TMainServices services, std::string programDir)
    : Sock(services.sockets), RAS(services.ras), AppExec1(services.processes), Args(std::move(args)),
      services_(std::move(services)) {
  ProgramDir = programDir.empty() ? ProgramDirOf(Args) : NormaliseDir(programDir);
  BuildControls();
  // Component settings of the window's form.
  Sock.NonBlocking = false;
  Sock.Authorized = false;
  Sock.BufferSize = 8192;
  AppExec1.Wait = false;
  AppExec1.SetWindowState(wsNormal);
  Timed.setInterval(8);
  Timed.setTimerType(Qt::PreciseTimer);
  AutoRun.setInterval(1000);
  AutoRun.setTimerType(Qt::PreciseTimer);
  WireEvents();
  FormCreate();
  Timed.start();  // enabled at creation: fires once and switches itself off
}

TMain::~TMain() {
  if (!formDestroyed_) FormDestroy();
  ReopenLog();
}

void TMain::WireEvents() {
  connect(&Timed, &QTimer::timeout, this, [this] { TimedTimer(); });
  connect(&AutoRun, &QTimer::timeout, this, [this] { AutoRunTimer(); });
  icnUpOff->OnClick = [this] { icnUpOffDblClick(); };
  icnDownOff->OnClick = [this] { icnDownOffDblClick(); };
  Sock.OnErrorOccurred = [this](TSockets* s, int32_t e, const std::string& m) { SockErrorOccurred(s, e, m); };
  RAS.OnConnect = [this](TRAS* s) { RASConnect(s); };
  RAS.OnDisconnect = [this](TRAS* s, int32_t e, const std::string& t) { RASDisconnect(s, e, t); };
  RAS.OnAboutToOpenPort = [this](TRAS* s) { RASAboutToOpenPort(s); };
  RAS.OnPortOpened = [this](TRAS* s) { RASPortOpened(s); };
  RAS.OnAboutToConnDev = [this](TRAS* s) { RASAboutToConnDev(s); };
  RAS.OnDevConnected = [this](TRAS* s) { RASAllDevsConnected(s); };
  RAS.OnAllDevsConnected = [this](TRAS* s) { RASAllDevsConnected(s); };
  RAS.OnAuthenticate = [this](TRAS* s) { RASAuthenticate(s); };
  RAS.OnAuthRetry = [this](TRAS* s) { RASAuthRetry(s); };
  RAS.OnAuthenticated = [this](TRAS* s) { RASAuthenticated(s); };
  RAS.OnWaitForModemReset = [this](TRAS* s) { RASWaitForModemReset(s); };
}

void TMain::FormCreate() {
  SetCaption(lbVersion, "Zorvik Mailer v2.0 for Windows");
  TReadState state;
  ConfigFile = std::make_unique<TConfigStore>(ProgramDir);
  ConfigFile->Read(Config, state);
  ConfigIncomplete = state.ConfigIncomplete;
  TickCount = state.TickCount;
  DialPending = state.DialPending;
  WriteLog("Running version 2.0");
  LogUnknownKeys(state);
  configProblems_ = state.Problems;
  configUnreadable_ = state.ConfigUnreadable;
  Busy = false;
  TakeSettings();
}

void TMain::ReportConfigProblems() {
  // Every reason, each naming its key, where an operator looks: the box
  // says only that the configuration is incomplete.
  for (const std::string& problem : configProblems_) {
    const bool namesFile = problem.rfind(kConfigFileName, 0) == 0;
    std::string text = namesFile ? ProgramDir + problem : ProgramDir + kConfigFileName + ": " + problem;
    // The end of the run writes it (the directory is writable, or the run
    // would not have come this far).
    if (problem == std::string(kConfigFileName) + " does not exist")
      text += "; a complete one is written now, to be filled in";
    WriteLog(text);
    if (!LogLinesEchoed()) plat::ReportToStderr("zvmail32", text);
  }
}

void TMain::LogUnknownKeys(const TReadState& state) {
  // A line that sets nothing is named (never its value), so a misspelt key
  // does not go unnoticed.
  for (const std::string& key : state.UnknownKeys)
    WriteLog(std::string(kConfigFileName) + ": a line with the unknown key \"" + key + "\" is ignored");
}

void TMain::TakeSettings() {
  if (lbDaemon->isHidden() == Config.DaemonMode) SetDaemonLabelVisible(Config.DaemonMode);
  RAS.SetRedialAttempts(TextToNum(Config.RETRIES));
  RAS.EntryName = Config.CONNECTION;
  RAS.UserName = Config.LOGIN_ID;
  RAS.Password = Config.LOGIN_PWD;
}

void TMain::RequestReread() {
  if (IsSetupRun()) return;  // the dialog holds the record
  RereadRequested = true;
  if (!CycleRunning && !PassRunning && !Busy) RereadIfDue();
}

void TMain::RereadIfDue() {
  if (!RereadRequested && !(Config.DaemonMode && ConfigFile->ChangedOnDisk())) return;
  RereadRequested = false;
  TConfig fresh = Config;
  TReadState state;
  ConfigFile->Read(fresh, state);
  LogUnknownKeys(state);
  if (state.ConfigIncomplete) {
    // Half an edit, perhaps: the run goes on as it was, and a later write
    // changes only what the program changes from here on.
    for (const std::string& problem : state.Problems) WriteLog(std::string(kConfigFileName) + ": " + problem);
    WriteLog("Configuration re-read; it has problems, so the previous one stays in use");
    ConfigFile->Rebase(Config);
    return;
  }
  Config = fresh;
  TakeSettings();
  WriteLog("Configuration re-read");
}

bool TMain::IsSetupRun() const { return IsSetupArgs(Args); }

void TMain::FormActivate() {
  if (inActivate_ || closing_) return;
  inActivate_ = true;
  if (IsSetupRun()) {
    if (configUnreadable_) ReportConfigProblems();
    if (plat::Headless()) {
      // Said when the run ends, with what the end did to the file.
      headlessSetup_ = true;
    } else if (fSetup) {
      fSetup->exec();
    }
    closing_ = true;
    close();
  } else if (ConfigIncomplete) {
    if (ErrorBox) ErrorBox->ShowModal();
    ReportConfigProblems();
    closing_ = true;
    close();
  }
  if (!AutoRun.isActive()) AutoRun.start();
  inActivate_ = false;
}

void TMain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!firstShown_) {
    firstShown_ = true;
    if (const QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
    // Activation is not reliable at show time on every platform: run the
    // first activation from the queue right after the window is shown.
    QTimer::singleShot(0, this, [this] { FormActivate(); });
  }
}

void TMain::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  if (e->type() == QEvent::ActivationChange && isActiveWindow() && firstShown_) FormActivate();
}

// A close request (the window's close button, or SIGTERM/SIGINT through
// main) never interrupts a running cycle or manual pass: it is remembered and
// carried out when that work has returned (CloseIfRequested). Otherwise the
// message loop ends and the program goes on to FormDestroy.
void TMain::closeEvent(QCloseEvent* e) {
  if (CycleRunning || PassRunning) {
    CloseRequested = true;
    e->ignore();
    return;
  }
  closing_ = true;
  e->accept();
  QCoreApplication::exit(0);
}

void TMain::FormDestroy() {
  if (formDestroyed_) return;
  formDestroyed_ = true;
  inFormDestroy_ = true;
  std::string why;
  const std::string before = ConfigFileState(ProgramDir);
  const bool saved = SaveConfig(why);
  if (!saved) WriteLog(why);
  if (headlessSetup_) {
    const std::string what = !saved ? why
                             : ConfigFileState(ProgramDir) == before
                                 ? std::string("nothing was changed")
                                 : std::string(kConfigFileName) + " was written with the values read";
    plat::ReportToStderr("Configuration", "no display: the configuration dialog cannot be shown; " + what);
  }
  if (Config.HANGUP) RAS.HangUp();
  inFormDestroy_ = false;
}

bool TMain::SaveConfig(std::string& why) {
  switch (ConfigFile->Write(Config, why)) {
    case TConfigStore::TSaved::Written:
      return true;
    case TConfigStore::TSaved::ReadOnly:
      // As the owner wants it: the file stays, and the run goes on.
      if (!unsavedLogged_) LogFailure(why + " (COUNTER " + NumToText(Config.COUNTER, 0) + " was not saved)");
      unsavedLogged_ = true;
      return true;
    case TConfigStore::TSaved::Failed:
      break;
  }
  why = std::string(kConfigFileName) + " could not be written: " + why;
  return false;
}

void TMain::ExitProgram() {
  if (!Exiting) {
    Exiting = true;
    WriteLog("Exiting");
    RAS.HangUp();
  }
  plat::PumpOnce();
  if (!IsSetupRun() && !Config.DaemonMode) {
    const std::string hook = FindHook(ProgramDir, "LAUNCH.BAT");
    if (!hook.empty()) Shell(hook, true);
  }
  Terminate();
}

void TMain::Terminate() {
  if (services_.terminate) services_.terminate();  // tests: throws
  if (!inFormDestroy_ && !formDestroyed_) FormDestroy();
  std::fflush(nullptr);
  std::exit(ExitStatus());
}
