// TMain: the main window and the owner of a run. It reads the configuration,
// shows the status controls, runs the transfer cycle (send pass, receive
// pass, hooks) from its AutoRun timer, and ends the run through ExitProgram.
// Everything runs on the GUI thread; every wait pumps the Qt event queue, so
// timer ticks, socket and dial-up notifications and clicks are handled in the
// middle of a pass. Re-entry is refused by flags (Busy, Exiting), not locks.
//
// Error convention: failures inside a pass are reported (lbError and the log
// through ReportError) and end the message or the pass; nothing is returned
// to callers and nothing throws out of a pass.
//
// The operations are spread over app/*.cpp by concern: startup.cpp (start-up
// and exit), status.cpp (log and status display), exchange.cpp (command and
// reply exchange), smtp_pass.cpp, pop3_pass.cpp (each pass's entry: it
// opens the connection and sets the controls; its conversation is a class of
// its own, TSmtpSession and TPop3Session, that talks through TPassHost),
// dialling.cpp, cycle.cpp; mainwindow.cpp builds the controls.
#pragma once

#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <optional>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/configfile.h"
#include "dialup/Rascomp32.h"
#include "launcher/appexec.h"
#include "app/backoff.h"
#include "app/pass_host.h"
#include "app/sent_pairs.h"
#include "net/Sockets.h"

class QLabel;
class TGauge;
class TIcon;
class TErrorBox;
class TfSetup;
namespace winsock { class Service; }
namespace ras { class Service; }
namespace proc { class Service; }
namespace plat { class WindowList; class FilingService; class CommandService; }
namespace oauth { class THttpAccess; }
class TLoginSecrets;

// The outside world of a TMain. Null members select the platform's real
// services; tests give their own to inject faults. `terminate` ends the
// process (default: exit code 0); tests make it throw TMainTerminated.
struct TMainServices {
  std::shared_ptr<winsock::Service> sockets;
  std::shared_ptr<ras::Service> ras;
  std::shared_ptr<proc::Service> processes;
  std::shared_ptr<plat::WindowList> windows;
  std::shared_ptr<plat::FilingService> files;
  // The commands that give secrets and tokens, and the token endpoint.
  std::shared_ptr<plat::CommandService> commands;
  std::shared_ptr<oauth::THttpAccess> http;
  std::function<void()> terminate;
};

// The directory of the program file, absolute, with its trailing "/": that
// of argv[0] when it names a path (so a link placed in an instance directory
// makes that directory the instance, and the link is not resolved), else that
// of the running executable. A relative path is taken from the working
// directory at the call.
std::string ProgramDirOf(const std::vector<std::string>& args);

// The record of pairs sent but not removed from OUT (TSentPairs).
inline const char* const kSentPairsName = "ZVMAIL32.SNT";

// What a test's `terminate` throws to stand for the end of the process.
struct TMainTerminated {};

class TMain : public QWidget, public TPassHost {
 public:
  // args: the command line, argv[0] first (8-bit). programDir: the directory
  // of the program with its trailing "/"; empty derives it from args[0].
  // FormCreate runs inside the constructor.
  TMain(std::vector<std::string> args, TMainServices services = {}, std::string programDir = {});
  // Runs FormDestroy (once) unless the process already ended through it.
  ~TMain() override;

  // ---- Windows created after Main (start-up wires them in) ----
  TErrorBox* ErrorBox = nullptr;
  TfSetup* fSetup = nullptr;

  // ---- Status controls ----
  QLabel *Label1, *Label2, *Label3, *Label4;
  QLabel *lbState, *lbCommand, *lbResponse, *lbError, *lbAction, *lbVersion, *lbDaemon;
  TGauge* Percent;
  TIcon *icnUpOn, *icnUpOff, *icnDownOn, *icnDownOff;
  QLabel* Image1;

  // ---- Components ----
  TSockets Sock;
  TRAS RAS;
  TAppExec AppExec1;
  QTimer Timed;    // 8 ms, one-shot through TimedTimer
  QTimer AutoRun;  // 1000 ms, created disabled

