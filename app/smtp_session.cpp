#include "app/smtp_session.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/exit_status.h"
#include "app/pass_host.h"
#include "app/sasl.h"
#include "config/configfile.h"
#include "config/textutil.h"
#include "net/Sockets.h"
#include "platform/filing.h"

namespace {

// Body bytes are handed to the socket in sends of about this size.
constexpr std::size_t kSendChunk = 64 * 1024;
constexpr int kSpinnerEvery = 100;
constexpr char kSpinner[4] = {'/', '-', '\\', '|'};

// Opens the work file dir + name or, when there is none, the entry of `dir`
// whose name equals `name` in any letter case; `path` is the one it opened
// (or tried last), `status` the opened file's.
TWorkFileOpen OpenAnyCase(std::FILE*& file, const std::string& dir, const std::string& name, std::string& path,
                          struct stat& status) {
  path = dir + name;
  const TWorkFileOpen opened = OpenWorkFile(file, path, &status);
  if (opened != TWorkFileOpen::Missing) return opened;
  std::error_code ec;
  const std::string wanted = UpperText(name);
  std::filesystem::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry != name && UpperText(entry) == wanted) {
      path = dir + entry;
      return OpenWorkFile(file, path, &status);
    }
  }
  return opened;
}

}  // namespace

bool TSmtpSession::Accepted(uint16_t code, int expected) {
  const bool ok = expected >= 10 ? code / 10 == expected : code / 100 == expected;
  // A transient refusal (4xx) is worth a later try; a lost connection is
  // noted by the exchange itself.
  if (!ok && code / 100 == 4) host_.NoteFailure(zvexit::kTemporary);
  return ok;
}

TSmtpSession::TSmtpSession(TPassHost& host, std::string dir, std::vector<std::string> bases, TSmtpOptions options)
    : host_(host), options_(std::move(options)), dir_(std::move(dir)), bases_(std::move(bases)) {
  if (!options_.files) options_.files = plat::DefaultFilingService();
  outDir_ = options_.files->OpenDirectory(dir_);
}

TSmtpSession::~TSmtpSession() {
  if (outDir_ >= 0) options_.files->Close(outDir_);
}

void TSmtpSession::Run() {
  TSockets& sock = host_.PassSocket();
  host_.OutputQueue().clear();
  // Implicit TLS: the server's greeting already comes under TLS. A failed
  // handshake is reported by the socket; nothing is sent in clear after it.
  if (options_.tls == TTlsMode::Implicit && !sock.StartTls(options_.peerName, options_.caFile)) return;
  if (!Accepted(host_.ReadCode(), 2)) {
    host_.ReportError("SMTP host was not ready for mail");
    host_.NoteFailure(zvexit::kTemporary);
    return;
  }
  host_.WriteLog("Talking to SMTP (" + host_.PassConfig().SMTP + ")");
  bool quit = true;
  if (Handshake(quit)) {
    if (offersPipelining_ && offersChunking_) {
      RunChunked();
    } else if (offersPipelining_) {
      RunPipelined();
    } else {
      for (std::size_t p = 1; p <= bases_.size() && !readFailed_ && !host_.Stopping(); ++p) SendPair(p);
    }
  }
  if (quit && !readFailed_ && sock.State == 1) {
    host_.ShowPercent(100);
    host_.SendCommand("QUIT");
  }
  host_.OutputQueue().clear();
}

bool TSmtpSession::Handshake(bool& quit) {
  TSockets& sock = host_.PassSocket();
  const std::string literal = sock.IsIPv6() ? "[IPv6:" + sock.LocalAddress() + "]" : "[" + sock.LocalAddress() + "]";
  const bool extended = options_.tls != TTlsMode::No || !options_.username.empty();
  if (!extended) {
    host_.SendCommand("HELO " + literal);
    if (!Accepted(host_.ReadCode(), 2)) {
      host_.ReportError("SMTP host did not accept our handshake");
      host_.NoteFailure(zvexit::kTemporary);
      return false;
    }
    return true;
  }
  if (!Ehlo()) return false;
  const std::string server = host_.ServerName();
  if (options_.tls == TTlsMode::StartTls) {
    // Never on without TLS: a server that does not offer it ends the pass.
    if (!offersStartTls_) {
      host_.ReportError("SMTP host " + server + " does not offer STARTTLS");
      host_.NoteFailure(zvexit::kTemporary);
      return false;
    }
    host_.SendCommand("STARTTLS");
    if (!Accepted(host_.ReadCode(), 2)) {
      host_.ReportError("SMTP host " + server + " refused STARTTLS");
      host_.NoteFailure(zvexit::kTemporary);
      return false;
    }
    if (!sock.StartTls(options_.peerName, options_.caFile)) {
      quit = false;  // nothing more goes out on this connection
      return false;
    }
    // What was offered in clear counts for nothing now.
    if (!Ehlo()) return false;
  }
  return options_.username.empty() || Authenticate();
}

