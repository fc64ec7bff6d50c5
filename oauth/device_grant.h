// TDeviceAuthorization: the first authorisation of an instance without a
// browser on its machine (RFC 8628). It asks OAUTH_DEVICE_URL for a code,
// tells the person where to enter it, polls the token endpoint as often as
// the endpoint allows until the person has decided or the code has expired,
// and stores the refresh token in ZVMAIL32.TOK in place of what it held.
// The client secret is sent only when one is configured.
//
// The configuration, the secret source and the services are borrowed or
// shared; the caller keeps them alive. Error convention: Run's result says
// how it ended; the lines for the person say why.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "oauth/http.h"

struct TConfig;
class TSecretSource;

namespace oauth {

class TDeviceAuthorization {
 public:
  enum class TResult { Authorised, Refused, Failed };

  // `tell`: the address and the code, for the person; `progress`: what
  // happens meanwhile. `wait` sleeps that many seconds (null: in the event
  // loop); `now` gives the time in seconds (null: the clock).
  TDeviceAuthorization(const TConfig& cfg, TSecretSource& secrets, std::shared_ptr<THttpAccess> http,
                       std::string tokenFile, std::string iniPath, std::function<void(const std::string&)> tell,
                       std::function<void(const std::string&)> progress,
                       std::function<void(int64_t)> wait = nullptr, std::function<int64_t()> now = nullptr);

  // Authorised: the refresh token is stored. Refused: the person or the
  // endpoint said no, or the code expired. Failed: the endpoints could not
  // be asked, or the token could not be stored.
  TResult Run();

 private:
  const TConfig& cfg_;
  TSecretSource& secrets_;
  std::shared_ptr<THttpAccess> http_;
  std::string tokenFile_, iniPath_;
  std::function<void(const std::string&)> tell_, progress_;
  std::function<void(int64_t)> wait_;
  std::function<int64_t()> now_;
};

}  // namespace oauth
