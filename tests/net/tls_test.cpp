// TSockets under TLS against the scripted server: STARTTLS and implicit TLS,
// the peer's certificate checks, and what the owner's handler is told.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/Sockets.h"
#include "net/wrapped_service.h"
#include "platform/session.h"
#include "support/scripted_server.h"
#include "support/test_certs.h"
#include "support/testutil.h"

namespace {

using zvtest::ScriptedServer;

struct Report {
  int32_t error;
  std::string msg;
  bool operator==(const Report&) const = default;
};

void PrintTo(const Report& r, std::ostream* os) { *os << "{" << r.error << ", \"" << r.msg << "\"}"; }

enum class Cert { Good, WrongName, SelfSigned, CnOnly };
enum class Ca { Test, Other, None, Missing, NotPem };
enum class Tls { Starttls, Implicit };

struct TlsCase {
  const char* name;
  const char* server = "127.0.0.1";  // listening address, also the one opened
  Tls tls = Tls::Starttls;
  Cert cert = Cert::Good;
  const char* peer = "127.0.0.1";  // the name StartTls checks
  Ca ca = Ca::Test;
  // The server's answer to STARTTLS and what it does next.
  std::vector<std::string> goAhead{"220 go ahead"};
  ScriptedServer::Action afterGoAhead = ScriptedServer::Action::StartTls;
  std::vector<Report> expected{};  // empty: the line exchange under TLS works
};

void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }

const char* const kMissingCa = "/nonexistent/zvmail32-ca.pem";

std::string CaFile(Ca ca, const zvtest::TempDir& dir) {
  const zvtest::TestPki& pki = zvtest::TestCertificates();
  switch (ca) {
    case Ca::Test: return pki.caFile;
    case Ca::Other: return pki.otherCaFile;
    case Ca::None: return {};
    case Ca::Missing: return kMissingCa;
    case Ca::NotPem: zvtest::WriteFile(dir / "not-pem.pem", "no certificate here\n"); return dir / "not-pem.pem";
  }
  return {};
}

class TlsCases : public ::testing::TestWithParam<TlsCase> {
 protected:
  void SetUp() override {
    plat::SetHeadless(true);
    ASSERT_EQ(zvtest::TestCertificates().error, "");
    sock.NonBlocking = false;
    sock.Timeout = 1;  // only the handshake with a silent server waits for it
    sock.OnErrorOccurred = [this](TSockets*, int32_t error, const std::string& msg) {
      reports.push_back({error, msg});
    };
  }

  std::shared_ptr<WrappedService> ws = std::make_shared<WrappedService>();
  TSockets sock{ws};
  std::vector<Report> reports;
  zvtest::TempDir dir;
};

