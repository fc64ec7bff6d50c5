// The configuration file "ZVMAIL32.INI" beside the program: read at start
// into a TConfig, written back at every end of the program and when the
// dialog saves. A rewrite changes only what the program changed since it
// read the file (COUNTER, the dialog's values) in the file as it is on disk
// then: lines the operator edited, added or commented meanwhile stay.
// Errors: nothing throws. ReadConfig reports what is wrong with the file in
// TReadState (problems in words, unknown keys, an unreadable file) and
// leaves defaults where it could not read; WriteConfig returns false with a
// reason, the file then whole with its old content (or the new one when only
// the final flush of its directory failed). The file holds passwords: a
// rewritten one is always mode 0600.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/filing.h"

// How a connection is secured: NO (plain), STARTTLS (upgraded after the
// greeting), IMPLICIT (TLS from the first byte). Invalid: any other text.
enum class TTlsMode { No, StartTls, Implicit, Invalid };

// How a pass logs in (SMTP_AUTH, POP_AUTH). Default: the key is absent, so
// the choice follows the credentials configured. Invalid: any other text.
enum class TAuthMech { Default, User, Plain, Login, XOAuth2, OAuthBearer, Invalid };

// The SASL name of a mechanism ("XOAUTH2"); "USER" for User, "" for Default.
const char* AuthMechName(TAuthMech mech);
inline bool IsTokenMech(TAuthMech mech) { return mech == TAuthMech::XOAuth2 || mech == TAuthMech::OAuthBearer; }

// MAXSIZE when the file does not set it: 100 MB.
inline constexpr uint64_t kDefaultMaxSize = 100000000;

// The configuration record: one field per key.
struct TConfig {
  std::string SMTP, POP, USERNAME, PASSWORD, ROBOT, IN, OUT;
  uint16_t COUNTER = 0;
  bool LOG = false;
  std::string LOGFILE;
  bool DELETEALL = false, DEBUG = false, DIAL = false, HANGUP = false;
  std::string CONNECTION, LOGIN_ID, LOGIN_PWD, RETRIES;
  uint16_t DaemonPeriod = 60;  // seconds, from DAEMON
  bool DaemonMode = false;     // a DAEMON key was read (or the dialog set it)

  // Optional keys, kept as read ("" when absent) so they are written back as
  // they stood; a key is written only when it holds a value. SMTP_TLS and
  // POP_TLS are upper-cased; the others keep their case.
  std::string SMTP_TLS, POP_TLS;
  std::string SMTP_USERNAME, SMTP_PASSWORD;
  std::string TLS_CA_FILE;  // an absolute path
  std::string MAXSIZE;      // decimal bytes; 0 = no limit
  // Logins: the mechanisms, the OAuth2 client and its endpoints, and the
  // commands that give a secret instead of the key without "_COMMAND".
  // Values of these keys are kept whole (a refresh token or a command is
  // often longer than 255 bytes).
  std::string SMTP_AUTH, POP_AUTH;  // upper-cased
  std::string OAUTH_TOKEN_URL, OAUTH_DEVICE_URL, OAUTH_CLIENT_ID, OAUTH_CLIENT_SECRET, OAUTH_SCOPE;
  std::string OAUTH_REFRESH_TOKEN, OAUTH_TOKEN_COMMAND;
  std::string PASSWORD_COMMAND, SMTP_PASSWORD_COMMAND, LOGIN_PWD_COMMAND, OAUTH_CLIENT_SECRET_COMMAND;

  // SMTP_TLS and POP_TLS as modes ("" is No).
  TTlsMode SmtpTls() const;
  TTlsMode PopTls() const;
  // The largest POP3 message that is filed, in bytes; 0 = no limit.
  // kDefaultMaxSize when MAXSIZE is empty or not a number.
  uint64_t MaxMessageSize() const;
  // SMTP_AUTH and POP_AUTH as mechanisms ("" is Default).
  TAuthMech SmtpAuth() const;
  TAuthMech PopAuth() const;
  // An OAuth2 access token can be had: OAUTH_TOKEN_COMMAND or OAUTH_TOKEN_URL.
  bool HasTokenSource() const;
  // The pass logs in with an access token instead of a password: its
  // mechanism says so, or is not set while a token source is configured.
  bool SmtpUsesToken() const;
  bool PopUsesToken() const;
};

// Run-state that ReadConfig sets beside the record.
struct TReadState {
  bool ConfigIncomplete = false;  // a required key is empty, or any problem below
  uint16_t TickCount = 0;
  bool DialPending = true;
  // The file exists but could not be read (permissions, a directory of that
  // name, an I/O error). Such a file is never rewritten.
  bool ConfigUnreadable = false;
  // What is wrong, in words, each naming its key or the file, e.g.
  // "SMTP is empty" or "MAXSIZE is not a number". Empty when the record is usable.
  std::vector<std::string> Problems;
  // The keys of lines that set nothing (the text before the first blank, TAB
  // or "=", never the value), in file order, at most 100 of at most 255
  // bytes each. Untrusted bytes from the file. Blank lines, [section] lines
  // and the writer's own notice and ";DAEMON" lines are not listed.
  std::vector<std::string> UnknownKeys;
  // What --check reports beyond the problems, although a run goes on as the
  // file says: lines that set nothing but look like keys ("POP_TSL:
  // unknown key; did you mean POP_TLS?"), a TAB or "=" after a key, DAEMON
  // values that are not plain seconds (errors); a password that would go
  // without TLS (a warning). At most 100, each naming its line (0: none).
  struct TFinding {
    int line = 0;
    std::string text;
    bool warning = false;
  };
  std::vector<TFinding> Findings;
};

