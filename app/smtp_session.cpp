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

TSmtpSession::TSmtpSession(TPassHost& host, std::string dir, std::vector<std::string> bases)
    : host_(host), dir_(std::move(dir)), bases_(std::move(bases)) {}

void TSmtpSession::Run() {
  TSockets& sock = host_.PassSocket();
  host_.OutputQueue().clear();
  if (!Accepted(host_.ReadCode(), 2)) {
    host_.ReportError("SMTP host was not ready for mail");
    host_.NoteFailure(zvexit::kTemporary);
    return;
  }
  host_.WriteLog("Talking to SMTP (" + host_.PassConfig().SMTP + ")");
  host_.SendCommand("HELO [" + sock.LocalAddress() + "]");
  if (!Accepted(host_.ReadCode(), 2)) {
    host_.ReportError("SMTP host did not accept our handshake");
    host_.NoteFailure(zvexit::kTemporary);
  } else {
    for (std::size_t p = 1; p <= bases_.size() && !readFailed_; ++p) SendPair(p);
  }
  if (!readFailed_) {
    host_.ShowPercent(100);
    host_.SendCommand("QUIT");
  }
  host_.OutputQueue().clear();
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