  // ---- Configuration record and run-state ----
  TConfig Config;
  // The file Config was read from; a rewrite changes what changed since.
  std::unique_ptr<TConfigStore> ConfigFile;
  std::vector<std::string> Args;
  std::string ProgramDir;
  bool Exiting = false;
  bool Busy = false;
  bool ConfigIncomplete = false;
  bool DialPending = true;
  bool Dialling = false;
  bool GotZorvikMail = false;
  uint16_t TickCount = 0;
  int32_t LastShownState = 0;
  bool TickFired = false;
  int32_t LastSockError = 0;

  // ---- Start-up and exit (startup.cpp) ----
  void FormCreate();
  void FormActivate();
  void FormDestroy();
  // Logs "Exiting" and hangs up (once), pumps once, runs LAUNCH.BAT outside
  // daemon mode and "/SETUP", then ends the process. Does not return.
  [[noreturn]] void ExitProgram();
  // True when the first argument, upper-cased, is "/SETUP", or an argument
  // is "--setup" (IsSetupArgs).
  bool IsSetupRun() const;

  // ---- Log and status display (status.cpp) ----
  void WriteLog(const std::string& text) override;
  // WriteLog, and the line on standard error when that is a terminal.
  void LogFailure(const std::string& text) override;
  // Closes the log; the next line opens it again (at the start of a pass).
  void ReopenLog();
  void ShowSocketState();
  void TimedTimer();
  // Returns after Timed has fired once; sleeps in the event loop meanwhile.
  void WaitTick();
  // Sets a label's caption and repaints it at once (echoed to stderr when
  // ZVMAIL32_ECHO_STATUS=1).
  void SetCaption(QLabel* label, const std::string& text);
  void SetPercent(int percent);
  void SetIconVisible(TIcon* icon, bool visible);
  void SetDaemonLabelVisible(bool visible);

  // ---- Command and reply exchange (exchange.cpp) ----
  void OpenConnection(const std::string& host, uint16_t port);
  // Opens a connection to host:port and has `conversation` talk on it with
  // `icon` hidden, then closes it; again on a new connection while the
  // conversation asks for one (a token refused by a server that then closed).
  // False when a connection could not be opened.
  bool Converse(const std::string& host, uint16_t port, TIcon* icon, const std::function<bool()>& conversation);
  void WaitForState(uint8_t target);
  void SendCommand(const std::string& command) override;
  bool ReadReply(std::string& reply, bool show) override;
  // One line of the reply being read, shown and traced through `mask` (the
  // text to show for the line read; none: not shown).
  bool ReadReplyMasked(std::string& reply, const std::function<std::string(const std::string&)>& mask);
  bool ReadOK() override;
  uint16_t ReadCode() override;
  // ReadCode keeping the reply's lines (at most 100), for EHLO's keywords.
  uint16_t ReadCodeLines(std::vector<std::string>& lines) override;
  bool ReadChallenge(std::string& line) override;
  uint16_t ReadDataEndCode(std::vector<std::string>& lines) override;
  // How long a reply (every line of a multi-line reply together) may take,
  // whatever trickles in; one that takes longer cuts the connection.
  std::chrono::milliseconds ReplyLimit{120000};
  // How long the reply to the end of a message text may take.
  std::chrono::milliseconds DataEndLimit{600000};
  // Bytes of log the DEBUG trace of one reply's lines (a message, a
  // listing) may take; the rest of the reply is not traced.
  std::size_t DataTraceLimit = 1 << 20;
  void ReportError(const std::string& text) override;
  void SockErrorOccurred(TSockets* Sender, int32_t Error, const std::string& Msg);
  static int32_t SecondsNow();
  // Splits a server value: "host", "host:port", "[IPv6]", "[IPv6]:port" or a
  // bare IPv6 literal; a plain host keeps defaultPort.
  static std::pair<std::string, uint16_t> ServerAddress(const std::string& value, uint16_t defaultPort);
  // "host:port", "[v6]:port": how lines and the back-off name a server.
  static std::string ServerKey(const std::string& host, uint16_t port);

