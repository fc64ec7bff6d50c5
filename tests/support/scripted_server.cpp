#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace zvtest {

// The accepted connection, with its TLS state once the handshake began. The
// descriptor is non-blocking under TLS.
struct ScriptedServer::Link {
  explicit Link(int descriptor) : fd(descriptor) {}
  ~Link() {
    if (ssl != nullptr) SSL_free(ssl);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  int fd;
  SSL* ssl = nullptr;
};

ScriptedServer::ScriptedServer(std::string address, uint16_t port) : address_(std::move(address)), port_(port) {}

ScriptedServer::~ScriptedServer() {
  Stop();
  if (tlsCtx_ != nullptr) SSL_CTX_free(tlsCtx_);
}

void ScriptedServer::SetCertificate(std::string certFile, std::string keyFile) {
  certFile_ = std::move(certFile);
  keyFile_ = std::move(keyFile);
}

bool ScriptedServer::Start() {
  if (thread_.joinable()) return true;
  if (!certFile_.empty() && tlsCtx_ == nullptr) {
    tlsCtx_ = SSL_CTX_new(TLS_server_method());
    if (tlsCtx_ == nullptr) return false;
    SSL_CTX_set_options(tlsCtx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (SSL_CTX_use_certificate_chain_file(tlsCtx_, certFile_.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tlsCtx_, keyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
      ERR_clear_error();
      return false;
    }
  }
  sockaddr_storage addr{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (::inet_pton(AF_INET, address_.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port_);
    len = sizeof *v4;
  } else if (::inet_pton(AF_INET6, address_.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port_);
    len = sizeof *v6;
  } else {
    return false;
  }
  listenFd_ = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listenFd_, 16) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  if (::pipe2(wakeFds_, O_CLOEXEC) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void ScriptedServer::Stop() {
  if (thread_.joinable()) {
    char c = 0;
    (void)!::write(wakeFds_[1], &c, 1);
    thread_.join();
  }
  for (int* fd : {&listenFd_, &wakeFds_[0], &wakeFds_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::string ScriptedServer::HostPort() const {
  const bool v6 = address_.find(':') != std::string::npos;
  return (v6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(port_);
}

std::size_t ScriptedServer::Connections() const {
  std::lock_guard lock(mutex_);
  return conns_.size();
}

std::size_t ScriptedServer::FinishedConnections() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const Conn& c : conns_) n += c.finished ? 1 : 0;
  return n;
}

std::string ScriptedServer::Received(std::size_t i) const {
  std::lock_guard lock(mutex_);
  return i < conns_.size() ? conns_[i].bytes : std::string();
}

std::string ScriptedServer::AllReceived() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const Conn& c : conns_) all += c.bytes;
  return all;
}

std::vector<std::string> ScriptedServer::Lines(std::size_t i) const {
  std::lock_guard lock(mutex_);
  return i < conns_.size() ? conns_[i].lines : std::vector<std::string>();
}

std::vector<std::string> ScriptedServer::SentAhead(std::size_t i) const {
  std::lock_guard lock(mutex_);
  return i < conns_.size() ? conns_[i].sentAhead : std::vector<std::string>{};
}

bool ScriptedServer::UnderTls(std::size_t i) const {
  std::lock_guard lock(mutex_);
  return i < conns_.size() && conns_[i].tls;
}

bool ScriptedServer::WaitFinished(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    std::size_t n = 0;
    for (const Conn& c : conns_) n += c.finished ? 1 : 0;
    return n >= count;
  });
}

void ScriptedServer::Run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::size_t index;
    {
      std::lock_guard lock(mutex_);
      index = conns_.size();
      conns_.emplace_back();
    }
    changed_.notify_all();
    Serve(fd, index);
    {
      std::lock_guard lock(mutex_);
      conns_[index].finished = true;
    }
    changed_.notify_all();
    // A stop request that arrived while serving ends the loop here.
    pollfd wake{wakeFds_[0], POLLIN, 0};
    if (::poll(&wake, 1, 0) > 0) return;
  }
}

int ScriptedServer::WaitFd(int fd, short events, int timeoutMs) const {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFds_[0], POLLIN, 0}};
    const int n = ::poll(fds, 2, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents) return -1;
    return n == 0 ? 0 : 1;
  }
}

