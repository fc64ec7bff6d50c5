// The token source against an endpoint the test plays: which grant it asks
// for with which refresh token, what ZVMAIL32.TOK holds afterwards, when a
// token is reused, and what a refusal or a failure leads to.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>

#include "config/configfile.h"
#include "config/secrets.h"
#include "oauth/token_reply.h"
#include "oauth/token_source.h"
#include "support/testutil.h"

namespace {

using oauth::TTokenFailure;

class FakeEndpoint : public oauth::THttpAccess {
 public:
  oauth::THttpReply PostForm(const std::string&, const oauth::TForm& form, const std::string&) override {
    requests.push_back(form);
    if (replies.empty()) return {0, "", "login.example: no reply scripted"};
    const oauth::THttpReply reply = replies.front();
    replies.pop_front();
    return reply;
  }
  // The value of `name` in the last request ("" when absent).
  std::string Sent(const std::string& name) const {
    for (const auto& [key, value] : requests.back())
      if (key == name) return value;
    return {};
  }
  std::vector<oauth::TForm> requests;
  std::deque<oauth::THttpReply> replies;
};

oauth::THttpReply Granted(const std::string& access, const std::string& refresh = "") {
  return {200, R"({"access_token":")" + access + R"(","token_type":"Bearer","expires_in":3600)" +
                   (refresh.empty() ? "" : R"(,"refresh_token":")" + refresh + "\"") + "}",
          ""};
}

class TokenSource : public ::testing::Test {
 protected:
  TokenSource() {
    cfg.OAUTH_TOKEN_URL = "https://login.example/token";
    cfg.OAUTH_CLIENT_ID = "zv";
    cfg.OAUTH_SCOPE = "mail offline_access";
  }
  // A source as a run makes it, with the clock at `now`.
  std::unique_ptr<oauth::TTokenSource> Make(const std::string& tokenFile) {
    return std::make_unique<oauth::TTokenSource>(
        cfg, secrets, endpoint, tokenFile, dir / "ZVMAIL32.INI", [this](const std::string& l) { log.push_back(l); },
        [this] { return now; });
  }
  bool Token(oauth::TTokenSource& source, bool fresh = false) {
    why.clear();
    return source.Token(fresh, token, failure, why);
  }

  zvtest::TempDir dir;
  std::string tok = dir / "ZVMAIL32.TOK";
  TConfig cfg;
  TSecretSource secrets;
  std::shared_ptr<FakeEndpoint> endpoint = std::make_shared<FakeEndpoint>();
  int64_t now = 1700000000;
  std::string token, why;
  TTokenFailure failure = TTokenFailure::None;
  std::vector<std::string> log;
};