bool TSmtpSession::Ehlo() {
  TSockets& sock = host_.PassSocket();
  const std::string literal = sock.IsIPv6() ? "[IPv6:" + sock.LocalAddress() + "]" : "[" + sock.LocalAddress() + "]";
  offersStartTls_ = offersPipelining_ = offersChunking_ = false;
  authMechanisms_.clear();
  host_.SendCommand("EHLO " + literal);
  std::vector<std::string> lines;
  if (!Accepted(host_.ReadCodeLines(lines), 2)) {
    host_.ReportError("SMTP host did not accept our handshake");
    host_.NoteFailure(zvexit::kTemporary);
    return false;
  }
  // Untrusted: the keywords of the lines after the first, in any case.
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string text = UpperText(lines[i].size() > 4 ? lines[i].substr(4) : std::string());
    const auto [keyword, rest] = SplitKeyValue(text);
    if (keyword == "STARTTLS") offersStartTls_ = true;
    if (keyword == "PIPELINING") offersPipelining_ = true;
    if (keyword == "CHUNKING") offersChunking_ = true;
    if (keyword == "AUTH") {
      std::string word;
      for (std::size_t at = 0; at <= rest.size(); ++at) {
        if (at == rest.size() || rest[at] == ' ') {
          if (!word.empty()) authMechanisms_.push_back(word);
          word.clear();
        } else {
          word += rest[at];
        }
      }
    }
  }
  return true;
}

bool TSmtpSession::Authenticate() {
  const std::string server = host_.ServerName();
  const auto offered = [this](TAuthMech m) {
    return std::find(authMechanisms_.begin(), authMechanisms_.end(), AuthMechName(m)) != authMechanisms_.end();
  };
  // Never a weaker mechanism than the one configured: one not offered ends
  // the pass. Without SMTP_AUTH the first offered of two.
  TAuthMech mech = options_.mechanism;
  std::string wanted = AuthMechName(mech);
  if (mech == TAuthMech::Default) {
    const TAuthMech first = options_.token ? TAuthMech::OAuthBearer : TAuthMech::Plain;
    const TAuthMech second = options_.token ? TAuthMech::XOAuth2 : TAuthMech::Login;
    mech = offered(first) ? first : second;
    wanted = std::string(AuthMechName(first)) + " or " + AuthMechName(second);
  }
  if (!offered(mech)) {
    host_.ReportError("SMTP host " + server + " does not offer authentication by " + wanted);
    host_.NoteFailure(zvexit::kTemporary);
    return false;
  }
  TSaslLogin login(host_, TSaslProtocol::Smtp);
  const auto run = [&] { return login.Run(mech, options_.username, options_.password, options_.peerName, options_.port); };
  uint16_t code = run().code;
  if (code / 100 == 5 && options_.token && options_.freshToken) {
    // A token may have been revoked or expired early: one more try with a
    // fresh one, on a new connection when the server closed this one.
    host_.WriteLog("SMTP host " + server + " refused the token (" + std::to_string(code) + "); trying a fresh one");
    const auto fresh = std::exchange(options_.freshToken, nullptr);
    if (!fresh(options_.password)) return false;
    code = host_.PassSocket().State == 1 ? run().code : 0;
    if (code == 0 && host_.PassSocket().State != 1) {
      retryOnNewConnection_ = true;  // the server closed this one after its refusal
      return false;
    }
  }
  if (code / 100 == 2) {
    host_.NoteLoggedIn();
    return true;
  }
  if (code / 100 == 5) {
    // The credentials are wrong: trying again will not help.
    host_.ReportError("SMTP host " + server + " refused the authentication (" + std::to_string(code) + ")");
    host_.NoteFailure(zvexit::kNoPermission);
  } else {
    host_.ReportError("SMTP host " + server + " did not complete the authentication");
    host_.NoteFailure(zvexit::kTemporary);
  }
  return false;
}

