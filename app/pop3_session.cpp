#include "app/pop3_session.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <string_view>
#include <utility>

#include "app/exit_status.h"
#include "app/pass_host.h"
#include "app/sasl.h"
#include "config/configfile.h"
#include "config/textutil.h"
#include "net/Sockets.h"
#include "platform/filing.h"

namespace {

constexpr const char* kEnvelopeTag = "zvmailer_windows";
// The domain word of the inbound envelopes; the Zorvik application expects it.
constexpr const char* kEnvelopeDomain = "zorvik";
constexpr int kLinesPerPump = 100;
constexpr char kSpinner[4] = {'/', '-', '\\', '|'};
constexpr const char* kIdFileName = "ZVMAIL32.UID";
// Listings of more messages than this are not asked for (ids and sizes are
// kept per message); such a mailbox is fetched as without UIDL.
constexpr int32_t kMaxListed = 1000000;
constexpr std::size_t kMaxCapabilities = 100;

constexpr int kFromSeen = 1, kToSeen = 2, kSubjectSeen = 4, kAllSeen = 7;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool IsZorvikSubject(const std::string& upper) {
  return upper == "SUBJECT: TRANSPORT" || upper == "SUBJECT: RECEIPT" || upper == "SUBJECT: ZORVIK TRANSPORT" ||
         upper == "SUBJECT: ZORVIK RECEIPT";
}

std::string Envelope(const std::string& robot) {
  const std::string address = robot + "@" + kEnvelopeDomain + "\n";
  return std::string(kEnvelopeTag) + "\n" + address + address;
}

// The decimal number at the start of `text` (after blanks); false when none.
bool ParseCount(const std::string& text, uint64_t& value) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos || text[i] < '0' || text[i] > '9') return false;
  value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + uint64_t(text[i] - '0');
  }
  return true;
}

}  // namespace

TPop3Session::TPop3Session(TPassHost& host, TPop3Options options)
    : host_(host),
      options_(std::move(options)),
      filer_(options_.files ? options_.files : plat::DefaultFilingService(), host.PassConfig().IN,
             {[this](const std::vector<std::pair<uint16_t, uint64_t>>& made) { return RecordBegun(made); },
              [this](uint16_t n) { ids_.EraseBegun(n); },
              [this](uint16_t n, uint64_t inode) { return ids_.Begun(n, inode); },
              [this](uint16_t n) { return ids_.FiledNumber(n); }}),
      ids_(options_.programDir + kIdFileName) {}

bool TPop3Session::RecordBegun(const std::vector<std::pair<uint16_t, uint64_t>>& made) {
  for (const auto& [number, inode] : made) ids_.SetBegun(number, inode);
  if (ids_.Save(false, recordError_)) return true;
  for (const auto& [number, inode] : made) ids_.EraseBegun(number);
  // Without unique ids nothing else needs the record, so a directory that
  // cannot take it (read-only, say) still has its messages filed; what a
  // run cut short leaves unrecorded, recovery leaves alone and logs.
  if (useIds_) return false;
  if (!unrecorded_) host_.WriteLog(recordError_ + "; messages are filed without a record of their envelopes");
  unrecorded_ = true;
  return true;
}

