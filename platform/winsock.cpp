// The socket service on POSIX sockets. Every descriptor is non-blocking at
// the system level; "blocking" calls are emulated by waiting for readiness
// with a QSocketNotifier while the Qt event loop sleeps, which is the
// blocking hook: timers and posted messages keep being dispatched.

// The system headers come first: several of their macros (AF_INET,
// SOL_SOCKET, htons, ...) share names with this service's constants, so the
// values needed here are copied and the macros dropped before our header.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sys {
constexpr int kAfInet = AF_INET;
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoError = SO_ERROR;
inline uint16_t HostToNet16(uint16_t v) { return htons(v); }
}  // namespace sys

#undef AF_INET
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
    if (af != AF_INET) return Fail(WSAEAFNOSUPPORT);
    if (type != SOCK_STREAM) return Fail(WSAESOCKTNOSUPPORT);
    const int fd = ::socket(sys::kAfInet, ::SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return Fail(ErrorFromErrno(errno));
    socks_[fd] = Sock{};
    return fd;
  }

  int connect(SOCKET s, const SockAddrIn* name, int namelen) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (name == nullptr || namelen < int(sizeof(SockAddrIn))) return Fail(WSAEFAULT);
    if (name->sin_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
    if (k->blocking && blocking_) return Fail(WSAEINPROGRESS);
    if (k->connected) return Fail(WSAEISCONN);
    if (k->connecting) return Fail(WSAEALREADY);
    const sockaddr_in a = ToSys(*name);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
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
    if (const int w = WaitReady(s, QSocketNotifier::Write)) return Fail(w);
    k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    k->connecting = false;
    if (const int soError = PendingError(s)) return Fail(ErrorFromErrno(soError));
    Connected(s, *k);
    return 0;
  }

  int bind(SOCKET s, const SockAddrIn* name, int namelen) override {
    if (Find(s) == nullptr) return SOCKET_ERROR;
    if (name == nullptr || namelen < int(sizeof(SockAddrIn))) return Fail(WSAEFAULT);
    if (name->sin_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
    const sockaddr_in a = ToSys(*name);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return Fail(ErrorFromErrno(errno));
    return 0;
  }

  int send(SOCKET s, const char* buf, int len, int flags) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (k->blocking && blocking_) return Fail(WSAEINPROGRESS);
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
      if (const int w = WaitReady(s, QSocketNotifier::Write)) return Fail(w);
      k = Find(s);
      if (k == nullptr) return Fail(WSAEINTR);
    }
  }

  int recv(SOCKET s, char* buf, int len, int flags) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (k->blocking && blocking_) return Fail(WSAEINPROGRESS);
    for (;;) {
      const ssize_t r = ::recv(s, buf, size_t(len), flags & 3);
      const int err = errno;
      if (k->async && !k->async->closeSent) ArmRead(s, *k);  // FD_READ again for what is left
      if (r >= 0) return int(r);
      if (err == EINTR) continue;
      if (err != EAGAIN) return Fail(ErrorFromErrno(err));
      if (!k->blocking) return Fail(WSAEWOULDBLOCK);
      if (const int w = WaitReady(s, QSocketNotifier::Read)) return Fail(w);
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
    if (::shutdown(s, sysHow) != 0) return Fail(ErrorFromErrno(errno));
    if (how != SD_RECEIVE) k->shutSend = true;
    return 0;
  }

  int ioctlsocket(SOCKET s, long cmd, uint32_t* argp) override {
    Sock* k = Find(s);
    if (k == nullptr) return SOCKET_ERROR;
    if (cmd != FIONBIO) return Fail(WSAEINVAL);
    if (argp == nullptr) return Fail(WSAEFAULT);
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
  };

  int Fail(int error) {
    lastError_ = error;
    return SOCKET_ERROR;
  }

  // The socket's record; an unknown handle fails with WSAENOTSOCK.
  Sock* Find(SOCKET s) {
    if (started_ == 0) return Fail(WSANOTINITIALISED), nullptr;
    auto it = socks_.find(s);
    if (it == socks_.end()) return Fail(WSAENOTSOCK), nullptr;
    return &it->second;
  }

  static sockaddr_in ToSys(const SockAddrIn& in) {
    sockaddr_in a{};
    a.sin_family = sa_family_t(sys::kAfInet);
    a.sin_port = in.sin_port;
    a.sin_addr.s_addr = in.sin_addr.S_addr;
    return a;
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
  int WaitReady(SOCKET s, QSocketNotifier::Type type) {
    blocking_ = true;
    cancelled_ = false;
    blockingSocket_ = s;
    bool ready = false;
    waitNotifier_ = std::make_unique<QSocketNotifier>(qintptr(s), type);
    QObject::connect(waitNotifier_.get(), &QSocketNotifier::activated, waitNotifier_.get(), [this, &ready] {
      waitNotifier_->setEnabled(false);
      ready = true;
    });
    while (!ready && !cancelled_) plat::WaitForEvents();
    waitNotifier_.reset();
    blocking_ = false;
    blockingSocket_ = INVALID_SOCKET;
    return cancelled_ ? WSAEINTR : 0;
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
    if (blocking_ && blockingSocket_ == s) {
      cancelled_ = true;
      waitNotifier_.reset();  // never watch a closed descriptor
    }
    auto it = socks_.find(s);
    it->second.async.reset();
    socks_.erase(it);
    ::close(s);
  }

  void CloseAll() {
    while (!socks_.empty()) Close(socks_.begin()->first);
  }

  int started_ = 0;
  int lastError_ = 0;
  bool blocking_ = false;
  bool cancelled_ = false;
  SOCKET blockingSocket_ = INVALID_SOCKET;
  std::unique_ptr<QSocketNotifier> waitNotifier_;
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
