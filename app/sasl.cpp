#include "app/sasl.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>
#include <algorithm>

#include "app/pass_host.h"
#include "config/textutil.h"

namespace {

// The longest command line with its CR LF on which the initial response may
// go: RFC 4954 keeps SMTP's 512, RFC 5034 says 255 for POP3.
constexpr std::size_t kSmtpLineLimit = 512;
constexpr std::size_t kPop3LineLimit = 255;
// What is logged of a status or reason the server sent.
constexpr int kDetailMax = 200;

// The gs2 authorisation identity of RFC 7628: "," and "=" escaped.
std::string SaslName(const std::string& user) {
  std::string out;
  for (char c : user) {
    if (c == ',')
      out += "=2C";
    else if (c == '=')
      out += "=3D";
    else
      out += c;
  }
  return out;
}

std::string InitialResponse(TAuthMech mech, const std::string& user, const std::string& secret,
                            const std::string& server, uint16_t port) {
  switch (mech) {
    case TAuthMech::XOAuth2:
      return "user=" + user + "\x01" + "auth=Bearer " + secret + "\x01\x01";
    case TAuthMech::OAuthBearer:
      return "n,a=" + SaslName(user) + ",\x01" + "host=" + server + "\x01" + "port=" + std::to_string(port) +
             "\x01" + "auth=Bearer " + secret + "\x01\x01";
    default:
      return std::string(1, '\0') + user + '\0' + secret;
  }
}

std::string Member(const QJsonObject& object, const char* name) {
  const QJsonValue value = object.value(QLatin1String(name));
  if (value.isUndefined() || value.isNull()) return {};
  return value.toVariant().toString().left(kDetailMax).toStdString();
}

}  // namespace

std::string DescribeErrorChallenge(const std::string& base64) {
  const auto decoded = QByteArray::fromBase64Encoding(QByteArray(base64.data(), qsizetype(base64.size())),
                                                      QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return {};
  const QJsonDocument json = QJsonDocument::fromJson(*decoded);
  if (!json.isObject()) return {};
  const QJsonObject object = json.object();
  std::string text;
  if (const std::string status = Member(object, "status"); !status.empty()) text = "status " + status;
  for (const char* name : {"reason", "error_description", "error", "message"}) {
    if (const std::string reason = Member(object, name); !reason.empty()) {
      text += (text.empty() ? "reason " : ", reason ") + reason;
      break;
    }
  }
  return text;
}

TSaslReply TSaslLogin::Run(TAuthMech mech, const std::string& user, const std::string& secret,
                           const std::string& server, uint16_t port) {
  if (mech == TAuthMech::Login) {
    host_.SendCommand("AUTH LOGIN");
    uint16_t code = host_.ReadCode();
    if (code == 334) {
      host_.SendSecretCommand(Base64(user), "****");
      code = host_.ReadCode();
    }
    if (code == 334) {
      host_.SendSecretCommand(Base64(secret), "****");
      code = host_.ReadCode();
    }
    return {code, {}};
  }

  const std::string name = AuthMechName(mech);
  const std::string response = Base64(InitialResponse(mech, user, secret, server, port));
  const std::string line = "AUTH " + name + " " + response;
  const std::size_t limit = protocol_ == TSaslProtocol::Smtp ? kSmtpLineLimit : kPop3LineLimit;
  std::string reply;
  if (line.size() + 2 <= limit) {
    host_.SendSecretCommand(line, "AUTH " + name + " ****");
  } else {
    host_.SendCommand("AUTH " + name);
    if (!ReadLine(reply)) return {};
    if (!IsChallenge(reply)) return Final(reply);
    host_.SendSecretCommand(response, "****");
  }
  if (!ReadLine(reply)) return {};
  if (IsChallenge(reply)) {
    // The server refused the credentials and says why; the exchange ends
    // with the answer the mechanism asks for, then the final reply.
    const std::string text = reply.substr(std::min(reply.size(), std::size_t{protocol_ == TSaslProtocol::Smtp ? 4u : 2u}));
    const std::string detail = DescribeErrorChallenge(text);
    host_.WriteLog((protocol_ == TSaslProtocol::Smtp ? "SMTP host " : "POP3 server ") + host_.ServerName() +
                   " refused the login by " + name + ": " + (detail.empty() ? "no reason given" : detail));
    host_.SendCommand(mech == TAuthMech::XOAuth2 ? "" : mech == TAuthMech::OAuthBearer ? "AQ==" : "*");
    if (!ReadLine(reply)) return {};
  }
  return Final(reply);
}

bool TSaslLogin::ReadLine(std::string& line) { return host_.ReadChallenge(line); }

bool TSaslLogin::IsChallenge(const std::string& line) const {
  if (protocol_ == TSaslProtocol::Smtp) return line.compare(0, 3, "334") == 0 && (line.size() == 3 || line[3] == ' ');
  return line == "+" || line.compare(0, 2, "+ ") == 0;
}

TSaslReply TSaslLogin::Final(const std::string& first) {
  if (protocol_ == TSaslProtocol::Pop3) return {0, first};
  const auto code = static_cast<uint16_t>(TextToNum(first));
  // The rest of a multi-line reply.
  if (first.size() >= 4 && first[3] == '-') host_.ReadCode();
  return {code, {}};
}