TEST_P(TlsCases, Transcript) {
  const TlsCase& c = GetParam();
  const zvtest::TestPki& pki = zvtest::TestCertificates();
  const zvtest::CertAndKey& cert = c.cert == Cert::Good        ? pki.good
                                   : c.cert == Cert::WrongName ? pki.wrongName
                                   : c.cert == Cert::CnOnly    ? pki.cnOnly
                                                               : pki.selfSigned;
  ScriptedServer server(c.server);
  server.SetCertificate(cert.cert, cert.key);
  server.SetImplicitTls(c.tls == Tls::Implicit);
  server.SetGreeting({{"220 ready"}});
  server.SetHandler([&c](const std::string& line, std::size_t) -> ScriptedServer::Step {
    if (line == "STARTTLS") return {c.goAhead, c.afterGoAhead};
    if (line == "NOOP") return {{"250-one", "250-two", "250 three"}};
    return {{"500 what"}};
  });
  if (!server.Start()) GTEST_SKIP() << "cannot listen on " << c.server;

  sock.Open(std::to_string(server.Port()), c.server);
  ASSERT_EQ(sock.State, 1);
  EXPECT_EQ(sock.IsIPv6(), std::string(c.server) == "::1");
  if (c.tls == Tls::Starttls) {
    EXPECT_EQ(sock.GetText(), "220 ready");
    sock.SetText("STARTTLS\r\n");
    EXPECT_EQ(sock.GetText(), c.goAhead.front());
  }
  const std::string caFile = CaFile(c.ca, dir);
  const bool started = sock.StartTls(c.peer, caFile);
  std::vector<Report> expected = c.expected;
  for (Report& r : expected)
    if (const auto at = r.msg.find("{ca}"); at != std::string::npos) r.msg.replace(at, 4, caFile);
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(started, c.expected.empty());
  EXPECT_EQ(sock.UnderTls(), c.expected.empty());
  if (c.expected.empty()) {
    if (c.tls == Tls::Implicit) {
      EXPECT_EQ(sock.GetText(), "220 ready");
    }
    // A fill limit below the reply's size: the rest of the TLS record waits
    // inside OpenSSL, never on the descriptor (the server says no more).
    sock.BufferSize = 16;
    sock.SetText("NOOP\r\n");
    EXPECT_EQ(sock.GetText(), "250-one");
    EXPECT_EQ(sock.GetText(), "250-two");
    EXPECT_EQ(sock.GetText(), "250 three");
    EXPECT_EQ(sock.LocalAddress(), c.server);
    EXPECT_TRUE(reports.empty());
  } else {
    EXPECT_EQ(sock.State, 3);
  }
  sock.Close();
  EXPECT_FALSE(sock.UnderTls());
  ASSERT_TRUE(server.WaitFinished(1, std::chrono::seconds(10)));
  EXPECT_EQ(server.UnderTls(0), c.expected.empty());
  // Under TLS the server reads the lines after the handshake; a silent one
  // also takes the client's handshake bytes for text.
  const std::vector<std::string> lines = server.Lines(0);
  if (c.tls == Tls::Starttls) {
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "STARTTLS");
  }
  if (c.expected.empty()) {
    EXPECT_EQ(lines.size(), c.tls == Tls::Starttls ? 2u : 1u);
    EXPECT_EQ(lines.back(), "NOOP");
  }
  EXPECT_TRUE(server.SentAhead(0).empty());
}

const Report kTimedOut{10060, "Blocking call timed out"};
const Report kInterrupted{10004, "Interrupted system call"};

Report TlsFailure(const std::string& text) { return {winsock::WSAETLS, text}; }

