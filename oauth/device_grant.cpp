#include "oauth/device_grant.h"

#include <QEventLoop>
#include <QTimer>
#include <ctime>

#include "config/configfile.h"
#include "config/secrets.h"
#include "oauth/token_file.h"
#include "oauth/token_reply.h"

namespace oauth {
namespace {

constexpr int64_t kDefaultInterval = 5;      // RFC 8628 section 3.2
constexpr int64_t kSlowDownStep = 5;         // section 3.5
constexpr int64_t kDefaultLifetime = 900;    // a code whose expiry is not given
constexpr int64_t kLongestWait = 3600;       // nobody waits longer for a person
constexpr int kFailuresInARow = 3;           // the endpoint could not be asked

void SleepInEventLoop(int64_t seconds) {
  QEventLoop loop;
  QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

std::string Said(const std::string& error, const std::string& description) {
  return error + (description.empty() ? "" : ": " + description);
}

}  // namespace

TDeviceAuthorization::TDeviceAuthorization(const TConfig& cfg, TSecretSource& secrets,
                                           std::shared_ptr<THttpAccess> http, std::string tokenFile,
                                           std::string iniPath, std::function<void(const std::string&)> tell,
                                           std::function<void(const std::string&)> progress,
                                           std::function<void(int64_t)> wait, std::function<int64_t()> now)
    : cfg_(cfg),
      secrets_(secrets),
      http_(http ? std::move(http) : MakeHttpAccess()),
      tokenFile_(std::move(tokenFile)),
      iniPath_(std::move(iniPath)),
      tell_(std::move(tell)),
      progress_(std::move(progress)),
      wait_(wait ? std::move(wait) : SleepInEventLoop),
      now_(now ? std::move(now) : [] { return int64_t(std::time(nullptr)); }) {}

TDeviceAuthorization::TResult TDeviceAuthorization::Run() {
  std::string secret, why;
  if (secrets_.Resolve(cfg_, "OAUTH_CLIENT_SECRET", secret, why) == TSecretSource::TResult::Failed) {
    progress_(why);
    return TResult::Failed;
  }
  TForm form = {{"client_id", cfg_.OAUTH_CLIENT_ID}};
  if (!secret.empty()) form.emplace_back("client_secret", secret);
  if (!cfg_.OAUTH_SCOPE.empty()) form.emplace_back("scope", cfg_.OAUTH_SCOPE);

  const THttpReply asked = http_->PostForm(cfg_.OAUTH_DEVICE_URL, form, cfg_.TLS_CA_FILE);
  if (asked.status == 0) {
    progress_("the device authorisation endpoint could not be asked: " + asked.error);
    return TResult::Failed;
  }
  TDeviceReply device;
  const bool json = ParseDeviceReply(asked.body, device);
  if (asked.status != 200 || device.deviceCode.empty() || device.userCode.empty() || device.verificationUri.empty()) {
    progress_("the device authorisation endpoint " + HostOf(cfg_.OAUTH_DEVICE_URL) + " answered " +
              std::to_string(asked.status) +
              (device.error.empty() ? " without a code" : " (" + Said(device.error, device.errorDescription) + ")"));
    return json && !device.error.empty() && asked.status / 100 == 4 ? TResult::Refused : TResult::Failed;
  }
  tell_("Verification address: " + device.verificationUri);
  tell_("User code: " + device.userCode);
  if (!device.verificationUriComplete.empty()) tell_("Address with the code: " + device.verificationUriComplete);

  int64_t interval = device.interval > 0 ? device.interval : kDefaultInterval;
  const int64_t lifetime = std::min(device.expiresIn > 0 ? device.expiresIn : kDefaultLifetime, kLongestWait);
  const int64_t deadline = now_() + lifetime;
  progress_("Waiting for the code to be entered (it expires in " + std::to_string(lifetime) + " s)");

  form = {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
          {"device_code", device.deviceCode},
          {"client_id", cfg_.OAUTH_CLIENT_ID}};
  if (!secret.empty()) form.emplace_back("client_secret", secret);
  int failures = 0;
  while (now_() + interval <= deadline) {
    wait_(interval);
    const THttpReply reply = http_->PostForm(cfg_.OAUTH_TOKEN_URL, form, cfg_.TLS_CA_FILE);
    TTokenReply answer;
    const bool parsed = reply.status != 0 && ParseTokenReply(reply.body, answer);
    if (reply.status == 200 && !answer.accessToken.empty()) {
      if (answer.refreshToken.empty()) {
        progress_("The endpoint gave no refresh token (is offline access among the scopes of OAUTH_SCOPE?); "
                  "nothing was stored");
        return TResult::Refused;
      }
      // The refresh token alone: the state of an earlier authorisation,
      // an access token included, goes with it.
      if (!SaveTokenFile(tokenFile_, {answer.refreshToken, "", 0}, iniPath_, why)) {
        progress_(std::string(kTokenFileName) + " could not be written: " + why);
        return TResult::Failed;
      }
      progress_("Authorised: the refresh token is stored in " + tokenFile_);
      return TResult::Authorised;
    }
    if (parsed && answer.error == "authorization_pending") {
      failures = 0;
      continue;
    }
    if (parsed && answer.error == "slow_down") {
      failures = 0;
      interval += kSlowDownStep;
      continue;
    }
    if (parsed && !answer.error.empty() && reply.status / 100 == 4) {
      progress_("The token endpoint " + HostOf(cfg_.OAUTH_TOKEN_URL) + " refused the authorisation (" +
                Said(answer.error, answer.errorDescription) + ")");
      return TResult::Refused;
    }
    progress_(reply.status == 0 ? "the token endpoint could not be asked: " + reply.error
                                : "the token endpoint " + HostOf(cfg_.OAUTH_TOKEN_URL) + " answered " +
                                      std::to_string(reply.status));
    if (++failures == kFailuresInARow) return TResult::Failed;
  }
  progress_("The code expired before it was entered");
  return TResult::Refused;
}

}  // namespace oauth
