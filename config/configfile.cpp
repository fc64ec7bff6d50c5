#include "config/configfile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "config/configkeys.h"
#include "config/instance_files.h"
#include "config/safefile.h"
#include "config/secrets.h"
#include "config/textutil.h"

namespace {

constexpr std::size_t kMaxUnknownKeys = 100;
constexpr std::size_t kMaxFindings = 100;
constexpr std::size_t kMaxKeyLength = 255;

// Calls `each` with every line of `bytes`, without its end (LF, and any CR
// before it); a last line without an end counts.
void ForEachLine(const std::string& bytes, const std::function<void(const std::string&)>& each) {
  std::size_t start = 0;
  while (start < bytes.size()) {
    auto end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    each(line);
    start = end + 1;
  }
}

std::string KeyLine(const char* key, const std::string& value) {
  std::string line = key;
  if (line.size() < 11) line.append(11 - line.size(), ' ');
  return line + value;
}

// An optional key's line: none without a value; padded to 11 like the
// others, or one blank after a longer key.
std::string OptionalKeyLine(const char* key, const std::string& value) {
  if (value.empty()) return {};
  return std::strlen(key) < 11 ? KeyLine(key, value) : std::string(key) + " " + value;
}

const char* const kGeneral = "[General Information]";
const char* const kDialing = "[Auto Dialing]";
const char* const kAdvanced = "[Advanced Options]";
const char* const kSecurity = "[Security]";

using K = TConfigKey::TKind;

const std::vector<TConfigKey> kKeys = {
    {"SMTP", kGeneral, true, K::Text, &TConfig::SMTP},
    {"POP", kGeneral, true, K::Text, &TConfig::POP},
    {"USERNAME", kGeneral, true, K::Text, &TConfig::USERNAME},
    {"PASSWORD", kGeneral, true, K::Text, &TConfig::PASSWORD},
    {"ROBOT", kGeneral, true, K::Text, &TConfig::ROBOT},
    {"IN", kGeneral, true, K::Dir, &TConfig::IN},
    {"OUT", kGeneral, true, K::Dir, &TConfig::OUT},
    {"COUNTER", kGeneral, true, K::Counter},
    {"LOG", kGeneral, true, K::Flag, nullptr, &TConfig::LOG},
    {"LOGFILE", kGeneral, true, K::Text, &TConfig::LOGFILE},
    {"DELETEALL", kGeneral, true, K::Flag, nullptr, &TConfig::DELETEALL},
    {"DEBUG", kGeneral, true, K::Flag, nullptr, &TConfig::DEBUG},
    {"DIAL", kDialing, true, K::Flag, nullptr, &TConfig::DIAL},
    {"HANGUP", kDialing, true, K::Flag, nullptr, &TConfig::HANGUP},
    {"CONNECTION", kDialing, true, K::Text, &TConfig::CONNECTION},
    {"LOGIN_ID", kDialing, true, K::Text, &TConfig::LOGIN_ID},
    {"LOGIN_PWD", kDialing, true, K::Text, &TConfig::LOGIN_PWD},
    {"RETRIES", kDialing, true, K::Text, &TConfig::RETRIES},
    {"DAEMON", kAdvanced, true, K::Daemon},
    {"MAXSIZE", kAdvanced, false, K::Text, &TConfig::MAXSIZE},
    {"SMTP_TLS", kSecurity, false, K::Upper, &TConfig::SMTP_TLS},
    {"SMTP_USERNAME", kSecurity, false, K::Text, &TConfig::SMTP_USERNAME},
    {"SMTP_PASSWORD", kSecurity, false, K::Text, &TConfig::SMTP_PASSWORD},
    {"POP_TLS", kSecurity, false, K::Upper, &TConfig::POP_TLS},
    {"TLS_CA_FILE", kSecurity, false, K::Text, &TConfig::TLS_CA_FILE},
    {"SMTP_AUTH", kSecurity, false, K::Upper, &TConfig::SMTP_AUTH},
    {"POP_AUTH", kSecurity, false, K::Upper, &TConfig::POP_AUTH},
    // Logins: values taken whole (a refresh token or a command is often
    // longer than 255 bytes).
    {"OAUTH_TOKEN_URL", kSecurity, false, K::Whole, &TConfig::OAUTH_TOKEN_URL},
    {"OAUTH_DEVICE_URL", kSecurity, false, K::Whole, &TConfig::OAUTH_DEVICE_URL},
    {"OAUTH_CLIENT_ID", kSecurity, false, K::Whole, &TConfig::OAUTH_CLIENT_ID},
    {"OAUTH_CLIENT_SECRET", kSecurity, false, K::Whole, &TConfig::OAUTH_CLIENT_SECRET},
    {"OAUTH_CLIENT_SECRET_COMMAND", kSecurity, false, K::Whole, &TConfig::OAUTH_CLIENT_SECRET_COMMAND},
    {"OAUTH_SCOPE", kSecurity, false, K::Whole, &TConfig::OAUTH_SCOPE},
    {"OAUTH_REFRESH_TOKEN", kSecurity, false, K::Whole, &TConfig::OAUTH_REFRESH_TOKEN},
    {"OAUTH_TOKEN_COMMAND", kSecurity, false, K::Whole, &TConfig::OAUTH_TOKEN_COMMAND},
    {"PASSWORD_COMMAND", kSecurity, false, K::Whole, &TConfig::PASSWORD_COMMAND},
    {"SMTP_PASSWORD_COMMAND", kSecurity, false, K::Whole, &TConfig::SMTP_PASSWORD_COMMAND},
    {"LOGIN_PWD_COMMAND", kSecurity, false, K::Whole, &TConfig::LOGIN_PWD_COMMAND},
};

// The value of a line as SplitKeyValue gives it, but not cut.
std::string WholeValue(const std::string& line) {
  const std::string t = TrimSpaces(line);
  const auto blank = t.find(' ');
  return blank == std::string::npos ? std::string() : TrimSpaces(t.substr(blank + 1));
}

// Sets the field `key` (upper case) names; false when no field has that name.
// `whole` is the line's value before the cut at 255 bytes.
bool ApplyKey(TConfig& cfg, const std::string& key, const std::string& value, const std::string& whole) {
  const TConfigKey* row = FindConfigKey(key);
  if (row == nullptr) return false;
  row->Set(cfg, row->kind == TConfigKey::TKind::Whole ? whole : value);
  return true;
}

// A line that sets no field, as far as the reader cares about it.
struct Unrecognised {
  bool listed = false;  // an unknown key (or a foreign comment)
  std::string key;      // the text before the first blank, TAB or "="
  char after = 0;       // what ended the key: ' ', '\t', '=' or 0 (the line's end)
};

Unrecognised ClassifyUnrecognised(const std::string& line) {
  Unrecognised u;
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return u;  // blank
  const std::string t = line.substr(first, line.find_last_not_of(" \t") - first + 1);
  if (t[0] == '[') return u;  // a section
  if (t == kNoticeLine1 || t == kNoticeLine2 || t == kDaemonOffLine) return u;
  u.listed = true;
  const auto keyEnd = t.find_first_of(" \t=");
  u.key = t.substr(0, keyEnd);
  if (keyEnd != std::string::npos) u.after = t[keyEnd];
  return u;
}

// Edit distance with transpositions ("POP_TSL" is one step from "POP_TLS").
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The known key closest to `key` (upper case), when it is close enough to
// be a slip of the hand; "" otherwise.
std::string ClosestKey(const std::string& key) {
  if (key.size() > 40) return {};
  std::string best;
  std::size_t bestDistance = 3;
  for (const TConfigKey& row : ConfigKeys()) {
    const std::size_t d = Distance(key, row.name);
    if (d < bestDistance && d * 2 < std::strlen(row.name)) {
      best = row.name;
      bestDistance = d;
    }
  }
  return best;
}

// What --check says of a line that set nothing; "" when it is no key at all
// (a comment, a blank line, a section). Untrusted text: the caller escapes it.
std::string FindingForUnrecognised(const Unrecognised& u) {
  if (!u.listed || u.key.empty() || u.key[0] == ';') return {};
  const std::string upper = UpperText(u.key);
  if (FindConfigKey(upper) != nullptr && (u.after == '\t' || u.after == '=')) {
    return u.key.substr(0, kMaxKeyLength) + ": " + (u.after == '\t' ? "a TAB" : "\"=\"") +
           " after the key sets nothing; write the key, a blank and the value";
  }
  const std::string closest = ClosestKey(upper);
  return u.key.substr(0, kMaxKeyLength) + ": unknown key" + (closest.empty() ? "" : "; did you mean " + closest + "?");
}

TTlsMode TlsModeOf(const std::string& text) {
  const std::string t = UpperText(text);
  if (t.empty() || t == "NO") return TTlsMode::No;
  if (t == "STARTTLS") return TTlsMode::StartTls;
  if (t == "IMPLICIT") return TTlsMode::Implicit;
  return TTlsMode::Invalid;
}

TAuthMech AuthMechOf(const std::string& text) {
  if (text.empty()) return TAuthMech::Default;
  for (TAuthMech mech : {TAuthMech::User, TAuthMech::Plain, TAuthMech::Login, TAuthMech::XOAuth2,
                         TAuthMech::OAuthBearer})
    if (text == AuthMechName(mech)) return mech;
  return TAuthMech::Invalid;
}

// "https://" (any case), a host, and no blanks or controls.
bool IsHttpsUrl(const std::string& text) {
  if (UpperText(text.substr(0, 8)) != "HTTPS://") return false;
  const std::string rest = text.substr(8);
  const auto hostEnd = rest.find_first_of("/?#");
  if (rest.substr(0, hostEnd).empty() || rest[0] == ':') return false;
  for (char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  return true;
}

enum class NumberCheck { Ok, NotANumber, TooLarge };

NumberCheck ParseDecimal64(const std::string& text, uint64_t& value) {
  if (text.empty()) return NumberCheck::NotANumber;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return NumberCheck::NotANumber;
    const unsigned d = static_cast<unsigned>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return NumberCheck::TooLarge;
    n = n * 10 + d;
  }
  value = n;
  return NumberCheck::Ok;
}

// What --check says of a DAEMON value that is not a plain number of seconds
// the period can hold; "" when it is one (or empty: period 0).
std::string FindingForDaemon(const std::string& value) {
  if (value.empty()) return {};
  uint64_t n = 0;
  if (ParseDecimal64(value, n) == NumberCheck::Ok && n <= 65535) return {};
  TConfig scratch;
  FindConfigKey("DAEMON")->Set(scratch, value);
  return "DAEMON: '" + value + "' is not a number of seconds from 0 to 65535; it is read as " +
         std::to_string(scratch.DaemonPeriod);
}

// A host name or IPv4 address as a value may hold it: not empty, no blanks,
// controls, brackets, slashes or "@".
bool IsPlainHost(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F || std::strchr("[]/\\@", c)) return false;
  }
  return true;
}

