#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/Sockets.h"
#include "net/loopback_server.h"
#include "net/wrapped_service.h"
#include "platform/msgwindow.h"
#include "platform/session.h"
#include "support/scripted_server.h"

namespace {

// Pumps the event queue until `cond` holds; false after `ms` milliseconds.
bool PumpUntil(const std::function<bool()>& cond, int ms = 10000) {
  QElapsedTimer clock;
  clock.start();
  QTimer wake;  // bounds each sleep in the event loop
  wake.start(20);
  while (!cond()) {
    if (clock.elapsed() > ms) return false;
    plat::WaitForEvents();
  }
  return true;
}

uint16_t PortOf(const winsock::SockAddrIn& a) {
  unsigned char b[2];
  std::memcpy(b, &a.sin_port, 2);
  return uint16_t(b[0] << 8 | b[1]);
}

struct Report {
  int32_t error;
  std::string msg;
  bool operator==(const Report&) const = default;
};

void PrintTo(const Report& r, std::ostream* os) { *os << "{" << r.error << ", \"" << r.msg << "\"}"; }

class SocketsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetHeadless(true);
    sock.NonBlocking = false;
    sock.OnErrorOccurred = [this](TSockets* sender, int32_t error, const std::string& msg) {
      EXPECT_EQ(sender, &sock);
      reports.push_back({error, msg});
    };
  }

  void OpenTo(const LoopbackServer& server) {
    sock.Open(server.PortText(), "127.0.0.1");
    ASSERT_EQ(sock.State, 1);
    ASSERT_TRUE(reports.empty());
  }

  std::shared_ptr<WrappedService> ws = std::make_shared<WrappedService>();
  TSockets sock{ws};
  std::vector<Report> reports;
};

// ---- Reading lines ----------------------------------------------------

struct Line {
  std::string text;
  bool noReply;
};

struct LineCase {
  const char* name;
  std::vector<std::string> chunks;  // server sends, in order
  bool closeAfter;                  // then the server closes its side
  int32_t bufferSize;
  std::vector<Line> expected;       // successive GetText results
};

