// The SMTP send pass against a scripted server on loopback: whole wire
// transcripts, the work files left behind, the error texts and the log.
#include <gtest/gtest.h>

#include <QLabel>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/mainunit.h"
#include "app/workfile.h"
#include "platform/filing.h"
#include "support/scripted_server.h"
#include "support/test_certs.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using zvtest::ScriptedServer;

namespace {

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The replies of a scripted SMTP server. Each reply may hold several lines
// separated by CR LF. `rcpt` and `dot` may differ per message (by index of
// the MAIL FROM received); `dropAtMail` closes the connection instead of
// answering that MAIL FROM (counted from 1). Before each answer the server
// waits `watchAhead` for bytes the client should not have sent yet.
struct SmtpScript {
  std::string greeting = "220 test ready";
  std::string helo = "250 hello";
  std::string mail = "250 sender ok";
  std::vector<std::string> rcpt = {"250 recipient ok"};
  std::string data = "354 go ahead";
  std::vector<std::string> dot = {"250 queued"};
  std::string rset = "250 reset";
  std::string chunk = "250 chunk taken";  // to a BDAT chunk before the last
  // The extended greeting: EHLO's reply before and after STARTTLS, the
  // answer to STARTTLS (a 2xx one starts TLS) and to AUTH.
  std::string ehlo = "250-test\r\n250-STARTTLS\r\n250 PIPELINING";
  std::string ehloTls = "250-test\r\n250-AUTH LOGIN PLAIN\r\n250 PIPELINING";
  std::string starttls = "220 go ahead";
  std::string auth = "235 welcome";
  // When set: the replies to AUTH and to the lines that answer its
  // challenges, in order (a "334 ..." reply waits for such a line).
  std::vector<std::string> authSequence;
  bool implicitTls = false;
  // The answer to DATA after a refused RCPT TO (a pipelining client has sent
  // DATA before it knew); empty: `data`, as a server that accepts it anyway.
  std::string dataWithoutRecipient = "554 5.5.1 no valid recipients";
  int dropAtMail = 0;
  std::chrono::milliseconds watchAhead{0};
  std::chrono::milliseconds dotDelay{0};  // before the answer to "." or the last chunk
};

// A scripted SMTP server (the handler keeps its own DATA state).
class SmtpServer {
 public:
  explicit SmtpServer(SmtpScript script) : script_(std::move(script)) {
    server_.SetGreeting({{script_.greeting}, "", ScriptedServer::Action::Continue});
    server_.SetCertificate(zvtest::TestCertificates().good.cert, zvtest::TestCertificates().good.key);
    server_.SetImplicitTls(script_.implicitTls);
    server_.SetHandler([this](const std::string& line, std::size_t) {
      const bool dot = (inData_ && line == ".") || (lastChunk_ && chunkLeft_ > 0 && chunkLeft_ <= line.size() + 2);
      ScriptedServer::Step step = Answer(line);
      // Nothing comes ahead of the answer to a text's end: watching for it
      // delays it.
      step.watchAhead = dot && script_.dotDelay.count() > 0 ? script_.dotDelay : script_.watchAhead;
      return step;
    });
    EXPECT_TRUE(server_.Start());
  }
  ScriptedServer& Server() { return server_; }

 private:
  static const std::string& Pick(const std::vector<std::string>& v, int i) {
    return v[std::min<std::size_t>(static_cast<std::size_t>(i), v.size() - 1)];
  }
  ScriptedServer::Step Answer(const std::string& line) {
    using A = ScriptedServer::Action;
    if (chunkLeft_ > 0) {
      // A BDAT chunk, counted in bytes; the client ends chunks with lines.
      chunkLeft_ -= std::min(chunkLeft_, line.size() + 2);
      if (chunkLeft_ > 0) return {};
      if (!lastChunk_) return {{script_.chunk}, "", A::Continue};
      if (!recipient_) return {{script_.dataWithoutRecipient}, "", A::Continue};
      return {{Pick(script_.dot, messages_ - 1)}, "", A::Continue};
    }
    if (inData_) {
      if (line == ".") {
        inData_ = false;
        return {{Pick(script_.dot, messages_ - 1)}, "", A::Continue};
      }
      return {};
    }
    const std::string verb = line.substr(0, 4);
    if (!script_.authSequence.empty() && (verb == "AUTH" || inAuth_)) {
      const std::string& reply = Pick(script_.authSequence, authStep_++);
      inAuth_ = reply.compare(0, 3, "334") == 0;
      return {{reply}, "", A::Continue};
    }
    if (authLines_ > 0) {
      --authLines_;
      return {{authLines_ > 0 ? "334 UGFzc3dvcmQ6" : script_.auth}, "", A::Continue};
    }
    if (verb == "HELO") return {{script_.helo}, "", A::Continue};
    if (verb == "EHLO") return {{tls_ || script_.implicitTls ? script_.ehloTls : script_.ehlo}, "", A::Continue};
    if (line == "STARTTLS") {
      tls_ = script_.starttls[0] == '2';
      return {{script_.starttls}, "", tls_ ? A::StartTls : A::Continue};
    }
    if (line == "AUTH LOGIN") {
      authLines_ = 2;
      return {{"334 VXNlcm5hbWU6"}, "", A::Continue};
    }
    if (verb == "AUTH" && line.find(' ', 5) == std::string::npos) {
      authLines_ = 1;  // the response comes on a line of its own
      return {{"334 "}, "", A::Continue};
    }
    if (verb == "AUTH") return {{script_.auth}, "", A::Continue};
    if (verb == "MAIL") {
      if (++messages_ == script_.dropAtMail) return {{}, "", A::Close};
      return {{script_.mail}, "", A::Continue};
    }
    if (verb == "RCPT") {
      const std::string& reply = Pick(script_.rcpt, messages_ - 1);
      recipient_ = reply[0] == '2';
      return {{reply}, "", A::Continue};
    }
    if (verb == "DATA") {
      const std::string& reply =
          recipient_ || script_.dataWithoutRecipient.empty() ? script_.data : script_.dataWithoutRecipient;
      inData_ = reply.compare(0, 1, "3") == 0;
      return {{reply}, "", A::Continue};
    }
    if (verb == "BDAT") {
      chunkLeft_ = std::size_t(std::stoul(line.substr(5)));
      lastChunk_ = line.size() > 5 && line.substr(line.size() - 5) == " LAST";
      return {};
    }
    if (verb == "RSET") return {{script_.rset}, "", A::Continue};
    if (verb == "QUIT") return {{"221 bye"}, "", A::Close};
    return {{"500 what"}, "", A::Continue};
  }

