// The test peers use the system's sockets directly; their code comes before
// the socket service's header, whose constants share names with system
// macros that are dropped below.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>

#include "support/testutil.h"

namespace peer {

// The next client, or -1 after 10 s.
int Accept(int listener) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return -1;
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads until the client closes or stays silent for 10 s; returns the count.
size_t Drain(int fd, bool slowly) {
  size_t total = 0;
  char buf[65536];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 10000) > 0) {
    const ssize_t r = ::recv(fd, buf, slowly ? 4096 : sizeof buf, 0);
    if (r <= 0) break;
    total += size_t(r);
    if (slowly) std::this_thread::yield();
  }
  return total;
}

void Reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

void Send(int fd, const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }


}  // namespace peer

#undef AF_INET
#undef AF_INET6
#undef SOCK_STREAM
#undef SOL_SOCKET
#undef SO_LINGER
#undef INADDR_ANY
#undef INADDR_NONE
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <vector>

#include "platform/msgwindow.h"

namespace {

using namespace winsock;

bool PumpUntil(const std::function<bool()>& cond, int ms = 10000) {
  QElapsedTimer clock;
  clock.start();
  QTimer wake;
  wake.start(20);
  while (!cond()) {
    if (clock.elapsed() > ms) return false;
    plat::WaitForEvents();
  }
  return true;
}

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSAData data;
    ASSERT_EQ(ws->WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    listener = zvtest::ListenOnLoopback(port);
    // No blocking call of a faulty test waits for ever.
    QObject::connect(&guard, &QTimer::timeout, [this] {
      if (ws->WSAIsBlocking()) ws->WSACancelBlockingCall();
    });
    guard.start(10000);
  }
  void TearDown() override {
    if (server.joinable()) server.join();
    ::close(listener);
    ws->WSACleanup();
  }

  SockAddrIn Loopback(uint16_t p) {
    SockAddrIn a;
    a.sin_family = AF_INET;
    a.sin_port = (ws->htons)(p);
    a.sin_addr.S_addr = ws->inet_addr("127.0.0.1");
    return a;
  }

  // A blocking socket connected to the listener; the server side is `accepted`.
  SOCKET Connected() {
    const SOCKET s = ws->socket(AF_INET, winsock::SOCK_STREAM, 6);
    const SockAddrIn a = Loopback(port);
    EXPECT_EQ(ws->connect(s, &a, sizeof a), 0) << ws->WSAGetLastError();
    accepted = peer::Accept(listener);
    EXPECT_GE(accepted, 0);
    return s;
  }

  std::shared_ptr<Service> ws = DefaultService();
  int listener = -1;
  int accepted = -1;
  uint16_t port = 0;
  std::thread server;
  QTimer guard;
};

TEST(WinsockErrors, ErrnoMapsToPlatformNumbers) {
  const struct {
    int err, expected;
  } cases[] = {{EINTR, 10004},        {EAGAIN, 10035},       {EINPROGRESS, 10036}, {ENOTSOCK, 10038},
               {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051}, {ECONNRESET, 10054},
               {ENOTCONN, 10057},     {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065}};
  for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.err), c.expected) << c.err;
}