void TPop3Session::Run() {
  // Implicit TLS: the greeting already comes under TLS. A failed handshake
  // is reported by the socket; nothing is sent in clear after it.
  if (options_.tls == TTlsMode::Implicit && !host_.PassSocket().StartTls(options_.peerName, options_.caFile)) return;
  if (!host_.ReadOK()) {
    host_.ReportError("POP3 server not ready");
    host_.NoteFailure(zvexit::kTemporary);
    return;
  }
  TConfig& config = host_.PassConfig();
  counterAtStart_ = config.COUNTER;
  host_.WriteLog("Talking to POP3 (" + config.POP + ")");
  if (!ReadCapabilities()) return;
  if (options_.tls == TTlsMode::No && offersStls_)
    host_.WriteLog(host_.ServerName() + ": the password goes in clear although the server offers STLS; set POP_TLS "
                   "STARTTLS to protect it");
  bool quit = true;
  if (options_.tls == TTlsMode::StartTls && !StartTls(quit)) {
    if (quit) host_.SendCommand("QUIT");
    return;
  }
  std::string why;
  if (!ids_.Load(why)) {
    // Without the record a message filed before could be filed again.
    host_.ReportError(why);
    host_.NoteFailure(zvexit::kCannotCreate);
  } else {
    // The mailbox is the server as connected to ("host" and "host:110" are
    // one), with the user.
    ids_.Select(options_.server, config.USERNAME);
    filer_.Recover([this](const std::string& line) { host_.WriteLog(line); });
    // What is still recorded as begun has no temporary envelope any more.
    ids_.ClearBegun();
    Dialogue();
    Finish();
    ids_.Save(false, why);
    return;
  }
  Finish();
}

bool TPop3Session::ReadCapabilities() {
  pipelining_ = offersStls_ = false;
  saslMechanisms_.clear();
  host_.SendCommand("CAPA");
  TWholeReply whole(host_);
  if (!host_.ReadOK()) return host_.PassSocket().State == 1;
  if (ReadListing("CAPA", kMaxCapabilities, [this](const std::string& line) {
        const std::string word = UpperText(line.substr(0, line.find(' ')));
        if (word == "PIPELINING") pipelining_ = true;
        if (word == "STLS") offersStls_ = true;
        if (word == "SASL") {
          const std::string rest = UpperText(SplitKeyValue(line).second);
          for (std::size_t at = 0; at < rest.size() && saslMechanisms_.size() < kMaxCapabilities;) {
            const std::size_t end = std::min(rest.find(' ', at), rest.size());
            if (end > at) saslMechanisms_.push_back(rest.substr(at, end - at));
            at = end + 1;
          }
        }
      }))
    return true;
  pipelining_ = offersStls_ = false;
  saslMechanisms_.clear();
  return false;
}

bool TPop3Session::StartTls(bool& quit) {
  const std::string server = host_.ServerName();
  // Never on without TLS: a server that does not offer it ends the pass
  // before the user name goes out.
  if (!offersStls_) {
    host_.ReportError("POP3 server " + server + " does not offer STLS");
    host_.NoteFailure(zvexit::kTemporary);
    return false;
  }
  host_.SendCommand("STLS");
  if (!host_.ReadOK()) {
    host_.ReportError("POP3 server " + server + " refused STLS");
    host_.NoteFailure(zvexit::kTemporary);
    return false;
  }
  if (!host_.PassSocket().StartTls(options_.peerName, options_.caFile)) {
    quit = false;
    return false;
  }
  // What was offered in clear counts for nothing now.
  if (!ReadCapabilities()) {
    quit = false;
    return false;
  }
  return true;
}

TLoginAnswer JudgeLoginReply(const std::string& reply) {
  if (reply.empty()) return TLoginAnswer::NoReply;
  if (UpperText(reply.substr(0, 3)) == "+OK") return TLoginAnswer::Accepted;
  if (UpperText(reply.substr(0, 4)) != "-ERR") return TLoginAnswer::Temporary;
  const std::string upper = UpperText(reply);
  if (upper.find("[IN-USE]") != std::string::npos) return TLoginAnswer::InUse;
  const bool temporary = upper.find("[SYS/TEMP]") != std::string::npos || upper.find("[LOGIN-DELAY]") != std::string::npos;
  return temporary ? TLoginAnswer::Temporary : TLoginAnswer::Refused;
}

