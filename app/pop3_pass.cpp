// The receive pass: opens the connection to the POP3 server, lets
// TPop3Session fetch and file the mailbox, and closes.
#include <QLabel>

#include "app/icons.h"
#include "app/login_secrets.h"
#include "app/mainunit.h"
#include "app/pop3_session.h"

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
  GotZorvikMail = false;
  Busy = true;
  LastShownState = -1;
  SetPercent(0);
  SetCaption(lbAction, "Receiving");
  // An earlier run may have left the socket in the error state; start afresh
  // without the close OpenConnection would make.
  Sock.State = 0;
  if (Config.DEBUG) WriteLog("DEBUG:Opening POP3 connection");
  const TTlsMode tls = Config.PopTls();
  const auto [host, port] = ServerAddress(Config.POP, tls == TTlsMode::Implicit ? kPop3sPort : kPop3Port);
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
  if (!(options.token ? Logins().Token(false, options.password) : Logins().Password("PASSWORD", options.password))) {
    Busy = false;
    return;
  }
  if (options.token) options.freshToken = [this](std::string& token) { return Logins().Token(true, token); };
  // A second connection only when the server refused a token and closed
  // the first: the fresh token is tried on it.
  for (bool again = true; again;) {
    again = false;
    OpenConnection(host, port);
    WaitForState(1);
    if (LastSockError > 0) {
      Busy = false;
      return;
    }
    SetIconVisible(icnDownOff, false);
    {
      TPop3Session session(*this, options);
      session.Run();
      GotZorvikMail = session.GotZorvikMail();
      if (session.RetryOnNewConnection()) {
        options = session.Options();
        again = true;
      }
    }
    Sock.Close();
    WaitForState(0);
    SetIconVisible(icnDownOff, true);
  }
  SetCaption(lbResponse, "None");
  SetCaption(lbCommand, "Waiting");
  SetCaption(lbAction, "Idle");
  SetPercent(0);
  Busy = false;
}