std::string Xs(size_t n) { return std::string(n, 'x'); }

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class GetTextCases : public SocketsTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(GetTextCases, Transcript) {
  const LineCase& c = GetParam();
  LoopbackServer server;
  Gate clientDone;
  server.Serve([&](LoopbackPeer& peer) {
    for (const std::string& chunk : c.chunks) peer.Send(chunk);
    if (!c.closeAfter) clientDone.Wait();
  });
  sock.BufferSize = c.bufferSize;
  OpenTo(server);
  for (size_t i = 0; i < c.expected.size(); ++i) {
    const std::string got = sock.GetText();
    EXPECT_EQ(got, c.expected[i].text) << "read " << i;
    EXPECT_EQ(sock.NoReply, c.expected[i].noReply) << "read " << i;
  }
  EXPECT_TRUE(reports.empty());
  for (int asked : ws->recvSizes) EXPECT_LE(asked, std::min(c.bufferSize, 16384));
  clientDone.Open();
  EXPECT_TRUE(server.Finished());
  sock.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, GetTextCases,
    ::testing::Values(
        LineCase{"CrLf", {"abc\r\n"}, false, 8192, {{"abc", false}}},
        LineCase{"CrInsideLine", {"a\rb\n"}, false, 8192, {{"ab", false}}},
        LineCase{"LoneLineFeed", {"\n"}, false, 8192, {{"", false}}},
        LineCase{"TwoLinesOneSend", {"one\r\ntwo\r\n"}, false, 8192, {{"one", false}, {"two", false}}},
        LineCase{"LineOverTwoSends", {"hel", "lo\r\n"}, false, 8192, {{"hello", false}}},
        LineCase{"LastLineThenClose", {"last\r\n"}, true, 8192, {{"last", false}, {"", true}}},
        LineCase{"PeerClosesMidLine", {Xs(300)}, true, 8192, {{Xs(250), true}, {"", true}}},
        LineCase{"LineLongerThanFillLimit", {Xs(9000) + "\n"}, false, 8192, {{Xs(250), true}, {Xs(808), false}}},
        LineCase{"FillLimitCappedAtCapacity", {Xs(17000) + "\n"}, false, 20000, {{Xs(250), true}, {Xs(616), false}}},
        LineCase{"FillLimitZero", {"abc\n"}, false, 0, {{"", true}}}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST_F(SocketsTest, SecondLineOfOneReceiveNeedsNoRecv) {
  LoopbackServer server;
  Gate clientDone;
  server.Serve([&](LoopbackPeer& peer) {
    peer.Send("one\r\ntwo\r\n");
    clientDone.Wait();
  });
  OpenTo(server);
  EXPECT_EQ(sock.GetText(), "one");
  EXPECT_EQ(ws->Count("recv"), 1);
  EXPECT_EQ(sock.GetText(), "two");
  EXPECT_EQ(ws->Count("recv"), 1);
  clientDone.Open();
  sock.Close();
}

TEST_F(SocketsTest, ErrorMidLineGivesFirst250BytesAndEmptiesBuffer) {
  LoopbackServer server;
  Gate more;
  server.Serve([&](LoopbackPeer& peer) {
    peer.Send(Xs(300));
    more.Wait();
    peer.Send("z\r\n");
    peer.ReadToEnd();
  });
  ws->fault = [](const std::string& call, int n) { return call == "recv" && n == 2 ? winsock::WSAECONNRESET : 0; };
  OpenTo(server);
  EXPECT_EQ(sock.GetText(), Xs(250));
  EXPECT_TRUE(sock.NoReply);
  EXPECT_EQ(sock.State, 3);
  EXPECT_EQ(reports, (std::vector<Report>{{10054, "Connection reset by peer"}}));
  // Nothing of the 300 bytes is left for the next read.
  more.Open();
  sock.State = 1;
  EXPECT_EQ(sock.GetText(), "z");
  EXPECT_FALSE(sock.NoReply);
  sock.Close();
}

TEST_F(SocketsTest, LineFeedInThePassThatLeavesConnectedIsNotReturned) {
  LoopbackServer server;
  Gate clientDone;
  server.Serve([&](LoopbackPeer& peer) {
    peer.Send("line\r\nrest");
    clientDone.Wait();
  });
  // A message handled right after the receive drops the state, as an
  // owner's handler would.
  plat::HiddenWindow owner([&](unsigned, plat::WParam, plat::LParam) {
    sock.State = 3;
    return plat::LResult(0);
  });
  ws->afterRecv = [&](int got) {
    if (got > 0) owner.post(plat::WM_USER, 0, 0);
  };
  OpenTo(server);
  EXPECT_EQ(sock.GetText(), "line\r\nrest");
  EXPECT_TRUE(sock.NoReply);
  clientDone.Open();
  sock.Close();
}

TEST_F(SocketsTest, GetTextWithoutSocketGivesUpAtOnce) {
  EXPECT_EQ(sock.GetText(), "");
  EXPECT_TRUE(sock.NoReply);
  EXPECT_EQ(ws->Count("recv"), 0);
  EXPECT_TRUE(reports.empty());
}

// ---- Sending -------------------------------------------------------

TEST_F(SocketsTest, SetTextSendsBytesUnchangedAndNothingForEmptyText) {
  LoopbackServer server;
  std::string received;
  server.Serve([&](LoopbackPeer& peer) { received = peer.Read(14); });
  OpenTo(server);
  sock.SetText("");
  EXPECT_EQ(ws->Count("send"), 0);
  sock.SetText("HELO a\r\n");
  sock.SetText("QUIT\r\n");
  ASSERT_TRUE(server.Finished());
  EXPECT_EQ(received, "HELO a\r\nQUIT\r\n");
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(sock.LocalAddress(), "127.0.0.1");
  sock.Close();
  EXPECT_EQ(sock.Handle(), -1);
}

TEST_F(SocketsTest, PeerResetReportsAndNeverKillsTheProgram) {
  LoopbackServer server;
  Gate connected;
  server.Serve([&](LoopbackPeer& peer) {
    connected.Wait();
    peer.Send("partial");
    peer.Reset();
  });
  OpenTo(server);
  connected.Open();
  ASSERT_TRUE(server.Finished());
  const std::string got = sock.GetText();
  EXPECT_TRUE(sock.NoReply);
  EXPECT_EQ(got, std::string("partial").substr(0, got.size()));
  sock.State = 1;
  for (int i = 0; i < 3; ++i) sock.SetText("DATA\r\n");
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), (Report{10054, "Connection reset by peer"}));
  EXPECT_EQ(sock.State, 3);
  sock.Close();
}