bool TPop3Session::Login() {
  TAuthMech mech = options_.mechanism;
  std::string wanted = AuthMechName(mech);
  const auto offered = [this](TAuthMech m) {
    return std::find(saslMechanisms_.begin(), saslMechanisms_.end(), AuthMechName(m)) != saslMechanisms_.end();
  };
  if (mech == TAuthMech::Default && options_.token) {
    mech = offered(TAuthMech::OAuthBearer) ? TAuthMech::OAuthBearer : TAuthMech::XOAuth2;
    wanted = "OAUTHBEARER or XOAUTH2";
  }
  if (mech != TAuthMech::Default && mech != TAuthMech::User) {
    // Never a weaker mechanism than the one configured.
    if (offered(mech)) return SaslLogin(mech);
    host_.ReportError("POP3 server " + host_.ServerName() + " does not offer authentication by " + wanted);
    host_.NoteFailure(zvexit::kTemporary);
    return false;
  }
  TConfig& config = host_.PassConfig();
  host_.SendCommand("USER " + config.USERNAME);
  if (!LoginAnswered("Invalid username")) return false;
  host_.ShowCommand("Sending password");
  host_.SendRaw("PASS " + options_.password + "\r\n");
  return LoginAnswered("Invalid username/password combination");
}

bool TPop3Session::SaslLogin(TAuthMech mech) {
  const std::string server = host_.ServerName();
  const std::string name = AuthMechName(mech);
  TSaslLogin login(host_, TSaslProtocol::Pop3);
  const auto run = [&] {
    return login.Run(mech, host_.PassConfig().USERNAME, options_.password, options_.peerName, options_.port).line;
  };
  std::string reply = run();
  if (options_.token && options_.freshToken && JudgeLoginReply(reply) == TLoginAnswer::Refused) {
    // A token may have been revoked or expired early: one more try with a
    // fresh one, on a new connection when the server closed this one.
    host_.WriteLog("POP3 server " + server + " refused the token; trying a fresh one");
    const auto fresh = std::exchange(options_.freshToken, nullptr);
    if (!fresh(options_.password)) return false;
    reply = host_.PassSocket().State == 1 ? run() : std::string();
    if (reply.empty() && host_.PassSocket().State != 1) {
      retryOnNewConnection_ = true;  // the server closed this one after its refusal
      return false;
    }
  }
  return LoginJudged(reply, "POP3 server " + server + " refused the login by " + name,
                     "POP3 server " + server + " did not complete the login by " + name);
}

void TPop3Session::Dialogue() {
  if (!Login()) return;
  host_.NoteLoggedIn();
  host_.SendCommand("STAT");
  std::string reply;
  if (!host_.ReadReply(reply, true)) {
    host_.ReportError("POP3 server timedout in response to STAT request");
    host_.NoteFailure(zvexit::kTemporary);
    return;
  }
  if (reply.compare(0, 3, "+OK") != 0) {
    host_.ReportError("POP3 server responded in error to STAT request");
    host_.NoteFailure(zvexit::kTemporary);
    return;
  }
  const std::string counts = SplitKeyValue(reply).second;
  const int32_t count = TextToNum(counts);
  messages_ = count;
  host_.WriteLog(NumToText(count, 0) + " messages in the mailbox");
  if (count <= 0) return;

  if (count <= kMaxListed) {
    uint64_t total = 0;
    const auto blank = counts.find(' ');
    const bool knownTotal = blank != std::string::npos && ParseCount(counts.substr(blank), total);
    totalFits_ = knownTotal && total <= options_.maxSize;
    // Sizes tell which messages exceed MAXSIZE and, with pipelining, bound
    // the window; then LIST goes out with UIDL and costs no round trip.
    const bool sizes = pipelining_ || (options_.maxSize > 0 && !totalFits_);
    host_.QueueCommand("UIDL");
    if (sizes && pipelining_) host_.QueueCommand("LIST");
    host_.FlushCommands();
    if (!ReadIds(count)) return;
    if (sizes && !pipelining_) host_.SendCommand("LIST");
    if (sizes && !ReadSizes(count)) return;
  }
  // With pipelining, the first retrievals go out at once.
  if (pipelining_) SendAhead(0, count);
  for (int32_t n = 1; n <= count && !abort_ && !host_.Stopping(); ++n) HandleMessage(n, count);
  host_.ShowPercent(100);
  if (largeLeft_ > 0)
    host_.WriteLog("Left on the server for their size: " + std::to_string(largeLeft_) + " messages, " +
                   std::to_string(largeBytes_) + " bytes");
}

