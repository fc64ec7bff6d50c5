#include "net/loopback_server.h"

#include "support/testutil.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

constexpr int kSilenceMs = 10000;
constexpr int kSliceMs = 50;

// Waits for `events` on fd in short slices so a stopping server is noticed.
bool WaitFor(int fd, short events, const std::atomic<bool>& stop, int ms = kSilenceMs) {
  for (int waited = 0; waited < ms && !stop; waited += kSliceMs) {
    pollfd p{fd, events, 0};
    if (::poll(&p, 1, kSliceMs) > 0) return true;
  }
  return false;
}

}  // namespace

void Gate::Open() {
  std::lock_guard<std::mutex> lock(m_);
  open_ = true;
  cv_.notify_all();
}

bool Gate::Wait(int ms) {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return open_; });
}

void LoopbackPeer::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size() && WaitFor(fd_, POLLOUT, stop_)) {
    const ssize_t r = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (r <= 0) return;
    done += size_t(r);
  }
}

std::string LoopbackPeer::Read(size_t n) {
  std::string got;
  char buf[4096];
  while (got.size() < n && WaitFor(fd_, POLLIN, stop_)) {
    const ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - got.size()), 0);
    if (r <= 0) break;
    got.append(buf, size_t(r));
  }
  return got;
}

std::string LoopbackPeer::ReadToEnd() {
  std::string got;
  char buf[4096];
  while (WaitFor(fd_, POLLIN, stop_)) {
    const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
    if (r <= 0) break;
    got.append(buf, size_t(r));
  }
  return got;
}

void LoopbackPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void LoopbackPeer::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

LoopbackServer::LoopbackServer() { listener_ = zvtest::ListenOnLoopback(port_); }

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

void LoopbackServer::Serve(std::function<void(LoopbackPeer&)> script) {
  thread_ = std::thread([this, script = std::move(script)] {
    if (WaitFor(listener_, POLLIN, stop_)) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        LoopbackPeer peer(fd, stop_);
        script(peer);
        peer.Close();
      }
    }
    done_.Open();
  });
}

bool LoopbackServer::Finished(int ms) { return done_.Wait(ms); }

FullListener::FullListener(uint16_t port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ready_ = listener_ >= 0 && filler_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
           ::listen(listener_, 0) == 0 && ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

FullListener::~FullListener() {
  if (filler_ >= 0) ::close(filler_);
  if (listener_ >= 0) ::close(listener_);
}

uint16_t ClosedPort() {
  uint16_t port = 0;
  const int fd = zvtest::ListenOnLoopback(port);
  if (fd >= 0) ::close(fd);
  return port;
}