bool IsIPv6Literal(const std::string& text) {
  // A zone ("fe80::1%eth0") follows the address itself; it is an interface's
  // name or number, held to what a host may hold, so a server written back
  // as "[address%zone]:port" reads the same.
  const auto percent = text.find('%');
  if (percent != std::string::npos && !IsPlainHost(text.substr(percent + 1))) return false;
  const std::string address = text.substr(0, percent);
  if (address.find('\0') != std::string::npos) return false;  // the parser would stop there
  in6_addr parsed{};
  return ::inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

bool ParsePort(const std::string& text, uint16_t& port) {
  uint64_t n = 0;
  if (ParseDecimal64(text, n) != NumberCheck::Ok || n == 0 || n > 65535) return false;
  port = static_cast<uint16_t>(n);
  return true;
}

// "" when `path` is a regular file this process can open for reading,
// otherwise the reason. A FIFO is never waited on.
std::string WhyUnreadable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  std::string why;
  if (::fstat(fd, &st) != 0)
    why = std::strerror(errno);
  else if (S_ISDIR(st.st_mode))
    why = std::strerror(EISDIR);
  else if (!S_ISREG(st.st_mode))
    why = "not a regular file";
  ::close(fd);
  return why;
}

void CheckServer(std::vector<std::string>& problems, const char* key, const std::string& value) {
  std::string host;
  uint16_t port = 0;
  if (value.empty())
    problems.push_back(std::string(key) + " is empty");
  else if (!SplitServerValue(value, 0, host, port))
    problems.push_back(std::string(key) + ": '" + value + "' is not a host, host:port, [IPv6] or [IPv6]:port");
}

