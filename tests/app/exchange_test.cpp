// The command and reply exchange of an in-process main window, against a
// scripted server on loopback.
#include <gtest/gtest.h>

#include <QLabel>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/mainunit.h"
#include "platform/winsock.h"
#include "support/scripted_server.h"
#include "support/testutil.h"

namespace fs = std::filesystem;
using zvtest::ScriptedServer;

namespace {

// The real socket service with connect failing "address in use" for the
// first `failures` calls.
class AddressInUse : public winsock::Service {
 public:
  explicit AddressInUse(int failures) : failures_(failures) {}
  int connects = 0;

  int WSAStartup(uint16_t v, winsock::WSAData* d) override { return real_->WSAStartup(v, d); }
  int WSACleanup() override { return real_->WSACleanup(); }
  int WSAGetLastError() override { return injected_ ? winsock::WSAEADDRINUSE : real_->WSAGetLastError(); }
  bool WSAIsBlocking() override { return real_->WSAIsBlocking(); }
  int WSACancelBlockingCall() override { return real_->WSACancelBlockingCall(); }
  winsock::SOCKET socket(int af, int type, int protocol) override {
    injected_ = false;
    return real_->socket(af, type, protocol);
  }
  int connect(winsock::SOCKET s, const winsock::SockAddrIn* name, int namelen) override {
    injected_ = ++connects <= failures_;
    return injected_ ? winsock::SOCKET_ERROR : real_->connect(s, name, namelen);
  }
  int bind(winsock::SOCKET s, const winsock::SockAddrIn* n, int l) override { return real_->bind(s, n, l); }
  int send(winsock::SOCKET s, const char* b, int l, int f) override { return real_->send(s, b, l, f); }
  int recv(winsock::SOCKET s, char* b, int l, int f) override { return real_->recv(s, b, l, f); }
  int closesocket(winsock::SOCKET s) override { return real_->closesocket(s); }
  int shutdown(winsock::SOCKET s, int how) override { return real_->shutdown(s, how); }
  int ioctlsocket(winsock::SOCKET s, long cmd, uint32_t* a) override { return real_->ioctlsocket(s, cmd, a); }
  int setsockopt(winsock::SOCKET s, int lv, int o, const char* v, int l) override {
    return real_->setsockopt(s, lv, o, v, l);
  }
  int getsockname(winsock::SOCKET s, winsock::SockAddrIn* n, int* l) override { return real_->getsockname(s, n, l); }
  const winsock::HostEnt* gethostbyname(const std::string& n) override { return real_->gethostbyname(n); }
  const winsock::ServEnt* getservbyname(const std::string& n, const std::string& p) override {
    return real_->getservbyname(n, p);
  }
  const winsock::ProtoEnt* getprotobyname(const std::string& n) override { return real_->getprotobyname(n); }
  uint32_t inet_addr(const std::string& cp) override { return real_->inet_addr(cp); }
  std::string inet_ntoa(winsock::InAddr in) override { return real_->inet_ntoa(in); }
  uint16_t(htons)(uint16_t v) override { return real_->htons(v); }
  int WSAAsyncSelect(winsock::SOCKET s, plat::HiddenWindow* w, unsigned m, long e) override {
    return real_->WSAAsyncSelect(s, w, m, e);
  }

 private:
  std::shared_ptr<winsock::Service> real_ = winsock::DefaultService();
  int failures_;
  bool injected_ = false;
};

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override { Make({}); }
  void TearDown() override {
    main_.reset();
    fs::remove_all(dir_);
  }
  void Make(std::shared_ptr<winsock::Service> sockets) {
    main_.reset();
    if (dir_.empty()) {
      char tmpl[] = "/tmp/zv-exchange-XXXXXX";
      ASSERT_NE(::mkdtemp(tmpl), nullptr);
      dir_ = std::string(tmpl) + "/";
    }
    TMainServices services;
    services.sockets = std::move(sockets);
    services.terminate = [] { throw TMainTerminated{}; };
    main_ = std::make_unique<TMain>(std::vector<std::string>{dir_ + "zvmail32"}, services, dir_);
    main_->Config.LOG = true;
    main_->Config.DEBUG = true;
    main_->Config.LOGFILE = dir_ + "test.log";
  }
  // Starts `server` and connects the main window's socket to it.
  void Connect(ScriptedServer& server) {
    ASSERT_TRUE(server.Start());
    main_->OpenConnection(server.Address(), server.Port());
    main_->WaitForState(1);
    ASSERT_EQ(main_->LastSockError, 0);
    ASSERT_EQ(main_->Sock.State, 1);
  }
  void Disconnect() {
    main_->Sock.Close();
    main_->WaitForState(0);
  }
  std::vector<std::string> Log() const {
    std::ifstream in(dir_ + "test.log", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.size() >= 19 ? line.substr(19) : line);
    }
    return lines;
  }
  std::string Caption(QLabel* label) const { return label->text().toStdString(); }

  std::string dir_;
  std::unique_ptr<TMain> main_;
};