  SmtpScript script_;
  ScriptedServer server_;
  bool inData_ = false;
  bool tls_ = false;
  int authLines_ = 0;
  bool inAuth_ = false;
  int authStep_ = 0;
  bool recipient_ = false;
  int messages_ = 0;
  std::size_t chunkLeft_ = 0;
  bool lastChunk_ = false;
};

std::string Envelope(const std::string& from, const std::string& to, const std::string& body) {
  return "MAIL FROM:<" + from + ">\r\nRCPT TO:<" + to + ">\r\nDATA\r\n" + body + ".\r\n";
}

const std::string kHelo = "HELO [127.0.0.1]\r\n";

class SendPass : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zv-smtp-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
    out_ = dir_ + "out/";
    fs::create_directory(out_);
    TMainServices services;
    services.terminate = [] { throw TMainTerminated{}; };
    main_ = std::make_unique<TMain>(std::vector<std::string>{dir_ + "zvmail32"}, services, dir_);
    main_->Config.OUT = out_;
    main_->Config.LOG = true;
    main_->Config.LOGFILE = dir_ + "test.log";
  }
  void TearDown() override {
    main_.reset();
    fs::remove_all(dir_);
  }

  // Writes the pair `base` with a standard envelope.
  void Pair(const std::string& base, const std::string& body, const std::string& from = "zorvik@here.example",
            const std::string& to = "robot@there.example") {
    Put(out_ + base + ".WRK", "zvmailer_windows\r\n" + from + "\r\n" + to + "\r\n");
    Put(out_ + base + ".TXT", body);
  }
  bool Has(const std::string& name) const { return fs::exists(out_ + name); }

  // Runs one pass against `smtp` and returns what the server received.
  std::string Run(SmtpServer& smtp) {
    main_->Config.SMTP = smtp.Server().HostPort();
    main_->SendMail();
    EXPECT_TRUE(smtp.Server().WaitFinished(1));
    // We greet with HELO, so the server never offered pipelining: every
    // command waits for the answer to the one before.
    EXPECT_EQ(smtp.Server().SentAhead(0), std::vector<std::string>{});
    return smtp.Server().Received(0);
  }
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::istringstream in(Get(dir_ + "test.log"));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.size() >= 19 ? line.substr(19) : line);
    }
    return lines;
  }
  std::string Caption(QLabel* label) const { return label->text().toStdString(); }

  std::string dir_, out_;
  std::unique_ptr<TMain> main_;
};

TEST_F(SendPass, TwoPairsAcceptedGoOutInOneSessionAndAreRemovedEnvelopeFirst) {
  Pair("TM000001", "Subject: one\r\n\r\nfirst body\r\n");
  Pair("TM000002", "Subject: two\r\n\r\nsecond body");
  SmtpServer smtp({});

  const int watch = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, out_.c_str(), IN_DELETE), 0);

  EXPECT_EQ(Run(smtp), kHelo +
                           Envelope("zorvik@here.example", "robot@there.example",
                                    "Subject: one\r\n\r\nfirst body\r\n\r\n") +
                           "RSET\r\n" +
                           Envelope("zorvik@here.example", "robot@there.example",
                                    "Subject: two\r\n\r\nsecond body\r\n") +
                           "QUIT\r\n");
  EXPECT_TRUE(fs::is_empty(out_));

  std::vector<std::string> deleted;
  alignas(inotify_event) char buf[4096];
  for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;)
    for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
      deleted.push_back(reinterpret_cast<inotify_event*>(p)->name);
  ::close(watch);
  EXPECT_EQ(deleted, (std::vector<std::string>{"TM000001.WRK", "TM000001.TXT", "TM000002.WRK", "TM000002.TXT"}));

  EXPECT_EQ(Log(), (std::vector<std::string>{"There are 2 messages to send",
                                             "Talking to SMTP (" + smtp.Server().HostPort() + ")",
                                             "Sending TM000001", "TM000001 accepted: 250 queued",
                                             "Sending TM000002", "TM000002 accepted: 250 queued",
                                             smtp.Server().HostPort() + ": not secured (no TLS)"}));
  EXPECT_EQ(Caption(main_->lbCommand), "Waiting");
  EXPECT_EQ(Caption(main_->lbResponse), "None");
  EXPECT_EQ(Caption(main_->lbAction), "Idle");
  EXPECT_EQ(Caption(main_->lbError), "None");
  EXPECT_EQ(Caption(main_->lbState), "Closed");
  EXPECT_FALSE(main_->Busy);
}

// Server refusals: what goes on the wire, the error text, and which pairs stay.
struct RefusalCase {
  const char* name;
  SmtpScript script;
  std::string wire;  // after HELO, for pairs TM000001 and TM000002 (body "b1", "b2")
  std::string error;
  bool firstStays, secondStays;
  bool quits = true;  // QUIT follows the wire
};

class Refusals : public SendPass, public ::testing::WithParamInterface<RefusalCase> {};

const std::string kFrom = "zorvik@here.example", kTo = "robot@there.example";
const std::string kMail = "MAIL FROM:<" + kFrom + ">\r\n", kRcpt = "RCPT TO:<" + kTo + ">\r\n";
const std::string kFull1 = Envelope(kFrom, kTo, "b1\r\n"), kFull2 = Envelope(kFrom, kTo, "b2\r\n");