TSmtpSession::TOutbound TSmtpSession::Prepare(std::size_t p) {
  TOutbound pair;
  pair.base = bases_[p - 1];
  host_.WriteLog("Sending " + pair.base);
  // Only regular files are read: a link could make us mail any file we can
  // read, a FIFO would stop the pass for good. Such a pair stays in place.
  const auto notRegular = [&](const std::string& path) {
    return "Skipping " + pair.base + ": " + path.substr(dir_.size()) + " is not a regular file";
  };
  struct stat wrk {}, txt {};
  std::FILE* envelope = nullptr;
  const TWorkFileOpen envelopeOpen = OpenAnyCase(envelope, dir_, pair.base + ".WRK", pair.wrkName, wrk);
  bool envelopeRead = false;
  if (envelopeOpen == TWorkFileOpen::Opened) {
    pair.wrk = TSentPairs::TFile::Of(pair.wrkName, wrk);
    reader_.Load(envelope);
    reader_.Line();
    pair.sender = reader_.Line();
    pair.recipient = reader_.Line();
    envelopeRead = !reader_.Failed();
    std::fclose(envelope);
  }
  const TWorkFileOpen textOpen =
      envelopeRead ? OpenAnyCase(pair.text, dir_, pair.base + ".TXT", pair.txtName, txt) : TWorkFileOpen::Failed;
  if (envelopeOpen == TWorkFileOpen::NotRegular) {
    pair.error = notRegular(pair.wrkName);
  } else if (!envelopeRead) {
    pair.error = "Could not read outbound message file";
  } else if (textOpen == TWorkFileOpen::NotRegular) {
    pair.error = notRegular(pair.txtName);
  } else if (textOpen != TWorkFileOpen::Opened) {
    pair.error = "Could not open data file for sending";
  }
  if (!pair.Ready()) return pair;
  pair.txt = TSentPairs::TFile::Of(pair.txtName, txt);
  // A pair goes out only when it can go from OUT afterwards.
  std::string why;
  if (options_.sent != nullptr && options_.sent->Holds(pair.wrk)) {
    pair.error = pair.base + " was sent before; not sent again";
  } else if (!CanRemoveWorkFiles(dir_, {wrk.st_uid, txt.st_uid}, why)) {
    pair.error = "Cannot remove " + pair.base + " from OUT: " + why + "; not sent";
    host_.NoteFailure(zvexit::kCannotCreate);
  }
  if (!pair.error.empty()) {
    std::fclose(pair.text);
    pair.text = nullptr;
  }
  return pair;
}

void TSmtpSession::Done(TOutbound& pair, bool accepted) {
  if (pair.text != nullptr) std::fclose(pair.text);
  pair.text = nullptr;
  if (!accepted) return;
  host_.WriteLog(pair.base + " accepted: " + pair.reply);
  // The envelope goes first: without it the producer's pattern no longer
  // finds the pair. What stays behind is recorded so it is never sent again.
  std::string why;
  std::vector<const TSentPairs::TFile*> left;
  if (!Remove(pair.wrkName, why)) {
    left = {&pair.wrk, &pair.txt};
  } else if (!Remove(pair.txtName, why)) {
    left = {&pair.txt};
  }
  if (left.empty()) return;
  host_.ReportError("Cannot remove " + pair.base + " from OUT after it was sent: " + why + "; it is not sent again");
  host_.NoteFailure(zvexit::kCannotCreate);
  if (options_.sent == nullptr) return;
  for (const TSentPairs::TFile* file : left) options_.sent->Add(pair.base, *file);
  if (!options_.sent->Save(why)) host_.ReportError(why + "; " + pair.base + " may be sent again");
}

bool TSmtpSession::Remove(const std::string& path, std::string& why) {
  const std::string name = path.substr(path.rfind('/') + 1);
  if (outDir_ >= 0 && options_.files->Remove(outDir_, name)) return true;
  why = std::strerror(outDir_ >= 0 ? errno : EBADF);
  return false;
}

void TSmtpSession::SendPair(std::size_t p) {
  const std::size_t count = bases_.size();
  TOutbound pair = Prepare(p);
  bool success = false;
  if (!pair.Ready()) {
    host_.ReportError(pair.error);
  } else {
    host_.SendCommand("MAIL FROM:<" + pair.sender + ">");
    if (!Accepted(host_.ReadCode(), 2)) {
      host_.ReportError("SMTP host would not accept sender name");
    } else {
      host_.SendCommand("RCPT TO:<" + pair.recipient + ">");
      if (!Accepted(host_.ReadCode(), 25)) {
        host_.ReportError("SMTP host would not accept mail for recipient");
      } else {
        host_.SendCommand("DATA");
        if (!Accepted(host_.ReadCode(), 35)) {
          host_.ReportError("SMTP host was not ready for data");
        } else if (SendText(pair)) {
          host_.SendCommand(".");
          success = AcceptedEnd(p, pair);
        }
      }
    }
    Done(pair, success);
  }
  if (p != count && !readFailed_) {
    host_.SendCommand("RSET");
    host_.ReadCode();
  }
}

