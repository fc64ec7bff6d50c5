#include "support/testutil.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zvtest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/zvtest.XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

CwdGuard::CwdGuard() {
  char buf[4096];
  saved_ = ::getcwd(buf, sizeof buf) ? buf : "/";
}

CwdGuard::~CwdGuard() { (void)::chdir(saved_.c_str()); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

Child::Child(const std::string& program, const std::string& cwd, std::map<std::string, std::string> env,
             const std::vector<std::string>& args) {
  int errPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return;
  std::vector<std::string> argvStore{program};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(errPipe[1], 2);
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(errPipe[1]);
  errFd_ = errPipe[0];
}

Child::~Child() {
  if (errFd_ >= 0) ::close(errFd_);
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Child::WaitForErr(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t at;
  while ((at = err_.find(text, seen_)) == std::string::npos) {
    if (!ReadSome(deadline)) return false;
  }
  seen_ = at + text.size();
  return true;
}

bool Child::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Standard error ends when the child does (it holds the only write end).
  while (ReadSome(deadline)) {
  }
  siginfo_t info{};
  return ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOWAIT) == 0;
}

bool Child::Finish(int& status, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ReadSome(deadline)) {
  }
  if (std::chrono::steady_clock::now() >= deadline) return false;
  reaped_ = ::waitpid(pid_, &status, 0) == pid_;
  return reaped_;
}

bool Child::ReadSome(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  if (left <= 0 || errFd_ < 0) return false;
  pollfd p{errFd_, POLLIN, 0};
  if (::poll(&p, 1, int(left)) <= 0) return false;
  char buf[4096];
  const ssize_t n = ::read(errFd_, buf, sizeof buf);
  if (n <= 0) return false;
  err_.append(buf, std::size_t(n));
  return true;
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env, const std::string& cwd,
                     std::chrono::milliseconds timeout, const std::string& argv0) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> argvStore;
  argvStore.push_back(argv0.empty() ? program : argv0);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  RunResult r;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, int(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, size_t(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && !r.timedOut) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

std::string LinkProgramInto(const std::string& dir) {
  std::string link = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + "zvmail32";
  std::filesystem::create_symlink(ZV_PROGRAM, link);
  return link;
}

Trickler::Trickler(std::string line, std::chrono::milliseconds every) {
  listener_ = ListenOnLoopback(port_);
  if (listener_ < 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this, line, every] {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) return;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    for (int i = 0; i * every < std::chrono::seconds(30) && !stop_; ++i) {
      if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) break;
      std::this_thread::sleep_for(every);
    }
    char buf[512];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) received_.append(buf, std::size_t(n));
    ::close(fd);
  });
}

Trickler::~Trickler() { Stop(); }

std::string Trickler::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
  return received_;
}

namespace {

// A listener on `address` (family, loopback address, port 0) at a free port.
template <class Address>
int Listen(Address a, uint16_t Address::*portField, uint16_t& port) {
  const int fd = ::socket(reinterpret_cast<const sockaddr*>(&a)->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  port = ntohs(a.*portField);
  return fd;
}

}  // namespace

int ListenOnLoopback(uint16_t& port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Listen(a, &sockaddr_in::sin_port, port);
}

int ListenOnIpv6Loopback(uint16_t& port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  return Listen(a, &sockaddr_in6::sin6_port, port);
}

std::string SaslLine(const std::string& line, uint16_t port) {
  const auto open = line.find('{');
  if (open == std::string::npos) return line;
  std::string inner = line.substr(open + 1, line.rfind('}') - open - 1);
  for (char& c : inner) c = c == '~' ? '\0' : c == '^' ? '\x01' : c;
  if (const auto at = inner.find("PORT"); at != std::string::npos) inner.replace(at, 4, std::to_string(port));
  return line.substr(0, open) + QByteArray(inner.data(), qsizetype(inner.size())).toBase64().toStdString();
}

bool ProcessRunning(int pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace zvtest
