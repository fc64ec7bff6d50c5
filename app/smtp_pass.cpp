// The send pass: lists the outbound pairs of the OUT directory, opens the
// connection to the SMTP server, lets TSmtpSession submit them, and closes.
#include <QLabel>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/exit_status.h"
#include "app/icons.h"
#include "app/login_secrets.h"
#include "app/mainunit.h"
#include "app/sent_pairs.h"
#include "app/smtp_session.h"
#include "app/workfile.h"
#include "config/textutil.h"
#include "platform/filing.h"

namespace {

bool IsOutboundName(const std::string& name) {
  const std::string upper = UpperText(name);
  return upper.size() >= 6 && upper.compare(0, 2, "TM") == 0 && upper.compare(upper.size() - 4, 4, ".WRK") == 0;
}

// The outbound envelope names of `dir`, in name order.
std::vector<std::string> ListOutbound(const std::string& dir) {
  std::vector<std::string> names;
  if (dir.empty()) return names;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (IsOutboundName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return UpperText(a) < UpperText(b); });
  return names;
}

// The whole name before ".WRK": producers are not bound to eight characters.
std::string BaseName(const std::string& fileName) { return fileName.substr(0, fileName.size() - 4); }

}  // namespace

void TMain::SendMail() {
  if (Busy || StopRequested) return;
  ReopenLog();
  AutoDial();
  if (StopRequested) return;
  Busy = true;
  LastShownState = -1;

  std::string dir = Config.OUT;
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  // A missing OUT is a mistake, not an empty queue: nothing would ever go.
  if (const int error = DirectoryError(dir)) {
    ReportError("OUT " + dir + ": " + std::strerror(error));
    NoteFailure(zvexit::kCannotCreate);
    Busy = false;
    return;
  }
  TSentPairs sent(ProgramDir + kSentPairsName);
  RemoveSentPairs(sent);
  const std::vector<std::string> found = ListOutbound(dir);
  OutboundList.clear();
  for (std::size_t i = 0; i < found.size() && i < kOutboundMax; ++i) OutboundList.push_back(BaseName(found[i]));
  if (found.empty()) {
    // A notice, not a failure.
    SetCaption(lbError, "No messages to send");
    WriteLog("No messages to send");
    Busy = false;
    return;
  }
  const TTlsMode tls = Config.SmtpTls();
  const auto [host, port] = ServerAddress(Config.SMTP, tls == TTlsMode::Implicit ? 465 : 25);
  if (!MayTry(ServerKey(host, port))) {
    Busy = false;
    return;
  }
  // More than the list holds: the rest waits for the next pass.
  WriteLog("There are " + std::to_string(found.size()) + " messages to send");
  SetPercent(0);
  SetCaption(lbAction, "Sending");

  TSmtpOptions options;
  options.tls = tls;
  options.peerName = host;
  options.port = port;
  options.caFile = Config.TLS_CA_FILE;
  options.username = Config.SMTP_USERNAME;
  options.mechanism = Config.SmtpAuth();
  options.token = Config.SmtpUsesToken();
  // The secret before the connection: a slow command or endpoint keeps no
  // server waiting.
  if (!options.username.empty() &&
      !Logins().ForLogin(options.token, "SMTP_PASSWORD", options.password, options.freshToken)) {
    Busy = false;
    return;
  }
  options.sent = &sent;
  options.files = services_.files;
  const bool connected = Converse(host, port, icnUpOff, [&] {
    TSmtpSession session(*this, dir, OutboundList, options);
    session.Run();
    if (!session.RetryOnNewConnection()) return false;
    options = session.Options();
    return true;
  });
  if (!connected) {
    Busy = false;
    return;
  }
  NoteLoginOutcome();
  SetCaption(lbResponse, "None");
  SetCaption(lbCommand, "Waiting");
  SetCaption(lbAction, "Idle");
  SetPercent(0);
  Busy = false;
}

void TMain::RemoveSentPairs(TSentPairs& sent) {
  std::string why;
  if (!sent.Load(why)) {
    ReportError(why);
    NoteFailure(zvexit::kCannotCreate);
  }
  if (sent.Empty()) return;
  // Pairs the server took before but that stayed in OUT go now, if they can.
  const auto files = services_.files ? services_.files : plat::DefaultFilingService();
  const auto remove = [&files](const std::string& path, std::string& why) {
    const auto slash = path.rfind('/');
    const int parent = files->OpenDirectory(path.substr(0, slash + 1));
    const bool removed = parent >= 0 && files->Remove(parent, path.substr(slash + 1));
    if (!removed) why = std::strerror(errno);
    if (parent >= 0) files->Close(parent);
    return removed;
  };
  sent.RetryRemovals(remove, [this](const std::string& line, bool failed) {
    if (failed)
      LogFailure(line);
    else
      WriteLog(line);
  });
  if (!sent.Empty()) NoteFailure(zvexit::kCannotCreate);
  if (!sent.Save(why)) ReportError(why);
}

bool TMain::OpenFileRetry(std::FILE*& file, const std::string& name, char mode) {
  if (mode == 'W' || mode == 'w') return OpenTextRetry(file, name, 'W');
  return OpenWorkFile(file, name) == TWorkFileOpen::Opened;
}

bool TMain::RemoveFile(const std::string& name) { return RemoveWorkFile(name); }
