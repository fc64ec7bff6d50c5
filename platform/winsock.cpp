// The socket service on POSIX sockets. Every descriptor is non-blocking at
// the system level; "blocking" calls are emulated by waiting for readiness
// with a QSocketNotifier while the Qt event loop sleeps, which is the
// blocking hook: timers and posted messages keep being dispatched. Each
// socket keeps one notifier per direction for these waits and only enables
// it for the time of a wait.
//
// TLS runs on OpenSSL over a small BIO of our own that sends with
// MSG_NOSIGNAL (a peer gone away never raises SIGPIPE) and notes end of
// stream and system errors for the texts. Every OpenSSL call is made with
// the descriptor non-blocking; WANT_READ / WANT_WRITE become waits in the
// blocking hook, in whichever direction OpenSSL asks for.

// The system headers come first: several of their macros (AF_INET,
// SOL_SOCKET, htons, ...) share names with this service's constants, so the
// values needed here are copied and the macros dropped before our header.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>

namespace sys {
constexpr int kIpProtoTcp = IPPROTO_TCP;
constexpr int kTcpNoDelay = TCP_NODELAY;
constexpr int kAfInet = AF_INET;
constexpr int kAfInet6 = AF_INET6;
constexpr int kAfUnspec = AF_UNSPEC;
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoError = SO_ERROR;
constexpr unsigned long kFionread = FIONREAD;
inline uint16_t HostToNet16(uint16_t v) { return htons(v); }
}  // namespace sys

#undef AF_INET
#undef AF_INET6
#undef SOCK_STREAM
#undef SOL_SOCKET
#undef SO_LINGER
#undef INADDR_ANY
#undef INADDR_NONE
#undef FIONBIO
#undef FIONREAD
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include "platform/winsock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <map>

#include "platform/msgwindow.h"

namespace winsock {

int ErrorFromErrno(int err) {
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
  }
}

// ---- What a service written before the calls of either family and TLS
// offers: IPv4 through its 1.1 calls, no TLS.

namespace {

SockAddrIn ToIn(const SockAddr& a) {
  SockAddrIn in;
  in.sin_family = a.family;
  in.sin_port = a.port;
  std::memcpy(&in.sin_addr.S_addr, a.addr, 4);
  return in;
}

SockAddr FromIn(const SockAddrIn& in) {
  SockAddr a;
  a.family = in.sin_family;
  a.port = in.sin_port;
  std::memcpy(a.addr, &in.sin_addr.S_addr, 4);
  return a;
}

}  // namespace

int Service::getaddrinfo(const std::string& node, std::vector<SockAddr>& addresses) {
  addresses.clear();
  const HostEnt* host = gethostbyname(node);
  if (host == nullptr) {
    const int error = WSAGetLastError();
    return error != 0 ? error : WSAHOST_NOT_FOUND;
  }
  for (const InAddr& in : host->h_addr_list) {
    SockAddrIn a;
    a.sin_family = AF_INET;
    a.sin_addr = in;
    addresses.push_back(FromIn(a));
  }
  return addresses.empty() ? WSANO_DATA : 0;
}

int Service::connectAddr(SOCKET s, const SockAddr& name) {
  const SockAddrIn in = ToIn(name);
  return connect(s, &in, sizeof in);
}

int Service::bindAddr(SOCKET s, const SockAddr& name) {
  const SockAddrIn in = ToIn(name);
  return bind(s, &in, sizeof in);
}

int Service::getsocknameAddr(SOCKET s, SockAddr& name) {
  SockAddrIn in;
  int length = sizeof in;
  if (getsockname(s, &in, &length) != 0) return SOCKET_ERROR;
  name = FromIn(in);
  return 0;
}

std::string Service::inet_ntop(const SockAddr& address) {
  return address.family == AF_INET ? inet_ntoa(ToIn(address).sin_addr) : std::string();
}

int Service::StartTlsClient(SOCKET, const std::string&, const std::string&) { return WSAEOPNOTSUPP; }

std::string Service::TlsErrorText() { return "TLS is not available"; }
std::string Service::TlsSessionText(SOCKET) { return {}; }

namespace {

int ErrorFromResolver(int rc) {
  switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return ErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
  }
}

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

bool IsIpLiteral(const std::string& text) {
  unsigned char buf[16];
  return ::inet_pton(sys::kAfInet, text.c_str(), buf) == 1 || ::inet_pton(sys::kAfInet6, text.c_str(), buf) == 1;
}

