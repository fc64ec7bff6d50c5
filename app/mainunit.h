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
// reply exchange), smtp_pass.cpp, pop3_pass.cpp, dialling.cpp, cycle.cpp;
// mainwindow.cpp builds the controls.
#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/configfile.h"
#include "dialup/Rascomp32.h"
#include "launcher/appexec.h"
#include "net/Sockets.h"

class QLabel;
class TGauge;
class TIcon;
class TErrorBox;
class TfSetup;
namespace winsock { class Service; }
namespace ras { class Service; }
namespace proc { class Service; }
namespace plat { class WindowList; }

// The outside world of a TMain. Null members select the platform's real
// services; tests give their own to inject faults. `terminate` ends the
// process (default: exit code 0); tests make it throw TMainTerminated.
struct TMainServices {
  std::shared_ptr<winsock::Service> sockets;
  std::shared_ptr<ras::Service> ras;
  std::shared_ptr<proc::Service> processes;
  std::shared_ptr<plat::WindowList> windows;
  std::function<void()> terminate;
};

// What a test's `terminate` throws to stand for the end of the process.
struct TMainTerminated {};

class TMain : public QWidget {
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
  // True when the first argument, upper-cased, is "/SETUP".
  bool IsSetupRun() const;

  // ---- Log and status display (status.cpp) ----
  void WriteLog(const std::string& text);
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
  void WaitForState(uint8_t target);
  void SendCommand(const std::string& command);
  bool ReadReply(std::string& reply, bool show);
  bool ReadOK();
  uint16_t ReadCode();
  void ReportError(const std::string& text);
  void SockErrorOccurred(TSockets* Sender, int32_t Error, const std::string& Msg);
  static int32_t SecondsNow();
  // Splits a server value "host" or "host:port"; a plain host keeps
  // defaultPort.
  static std::pair<std::string, uint16_t> ServerAddress(const std::string& value, uint16_t defaultPort);

  // ---- SMTP send pass (smtp_pass.cpp) ----
  void SendMail();
  bool OpenFileRetry(std::FILE*& file, const std::string& name, char mode);
  bool RemoveFile(const std::string& name);
  // Releases the send pass's read buffer if it is allocated.
  void FreeReadBuffer();
  // [smtp section: the send pass adds its own members below this line]
  static constexpr std::size_t kOutboundMax = 499;
  static constexpr std::size_t kReadBufferSize = 65000;
  // Base names of the outbound pairs found by the last collection.
  std::vector<std::string> OutboundList;
  // One buffer for every work file of a connection. A file is read through
  // it chunk after chunk: ReadPos counts from 1 (0 before the first byte),
  // ReadEnd is set when the data ended (end of file, byte 0 or 26, or a read
  // error, which also sets ReadFailed).
  std::unique_ptr<char[]> ReadBuffer;
  uint16_t ReadLoaded = 0;
  uint16_t ReadPos = 0;
  bool ReadEnd = false;
  bool ReadFailed = false;
  std::FILE* ReadSource = nullptr;  // the file being read; not owned
  bool ReadMore = false;            // the last chunk filled the buffer
  // Starts reading `file` (left open by the caller) into ReadBuffer.
  void LoadFile(std::FILE* file);
  // The next line of the file being read; lines longer than 201 characters
  // are cut, the rest following as the next line.
  std::string ReadBufferLine();
  // Message body bytes not yet handed to the socket; SendCommand sends them
  // in the same send as its command.
  std::string PendingOutput;
  // [end smtp section]

  // ---- POP3 receive pass (pop3_pass.cpp) ----
  void ReceiveMail();
  // [pop3 section]
  // One message of a receive pass: draws its number, retrieves it into the
  // incoming directory, then files it (".TXT", then ".WRK", then DELE) or
  // discards it. Sets `abort` when the message failed; appends the paths of
  // a filed pair to `filed`.
  void ReceiveOneMessage(int32_t number, int32_t count, bool& abort, std::vector<std::string>& filed);
  // How the lines of a retrieved message ended: with the end line; with a
  // failed read (the connection is gone); or with a line longer than the
  // socket's buffer, after which the rest of the message was read and
  // dropped so the dialogue can go on.
  enum class TMessageEnd { Complete, Broken, Overlong };
  // The line loop of one retrieved message, up to its end line, written to
  // `text`. Sets `zorvik` when a header line is one of the Zorvik subjects.
  TMessageEnd ReadMessageLines(int32_t number, std::FILE* text, bool& zorvik);
  // ReadReply with show false for one message line, without pumping the
  // queue first: the line loop pumps every 101 lines, and the socket pumps
  // whenever it waits for data.
  bool ReadMessageLine(std::string& line);
  // Commands whose replies are not read yet, in the order they were sent:
  // DELEs (their replies are not examined, so they are read once the next
  // command has gone out) and at most one RETR sent ahead as soon as the
  // message before it was read whole, so the server prepares the next
  // message while this one is being filed.
  struct TOwedReply {
    bool retrieve;
    int32_t number;
  };
  std::deque<TOwedReply> OwedReplies;
  // Sends RETR `number` unless it was sent ahead, then reads the owed
  // replies before its own; RETR's own reply is left for the caller.
  void RequestMessage(int32_t number);
  // Reads every owed reply; a message asked for ahead and no longer wanted
  // is read past to its end line.
  void ReadOwedReplies();
  // [end pop3 section]

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
  // [dialling section]
  // [end dialling section]

  // ---- Transfer cycle (cycle.cpp) ----
  void SendAndReceive();
  void AutoRunTimer();
  void icnUpOffDblClick();
  void icnDownOffDblClick();
  void Shell(const std::string& path, bool wait);
  // [cycle section]
  // A cycle, or a manual pass, is in progress. A close request made then
  // waits (CloseRequested) until that work has returned.
  bool CycleRunning = false;
  bool PassRunning = false;
  bool CloseRequested = false;
  // Closes the window when a close request waited for the work to end.
  void CloseIfRequested();
  // [end cycle section]

  const TMainServices& Services() const { return services_; }

 protected:
  void showEvent(QShowEvent* e) override;
  void changeEvent(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildControls();  // mainwindow.cpp
  void WireEvents();     // startup.cpp
  // Ends the process: FormDestroy unless already inside it, then exit 0.
  [[noreturn]] void Terminate();

  TMainServices services_;
  bool formDestroyed_ = false;
  bool inFormDestroy_ = false;
  bool firstShown_ = false;
  bool inActivate_ = false;
  bool closing_ = false;
};
