// TPassHost: what a pass conversation (TSmtpSession, TPop3Session) needs of
// the window that runs it: the command and reply exchange over the window's
// socket, the error report and the log, and the few status controls a
// conversation writes while it talks. TMain implements it; a test may
// implement it to drive a conversation without a window.
//
// Error convention: nothing here throws. Failures are reported through
// ReportError (shown and logged) and the conversation goes on or ends as its
// own rules say; read operations tell by their result whether a line came.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct TConfig;
class TSockets;

class TPassHost {
 public:
  virtual ~TPassHost() = default;

  // The configuration record (the receive pass advances COUNTER in it).
  virtual TConfig& PassConfig() = 0;
  // The connected socket: its State, and TLS.
  virtual TSockets& PassSocket() = 0;

  // The exchange: one command out (traced, shown), one reply line in.
  virtual void SendCommand(const std::string& command) = 0;
  // SendCommand for a command holding a secret: the trace and lbCommand get
  // `shown` instead (e.g. "AUTH PLAIN ****").
  virtual void SendSecretCommand(const std::string& command, const std::string& shown) = 0;
  virtual bool ReadReply(std::string& reply, bool show) = 0;
  virtual bool ReadOK() = 0;
  virtual uint16_t ReadCode() = 0;
  // ReadCode keeping the lines of the reply (for EHLO's keywords).
  virtual uint16_t ReadCodeLines(std::vector<std::string>& lines) = 0;
  // One reply line that may be a SASL challenge ("334 ..." or "+ ..."): a
  // challenge's text is shown and traced as "****", any other line as read.
  virtual bool ReadChallenge(std::string& line) = 0;
  // ReadCodeLines for the reply to the end of a message text, which a
  // server may take up to 10 minutes to give (RFC 5321 4.5.3.2).
  virtual uint16_t ReadDataEndCode(std::vector<std::string>& lines) = 0;
  // A command traced like SendCommand but handed to the socket only with
  // the next SendCommand or FlushCommands, so several leave in one send (for
  // a server that accepts commands sent ahead).
  virtual void QueueCommand(const std::string& command) = 0;
  virtual void FlushCommands() = 0;
  // One line of a message being retrieved: traced, not shown, no pump.
  virtual bool ReadDataLine(std::string& line) = 0;
  // Everything read from now until EndReply is one reply, bounded as a
  // whole: it must come within the reply limit plus `extra` (a message earns
  // time by its size), whatever trickles in, or the connection is cut. Called
  // again before EndReply, it changes `extra` and keeps the start.
  virtual void BeginReply(std::chrono::milliseconds extra) = 0;
  virtual void EndReply() = 0;
  // Bytes that go out as they stand, neither traced nor shown: a message
  // text, the POP3 password line.
  virtual void SendRaw(const std::string& bytes) = 0;
  // Bytes handed to the socket in front of the next command, so a body's
  // last bytes and the command after it leave in one send.
  virtual std::string& OutputQueue() = 0;

  virtual void ReportError(const std::string& text) = 0;
  virtual void WriteLog(const std::string& text) = 0;
  // A log line that tells of a failure (also shown to a person at a terminal).
  virtual void LogFailure(const std::string& text) { WriteLog(text); }
  // Writes the configuration file now (COUNTER advanced by the pass); false
  // with a reason in words.
  virtual bool SaveConfig(std::string& why) = 0;
  // The run did not complete for this reason (an exit status of
  // app/exit_status.h); the most serious one noted becomes the run's status.
  virtual void NoteFailure(int status) = 0;
  // The server accepted the login (a refused one is NoteFailure(77)).
  virtual void NoteLoggedIn() {}
  // The server of the connection as "host:port", for lines naming it.
  virtual std::string ServerName() const = 0;

  // Status controls a conversation writes: lbCommand, the progress gauge.
  virtual void ShowCommand(const std::string& text) = 0;
  virtual void ShowPercent(int percent) = 0;
  // Processes pending events once (every so many lines of a long message).
  virtual void PumpEvents() = 0;
  // The program was asked to stop: no further message is begun.
  virtual bool Stopping() const = 0;
};

// BeginReply for the life of the object; EndReply when it goes.
class TWholeReply {
 public:
  explicit TWholeReply(TPassHost& host, std::chrono::milliseconds extra = {}) : host_(host) { host_.BeginReply(extra); }
  ~TWholeReply() { host_.EndReply(); }
  TWholeReply(const TWholeReply&) = delete;
  TWholeReply& operator=(const TWholeReply&) = delete;

 private:
  TPassHost& host_;
};