std::vector<std::string> CheckRecord(const TConfig& cfg) {
  std::vector<std::string> problems;
  CheckServer(problems, "SMTP", cfg.SMTP);
  CheckServer(problems, "POP", cfg.POP);
  const std::pair<const char*, const std::string*> required[] = {
      {"USERNAME", &cfg.USERNAME}, {"PASSWORD", &cfg.PASSWORD}, {"ROBOT", &cfg.ROBOT},
      {"IN", &cfg.IN},             {"OUT", &cfg.OUT}};
  for (const auto& [key, value] : required) {
    // A password left out of the INI is missing only when nothing else gives it.
    const bool elsewhere = value == &cfg.PASSWORD && (cfg.PopUsesToken() || HasSecretSource(cfg, "PASSWORD"));
    if (value->empty() && !elsewhere) problems.push_back(std::string(key) + " is empty");
  }

  for (const auto& [key, value] : {std::pair{"SMTP_TLS", &cfg.SMTP_TLS}, std::pair{"POP_TLS", &cfg.POP_TLS}})
    if (TlsModeOf(*value) == TTlsMode::Invalid)
      problems.push_back(std::string(key) + " has an unknown value '" + *value + "' (NO, STARTTLS or IMPLICIT)");

  if (cfg.SmtpAuth() == TAuthMech::Invalid)
    problems.push_back("SMTP_AUTH has an unknown value '" + cfg.SMTP_AUTH + "' (PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER)");
  if (cfg.PopAuth() == TAuthMech::Invalid)
    problems.push_back("POP_AUTH has an unknown value '" + cfg.POP_AUTH + "' (USER, PLAIN, XOAUTH2 or OAUTHBEARER)");

  if (!cfg.SMTP_USERNAME.empty()) {
    if (cfg.SmtpTls() == TTlsMode::No)
      problems.push_back("SMTP_USERNAME is set but SMTP_TLS is NO: credentials are sent only over TLS");
    if (!cfg.SmtpUsesToken() && !HasSecretSource(cfg, "SMTP_PASSWORD"))
      problems.push_back("SMTP_PASSWORD is empty but SMTP_USERNAME is set");
  } else {
    for (const auto& [key, value] : {std::pair{"SMTP_PASSWORD", &cfg.SMTP_PASSWORD},
                                     std::pair{"SMTP_PASSWORD_COMMAND", &cfg.SMTP_PASSWORD_COMMAND},
                                     std::pair{"SMTP_AUTH", &cfg.SMTP_AUTH}})
      if (!value->empty()) problems.push_back(std::string(key) + " is set but SMTP_USERNAME is empty");
  }

  // Tokens: a source for the mechanisms that need one, and TLS for them.
  for (const auto& [key, mech] : {std::pair{"SMTP_AUTH", cfg.SmtpAuth()}, std::pair{"POP_AUTH", cfg.PopAuth()}})
    if (IsTokenMech(mech) && !cfg.HasTokenSource())
      problems.push_back(std::string(key) + " " + AuthMechName(mech) + " needs OAUTH_TOKEN_URL or OAUTH_TOKEN_COMMAND");
  if (cfg.PopUsesToken() && cfg.HasTokenSource() && cfg.PopTls() == TTlsMode::No)
    problems.push_back("POP_TLS is NO but POP3 logs in with an OAuth2 token: tokens are sent only over TLS");
  for (const auto& [key, value] : {std::pair{"OAUTH_TOKEN_URL", &cfg.OAUTH_TOKEN_URL},
                                   std::pair{"OAUTH_DEVICE_URL", &cfg.OAUTH_DEVICE_URL}})
    if (!value->empty() && !IsHttpsUrl(*value))
      problems.push_back(std::string(key) + " '" + *value + "' is not an https:// address");
  if (!cfg.OAUTH_TOKEN_URL.empty() && cfg.OAUTH_CLIENT_ID.empty())
    problems.push_back("OAUTH_CLIENT_ID is empty but OAUTH_TOKEN_URL is set");
  if (!cfg.OAUTH_DEVICE_URL.empty() && cfg.OAUTH_TOKEN_URL.empty())
    problems.push_back("OAUTH_DEVICE_URL is set but OAUTH_TOKEN_URL is empty");

  if (!cfg.TLS_CA_FILE.empty()) {
    if (cfg.TLS_CA_FILE[0] != '/') {
      problems.push_back("TLS_CA_FILE " + cfg.TLS_CA_FILE + " is not an absolute path");
    } else if (const std::string why = WhyUnreadable(cfg.TLS_CA_FILE); !why.empty()) {
      problems.push_back("TLS_CA_FILE " + cfg.TLS_CA_FILE + " cannot be read: " + why);
    }
  }

  uint64_t maxSize = 0;
  if (!cfg.MAXSIZE.empty()) {
    switch (ParseDecimal64(cfg.MAXSIZE, maxSize)) {
      case NumberCheck::Ok: break;
      case NumberCheck::NotANumber: problems.push_back("MAXSIZE is not a number"); break;
      case NumberCheck::TooLarge: problems.push_back("MAXSIZE is too large"); break;
    }
  }
  return problems;
}