TEST(WinsockLifecycle, StartupAndCleanupAreCounted) {
  std::shared_ptr<Service> ws = DefaultService();
  EXPECT_EQ(ws->socket(AF_INET, winsock::SOCK_STREAM, 6), INVALID_SOCKET);
  EXPECT_EQ(ws->WSAGetLastError(), WSANOTINITIALISED);
  WSAData data;
  EXPECT_EQ(ws->WSAStartup(0x0001, &data), WSAVERNOTSUPPORTED);
  EXPECT_EQ(ws->WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSANOTINITIALISED);
  ASSERT_EQ(ws->WSAStartup(0x0101, &data), 0);
  ASSERT_EQ(ws->WSAStartup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(ws->closesocket(INVALID_SOCKET), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(ws->WSACancelBlockingCall(), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAEINVAL);
  EXPECT_FALSE(ws->WSAIsBlocking());
  EXPECT_EQ(ws->WSACleanup(), 0);
  EXPECT_EQ(ws->WSACleanup(), 0);
  EXPECT_EQ(ws->WSACleanup(), SOCKET_ERROR);
}

TEST_F(WinsockTest, AddressesAndNames) {
  const uint32_t lo = ws->inet_addr("127.0.0.1");
  EXPECT_EQ(ws->inet_ntoa(InAddr{lo}), "127.0.0.1");
  EXPECT_EQ(ws->inet_ntoa(InAddr{ws->inet_addr("10.200.3.4")}), "10.200.3.4");
  for (const std::string& text :
       std::vector<std::string>{"255.255.255.255", "mail.example", "1.2.3.4x", std::string("1.2.3.4\0", 8)})
    EXPECT_EQ(ws->inet_addr(text), INADDR_NONE) << text;

  const HostEnt* host = ws->gethostbyname("localhost");
  ASSERT_NE(host, nullptr);
  bool hasLoopback = false;
  for (const InAddr& a : host->h_addr_list) hasLoopback = hasLoopback || a.S_addr == lo;
  EXPECT_TRUE(hasLoopback);
  EXPECT_EQ(ws->gethostbyname("no-such-host.invalid"), nullptr);
  EXPECT_GE(ws->WSAGetLastError(), WSAHOST_NOT_FOUND);
  EXPECT_LE(ws->WSAGetLastError(), WSANO_DATA);

  const ServEnt* smtp = ws->getservbyname("smtp", "tcp");
  ASSERT_NE(smtp, nullptr);
  EXPECT_EQ(smtp->s_port, (ws->htons)(25));
  EXPECT_EQ(ws->getservbyname("110", "tcp"), nullptr);
  EXPECT_EQ(ws->WSAGetLastError(), WSANO_DATA);
  const ProtoEnt* tcp = ws->getprotobyname("tcp");
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->p_proto, 6);
}

TEST_F(WinsockTest, AddressesOfEitherFamily) {
  const struct {
    std::string node;
    int family;        // of the first address; 0: the look-up fails
    std::string text;  // of the first address
  } cases[] = {
      {"127.0.0.1", AF_INET, "127.0.0.1"},
      {"::1", AF_INET6, "::1"},
      {"2001:db8::25", AF_INET6, "2001:db8::25"},
      {"[::1]", 0, ""},
      {"no-such-host.invalid", 0, ""},
      {"", 0, ""},
      {std::string("::1\0x", 5), 0, ""},
  };
  for (const auto& c : cases) {
    std::vector<SockAddr> found;
    const int rc = ws->getaddrinfo(c.node, found);
    if (c.family == 0) {
      EXPECT_GE(rc, WSAHOST_NOT_FOUND) << c.node;
      EXPECT_LE(rc, WSANO_DATA) << c.node;
      EXPECT_EQ(ws->WSAGetLastError(), rc) << c.node;
      EXPECT_TRUE(found.empty()) << c.node;
      continue;
    }
    ASSERT_EQ(rc, 0) << c.node;
    ASSERT_EQ(found.size(), 1u) << c.node;
    EXPECT_EQ(found[0].family, c.family) << c.node;
    EXPECT_EQ(found[0].port, 0) << c.node;
    EXPECT_EQ(ws->inet_ntop(found[0]), c.text) << c.node;
  }
  std::vector<SockAddr> local;
  ASSERT_EQ(ws->getaddrinfo("localhost", local), 0);
  bool hasLoopback = false;
  for (const SockAddr& a : local) hasLoopback = hasLoopback || ws->inet_ntop(a) == "127.0.0.1";
  EXPECT_TRUE(hasLoopback);
  EXPECT_EQ(ws->inet_ntop(SockAddr{}), "");
}

TEST_F(WinsockTest, Ipv6ConnectAndLocalName) {
  uint16_t port6 = 0;
  const int listener6 = zvtest::ListenOnIpv6Loopback(port6);
  if (listener6 < 0) GTEST_SKIP() << "no IPv6 loopback";
  std::vector<SockAddr> found;
  ASSERT_EQ(ws->getaddrinfo("::1", found), 0);
  SockAddr to = found[0];
  to.port = (ws->htons)(port6);
  const SOCKET s = ws->socket(AF_INET6, winsock::SOCK_STREAM, 6);
  ASSERT_NE(s, INVALID_SOCKET);
  // The 1.1 calls stay IPv4 only.
  const SockAddrIn v4 = Loopback(port6);
  SockAddrIn wrong = v4;
  wrong.sin_family = AF_INET6;
  EXPECT_EQ(ws->connect(s, &wrong, sizeof wrong), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAEAFNOSUPPORT);
  ASSERT_EQ(ws->connectAddr(s, to), 0) << ws->WSAGetLastError();
  const int accepted6 = peer::Accept(listener6);
  EXPECT_GE(accepted6, 0);
  SockAddr local;
  ASSERT_EQ(ws->getsocknameAddr(s, local), 0);
  EXPECT_EQ(local.family, AF_INET6);
  EXPECT_EQ(ws->inet_ntop(local), "::1");
  EXPECT_NE(local.port, 0);
  peer::Send(accepted6, "v6");
  char buf[4];
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), 2);
  ws->closesocket(s);
  ::close(accepted6);
  ::close(listener6);
}

