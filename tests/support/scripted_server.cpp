#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zvtest {

ScriptedServer::ScriptedServer(std::string address, uint16_t port) : address_(std::move(address)), port_(port) {}

ScriptedServer::~ScriptedServer() { Stop(); }

bool ScriptedServer::Start() {
  if (thread_.joinable()) return true;
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  if (::inet_pton(AF_INET, address_.c_str(), &addr.sin_addr) != 1 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
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

std::string ScriptedServer::HostPort() const { return address_ + ":" + std::to_string(port_); }

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

bool ScriptedServer::SendStep(int fd, const Step& step) {
  std::string out;
  for (const std::string& line : step.lines) out += line + "\r\n";
  out += step.raw;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
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
  Action mode = greeting_.action;
  if (!SendStep(fd, greeting_)) mode = Action::Close;
  if (mode == Action::Close || mode == Action::Reset) {
    CloseConnection(fd, mode);
    return;
  }
  std::string pending;
  char buf[65536];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
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
        bool ahead = lf + 1 < pending.size();
        if (!ahead) {
          // A close is not a command sent ahead: only bytes count.
          pollfd more{fd, POLLIN, 0};
          char c;
          ahead = ::poll(&more, 1, static_cast<int>(step.watchAhead.count())) > 0 &&
                  ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
        }
        if (ahead) {
          std::lock_guard lock(mutex_);
          conns_[index].sentAhead.push_back(line);
        }
      }
      if (!SendStep(fd, step)) {
        ::close(fd);
        return;
      }
      if (step.action == Action::Close || step.action == Action::Reset) {
        CloseConnection(fd, step.action);
        return;
      }
      if (step.action == Action::Silent) mode = Action::Silent;
    }
    pending.erase(0, start);
  }
  ::close(fd);
}

}  // namespace zvtest