void AddFinding(TReadState& state, int line, const std::string& text, bool warning = false) {
  if (!text.empty() && state.Findings.size() < kMaxFindings) state.Findings.push_back({line, text, warning});
}

// The text of a file less a UTF-8 byte-order mark at its start.
std::string WithoutByteOrderMark(const std::string& bytes) {
  return bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
}

// Resets what ReadConfig resets (see there).
void Reset(TConfig& cfg, TReadState& state) {
  cfg.LOG = cfg.DEBUG = cfg.DELETEALL = false;
  state.DialPending = true;
  cfg.DaemonMode = false;
  cfg.SMTP.clear();
  cfg.POP.clear();
  cfg.USERNAME.clear();
  cfg.PASSWORD.clear();
  cfg.ROBOT.clear();
  cfg.IN.clear();
  cfg.OUT.clear();
  cfg.DaemonPeriod = 60;
  cfg.COUNTER = 0;
  for (const TConfigKey& row : ConfigKeys())
    if (!row.always && row.text != nullptr) (cfg.*row.text).clear();
  state.ConfigUnreadable = false;
  state.Problems.clear();
  state.UnknownKeys.clear();
  state.Findings.clear();
}

// Reads the lines of a file that is 8-bit text into the record.
void ParseLines(const std::string& bytes, TConfig& cfg, TReadState& state) {
  int number = 0;
  ForEachLine(WithoutByteOrderMark(bytes), [&](const std::string& line) {
    ++number;
    auto [key, value] = SplitKeyValue(line);
    std::string whole = WholeValue(line);
    // A value ends in neither a blank nor a CR, also where the cut at 255
    // falls: the writer ends its lines with CR LF, and what it writes must
    // read back the same.
    for (std::string* v : {&value, &whole})
      while (!v->empty() && (v->back() == ' ' || v->back() == '\r')) v->pop_back();
    const std::string upper = UpperText(key);
    if (ApplyKey(cfg, upper, value, whole)) {
      if (upper == "DAEMON") AddFinding(state, number, FindingForDaemon(value));
      return;
    }
    const Unrecognised u = ClassifyUnrecognised(line);
    if (u.listed && state.UnknownKeys.size() < kMaxUnknownKeys)
      state.UnknownKeys.push_back(u.key.substr(0, kMaxKeyLength));
    // Bounded: a file of a million odd lines costs no more than a hundred.
    if (state.Findings.size() < kMaxFindings) AddFinding(state, number, FindingForUnrecognised(u));
  });
  state.Problems = CheckRecord(cfg);
  const bool popPassword = !cfg.PopUsesToken() && (!cfg.PASSWORD.empty() || HasSecretSource(cfg, "PASSWORD"));
  if (popPassword && cfg.PopTls() == TTlsMode::No)
    AddFinding(state, 0, "PASSWORD goes to the POP3 server without TLS (POP_TLS is NO); set POP_TLS STARTTLS or "
                         "IMPLICIT where the server offers it",
               /*warning=*/true);
}