INSTANTIATE_TEST_SUITE_P(
    Sockets, TlsCases,
    ::testing::Values(
        TlsCase{.name = "StartTls"},
        TlsCase{.name = "StartTlsByName", .peer = "localhost"},
        TlsCase{.name = "ImplicitTls", .tls = Tls::Implicit},
        TlsCase{.name = "StartTlsOverIpv6", .server = "::1", .peer = "::1"},
        TlsCase{.name = "ImplicitTlsOverIpv6", .server = "::1", .tls = Tls::Implicit, .peer = "::1"},
        TlsCase{.name = "CaOnlyInTheSystemStore",
                .ca = Ca::None,
                .expected = {TlsFailure("certificate for 127.0.0.1 not trusted: unable to get local issuer certificate")}},
        TlsCase{.name = "OtherCa",
                .tls = Tls::Implicit,
                .ca = Ca::Other,
                .expected = {TlsFailure("certificate for 127.0.0.1 not trusted: unable to get local issuer certificate")}},
        TlsCase{.name = "WrongAddress",
                .cert = Cert::WrongName,
                .expected = {TlsFailure("certificate for 127.0.0.1 does not match the host name")}},
        TlsCase{.name = "WrongName",
                .cert = Cert::WrongName,
                .peer = "localhost",
                .expected = {TlsFailure("certificate for localhost does not match the host name")}},
        TlsCase{.name = "NameNotInCertificate",
                .peer = "mail.example.net",
                .expected = {TlsFailure("certificate for mail.example.net does not match the host name")}},
        // A name only in the subject's CN counts for nothing (RFC 6125).
        TlsCase{.name = "NameOnlyInTheSubject",
                .cert = Cert::CnOnly,
                .peer = "localhost",
                .expected = {TlsFailure("certificate for localhost does not match the host name")}},
        TlsCase{.name = "SelfSigned",
                .cert = Cert::SelfSigned,
                .expected = {TlsFailure("certificate for 127.0.0.1 not trusted: self-signed certificate")}},
        TlsCase{.name = "MissingCaFile",
                .ca = Ca::Missing,
                .expected = {TlsFailure("CA file {ca} could not be read: No such file or directory")}},
        TlsCase{.name = "CaFileWithoutCertificate",
                .ca = Ca::NotPem,
                .expected = {TlsFailure("CA file {ca} could not be read: no certificate or crl found")}},
        TlsCase{.name = "BytesBeforeTheHandshake",
                .goAhead = {"220 go ahead", "250 injected"},
                .expected = {TlsFailure("127.0.0.1 sent data before the TLS handshake")}},
        TlsCase{.name = "ServerClosesInsteadOfHandshake",
                .afterGoAhead = ScriptedServer::Action::Close,
                .expected = {TlsFailure("TLS handshake with 127.0.0.1 failed: connection closed")}},
        TlsCase{.name = "SilentServerTimesOut",
                .afterGoAhead = ScriptedServer::Action::Silent,
                .expected = {kTimedOut, kInterrupted}}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

// The scripted server's record of commands sent ahead of their answers
// holds across the switch to TLS; what came in the clear behind STARTTLS is
// dropped, not taken into the protected dialogue.
TEST(ScriptedServerTls, SentAheadAcrossTheHandshake) {
  plat::SetHeadless(true);
  const zvtest::TestPki& pki = zvtest::TestCertificates();
  ASSERT_EQ(pki.error, "");
  ScriptedServer server;
  server.SetCertificate(pki.good.cert, pki.good.key);
  server.SetGreeting({{"220 ready"}});
  server.SetHandler([](const std::string& line, std::size_t) -> ScriptedServer::Step {
    if (line == "STARTTLS") return {{"220 go ahead"}, ScriptedServer::Action::StartTls};
    ScriptedServer::Step step{{"250 " + line}};
    step.watchAhead = std::chrono::milliseconds(200);
    return step;
  });
  ASSERT_TRUE(server.Start());
  TSockets sock;
  sock.NonBlocking = false;
  std::vector<Report> reports;
  sock.OnErrorOccurred = [&](TSockets*, int32_t e, const std::string& m) { reports.push_back({e, m}); };
  sock.Open(std::to_string(server.Port()), "127.0.0.1");
  EXPECT_EQ(sock.GetText(), "220 ready");
  sock.SetText("STARTTLS\r\nINJECTED\r\n");
  EXPECT_EQ(sock.GetText(), "220 go ahead");
  ASSERT_TRUE(sock.StartTls("127.0.0.1", pki.caFile));
  sock.SetText("NOOP\r\nRSET\r\n");
  EXPECT_EQ(sock.GetText(), "250 NOOP");
  EXPECT_EQ(sock.GetText(), "250 RSET");
  sock.SetText("QUIT\r\n");
  EXPECT_EQ(sock.GetText(), "250 QUIT");
  sock.Close();
  ASSERT_TRUE(server.WaitFinished(1, std::chrono::seconds(10)));
  EXPECT_EQ(server.Lines(0), (std::vector<std::string>{"STARTTLS", "NOOP", "RSET", "QUIT"}));
  EXPECT_EQ(server.SentAhead(0), (std::vector<std::string>{"STARTTLS", "NOOP"}));
  EXPECT_TRUE(server.UnderTls(0));
  EXPECT_TRUE(reports.empty());
}

}  // namespace