TEST_F(WinsockTest, RefusedConnectAndLocalName) {
  const SOCKET s = ws->socket(AF_INET, winsock::SOCK_STREAM, 6);
  ASSERT_NE(s, INVALID_SOCKET);
  uint16_t freePort = 0;
  ::close(zvtest::ListenOnLoopback(freePort));
  const SockAddrIn a = Loopback(freePort);
  EXPECT_EQ(ws->connect(s, &a, sizeof a), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAECONNREFUSED);
  EXPECT_EQ(ws->closesocket(s), 0);
  EXPECT_EQ(ws->closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAENOTSOCK);

  const SOCKET c = Connected();
  SockAddrIn local;
  int len = sizeof local;
  ASSERT_EQ(ws->getsockname(c, &local, &len), 0);
  EXPECT_EQ(ws->inet_ntoa(local.sin_addr), "127.0.0.1");
  EXPECT_NE(local.sin_port, 0);
  const Linger abortive{1, 0};
  EXPECT_EQ(ws->shutdown(c, SD_BOTH), 0);
  EXPECT_EQ(ws->setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive), 0);
  EXPECT_EQ(ws->closesocket(c), 0);
  ::close(accepted);
}

TEST_F(WinsockTest, BlockingReadIsCancelledAndRefusesNestedCalls) {
  const SOCKET s = Connected();
  const int sPeer = accepted;
  const SOCKET other = Connected();
  const int otherPeer = accepted;
  bool blockingInHook = false;
  int nested = 0, nestedError = 0;
  QTimer::singleShot(30, [&] {
    blockingInHook = ws->WSAIsBlocking();
    char c;
    nested = ws->recv(other, &c, 1, 0);
    nestedError = ws->WSAGetLastError();
    ws->WSACancelBlockingCall();
  });
  char buf[16];
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAEINTR);
  EXPECT_TRUE(blockingInHook);
  EXPECT_EQ(nested, SOCKET_ERROR);
  EXPECT_EQ(nestedError, WSAEINPROGRESS);
  EXPECT_FALSE(ws->WSAIsBlocking());
  // The socket is still usable once the cancelled call has returned.
  peer::Send(sPeer, "ok");
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), 2);
  ws->closesocket(s);
  ws->closesocket(other);
  ::close(otherPeer);
  ::close(sPeer);
}