void Finish(const std::string& programDir, TConfig& cfg, TReadState& state) {
  state.ConfigIncomplete = !state.Problems.empty();
  if (cfg.LOGFILE.empty()) cfg.LOGFILE = programDir + kDefaultLogName;
  state.TickCount = cfg.DaemonPeriod;
}

// Why `bytes` are not a text this reader takes; "" when they are.
std::string NotText(const std::string& bytes) {
  return bytes.find('\0') == std::string::npos ? std::string()
                                               : "not 8-bit text (it holds NUL bytes, as UTF-16 does)";
}

}  // namespace

void TConfigKey::Set(TConfig& cfg, const std::string& value) const {
  switch (kind) {
    case TKind::Text:
    case TKind::Whole: cfg.*text = value; break;
    case TKind::Upper: cfg.*text = UpperText(value); break;
    case TKind::Dir: cfg.*text = NormaliseDir(value); break;
    case TKind::Flag: cfg.*flag = ParseYesNo(value); break;
    case TKind::Counter: cfg.COUNTER = static_cast<uint16_t>(TextToNum(value)); break;
    case TKind::Daemon:
      cfg.DaemonMode = true;
      cfg.DaemonPeriod = static_cast<uint16_t>(TextToNum(value));
      break;
  }
}

std::string TConfigKey::Line(const TConfig& cfg) const {
  switch (kind) {
    case TKind::Text:
    case TKind::Whole:
    case TKind::Upper:
    case TKind::Dir: return always ? KeyLine(name, cfg.*text) : OptionalKeyLine(name, cfg.*text);
    case TKind::Flag: return KeyLine(name, YesNoText(cfg.*flag));
    case TKind::Counter: return KeyLine(name, NumToText(cfg.COUNTER, 0));
    case TKind::Daemon:
      return cfg.DaemonMode ? "DAEMON    " + NumToText(cfg.DaemonPeriod, 0) : std::string(kDaemonOffLine);
  }
  return {};
}