  // ---- SMTP send pass (smtp_pass.cpp; the conversation is TSmtpSession) ----
  void SendMail();
  // Loads the record of pairs sent but left in OUT and removes what it can
  // of them, logging each pair; one still there makes the run's status 73.
  void RemoveSentPairs(TSentPairs& sent);
  // Opens a work file: 'R' reads one with read and write access, 'W' creates
  // or truncates one; repeated at once up to 21 attempts.
  bool OpenFileRetry(std::FILE*& file, const std::string& name, char mode);
  bool RemoveFile(const std::string& name);
  static constexpr std::size_t kOutboundMax = 499;
  // Base names of the outbound pairs found by the last collection.
  std::vector<std::string> OutboundList;
  // Bytes not yet handed to the socket; SendCommand sends them in the same
  // send as its command.
  std::string PendingOutput;

  // ---- POP3 receive pass (pop3_pass.cpp; the conversation is TPop3Session) ----
  void ReceiveMail();

  // ---- Secrets of the logins (login_secrets.cpp), made at first use ----
  TLoginSecrets& Logins();

  // ---- TPassHost: what a pass conversation uses of the window ----
  TConfig& PassConfig() override { return Config; }
  TSockets& PassSocket() override { return Sock; }
  // A line of a message being retrieved: ReadReply without the pump and
  // without showing the line (the line loop pumps every 101 lines, and the
  // socket pumps whenever it waits for data).
  bool ReadDataLine(std::string& line) override;
  void BeginReply(std::chrono::milliseconds extra) override;
  void EndReply() override;
  void QueueCommand(const std::string& command) override;
  void SendRaw(const std::string& bytes) override { Sock.SetText(bytes); }
  void SendSecretCommand(const std::string& command, const std::string& shown) override;
  void FlushCommands() override;
  // Writes what changed in Config into the file. A read-only file is left as
  // it was (true), and the log says once that COUNTER was not saved.
  bool SaveConfig(std::string& why) override;
  void NoteFailure(int status) override;
  void NoteLoggedIn() override { loggedIn_ = true; }
  std::string ServerName() const override { return CurrentServer; }

  // ---- Exit status (exchange.cpp) ----
  // The status the run ends with: 78 for an incomplete configuration, 0 for
  // "/SETUP", the reason the run was ended for (EndWith; in daemon mode 0
  // when it was asked to stop), else the most serious failure noted (0 when
  // every pass completed).
  int ExitStatus() const;
  int RunStatus = 0;
  // The run ends, daemon mode or not, for this reason: a failed dial (75),
  // logins refused for a day (77).
  void EndWith(int status);
  int EndStatus = 0;
  // "host:port" of the connection last opened ("[v6]:port" for IPv6).
  std::string CurrentServer;
  std::string& OutputQueue() override { return PendingOutput; }
  void ShowCommand(const std::string& text) override { SetCaption(lbCommand, text); }
  void ShowPercent(int percent) override { SetPercent(percent); }
  void PumpEvents() override;
  bool Stopping() const override { return StopRequested; }

  // ---- Refused logins in daemon mode (exchange.cpp) ----
  TBackoff Backoff;
  // The clock the back-off goes by; tests give one of their own.
  std::function<TBackoff::Clock::time_point()> BackoffClock = [] { return TBackoff::Clock::now(); };
  // False while the back-off leaves `server` ("host:port") alone: the pass
  // is then not begun.
  bool MayTry(const std::string& server);
  // After a pass: a refused login starts or lengthens the back-off (logged
  // with the time of the next attempt) and, after a day of refusals, ends
  // the run with 77; an accepted one ends the back-off.
  void NoteLoginOutcome();

  // ---- Auto-dial (dialling.cpp) ----
  void AutoDial();
  void ShowDialProgress(const std::string& text);
  void RASConnect(TRAS* Sender);
  void RASDisconnect(TRAS* Sender, int32_t Error, const std::string& ErrorString);
  void RASAboutToOpenPort(TRAS* Sender);
  void RASPortOpened(TRAS* Sender);
  void RASAboutToConnDev(TRAS* Sender);
  void RASAllDevsConnected(TRAS* Sender);
  void RASAuthenticate(TRAS* Sender);
  void RASAuthRetry(TRAS* Sender);
  void RASAuthenticated(TRAS* Sender);
  void RASWaitForModemReset(TRAS* Sender);