// The system address for `a`; its length, or 0 for an unknown family.
socklen_t ToSys(const SockAddr& a, sockaddr_storage& out) {
  out = sockaddr_storage{};
  if (a.family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    v4->sin_family = sa_family_t(sys::kAfInet);
    v4->sin_port = a.port;
    std::memcpy(&v4->sin_addr, a.addr, 4);
    return sizeof *v4;
  }
  if (a.family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    v6->sin6_family = sa_family_t(sys::kAfInet6);
    v6->sin6_port = a.port;
    std::memcpy(&v6->sin6_addr, a.addr, 16);
    v6->sin6_scope_id = a.scopeId;
    return sizeof *v6;
  }
  return 0;
}

bool FromSys(const sockaddr* sa, socklen_t len, SockAddr& out) {
  out = SockAddr{};
  if (sa->sa_family == sys::kAfInet && len >= socklen_t(sizeof(sockaddr_in))) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(sa);
    out.family = AF_INET;
    out.port = v4->sin_port;
    std::memcpy(out.addr, &v4->sin_addr, 4);
    return true;
  }
  if (sa->sa_family == sys::kAfInet6 && len >= socklen_t(sizeof(sockaddr_in6))) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(sa);
    out.family = AF_INET6;
    out.port = v6->sin6_port;
    std::memcpy(out.addr, &v6->sin6_addr, 16);
    out.scopeId = v6->sin6_scope_id;
    return true;
  }
  return false;
}

// ---- TLS

// One socket's TLS state. The BIO underneath reads and writes the
// descriptor and notes what the texts need.
struct TlsLink {
  explicit TlsLink(int descriptor, std::string name) : fd(descriptor), peer(std::move(name)) {}
  ~TlsLink() {
    if (ssl != nullptr) SSL_free(ssl);
  }
  TlsLink(const TlsLink&) = delete;
  TlsLink& operator=(const TlsLink&) = delete;

  SSL* ssl = nullptr;
  int fd;
  std::string peer;
  int sysError = 0;    // errno of the last failed read or write underneath
  bool eof = false;    // the peer closed the connection underneath
  bool up = false;     // the handshake is done
  bool failed = false; // a fatal failure or cancel: the stream is unusable
  bool closeSent = false;
};

int BioWrite(BIO* b, const char* data, int len) {
  auto* t = static_cast<TlsLink*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  const ssize_t r = ::send(t->fd, data, size_t(len), MSG_NOSIGNAL);
  if (r >= 0) return int(r);
  if (errno == EAGAIN || errno == EINTR) {
    BIO_set_retry_write(b);
  } else {
    t->sysError = errno;
  }
  return -1;
}

int BioRead(BIO* b, char* data, int len) {
  auto* t = static_cast<TlsLink*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  const ssize_t r = ::recv(t->fd, data, size_t(len), 0);
  if (r > 0) return int(r);
  if (r == 0) {
    t->eof = true;
    return 0;
  }
  if (errno == EAGAIN || errno == EINTR) {
    BIO_set_retry_read(b);
  } else {
    t->sysError = errno;
  }
  return -1;
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zvmail32 socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, [](BIO* b) {
      BIO_set_init(b, 1);
      return 1;
    });
    return m;
  }();
  return method;
}

// OpenSSL's words for the oldest failure in its queue, which is the cause;
// the queue is emptied.
std::string OpenSslReason() {
  const unsigned long e = ERR_peek_error();
  const char* reason = e == 0 ? nullptr : ERR_SYSTEM_ERROR(e) ? std::strerror(ERR_GET_REASON(e)) : ERR_reason_error_string(e);
  std::string text = reason != nullptr ? reason : e != 0 ? "error " + std::to_string(ERR_GET_REASON(e)) : "";
  ERR_clear_error();
  return text;
}

struct ContextFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

// The client context for `caFile`, made once per process and file; null
// (and `why` set) when the file cannot be read.
SSL_CTX* ClientContext(const std::string& caFile, std::string& why) {
  static std::map<std::string, std::unique_ptr<SSL_CTX, ContextFree>> contexts;
  if (auto it = contexts.find(caFile); it != contexts.end()) return it->second.get();
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, ContextFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    why = "TLS could not be set up: " + OpenSslReason();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  // A peer that drops the connection without the TLS close ends the stream
  // as a plain close would; the protocols above know where a reply ends.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Records are read in bulk rather than header and body apiece; TlsRecv
  // always asks OpenSSL before it waits on the descriptor.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  SSL_CTX_set_default_verify_paths(ctx.get());
  ERR_clear_error();  // a missing system directory is not a failure
  if (!caFile.empty() && (HasNul(caFile) || SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1)) {
    const std::string reason = OpenSslReason();
    why = "CA file " + caFile + " could not be read: " + (reason.empty() ? "no certificate found" : reason);
    return nullptr;
  }
  return contexts.emplace(caFile, std::move(ctx)).first->second.get();
}