SmtpScript With(std::function<void(SmtpScript&)> change) {
  SmtpScript s;
  change(s);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Rcpt, Refusals,
    ::testing::Values(
        RefusalCase{"Rcpt251", With([](SmtpScript& s) { s.rcpt = {"251 will forward", "250 ok"}; }),
                    kFull1 + "RSET\r\n" + kFull2, "None", false, false},
        RefusalCase{"Rcpt252", With([](SmtpScript& s) { s.rcpt = {"252 cannot verify", "250 ok"}; }),
                    kFull1 + "RSET\r\n" + kFull2, "None", false, false},
        RefusalCase{"Rcpt550", With([](SmtpScript& s) { s.rcpt = {"550 no such user", "250 ok"}; }),
                    kMail + kRcpt + "RSET\r\n" + kFull2, "SMTP host would not accept mail for recipient", true,
                    false},
        RefusalCase{"Mail501", With([](SmtpScript& s) { s.mail = "501 bad sender"; }),
                    kMail + "RSET\r\n" + kMail, "SMTP host would not accept sender name", true, true},
        RefusalCase{"Data451", With([](SmtpScript& s) { s.data = "451 later"; }),
                    kMail + kRcpt + "DATA\r\nRSET\r\n" + kMail + kRcpt + "DATA\r\n", "SMTP host was not ready for data",
                    true, true},
        RefusalCase{"Dot552", With([](SmtpScript& s) { s.dot = {"552 too big", "250 ok"}; }),
                    kFull1 + "RSET\r\n" + kFull2, "SMTP host failed end of data transfer", true, false},
        // A reply before "." went out cannot be its acceptance: the
        // connection goes and the pairs stay.
        RefusalCase{"ReplyBeforeTheEndOfTheText",
                    With([](SmtpScript& s) { s.data = "354 go ahead\r\n250 queued before the end"; }),
                    kMail + kRcpt + "DATA\r\n", "SMTP host would not accept sender name", true, true, false},
        RefusalCase{"MultiLineGreetingAndHelo", With([](SmtpScript& s) {
                      s.greeting = "220-test.example\r\n220-second line\r\n220 ready";
                      s.helo = "250-hello\r\n250 fine";
                    }),
                    kFull1 + "RSET\r\n" + kFull2, "None", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(Refusals, WireErrorAndFilesLeft) {
  const RefusalCase& c = GetParam();
  Pair("TM000001", "b1");
  Pair("TM000002", "b2");
  SmtpServer smtp(c.script);
  EXPECT_EQ(Run(smtp), kHelo + c.wire + (c.quits ? "QUIT\r\n" : ""));
  EXPECT_EQ(Caption(main_->lbError), c.error);
  EXPECT_EQ(Has("TM000001.WRK"), c.firstStays);
  EXPECT_EQ(Has("TM000001.TXT"), c.firstStays);
  EXPECT_EQ(Has("TM000002.WRK"), c.secondStays);
  EXPECT_EQ(Has("TM000002.TXT"), c.secondStays);
}

// After STARTTLS, a server that offers CHUNKING and PIPELINING.
SmtpScript Chunking(std::function<void(SmtpScript&)> change = [](SmtpScript&) {}) {
  SmtpScript s;
  s.ehloTls = "250-test\r\n250-AUTH LOGIN PLAIN\r\n250-CHUNKING\r\n250 PIPELINING";
  change(s);
  return s;
}

// The answer to the end of a text may take far longer than other replies
// (RFC 5321 4.5.3.2: 10 minutes); taken for a failure, the pair would be
// sent again.
TEST_F(SendPass, TheEndOfATextMayTakeLongerThanOtherReplies) {
  for (const bool chunked : {false, true}) {
    SCOPED_TRACE(chunked ? "last BDAT chunk" : "\".\"");
    Pair("TM000001", "b1");
    SmtpScript script;
    if (chunked) script = Chunking();
    script.dotDelay = std::chrono::milliseconds(1500);
    SmtpServer smtp(script);
    main_->Sock.Timeout = 1;
    main_->ReplyLimit = std::chrono::milliseconds(1000);
    main_->DataEndLimit = std::chrono::milliseconds(5000);
    if (chunked) {
      main_->Config.SMTP_TLS = "STARTTLS";
      main_->Config.TLS_CA_FILE = zvtest::TestCertificates().caFile;
      main_->Config.SMTP = smtp.Server().HostPort();
      main_->SendMail();
      ASSERT_TRUE(smtp.Server().WaitFinished(1));
    } else {
      EXPECT_EQ(Run(smtp), kHelo + kFull1 + "QUIT\r\n");
    }
    EXPECT_FALSE(Has("TM000001.WRK"));
    EXPECT_EQ(Caption(main_->lbError), "None");
    EXPECT_EQ(main_->Sock.Timeout, 1);
  }
}

TEST_F(SendPass, LoneEnvelopeFailsAndStaysWhileOthersGo) {
  Put(out_ + "TM000001.WRK", "tag\r\na@b\r\nc@d\r\n");
  Pair("TM000002", "b2");
  SmtpServer smtp({});
  EXPECT_EQ(Run(smtp), kHelo + "RSET\r\n" + kFull2 + "QUIT\r\n");
  EXPECT_EQ(Caption(main_->lbError), "Could not open data file for sending");
  EXPECT_TRUE(Has("TM000001.WRK"));
  EXPECT_FALSE(Has("TM000002.WRK"));
  const auto log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "Could not open data file for sending"), log.end());
}

TEST_F(SendPass, GreetingNotReadyClosesWithoutQuit) {
  Pair("TM000001", "b1");
  SmtpServer smtp(With([](SmtpScript& s) { s.greeting = "554 go away"; }));
  EXPECT_EQ(Run(smtp), "");
  EXPECT_EQ(Caption(main_->lbError), "SMTP host was not ready for mail");
  EXPECT_TRUE(Has("TM000001.WRK"));
  EXPECT_EQ(Caption(main_->lbAction), "Idle");
  EXPECT_FALSE(main_->Busy);
}

TEST_F(SendPass, RefusedHandshakeQuits) {
  Pair("TM000001", "b1");
  SmtpServer smtp(With([](SmtpScript& s) { s.helo = "501 who are you"; }));
  EXPECT_EQ(Run(smtp), kHelo + "QUIT\r\n");
  EXPECT_EQ(Caption(main_->lbError), "SMTP host did not accept our handshake");
  EXPECT_TRUE(Has("TM000001.TXT"));
}

TEST_F(SendPass, DroppedConnectionFailsTheRemainingPairsAtMailFrom) {
  Pair("TM000001", "b1");
  Pair("TM000002", "b2");
  Pair("TM000003", "b3");
  SmtpServer smtp(With([](SmtpScript& s) { s.dropAtMail = 2; }));
  EXPECT_EQ(Run(smtp), kHelo + kFull1 + "RSET\r\n" + kMail);
  EXPECT_FALSE(Has("TM000001.WRK"));
  EXPECT_TRUE(Has("TM000002.WRK") && Has("TM000002.TXT"));
  EXPECT_TRUE(Has("TM000003.WRK") && Has("TM000003.TXT"));
  const auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "SMTP host would not accept sender name"), 2);
  EXPECT_EQ(Caption(main_->lbAction), "Idle");
  EXPECT_FALSE(main_->Busy);
}

TEST_F(SendPass, EmptyOutDirectorySendsNothing) {
  SmtpServer smtp({});
  main_->Config.SMTP = smtp.Server().HostPort();
  main_->SendMail();
  EXPECT_EQ(smtp.Server().Connections(), 0u);
  EXPECT_EQ(Caption(main_->lbError), "No messages to send");
  EXPECT_EQ(Log(), std::vector<std::string>{"No messages to send"});
  main_->Config.OUT = dir_ + "missing/";
  main_->SendMail();
  EXPECT_EQ(smtp.Server().Connections(), 0u);
  EXPECT_FALSE(main_->Busy);
}

TEST_F(SendPass, BusyReturnsAtOnce) {
  Pair("TM000001", "b1");
  main_->Busy = true;
  main_->SendMail();
  EXPECT_TRUE(Has("TM000001.WRK"));
  EXPECT_FALSE(fs::exists(dir_ + "test.log"));
}

TEST_F(SendPass, NamesAreFoundInAnyLetterCase) {
  Put(out_ + "tm000001.wrk", "tag\n" + kFrom + "\n" + kTo + "\n");
  Put(out_ + "tm000001.txt", "b1");
  Put(out_ + "Tm000002.WRK", "tag\r" + kFrom + "\r" + kTo);
  Put(out_ + "TM000002.txt", "b2");
  Put(out_ + "XM000003.WRK", "not outbound");
  SmtpServer smtp({});
  EXPECT_EQ(Run(smtp), kHelo + kFull1 + "RSET\r\n" + kFull2 + "QUIT\r\n");
  EXPECT_EQ(fs::directory_iterator(out_)->path().filename().string(), "XM000003.WRK");
}

// The extended greeting, when TLS or credentials are configured: EHLO, then
// STARTTLS and EHLO again under TLS, then AUTH, and never a step further in
// the clear than the configuration allows. A refusal ends the pass before
// MAIL FROM and the pair stays.
struct HandshakeCase {
  const char* name;
  SmtpScript script;
  std::string tls, user;  // SMTP_TLS, SMTP_USERNAME (password "pw")
  std::vector<std::string> lines;  // what the server read, in order (zvtest::SaslLine)
  std::string error;               // lbError; empty: the pair was sent
  int status;                      // the run's exit status so far
  // More keys; "DIR/" in OAUTH_TOKEN_COMMAND is the test's directory.
  std::function<void(TConfig&)> configure = nullptr;
  std::string logged = {};  // a line the log must hold
};