namespace {

// "<number> <word>": the message number and the word after it (a UID or a
// size). False for anything else. Untrusted listing line.
bool SplitListing(const std::string& line, int32_t count, int32_t& number, std::string_view& word) {
  std::size_t i = 0;
  int64_t n = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9' && n <= count) n = n * 10 + (line[i++] - '0');
  if (i == 0 || n < 1 || n > count || i >= line.size() || line[i] != ' ') return false;
  const std::size_t start = line.find_first_not_of(' ', i);
  if (start == std::string::npos) return false;
  const std::size_t end = line.find(' ', start);
  word = std::string_view(line).substr(start, end == std::string::npos ? std::string::npos : end - start);
  number = int32_t(n);
  return true;
}

}  // namespace

bool TPop3Session::ReadIds(int32_t count) {
  TWholeReply whole(host_);
  if (!host_.ReadOK()) return host_.PassSocket().State == 1;
  uids_.assign(std::size_t(count) + 1, std::string());
  std::size_t listed = 0;
  if (!ReadListing("UIDL", std::size_t(count), [&](const std::string& line) {
        int32_t n = 0;
        std::string_view uid;
        if (!SplitListing(line, count, n, uid) || !uids_[std::size_t(n)].empty()) return;
        uids_[std::size_t(n)] = uid;
        if (!TUidState::ValidUid(uids_[std::size_t(n)])) {
          uids_[std::size_t(n)].clear();
        } else {
          ++listed;
        }
      }))
    return false;
  // An id given twice identifies neither message.
  std::vector<std::string_view> sorted;
  sorted.reserve(listed);
  for (const std::string& uid : uids_)
    if (!uid.empty()) sorted.emplace_back(uid);
  std::sort(sorted.begin(), sorted.end());
  // Copies, not views: the ids viewed are cleared below.
  std::set<std::string, std::less<>> twice;
  for (std::size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i] == sorted[i - 1]) twice.emplace(sorted[i]);
  std::set<std::string> present;
  for (std::string& uid : uids_) {
    if (!uid.empty() && twice.count(uid)) uid.clear();
  }
  useIds_ = true;
  // Entries of messages no longer on the server go, but only when the
  // listing named every message.
  if (listed == std::size_t(count) && twice.empty()) {
    for (const std::string& uid : uids_)
      if (!uid.empty()) present.insert(uid);
    ids_.KeepOnly(present);
  }
  return true;
}

bool TPop3Session::ReadSizes(int32_t count) {
  TWholeReply whole(host_);
  if (!host_.ReadOK()) return host_.PassSocket().State == 1;
  sizes_.assign(std::size_t(count) + 1, 0);
  return ReadListing("LIST", std::size_t(count), [&](const std::string& line) {
    int32_t n = 0;
    std::string_view size;
    uint64_t bytes = 0;
    if (SplitListing(line, count, n, size) && ParseCount(std::string(size), bytes)) sizes_[std::size_t(n)] = bytes;
  });
}

bool TPop3Session::LoginAnswered(const char* refusal) {
  std::string reply;
  const bool read = host_.ReadReply(reply, true);
  return LoginJudged(read ? reply : std::string(), refusal, "POP3 login not completed");
}

bool TPop3Session::LoginJudged(const std::string& reply, const std::string& refusal, const std::string& unfinished) {
  const std::string server = host_.ServerName();
  switch (JudgeLoginReply(reply)) {
    case TLoginAnswer::Accepted:
      return true;
    case TLoginAnswer::Refused:
      host_.ReportError(refusal);
      host_.LogFailure(server + ": user name or password refused");
      host_.NoteFailure(zvexit::kNoPermission);
      return false;
    case TLoginAnswer::InUse:
      host_.ReportError(server + ": the mailbox is in use by another session");
      break;
    case TLoginAnswer::Temporary:
      host_.ReportError(server + ": login refused for now (" + reply.substr(0, 80) + ")");
      break;
    case TLoginAnswer::NoReply:
      // The exchange has logged why the connection ended (a drop, a time-out,
      // a stop by a signal).
      host_.ReportError(unfinished);
      break;
  }
  host_.NoteFailure(zvexit::kTemporary);
  return false;
}

