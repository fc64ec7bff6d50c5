// TLoginSecrets: the secrets of a run's logins, looked up when a pass needs
// them: passwords from the INI, a command or a credential file
// (TSecretSource), and OAuth2 access tokens (oauth::TTokenSource, which
// keeps its state across passes). It talks to the window only through
// TPassHost: a failure is reported (lbError and the log, never a secret) and
// noted as the run's status, 75, or 77 when a person is needed.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "config/secrets.h"

class TPassHost;
namespace plat { class CommandService; }
namespace oauth {
class THttpAccess;
class TTokenSource;
}

class TLoginSecrets {
 public:
  // `programDir`: where the INI and ZVMAIL32.TOK live. Null services select
  // the real ones.
  TLoginSecrets(TPassHost& host, std::string programDir, std::shared_ptr<plat::CommandService> commands,
                std::shared_ptr<oauth::THttpAccess> http);
  ~TLoginSecrets();

  // The value of the secret key `key` (PASSWORD, SMTP_PASSWORD, LOGIN_PWD);
  // empty when no source gives one. False after a failure, reported.
  bool Password(const std::string& key, std::string& secret);
  // An access token (`fresh`: never the one held). False after a failure,
  // reported.
  bool Token(bool fresh, std::string& token);
  // The secret of a login: an access token when `token` (and in `fresh` the
  // way to a fresh one), else the password of `passwordKey`.
  bool ForLogin(bool token, const std::string& passwordKey, std::string& secret,
                std::function<bool(std::string&)>& fresh);

 private:
  TPassHost& host_;
  std::string programDir_;
  TSecretSource secrets_;
  std::shared_ptr<oauth::THttpAccess> http_;
  std::unique_ptr<oauth::TTokenSource> tokens_;
};
