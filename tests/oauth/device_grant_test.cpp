// The device authorisation against endpoints the test plays: what the
// person is told, how the polls follow the endpoint's pace, what is stored,
// and how a refusal or an expired code ends it.
#include <gtest/gtest.h>

#include <deque>

#include "config/configfile.h"
#include "config/secrets.h"
#include "oauth/device_grant.h"
#include "oauth/token_file.h"
#include "support/testutil.h"

namespace {

using TResult = oauth::TDeviceAuthorization::TResult;

class PlayedEndpoints : public oauth::THttpAccess {
 public:
  oauth::THttpReply PostForm(const std::string& url, const oauth::TForm& form, const std::string&) override {
    requests.emplace_back(url, form);
    if (replies.empty()) return {0, "", "login.example: no reply scripted"};
    const oauth::THttpReply reply = replies.front();
    replies.pop_front();
    return reply;
  }
  std::vector<std::pair<std::string, oauth::TForm>> requests;
  std::deque<oauth::THttpReply> replies;
};

TEST(DeviceAuthorization, PollsAtTheEndpointsPaceAndStoresTheRefreshToken) {
  const oauth::THttpReply code = {200, R"({"device_code":"dev-1","user_code":"WDJB-MJHT",
      "verification_uri":"https://login.example/device","expires_in":60,"interval":5})", ""};
  const oauth::THttpReply pending = {400, R"({"error":"authorization_pending"})", ""};
  const oauth::THttpReply slower = {400, R"({"error":"slow_down"})", ""};
  const oauth::THttpReply granted = {200, R"({"access_token":"a1","refresh_token":"r1","expires_in":3600})", ""};
  struct Case {
    const char* name;
    std::deque<oauth::THttpReply> replies;
    TResult result;
    std::vector<int64_t> waits;
    std::string lastProgress;
  };
  const Case cases[] = {
      {"authorised", {code, pending, slower, granted}, TResult::Authorised, {5, 5, 10},
       "Authorised: the refresh token is stored in DIR/ZVMAIL32.TOK"},
      {"denied", {code, pending, {400, R"({"error":"access_denied"})", ""}}, TResult::Refused, {5, 5},
       "The token endpoint login.example refused the authorisation (access_denied)"},
      {"expired", {code, pending, pending, pending, pending, pending, pending, pending, pending, pending, pending,
                   pending, pending, pending}, TResult::Refused, std::vector<int64_t>(12, 5),
       "The code expired before it was entered"},
      {"endpoint down", {{0, "", "login.example: Connection refused"}}, TResult::Failed, {},
       "the device authorisation endpoint could not be asked: login.example: Connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zvtest::TempDir dir;
    TConfig cfg;
    cfg.OAUTH_DEVICE_URL = "https://login.example/devicecode";
    cfg.OAUTH_TOKEN_URL = "https://login.example/token";
    cfg.OAUTH_CLIENT_ID = "zv";
    cfg.OAUTH_SCOPE = "mail offline_access";
    TSecretSource secrets;
    auto endpoints = std::make_shared<PlayedEndpoints>();
    endpoints->replies = c.replies;
    std::vector<std::string> told, progress;
    std::vector<int64_t> waits;
    int64_t now = 1000;
    oauth::TDeviceAuthorization authorization(
        cfg, secrets, endpoints, dir / "ZVMAIL32.TOK", dir / "ZVMAIL32.INI",
        [&](const std::string& l) { told.push_back(l); }, [&](const std::string& l) { progress.push_back(l); },
        [&](int64_t seconds) { waits.push_back(seconds), now += seconds; }, [&] { return now; });
    EXPECT_EQ(authorization.Run(), c.result);
    EXPECT_EQ(waits, c.waits);
    std::string last = c.lastProgress;
    if (const auto at = last.find("DIR/"); at != std::string::npos) last.replace(at, 4, dir.path());
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), last);
    if (c.result == TResult::Failed) continue;
    EXPECT_EQ(told, (std::vector<std::string>{"Verification address: https://login.example/device",
                                              "User code: WDJB-MJHT"}));
    // No client secret is configured, so none is sent.
    EXPECT_EQ(endpoints->requests[0].second,
              (oauth::TForm{{"client_id", "zv"}, {"scope", "mail offline_access"}}));
    EXPECT_EQ(endpoints->requests[1].second,
              (oauth::TForm{{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                            {"device_code", "dev-1"},
                            {"client_id", "zv"}}));
    EXPECT_EQ(zvtest::FileExists(dir / "ZVMAIL32.TOK"), c.result == TResult::Authorised);
    if (c.result == TResult::Authorised) {
      EXPECT_EQ(zvtest::ReadFile(dir / "ZVMAIL32.TOK"), "REFRESH_TOKEN r1\n");
    }
  }
}

}  // namespace
