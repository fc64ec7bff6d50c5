#include "oauth/token_source.h"

#include <ctime>

#include "config/configfile.h"
#include "config/secrets.h"
#include "oauth/token_reply.h"

namespace oauth {
namespace {

// expires_in is only recommended: without it a token is taken for an hour,
// and a server that refuses it earlier gets a fresh one.
constexpr int64_t kAssumedLifetime = 3600;

}  // namespace

TTokenSource::TTokenSource(const TConfig& cfg, TSecretSource& secrets, std::shared_ptr<THttpAccess> http,
                           std::string tokenFile, std::string iniPath, std::function<void(const std::string&)> log,
                           std::function<int64_t()> now)
    : cfg_(cfg),
      secrets_(secrets),
      http_(http ? std::move(http) : MakeHttpAccess()),
      tokenFile_(std::move(tokenFile)),
      iniPath_(std::move(iniPath)),
      log_(std::move(log)),
      now_(now ? std::move(now) : [] { return int64_t(std::time(nullptr)); }) {}

bool TTokenSource::Token(bool fresh, std::string& token, TTokenFailure& failure, std::string& why) {
  token.clear();
  failure = TTokenFailure::None;
  return cfg_.OAUTH_TOKEN_COMMAND.empty() ? FromEndpoint(fresh, token, failure, why)
                                          : FromCommand(token, failure, why);
}

bool TTokenSource::FromCommand(std::string& token, TTokenFailure& failure, std::string& why) {
  failure = TTokenFailure::Temporary;
  if (!secrets_.RunCommand("OAUTH_TOKEN_COMMAND", cfg_.OAUTH_TOKEN_COMMAND, token, why)) return false;
  if (!IsTokenText(token)) {
    token.clear();
    why = "OAUTH_TOKEN_COMMAND wrote something that is not a token (blanks or control characters)";
    return false;
  }
  failure = TTokenFailure::None;
  return true;
}

bool TTokenSource::Current(TTokenRecord& record, std::string& why) {
  if (unsaved_) {
    record = pending_;
    return true;
  }
  return LoadTokenFile(tokenFile_, record, why) != TLoadResult::Failed;
}

bool TTokenSource::FromEndpoint(bool fresh, std::string& token, TTokenFailure& failure, std::string& why) {
  failure = TTokenFailure::Temporary;
  const std::string host = HostOf(cfg_.OAUTH_TOKEN_URL);
  TTokenRecord record;
  if (!Current(record, why)) return false;
  const int64_t now = now_();
  if (!fresh && !record.accessToken.empty() && record.expires - now >= kTokenMargin) {
    token = record.accessToken;
    failure = TTokenFailure::None;
    return true;
  }

  // The refresh token of the file, else the configured one; the client
  // secret only where one is configured.
  std::string refresh = record.refreshToken, secret;
  if (refresh.empty() &&
      secrets_.Resolve(cfg_, "OAUTH_REFRESH_TOKEN", refresh, why) == TSecretSource::TResult::Failed)
    return false;
  if (secrets_.Resolve(cfg_, "OAUTH_CLIENT_SECRET", secret, why) == TSecretSource::TResult::Failed) return false;
  const bool refreshGrant = !refresh.empty();
  if (!refreshGrant && secret.empty()) {
    failure = TTokenFailure::NeedsPerson;
    why = "no refresh token and no client secret for the token endpoint " + host +
          ": authorise with zvmail32 --authorize, or set OAUTH_CLIENT_SECRET";
    return false;
  }
  TForm form = {{"grant_type", refreshGrant ? "refresh_token" : "client_credentials"}};
  if (refreshGrant) form.emplace_back("refresh_token", refresh);
  form.emplace_back("client_id", cfg_.OAUTH_CLIENT_ID);
  if (!secret.empty()) form.emplace_back("client_secret", secret);
  if (!cfg_.OAUTH_SCOPE.empty()) form.emplace_back("scope", cfg_.OAUTH_SCOPE);

  std::string request = cfg_.OAUTH_TOKEN_URL;
  for (const auto& [name, value] : form) request += '\n' + name + '=' + value;
  if (request == refused_) {
    failure = TTokenFailure::NeedsPerson;
    why = "the token endpoint " + host + " refused these credentials before; authorise again";
    return false;
  }

  const THttpReply reply = http_->PostForm(cfg_.OAUTH_TOKEN_URL, form, cfg_.TLS_CA_FILE);
  if (reply.status == 0) {
    why = "the token endpoint could not be asked: " + reply.error;
    return false;
  }
  TTokenReply answer;
  const bool json = ParseTokenReply(reply.body, answer);
  if (reply.status == 200 && !answer.accessToken.empty()) {
    record.accessToken = answer.accessToken;
    record.expires = now + (answer.expiresIn > 0 ? answer.expiresIn : kAssumedLifetime);
    if (!answer.refreshToken.empty()) record.refreshToken = answer.refreshToken;
    // On stable storage before the token is used: a rotated refresh token
    // is never lost.
    std::string saveWhy;
    if (SaveTokenFile(tokenFile_, record, iniPath_, saveWhy)) {
      unsaved_ = false;
    } else {
      unsaved_ = true;
      pending_ = record;
      log_(std::string(kTokenFileName) + " could not be written (" + saveWhy + "); the tokens are kept in memory");
    }
    log_("Access token obtained from " + host + " (" + (refreshGrant ? "refresh token" : "client credentials") +
         ", valid " + std::to_string(record.expires - now) + " s)");
    token = record.accessToken;
    failure = TTokenFailure::None;
    return true;
  }
  const std::string said = answer.error + (answer.errorDescription.empty() ? "" : ": " + answer.errorDescription);
  if (json && !answer.error.empty() && reply.status >= 400 && reply.status < 500 &&
      answer.error != "temporarily_unavailable" && answer.error != "slow_down") {
    failure = TTokenFailure::NeedsPerson;
    refused_ = request;
    if (answer.error == "invalid_grant" || answer.error == "invalid_client") {
      why = host + ": " +
            (refreshGrant ? "the token endpoint refused the refresh token: authorise again (zvmail32 --authorize)"
                          : "the token endpoint refused the client credentials: check OAUTH_CLIENT_ID and "
                            "OAUTH_CLIENT_SECRET") +
            " (" + said + ")";
    } else {
      why = host + ": the token endpoint refused the request (" + said + ")";
    }
    return false;
  }
  why = "the token endpoint " + host + " answered " + std::to_string(reply.status) +
        (said.empty() ? " without a token" : " (" + said + ")");
  return false;
}

}  // namespace oauth