// Reply lines sent at once by the server, the code ReadCode gives, and the
// line the next ReadReply gets (every line of the reply was consumed).
struct CodeCase {
  const char* name;
  std::string sent;
  uint16_t code;
};

class ReadCodes : public Exchange, public ::testing::WithParamInterface<CodeCase> {};

INSTANTIATE_TEST_SUITE_P(
    Replies, ReadCodes,
    ::testing::Values(CodeCase{"Single", "220 ready\r\n", 220},
                      CodeCase{"Continued", "250-first\r\n250 second\r\n", 250},
                      CodeCase{"CodeOfTheLastLine", "250-a\r\n251-b\r\n252 c\r\n", 252},
                      CodeCase{"BareHyphen", "250-\r\n250 done\r\n", 250},
                      CodeCase{"CodeAlone", "250\r\n", 250},
                      CodeCase{"BareLf", "354 go\n", 354},
                      CodeCase{"NoNumber", "hello-there\r\n", 0},
                      CodeCase{"EmptyLine", "\r\n", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(ReadCodes, CodeAndLinesConsumed) {
  ScriptedServer server;
  server.SetGreeting({{}, GetParam().sent + "999 next\r\n", ScriptedServer::Action::Continue});
  Connect(server);
  EXPECT_EQ(main_->ReadCode(), GetParam().code);
  std::string next;
  EXPECT_TRUE(main_->ReadReply(next, true));
  EXPECT_EQ(next, "999 next");
  EXPECT_EQ(Caption(main_->lbResponse), "999 next");
  Disconnect();
  EXPECT_EQ(Caption(main_->lbState), "Closed");
}

struct OkCase {
  const char* name;
  std::string reply;
  bool ok;
};

class ReadOKs : public Exchange, public ::testing::WithParamInterface<OkCase> {};

INSTANTIATE_TEST_SUITE_P(Replies, ReadOKs,
                         ::testing::Values(OkCase{"Upper", "+OK ready", true}, OkCase{"Lower", "+ok", true},
                                           OkCase{"Mixed", "+oK 2 320", true}, OkCase{"Error", "-ERR no", false},
                                           OkCase{"Empty", "", false}, OkCase{"LeadingBlank", " +OK", false},
                                           OkCase{"Short", "+O", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(ReadOKs, FirstThreeCharacters) {
  ScriptedServer server;
  server.SetGreeting({{GetParam().reply}, "", ScriptedServer::Action::Continue});
  Connect(server);
  EXPECT_EQ(main_->ReadOK(), GetParam().ok);
  Disconnect();
}

TEST_F(Exchange, ReadReplyInTheErrorStateReadsNothing) {
  ScriptedServer server;
  server.SetGreeting({{"220 unread"}, "", ScriptedServer::Action::Continue});
  Connect(server);
  main_->SetCaption(main_->lbResponse, "before");
  main_->Sock.State = 3;
  std::string reply = "stale";
  EXPECT_FALSE(main_->ReadReply(reply, true));
  EXPECT_EQ(reply, "");
  EXPECT_EQ(Caption(main_->lbResponse), "before");
  EXPECT_EQ(main_->ReadCode(), 0);
  EXPECT_FALSE(main_->ReadOK());
  EXPECT_EQ(Log(), (std::vector<std::string>{"DEBUG:R:", "DEBUG:R:", "DEBUG:R:"}));
  Disconnect();
}

TEST_F(Exchange, SendCommandTracesAndSendsExceptInTheErrorState) {
  ScriptedServer server;
  Connect(server);
  main_->SendCommand("STAT");
  EXPECT_EQ(Caption(main_->lbCommand), "STAT");
  main_->Sock.State = 3;
  main_->PendingOutput = "dropped\r\n";
  main_->SendCommand("LIST");
  EXPECT_EQ(Caption(main_->lbCommand), "STAT");
  EXPECT_EQ(main_->PendingOutput, "");
  main_->Sock.State = 1;
  main_->PendingOutput = "body line\r\n";
  main_->SendCommand(".");
  Disconnect();
  ASSERT_TRUE(server.WaitFinished(1));
  EXPECT_EQ(server.Received(0), "STAT\r\nbody line\r\n.\r\n");
  EXPECT_EQ(Log(), (std::vector<std::string>{"DEBUG:C:STAT", "DEBUG:C:LIST", "DEBUG:C:."}));
}

TEST_F(Exchange, OpenConnectionClosesAnOpenOneFirst) {
  ScriptedServer server;
  Connect(server);
  main_->SetCaption(main_->lbError, "old error");
  main_->OpenConnection(server.Address(), server.Port());
  EXPECT_EQ(Caption(main_->lbError), "None");
  main_->WaitForState(1);
  EXPECT_EQ(Caption(main_->lbState), "Connected");
  ASSERT_TRUE(server.WaitFinished(1));
  // WaitForState(0) closes a connected socket itself and returns at once,
  // with the state shown before the close.
  main_->WaitForState(0);
  EXPECT_EQ(main_->Sock.State, 0);
  EXPECT_EQ(Caption(main_->lbState), "Connected");
  ASSERT_TRUE(server.WaitFinished(2));
  EXPECT_EQ(server.Connections(), 2u);
}

TEST_F(Exchange, RefusedConnectionSetsLastSockError) {
  ScriptedServer gone;
  ASSERT_TRUE(gone.Start());
  const uint16_t port = gone.Port();
  gone.Stop();
  main_->OpenConnection("127.0.0.1", port);
  main_->WaitForState(1);
  EXPECT_EQ(main_->LastSockError, 10061);
  EXPECT_EQ(main_->Sock.State, 3);
  EXPECT_EQ(Caption(main_->lbError), "Connection refused");
  // One line names the server and the cause.
  EXPECT_EQ(Log(), std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + ": connection refused"});
}

// A reply is bounded as a whole, whatever trickles in: a server that sends
// continuation lines without end is cut off at the limit, and the connection
// goes with it (its remaining lines would answer later commands).
TEST_F(Exchange, AReplyThatNeverEndsIsCutAndTheConnectionWithIt) {
  zvtest::Trickler trickle("250-still going\r\n", std::chrono::milliseconds(20));
  const uint16_t port = trickle.Port();
  ASSERT_NE(port, 0);
  main_->ReplyLimit = std::chrono::milliseconds(1000);
  main_->OpenConnection("127.0.0.1", port);
  main_->WaitForState(1);
  const auto start = std::chrono::steady_clock::now();
  main_->ReadCode();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(main_->Sock.State, 3);
  main_->SendCommand("QUIT");  // the dialogue cannot go on: nothing is sent
  EXPECT_EQ(trickle.Stop(), "");
  const auto log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "127.0.0.1:" + std::to_string(port) + ": no complete reply within 1 s"),
            log.end());
  EXPECT_EQ(main_->RunStatus, 75);
}

TEST_F(Exchange, AddressInUseIsRepeatedAFewTimes) {
  auto service = std::make_shared<AddressInUse>(3);
  Make(service);
  ScriptedServer server;
  Connect(server);
  EXPECT_EQ(service->connects, 4);
  Disconnect();
}

TEST_F(Exchange, AddressInUseRepetitionIsBounded) {
  auto service = std::make_shared<AddressInUse>(1000000);
  Make(service);
  ScriptedServer server;
  ASSERT_TRUE(server.Start());
  main_->OpenConnection(server.Address(), server.Port());
  main_->WaitForState(1);
  EXPECT_EQ(main_->LastSockError, 10048);
  EXPECT_EQ(main_->Sock.State, 3);
  EXPECT_GT(service->connects, 10);
  EXPECT_LT(service->connects, 1000);
  EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(Exchange, SilentServerTimesOutWithCodeZero) {
  ScriptedServer server;
  server.SetGreeting({{}, "", ScriptedServer::Action::Silent});
  Connect(server);
  main_->Sock.Timeout = 1;
  EXPECT_EQ(main_->ReadCode(), 0);
  EXPECT_EQ(main_->Sock.State, 3);
  Disconnect();
}

TEST(ServerAddress, HostAndOptionalPort) {
  struct Case {
    std::string value;
    std::string host;
    uint16_t port;
  };
  for (const Case& c : std::vector<Case>{{"mail.example", "mail.example", 25},
                                         {"mail.example:2525", "mail.example", 2525},
                                         {"127.0.0.1:1", "127.0.0.1", 1},
                                         {"mail.example:", "mail.example:", 25},
                                         {"mail.example:0", "mail.example:0", 25},
                                         {"mail.example:70000", "mail.example:70000", 25},
                                         {"mail.example:25x", "mail.example:25x", 25},
                                         {"", "", 25}}) {
    const auto [host, port] = TMain::ServerAddress(c.value, 25);
    EXPECT_EQ(host, c.host) << c.value;
    EXPECT_EQ(port, c.port) << c.value;
  }
}

}  // namespace
