#include "app/smtp_session.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/exit_status.h"
#include "app/pass_host.h"
#include "config/configfile.h"
#include "config/textutil.h"
#include "net/Sockets.h"

namespace {

// RFC 4648 base64 of 8-bit bytes.
std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = unsigned(uint8_t(bytes[i])) << 16 | unsigned(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const unsigned v = unsigned(uint8_t(bytes[i])) << 16 | (two ? unsigned(uint8_t(bytes[i + 1])) << 8 : 0u);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Body bytes are handed to the socket in sends of about this size.
constexpr std::size_t kSendChunk = 64 * 1024;
constexpr int kSpinnerEvery = 100;
constexpr char kSpinner[4] = {'/', '-', '\\', '|'};

// dir + name when that file exists; otherwise the entry of `dir` whose name
// equals `name` in any letter case; otherwise dir + name.
std::string ResolveAnyCase(const std::string& dir, const std::string& name) {
  const std::string exact = dir + name;
  std::error_code ec;
  if (std::filesystem::exists(exact, ec)) return exact;
  const std::string wanted = UpperText(name);
  std::filesystem::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (UpperText(entry) == wanted) return dir + entry;
  }
  return exact;
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
    : host_(host), options_(std::move(options)), dir_(std::move(dir)), bases_(std::move(bases)) {}

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
    for (std::size_t p = 1; p <= bases_.size() && !readFailed_ && !host_.Stopping(); ++p) SendPair(p);
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
  offersStartTls_ = offersPipelining_ = false;
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
  const auto offered = [this](const char* m) {
    return std::find(authMechanisms_.begin(), authMechanisms_.end(), m) != authMechanisms_.end();
  };
  uint16_t code = 0;
  if (offered("PLAIN")) {
    host_.SendSecretCommand("AUTH PLAIN " + Base64(std::string(1, '\0') + options_.username + '\0' + options_.password),
                            "AUTH PLAIN ****");
    code = host_.ReadCode();
  } else if (offered("LOGIN")) {
    host_.SendCommand("AUTH LOGIN");
    code = host_.ReadCode();
    if (code == 334) {
      host_.SendSecretCommand(Base64(options_.username), "****");
      code = host_.ReadCode();
    }
    if (code == 334) {
      host_.SendSecretCommand(Base64(options_.password), "****");
      code = host_.ReadCode();
    }
  } else {
    host_.ReportError("SMTP host " + server + " does not offer authentication by PLAIN or LOGIN");
    host_.NoteFailure(zvexit::kTemporary);
    return false;
  }
  if (code / 100 == 2) return true;
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

void TSmtpSession::SendPair(std::size_t p) {
  const std::size_t count = bases_.size();
  const std::string& base = bases_[p - 1];
  bool success = false;
  host_.WriteLog("Sending " + base);
  std::FILE* envelope = nullptr;
  std::FILE* text = nullptr;
  const std::string wrkName = ResolveAnyCase(dir_, base + ".WRK");
  const std::string txtName = ResolveAnyCase(dir_, base + ".TXT");
  std::string sender, recipient;
  // Only regular files are read: a link could make us mail any file we can
  // read, a FIFO would stop the pass for good. Such a pair stays in place.
  const auto notRegular = [&](const std::string& path) {
    host_.ReportError("Skipping " + base + ": " + path.substr(dir_.size()) + " is not a regular file");
  };
  const TWorkFileOpen envelopeOpen = OpenWorkFile(envelope, wrkName);
  bool envelopeRead = false;
  if (envelopeOpen == TWorkFileOpen::Opened) {
    reader_.Load(envelope);
    reader_.Line();
    sender = reader_.Line();
    recipient = reader_.Line();
    envelopeRead = !reader_.Failed();
    std::fclose(envelope);
  }
  const TWorkFileOpen textOpen = envelopeRead ? OpenWorkFile(text, txtName) : TWorkFileOpen::Failed;
  if (envelopeOpen == TWorkFileOpen::NotRegular) {
    notRegular(wrkName);
  } else if (!envelopeRead) {
    host_.ReportError("Could not read outbound message file");
  } else if (textOpen == TWorkFileOpen::NotRegular) {
    notRegular(txtName);
  } else if (textOpen != TWorkFileOpen::Opened) {
    host_.ReportError("Could not open data file for sending");
  } else {
    host_.SendCommand("MAIL FROM:<" + sender + ">");
    if (!Accepted(host_.ReadCode(), 2)) {
      host_.ReportError("SMTP host would not accept sender name");
    } else {
      host_.SendCommand("RCPT TO:<" + recipient + ">");
      if (!Accepted(host_.ReadCode(), 25)) {
        host_.ReportError("SMTP host would not accept mail for recipient");
      } else {
        host_.SendCommand("DATA");
        if (!Accepted(host_.ReadCode(), 35)) {
          host_.ReportError("SMTP host was not ready for data");
        } else {
          reader_.Load(text);
          SendBody();
          if (reader_.Failed()) {
            host_.OutputQueue().clear();
            readFailed_ = true;
            host_.ReportError("Could not read outbound message file");
          } else {
            host_.SendCommand(".");
            host_.ShowCommand("Waiting for acknowledgement");
            host_.ShowPercent(static_cast<int>(p * 100 / count));
            if (Accepted(host_.ReadCode(), 2)) {
              success = true;
            } else {
              host_.ReportError("SMTP host failed end of data transfer");
            }
          }
        }
      }
    }
    std::fclose(text);
    if (success) {
      RemoveWorkFile(wrkName);
      RemoveWorkFile(txtName);
    }
  }
  if (p != count && !readFailed_) {
    host_.SendCommand("RSET");
    host_.ReadCode();
  }
}

void TSmtpSession::SendBody() {
  TSockets& sock = host_.PassSocket();
  std::string& pending = host_.OutputQueue();
  int lines = 0;
  while (!reader_.End() && sock.State != 3) {
    if (++lines > kSpinnerEvery) {
      host_.PumpEvents();
      spinner_ = spinner_ % 4 + 1;
      host_.ShowCommand(std::string("Sending message...") + kSpinner[spinner_ - 1]);
      lines = 0;
    }
    std::string line = TrimSpaces(reader_.Line());
    if (!line.empty() && line[0] == '.') pending += '.';
    pending += line;
    pending += "\r\n";
    if (pending.size() >= kSendChunk) {
      sock.SetText(pending);
      pending.clear();
    }
  }
}
