// TTokenSource: the OAuth2 access tokens the logins send. With
// OAUTH_TOKEN_COMMAND it runs that command for each token. Otherwise it asks
// the token endpoint OAUTH_TOKEN_URL itself: the refresh-token grant (RFC
// 6749 section 6) with the refresh token of ZVMAIL32.TOK, else
// OAUTH_REFRESH_TOKEN; the client-credentials grant (section 4.4) when there
// is neither. The access token and its expiry, and a refresh token the
// endpoint rotates, are written to ZVMAIL32.TOK before the token is used, so
// a rotated refresh token is on stable storage before the old one is
// forgotten; a token is reused, across passes and runs, while 5 minutes or
// more of it remain.
//
// An endpoint that refuses the client or the grant (invalid_grant,
// invalid_client and the other OAuth2 errors) needs a person: the source
// then asks it nothing more until one of the values it sent changes (the
// INI's, the refresh token in ZVMAIL32.TOK, the client secret's source).
//
// It lives as long as the run; the configuration record, the secret source
// and the services are borrowed or shared, the caller keeps them alive.
// Error convention: Token returns false with the reason in words (never a
// secret) and whether a person is needed; nothing throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "oauth/http.h"
#include "oauth/token_file.h"

struct TConfig;
class TSecretSource;

namespace oauth {

enum class TTokenFailure { None, Temporary, NeedsPerson };

// A token is obtained afresh when less than this many seconds of it remain.
inline constexpr int64_t kTokenMargin = 300;

class TTokenSource {
 public:
  // `tokenFile`: ZVMAIL32.TOK's path; `iniPath`: the INI, whose owner the
  // token file takes. `log` gets the lines worth logging; `now` gives the
  // time in seconds since the epoch (null: the clock).
  TTokenSource(const TConfig& cfg, TSecretSource& secrets, std::shared_ptr<THttpAccess> http, std::string tokenFile,
               std::string iniPath, std::function<void(const std::string&)> log,
               std::function<int64_t()> now = nullptr);

  // An access token: the one held while kTokenMargin or more of it remain,
  // unless `fresh` (the server refused the one held), else a new one.
  bool Token(bool fresh, std::string& token, TTokenFailure& failure, std::string& why);

 private:
  bool FromCommand(std::string& token, TTokenFailure& failure, std::string& why);
  bool FromEndpoint(bool fresh, std::string& token, TTokenFailure& failure, std::string& why);
  // The record to start from: the one not yet saved, else the file's.
  bool Current(TTokenRecord& record, std::string& why);

  const TConfig& cfg_;
  TSecretSource& secrets_;
  std::shared_ptr<THttpAccess> http_;
  std::string tokenFile_, iniPath_;
  std::function<void(const std::string&)> log_;
  std::function<int64_t()> now_;
  // The request the endpoint refused for good, as sent ("" when none).
  std::string refused_;
  // A record whose saving failed: used, and saved again, until it is saved.
  bool unsaved_ = false;
  TTokenRecord pending_;
};

}  // namespace oauth