const std::string& TPop3Session::UidOf(int32_t number) const {
  static const std::string kNone;
  return std::size_t(number) < uids_.size() ? uids_[std::size_t(number)] : kNone;
}

uint64_t TPop3Session::KnownSize(int32_t number) const {
  if (std::size_t(number) < sizes_.size() && sizes_[std::size_t(number)] > 0) return sizes_[std::size_t(number)];
  const std::string& uid = UidOf(number);
  return useIds_ && !uid.empty() ? ids_.LeftSize(uid) : 0;
}

bool TPop3Session::LargerThanMax(int32_t number, bool leftLarge) const {
  if (options_.maxSize == 0) return false;
  if (const uint64_t size = KnownSize(number); size > 0) return size > options_.maxSize;
  // Left for its size before, without a size now: still, unless the
  // mailbox's total says every message fits.
  return leftLarge && !totalFits_;
}

std::chrono::milliseconds TPop3Session::MessageAllowance(uint64_t size) const {
  // One second per 64 KB of the size; when it is not known, of MAXSIZE (or
  // its default where MAXSIZE sets no limit). A size claimed past what is
  // ever read counts as that much.
  if (size == 0) size = options_.maxSize > 0 ? options_.maxSize : kDefaultMaxSize;
  const uint64_t cap = options_.maxSize > 0 ? 2 * options_.maxSize : uint64_t{1} << 40;
  return std::chrono::milliseconds(std::min(size, cap) * 1000 / 65536);
}

TPop3Session::TAction TPop3Session::ActionFor(int32_t number) const {
  const std::string& uid = UidOf(number);
  const TUidState::Kind kind = useIds_ && !uid.empty() ? ids_.Find(uid) : TUidState::Kind::None;
  switch (kind) {
    case TUidState::Kind::Filed: return TAction::DeleteFiled;
    case TUidState::Kind::LeftOther: return host_.PassConfig().DELETEALL ? TAction::DeleteOther : TAction::Skip;
    // Judged again each pass: MAXSIZE may allow it now.
    case TUidState::Kind::LeftLarge: return LargerThanMax(number, true) ? TAction::SkipLarge : TAction::Retrieve;
    case TUidState::Kind::None: break;
  }
  return LargerThanMax(number, false) ? TAction::SkipLarge : TAction::Retrieve;
}

void TPop3Session::LeaveLarge(int32_t number, uint64_t size) {
  const std::string& uid = UidOf(number);
  ++largeLeft_;
  largeBytes_ += size;
  if (useIds_ && !uid.empty() && ids_.Find(uid) == TUidState::Kind::LeftLarge && ids_.LeftSize(uid) == size) return;
  host_.WriteLog("Message " + NumToText(number, 0) + " is larger than MAXSIZE; it is left on the server");
  if (useIds_ && !uid.empty()) ids_.SetLeft(uid, TUidState::Kind::LeftLarge, size);
}

void TPop3Session::HandleMessage(int32_t number, int32_t count) {
  const std::string n = NumToText(number, 0);
  switch (ActionFor(number)) {
    case TAction::Retrieve:
      Retrieve(number);
      if (pipelining_ && !abort_) SendAhead(number, count);
      break;
    case TAction::DeleteFiled:
      host_.WriteLog("Message " + n + " was filed before; deleting it");
      Delete(number);
      break;
    case TAction::DeleteOther:
      host_.WriteLog("Message was not for Zorvik (Deleting)");
      Delete(number);
      break;
    case TAction::Skip:
      break;
    case TAction::SkipLarge:
      LeaveLarge(number, KnownSize(number));
      break;
  }
  host_.ShowPercent(static_cast<int>(int64_t{number} * 100 / count));
}

