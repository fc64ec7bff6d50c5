#include "app/login_secrets.h"

#include "app/exit_status.h"
#include "app/mainunit.h"
#include "app/pass_host.h"
#include "config/configfile.h"
#include "oauth/token_source.h"

TLoginSecrets::TLoginSecrets(TPassHost& host, std::string programDir, std::shared_ptr<plat::CommandService> commands,
                             std::shared_ptr<oauth::THttpAccess> http)
    : host_(host), programDir_(std::move(programDir)), secrets_(std::move(commands)), http_(std::move(http)) {}

TLoginSecrets::~TLoginSecrets() = default;

bool TLoginSecrets::Password(const std::string& key, std::string& secret) {
  std::string why;
  if (secrets_.Resolve(host_.PassConfig(), key, secret, why) != TSecretSource::TResult::Failed) return true;
  host_.ReportError(why);
  host_.NoteFailure(zvexit::kTemporary);
  return false;
}

bool TLoginSecrets::Token(bool fresh, std::string& token) {
  if (!tokens_) {
    tokens_ = std::make_unique<oauth::TTokenSource>(
        host_.PassConfig(), secrets_, http_, programDir_ + kTokenFileName, programDir_ + kConfigFileName,
        [this](const std::string& line) { host_.WriteLog(line); });
  }
  oauth::TTokenFailure failure = oauth::TTokenFailure::None;
  std::string why;
  if (tokens_->Token(fresh, token, failure, why)) return true;
  host_.ReportError(why);
  host_.NoteFailure(failure == oauth::TTokenFailure::NeedsPerson ? zvexit::kNoPermission : zvexit::kTemporary);
  return false;
}

bool TLoginSecrets::ForLogin(bool token, const std::string& passwordKey, std::string& secret,
                             std::function<bool(std::string&)>& fresh) {
  if (!token) return Password(passwordKey, secret);
  fresh = [this](std::string& again) { return Token(true, again); };
  return Token(false, secret);
}

TLoginSecrets& TMain::Logins() {
  if (!logins_) logins_ = std::make_unique<TLoginSecrets>(*this, ProgramDir, services_.commands, services_.http);
  return *logins_;
}
