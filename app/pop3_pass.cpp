// The receive pass: opens the connection to the POP3 server, lets
// TPop3Session fetch and file the mailbox, and closes.
#include <QLabel>
#include <cstring>

#include "app/exit_status.h"

#include "app/icons.h"
#include "app/login_secrets.h"
#include "app/mainunit.h"
#include "app/pop3_session.h"
#include "app/workfile.h"

namespace {
constexpr uint16_t kPop3Port = 110;
constexpr uint16_t kPop3sPort = 995;

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}
}  // namespace

void TMain::ReceiveMail() {
  if (Busy || StopRequested) return;
  ReopenLog();
  AutoDial();
  if (StopRequested) return;
  GotZorvikMail = false;
  // Nothing could be filed: the pass is not begun.
  if (const int error = DirectoryError(Config.IN)) {
    ReportError("IN " + Config.IN + ": " + std::strerror(error));
    NoteFailure(zvexit::kCannotCreate);
    return;
  }
  const TTlsMode tls = Config.PopTls();
  const auto [host, port] = ServerAddress(Config.POP, tls == TTlsMode::Implicit ? kPop3sPort : kPop3Port);
  if (!MayTry(ServerKey(host, port))) return;
  Busy = true;
  LastShownState = -1;
  SetPercent(0);
  SetCaption(lbAction, "Receiving");
  // An earlier run may have left the socket in the error state; start afresh
  // without the close OpenConnection would make.
  Sock.State = 0;
  if (Config.DEBUG) WriteLog("DEBUG:Opening POP3 connection");
  TPop3Options options;
  options.programDir = ProgramDir;
  options.files = services_.files;
  options.maxSize = Config.MaxMessageSize();
  options.server = LowerAscii(host) + ":" + std::to_string(port);
  options.tls = tls;
  options.peerName = host;
  options.port = port;
  options.caFile = Config.TLS_CA_FILE;
  options.mechanism = Config.PopAuth();
  options.token = Config.PopUsesToken();
  // The secret before the connection: a slow command or endpoint keeps no
  // server waiting.
  if (!Logins().ForLogin(options.token, "PASSWORD", options.password, options.freshToken)) {
    Busy = false;
    return;
  }
  const bool connected = Converse(host, port, icnDownOff, [&] {
    TPop3Session session(*this, options);
    session.Run();
    GotZorvikMail = session.GotZorvikMail();
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
