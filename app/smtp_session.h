// TSmtpSession: the SMTP conversation of one send pass, from the server's
// greeting to QUIT, over a connection its host has opened. It submits the
// outbound pairs it is given in order and removes each pair the server
// accepted (envelope first, then text); a pair that fails stays for the next
// pass. The host owns the socket, the controls and the log.
//
// Error convention: every failure is reported through the host's
// ReportError and ends the message or the conversation; nothing throws.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/sent_pairs.h"
#include "app/workfile.h"
#include "config/configfile.h"

class TPassHost;
namespace plat { class FilingService; }

// How a send pass greets and secures its connection. With neither TLS nor a
// user name the conversation is the plain one (HELO); otherwise EHLO, then
// STARTTLS and EHLO again (STARTTLS), then AUTH (a user name). After EHLO the
// pairs go as the server allows: whole transactions sent ahead with BDAT
// (CHUNKING and PIPELINING), commands grouped (PIPELINING), or lock-step.
struct TSmtpOptions {
  TTlsMode tls = TTlsMode::No;
  // The host as connected to: the name the server's certificate must bear.
  std::string peerName;
  uint16_t port = 0;
  std::string caFile;
  // `password` is an OAuth2 access token when `token` is set.
  std::string username, password;
  TAuthMech mechanism = TAuthMech::Default;  // SMTP_AUTH
  bool token = false;
  // After the server refused the token: a fresh one for one more AUTH; false
  // when none could be had (the callee reported why). Null: no second try.
  std::function<bool(std::string& token)> freshToken;
  // Pairs sent before whose files stayed in OUT (not sent again), and where
  // a pair whose removal fails after the server took it is recorded; null:
  // no record.
  TSentPairs* sent = nullptr;
  // The file system the removals go through; null: the real one.
  std::shared_ptr<plat::FilingService> files;
};

class TSmtpSession {
 public:
  // `dir`: the outbound directory with its trailing "/"; `bases`: the base
  // names of the pairs to send, in order.
  TSmtpSession(TPassHost& host, std::string dir, std::vector<std::string> bases, TSmtpOptions options = {});
  ~TSmtpSession();
  TSmtpSession(const TSmtpSession&) = delete;
  TSmtpSession& operator=(const TSmtpSession&) = delete;

  // Runs the conversation up to QUIT (not sent when the greeting was
  // refused or the connection broke). The host closes the connection.
  void Run();
  // The server refused the token and closed the connection; the fresh token
  // is in `options.password` for a second try on a new connection.
  bool RetryOnNewConnection() const { return retryOnNewConnection_; }
  const TSmtpOptions& Options() const { return options_; }

 private:
  // The greeting after the server's: HELO, or EHLO with STARTTLS and AUTH.
  // False when the conversation cannot go on; `quit` then says whether QUIT
  // is still to be sent.
  bool Handshake(bool& quit);
  // EHLO and its keywords (STARTTLS, AUTH mechanisms, PIPELINING, CHUNKING).
  bool Ehlo();
  bool Authenticate();
  // A pair ready to go: its envelope read and its text open; or why not.
  struct TOutbound {
    std::string base, wrkName, txtName, sender, recipient;
    std::FILE* text = nullptr;
    TSentPairs::TFile wrk, txt;  // the files as opened
    std::string error;
    std::string reply;  // the server's final reply when it took the text
    bool Ready() const { return text != nullptr; }
  };
  // Logs "Sending <base>" and opens the pair at `position`. A pair sent
  // before, or one this process could not remove afterwards, is not made
  // ready: the server must never get a pair twice.
  TOutbound Prepare(std::size_t position);
  // Closes the pair's text; when accepted, logs the server's reply and
  // removes the pair (envelope first). Files that cannot be removed go
  // into the record of sent pairs.
  void Done(TOutbound& pair, bool accepted);
  bool Remove(const std::string& path, std::string& why);
  // One pair, each command waiting for the reply to the one before:
  // MAIL FROM, RCPT TO, DATA, text, ".", removal, and RSET before the next.
  void SendPair(std::size_t position);
  // Every pair with commands grouped as PIPELINING allows.
  void RunPipelined();
  void QueueGroup(const TOutbound& pair);
  // With CHUNKING and PIPELINING (RFC 3030, 2920): each pair's MAIL FROM,
  // RCPT TO and its text as BDAT chunks, the next pairs' transactions sent
  // without waiting while fewer than kMaxPairsInFlight pairs and
  // kMaxBytesInFlight text bytes await their replies. A pair is removed once
  // its last chunk's 250 came; one refused, or still in flight when the
  // connection broke, stays (smtp_chunking.cpp).
  void RunChunked();
  // Queues RSET (not before the first), MAIL FROM, RCPT TO and the text of
  // pair `position`, reading owed replies whenever the text would pass the
  // byte bound.
  void QueueTransaction(std::size_t position);
  // Reads the oldest owed reply and judges it for the oldest pair in
  // flight, which is done at its last chunk's reply.
  void ReadOwedReply();
  // Sends what is queued and reads every owed reply; pairs left without
  // their last chunk's reply stay.
  void DrainOwed();
  // The text as the DATA section; false (the conversation ends) when it
  // could not be read whole.
  bool SendText(TOutbound& pair);
  // Appends lines of the open text to `out` until it holds a send's worth
  // or the text ends: blanks trimmed, every line ended by CR LF, a leading
  // dot doubled when `stuff` (DATA, not BDAT).
  void AppendText(std::string& out, bool stuff);
  // Reads and judges the reply to the final "." of pair `position`; the
  // reply's last line goes into `pair`.
  bool AcceptedEnd(std::size_t position, TOutbound& pair);
  // The text of the open work file as the DATA section: blanks trimmed, a
  // leading dot doubled, every line ended by CR LF.
  void SendBody();
  // The reply code is the one expected: a first digit (2) or first two
  // digits (25, 35). A 4xx reply notes a temporary failure of the run.
  bool Accepted(uint16_t code, int expected);

  TPassHost& host_;
  TSmtpOptions options_;
  int outDir_ = -1;  // OUT, held open for the removals
  std::string dir_;
  std::vector<std::string> bases_;
  TWorkFileReader reader_;
  // The text could not be read whole: the conversation ends without its
  // terminating dot, so the server discards the unfinished message.
  bool readFailed_ = false;
  int spinner_ = 0;
  int spinnerLines_ = 0;  // lines of the current text since the spinner turned
  std::string line_;      // the text's line being sent
  // What EHLO's reply offered.
  bool offersStartTls_ = false;
  bool offersPipelining_ = false;
  bool offersChunking_ = false;
  std::vector<std::string> authMechanisms_;
  bool retryOnNewConnection_ = false;

  // Transactions sent ahead (RunChunked): the pairs awaiting their replies,
  // oldest first, and the replies owed, in the order the commands went out.
  static constexpr std::size_t kMaxPairsInFlight = 8;
  static constexpr std::size_t kMaxBytesInFlight = 1024 * 1024;
  struct TInFlight {
    TOutbound pair;
    std::size_t position;
    bool failed = false;  // a refusal was reported; later replies are read only
  };
  enum class TOwedKind { Reset, Mail, Recipient, Chunk, LastChunk };
  struct TOwedReply {
    TOwedKind kind;
    std::size_t bytes;  // of the chunk
  };
  std::deque<TInFlight> inFlight_;
  std::deque<TOwedReply> owedReplies_;
  std::size_t bytesInFlight_ = 0;
  bool transactionSent_ = false;
};