const std::vector<TConfigKey>& ConfigKeys() { return kKeys; }

const TConfigKey* FindConfigKey(const std::string& upperKey) {
  for (const TConfigKey& row : kKeys)
    if (upperKey == row.name) return &row;
  return nullptr;
}

std::vector<std::string> KnownConfigKeys() {
  std::vector<std::string> names;
  for (const TConfigKey& row : kKeys) names.emplace_back(row.name);
  return names;
}

const char* AuthMechName(TAuthMech mech) {
  switch (mech) {
    case TAuthMech::User: return "USER";
    case TAuthMech::Plain: return "PLAIN";
    case TAuthMech::Login: return "LOGIN";
    case TAuthMech::XOAuth2: return "XOAUTH2";
    case TAuthMech::OAuthBearer: return "OAUTHBEARER";
    case TAuthMech::Default:
    case TAuthMech::Invalid: break;
  }
  return "";
}

TAuthMech TConfig::SmtpAuth() const {
  const TAuthMech mech = AuthMechOf(SMTP_AUTH);
  return mech == TAuthMech::User ? TAuthMech::Invalid : mech;
}

TAuthMech TConfig::PopAuth() const {
  const TAuthMech mech = AuthMechOf(POP_AUTH);
  return mech == TAuthMech::Login ? TAuthMech::Invalid : mech;
}

