// The socket service: a small Windows Sockets 1.1 style API on top of POSIX
// sockets, with exactly the calls the socket component uses. It lives in its
// own namespace so it never clashes with the C library's names.
//
// Error convention: calls return SOCKET_ERROR (-1), INVALID_SOCKET or null
// on failure and leave the platform error number (10000 and up; 11001-11004
// for name look-ups) for WSAGetLastError. Nothing throws.
//
// Calls added beside the 1.1 set (IPv6, all addresses of a name, TLS) return
// the error number themselves where a service written before them could not
// keep it; each says so. A TLS failure is WSAETLS, and its words (naming the
// peer and the reason) come from TlsErrorText.
//
// A socket is "blocking" unless FIONBIO turned that off or WSAAsyncSelect
// asked for notifications. A blocking connect, send or recv waits for
// readiness while pumping the Qt event queue (the blocking hook), so timers,
// posted messages and input are handled during the call. Only one blocking
// call may be in progress: a second one started from inside the hook fails
// with WSAEINPROGRESS, and WSACancelBlockingCall makes the running one fail
// with WSAEINTR.
//
// Everything runs on the GUI thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat { class HiddenWindow; }

namespace winsock {

using SOCKET = int32_t;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int AF_INET6 = 23;
constexpr int SOCK_STREAM = 1;
constexpr uint32_t INADDR_ANY = 0;
constexpr uint32_t INADDR_NONE = 0xFFFFFFFFu;

constexpr long FIONBIO = static_cast<long>(0x8004667Eu);
// ioctlsocket: the bytes that can be read now without waiting (under TLS,
// of the protected stream).
constexpr long FIONREAD = static_cast<long>(0x4004667Fu);
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_LINGER = 0x0080;
constexpr int SD_RECEIVE = 0, SD_SEND = 1, SD_BOTH = 2;

// Notification events (low word of a notification's lParam).
constexpr long FD_READ = 1, FD_WRITE = 2, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16, FD_CLOSE = 32;

// Platform error numbers.
enum : int {
  WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014, WSAEINVAL = 10022,
  WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035, WSAEINPROGRESS = 10036, WSAEALREADY = 10037,
  WSAENOTSOCK = 10038, WSAEDESTADDRREQ = 10039, WSAEMSGSIZE = 10040, WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042, WSAEPROTONOSUPPORT = 10043, WSAESOCKTNOSUPPORT = 10044,
  WSAEOPNOTSUPP = 10045, WSAEPFNOSUPPORT = 10046, WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049, WSAENETDOWN = 10050, WSAENETUNREACH = 10051, WSAENETRESET = 10052,
  WSAECONNABORTED = 10053, WSAECONNRESET = 10054, WSAENOBUFS = 10055, WSAEISCONN = 10056,
  WSAENOTCONN = 10057, WSAESHUTDOWN = 10058, WSAETOOMANYREFS = 10059, WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061, WSAELOOP = 10062, WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065, WSAENOTEMPTY = 10066, WSAEPROCLIM = 10067, WSAEUSERS = 10068,
  WSAEDQUOT = 10069, WSAESTALE = 10070, WSAEREMOTE = 10071, WSASYSNOTREADY = 10091,
  WSAVERNOTSUPPORTED = 10092, WSANOTINITIALISED = 10093, WSAHOST_NOT_FOUND = 11001,
  WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003, WSANO_DATA = 11004,
};

// Every TLS failure (handshake, verification, a broken TLS stream). It lies
// outside the numbers that have a text of their own; the words come from
// Service::TlsErrorText.
constexpr int WSAETLS = 10500;

struct WSAData {
  uint16_t wVersion = 0;
  uint16_t wHighVersion = 0;
  std::string szDescription;
  std::string szSystemStatus;
};

// IPv4 address and socket address; addresses and ports in network order.
struct InAddr {
  uint32_t S_addr = 0;
};
struct SockAddrIn {
  int16_t sin_family = 0;
  uint16_t sin_port = 0;
  InAddr sin_addr;
  char sin_zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

// A socket address of either family. The port is in network order; an IPv4
// address fills the first 4 bytes of `addr` (network order), an IPv6 address
// all 16.
struct SockAddr {
  int16_t family = 0;  // AF_INET or AF_INET6
  uint16_t port = 0;
  uint8_t addr[16] = {};
  uint32_t scopeId = 0;  // IPv6 zone index; 0 for none
};

struct Linger {
  uint16_t l_onoff = 0;
  uint16_t l_linger = 0;
};

// Look-up results. They belong to the service and stay valid until the next
// look-up of the same kind.
struct HostEnt {
  std::string h_name;
  int16_t h_addrtype = AF_INET;
  int16_t h_length = 4;
  std::vector<InAddr> h_addr_list;
};
struct ServEnt {
  std::string s_name;
  uint16_t s_port = 0;  // network order
  std::string s_proto;
};
struct ProtoEnt {
  std::string p_name;
  int16_t p_proto = 0;
};

// The service. Tests derive from it (usually wrapping the real one) to
// inject faults.
class Service {
 public:
  virtual ~Service() = default;

