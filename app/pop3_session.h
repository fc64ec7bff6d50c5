// TPop3Session: the POP3 conversation of one receive pass, from the
// server's greeting to QUIT, over a connection its host has opened. It asks
// the server's capabilities, logs in, retrieves the messages, files each
// Zorvik message in the incoming directory as a numbered pair (TInboundFiler;
// COUNTER advances in the host's configuration), and deletes from the server
// what it filed (and, with DELETEALL, what was not for Zorvik). The host owns
// the socket, the controls and the log.
//
// Server replies and message lines are untrusted: a message is streamed to
// its file through a fixed buffer, never held whole, and bounded by MAXSIZE;
// listings are bounded in lines.
//
// Exactly once: DELE only marks a message, the server removes it when it
// processes QUIT, and QUIT goes out only after every pair filed in this pass
// is on stable storage and visible. Where the server gives unique ids (UIDL),
// TUidState records what was filed before QUIT, so a message filed in a pass
// cut off before QUIT's reply is deleted, not filed again, next time.
//
// Commands go out strictly one at a time, each after the reply to the one
// before, unless the server lists PIPELINING in its capabilities; then LIST
// goes out with UIDL, and the retrievals of the next messages are sent ahead
// within a window bounded by their listed sizes and their number.
//
// Error convention: every failure is reported through the host's
// ReportError; after a failed message the rest are left on the server.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/inbound.h"
#include "app/uid_state.h"
#include "config/configfile.h"

class TPassHost;
namespace plat { class FilingService; }

// What a receive pass needs besides the configuration record.
struct TPop3Options {
  // Where the id record (ZVMAIL32.UID) lives, with its trailing "/".
  std::string programDir;
  // The server as connected to, "host:port" (the host in lower case): the
  // mailbox's name in the id record, with the user.
  std::string server;
  // Messages larger than this many bytes are left on the server; 0: no limit.
  uint64_t maxSize = 100000000;
  // The file system the filing goes through; null: the real one.
  std::shared_ptr<plat::FilingService> files;
  // TLS: from the first byte (IMPLICIT) or after STLS (STARTTLS); the
  // server's certificate must name `peerName`.
  TTlsMode tls = TTlsMode::No;
  std::string peerName;
  uint16_t port = 0;
  std::string caFile;
  // The login: USER/PASS, or AUTH by a mechanism of CAPA's SASL line
  // (POP_AUTH). `password` is an OAuth2 access token when `token` is set.
  TAuthMech mechanism = TAuthMech::Default;
  bool token = false;
  std::string password;
  // After the server refused the token: a fresh one for one more AUTH; false
  // when none could be had (the callee reported why). Null: no second try.
  std::function<bool(std::string& token)> freshToken;
};

// How a POP3 server answered a login (USER, PASS or AUTH). Untrusted reply;
// "" is none (the connection dropped, timed out or was closed for a stop).
// Only a refusal of the credentials is Refused (77); "-ERR [IN-USE]" (another
// session holds the mailbox), "-ERR [SYS/TEMP]" and "-ERR [LOGIN-DELAY]"
// (RFC 2449, RFC 3206), no reply and anything that is not "-ERR" are worth a
// later try (75).
enum class TLoginAnswer { Accepted, Refused, InUse, Temporary, NoReply };
TLoginAnswer JudgeLoginReply(const std::string& reply);

class TPop3Session {
 public:
  TPop3Session(TPassHost& host, TPop3Options options);

  // Runs the conversation up to QUIT (not sent when the greeting was
  // refused, the connection broke or the filed files could not be made
  // durable). The host closes the connection.
  void Run();
  // A completely retrieved message of this pass was a Zorvik message.
  bool GotZorvikMail() const { return gotZorvikMail_; }
  // The server refused the token and closed the connection; the fresh token
  // is in `Options().password` for a second try on a new connection.
  bool RetryOnNewConnection() const { return retryOnNewConnection_; }
  const TPop3Options& Options() const { return options_; }

  // With pipelining, retrievals are sent ahead while those outstanding hold
  // fewer than kWindowBytes by their listed sizes and number fewer than
  // kWindowMessages. A size not listed counts as kUnlistedBytes.
  static constexpr uint64_t kWindowBytes = 256 * 1024;
  static constexpr int kWindowMessages = 64;
  static constexpr uint64_t kUnlistedBytes = kWindowBytes / 16;


 private:
  // How the lines of a retrieved message ended.
  enum class TMessageEnd {
    Complete,  // the end line came
    Broken,    // a read failed: the connection is gone
    Overlong,  // a line did not fit the socket's buffer; read past to the end
    TooLarge,  // more than MAXSIZE bytes read; read past to the end
  };
  // What the pass does with message n, decided from the id record and sizes.
  enum class TAction { Retrieve, DeleteFiled, DeleteOther, Skip, SkipLarge };
  enum class TCommand { Retrieve, Delete };
  struct TOwed {
    TCommand command;
    int32_t number;
  };