void TPop3Session::Retrieve(int32_t number) {
  TConfig& config = host_.PassConfig();
  const std::string n = NumToText(number, 0);
  std::string failed;
  if (!filer_.Begin(config.COUNTER, failed, messages_ - number + 1)) {
    host_.ReportError(failed.empty() ? recordError_ : "Could not write message " + failed);
    host_.NoteFailure(zvexit::kCannotCreate);
    abort_ = true;
    return;
  }
  const uint16_t fileNumber = config.COUNTER;
  if (number >= nextAhead_) {
    // Not asked for ahead: ask now (with any commands queued before it).
    host_.SendCommand("RETR " + n);
    owed_.push_back({TCommand::Retrieve, number});
    Outstanding(number, 1);
    nextAhead_ = number + 1;
  }
  ReadOwed(number);
  Outstanding(number, -1);
  // The message as a whole must come within its allowance, by its size from
  // LIST, else from the reply's octet count, else MAXSIZE.
  const uint64_t listed = KnownSize(number);
  TWholeReply whole(host_, MessageAllowance(listed));
  std::string reply;
  uint64_t octets = 0;
  if (!host_.ReadReply(reply, true) || UpperText(reply.substr(0, 3)) != "+OK") {
    host_.ReportError("Message " + n + " could not be retrieved");
    host_.NoteFailure(zvexit::kTemporary);
    filer_.Discard();
    abort_ = true;
    return;
  }
  if (listed == 0 && ParseCount(reply.substr(3), octets) && octets > 0) host_.BeginReply(MessageAllowance(octets));
  host_.WriteLog("Retrieving message " + n);
  bool zorvik = false;
  const TMessageEnd end = ReadMessageLines(number, true, zorvik);
  const std::string& uid = UidOf(number);
  switch (end) {
    case TMessageEnd::Broken:
      filer_.Discard();
      abort_ = true;
      return;
    case TMessageEnd::Overlong:
      filer_.Discard();
      return;
    case TMessageEnd::TooLarge:
      filer_.Discard();
      // Its size as listed or announced, else at least what was read.
      LeaveLarge(number, listed > 0 ? listed : octets > 0 ? octets : lastRead_);
      return;
    case TMessageEnd::Complete:
      break;
  }
  if (zorvik) {
    gotZorvikMail_ = true;
    if (!filer_.Keep(Envelope(config.ROBOT), failed)) {
      // The message stays on the server and is fetched again.
      host_.ReportError("Could not write message " + failed);
      host_.NoteFailure(zvexit::kCannotCreate);
      abort_ = true;
      return;
    }
    if (!uid.empty()) keptUid_[fileNumber] = uid;
    Delete(number);
  } else {
    filer_.Discard();
    if (config.DELETEALL) {
      host_.WriteLog("Message was not for Zorvik (Deleting)");
      Delete(number);
    } else {
      host_.WriteLog("Message was not for Zorvik (Saving)");
      if (useIds_ && !uid.empty()) ids_.SetLeft(uid, TUidState::Kind::LeftOther);
    }
  }
}

void TPop3Session::Delete(int32_t number) {
  if (pipelining_ && number < nextAhead_ && ActionFor(number) != TAction::Retrieve) return;  // sent ahead
  const std::string command = "DELE " + NumToText(number, 0);
  if (pipelining_) {
    host_.QueueCommand(command);
    owed_.push_back({TCommand::Delete, number});
    return;
  }
  host_.SendCommand(command);
  ReadDeleteReply(number);
}

void TPop3Session::ReadDeleteReply(int32_t number) {
  if (host_.ReadOK()) {
    const std::string& uid = UidOf(number);
    if (!uid.empty()) deleted_.push_back(uid);
  }
}

