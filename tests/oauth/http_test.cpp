// The real HTTPS access against a scripted server of the test CA: the form
// as sent, an error status with its body, and what it refuses (a server the
// CA file does not vouch for, an answer too large or too late).
#include <gtest/gtest.h>

#include "oauth/http.h"
#include "support/scripted_server.h"
#include "support/test_certs.h"

namespace {

using namespace std::chrono_literals;
using zvtest::ScriptedServer;

TEST(HttpAccess, PostsTheFormAndBoundsTheAnswer) {
  const zvtest::TestPki& pki = zvtest::TestCertificates();
  ASSERT_EQ(pki.error, "");
  const std::string json = R"({"error":"invalid_grant"})";
  struct Case {
    const char* name;
    std::string caFile;
    std::string status;  // the status line's code and text
    ScriptedServer::Action action;
    std::size_t maxBytes;
    int wantStatus;
    std::string wantError;  // the start of the error
  };
  const Case cases[] = {
      {"answer with an error status", pki.caFile, "400 Bad Request", ScriptedServer::Action::Close, 1000, 400, ""},
      {"server not vouched for", pki.otherCaFile, "200 OK", ScriptedServer::Action::Close, 1000, 0, "127.0.0.1: "},
      {"answer too large", pki.caFile, "200 OK", ScriptedServer::Action::Close, 10, 0,
       "127.0.0.1: the answer is larger than 10 bytes"},
      {"no answer", pki.caFile, "", ScriptedServer::Action::Silent, 1000, 0, "127.0.0.1: no answer within"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    server.SetCertificate(pki.good.cert, pki.good.key);
    server.SetImplicitTls(true);
    server.SetHandler([&](const std::string& line, std::size_t) {
      ScriptedServer::Step step;
      if (!line.empty()) return step;  // the request line and headers
      if (!c.status.empty()) {
        step.raw = "HTTP/1.1 " + c.status + "\r\nContent-Type: application/json\r\nContent-Length: " +
                   std::to_string(json.size()) + "\r\nConnection: close\r\n\r\n" + json;
      }
      step.action = c.action;
      step.watchAhead = 200ms;  // the form after the headers
      return step;
    });
    ASSERT_TRUE(server.Start());
    const auto http = oauth::MakeHttpAccess(1s, c.maxBytes);
    const oauth::THttpReply reply = http->PostForm("https://127.0.0.1:" + std::to_string(server.Port()) + "/token",
                                                   {{"grant_type", "refresh_token"}, {"refresh_token", "a+b&c d"}},
                                                   c.caFile);
    EXPECT_EQ(reply.status, c.wantStatus);
    EXPECT_EQ(reply.error.substr(0, c.wantError.size()), c.wantError);
    EXPECT_EQ(reply.body, c.wantStatus ? json : "");
    if (c.wantStatus) {
      const std::string sent = server.Received(0);
      EXPECT_EQ(sent.rfind("POST /token HTTP/1.1\r\n", 0), 0u) << sent;
      EXPECT_NE(sent.find("\r\n\r\ngrant_type=refresh_token&refresh_token=a%2Bb%26c%20d"), std::string::npos) << sent;
    }
    server.Stop();
  }
}

}  // namespace