// The words for a failed handshake with `t.peer`.
std::string HandshakeFailure(const TlsLink& t, int sslError) {
  const long verify = SSL_get_verify_result(t.ssl);
  if (sslError == SSL_ERROR_SSL && verify != X509_V_OK) {
    ERR_clear_error();
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
      return "certificate for " + t.peer + " does not match the host name";
    return "certificate for " + t.peer + " not trusted: " + X509_verify_cert_error_string(verify);
  }
  std::string reason = OpenSslReason();
  if (t.sysError != 0) {
    reason = std::strerror(t.sysError);
  } else if (t.eof || reason.empty()) {
    reason = "connection closed";
  }
  return "TLS handshake with " + t.peer + " failed: " + reason;
}

class PosixService final : public Service {
 public:
  ~PosixService() override { CloseAll(); }

  int WSAStartup(uint16_t versionRequested, WSAData* data) override {
    const unsigned major = versionRequested & 0xFF, minor = versionRequested >> 8;
    if (data == nullptr) return Fail(WSAEFAULT), WSAEFAULT;
    if (major < 1 || (major == 1 && minor < 1)) return Fail(WSAVERNOTSUPPORTED), WSAVERNOTSUPPORTED;
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    data->szDescription = "POSIX sockets";
    data->szSystemStatus = "Running";
    ++started_;
    return 0;
  }

  int WSACleanup() override {
    if (started_ == 0) return Fail(WSANOTINITIALISED);
    if (--started_ == 0) CloseAll();
    return 0;
  }

  int WSAGetLastError() override { return lastError_; }
  bool WSAIsBlocking() override { return blocking_; }

  int WSACancelBlockingCall() override {
    if (!blocking_) return Fail(WSAEINVAL);
    cancelled_ = true;
    if (auto* d = QAbstractEventDispatcher::instance()) d->wakeUp();
    return 0;
  }

  SOCKET socket(int af, int type, int protocol) override {
    if (started_ == 0) return Fail(WSANOTINITIALISED);
    if (af != AF_INET && af != AF_INET6) return Fail(WSAEAFNOSUPPORT);
    if (type != SOCK_STREAM) return Fail(WSAESOCKTNOSUPPORT);
    const int sysAf = af == AF_INET ? sys::kAfInet : sys::kAfInet6;
    const int fd = ::socket(sysAf, ::SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return Fail(ErrorFromErrno(errno));
    // Callers hand over whole commands and groups of them: a small send must
    // go at once, not wait for the acknowledgement of the one before (which
    // a peer may delay), or every command sent ahead costs a round trip.
    const int on = 1;
    ::setsockopt(fd, sys::kIpProtoTcp, sys::kTcpNoDelay, &on, sizeof on);
    socks_[fd] = Sock{};
    return fd;
  }

  int connect(SOCKET s, const SockAddrIn* name, int namelen) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (name == nullptr || namelen < int(sizeof(SockAddrIn))) return Fail(WSAEFAULT);
    if (name->sin_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
    sockaddr_storage a;
    const socklen_t len = ToSys(FromIn(*name), a);
    return Connect(s, k, a, len);
  }

  int connectAddr(SOCKET s, const SockAddr& name) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    sockaddr_storage a;
    const socklen_t len = ToSys(name, a);
    if (len == 0) return Fail(WSAEAFNOSUPPORT);
    return Connect(s, k, a, len);
  }