void TPop3Session::SendAhead(int32_t current, int32_t count) {
  if (nextAhead_ <= current) nextAhead_ = current + 1;
  while (nextAhead_ <= count && outstandingRetrievals_ < kWindowMessages && outstandingBytes_ < kWindowBytes) {
    const int32_t m = nextAhead_++;
    switch (ActionFor(m)) {
      case TAction::Retrieve:
        host_.QueueCommand("RETR " + NumToText(m, 0));
        owed_.push_back({TCommand::Retrieve, m});
        Outstanding(m, 1);
        break;
      case TAction::DeleteFiled:
      case TAction::DeleteOther:
        host_.QueueCommand("DELE " + NumToText(m, 0));
        owed_.push_back({TCommand::Delete, m});
        break;
      case TAction::Skip:
      case TAction::SkipLarge:
        break;
    }
  }
  host_.FlushCommands();
}

uint64_t TPop3Session::WindowShare(int32_t number) const {
  const uint64_t listed = std::size_t(number) < sizes_.size() ? sizes_[std::size_t(number)] : 0;
  return listed > 0 ? listed : kUnlistedBytes;
}

void TPop3Session::Outstanding(int32_t number, int change) {
  outstandingRetrievals_ += change;
  if (change > 0) {
    outstandingBytes_ += WindowShare(number);
  } else {
    outstandingBytes_ -= std::min(outstandingBytes_, WindowShare(number));
  }
}

void TPop3Session::ReadOwed(int32_t number) {
  host_.FlushCommands();
  while (!owed_.empty()) {
    const TOwed owed = owed_.front();
    if (owed.command == TCommand::Retrieve && owed.number == number) {
      owed_.pop_front();
      return;
    }
    owed_.pop_front();
    if (owed.command == TCommand::Delete) {
      ReadDeleteReply(owed.number);
      continue;
    }
    // A message asked for ahead and no longer wanted: read past it, but not
    // past MAXSIZE bytes (then the connection goes instead).
    Outstanding(owed.number, -1);
    TWholeReply whole(host_, MessageAllowance(KnownSize(owed.number)));
    if (!host_.ReadOK()) continue;
    bool zorvik = false;
    ReadMessageLines(owed.number, false, zorvik);
  }
}

bool TPop3Session::ReadListing(const char* command, std::size_t limit,
                               const std::function<void(const std::string&)>& each) {
  TSockets& sock = host_.PassSocket();
  // A listing that does not end, or holds a line too long to read, is cut
  // off: the dialogue cannot go on in step.
  const std::size_t bound = limit * 4 + 1000;
  std::string line;
  for (std::size_t read = 0; read < bound; ++read) {
    if (!host_.ReadDataLine(line)) {
      if (sock.State != 1) return false;
      break;
    }
    if (line == ".") return true;
    if (read < limit) each(!line.empty() && line[0] == '.' ? line.substr(1) : line);
  }
  host_.ReportError("POP3 server " + host_.ServerName() + ": the reply to " + command + " is too long");
  host_.NoteFailure(zvexit::kTemporary);
  sock.Close();
  return false;
}

