// The command and reply exchange that both mail passes speak through.
#include <QLabel>
#include <algorithm>
#include <ctime>
#include <optional>

#include "app/exit_status.h"
#include "app/mainunit.h"
#include "app/replies.h"
#include "app/status_echo.h"
#include "config/textutil.h"
#include "platform/msgwindow.h"

namespace {

// The cause of a socket failure in words, for the log line naming the server.
std::string ConnectionFailureText(int32_t error, const std::string& msg, int32_t timeout) {
  switch (error) {
    case 0: return "host name not found";  // the one failure of a connect reported without a number
    case 10060: return "no reply within " + std::to_string(timeout) + " s";
    case 10061: return "connection refused";
    case 10054: return "connection reset by the server";
    case 10053: return "connection aborted";
    default: break;
  }
  // "Connection timed out" reads on as "connection timed out"; a word in
  // capitals ("TLS handshake ...") stays as it is.
  std::string text = msg;
  const bool capitalised = text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z');
  if (capitalised) text[0] = char(text[0] - 'A' + 'a');
  return text;
}

constexpr int32_t kTimedOut = 10060;
// A trace line's bytes in the log besides the reply line: time stamp,
// "DEBUG:R:", CR LF.
constexpr std::size_t kTraceLineOverhead = 29;

// Bound on the repetition of an Open that keeps failing with "address in use".
constexpr int kMaxAddressInUseRetries = 300;
constexpr int32_t kAddressInUse = 10048;
}  // namespace