bool ScriptedServer::Handshake(Link& link, std::size_t index) {
  if (tlsCtx_ == nullptr) return false;
  ::fcntl(link.fd, F_SETFL, ::fcntl(link.fd, F_GETFL) | O_NONBLOCK);
  link.ssl = SSL_new(tlsCtx_);
  if (link.ssl == nullptr || SSL_set_fd(link.ssl, link.fd) != 1) return false;
  SSL_set_accept_state(link.ssl);
  for (;;) {
    ERR_clear_error();
    const int r = SSL_do_handshake(link.ssl);
    if (r == 1) break;
    const int e = SSL_get_error(link.ssl, r);
    const short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0 || WaitFd(link.fd, events) != 1) {
      ERR_clear_error();
      return false;
    }
  }
  std::lock_guard lock(mutex_);
  conns_[index].tls = true;
  return true;
}

long ScriptedServer::Read(Link& link, char* buf, std::size_t size) {
  if (link.ssl == nullptr) {
    for (;;) {
      if (WaitFd(link.fd, POLLIN) != 1) return -1;
      const ssize_t n = ::recv(link.fd, buf, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(link.ssl, buf, int(size));
    if (n > 0) return n;
    const int e = SSL_get_error(link.ssl, n);
    const short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    if (WaitFd(link.fd, events) != 1) return -1;
  }
}

bool ScriptedServer::Write(Link& link, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (link.ssl == nullptr) {
      const ssize_t n = ::send(link.fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
      continue;
    }
    ERR_clear_error();
    const int n = SSL_write(link.ssl, bytes.data() + done, int(bytes.size() - done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int e = SSL_get_error(link.ssl, n);
    const short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0 || WaitFd(link.fd, events) != 1) return false;
  }
  return true;
}

// Whether the client sent more bytes before the answer, waiting `watch` for
// them. A close is not a command sent ahead: only bytes count (under TLS,
// only application data, not the TLS close).
bool ScriptedServer::MoreAhead(Link& link, std::chrono::milliseconds watch) {
  if (link.ssl != nullptr && SSL_pending(link.ssl) > 0) return true;
  if (WaitFd(link.fd, POLLIN, static_cast<int>(watch.count())) != 1) return false;
  char c;
  if (link.ssl == nullptr) return ::recv(link.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
  ERR_clear_error();
  const bool data = SSL_peek(link.ssl, &c, 1) > 0;
  ERR_clear_error();
  return data;
}

bool ScriptedServer::SendStep(Link& link, const Step& step) {
  if (step.pace.count() > 0) {
    // Line by line; a client that closed meanwhile ends it.
    for (const std::string& line : step.lines)
      if (!Write(link, line + "\r\n") || WaitFd(link.fd, 0, int(step.pace.count())) != 0) return false;
    return Write(link, step.raw);
  }
  std::string out;
  for (const std::string& line : step.lines) out += line + "\r\n";
  out += step.raw;
  return Write(link, out);
}

namespace {
void CloseConnection(int fd, ScriptedServer::Action action) {
  if (action == ScriptedServer::Action::Reset) {
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  ::close(fd);
}
}  // namespace

void ScriptedServer::Serve(int fd, std::size_t index) {
  Link link(fd);
  if (implicitTls_ && !Handshake(link, index)) {
    ::close(fd);
    return;
  }
  Action mode = greeting_.action;
  if (!SendStep(link, greeting_)) mode = Action::Close;
  if (mode == Action::Close || mode == Action::Reset) {
    CloseConnection(fd, mode);
    return;
  }
  if (mode == Action::StartTls) {
    if (!Handshake(link, index)) {
      ::close(fd);
      return;
    }
    mode = Action::Continue;
  }
  std::string pending;
  char buf[65536];
  for (;;) {
    const long n = Read(link, buf, sizeof buf);
    if (n <= 0) break;
    {
      std::lock_guard lock(mutex_);
      conns_[index].bytes.append(buf, static_cast<std::size_t>(n));
    }
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1) {
      std::string line = pending.substr(start, lf - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      {
        std::lock_guard lock(mutex_);
        conns_[index].lines.push_back(line);
      }
      if (mode == Action::Silent || !handler_) continue;
      const Step step = handler_(line, index);
      if (!step.lines.empty() || !step.raw.empty()) {
        if (lf + 1 < pending.size() || MoreAhead(link, step.watchAhead)) {
          std::lock_guard lock(mutex_);
          conns_[index].sentAhead.push_back(line);
        }
      }
      if (!SendStep(link, step)) {
        ::close(fd);
        return;
      }
      if (step.action == Action::Close || step.action == Action::Reset) {
        CloseConnection(fd, step.action);
        return;
      }
      if (step.action == Action::Silent) mode = Action::Silent;
      if (step.action == Action::StartTls) {
        // What came in the clear before the handshake is not part of the
        // protected dialogue.
        pending.clear();
        start = 0;
        if (!Handshake(link, index)) {
          ::close(fd);
          return;
        }
        break;
      }
    }
    pending.erase(0, start);
  }
  ::close(fd);
}

}  // namespace zvtest