// The file's refresh token wins over the INI's; a rotated one is stored,
// the access token is reused while 5 minutes or more of it remain.
TEST_F(TokenSource, RefreshGrantStoresTheRotatedTokenAndReusesTheAccessToken) {
  cfg.OAUTH_REFRESH_TOKEN = "ini-refresh";
  cfg.OAUTH_CLIENT_SECRET = "c-secret";
  zvtest::WriteFile(tok, "REFRESH_TOKEN file-refresh\n");
  auto source = Make(tok);
  endpoint->replies = {Granted("a1", "r2"), Granted("a2"), Granted("a3")};

  ASSERT_TRUE(Token(*source)) << why;
  EXPECT_EQ(token, "a1");
  EXPECT_EQ(endpoint->requests.back(),
            (oauth::TForm{{"grant_type", "refresh_token"}, {"refresh_token", "file-refresh"}, {"client_id", "zv"},
                          {"client_secret", "c-secret"}, {"scope", "mail offline_access"}}));
  EXPECT_EQ(zvtest::ReadFile(tok), "REFRESH_TOKEN r2\nACCESS_TOKEN a1\nEXPIRES 1700003600\n");
  struct stat st {};
  ASSERT_EQ(::stat(tok.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Another pass, and another run: the same token, no request.
  now += 3600 - oauth::kTokenMargin;
  ASSERT_TRUE(Token(*Make(tok)));
  EXPECT_EQ(token, "a1");
  EXPECT_EQ(endpoint->requests.size(), 1u);
  // Less than the margin left: the rotated refresh token is used; one not
  // rotated stays as it was.
  now += 1;
  ASSERT_TRUE(Token(*source));
  EXPECT_EQ(token, "a2");
  EXPECT_EQ(endpoint->Sent("refresh_token"), "r2");
  EXPECT_EQ(oauth::ParseTokenFile(zvtest::ReadFile(tok)).refreshToken, "r2");
  // The server refused the token held: a fresh one whatever its expiry.
  ASSERT_TRUE(Token(*source, true));
  EXPECT_EQ(token, "a3");
  EXPECT_EQ(endpoint->requests.size(), 3u);
  for (const auto& line : log) EXPECT_EQ(line.find("r2"), std::string::npos) << line;
}

TEST_F(TokenSource, ClientCredentialsOnlyWithoutAnyRefreshToken) {
  cfg.OAUTH_CLIENT_SECRET = "c-secret";
  endpoint->replies = {Granted("a1")};
  ASSERT_TRUE(Token(*Make(tok))) << why;
  EXPECT_EQ(endpoint->Sent("grant_type"), "client_credentials");
  EXPECT_EQ(endpoint->Sent("refresh_token"), "");
  EXPECT_EQ(zvtest::ReadFile(tok), "ACCESS_TOKEN a1\nEXPIRES 1700003600\n");

  // Neither a refresh token nor a secret: a person must authorise first.
  cfg.OAUTH_CLIENT_SECRET.clear();
  EXPECT_FALSE(Token(*Make(dir / "other.TOK")));
  EXPECT_EQ(failure, TTokenFailure::NeedsPerson);
  EXPECT_EQ(endpoint->requests.size(), 1u);
}

// A refused refresh token needs a person: it is not offered again until it
// changes; an endpoint that cannot be reached or fails is a temporary cause.
TEST_F(TokenSource, RefusalsAndFailures) {
  cfg.OAUTH_REFRESH_TOKEN = "dead";
  auto source = Make(tok);
  endpoint->replies = {{400, R"({"error":"invalid_grant","error_description":"expired"})", ""}};
  EXPECT_FALSE(Token(*source));
  EXPECT_EQ(failure, TTokenFailure::NeedsPerson);
  EXPECT_NE(why.find("login.example: the token endpoint refused the refresh token: authorise again"),
            std::string::npos) << why;
  EXPECT_FALSE(Token(*source));
  EXPECT_EQ(failure, TTokenFailure::NeedsPerson);
  EXPECT_EQ(endpoint->requests.size(), 1u) << "the endpoint is not asked again";

  zvtest::WriteFile(tok, "REFRESH_TOKEN authorised-again\n");
  endpoint->replies = {{0, "", "login.example: Connection refused"},
                       {503, "<html>busy</html>", ""},
                       {200, R"({"token_type":"Bearer"})", ""}};
  for (const char* cause : {"login.example: Connection refused", "login.example answered 503", "without a token"}) {
    EXPECT_FALSE(Token(*source));
    EXPECT_EQ(failure, TTokenFailure::Temporary);
    EXPECT_NE(why.find(cause), std::string::npos) << why;
  }
  EXPECT_EQ(endpoint->Sent("refresh_token"), "authorised-again");
  EXPECT_EQ(endpoint->requests.size(), 4u);
}

// A rotated refresh token that could not be written is kept and used until
// it is written; a link at the file's name is never read or followed.
TEST_F(TokenSource, ARotatedTokenIsNeverLost) {
  const std::string missing = dir / "missing/";
  cfg.OAUTH_REFRESH_TOKEN = "r1";
  auto source = Make(missing + "ZVMAIL32.TOK");
  endpoint->replies = {Granted("a1", "r2"), Granted("a2", "r3")};
  ASSERT_TRUE(Token(*source));
  EXPECT_EQ(token, "a1");
  ::mkdir(missing.c_str(), 0700);
  ASSERT_TRUE(Token(*source, true));
  EXPECT_EQ(endpoint->Sent("refresh_token"), "r2");
  EXPECT_EQ(oauth::ParseTokenFile(zvtest::ReadFile(missing + "ZVMAIL32.TOK")).refreshToken, "r3");

  zvtest::WriteFile(dir / "elsewhere", "REFRESH_TOKEN planted\n");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), tok.c_str()), 0);
  EXPECT_FALSE(Token(*Make(tok)));
  EXPECT_NE(why.find("is a link"), std::string::npos) << why;
  EXPECT_EQ(endpoint->requests.size(), 2u);
  // The file is replaced by a rename: a link there is replaced, its target untouched.
  std::string saveWhy;
  ASSERT_TRUE(oauth::SaveTokenFile(tok, {"r9", "", 0}, dir / "ZVMAIL32.INI", saveWhy)) << saveWhy;
  EXPECT_FALSE(std::filesystem::is_symlink(tok));
  EXPECT_EQ(zvtest::ReadFile(dir / "elsewhere"), "REFRESH_TOKEN planted\n");
}

// The file and the endpoint's answers are untrusted: what is not a token is
// no token.
TEST(TokenTexts, FileAndAnswersKeepOnlyTokens) {
  const oauth::TTokenRecord read = oauth::ParseTokenFile(
      "junk\r\nREFRESH_TOKEN r1\r\nACCESS_TOKEN a b\nEXPIRES 12x\nACCESS_TOKEN\n\nEXPIRES 99\nOTHER z");
  EXPECT_EQ(read, (oauth::TTokenRecord{"r1", "", 99}));
  EXPECT_EQ(oauth::ParseTokenFile(oauth::ComposeTokenFile({"r", "a", 7})), (oauth::TTokenRecord{"r", "a", 7}));

  oauth::TTokenReply reply;
  ASSERT_TRUE(oauth::ParseTokenReply(R"({"access_token":"a\r\nQUIT","refresh_token":"r","expires_in":"600"})",
                                     reply));
  EXPECT_EQ(reply.accessToken, "");
  EXPECT_EQ(reply.refreshToken, "r");
  EXPECT_EQ(reply.expiresIn, 600);
  EXPECT_FALSE(oauth::ParseTokenReply("[1]", reply));
}

}  // namespace