std::string TMain::ServerKey(const std::string& host, uint16_t port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void TMain::OpenConnection(const std::string& host, uint16_t port) {
  CurrentServer = ServerKey(host, port);
  failureLogged_ = loginRefused_ = loggedIn_ = false;
  owed_.clear();
  queued_.clear();
  LastSockError = 0;
  SetCaption(lbError, "None");
  if (Sock.State != 0) {
    Sock.Close();
    WaitForState(0);
  }
  for (int attempt = 0;; ++attempt) {
    try {
      Sock.Open(NumToText(port, 0), host);
    } catch (const EConvertError& e) {
      ReportError(e.what());
      Sock.State = 3;
      return;
    }
    if (LastSockError != kAddressInUse || attempt + 1 >= kMaxAddressInUseRetries) return;
    LastSockError = 0;
  }
}

bool TMain::Converse(const std::string& host, uint16_t port, TIcon* icon, const std::function<bool()>& conversation) {
  // What the first connection's end noted does not count when the second
  // one is made for it.
  const int status = RunStatus;
  for (bool again = true; again;) {
    RunStatus = status;
    OpenConnection(host, port);
    WaitForState(1);
    if (LastSockError > 0) return false;
    SetIconVisible(icon, false);
    again = conversation();
    LogConnectionSecurity();
    PendingOutput.clear();
    Sock.Close();
    WaitForState(0);
    SetIconVisible(icon, true);
  }
  return true;
}

// The socket's connect and close complete before they return, so a socket
// already in the target state is shown and not waited for: a tick there
// would cost every pass two ticks and show nothing new.
void TMain::WaitForState(uint8_t target) {
  if (Sock.State == target) {
    ShowSocketState();
    return;
  }
  for (;;) {
    if (Sock.State == 3) return;
    WaitTick();
    ShowSocketState();
    if (Sock.State == 1 && target == 0) Sock.Close();
    if (Sock.State == target) return;
  }
}

void TMain::SendCommand(const std::string& command) {
  QueueCommand(command);
  FlushCommands();
}

// Queued commands join the body bytes already pending, so they never wait
// behind the peer's delayed acknowledgement of a separate small send. In the
// error state nothing is sent and lbCommand keeps its text.
void TMain::QueueCommand(const std::string& command) { Queue(command, command); }

void TMain::SendSecretCommand(const std::string& command, const std::string& shown) {
  Queue(command, shown);
  FlushCommands();
}

void TMain::Queue(const std::string& command, const std::string& shown) {
  if (Config.DEBUG) WriteLog("DEBUG:C:" + shown);
  if (Sock.State == 3) {
    PendingOutput.clear();
    return;
  }
  PendingOutput += command;
  PendingOutput += "\r\n";
  lastQueued_ = shown;
  queued_.push_back(shown);
}

void TMain::FlushCommands() {
  if (PendingOutput.empty()) return;
  if (Sock.State == 3) {
    PendingOutput.clear();
    queued_.clear();
    return;
  }
  // Replies in step: once every reply owed has been read, nothing may have
  // come before the next command goes out (a server's "250" to a message
  // text not yet ended would be taken for its acceptance). Commands sent
  // ahead owe replies that may well be waiting already.
  if (owed_.empty() && Sock.State == 1 && Sock.HasUnread()) {
    PendingOutput.clear();
    queued_.clear();
    ProtocolError(lastQueued_);
    return;
  }
  // Each reply to these must begin after what has come by now (where
  // nothing was owed, nothing has come beyond what was read).
  if (!queued_.empty()) {
    const uint64_t since = owed_.empty() ? Sock.Taken() : Sock.Arrived();
    for (std::string& command : queued_) owed_.push_back({since, std::move(command)});
    queued_.clear();
  }
  std::string out;
  out.swap(PendingOutput);
  Sock.SetText(out);
  // Painted while the peer works on the command.
  if (!lastQueued_.empty()) SetCaption(lbCommand, lastQueued_);
  lastQueued_.clear();
}

bool TMain::ReadReply(std::string& reply, bool show) {
  StartReplyTrace();
  ReplyTaken();
  return ReadReplyMasked(reply, show ? [](const std::string& line) { return line; }
                                     : std::function<std::string(const std::string&)>());
}

bool TMain::ReadChallenge(std::string& line) {
  StartReplyTrace();
  ReplyTaken();
  return ReadReplyMasked(line, [](const std::string& read) {
    const bool challenge = read.compare(0, 4, "334 ") == 0 || read.compare(0, 2, "+ ") == 0;
    const std::size_t text = read[0] == '+' ? 2 : 4;
    return challenge && read.size() > text ? read.substr(0, text) + "****" : read;
  });
}

void TMain::ReplyTaken() {
  if (owed_.empty()) return;
  const TOwedReply owed = std::move(owed_.front());
  owed_.pop_front();
  // A reply that begins with bytes which had come before its command went
  // out answers something else (a server ahead of the text it accepts).
  if (Sock.State == 1 && Sock.Taken() < owed.since) ProtocolError(owed.command);
}

void TMain::ProtocolError(const std::string& command) {
  owed_.clear();
  NoteFailure(zvexit::kTemporary);
  LogConnectionFailure("protocol error: a reply came before \"" + command + "\" was sent");
  SetCaption(lbError, "Protocol error");
  Sock.Close();
}

bool TMain::ReadReplyMasked(std::string& reply, const std::function<std::string(const std::string&)>& mask) {
  plat::PumpIfDue();
  bool read = false;
  if (Sock.State == 3) {
    reply.clear();
  } else {
    // A reply line is bounded as a whole, whatever trickles in; inside a
    // multi-line reply the bound of the whole reply holds.
    const bool own = !replyDeadline_;
    if (own) StartReplyDeadline();
    read = Sock.GetLine(reply);
    if (own) EndReplyDeadline();
    if (!read) NoteDroppedConnection();
  }
  const std::string shown = mask && read ? mask(reply) : reply;
  if (read && mask) SetCaption(lbResponse, shown);
  TraceReply(shown);
  return read;
}

void TMain::StartReplyTrace() {
  traceLeft_ = DataTraceLimit;
  traceCut_ = false;
}

void TMain::TraceReply(const std::string& line) {
  if (!Config.DEBUG) return;
  // However many lines a server sends, the trace of one reply is bounded,
  // counted as the log lines it makes.
  const std::size_t cost = line.size() + kTraceLineOverhead;
  if (cost <= traceLeft_) {
    traceLeft_ -= cost;
    WriteLog("DEBUG:R:" + line);
  } else if (!traceCut_) {
    traceCut_ = true;
    WriteLog("DEBUG:R:... (the rest of this reply is not traced)");
  }
}

bool TMain::ReadOK() {
  std::string reply;
  ReadReply(reply, true);
  return UpperText(reply.substr(0, 3)) == "+OK";
}

uint16_t TMain::ReadCode() {
  std::vector<std::string> lines;
  return ReadCodeLines(lines);
}

uint16_t TMain::ReadCodeLines(std::vector<std::string>& lines) {
  // The whole reply is bounded by the reply deadline from its start; the
  // calendar clock's bound on continuation lines is taken only when a
  // reply goes on.
  std::optional<int32_t> deadline;
  const bool own = !replyDeadline_;
  if (own) StartReplyDeadline();
  StartReplyTrace();
  ReplyTaken();
  const uint16_t code = ReadSmtpReply(
      [this](std::string& line) { return ReadReplyMasked(line, [](const std::string& read) { return read; }); },
      [&] {
        if (Sock.State != 1) return false;
        if (!deadline) deadline = SecondsNow() + 120;
        return SecondsNow() <= *deadline;
      },
      lines);
  if (own) EndReplyDeadline();
  return code;
}

uint16_t TMain::ReadDataEndCode(std::vector<std::string>& lines) {
  // The watchdog of each receive waits as long as the reply may take.
  const int32_t timeout = Sock.Timeout;
  const auto limit = std::max(DataEndLimit, ReplyLimit);
  Sock.Timeout = int32_t(std::chrono::ceil<std::chrono::seconds>(limit).count());
  BeginReply(limit - ReplyLimit);
  const uint16_t code = ReadCodeLines(lines);
  EndReply();
  Sock.Timeout = timeout;
  return code;
}

void TMain::StartReplyDeadline() {
  replyAllowance_ = ReplyLimit;
  replyDeadline_ = std::chrono::steady_clock::now() + ReplyLimit;
  Sock.SetReplyDeadline(*replyDeadline_);
}

void TMain::EndReplyDeadline() {
  replyDeadline_.reset();
  Sock.ClearReplyDeadline();
}

void TMain::BeginReply(std::chrono::milliseconds extra) {
  if (!wholeReplyStart_) wholeReplyStart_ = std::chrono::steady_clock::now();
  replyAllowance_ = ReplyLimit + extra;
  replyDeadline_ = *wholeReplyStart_ + replyAllowance_;
  Sock.SetReplyDeadline(*replyDeadline_);
}

void TMain::EndReply() {
  wholeReplyStart_.reset();
  EndReplyDeadline();
}

void TMain::ReportError(const std::string& text) {
  SetCaption(lbError, text);
  LogFailure(text);
}

void TMain::SockErrorOccurred(TSockets*, int32_t Error, const std::string& Msg) {
  Sock.State = 3;
  LastSockError = Error;
  NoteFailure(zvexit::kTemporary);
  // A time-out of the reply as a whole (the connection cannot go on in step)
  // or of one call.
  if (Error == kTimedOut && replyDeadline_ && std::chrono::steady_clock::now() >= *replyDeadline_) {
    const auto ms = replyAllowance_.count();
    LogConnectionFailure("no complete reply within " +
                         (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"));
  } else {
    LogConnectionFailure(ConnectionFailureText(Error, Msg, Sock.Timeout));
  }
  SetCaption(lbError, Msg);
}

void TMain::LogConnectionSecurity() {
  WriteLog(CurrentServer + (Sock.TlsSummary().empty() ? ": not secured (no TLS)" : ": secured by " + Sock.TlsSummary()));
}

void TMain::LogConnectionFailure(const std::string& cause) {
  if (failureLogged_) return;
  failureLogged_ = true;
  LogFailure(CurrentServer + ": " + cause);
}

namespace {

// From temporary to permanent: the most serious cause is the one told.
int MoreSerious(int a, int b) {
  static const int kOrder[] = {zvexit::kOk, zvexit::kTemporary, zvexit::kCannotCreate, zvexit::kNoPermission,
                               zvexit::kConfig};
  auto rank = [](int s) {
    for (int i = 0; i < 5; ++i)
      if (kOrder[i] == s) return i;
    return 1;
  };
  return rank(b) > rank(a) ? b : a;
}

}  // namespace

void TMain::NoteFailure(int status) {
  RunStatus = MoreSerious(RunStatus, status);
  if (status == zvexit::kNoPermission) loginRefused_ = true;
}

bool TMain::MayTry(const std::string& server) { return !Config.DaemonMode || Backoff.MayTry(server, BackoffClock()); }

void TMain::NoteLoginOutcome() {
  if (!Config.DaemonMode) return;
  if (loggedIn_) Backoff.LoggedIn(CurrentServer);
  if (!loginRefused_) return;
  const auto now = BackoffClock();
  const auto wait = Backoff.Refused(CurrentServer, now, std::chrono::seconds(Config.DaemonPeriod));
  if (Backoff.GivenUp(CurrentServer, now)) {
    LogFailure(CurrentServer + ": the login was refused for a day; stopping");
    EndWith(zvexit::kNoPermission);
    StopRequested = true;
    close();
    return;
  }
  const std::time_t at = std::time(nullptr) + std::time_t(wait.count());
  std::tm local{};
  localtime_r(&at, &local);
  std::string when = FormatLogLine(local, "");
  when = when.substr(0, when.find("  "));
  LogFailure(CurrentServer + ": the login was refused; the next attempt waits " + std::to_string(wait.count()) +
             " s, until " + when);
}

void TMain::EndWith(int status) { EndStatus = MoreSerious(EndStatus, status); }

int TMain::ExitStatus() const {
  if (IsSetupRun()) return zvexit::kOk;
  if (ConfigIncomplete) return zvexit::kConfig;
  if (Config.DaemonMode) return EndStatus;
  return MoreSerious(RunStatus, EndStatus);
}

int32_t TMain::SecondsNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int year = t.tm_year + 1900;
  // Days since 1 January 2000, with a leap day every fourth year (the count
  // stays within 32 bits until 2068).
  const int y = year - 2000;
  int32_t days = y * 365 + (y + 3) / 4 + kDaysBefore[t.tm_mon] + (t.tm_mday - 1);
  if (t.tm_mon > 1 && year % 4 == 0) ++days;
  return days * 86400 + t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

std::pair<std::string, uint16_t> TMain::ServerAddress(const std::string& value, uint16_t defaultPort) {
  std::string host;
  uint16_t port = defaultPort;
  // A malformed value makes the configuration incomplete, so no pass meets
  // one; should one come here all the same, it is tried as a name.
  if (!SplitServerValue(value, defaultPort, host, port)) return {value, defaultPort};
  return {host, port};
}

bool TMain::ReadDataLine(std::string& line) {
  bool read = false;
  if (Sock.State == 3) {
    line.clear();
  } else {
    // Every line of a message or listing is bounded like a reply line, and
    // inside a reply bounded as a whole by that bound.
    const bool own = !replyDeadline_;
    if (own) StartReplyDeadline();
    read = Sock.GetLine(line);
    if (own) EndReplyDeadline();
    if (!read) NoteDroppedConnection();
  }
  TraceReply(line);
  return read;
}

void TMain::PumpEvents() { plat::PumpOnce(); }

void TMain::NoteDroppedConnection() {
  // The server closed its end: no error event comes for that.
  if (Sock.State != 0) return;
  NoteFailure(zvexit::kTemporary);
  LogConnectionFailure("connection closed by the server");
}