TEST_F(WinsockTest, ReadWaitsAgainAfterDataCameWhileNobodyWaited) {
  const SOCKET s = Connected();
  char buf[4];
  QTimer::singleShot(20, [&] { peer::Send(accepted, "a"); });
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), 1);
  // Data comes while the loop runs and no call waits.
  peer::Send(accepted, "b");
  bool marker = false;
  QTimer::singleShot(50, [&] { marker = true; });
  ASSERT_TRUE(PumpUntil([&] { return marker; }));
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), 1);
  EXPECT_EQ(buf[0], 'b');
  // The next wait still wakes for new data.
  QTimer::singleShot(20, [&] { peer::Send(accepted, "c"); });
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), 1);
  EXPECT_EQ(buf[0], 'c');
  ws->closesocket(s);
  ::close(accepted);
}

TEST_F(WinsockTest, TlsRefusedOrFailedLeavesNoPlainStream) {
  const SOCKET idle = ws->socket(AF_INET, winsock::SOCK_STREAM, 6);
  EXPECT_EQ(ws->StartTlsClient(idle, "127.0.0.1", ""), WSAENOTCONN);
  ws->closesocket(idle);
  EXPECT_EQ(ws->StartTlsClient(idle, "127.0.0.1", ""), WSAENOTSOCK);

  const SOCKET nonBlocking = Connected();
  uint32_t on = 1;
  ws->ioctlsocket(nonBlocking, FIONBIO, &on);
  EXPECT_EQ(ws->StartTlsClient(nonBlocking, "127.0.0.1", ""), WSAEINVAL);
  ws->closesocket(nonBlocking);
  ::close(accepted);

  // A peer that answers the handshake with text.
  const SOCKET s = Connected();
  peer::Send(accepted, "220 plain text, no TLS here\r\n");
  EXPECT_EQ(ws->StartTlsClient(s, "127.0.0.1", ""), WSAETLS);
  EXPECT_EQ(ws->WSAGetLastError(), WSAETLS);
  const std::string text = ws->TlsErrorText();
  EXPECT_EQ(text.rfind("TLS handshake with 127.0.0.1 failed: ", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("TLS handshake with 127.0.0.1 failed: ").size()) << text;
  // Nothing goes out or comes in the clear afterwards.
  EXPECT_EQ(ws->send(s, "PASS secret\r\n", 13, 0), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAECONNABORTED);
  char buf[8];
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAECONNABORTED);
  EXPECT_EQ(ws->StartTlsClient(s, "127.0.0.1", ""), WSAEISCONN);
  ws->closesocket(s);
  ::close(accepted);
}

TEST_F(WinsockTest, SocketClosedDuringItsBlockingRead) {
  const SOCKET s = Connected();
  QTimer::singleShot(20, [&] { EXPECT_EQ(ws->closesocket(s), 0); });
  char buf[4];
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAEINTR);
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAENOTSOCK);
  ::close(accepted);
}

TEST_F(WinsockTest, BlockingSendQueuesEverythingForASlowReader) {
  const SOCKET s = Connected();
  size_t drained = 0;
  server = std::thread([&, fd = accepted] {
    drained = peer::Drain(fd, true);
    ::close(fd);
  });
  const std::string big(8 << 20, 'm');
  EXPECT_EQ(ws->send(s, big.data(), int(big.size()), 0), int(big.size()));
  ws->shutdown(s, SD_SEND);
  server.join();
  EXPECT_EQ(drained, big.size());
  ws->closesocket(s);
}

TEST_F(WinsockTest, SendToResetPeerFailsWithoutSignal) {
  auto previous = std::signal(SIGPIPE, SIG_DFL);
  const SOCKET s = Connected();
  peer::Reset(accepted);
  int result = 0;
  for (int i = 0; i < 5 && result != SOCKET_ERROR; ++i) result = ws->send(s, "data\r\n", 6, 0);
  EXPECT_EQ(result, SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAECONNRESET);
  ws->shutdown(s, SD_SEND);
  ws->closesocket(s);
  std::signal(SIGPIPE, previous);
}