// ---- Opening and closing -------------------------------------------

struct OpenFailure {
  const char* name;
  std::string port, address;
};

void PrintTo(const OpenFailure& c, std::ostream* os) { *os << c.name; }

class OpenFailures : public SocketsTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailures, ReportNumberZeroWithoutSocket) {
  sock.Open(GetParam().port, GetParam().address);
  EXPECT_EQ(reports, (std::vector<Report>{{0, "Not a Winsock error"}}));
  EXPECT_EQ(sock.State, 3);
  EXPECT_EQ(sock.Handle(), -1);
  EXPECT_EQ(ws->Count("socket"), 0);
}

INSTANTIATE_TEST_SUITE_P(Sockets, OpenFailures,
                         ::testing::Values(OpenFailure{"NoPort", "", "127.0.0.1"},
                                           OpenFailure{"NoAddress", "110", ""},
                                           OpenFailure{"UnresolvableHost", "110", "no-such-host.invalid"},
                                           OpenFailure{"OverlongHost", "110", std::string(300, 'a')}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketsTest, RefusedConnect) {
  sock.Open(std::to_string(ClosedPort()), "127.0.0.1");
  EXPECT_EQ(reports, (std::vector<Report>{{10061, "Connection refused"}}));
  EXPECT_EQ(sock.State, 3);
  sock.Close();
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(sock.State, 0);
  EXPECT_EQ(sock.Handle(), -1);
}

TEST_F(SocketsTest, PortTextIsServiceNameOrNumber) {
  const struct {
    std::string text;
    uint16_t port;
  } cases[] = {{"110", 110}, {"25", 25}, {"pop3", 110}, {"smtp", 25}, {"65535", 65535}};
  ws->connectReaches = false;
  for (const auto& c : cases) {
    sock.Open(c.text, "127.0.0.1");
    EXPECT_EQ(PortOf(ws->lastConnect), c.port) << c.text;
    sock.Close();
  }
}

TEST_F(SocketsTest, PortTextThatIsNeitherRaisesConversionError) {
  for (const std::string& text :
       std::vector<std::string>{"nosuchservice", "12x", "-", "99999999999", std::string(40, '1')}) {
    try {
      sock.Open(text, "127.0.0.1");
      ADD_FAILURE() << "no error for " << text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + text + "' is not a valid integer value");
    }
  }
  EXPECT_EQ(ws->Count("socket"), 0);
  EXPECT_TRUE(reports.empty());
}

TEST_F(SocketsTest, PortNumberOutsideTcpRangeIsRefused) {
  sock.Open("70000", "127.0.0.1");
  EXPECT_EQ(reports, (std::vector<Report>{{10049, "Can't assign requested address"}}));
  EXPECT_EQ(ws->Count("socket"), 0);
}

// Nothing to close is no failure: no report, and nothing goes out.
TEST_F(SocketsTest, CloseNeverOpened) {
  sock.Close();
  sock.SetText("QUIT\r\n");
  sock.Close();
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(ws->Count("closesocket") + ws->Count("send"), 0);
  EXPECT_EQ(sock.State, 0);
  EXPECT_EQ(sock.Handle(), -1);
}

TEST_F(SocketsTest, FailingSocketCallIsReportedOnce) {
  ws->fault = [](const std::string& call, int) { return call == "socket" ? winsock::WSAEMFILE : 0; };
  sock.Open("110", "127.0.0.1");
  EXPECT_EQ(reports, (std::vector<Report>{{10024, "Too many open files"}}));
  EXPECT_EQ(sock.State, 3);
}

// ---- Blocking calls and the watchdog --------------------------------

TEST_F(SocketsTest, WatchdogTimesOutSilentServer) {
  LoopbackServer server;
  Gate clientDone;
  server.Serve([&](LoopbackPeer&) { clientDone.Wait(); });
  sock.Timeout = 1;
  OpenTo(server);
  EXPECT_EQ(sock.GetText(), "");
  EXPECT_TRUE(sock.NoReply);
  EXPECT_EQ(reports, (std::vector<Report>{{10060, "Blocking call timed out"}, {10004, "Interrupted system call"}}));
  EXPECT_EQ(sock.State, 3);
  EXPECT_FALSE(ws->WSAIsBlocking());
  clientDone.Open();
  sock.Close();
}