class Handshakes : public SendPass, public ::testing::WithParamInterface<HandshakeCase> {};

// A token command that gives tok1, tok2, ... on its runs.
const auto kCountingToken = [](TConfig& c) {
  c.OAUTH_TOKEN_COMMAND = "n=$(cat DIR/n 2>/dev/null || echo 0); n=$((n+1)); echo $n >DIR/n; echo tok$n";
};
// An error challenge: base64 of {"status":"invalid_token","reason":"token expired"}.
const std::string kErrorJson = "eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwicmVhc29uIjoidG9rZW4gZXhwaXJlZCJ9";


const std::string kEhlo = "EHLO [127.0.0.1]";
const std::vector<std::string> kTransaction = {"MAIL FROM:<zorvik@here.example>", "RCPT TO:<robot@there.example>",
                                               "DATA", "b1", "."};
std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Extended, Handshakes,
    ::testing::Values(
        HandshakeCase{"StartTlsThenAuthPlain", {}, "STARTTLS", "zv",
                      Join({kEhlo, "STARTTLS", kEhlo, "AUTH PLAIN AHp2AHB3"}, Join(kTransaction, {"QUIT"})), "", 0},
        HandshakeCase{"StartTlsWithoutCredentials", {}, "STARTTLS", "",
                      Join({kEhlo, "STARTTLS", kEhlo}, Join(kTransaction, {"QUIT"})), "", 0},
        HandshakeCase{"ImplicitTlsAndAuthLogin", With([](SmtpScript& s) {
                        s.implicitTls = true;
                        s.ehloTls = "250-test\r\n250 AUTH LOGIN";
                      }),
                      "IMPLICIT", "zv", Join({kEhlo, "AUTH LOGIN", "enY=", "cHc="}, Join(kTransaction, {"QUIT"})),
                      "", 0},
        HandshakeCase{"NoStartTlsOfferedNoDowngrade", With([](SmtpScript& s) { s.ehlo = "250 test"; }), "STARTTLS",
                      "zv", {kEhlo, "QUIT"}, "SMTP host HOST does not offer STARTTLS", 75},
        HandshakeCase{"StartTlsRefused", With([](SmtpScript& s) { s.starttls = "454 not now"; }), "STARTTLS", "zv",
                      {kEhlo, "STARTTLS", "QUIT"}, "SMTP host HOST refused STARTTLS", 75},
        HandshakeCase{"AuthNotOffered", With([](SmtpScript& s) { s.ehloTls = "250 test"; }), "STARTTLS", "zv",
                      {kEhlo, "STARTTLS", kEhlo, "QUIT"},
                      "SMTP host HOST does not offer authentication by PLAIN or LOGIN", 75},
        HandshakeCase{"PasswordRefused", With([](SmtpScript& s) { s.auth = "535 5.7.8 bad credentials"; }),
                      "STARTTLS", "zv", {kEhlo, "STARTTLS", kEhlo, "AUTH PLAIN AHp2AHB3", "QUIT"},
                      "SMTP host HOST refused the authentication (535)", 77},
        // Tokens (here from a command that counts its runs): OAUTHBEARER
        // where offered, else XOAUTH2, never a fallback to a password.
        HandshakeCase{"TokenByXOAuth2", With([](SmtpScript& s) { s.ehloTls = "250-test\r\n250 AUTH PLAIN XOAUTH2"; }),
                      "STARTTLS", "zv",
                      Join({kEhlo, "STARTTLS", kEhlo, "AUTH XOAUTH2 {user=zv^auth=Bearer tok1^^}"},
                           Join(kTransaction, {"QUIT"})),
                      "", 0, kCountingToken},
        HandshakeCase{"OAuthBearerRefusedThenFreshTokenTaken", With([](SmtpScript& s) {
                        s.implicitTls = true;
                        s.ehloTls = "250-test\r\n250 AUTH XOAUTH2 OAUTHBEARER";
                        s.authSequence = {"334 " + kErrorJson, "535 5.7.8 invalid token", "235 ok"};
                      }),
                      "IMPLICIT", "z,v",
                      Join({kEhlo, "AUTH OAUTHBEARER {n,a=z=2Cv,^host=127.0.0.1^port=PORT^auth=Bearer tok1^^}", "AQ==",
                            "AUTH OAUTHBEARER {n,a=z=2Cv,^host=127.0.0.1^port=PORT^auth=Bearer tok2^^}"},
                           Join(kTransaction, {"QUIT"})),
                      "", 0, kCountingToken,
                      "SMTP host HOST refused the login by OAUTHBEARER: status invalid_token, reason token expired"},
        HandshakeCase{"XOAuth2RefusedTwice", With([](SmtpScript& s) {
                        s.ehloTls = "250-test\r\n250 AUTH XOAUTH2";
                        s.authSequence = {"334 " + kErrorJson, "535 5.7.8 no", "334 " + kErrorJson, "535 5.7.8 no"};
                      }),
                      "STARTTLS", "zv",
                      {kEhlo, "STARTTLS", kEhlo, "AUTH XOAUTH2 {user=zv^auth=Bearer tok1^^}", "",
                       "AUTH XOAUTH2 {user=zv^auth=Bearer tok2^^}", "", "QUIT"},
                      "SMTP host HOST refused the authentication (535)", 77, kCountingToken},
        // A token too long for the 512 octets of a command line goes after
        // the server's empty challenge.
        HandshakeCase{"LongTokenAfterTheChallenge",
                      With([](SmtpScript& s) { s.ehloTls = "250-test\r\n250 AUTH XOAUTH2"; }),
                      "STARTTLS", "zv",
                      Join({kEhlo, "STARTTLS", kEhlo, "AUTH XOAUTH2",
                            "{user=zv^auth=Bearer " + std::string(400, 'T') + "^^}"},
                           Join(kTransaction, {"QUIT"})),
                      "", 0, [](TConfig& c) { c.OAUTH_TOKEN_COMMAND = "printf '%0400d' 0 | tr 0 T"; }},
        HandshakeCase{"ConfiguredMechanismNotOffered",
                      With([](SmtpScript& s) { s.ehloTls = "250-test\r\n250 AUTH PLAIN XOAUTH2"; }),
                      "STARTTLS", "zv", {kEhlo, "STARTTLS", kEhlo, "QUIT"},
                      "SMTP host HOST does not offer authentication by OAUTHBEARER", 75,
                      [](TConfig& c) {
                        c.SMTP_AUTH = "OAUTHBEARER";
                        c.OAUTH_TOKEN_COMMAND = "echo tok";
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(Handshakes, OrderAndRefusals) {
  const HandshakeCase& c = GetParam();
  ASSERT_EQ(zvtest::TestCertificates().error, "");
  Pair("TM000001", "b1");
  SmtpServer smtp(c.script);
  main_->Config.SMTP_TLS = c.tls;
  main_->Config.SMTP_USERNAME = c.user;
  main_->Config.SMTP_PASSWORD = "pw";
  main_->Config.TLS_CA_FILE = zvtest::TestCertificates().caFile;
  main_->Config.DEBUG = true;
  main_->Config.SMTP = smtp.Server().HostPort();
  if (c.configure) c.configure(main_->Config);
  std::string& command = main_->Config.OAUTH_TOKEN_COMMAND;
  for (auto at = command.find("DIR/"); at != std::string::npos; at = command.find("DIR/")) command.replace(at, 3, dir_);
  main_->SendMail();
  ASSERT_TRUE(smtp.Server().WaitFinished(1));
  std::vector<std::string> expected;
  for (const auto& line : c.lines) expected.push_back(zvtest::SaslLine(line, smtp.Server().Port()));
  EXPECT_EQ(smtp.Server().Lines(0), expected);
  const auto named = [&](std::string text) {
    if (const auto at = text.find("HOST"); at != std::string::npos) text.replace(at, 4, smtp.Server().HostPort());
    return text;
  };
  const std::string error = named(c.error);
  EXPECT_EQ(Caption(main_->lbError), error.empty() ? "None" : error);
  EXPECT_EQ(Has("TM000001.WRK"), !error.empty());
  EXPECT_EQ(main_->RunStatus, c.status);
  // The secret never reaches the log, in the trace or elsewhere; nor does
  // a token, an initial response or a challenge.
  for (const auto& line : Log()) {
    EXPECT_EQ(line.find("AHp2AHB3"), std::string::npos) << line;
    EXPECT_EQ(line.find("cHc="), std::string::npos) << line;
    EXPECT_EQ(line.find("tok1"), std::string::npos) << line;
    EXPECT_EQ(line.find("tok2"), std::string::npos) << line;
    EXPECT_EQ(line.find("VFRUVFRU"), std::string::npos) << line;
    EXPECT_EQ(line.find(kErrorJson), std::string::npos) << line;
  }
  const auto log = Log();
  if (!c.logged.empty()) {
    EXPECT_NE(std::find(log.begin(), log.end(), named(c.logged)), log.end());
  }
  if (std::find(c.lines.begin(), c.lines.end(), "AUTH PLAIN AHp2AHB3") != c.lines.end()) {
    EXPECT_NE(std::find(log.begin(), log.end(), "DEBUG:C:AUTH PLAIN ****"), log.end());
  }
  // One line tells what secured the connection.
  const bool secured = c.tls == "IMPLICIT" || std::count(c.lines.begin(), c.lines.end(), kEhlo) == 2;
  const std::string server = smtp.Server().HostPort() + ": ";
  const auto told = std::count_if(log.begin(), log.end(), [&](const std::string& line) {
    return secured ? line.rfind(server + "secured by TLSv1.", 0) == 0 &&
                         line.find(", certificate verified for 127.0.0.1") != std::string::npos
                   : line == server + "not secured (no TLS)";
  });
  EXPECT_EQ(told, 1) << ::testing::PrintToString(log);
}

// With PIPELINING offered after STARTTLS, MAIL FROM, RCPT TO and DATA go out
// in one send, and a text's end goes out with the next pair's RSET and
// group; each reply is judged as in lock-step. A refused recipient never
// lets its text go out: DATA taken all the same gets an empty text. With
// CHUNKING offered too, whole transactions go out ahead, each text as BDAT
// chunks of a send's worth ending at a line, without dot-stuffing; a pair
// goes only with its last chunk's 250.
struct PipelineCase {
  const char* name;
  SmtpScript script;
  std::vector<std::string> lines;  // after EHLO, STARTTLS, EHLO
  std::vector<std::string> ahead;  // first of the lines the client sent before their answer
  std::vector<bool> stays;         // pairs 1..3 left in OUT
  std::string error;
  std::string text1 = "b1";        // the first pair's text
  bool cut = false;                // the client cut the connection: `lines` begin what came
};

class Pipelines : public SendPass, public ::testing::WithParamInterface<PipelineCase> {};

const std::vector<std::string> kGroup = {"MAIL FROM:<zorvik@here.example>", "RCPT TO:<robot@there.example>", "DATA"};
std::vector<std::string> Text(const char* body) { return {body, "."}; }

const std::vector<std::string> kMailRcpt = {"MAIL FROM:<zorvik@here.example>", "RCPT TO:<robot@there.example>"};
std::vector<std::string> Chunked(const char* body) { return Join(kMailRcpt, {"BDAT 4 LAST", body}); }
const std::vector<std::string> kChunkedTwoAndThree =
    Join({"RSET"}, Join(Chunked("b2"), Join({"RSET"}, Join(Chunked("b3"), {"QUIT"}))));
// 700 lines of 100 bytes after two lines with leading dots, and the same
// as a file (no line break at its end).
const std::vector<std::string> kLong = [] {
  std::vector<std::string> lines = {".", "..x"};
  lines.resize(702, std::string(100, 'y'));
  return lines;
}();
std::string LongText() {
  std::string text;
  for (const auto& line : kLong) text += (text.empty() ? "" : "\r\n") + line;
  return text;
}
std::vector<std::string> LongLines(std::size_t from, std::size_t to) {
  return std::vector<std::string>(kLong.begin() + long(from), kLong.begin() + long(to));
}
// 16 chunks of 643 lines of 100 bytes: the last waits for room under the
// 1 MB bound, and goes with the next pairs' transactions.
std::string OverAMegabyte() {
  std::string text;
  for (int i = 0; i < 16 * 643; ++i) text += (text.empty() ? "" : "\r\n") + std::string(100, 'z');
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Groups, Pipelines,
    ::testing::Values(
        PipelineCase{"AllAccepted", {},
                     Join(Join(Join(kGroup, Text("b1")), Join({"RSET"}, Join(kGroup, Text("b2")))),
                          Join({"RSET"}, Join(kGroup, Join(Text("b3"), {"QUIT"})))),
                     {"MAIL FROM:<zorvik@here.example>", "RCPT TO:<robot@there.example>", ".", "RSET",
                      "MAIL FROM:<zorvik@here.example>", "RCPT TO:<robot@there.example>", "."},
                     {false, false, false}, "None"},
        // CHUNKING without PIPELINING: DATA in lock-step, as before.
        PipelineCase{"ChunkingAloneLockStep",
                     With([](SmtpScript& s) { s.ehloTls = "250-test\r\n250-AUTH LOGIN PLAIN\r\n250 CHUNKING"; }),
                     Join(Join(Join(kGroup, Text("b1")), Join({"RSET"}, Join(kGroup, Text("b2")))),
                          Join({"RSET"}, Join(kGroup, Join(Text("b3"), {"QUIT"})))),
                     {}, {false, false, false}, "None"},
        PipelineCase{"RefusedRecipientDataRefusedToo", With([](SmtpScript& s) { s.rcpt = {"250 ok", "550 no", "250 ok"}; }),
                     Join(Join(kGroup, Text("b1")),
                          Join({"RSET"}, Join(kGroup, Join({"RSET"}, Join(kGroup, Join(Text("b3"), {"QUIT"})))))),
                     {}, {false, true, false}, "SMTP host would not accept mail for recipient"},
        PipelineCase{"RefusedRecipientButDataTaken", With([](SmtpScript& s) {
                       s.rcpt = {"550 no", "250 ok"};
                       s.dataWithoutRecipient.clear();
                     }),
                     Join(Join(kGroup, {".", "RSET"}), Join(kGroup, Join(Text("b2"), Join({"RSET"},
                                                                                   Join(kGroup, Join(Text("b3"), {"QUIT"})))))),
                     {}, {true, false, false}, "SMTP host would not accept mail for recipient"},
        PipelineCase{"ReplyBeforeTheEndOfTheText",
                     With([](SmtpScript& s) { s.data = "354 go ahead\r\n250 queued before the end"; }), kGroup, {},
                     {true, true, true}, "SMTP host would not accept sender name"},
        PipelineCase{"DroppedInTheSecondGroup", With([](SmtpScript& s) { s.dropAtMail = 2; }),
                     Join(Join(kGroup, Text("b1")), {"RSET", "MAIL FROM:<zorvik@here.example>"}), {},
                     {false, true, true}, "SMTP host would not accept sender name"},
        PipelineCase{"ChunkedAllAhead", Chunking(), Join(Chunked("b1"), kChunkedTwoAndThree),
                     Join(kMailRcpt, Join({"b1", "RSET"}, Join(kMailRcpt, Join({"b2", "RSET"}, kMailRcpt)))),
                     {false, false, false}, "None"},
        PipelineCase{"ChunkedRefusedInTheMiddle",
                     Chunking([](SmtpScript& s) { s.rcpt = {"250 ok", "550 no", "250 ok"}; }),
                     Join(Chunked("b1"), kChunkedTwoAndThree), {}, {false, true, false},
                     "SMTP host would not accept mail for recipient"},
        PipelineCase{"ChunkedLastChunkRefused",
                     Chunking([](SmtpScript& s) { s.dot = {"250 ok", "250 ok", "452 full"}; }),
                     Join(Chunked("b1"), kChunkedTwoAndThree), {}, {false, false, true},
                     "SMTP host failed end of data transfer"},
        PipelineCase{"ChunkedDroppedWithPairsInFlight", Chunking([](SmtpScript& s) { s.dropAtMail = 2; }),
                     Join(Chunked("b1"), {"RSET", "MAIL FROM:<zorvik@here.example>"}), {}, {false, true, true},
                     "SMTP host would not accept sender name"},
        // The reply to the first chunk brings 15 more "250"s before the last
        // chunk went out: whatever reply is read for it came ahead of it.
        PipelineCase{"ChunkedRepliesAheadOfTheLastChunk", Chunking([](SmtpScript& s) {
                       s.chunk = "250 chunk taken";
                       for (int i = 0; i < 15; ++i) s.chunk += "\r\n250 ahead";
                     }),
                     Join(kMailRcpt, {"BDAT 65586"}), {}, {true, true, true}, "SMTP host would not accept sender name",
                     OverAMegabyte(), true},
        PipelineCase{"ChunkSizesByLinesUnstuffed", Chunking(),
                     Join(Join(kMailRcpt, Join({"BDAT 65594"}, LongLines(0, 645))),
                          Join({"BDAT 5814 LAST"}, Join(LongLines(645, 702), kChunkedTwoAndThree))),
                     {}, {false, false, false}, "None", LongText()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(Pipelines, GroupsAndReplies) {
  const PipelineCase& c = GetParam();
  Pair("TM000001", c.text1);
  Pair("TM000002", "b2");
  Pair("TM000003", "b3");
  SmtpServer smtp(c.script);
  main_->Config.SMTP_TLS = "STARTTLS";
  main_->Config.TLS_CA_FILE = zvtest::TestCertificates().caFile;
  main_->Config.SMTP = smtp.Server().HostPort();
  main_->SendMail();
  ASSERT_TRUE(smtp.Server().WaitFinished(1));
  auto lines = smtp.Server().Lines(0);
  if (c.cut) lines.resize(std::min(lines.size(), c.lines.size() + 3));
  EXPECT_EQ(lines, Join({kEhlo, "STARTTLS", kEhlo}, c.lines));
  const auto ahead = smtp.Server().SentAhead(0);
  if (!c.ahead.empty()) {
    EXPECT_EQ(std::vector<std::string>(ahead.begin(), ahead.begin() + std::min(ahead.size(), c.ahead.size())),
              c.ahead);
  }
  EXPECT_EQ(Caption(main_->lbError), c.error);
  const auto log = Log();
  for (int i = 0; i < 3; ++i) {
    const std::string base = "TM00000" + std::to_string(i + 1);
    EXPECT_EQ(Has(base + ".WRK"), c.stays[size_t(i)]) << base;
    EXPECT_EQ(Has(base + ".TXT"), c.stays[size_t(i)]) << base;
    // A pair that went names the server's reply to its own text.
    const auto accepted = [&](const std::string& line) { return line.rfind(base + " accepted: 250 ", 0) == 0; };
    EXPECT_EQ(std::any_of(log.begin(), log.end(), accepted), !c.stays[size_t(i)]) << base;
  }
}

// OUT holds only what the producer wrote: a link or a FIFO is never read
// (the pass would mail any file it can read, or wait for good); such a pair
// is skipped with a line in the log and stays. A base name is the whole name.
TEST_F(SendPass, OnlyRegularWorkFilesAreReadAndBaseNamesAreWhole) {
  Put(out_ + "secret", "not for mailing");
  Pair("TM000001", "");
  fs::remove(out_ + "TM000001.TXT");
  ASSERT_EQ(::mkfifo((out_ + "TM000001.TXT").c_str(), 0644), 0);
  Pair("TM0000010", "b10");
  Pair("TM000002", "b2");
  Pair("TM000009", "");
  fs::remove(out_ + "TM000009.TXT");
  fs::create_symlink(out_ + "secret", out_ + "TM000009.TXT");
  fs::create_symlink(out_ + "TM000002.WRK", out_ + "TM000003.WRK");
  Put(out_ + "TM000003.TXT", "b3");
  SmtpServer smtp({});
  EXPECT_EQ(Run(smtp), kHelo + "RSET\r\n" + Envelope(kFrom, kTo, "b10\r\n") + "RSET\r\n" + kFull2 +
                           "RSET\r\nRSET\r\nQUIT\r\n");
  const auto log = Log();
  for (const char* line : {"Skipping TM000001: TM000001.TXT is not a regular file", "Sending TM0000010",
                           "Skipping TM000003: TM000003.WRK is not a regular file",
                           "Skipping TM000009: TM000009.TXT is not a regular file"})
    EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
  EXPECT_FALSE(Has("TM0000010.WRK") || Has("TM0000010.TXT") || Has("TM000002.WRK"));
  EXPECT_TRUE(Has("TM000001.WRK") && Has("TM000001.TXT") && Has("TM000009.TXT"));
  EXPECT_TRUE(fs::is_symlink(out_ + "TM000003.WRK"));
  EXPECT_EQ(Get(out_ + "secret"), "not for mailing");
}

// Body lines: trimming, the doubled leading dot, line ends, and the end of
// the data. Each case sends one pair and compares the DATA section.
struct BodyCase {
  const char* name;
  std::string file;
  std::string sent;  // between DATA and the final "."
};

class Bodies : public SendPass, public ::testing::WithParamInterface<BodyCase> {};

const std::string k201(201, 'a');

INSTANTIATE_TEST_SUITE_P(
    Lines, Bodies,
    ::testing::Values(
        BodyCase{"TrimsBlanksButKeepsTabs", "  Hello  \r\n\tTab\t \r\n", "Hello\r\n\tTab\t\r\n\r\n"},
        BodyCase{"LoneDotIsDoubled", ".\r\n . \r\nx", "..\r\n..\r\nx\r\n"},
        BodyCase{"LeadingDotIsDoubled", ".hidden\r\n..two\r\nmid.dot", "..hidden\r\n...two\r\nmid.dot\r\n"},
        BodyCase{"EmptyLinesStay", "a\r\n\r\n\r\nb", "a\r\n\r\n\r\nb\r\n"},
        BodyCase{"LastLineWithoutBreak", "one\r\ntwo", "one\r\ntwo\r\n"},
        BodyCase{"FinalBreakGivesAnEmptyLine", "one\r\n", "one\r\n\r\n"},
        BodyCase{"BareCrAndLfEndLines", "a\rb\nc\r\n", "a\r\nb\r\nc\r\n\r\n"},
        BodyCase{"EndOfFileByteStopsTheData", "a\r\nb\x1A" "c\r\n", "a\r\nb\r\n"},
        BodyCase{"NulStopsTheData", std::string("a\r\nb\0c\r\n", 8), "a\r\nb\r\n"},
        BodyCase{"EmptyFile", "", "\r\n"},
        BodyCase{"LongLineIsCutAfter201", std::string(300, 'x'),
                 std::string(201, 'x') + "\r\n" + std::string(99, 'x') + "\r\n"},
        BodyCase{"CutLineStartingWithDotIsDoubled", k201 + ".bc\r\n", k201 + "\r\n..bc\r\n\r\n"},
        BodyCase{"VeryLongLineInThreeParts", std::string(403, 'y'),
                 std::string(201, 'y') + "\r\n" + std::string(201, 'y') + "\r\ny\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(Bodies, DataSection) {
  Pair("TM000001", GetParam().file);
  SmtpServer smtp({});
  EXPECT_EQ(Run(smtp), kHelo + Envelope(kFrom, kTo, GetParam().sent) + "QUIT\r\n");
  EXPECT_FALSE(Has("TM000001.TXT"));
}

TEST_F(SendPass, TextLargerThanTheBufferIsSentWhole) {
  // 150 000 bytes of numbered lines, placed so that one CR LF straddles the
  // first chunk border and a line runs across the second.
  std::string file, sent;
  int n = 0;
  while (file.size() < 150000) {
    ++n;
    std::string line = "line " + std::to_string(n) + std::string(n % 90, '.');
    if (file.size() < 65000 && file.size() + line.size() + 2 > 65000) line.resize(65000 - file.size() - 1);
    file += line + "\r\n";
    sent += line + "\r\n";
  }
  ASSERT_EQ(file.substr(64999, 2), "\r\n");
  Pair("TM000001", file);
  SmtpServer smtp({});
  EXPECT_EQ(Run(smtp), kHelo + Envelope(kFrom, kTo, sent + "\r\n") + "QUIT\r\n");
  EXPECT_FALSE(Has("TM000001.TXT"));
}

TEST_F(SendPass, DebugTracesCommandsAndRepliesButNotTheBody) {
  main_->Config.DEBUG = true;
  Pair("TM000001", "secret body");
  SmtpServer smtp({});
  Run(smtp);
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "There are 1 messages to send", "DEBUG:R:220 test ready",
                       "Talking to SMTP (" + smtp.Server().HostPort() + ")", "DEBUG:C:HELO [127.0.0.1]",
                       "DEBUG:R:250 hello", "Sending TM000001", "DEBUG:C:MAIL FROM:<" + kFrom + ">",
                       "DEBUG:R:250 sender ok", "DEBUG:C:RCPT TO:<" + kTo + ">", "DEBUG:R:250 recipient ok",
                       "DEBUG:C:DATA", "DEBUG:R:354 go ahead", "DEBUG:C:.", "DEBUG:R:250 queued",
                       "TM000001 accepted: 250 queued", "DEBUG:C:QUIT",
                       smtp.Server().HostPort() + ": not secured (no TLS)"}));
}

TEST_F(SendPass, MoreThanTheListHoldsSendsTheFirst499AndLeavesTheRest) {
  char name[16];
  for (int i = 1; i <= 501; ++i) {
    std::snprintf(name, sizeof name, "TM%06d", i);
    Pair(name, "b");
  }
  SmtpServer smtp({});
  const std::string wire = Run(smtp);
  std::size_t mails = 0;
  for (std::size_t at = 0; (at = wire.find("MAIL FROM:", at)) != std::string::npos; ++at) ++mails;
  EXPECT_EQ(mails, 499u);
  EXPECT_EQ(wire.substr(wire.size() - 12), "b\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(Log().front(), "There are 501 messages to send");
  EXPECT_EQ(Log()[Log().size() - 2], "TM000499 accepted: 250 queued");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(out_)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"TM000500.TXT", "TM000500.WRK", "TM000501.TXT", "TM000501.WRK"}));
}

TEST_F(SendPass, RefusedConnectionEndsThePassAtOnce) {
  Pair("TM000001", "b1");
  ScriptedServer closed;
  ASSERT_TRUE(closed.Start());
  const std::string where = closed.HostPort();
  closed.Stop();
  main_->Config.SMTP = where;
  main_->SendMail();
  EXPECT_EQ(main_->LastSockError, 10061);
  EXPECT_EQ(Caption(main_->lbError), "Connection refused");
  EXPECT_EQ(Caption(main_->lbAction), "Sending");
  EXPECT_FALSE(main_->Busy);
  EXPECT_TRUE(Has("TM000001.WRK"));
}

// The read buffer on its own: lines keep their meaning across chunk borders.
struct ChunkCase {
  const char* name;
  std::string file;
};

class Chunks : public SendPass, public ::testing::WithParamInterface<ChunkCase> {};

std::string Fill(std::size_t n, char c = 'z') { return std::string(n, c); }

INSTANTIATE_TEST_SUITE_P(
    Borders, Chunks,
    ::testing::Values(
        ChunkCase{"CrLfSplitAcrossTheBorder", Fill(64999) + "\r\nnext"},
        ChunkCase{"ExactlyOneBuffer", Fill(64998) + "\r\n"},
        ChunkCase{"CrAtTheEndOfTheFirstChunkThenText", Fill(64999) + "\rX"},
        ChunkCase{"LfOpensTheSecondChunk", Fill(65000) + "\nY"},
        ChunkCase{"EndOfFileByteInTheSecondChunk", Fill(65010) + "\x1A" "after"},
        ChunkCase{"ThreeChunksOfShortLines", [] {
                    std::string s;
                    for (int i = 0; s.size() < 140000; ++i) s += "row " + std::to_string(i) + (i % 3 ? "\r\n" : "\n");
                    return s;
                  }()}),
    [](const auto& info) { return std::string(info.param.name); });

// Splits `file` the way the reader should: CR LF, CR or LF end a line, byte
// 0 or 26 ends the data, lines are cut after 201 characters, and the line in
// progress at the end is returned too.
std::vector<std::string> Expected(const std::string& file) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < file.size(); ++i) {
    const char c = file[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < file.size() && file[i + 1] == '\n') ++i;
      lines.push_back(line);
      line.clear();
    } else if (c == 0 || c == 26) {
      break;
    } else {
      if (line.size() == 201) {
        lines.push_back(line);
        line.clear();
      }
      line += c;
    }
  }
  lines.push_back(line);
  return lines;
}