  // ---- Transfer cycle (cycle.cpp) ----
  void SendAndReceive();
  void AutoRunTimer();
  void icnUpOffDblClick();
  void icnDownOffDblClick();
  void Shell(const std::string& path, bool wait);
  // A cycle, or a manual pass, is in progress. A close request made then
  // waits (CloseRequested) until that work has returned.
  bool CycleRunning = false;
  bool PassRunning = false;
  bool CloseRequested = false;
  // Closes the window when a close request waited for the work to end.
  void CloseIfRequested();
  // A stop asked from outside (a signal, named in the log): a pass in
  // progress ends at once as after a dropped connection (its connection is
  // closed; what was filed stays filed, what was not stays on the server,
  // pairs not accepted stay in OUT), no further pass starts, and the run
  // ends by its normal path.
  void RequestStop(int signal = 0);
  bool StopRequested = false;
  // Asks for the configuration to be read again (SIGHUP): at once when
  // nothing runs, else when the cycle or pass in progress has returned.
  void RequestReread();
  bool RereadRequested = false;
  // Reads the configuration again when asked to, or in daemon mode when the
  // file changed on disk, and logs "Configuration re-read". A file with
  // problems is logged and the configuration in use stays.
  void RereadIfDue();

  const TMainServices& Services() const { return services_; }

 protected:
  void showEvent(QShowEvent* e) override;
  void changeEvent(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildControls();  // mainwindow.cpp
  void WireEvents();     // startup.cpp
  void LogUnknownKeys(const TReadState& state);
  // The problems of the configuration read at start, on standard error and
  // in the log.
  void ReportConfigProblems();
  std::vector<std::string> configProblems_;
  bool configUnreadable_ = false;
  // The daemon label and the dial settings from Config.
  void TakeSettings();
  // Ends the process: FormDestroy unless already inside it, then exit 0.
  [[noreturn]] void Terminate();

  TMainServices services_;
  std::unique_ptr<TLoginSecrets> logins_;
  std::string lastQueued_;  // the last command queued, for lbCommand
  // Queues `command`, traced and shown as `shown`.
  void Queue(const std::string& command, const std::string& shown);
  // Commands queued and not yet sent (as shown), and those sent whose
  // replies are still to be read, oldest first, each with the position in
  // the received stream its reply may not begin before.
  struct TOwedReply {
    uint64_t since;
    std::string command;
  };
  std::vector<std::string> queued_;
  std::deque<TOwedReply> owed_;
  // A reply is being read: the oldest command owed is answered, unless the
  // reply had come before it went out (then the connection closes).
  void ReplyTaken();
  // Replies out of step: the connection closes, the pass fails for now.
  void ProtocolError(const std::string& command);
  std::FILE* logFile_ = nullptr;  // the log, open between lines of a pass
  std::string logPath_;
  // The connection's failure was logged already (one line per failure).
  bool failureLogged_ = false;
  // The deadline of the reply being read, if any, and the time it allows.
  std::optional<std::chrono::steady_clock::time_point> replyDeadline_;
  std::chrono::milliseconds replyAllowance_{0};
  // A reply bounded as a whole (BeginReply) is being read, begun then.
  std::optional<std::chrono::steady_clock::time_point> wholeReplyStart_;
  void StartReplyDeadline();
  void EndReplyDeadline();
  // The DEBUG trace of a reply's lines, bounded by DataTraceLimit.
  void StartReplyTrace();
  void TraceReply(const std::string& line);
  std::size_t traceLeft_ = 1 << 20;
  bool traceCut_ = false;
  // Writes "<host:port>: <cause>" to the log once per connection.
  void LogConnectionFailure(const std::string& cause);
  // One line per connection: what secured it, or that nothing did.
  void LogConnectionSecurity();
  // A read that found the connection closed by the server notes and logs it.
  void NoteDroppedConnection();
  bool unsavedLogged_ = false;  // "COUNTER ... was not saved" logged
  bool loginRefused_ = false;   // the pass noted a refused login (77)
  bool loggedIn_ = false;       // the pass's server accepted the login
  bool formDestroyed_ = false;
  bool headlessSetup_ = false;  // a configuration run without a display
  int stopRequests_ = 0;        // how many stops were asked for
  bool inFormDestroy_ = false;
  bool firstShown_ = false;
  bool inActivate_ = false;
  bool closing_ = false;
};