  // CAPA; false when the dialogue cannot go on (reported).
  bool ReadCapabilities();
  // STLS and the TLS handshake; false when the pass cannot go on (`quit`:
  // whether QUIT may still be sent).
  bool StartTls(bool& quit);
  // The login, STAT, UIDL, LIST and the messages.
  void Dialogue();
  // USER and PASS, or AUTH; false when the dialogue cannot go on.
  bool Login();
  bool SaslLogin(TAuthMech mech);
  bool ReadIds(int32_t count);
  bool ReadSizes(int32_t count);
  TAction ActionFor(int32_t number) const;
  // The size of message `number` from LIST, else as recorded when it was
  // left for its size; 0 when not known.
  uint64_t KnownSize(int32_t number) const;
  // Larger than MAXSIZE by what is known of its size (`leftLarge`: recorded
  // as left for its size).
  bool LargerThanMax(int32_t number, bool leftLarge) const;
  // The time a message of `size` bytes (0: not known) earns beyond the
  // reply limit.
  std::chrono::milliseconds MessageAllowance(uint64_t size) const;
  // Leaves message `number` on the server for its size: counted for the
  // pass, logged and recorded (with its size) unless recorded so already.
  void LeaveLarge(int32_t number, uint64_t size);
  void HandleMessage(int32_t number, int32_t count);
  void Retrieve(int32_t number);
  // The lines of message `number` after its status line, filed when
  // `wanted` (else read past); bounded by MAXSIZE in bytes read.
  TMessageEnd ReadMessageLines(int32_t number, bool wanted, bool& zorvik);
  // Sends DELE (queued when pipelining; otherwise its reply is read now).
  void Delete(int32_t number);
  // Pipelining: sends the commands of the messages after `current` within
  // the window.
  void SendAhead(int32_t current, int32_t count);
  // What retrieval `number` counts for in the window: its listed size.
  uint64_t WindowShare(int32_t number) const;
  // A retrieval enters or leaves the window.
  void Outstanding(int32_t number, int change);
  // Sends what is queued, then reads the owed replies in order up to the
  // one of RETR `number` (left for the caller); with `number` 0, every owed
  // reply, reading past the messages asked for and no longer wanted.
  void ReadOwed(int32_t number);
  void ReadDeleteReply(int32_t number);
  // The lines of a multi-line reply to `command` after its status line, up
  // to ".", with the stuffed dot removed; at most `limit` lines are passed
  // on. False when the connection failed, or the listing did not end within
  // bounds (reported; the connection is closed).
  bool ReadListing(const char* command, std::size_t limit, const std::function<void(const std::string&)>& each);
  // Flushes, records and publishes what was filed, saves COUNTER, sends
  // QUIT and erases the record of what the server has deleted.
  void Finish();
  // The id UIDL gave message `number`; empty when none (or not unique).
  const std::string& UidOf(int32_t number) const;
  // Records a temporary envelope the filer made (TInboundFiler::TRecord).
  bool RecordBegun(const std::vector<std::pair<uint16_t, uint64_t>>& made);
  // Reads and judges the reply to USER or PASS (LoginJudged).
  bool LoginAnswered(const char* refusal);
  // The one judgement of a login reply, of USER, PASS or AUTH ("" when none
  // came): true when accepted; otherwise reported with its cause, 77 only for
  // refused credentials (`refusal`), 75 for the rest (`unfinished`: none came).
  bool LoginJudged(const std::string& reply, const std::string& refusal, const std::string& unfinished);

  TPassHost& host_;
  TPop3Options options_;
  TInboundFiler filer_;
  TUidState ids_;
  bool pipelining_ = false;
  bool offersStls_ = false;
  std::vector<std::string> saslMechanisms_;  // CAPA's SASL line, upper-cased
  bool retryOnNewConnection_ = false;
  bool useIds_ = false;  // the record is loaded and the server gave UIDL
  std::vector<std::string> uids_;  // by message number (0 unused)
  std::vector<uint64_t> sizes_;    // by message number, from LIST
  std::map<uint16_t, std::string> keptUid_;  // file number -> id
  std::vector<std::string> deleted_;         // ids whose DELE the server took
  std::deque<TOwed> owed_;
  int32_t nextAhead_ = 1;
  int outstandingRetrievals_ = 0;
  uint64_t outstandingBytes_ = 0;
  uint16_t counterAtStart_ = 0;
  int32_t messages_ = 0;     // in the mailbox, as STAT said
  bool totalFits_ = false;   // STAT's total is no more than MAXSIZE
  uint64_t lastRead_ = 0;    // bytes read of the last message read
  int largeLeft_ = 0;        // messages left for their size in this pass
  uint64_t largeBytes_ = 0;  // and their sizes as known
  std::string recordError_;  // why the id record could not be written
  bool unrecorded_ = false;  // envelopes are made without the record
  bool abort_ = false;
  bool gotZorvikMail_ = false;
  int spinner_ = 0;  // 1 to 4 once it turned
};