TEST_P(Chunks, LinesMatchTheWholeFile) {
  const std::string path = out_ + "chunk.TXT";
  Put(path, GetParam().file);
  std::FILE* f = nullptr;
  ASSERT_TRUE(main_->OpenFileRetry(f, path, 'R'));
  TWorkFileReader reader;
  reader.Load(f);
  std::vector<std::string> lines;
  while (!reader.End() && lines.size() < 100000) lines.push_back(reader.Line());
  std::fclose(f);
  const std::vector<std::string> expected = Expected(GetParam().file);
  EXPECT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < std::min(lines.size(), expected.size()); ++i)
    ASSERT_EQ(lines[i], expected[i]) << "line " << i;
  EXPECT_FALSE(reader.Failed());
}

// Removals of OUT that fail for the test's chosen names.
class StickyOut : public plat::FilingService {
 public:
  std::set<std::string> stuck;
  int OpenDirectory(const std::string& path) override { return real_->OpenDirectory(path); }
  int CreateExclusive(int dir, const std::string& name, unsigned mode) override {
    return real_->CreateExclusive(dir, name, mode);
  }
  bool WriteAll(int fd, const char* data, std::size_t size) override { return real_->WriteAll(fd, data, size); }
  bool DataSync(int fd) override { return real_->DataSync(fd); }
  bool SyncDirectory(int dir) override { return real_->SyncDirectory(dir); }
  bool SyncFileSystem(int dir) override { return real_->SyncFileSystem(dir); }
  int OpenForSync(int dir, const std::string& name) override { return real_->OpenForSync(dir, name); }
  bool Close(int fd) override { return real_->Close(fd); }
  bool RenameNoReplace(int dir, const std::string& from, const std::string& to) override {
    return real_->RenameNoReplace(dir, from, to);
  }
  bool Remove(int dir, const std::string& name) override {
    if (!stuck.count(name)) return real_->Remove(dir, name);
    errno = EPERM;
    return false;
  }
  std::vector<std::string> List(int dir) override { return real_->List(dir); }
  bool Identify(int dir, const std::string& name, plat::FileFacts& facts) override {
    return real_->Identify(dir, name, facts);
  }
  bool IdentifyOpen(int fd, plat::FileFacts& facts) override { return real_->IdentifyOpen(fd, facts); }