TPop3Session::TMessageEnd TPop3Session::ReadMessageLines(int32_t number, bool wanted, bool& zorvik) {
  TSockets& sock = host_.PassSocket();
  const uint64_t maxSize = options_.maxSize;
  // Every byte read counts, whether it is filed or dropped (blank lines of
  // the header, a line too long for the socket, what is read past). Past
  // MAXSIZE the rest is read past, but not without end: one more MAXSIZE
  // (for a message not wanted at all, MAXSIZE) and the connection goes.
  const uint64_t dropAt = wanted ? 2 * maxSize : maxSize;
  uint64_t read = 0;
  int kinds = 0;
  bool headersDone = false;
  int lines = 0;
  bool overlong = false;
  bool tooLarge = false;
  bool skipping = !wanted;
  // True while the next line read is the tail of a line the socket gave up on.
  bool tail = false;
  std::string line;
  const auto notCompleted = [&] {
    if (wanted) host_.ReportError("Message " + NumToText(number, 0) + " not completed");
  };
  for (;;) {
    if (++lines > kLinesPerPump) {
      host_.PumpEvents();
      // The spinner starts at "/" and runs on across messages.
      spinner_ = spinner_ % 4 + 1;
      host_.ShowCommand(std::string("Receiving message...") + kSpinner[spinner_ - 1]);
      lines = 0;
    }
    const bool got = host_.ReadDataLine(line);
    if (!got && sock.State != 1) {
      notCompleted();
      return TMessageEnd::Broken;
    }
    // Only a line that is exactly "." ends the message; any other line that
    // begins with "." carries one stuffed dot.
    if (got && !tail && line == ".") {
      if (tooLarge) return TMessageEnd::TooLarge;
      return overlong ? TMessageEnd::Overlong : TMessageEnd::Complete;
    }
    read += got ? line.size() + 1 : uint64_t(sock.LineLimit());
    lastRead_ = read;
    if (maxSize > 0 && read > maxSize) {
      if (read > dropAt) {
        notCompleted();
        sock.Close();
        return TMessageEnd::Broken;
      }
      tooLarge = skipping = true;
    }
    if (!got) {
      // Still connected: the line did not fit the socket's buffer and its
      // start is lost. Read on to the end line; the message stays on the
      // server and the next one can still be fetched.
      if (!skipping) notCompleted();
      overlong = skipping = tail = true;
      continue;
    }
    if (tail) {
      tail = false;
      continue;
    }
    if (skipping) continue;
    if (!line.empty() && line[0] == '.') line.erase(0, 1);

    const bool blank = line.find_first_not_of(' ') == std::string::npos;
    if (blank && kinds == kAllSeen) {
      filer_.Write("\n", 1);
      headersDone = true;
      continue;
    }
    if (!headersDone) {
      const std::string upper = TrimSpaces(UpperText(line));
      if (StartsWith(upper, "FROM:"))
        kinds |= kFromSeen;
      else if (StartsWith(upper, "TO:"))
        kinds |= kToSeen;
      else if (StartsWith(upper, "SUBJECT:"))
        kinds |= kSubjectSeen;
      if (IsZorvikSubject(upper)) zorvik = true;
    }
    if (blank) continue;
    line += '\n';
    filer_.Write(line.data(), line.size());
  }
}

void TPop3Session::Finish() {
  TSockets& sock = host_.PassSocket();
  TConfig& config = host_.PassConfig();
  ReadOwed(0);
  filer_.ReleaseReserved();
  const std::vector<uint16_t> kept = filer_.Kept();
  std::string failed, why;
  if (!kept.empty()) {
    if (!filer_.Flush(failed)) {
      host_.ReportError("Could not write message " + failed);
      host_.NoteFailure(zvexit::kCannotCreate);
      filer_.Abandon();
      return;
    }
    if (useIds_) {
      for (uint16_t number : kept)
        if (keptUid_.count(number)) ids_.SetFiled(keptUid_[number], number);
    }
  }
  // The record of what was filed is on stable storage before the pairs
  // become visible; a run killed in between completes them at its start.
  if (useIds_ && !ids_.Save(!kept.empty(), why)) {
    host_.ReportError(why);
    host_.NoteFailure(zvexit::kCannotCreate);
    if (!kept.empty()) {
      filer_.Abandon();
      return;
    }
  }
  if (!kept.empty()) {
    std::vector<uint16_t> unpublished;
    if (!filer_.Publish(unpublished, failed)) {
      host_.ReportError("Could not write message " + failed);
      host_.NoteFailure(zvexit::kCannotCreate);
      if (useIds_) {
        for (uint16_t number : unpublished)
          if (keptUid_.count(number)) ids_.Erase(keptUid_[number]);
        ids_.Save(true, why);
      }
      return;
    }
  }
  if (config.COUNTER != counterAtStart_ && !host_.SaveConfig(why)) {
    host_.ReportError(why);
    host_.NoteFailure(zvexit::kCannotCreate);
  }
  if (sock.State != 1) return;
  host_.SendCommand("QUIT");
  // Wait for the server to commit the deletions before the close.
  if (sock.State == 3 || !host_.ReadOK()) return;
  if (useIds_) {
    for (const std::string& uid : deleted_) ids_.Erase(uid);
    ids_.Save(false, why);
  }
}