TEST_F(SocketsTest, TimersAndPostedMessagesRunDuringBlockingRead) {
  LoopbackServer server;
  Gate send;
  server.Serve([&](LoopbackPeer& peer) {
    send.Wait();
    peer.Send("late\r\n");
  });
  OpenTo(server);
  bool postedInCall = false, timerInCall = false;
  plat::HiddenWindow owner([&](unsigned, plat::WParam, plat::LParam) {
    postedInCall = ws->WSAIsBlocking();
    return plat::LResult(0);
  });
  owner.post(plat::WM_USER + 1, 0, 0);
  // Only the timer lets the server answer, so the read can end only if the
  // timer ran while it was blocked.
  QTimer::singleShot(50, [&] {
    timerInCall = ws->WSAIsBlocking();
    send.Open();
  });
  EXPECT_EQ(sock.GetText(), "late");
  EXPECT_TRUE(postedInCall);
  EXPECT_TRUE(timerInCall);
  EXPECT_TRUE(reports.empty());
  sock.Close();
}

TEST_F(SocketsTest, NestedBlockingCallIsRefused) {
  LoopbackServer first, second;
  Gate send, secondDone;
  first.Serve([&](LoopbackPeer& peer) {
    send.Wait();
    peer.Send("outer\r\n");
  });
  second.Serve([&](LoopbackPeer&) { secondDone.Wait(); });
  TSockets other{ws};
  other.NonBlocking = false;
  std::vector<Report> otherReports;
  other.OnErrorOccurred = [&](TSockets*, int32_t e, const std::string& m) { otherReports.push_back({e, m}); };
  other.Open(second.PortText(), "127.0.0.1");
  ASSERT_EQ(other.State, 1);
  OpenTo(first);
  std::string inner = "unset";
  QTimer::singleShot(20, [&] {
    inner = other.GetText();
    send.Open();
  });
  EXPECT_EQ(sock.GetText(), "outer");
  EXPECT_EQ(inner, "");
  EXPECT_TRUE(other.NoReply);
  EXPECT_EQ(otherReports, (std::vector<Report>{{10036, "Operation now in progress"}}));
  EXPECT_TRUE(reports.empty());
  secondDone.Open();
  other.Close();
  sock.Close();
}

TEST_F(SocketsTest, CloseFromHandlerDuringBlockingRead) {
  LoopbackServer server;
  Gate clientDone;
  server.Serve([&](LoopbackPeer&) { clientDone.Wait(); });
  OpenTo(server);
  QTimer::singleShot(20, [&] { sock.Close(); });
  EXPECT_EQ(sock.GetText(), "");
  EXPECT_TRUE(sock.NoReply);
  EXPECT_EQ(sock.Handle(), -1);
  EXPECT_EQ(reports, (std::vector<Report>{{10004, "Interrupted system call"}}));
  clientDone.Open();
}

// ---- Every address of a name -----------------------------------------

winsock::SockAddr Literal(const std::string& text) {
  winsock::SockAddr a;
  std::vector<winsock::SockAddr> found;
  if (winsock::DefaultService()->getaddrinfo(text, found) == 0) a = found.front();
  return a;
}

struct NameCase {
  const char* name;
  std::vector<std::string> addresses;  // the resolver's answer, in order
  bool listening;                      // a server on 127.0.0.1 accepts
  std::vector<int> families;           // of the connects tried, in order
  std::vector<Report> expected;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class NameCases : public SocketsTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameCases, TriedInOrderAndOnlyTheLastFailureReported) {
  const NameCase& c = GetParam();
  zvtest::ScriptedServer server;
  server.SetGreeting({{"220 here"}});
  ASSERT_TRUE(server.Start());
  const uint16_t port = c.listening ? server.Port() : ClosedPort();
  ws->resolved.emplace();
  for (const std::string& a : c.addresses) ws->resolved->push_back(Literal(a));
  sock.Open(std::to_string(port), "mail.example.net");
  EXPECT_EQ(reports, c.expected);
  std::vector<int> families;
  for (const auto& [family, connectPort] : ws->connects) {
    families.push_back(family);
    EXPECT_EQ(connectPort, port);
  }
  EXPECT_EQ(families, c.families);
  // Every attempt's socket but the last one's was closed at once; the last
  // is the owner's to close, as ever.
  EXPECT_EQ(ws->Count("closesocket"), int(c.families.size()) - 1);
  if (c.expected.empty()) {
    EXPECT_EQ(sock.State, 1);
    EXPECT_EQ(sock.GetText(), "220 here");
    EXPECT_FALSE(sock.IsIPv6());
  } else {
    EXPECT_EQ(sock.State, 3);
  }
  sock.Close();
}