  int bind(SOCKET s, const SockAddrIn* name, int namelen) override {
    if (Find(s) == nullptr) return SOCKET_ERROR;
    if (name == nullptr || namelen < int(sizeof(SockAddrIn))) return Fail(WSAEFAULT);
    if (name->sin_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
    return bindAddr(s, FromIn(*name));
  }

  int bindAddr(SOCKET s, const SockAddr& name) override {
    if (Find(s) == nullptr) return SOCKET_ERROR;
    sockaddr_storage a;
    const socklen_t len = ToSys(name, a);
    if (len == 0) return Fail(WSAEAFNOSUPPORT);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), len) != 0) return Fail(ErrorFromErrno(errno));
    return 0;
  }

  int send(SOCKET s, const char* buf, int len, int flags) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (k->blocking && blocking_) return Fail(WSAEINPROGRESS);
    if (k->tls) return TlsSend(s, k, buf, len);
    const int sysFlags = (flags & 7) | MSG_NOSIGNAL;
    int total = 0;
    // A blocking send returns when every byte is queued; bounded by the
    // blocking hook's cancel (the caller's watchdog).
    for (;;) {
      const ssize_t r = ::send(s, buf + total, size_t(len - total), sysFlags);
      if (r >= 0) {
        total += int(r);
        if (total >= len || !k->blocking) return total;
        continue;
      }
      const int err = errno;
      if (err == EINTR) continue;
      if (err != EAGAIN) return Fail(SendError(*k, err));
      if (!k->blocking) {
        if (total > 0) return total;
        if (k->async) ArmWrite(s, *k);
        return Fail(WSAEWOULDBLOCK);
      }
      if (const int w = WaitReady(s, *k, QSocketNotifier::Write)) return Fail(w);
      k = Find(s);
      if (k == nullptr) return Fail(WSAEINTR);
    }
  }

  int recv(SOCKET s, char* buf, int len, int flags) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (k->blocking && blocking_) return Fail(WSAEINPROGRESS);
    if (k->tls) return TlsRecv(s, k, buf, len, flags);
    for (;;) {
      const ssize_t r = ::recv(s, buf, size_t(len), flags & 3);
      const int err = errno;
      if (k->async && !k->async->closeSent) ArmRead(s, *k);  // FD_READ again for what is left
      if (r >= 0) return int(r);
      if (err == EINTR) continue;
      if (err != EAGAIN) return Fail(ErrorFromErrno(err));
      if (!k->blocking) return Fail(WSAEWOULDBLOCK);
      if (const int w = WaitReady(s, *k, QSocketNotifier::Read)) return Fail(w);
      k = Find(s);
      if (k == nullptr) return Fail(WSAEINTR);
    }
  }

  int closesocket(SOCKET s) override {
    if (Find(s) == nullptr) return SOCKET_ERROR;
    Close(s);
    return 0;
  }

  int shutdown(SOCKET s, int how) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH) return Fail(WSAEINVAL);
    const int sysHow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
    if (how != SD_RECEIVE && k->tls) SendTlsClose(*k->tls);
    if (::shutdown(s, sysHow) != 0) return Fail(ErrorFromErrno(errno));
    if (how != SD_RECEIVE) k->shutSend = true;
    return 0;
  }

  int ioctlsocket(SOCKET s, long cmd, uint32_t* argp) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (cmd != FIONBIO && cmd != FIONREAD) return Fail(WSAEINVAL);
    if (argp == nullptr) return Fail(WSAEFAULT);
    if (cmd == FIONREAD) {
      if (k->tls) {
        *argp = TlsReadable(*k->tls);
        return 0;
      }
      int n = 0;
      if (::ioctl(s, sys::kFionread, &n) != 0) return Fail(ErrorFromErrno(errno));
      *argp = uint32_t(std::max(n, 0));
      return 0;
    }
    // A socket with notifications requested cannot be made blocking.
    if (*argp == 0 && k->async) return Fail(WSAEINVAL);
    k->blocking = *argp == 0;
    return 0;
  }

  int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) override {
    if (Find(s) == nullptr) return SOCKET_ERROR;
    if (level != SOL_SOCKET || optname != SO_LINGER) return Fail(WSAENOPROTOOPT);
    if (optval == nullptr || optlen < int(sizeof(Linger))) return Fail(WSAEFAULT);
    Linger l;
    std::memcpy(&l, optval, sizeof l);
    ::linger sl{};
    sl.l_onoff = l.l_onoff != 0;
    sl.l_linger = l.l_linger;
    if (::setsockopt(s, sys::kSolSocket, sys::kSoLinger, &sl, sizeof sl) != 0) return Fail(ErrorFromErrno(errno));
    return 0;
  }

  int getsockname(SOCKET s, SockAddrIn* name, int* namelen) override {
    if (Find(s) == nullptr) return SOCKET_ERROR;
    if (name == nullptr || namelen == nullptr || *namelen < int(sizeof(SockAddrIn))) return Fail(WSAEFAULT);
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &alen) != 0) return Fail(ErrorFromErrno(errno));
    *name = SockAddrIn{};
    name->sin_family = AF_INET;
    name->sin_port = a.sin_port;
    name->sin_addr.S_addr = a.sin_addr.s_addr;
    *namelen = sizeof(SockAddrIn);
    return 0;
  }

  int getsocknameAddr(SOCKET s, SockAddr& name) override {
    if (Find(s) == nullptr) return SOCKET_ERROR;
    sockaddr_storage a{};
    socklen_t alen = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &alen) != 0) return Fail(ErrorFromErrno(errno));
    if (!FromSys(reinterpret_cast<const sockaddr*>(&a), alen, name)) return Fail(WSAEAFNOSUPPORT);
    return 0;
  }

  int getaddrinfo(const std::string& node, std::vector<SockAddr>& addresses) override {
    addresses.clear();
    if (started_ == 0) return Error(WSANOTINITIALISED);
    if (node.empty() || HasNul(node)) return Error(WSAHOST_NOT_FOUND);
    addrinfo hints{};
    hints.ai_family = sys::kAfUnspec;
    hints.ai_socktype = ::SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(node.c_str(), nullptr, &hints, &list);
    if (rc != 0) return Error(ErrorFromResolver(rc));
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
      SockAddr a;
      if (!FromSys(ai->ai_addr, ai->ai_addrlen, a)) continue;
      bool seen = false;
      for (const SockAddr& b : addresses)
        seen = seen || (b.family == a.family && std::memcmp(b.addr, a.addr, sizeof a.addr) == 0 && b.scopeId == a.scopeId);
      if (!seen) addresses.push_back(a);
    }
    ::freeaddrinfo(list);
    return addresses.empty() ? Error(WSANO_DATA) : 0;
  }

  std::string inet_ntop(const SockAddr& address) override {
    char text[INET6_ADDRSTRLEN] = {};
    const int af = address.family == AF_INET ? sys::kAfInet : address.family == AF_INET6 ? sys::kAfInet6 : -1;
    if (af < 0 || ::inet_ntop(af, address.addr, text, sizeof text) == nullptr) return {};
    return text;
  }

  const HostEnt* gethostbyname(const std::string& name) override {
    if (started_ == 0) return Fail(WSANOTINITIALISED), nullptr;
    if (name.empty() || HasNul(name)) return Fail(WSAHOST_NOT_FOUND), nullptr;
    addrinfo hints{};
    hints.ai_family = sys::kAfInet;
    hints.ai_socktype = ::SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) return Fail(ErrorFromResolver(rc)), nullptr;
    host_ = HostEnt{};
    host_.h_name = name;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family != sys::kAfInet || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
      InAddr in;
      in.S_addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      bool seen = false;
      for (const InAddr& a : host_.h_addr_list) seen = seen || a.S_addr == in.S_addr;
      if (!seen) host_.h_addr_list.push_back(in);
    }
    ::freeaddrinfo(list);
    if (host_.h_addr_list.empty()) return Fail(WSANO_DATA), nullptr;
    return &host_;
  }

  const ServEnt* getservbyname(const std::string& name, const std::string& proto) override {
    if (started_ == 0) return Fail(WSANOTINITIALISED), nullptr;
    if (name.empty() || HasNul(name) || HasNul(proto)) return Fail(WSANO_DATA), nullptr;
    servent se{};
    servent* found = nullptr;
    char buf[2048];
    if (::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &se, buf, sizeof buf, &found) != 0 ||
        found == nullptr)
      return Fail(WSANO_DATA), nullptr;
    serv_.s_name = found->s_name ? found->s_name : "";
    serv_.s_port = uint16_t(found->s_port);
    serv_.s_proto = found->s_proto ? found->s_proto : "";
    return &serv_;
  }

  const ProtoEnt* getprotobyname(const std::string& name) override {
    if (started_ == 0) return Fail(WSANOTINITIALISED), nullptr;
    if (name.empty() || HasNul(name)) return Fail(WSANO_DATA), nullptr;
    protoent pe{};
    protoent* found = nullptr;
    char buf[1024];
    if (::getprotobyname_r(name.c_str(), &pe, buf, sizeof buf, &found) == 0 && found != nullptr) {
      proto_.p_name = found->p_name ? found->p_name : name;
      proto_.p_proto = int16_t(found->p_proto);
      return &proto_;
    }
    // Machines without a protocols database still know the two transports.
    if (name == "tcp" || name == "udp") {
      proto_.p_name = name;
      proto_.p_proto = name == "tcp" ? 6 : 17;
      return &proto_;
    }
    return Fail(WSANO_DATA), nullptr;
  }

  uint32_t inet_addr(const std::string& cp) override {
    if (HasNul(cp)) return INADDR_NONE;
    return ::inet_addr(cp.c_str());
  }

  std::string inet_ntoa(InAddr in) override {
    unsigned char b[4];
    std::memcpy(b, &in.S_addr, 4);
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]);
  }

  uint16_t(htons)(uint16_t hostshort) override { return sys::HostToNet16(hostshort); }

  int WSAAsyncSelect(SOCKET s, plat::HiddenWindow* window, unsigned msg, long events) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    // TLS holds bytes of its own that no notification would tell of.
    if (events != 0 && k->tls) return Fail(WSAEINVAL);
    k->async.reset();  // destroys the notifiers of an earlier request
    k->blocking = false;
    if (events == 0) return 0;
    if (window == nullptr) return Fail(WSAEINVAL);
    k->async = std::make_unique<Async>();
    k->async->window = window;
    k->async->msg = msg;
    k->async->events = events;
    if (k->connected) {
      ArmRead(s, *k);
      ArmWrite(s, *k);
    } else if (k->connecting) {
      ArmWrite(s, *k);
    }
    return 0;
  }

  int StartTlsClient(SOCKET s, const std::string& peerName, const std::string& caFile) override {
    Sock* k = Find(s);
    if (k == nullptr) return lastError_;
    if (!k->blocking) return Error(WSAEINVAL);
    if (blocking_) return Error(WSAEINPROGRESS);
    if (!k->connected) return Error(WSAENOTCONN);
    if (k->tls) return Error(WSAEISCONN);
    k->tls = std::make_unique<TlsLink>(s, peerName);
    TlsLink& t = *k->tls;
    if (peerName.empty() || HasNul(peerName)) return TlsFail(t, "TLS needs the name of the peer"), WSAETLS;
    std::string why;
    SSL_CTX* ctx = ClientContext(caFile, why);
    if (ctx == nullptr) return TlsFail(t, why), WSAETLS;
    t.ssl = SSL_new(ctx);
    BIO* bio = t.ssl != nullptr ? BIO_new(SocketBioMethod()) : nullptr;
    if (bio == nullptr) return TlsFail(t, "TLS could not be set up: " + OpenSslReason()), WSAETLS;
    BIO_set_data(bio, &t);
    SSL_set_bio(t.ssl, bio, bio);
    SSL_set_connect_state(t.ssl);
    // Names count only in subjectAltName (RFC 6125), never in the subject.
    SSL_set_hostflags(t.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    // An IP literal is matched against the certificate's addresses and not
    // sent as SNI, which carries names only.
    const bool named = IsIpLiteral(peerName)
                           ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(t.ssl), peerName.c_str()) == 1
                           : SSL_set_tlsext_host_name(t.ssl, peerName.c_str()) == 1 &&
                                 SSL_set1_host(t.ssl, peerName.c_str()) == 1;
    if (!named) return TlsFail(t, "TLS could not be set up for " + peerName + ": " + OpenSslReason()), WSAETLS;
    for (;;) {
      ERR_clear_error();
      const int r = SSL_do_handshake(t.ssl);
      if (r == 1) {
        t.up = true;
        return 0;
      }
      const int e = SSL_get_error(t.ssl, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return TlsFail(t, HandshakeFailure(t, e)), WSAETLS;
      // Only a cancel or a close ends a wait early; either leaves the
      // stream mid-handshake, so it stays unusable.
      if (WaitReady(s, *k, e == SSL_ERROR_WANT_READ ? QSocketNotifier::Read : QSocketNotifier::Write) != 0) {
        if (Sock* again = Find(s); again != nullptr && again->tls.get() == &t) t.failed = true;
        return Error(WSAEINTR);
      }
    }
  }

  std::string TlsErrorText() override { return tlsError_; }

  std::string TlsSessionText(SOCKET s) override {
    Sock* k = Find(s);
    if (k == nullptr || !k->tls || !k->tls->up) return {};
    return std::string(SSL_get_version(k->tls->ssl)) + ", " + SSL_get_cipher_name(k->tls->ssl);
  }

 private:
  struct Async {
    QPointer<plat::HiddenWindow> window;
    unsigned msg = 0;
    long events = 0;
    bool closeSent = false;
    std::unique_ptr<QSocketNotifier> rd, wr;
  };
  struct Sock {
    bool blocking = true;
    bool connecting = false;
    bool connected = false;
    bool shutSend = false;
    std::unique_ptr<Async> async;
    // The blocking calls' waits: made at the first wait (see WaitReady).
    std::unique_ptr<QSocketNotifier> waitRead, waitWrite;
    std::unique_ptr<TlsLink> tls;
  };

  int Fail(int error) {
    lastError_ = error;
    return SOCKET_ERROR;
  }
  // For the calls that return the error number itself.
  int Error(int error) {
    lastError_ = error;
    return error;
  }
  int TlsFail(TlsLink& t, std::string text) {
    t.failed = true;
    tlsError_ = std::move(text);
    return Fail(WSAETLS);
  }

  // connect for either family, with the address checked.
  int Connect(SOCKET s, Sock* k, const sockaddr_storage& a, socklen_t len) {
    if (k->blocking && blocking_) return Fail(WSAEINPROGRESS);
    if (k->connected) return Fail(WSAEISCONN);
    if (k->connecting) return Fail(WSAEALREADY);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), len) == 0) {
      Connected(s, *k);
      return 0;
    }
    const int err = errno;
    if (err != EINPROGRESS) return Fail(ErrorFromErrno(err));
    k->connecting = true;
    if (!k->blocking) {
      if (k->async) ArmWrite(s, *k);
      return Fail(WSAEWOULDBLOCK);
    }
    if (const int w = WaitReady(s, *k, QSocketNotifier::Write)) return Fail(w);
    k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    k->connecting = false;
    if (const int soError = PendingError(s)) return Fail(ErrorFromErrno(soError));
    Connected(s, *k);
    return 0;
  }


  // The socket's record; an unknown handle fails with WSAENOTSOCK.
  Sock* Find(SOCKET s) {
    if (started_ == 0) return Fail(WSANOTINITIALISED), nullptr;
    auto it = socks_.find(s);
    if (it == socks_.end()) return Fail(WSAENOTSOCK), nullptr;
    return &it->second;
  }

  static int PendingError(SOCKET s) {
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(s, sys::kSolSocket, sys::kSoError, &soError, &len) != 0) return errno;
    return soError;
  }

  // A send to a connection this side has shut down is refused as such; a
  // broken pipe otherwise means the peer is gone.
  static int SendError(const Sock& k, int err) {
    if (err == EPIPE) return k.shutSend ? WSAESHUTDOWN : WSAECONNRESET;
    return ErrorFromErrno(err);
  }

  // Waits, pumping the event queue, until `s` is ready in `type`. Returns 0,
  // or WSAEINTR when the call was cancelled or its socket closed meanwhile.
  // The notifier stays on after the wait: the next wait (usually for the
  // next reply) then costs the event dispatcher nothing. It turns itself
  // off when it fires with nobody waiting, so it never fires twice for
  // nothing.
  int WaitReady(SOCKET s, Sock& k, QSocketNotifier::Type type) {
    std::unique_ptr<QSocketNotifier>& n = type == QSocketNotifier::Read ? k.waitRead : k.waitWrite;
    if (!n) {
      n = std::make_unique<QSocketNotifier>(qintptr(s), type);
      QObject::connect(n.get(), &QSocketNotifier::activated, n.get(), [this, s, notifier = n.get()] {
        if (blocking_ && blockingSocket_ == s && waitingFor_ == notifier) {
          ready_ = true;
        } else {
          notifier->setEnabled(false);
        }
      });
    }
    blocking_ = true;
    cancelled_ = false;
    ready_ = false;
    blockingSocket_ = s;
    waitingFor_ = n.get();
    n->setEnabled(true);
    while (!ready_ && !cancelled_) plat::WaitForEvents();
    blocking_ = false;
    blockingSocket_ = INVALID_SOCKET;
    waitingFor_ = nullptr;
    return cancelled_ ? WSAEINTR : 0;
  }

  // ---- TLS below the calls

  int TlsSend(SOCKET s, Sock* k, const char* buf, int len) {
    if (k->tls->failed || !k->tls->up) return Fail(WSAECONNABORTED);
    int total = 0;
    while (total < len) {
      TlsLink& t = *k->tls;
      ERR_clear_error();
      const int r = SSL_write(t.ssl, buf + total, len - total);
      if (r > 0) {
        total += r;
        continue;
      }
      const int e = SSL_get_error(t.ssl, r);
      if (e == SSL_ERROR_SYSCALL && t.sysError != 0) {
        t.failed = true;
        return Fail(SendError(*k, t.sysError));
      }
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
        return TlsFail(t, "TLS connection with " + t.peer + " failed: " + Reason(t));
      if (!k->blocking) return total > 0 ? total : Fail(WSAEWOULDBLOCK);
      if (const int w = WaitReady(s, *k, e == SSL_ERROR_WANT_READ ? QSocketNotifier::Read : QSocketNotifier::Write))
        return Fail(w);
      k = Find(s);
      if (k == nullptr || !k->tls) return Fail(WSAEINTR);
    }
    return total;
  }

  int TlsRecv(SOCKET s, Sock* k, char* buf, int len, int flags) {
    if (k->tls->failed || !k->tls->up) return Fail(WSAECONNABORTED);
    if (len == 0) return 0;
    for (;;) {
      TlsLink& t = *k->tls;
      ERR_clear_error();
      // Bytes OpenSSL holds already come first; the descriptor is waited on
      // only when it asks for more.
      const int r = (flags & 2) != 0 ? SSL_peek(t.ssl, buf, len) : SSL_read(t.ssl, buf, len);
      if (r > 0) return r;
      const int e = SSL_get_error(t.ssl, r);
      if (e == SSL_ERROR_ZERO_RETURN) return 0;
      if (e == SSL_ERROR_SYSCALL) {
        if (t.sysError == 0) return 0;
        t.failed = true;
        return Fail(ErrorFromErrno(t.sysError));
      }
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
        return TlsFail(t, "TLS connection with " + t.peer + " failed: " + Reason(t));
      if (!k->blocking) return Fail(WSAEWOULDBLOCK);
      if (const int w = WaitReady(s, *k, e == SSL_ERROR_WANT_READ ? QSocketNotifier::Read : QSocketNotifier::Write))
        return Fail(w);
      k = Find(s);
      if (k == nullptr || !k->tls) return Fail(WSAEINTR);
    }
  }

  // Protected bytes readable now: those OpenSSL holds, else whether a look
  // at the descriptor that does not wait finds any (records that carry none,
  // as a session ticket, count for nothing).
  static uint32_t TlsReadable(TlsLink& t) {
    if (!t.up || t.failed) return 0;
    if (SSL_pending(t.ssl) > 0) return uint32_t(SSL_pending(t.ssl));
    ERR_clear_error();
    char probe;
    const int r = SSL_peek(t.ssl, &probe, 1);
    ERR_clear_error();
    return r > 0 ? uint32_t(std::max(SSL_pending(t.ssl), 1)) : 0;
  }

  static std::string Reason(const TlsLink& t) {
    std::string reason = OpenSslReason();
    return !reason.empty() ? reason : t.eof ? "connection closed" : "unknown error";
  }

  // The TLS close, once, best effort: it never waits for room or an answer.
  static void SendTlsClose(TlsLink& t) {
    if (!t.up || t.failed || t.closeSent) return;
    t.closeSent = true;
    ERR_clear_error();
    SSL_shutdown(t.ssl);
    ERR_clear_error();
  }

  void Connected(SOCKET s, Sock& k) {
    k.connecting = false;
    k.connected = true;
    if (!k.async) return;
    Post(s, k, FD_CONNECT, 0);
    Post(s, k, FD_WRITE, 0);
    ArmRead(s, k);
  }

  void Post(SOCKET s, Sock& k, long event, int error) {
    if (!k.async || !(k.async->events & event) || k.async->window.isNull()) return;
    k.async->window->post(k.async->msg, plat::WParam(s), plat::LParam(event) | (plat::LParam(error) << 16));
  }

  void ArmRead(SOCKET s, Sock& k) {
    Async& a = *k.async;
    if (!a.rd) {
      a.rd = std::make_unique<QSocketNotifier>(qintptr(s), QSocketNotifier::Read);
      QObject::connect(a.rd.get(), &QSocketNotifier::activated, a.rd.get(), [this, s] { Readable(s); });
    }
    a.rd->setEnabled(true);
  }

  void ArmWrite(SOCKET s, Sock& k) {
    Async& a = *k.async;
    if (!a.wr) {
      a.wr = std::make_unique<QSocketNotifier>(qintptr(s), QSocketNotifier::Write);
      QObject::connect(a.wr.get(), &QSocketNotifier::activated, a.wr.get(), [this, s] { Writable(s); });
    }
    a.wr->setEnabled(true);
  }

  // Data, end of stream or a reset is waiting: one notification, then quiet
  // until the next recv.
  void Readable(SOCKET s) {
    auto it = socks_.find(s);
    if (it == socks_.end() || !it->second.async) return;
    Sock& k = it->second;
    k.async->rd->setEnabled(false);
    char probe;
    const ssize_t r = ::recv(s, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r > 0) {
      Post(s, k, FD_READ, 0);
    } else if (r == 0 || errno != EAGAIN) {
      const int error = r == 0 ? 0 : ErrorFromErrno(errno);
      k.async->closeSent = true;
      Post(s, k, FD_CLOSE, error);
    } else {
      k.async->rd->setEnabled(true);
    }
  }

  void Writable(SOCKET s) {
    auto it = socks_.find(s);
    if (it == socks_.end() || !it->second.async) return;
    Sock& k = it->second;
    k.async->wr->setEnabled(false);
    if (!k.connecting) {
      Post(s, k, FD_WRITE, 0);
      return;
    }
    k.connecting = false;
    if (const int soError = PendingError(s)) {
      Post(s, k, FD_CONNECT, ErrorFromErrno(soError));
      return;
    }
    Connected(s, k);
  }

  void Close(SOCKET s) {
    if (blocking_ && blockingSocket_ == s) cancelled_ = true;
    auto it = socks_.find(s);
    if (it->second.tls) SendTlsClose(*it->second.tls);
    socks_.erase(it);  // its notifiers go before the descriptor they watch
    ::close(s);
  }

  void CloseAll() {
    while (!socks_.empty()) Close(socks_.begin()->first);
  }

  int started_ = 0;
  int lastError_ = 0;
  bool blocking_ = false;
  bool cancelled_ = false;
  bool ready_ = false;
  SOCKET blockingSocket_ = INVALID_SOCKET;
  QSocketNotifier* waitingFor_ = nullptr;
  std::string tlsError_;
  std::map<SOCKET, Sock> socks_;
  HostEnt host_;
  ServEnt serv_;
  ProtoEnt proto_;
};

}  // namespace

std::shared_ptr<Service> DefaultService() {
  static std::weak_ptr<Service> shared;
  std::shared_ptr<Service> s = shared.lock();
  if (!s) {
    s = std::make_shared<PosixService>();
    shared = s;
  }
  return s;
}

}  // namespace winsock