TEST_F(WinsockTest, NonBlockingModeWouldBlock) {
  const SOCKET s = Connected();
  uint32_t on = 1;
  ASSERT_EQ(ws->ioctlsocket(s, FIONBIO, &on), 0);
  char buf[4];
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_FALSE(ws->WSAIsBlocking());
  ws->closesocket(s);
  ::close(accepted);
}

struct Note {
  long event;
  int error;
};

TEST_F(WinsockTest, NotificationsArePostedToTheWindow) {
  std::vector<Note> notes;
  SOCKET seen = INVALID_SOCKET;
  plat::HiddenWindow window([&](unsigned msg, plat::WParam w, plat::LParam l) {
    if (msg == 1024) {
      seen = SOCKET(w);
      notes.push_back({long(l & 0xFFFF), int(l >> 16)});
    }
    return plat::LResult(0);
  });
  const SOCKET s = ws->socket(AF_INET, winsock::SOCK_STREAM, 6);
  ASSERT_EQ(ws->WSAAsyncSelect(s, &window, 1024, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
  uint32_t off = 0;
  EXPECT_EQ(ws->ioctlsocket(s, FIONBIO, &off), SOCKET_ERROR);
  const SockAddrIn a = Loopback(port);
  EXPECT_EQ(ws->connect(s, &a, sizeof a), SOCKET_ERROR);
  EXPECT_EQ(ws->WSAGetLastError(), WSAEWOULDBLOCK);
  accepted = peer::Accept(listener);
  ASSERT_TRUE(PumpUntil([&] { return notes.size() >= 2; }));
  EXPECT_EQ(seen, s);
  EXPECT_EQ(notes[0].event, FD_CONNECT);
  EXPECT_EQ(notes[0].error, 0);
  EXPECT_EQ(notes[1].event, FD_WRITE);

  peer::Send(accepted, "abc");
  ASSERT_TRUE(PumpUntil([&] { return notes.size() >= 3; }));
  EXPECT_EQ(notes[2].event, FD_READ);
  // No second FD_READ until the data is read.
  bool marker = false;
  QTimer::singleShot(50, [&] { marker = true; });
  ASSERT_TRUE(PumpUntil([&] { return marker; }));
  EXPECT_EQ(notes.size(), 3u);
  char buf[8];
  EXPECT_EQ(ws->recv(s, buf, sizeof buf, 0), 3);

  ::close(accepted);
  ASSERT_TRUE(PumpUntil([&] { return notes.size() >= 4; }));
  EXPECT_EQ(notes[3].event, FD_CLOSE);
  EXPECT_EQ(notes[3].error, 0);
  EXPECT_EQ(ws->WSAAsyncSelect(s, &window, 1024, 0), 0);
  ws->closesocket(s);
}

TEST_F(WinsockTest, RefusedNonBlockingConnectIsNotified) {
  std::vector<Note> notes;
  plat::HiddenWindow window([&](unsigned, plat::WParam, plat::LParam l) {
    notes.push_back({long(l & 0xFFFF), int(l >> 16)});
    return plat::LResult(0);
  });
  uint16_t freePort = 0;
  ::close(zvtest::ListenOnLoopback(freePort));
  const SOCKET s = ws->socket(AF_INET, winsock::SOCK_STREAM, 6);
  ASSERT_EQ(ws->WSAAsyncSelect(s, &window, 1024, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
  const SockAddrIn a = Loopback(freePort);
  ws->connect(s, &a, sizeof a);
  ASSERT_TRUE(PumpUntil([&] { return !notes.empty(); }));
  EXPECT_EQ(notes[0].event, FD_CONNECT);
  EXPECT_EQ(notes[0].error, WSAECONNREFUSED);
  ws->closesocket(s);
}

}  // namespace