bool TSmtpSession::SendText(TOutbound& pair) {
  reader_.Load(pair.text);
  SendBody();
  if (!reader_.Failed()) return true;
  // The text could not be read whole: the conversation ends without the
  // terminating dot, so the server discards the unfinished message.
  host_.OutputQueue().clear();
  readFailed_ = true;
  host_.ReportError("Could not read outbound message file");
  return false;
}

bool TSmtpSession::AcceptedEnd(std::size_t p, TOutbound& pair) {
  host_.ShowCommand("Waiting for acknowledgement");
  host_.ShowPercent(static_cast<int>(p * 100 / bases_.size()));
  std::vector<std::string> lines;
  const uint16_t code = host_.ReadDataEndCode(lines);
  pair.reply = lines.empty() ? std::to_string(code) : lines.back();
  if (Accepted(code, 2)) return true;
  host_.ReportError("SMTP host failed end of data transfer");
  return false;
}

// With PIPELINING offered (RFC 2920), MAIL FROM, RCPT TO and DATA go out in
// one send, and the end of a text goes out with the next pair's RSET, MAIL
// FROM, RCPT TO and DATA. The commands and the judgement of each reply are
// those of the lock-step conversation; only the waiting is shared.
void TSmtpSession::RunPipelined() {
  const std::size_t count = bases_.size();
  TOutbound pair = Prepare(1);
  bool groupSent = false;  // the pair's MAIL FROM, RCPT TO and DATA went out
  for (std::size_t p = 1; p <= count && !readFailed_ && !host_.Stopping(); ++p) {
    TOutbound next;
    bool nextGroupSent = false;
    bool resetRead = false;
    bool success = false;
    if (!pair.Ready()) {
      host_.ReportError(pair.error);
    } else {
      if (!groupSent) QueueGroup(pair);
      host_.FlushCommands();
      const bool mail = Accepted(host_.ReadCode(), 2);
      const bool rcpt = Accepted(host_.ReadCode(), 25);
      const uint16_t data = host_.ReadCode();
      if (!mail || !rcpt) {
        host_.ReportError(!mail ? "SMTP host would not accept sender name"
                                : "SMTP host would not accept mail for recipient");
        // DATA went out with the refused command: when the server took it
        // all the same, an empty text ends it, and with no recipient nothing
        // is delivered.
        if (data / 10 == 35) {
          host_.SendCommand(".");
          std::vector<std::string> ignored;
          host_.ReadDataEndCode(ignored);
        }
      } else if (!Accepted(data, 35)) {
        host_.ReportError("SMTP host was not ready for data");
      } else if (SendText(pair)) {
        host_.QueueCommand(".");
        if (p != count) {
          host_.QueueCommand("RSET");
          next = Prepare(p + 1);
          if (next.Ready()) {
            QueueGroup(next);
            nextGroupSent = true;
          }
        }
        host_.FlushCommands();
        success = AcceptedEnd(p, pair);
        if (p != count) {
          host_.ReadCode();
          resetRead = true;
        }
      }
      Done(pair, success);
    }
    if (p != count && !resetRead && !readFailed_) {
      host_.SendCommand("RSET");
      host_.ReadCode();
    }
    if (p != count && next.base.empty()) next = Prepare(p + 1);
    pair = std::move(next);
    groupSent = nextGroupSent;
  }
  Done(pair, false);
}

void TSmtpSession::QueueGroup(const TOutbound& pair) {
  host_.QueueCommand("MAIL FROM:<" + pair.sender + ">");
  host_.QueueCommand("RCPT TO:<" + pair.recipient + ">");
  host_.QueueCommand("DATA");
}

void TSmtpSession::SendBody() {
  TSockets& sock = host_.PassSocket();
  std::string& pending = host_.OutputQueue();
  spinnerLines_ = 0;
  while (!reader_.End() && sock.State != 3) {
    AppendText(pending, true);
    if (pending.size() >= kSendChunk) {
      host_.SendRaw(pending);
      pending.clear();
    }
  }
}

void TSmtpSession::AppendText(std::string& out, bool stuff) {
  TSockets& sock = host_.PassSocket();
  while (!reader_.End() && sock.State != 3 && out.size() < kSendChunk) {
    if (++spinnerLines_ > kSpinnerEvery) {
      host_.PumpEvents();
      spinner_ = spinner_ % 4 + 1;
      host_.ShowCommand(std::string("Sending message...") + kSpinner[spinner_ - 1]);
      spinnerLines_ = 0;
    }
    reader_.Line(line_);
    const std::size_t first = line_.find_first_not_of(' ');
    if (first != std::string::npos) {
      if (stuff && line_[first] == '.') out += '.';
      out.append(line_, first, line_.find_last_not_of(' ') - first + 1);
    }
    out += "\r\n";
  }
}