// The file's name inside the program directory.
inline const char* const kConfigFileName = "ZVMAIL32.INI";
// The OAuth2 token state beside it (refresh token, access token, expiry).
inline const char* const kTokenFileName = "ZVMAIL32.TOK";
inline const char* const kDefaultLogName = "ZVMAIL32.LOG";

// Reads programDir + "ZVMAIL32.INI" into `cfg` and fills `state`. First resets
// SMTP, POP, USERNAME, PASSWORD, ROBOT, IN, OUT, COUNTER, LOG, DEBUG,
// DELETEALL, the daemon settings and the optional keys; the other fields keep
// their values unless the file sets them. Untrusted input: any line, however
// long, is accepted, in a file of up to 1 MiB; a UTF-8 byte-order mark at
// the start is skipped; a file holding NUL bytes (UTF-16, say) is not 8-bit
// text and counts as unreadable. programDir ends with "/".
void ReadConfig(const std::string& programDir, TConfig& cfg, TReadState& state);
// ReadConfig of a file holding `bytes`, without a file.
void ParseConfigText(const std::string& bytes, const std::string& programDir, TConfig& cfg, TReadState& state);
// The problems ReadConfig finds in programDir's file (see TReadState::Problems).
std::vector<std::string> ConfigProblems(const std::string& programDir);
// The problems of a record as ReadConfig would find them in a file holding it.
std::vector<std::string> RecordProblems(const TConfig& cfg);

// What `cfg` holds, as the text of a configuration file: with no file
// (`disk` empty) the writer's 32 lines, CR LF (IN and OUT as they stand;
// file names are case-sensitive here), then MAXSIZE and a [Security]
// section for the optional keys that hold a value. Otherwise `disk` with the
// lines of the keys whose line differs between `before` and `cfg` set (all
// keys when `before` is null; a key whose value became empty loses its
// lines), and a line added for each key of the 32 lines that `disk` lacks
// (its default), in its section; every other line stays as it is. Untrusted
// input; never fails. programDir gives LOGFILE's default.
std::string MergeConfigText(const std::string& disk, const TConfig* before, const TConfig& cfg,
                            const std::string& programDir);

// Writes `cfg` into programDir + "ZVMAIL32.INI" as MergeConfigText says,
// against the file as it is now. The file is replaced atomically, so readers
// see the old content or the new, never a part; a link named ZVMAIL32.INI is
// followed and its target replaced. Nothing is written when the text would
// not change. Refuses (false) when the current file exists but cannot be
// read or is not 8-bit text, and leaves a read-only file (or one in a
// read-only directory) as it was (false; `readOnly`, when given, set).
// `reason` (may be null) gets why it failed.
bool WriteConfig(const std::string& programDir, const TConfig& cfg, std::string* reason = nullptr,
                 const TConfig* before = nullptr, bool* readOnly = nullptr);

// The configuration file of one instance as the program keeps it: what was
// read last (the base of a rewrite) and how the file stood then, so a change
// on disk shows.
class TConfigStore {
 public:
  explicit TConfigStore(std::string programDir) : dir_(std::move(programDir)) {}
  // ReadConfig; remembers the record read and the file's state.
  void Read(TConfig& cfg, TReadState& state);
  enum class TSaved { Written, ReadOnly, Failed };
  // WriteConfig of what changed since the last Read or Write.
  TSaved Write(const TConfig& cfg, std::string& why);
  // The file was changed, replaced, made or removed since the last Read or
  // Write (by someone else).
  bool ChangedOnDisk() const;
  // The program goes on with `cfg` (not with what the last Read gave): a
  // later Write changes only what differs from it.
  void Rebase(const TConfig& cfg) { before_ = cfg; }

 private:
  struct TStamp {
    bool exists = false;
    plat::FileIdentity id;
    bool operator==(const TStamp&) const = default;
  };
  TStamp Now() const;

  std::string dir_;
  TConfig before_;
  bool haveBefore_ = false;
  TStamp stamp_;
};

// The keys the file knows, upper case, in the writer's order.
std::vector<std::string> KnownConfigKeys();

// Splits an SMTP or POP value into host and port: "host", "host:port",
// "a.b.c.d:port", "[IPv6]", "[IPv6]:port", or a bare IPv6 literal ("::1":
// more than one colon, no brackets) which is all host. The port defaults to
// `defaultPort`; the host comes back without brackets. False (host and port
// untouched) for a malformed value: empty host, unclosed bracket, a port
// outside 1..65535, an invalid IPv6 literal, blanks or controls in the host.
bool SplitServerValue(const std::string& value, uint16_t defaultPort, std::string& host, uint16_t& port);