constexpr int kV4 = winsock::AF_INET, kV6 = winsock::AF_INET6;
const Report kRefused{10061, "Connection refused"};

INSTANTIATE_TEST_SUITE_P(
    Sockets, NameCases,
    ::testing::Values(NameCase{"FirstFailsSecondAccepts", {"::1", "127.0.0.1"}, true, {kV6, kV4}, {}},
                      NameCase{"FirstAccepts", {"127.0.0.1", "::1"}, true, {kV4}, {}},
                      NameCase{"AllRefusedReportsTheLast", {"::1", "127.0.0.1"}, false, {kV6, kV4}, {kRefused}},
                      NameCase{"AtMostSixteenTried",
                               std::vector<std::string>(20, "127.0.0.1"),
                               false,
                               std::vector<int>(16, kV4),
                               {kRefused}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketsTest, AttemptThatTimesOutIsLeftSilentlyForTheNext) {
  zvtest::ScriptedServer server("::1");
  server.SetGreeting({{"220 here"}});
  if (!server.Start()) GTEST_SKIP() << "no IPv6 loopback";
  // The first address, 127.0.0.1 at the same port, never answers.
  FullListener hanging(server.Port());
  if (!hanging.Ready()) GTEST_SKIP() << "cannot fill a listener's backlog at port " << server.Port();
  ws->resolved = {Literal("127.0.0.1"), Literal("::1")};
  sock.Timeout = 1;
  sock.Open(std::to_string(server.Port()), "mail.example.net");
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(sock.State, 1);
  EXPECT_EQ(ws->connects.size(), 2u);
  EXPECT_TRUE(sock.IsIPv6());
  EXPECT_EQ(sock.LocalAddress(), "::1");
  EXPECT_EQ(sock.GetText(), "220 here");
  sock.Close();
}

// ---- The reply deadline ---------------------------------------------

TEST_F(SocketsTest, ReplyDeadlineCutsATricklingReplyUntilClosed) {
  using namespace std::chrono_literals;
  LoopbackServer trickling, prompt;
  Gate clientDone;
  trickling.Serve([&](LoopbackPeer& peer) {
    peer.Send("250-");
    while (!clientDone.Wait(10)) peer.Send("x");
  });
  prompt.Serve([&](LoopbackPeer& peer) {
    peer.Send("250 ok\r\n");
    peer.ReadToEnd();
  });
  sock.Timeout = 60;  // each receive is quick; only the deadline can end it
  OpenTo(trickling);
  const auto start = std::chrono::steady_clock::now();
  sock.SetReplyDeadline(start + 300ms);
  const std::string got = sock.GetText();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(sock.NoReply);
  EXPECT_EQ(got.substr(0, 5), "250-x");
  EXPECT_EQ(reports, (std::vector<Report>{{10060, "Blocking call timed out"}, {10004, "Interrupted system call"}}));
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 5s);
  clientDone.Open();
  // Close clears it: the next connection reads as ever.
  sock.Close();
  reports.clear();
  OpenTo(prompt);
  EXPECT_EQ(sock.GetText(), "250 ok");
  EXPECT_TRUE(reports.empty());
  sock.Close();
}

// ---- Non-blocking mode ------------------------------------------------

TEST_F(SocketsTest, NotificationsBecomeEvents) {
  LoopbackServer server;
  Gate send;
  std::string fromClient;
  server.Serve([&](LoopbackPeer& peer) {
    send.Wait();
    peer.Send("hello\r\n");
    fromClient = peer.Read(7);
  });
  sock.NonBlocking = true;
  std::vector<std::string> events;
  auto note = [&](const char* name) {
    return [&events, name, this](TSockets* sender, int32_t socket) {
      EXPECT_EQ(sender, &sock);
      EXPECT_EQ(socket, sock.Handle());
      events.push_back(std::string(name) + "@" + std::to_string(sock.State));
    };
  };
  sock.OnSessionConnected = note("connected");
  sock.OnDataNeeded = note("needed");
  sock.OnDataAvailable = note("available");
  sock.OnSessionClosed = note("closed");
  OpenTo(server);
  ASSERT_TRUE(PumpUntil([&] { return events.size() >= 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"connected@1", "needed@1"}));
  send.Open();
  ASSERT_TRUE(PumpUntil([&] { return events.size() >= 3; }));
  EXPECT_EQ(events.back(), "available@1");
  EXPECT_EQ(sock.GetText(), "hello");
  sock.SetText("BYE\r\n\r\n");
  ASSERT_TRUE(PumpUntil([&] { return sock.State == 0; }));
  EXPECT_EQ(events.back(), "closed@1");
  EXPECT_EQ(fromClient, "BYE\r\n\r\n");
  EXPECT_TRUE(reports.empty());
  sock.Close();
}

TEST_F(SocketsTest, RefusedNonBlockingConnectIsReportedFromNotification) {
  sock.NonBlocking = true;
  bool connected = false;
  sock.OnSessionConnected = [&](TSockets*, int32_t) { connected = true; };
  sock.Open(std::to_string(ClosedPort()), "127.0.0.1");
  EXPECT_EQ(sock.State, 1);
  ASSERT_TRUE(PumpUntil([&] { return !reports.empty(); }));
  EXPECT_EQ(reports, (std::vector<Report>{{10061, "Connection refused"}}));
  EXPECT_FALSE(connected);
  EXPECT_EQ(sock.State, 3);
  sock.Close();
}

TEST_F(SocketsTest, StaleNotificationOfAnEarlierSocketIsIgnored) {
  sock.NonBlocking = true;
  sock.Window().post(TSockets::kNotifyMessage, 12345, winsock::FD_CLOSE);
  sock.State = 1;
  plat::PumpOnce();
  EXPECT_EQ(sock.State, 1);
}

// ---- The error box when nobody handles errors ------------------------

class SocketsErrorBox : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SocketsErrorBox, ShownOnceThenProgramEndsWithCodeZero) {
  EXPECT_EXIT(
      {
        plat::SetHeadless(true);
        TSockets s;
        s.Open("70000", "127.0.0.1");
        std::fputs("still running\n", stderr);
      },
      ::testing::ExitedWithCode(0), "WINSOCK ERROR: Error 10049 in Function Open Can't assign requested address\n$");
  EXPECT_EXIT(
      {
        plat::SetHeadless(true);
        TSockets s;
        s.Open("", "127.0.0.1");
      },
      ::testing::ExitedWithCode(0), "WINSOCK ERROR: Error 0 in Function No Port Specified Not a Winsock error\n$");
}

TEST_F(SocketsErrorBox, StartupFailure) {
  EXPECT_EXIT(
      {
        plat::SetHeadless(true);
        auto ws = std::make_shared<WrappedService>();
        ws->fault = [](const std::string& call, int) { return call == "WSAStartup" ? winsock::WSASYSNOTREADY : 0; };
        TSockets s{ws};
      },
      ::testing::ExitedWithCode(0),
      "WINSOCK ERROR: Error 10091 in Function Constructor \\(WSAStartup\\) Network sub-system is unusable\n$");
}

TEST_F(SocketsErrorBox, WatchdogWithoutHandler) {
  EXPECT_EXIT(
      {
        plat::SetHeadless(true);
        LoopbackServer server;
        Gate never;
        server.Serve([&](LoopbackPeer&) { never.Wait(); });
        TSockets s;
        s.NonBlocking = false;
        s.Timeout = 1;
        s.Open(server.PortText(), "127.0.0.1");
        s.GetText();
      },
      ::testing::ExitedWithCode(0),
      "WINSOCK ERROR: Error 0 in Function Error 10060 Blocking call timed out Not a Winsock error\n$");
}

}  // namespace
