#include "config/configfile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "config/safefile.h"
#include "config/secrets.h"
#include "config/textutil.h"

namespace {

constexpr std::size_t kMaxUnknownKeys = 100;
constexpr std::size_t kMaxKeyLength = 255;

// Lines the writer writes that are neither keys nor sections.
const char* const kNoticeLine1 = "You can now use a full screen configuration program to";
const char* const kNoticeLine2 = "modify this file by running \"ZVMAIL32.EXE /SETUP\"";
const char* const kDaemonOffLine = ";DAEMON   600";

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

// An optional key's line: padded to 11 like the others, or one blank after a
// longer key.
std::string OptionalKeyLine(const char* key, const std::string& value) {
  return std::strlen(key) < 11 ? KeyLine(key, value) : std::string(key) + " " + value;
}

// The keys of logins, whose values are taken whole instead of cut at 255.
const std::pair<const char*, std::string TConfig::*> kLoginKeys[] = {
    {"OAUTH_TOKEN_URL", &TConfig::OAUTH_TOKEN_URL},
    {"OAUTH_DEVICE_URL", &TConfig::OAUTH_DEVICE_URL},
    {"OAUTH_CLIENT_ID", &TConfig::OAUTH_CLIENT_ID},
    {"OAUTH_CLIENT_SECRET", &TConfig::OAUTH_CLIENT_SECRET},
    {"OAUTH_CLIENT_SECRET_COMMAND", &TConfig::OAUTH_CLIENT_SECRET_COMMAND},
    {"OAUTH_SCOPE", &TConfig::OAUTH_SCOPE},
    {"OAUTH_REFRESH_TOKEN", &TConfig::OAUTH_REFRESH_TOKEN},
    {"OAUTH_TOKEN_COMMAND", &TConfig::OAUTH_TOKEN_COMMAND},
    {"PASSWORD_COMMAND", &TConfig::PASSWORD_COMMAND},
    {"SMTP_PASSWORD_COMMAND", &TConfig::SMTP_PASSWORD_COMMAND},
    {"LOGIN_PWD_COMMAND", &TConfig::LOGIN_PWD_COMMAND},
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
  for (const auto& [name, field] : kLoginKeys) {
    if (key == name) {
      cfg.*field = whole;
      return true;
    }
  }
  if (key == "DAEMON") {
    cfg.DaemonMode = true;
    cfg.DaemonPeriod = static_cast<uint16_t>(TextToNum(value));
  } else if (key == "COUNTER") {
    cfg.COUNTER = static_cast<uint16_t>(TextToNum(value));
  } else if (key == "SMTP") {
    cfg.SMTP = value;
  } else if (key == "POP") {
    cfg.POP = value;
  } else if (key == "USERNAME") {
    cfg.USERNAME = value;
  } else if (key == "PASSWORD") {
    cfg.PASSWORD = value;
  } else if (key == "ROBOT") {
    cfg.ROBOT = value;
  } else if (key == "LOGFILE") {
    cfg.LOGFILE = value;
  } else if (key == "CONNECTION") {
    cfg.CONNECTION = value;
  } else if (key == "LOGIN_ID") {
    cfg.LOGIN_ID = value;
  } else if (key == "LOGIN_PWD") {
    cfg.LOGIN_PWD = value;
  } else if (key == "RETRIES") {
    cfg.RETRIES = value;
  } else if (key == "LOG") {
    cfg.LOG = ParseYesNo(value);
  } else if (key == "DEBUG") {
    cfg.DEBUG = ParseYesNo(value);
  } else if (key == "DELETEALL") {
    cfg.DELETEALL = ParseYesNo(value);
  } else if (key == "DIAL") {
    cfg.DIAL = ParseYesNo(value);
  } else if (key == "HANGUP") {
    cfg.HANGUP = ParseYesNo(value);
  } else if (key == "IN") {
    cfg.IN = NormaliseDir(value);
  } else if (key == "OUT") {
    cfg.OUT = NormaliseDir(value);
  } else if (key == "SMTP_TLS") {
    cfg.SMTP_TLS = UpperText(value);
  } else if (key == "POP_TLS") {
    cfg.POP_TLS = UpperText(value);
  } else if (key == "SMTP_USERNAME") {
    cfg.SMTP_USERNAME = value;
  } else if (key == "SMTP_PASSWORD") {
    cfg.SMTP_PASSWORD = value;
  } else if (key == "TLS_CA_FILE") {
    cfg.TLS_CA_FILE = value;
  } else if (key == "MAXSIZE") {
    cfg.MAXSIZE = value;
  } else if (key == "SMTP_AUTH") {
    cfg.SMTP_AUTH = UpperText(value);
  } else if (key == "POP_AUTH") {
    cfg.POP_AUTH = UpperText(value);
  } else {
    return false;
  }
  return true;
}

// A line that sets no field, as far as the reader and writer care about it.
struct Unrecognised {
  bool listed = false;      // an unknown key (or a foreign comment)
  std::string key;          // the text before the first blank, TAB or "="
  bool holdsValue = false;  // text after the key, or a comment with text
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
  const auto valueStart = keyEnd == std::string::npos ? std::string::npos : t.find_first_not_of(" \t=", keyEnd);
  u.holdsValue = valueStart != std::string::npos || (t[0] == ';' && t.size() > 1);
  return u;
}

bool IsRecognised(const std::string& line) {
  TConfig scratch;
  auto [key, value] = SplitKeyValue(line);
  return ApplyKey(scratch, UpperText(key), value, WholeValue(line));
}

// True when `bytes` has a line that a rewrite drops although it held a value.
bool HoldsForeignValues(const std::string& bytes) {
  bool found = false;
  ForEachLine(bytes, [&](const std::string& line) {
    if (!found && !IsRecognised(line)) found = ClassifyUnrecognised(line).holdsValue;
  });
  return found;
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

std::string ComposeText(const TConfig& cfg) {
  std::vector<std::string> lines = {
      "[Notice]",
      "",
      kNoticeLine1,
      kNoticeLine2,
      "",
      "[General Information]",
      "",
      KeyLine("SMTP", cfg.SMTP),
      KeyLine("POP", cfg.POP),
      KeyLine("USERNAME", cfg.USERNAME),
      KeyLine("PASSWORD", cfg.PASSWORD),
      KeyLine("ROBOT", cfg.ROBOT),
      KeyLine("IN", cfg.IN),
      KeyLine("OUT", cfg.OUT),
      KeyLine("COUNTER", NumToText(cfg.COUNTER, 0)),
      KeyLine("LOG", YesNoText(cfg.LOG)),
      KeyLine("LOGFILE", cfg.LOGFILE),
      KeyLine("DELETEALL", YesNoText(cfg.DELETEALL)),
      KeyLine("DEBUG", YesNoText(cfg.DEBUG)),
      "",
      "[Auto Dialing]",
      "",
      KeyLine("DIAL", YesNoText(cfg.DIAL)),
      KeyLine("HANGUP", YesNoText(cfg.HANGUP)),
      KeyLine("CONNECTION", cfg.CONNECTION),
      KeyLine("LOGIN_ID", cfg.LOGIN_ID),
      KeyLine("LOGIN_PWD", cfg.LOGIN_PWD),
      KeyLine("RETRIES", cfg.RETRIES),
      "",
      "[Advanced Options]",
      "",
      cfg.DaemonMode ? "DAEMON    " + NumToText(cfg.DaemonPeriod, 0) : std::string(kDaemonOffLine),
  };
  if (!cfg.MAXSIZE.empty()) lines.push_back(OptionalKeyLine("MAXSIZE", cfg.MAXSIZE));
  const std::pair<const char*, const std::string*> security[] = {{"SMTP_TLS", &cfg.SMTP_TLS},
                                                                 {"SMTP_USERNAME", &cfg.SMTP_USERNAME},
                                                                 {"SMTP_PASSWORD", &cfg.SMTP_PASSWORD},
                                                                 {"POP_TLS", &cfg.POP_TLS},
                                                                 {"TLS_CA_FILE", &cfg.TLS_CA_FILE},
                                                                 {"SMTP_AUTH", &cfg.SMTP_AUTH},
                                                                 {"POP_AUTH", &cfg.POP_AUTH}};
  bool sectionStarted = false;
  const auto put = [&](const char* key, const std::string& value) {
    if (value.empty()) return;
    if (!sectionStarted) lines.insert(lines.end(), {"", "[Security]", ""});
    sectionStarted = true;
    lines.push_back(OptionalKeyLine(key, value));
  };
  for (const auto& [key, value] : security) put(key, *value);
  for (const auto& [key, field] : kLoginKeys) put(key, cfg.*field);
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

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

void ReadConfig(const std::string& programDir, TConfig& cfg, TReadState& state) {
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
  for (std::string* optional : {&cfg.SMTP_TLS, &cfg.POP_TLS, &cfg.SMTP_USERNAME, &cfg.SMTP_PASSWORD,
                                &cfg.TLS_CA_FILE, &cfg.MAXSIZE, &cfg.SMTP_AUTH, &cfg.POP_AUTH})
    optional->clear();
  for (const auto& key : kLoginKeys) (cfg.*key.second).clear();
  state.ConfigUnreadable = false;
  state.Problems.clear();
  state.UnknownKeys.clear();

  std::string bytes, why;
  switch (safefile::ReadWhole(programDir + kConfigFileName, bytes, nullptr, why)) {
    case safefile::ReadResult::Read:
      ForEachLine(bytes, [&](const std::string& line) {
        auto [key, value] = SplitKeyValue(line);
        std::string whole = WholeValue(line);
        // A value ends in neither a blank nor a CR, also where the cut at 255
        // falls: the writer ends its lines with CR LF, and what it writes
        // must read back the same.
        for (std::string* v : {&value, &whole})
          while (!v->empty() && (v->back() == ' ' || v->back() == '\r')) v->pop_back();
        if (ApplyKey(cfg, UpperText(key), value, whole)) return;
        Unrecognised u = ClassifyUnrecognised(line);
        if (u.listed && state.UnknownKeys.size() < kMaxUnknownKeys)
          state.UnknownKeys.push_back(u.key.substr(0, kMaxKeyLength));
      });
      state.Problems = CheckRecord(cfg);
      break;
    case safefile::ReadResult::Missing:
      state.Problems.push_back(std::string(kConfigFileName) + " does not exist");
      break;
    case safefile::ReadResult::Failed:
      state.ConfigUnreadable = true;
      state.Problems.push_back(std::string(kConfigFileName) + " cannot be read: " + why);
      break;
  }

  state.ConfigIncomplete = !state.Problems.empty();
  if (cfg.LOGFILE.empty()) cfg.LOGFILE = programDir + kDefaultLogName;
  state.TickCount = cfg.DaemonPeriod;
}

std::vector<std::string> ConfigProblems(const std::string& programDir) {
  TConfig cfg;
  TReadState state;
  ReadConfig(programDir, cfg, state);
  return state.Problems;
}

bool WriteConfig(const std::string& programDir, const TConfig& cfg, std::string* reason) {
  const auto fail = [reason](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  std::string target, why;
  if (!safefile::ResolveLinks(programDir + kConfigFileName, target, why)) return fail(why);

  // What is there now is read first: a file that cannot be read is never
  // overwritten, and lines the rewrite would lose are kept in a backup.
  std::string previous;
  struct stat status {};
  const auto found = safefile::ReadWhole(target, previous, &status, why);
  if (found == safefile::ReadResult::Failed)
    return fail(target + " cannot be read (" + why + "); it was not rewritten");
  const bool hadFile = found == safefile::ReadResult::Read;
  if (hadFile && HoldsForeignValues(previous) &&
      !safefile::ReplaceAtomically(target + ".bak", previous, &status, why))
    return fail("no backup of " + target + ", so it was not rewritten: " + why);
  if (!safefile::ReplaceAtomically(target, ComposeText(cfg), hadFile ? &status : nullptr, why)) return fail(why);
  if (reason) reason->clear();
  return true;
}

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