  // Returns 0, or the error number (also kept for WSAGetLastError).
  virtual int WSAStartup(uint16_t versionRequested, WSAData* data) = 0;
  virtual int WSACleanup() = 0;
  virtual int WSAGetLastError() = 0;
  virtual bool WSAIsBlocking() = 0;
  virtual int WSACancelBlockingCall() = 0;

  virtual SOCKET socket(int af, int type, int protocol) = 0;
  virtual int connect(SOCKET s, const SockAddrIn* name, int namelen) = 0;
  virtual int bind(SOCKET s, const SockAddrIn* name, int namelen) = 0;
  // Returns the bytes sent or received (0 from recv: the peer closed).
  virtual int send(SOCKET s, const char* buf, int len, int flags) = 0;
  virtual int recv(SOCKET s, char* buf, int len, int flags) = 0;
  virtual int closesocket(SOCKET s) = 0;
  virtual int shutdown(SOCKET s, int how) = 0;
  virtual int ioctlsocket(SOCKET s, long cmd, uint32_t* argp) = 0;
  virtual int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) = 0;
  virtual int getsockname(SOCKET s, SockAddrIn* name, int* namelen) = 0;

  // Name look-ups; null when not found. `name` is untrusted text.
  virtual const HostEnt* gethostbyname(const std::string& name) = 0;
  virtual const ServEnt* getservbyname(const std::string& name, const std::string& proto) = 0;
  virtual const ProtoEnt* getprotobyname(const std::string& name) = 0;
  // Dotted text to address (network order); INADDR_NONE when not an address.
  virtual uint32_t inet_addr(const std::string& cp) = 0;
  virtual std::string inet_ntoa(InAddr in) = 0;
  virtual uint16_t(htons)(uint16_t hostshort) = 0;

  // Asks for notifications: message `msg` posted to `window` with the socket
  // in wParam and event | error << 16 in lParam. `events` 0 stops them. The
  // socket becomes non-blocking.
  virtual int WSAAsyncSelect(SOCKET s, plat::HiddenWindow* window, unsigned msg, long events) = 0;

  // ---- Either family. A service that does not override these offers IPv4
  // only, through the calls above (an IPv6 address fails there with
  // WSAEAFNOSUPPORT).

  // Every address of `node` (host name, dotted IPv4, or IPv6 literal without
  // brackets), in the resolver's order, without repeats; ports are 0.
  // Returns 0, or the error number (also kept for WSAGetLastError by the
  // real service). `node` is untrusted text.
  virtual int getaddrinfo(const std::string& node, std::vector<SockAddr>& addresses);
  // As connect, bind and getsockname (SOCKET_ERROR and WSAGetLastError).
  virtual int connectAddr(SOCKET s, const SockAddr& name);
  virtual int bindAddr(SOCKET s, const SockAddr& name);
  virtual int getsocknameAddr(SOCKET s, SockAddr& name);
  // Numeric text of an address ("127.0.0.1", "::1"); empty for an unknown
  // family.
  virtual std::string inet_ntop(const SockAddr& address);

  // ---- TLS.

  // Starts TLS as a client on the connected blocking socket `s`: a blocking
  // call (the blocking hook runs; WSACancelBlockingCall ends it with
  // WSAEINTR). The peer must present a certificate that the system's trust
  // store or the PEM file `caFile` (none when empty) vouches for, and that
  // names `peerName` (a host name, also sent as SNI, or an IP literal);
  // TLS 1.2 at least. Afterwards send and recv of `s` carry their bytes
  // through TLS, and closing it sends the TLS close first without waiting
  // for an answer. Returns 0, or the error number: WSAETLS (words in
  // TlsErrorText), WSAEINTR, or the socket's own error. After a failure the
  // socket only fails (WSAECONNABORTED) until it is closed. A TLS socket
  // cannot ask for notifications (WSAAsyncSelect fails with WSAEINVAL). The
  // default fails with WSAEOPNOTSUPP.
  virtual int StartTlsClient(SOCKET s, const std::string& peerName, const std::string& caFile);
  // The words of the last WSAETLS failure, e.g. "certificate for
  // mail.example.net not trusted: self-signed certificate".
  virtual std::string TlsErrorText();
  // The protocol and cipher of `s`'s TLS session once its handshake is done,
  // e.g. "TLSv1.3, TLS_AES_256_GCM_SHA384"; empty otherwise (the default).
  virtual std::string TlsSessionText(SOCKET s);
};

// The platform's real service. One instance is shared by all its users (as
// the library is per process); it ends when the last user lets go.
std::shared_ptr<Service> DefaultService();

// The platform error number for a POSIX errno value.
int ErrorFromErrno(int err);

}  // namespace winsock