 private:
  std::shared_ptr<plat::FilingService> real_ = plat::DefaultFilingService();
};

// A pair the server took but that could not be removed afterwards is never
// sent again: it is recorded, and every later pass retries the removal and
// says so until the pair is gone. A new pair under the same name is sent.
TEST_F(SendPass, APairThatStaysAfterItWasTakenIsNeverSentAgain) {
  auto files = std::make_shared<StickyOut>();
  TMainServices services;
  services.files = files;
  main_ = std::make_unique<TMain>(std::vector<std::string>{dir_ + "zvmail32"}, services, dir_);
  main_->Config.OUT = out_;
  main_->Config.LOG = true;
  main_->Config.LOGFILE = dir_ + "test.log";
  files->stuck = {"TM000001.WRK"};
  Pair("TM000001", "b1");
  Pair("TM000002", "b2");
  SmtpServer smtp({});
  const auto texts = [&smtp](std::size_t connection) {
    const auto lines = smtp.Server().Lines(connection);
    return std::count(lines.begin(), lines.end(), "DATA");
  };
  main_->Config.SMTP = smtp.Server().HostPort();
  main_->SendMail();
  ASSERT_TRUE(smtp.Server().WaitFinished(1));
  EXPECT_EQ(texts(0), 2);
  EXPECT_TRUE(Has("TM000001.WRK") && Has("TM000001.TXT"));
  EXPECT_EQ(main_->RunStatus, 73);
  EXPECT_EQ(fs::status(dir_ + "ZVMAIL32.SNT").permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // Still stuck: not sent, named in the log; then removable: removed.
  for (const bool stuck : {true, false}) {
    files->stuck = stuck ? std::set<std::string>{"TM000001.WRK"} : std::set<std::string>{};
    Pair("TM000003", "b3");
    main_->SendMail();
    ASSERT_TRUE(smtp.Server().WaitFinished(stuck ? 2 : 3));
    EXPECT_EQ(texts(stuck ? 1 : 2), 1) << stuck;
  }
  EXPECT_FALSE(Has("TM000001.WRK") || Has("TM000001.TXT"));
  EXPECT_FALSE(fs::exists(dir_ + "ZVMAIL32.SNT"));
  const auto log = Log();
  for (const std::string line :
       {"Cannot remove TM000001 from OUT after it was sent: Operation not permitted; it is not sent again",
        "Cannot remove TM000001 from OUT: Operation not permitted; it was sent before and is not sent again",
        "TM000001 was sent before; not sent again", "TM000001 was sent before; it is now removed from OUT"})
    EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << line;

  // The producer reuses the name: a new pair, sent as any other.
  Pair("TM000001", "new");
  files->stuck = {"TM000001.WRK"};
  main_->SendMail();
  ASSERT_TRUE(smtp.Server().WaitFinished(4));
  EXPECT_EQ(texts(3), 1);
}

TEST_F(SendPass, OpenFileRetryAndRemoveFile) {
  std::FILE* f = reinterpret_cast<std::FILE*>(1);
  EXPECT_FALSE(main_->OpenFileRetry(f, "", 'R'));
  EXPECT_FALSE(main_->OpenFileRetry(f, out_ + "none.WRK", 'R'));
  EXPECT_EQ(f, nullptr);
  Put(out_ + "x.WRK", "x");
  EXPECT_FALSE(main_->RemoveFile(out_ + "none.WRK"));
  EXPECT_TRUE(main_->RemoveFile(out_ + "x.WRK"));
  EXPECT_FALSE(Has("x.WRK"));
}

// Without pipelining on offer (HELO), a command goes out only after the
// answer to the one before has arrived; strict servers drop a client that
// sends ahead. The server here waits a moment before each answer to see
// whether anything else comes first, RSET's unexamined answer included.
TEST_F(SendPass, EveryCommandWaitsForTheAnswerToTheOneBefore) {
  Pair("TM000001", "b1");
  Put(out_ + "TM000002.WRK", "tag\r\na@b\r\nc@d\r\n");  // no text: fails before any command
  Pair("TM000003", "b3");
  SmtpServer smtp(With([](SmtpScript& s) {
    s.rset = "503 odd, but not examined";
    s.rcpt = {"250 ok", "550 no such user"};
    s.watchAhead = std::chrono::milliseconds(30);
  }));
  EXPECT_EQ(Run(smtp), kHelo + kFull1 + "RSET\r\nRSET\r\n" + kMail + kRcpt + "QUIT\r\n");
  EXPECT_FALSE(Has("TM000001.WRK"));
  EXPECT_TRUE(Has("TM000002.WRK"));
  EXPECT_TRUE(Has("TM000003.WRK") && Has("TM000003.TXT"));
  EXPECT_EQ(Caption(main_->lbError), "SMTP host would not accept mail for recipient");
}

}  // namespace