bool TConfig::HasTokenSource() const { return !OAUTH_TOKEN_URL.empty() || !OAUTH_TOKEN_COMMAND.empty(); }

bool TConfig::SmtpUsesToken() const {
  const TAuthMech mech = SmtpAuth();
  return IsTokenMech(mech) || (mech == TAuthMech::Default && HasTokenSource());
}

bool TConfig::PopUsesToken() const {
  const TAuthMech mech = PopAuth();
  return IsTokenMech(mech) || (mech == TAuthMech::Default && HasTokenSource());
}

TTlsMode TConfig::SmtpTls() const { return TlsModeOf(SMTP_TLS); }
TTlsMode TConfig::PopTls() const { return TlsModeOf(POP_TLS); }

uint64_t TConfig::MaxMessageSize() const {
  uint64_t n = 0;
  return ParseDecimal64(MAXSIZE, n) == NumberCheck::Ok ? n : kDefaultMaxSize;
}

void ParseConfigText(const std::string& bytes, const std::string& programDir, TConfig& cfg, TReadState& state) {
  Reset(cfg, state);
  if (const std::string why = NotText(bytes); !why.empty()) {
    state.ConfigUnreadable = true;
    state.Problems.push_back(std::string(kConfigFileName) + " cannot be read: " + why);
  } else {
    ParseLines(bytes, cfg, state);
  }
  Finish(programDir, cfg, state);
}

void ReadConfig(const std::string& programDir, TConfig& cfg, TReadState& state) {
  std::string bytes, why;
  switch (safefile::ReadWhole(programDir + kConfigFileName, bytes, nullptr, why)) {
    case safefile::ReadResult::Read:
      ParseConfigText(bytes, programDir, cfg, state);
      return;
    case safefile::ReadResult::Missing:
      Reset(cfg, state);
      state.Problems.push_back(std::string(kConfigFileName) + " does not exist");
      break;
    case safefile::ReadResult::Failed:
      Reset(cfg, state);
      state.ConfigUnreadable = true;
      state.Problems.push_back(std::string(kConfigFileName) + " cannot be read: " + why);
      break;
  }
  Finish(programDir, cfg, state);
}

std::vector<std::string> RecordProblems(const TConfig& cfg) { return CheckRecord(cfg); }

std::vector<std::string> ConfigProblems(const std::string& programDir) {
  TConfig cfg;
  TReadState state;
  ReadConfig(programDir, cfg, state);
  return state.Problems;
}

bool WriteConfig(const std::string& programDir, const TConfig& cfg, std::string* reason, const TConfig* before,
                 bool* readOnly) {
  if (readOnly) *readOnly = false;
  const auto fail = [reason](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  std::string target, why;
  if (!safefile::ResolveLinks(programDir + kConfigFileName, target, why)) return fail(why);
  if (!MayFollowConfigLink(programDir, target, why)) return fail(why);

  // What is there now is read first: a file that cannot be read is never
  // overwritten, and what it holds besides the program's changes stays.
  std::string previous;
  struct stat status {};
  const auto found = safefile::ReadWhole(target, previous, &status, why);
  if (found == safefile::ReadResult::Failed)
    return fail(target + " cannot be read (" + why + "); it was not rewritten");
  const bool hadFile = found == safefile::ReadResult::Read;
  if (hadFile && !(why = NotText(previous)).empty()) return fail(target + " is " + why + "; it was not rewritten");
  const std::string text = MergeConfigText(hadFile ? previous : std::string(), before, cfg, programDir);
  if (hadFile && text == previous) {
    // Nothing to change; a file others may read is made the owner's alone.
    if ((status.st_mode & 077) && (status.st_mode & 0200) && status.st_uid == ::geteuid())
      ::chmod(target.c_str(), 0600);
    if (reason) reason->clear();
    return true;
  }
  // A file (or a directory) the owner made read-only is left as it was.
  const auto slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
  const auto denied = [](const std::string& path, int how) {
    return ::access(path.c_str(), how) != 0 && (errno == EACCES || errno == EROFS || errno == EPERM);
  };
  const bool fileReadOnly = hadFile && (denied(target, W_OK) || (::geteuid() == 0 && (status.st_mode & 0222) == 0));
  if (fileReadOnly || denied(dir, W_OK | X_OK)) {
    // Only keys the file lacks would be added: nothing of the program's is lost.
    const bool changed = before == nullptr || std::any_of(ConfigKeys().begin(), ConfigKeys().end(),
                                                          [&](const TConfigKey& k) { return k.Line(*before) != k.Line(cfg); });
    if (hadFile && !changed) {
      if (reason) reason->clear();
      return true;
    }
    if (readOnly) *readOnly = true;
    return fail(fileReadOnly ? target + " is read-only and was left as it was"
                             : dir + " is read-only; " + kConfigFileName + " was left as it was");
  }
  if (!safefile::ReplaceAtomically(target, text, hadFile ? &status : nullptr, why)) return fail(why);
  if (reason) reason->clear();
  return true;
}

TConfigStore::TStamp TConfigStore::Now() const {
  TStamp stamp;
  struct stat st {};
  if (::stat((dir_ + kConfigFileName).c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.id = plat::FileIdentity::Of(st);
  return stamp;
}

void TConfigStore::Read(TConfig& cfg, TReadState& state) {
  stamp_ = Now();
  ReadConfig(dir_, cfg, state);
  before_ = cfg;
  haveBefore_ = true;
}

TConfigStore::TSaved TConfigStore::Write(const TConfig& cfg, std::string& why) {
  bool readOnly = false;
  if (!WriteConfig(dir_, cfg, &why, haveBefore_ ? &before_ : nullptr, &readOnly))
    return readOnly ? TSaved::ReadOnly : TSaved::Failed;
  before_ = cfg;
  haveBefore_ = true;
  stamp_ = Now();
  return TSaved::Written;
}

bool TConfigStore::ChangedOnDisk() const { return !(Now() == stamp_); }

bool SplitServerValue(const std::string& value, uint16_t defaultPort, std::string& host, uint16_t& port) {
  std::string h;
  uint16_t p = defaultPort;
  if (!value.empty() && value[0] == '[') {
    const auto close = value.find(']');
    if (close == std::string::npos) return false;
    h = value.substr(1, close - 1);
    if (!IsIPv6Literal(h)) return false;
    const std::string rest = value.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !ParsePort(rest.substr(1), p))) return false;
  } else {
    const auto colon = value.find(':');
    if (colon != std::string::npos && value.find(':', colon + 1) != std::string::npos) {
      if (!IsIPv6Literal(value)) return false;  // a bare IPv6 literal is all host
      h = value;
    } else {
      h = value.substr(0, colon);
      if (!IsPlainHost(h)) return false;
      if (colon != std::string::npos && !ParsePort(value.substr(colon + 1), p)) return false;
    }
  }
  host = h;
  port = p;
  return true;
}
