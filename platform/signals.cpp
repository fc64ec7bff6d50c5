#include "platform/signals.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace plat {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::size_t kCount = sizeof kSignals / sizeof kSignals[0];

std::atomic<int> g_writeFd{-1};
int g_readFd = -1;
struct sigaction g_previous[kCount];
std::atomic<int> g_secondExitStatus{-1};
std::atomic<int> g_taken{0};

void OnSignal(int sig) {
  if (sig != SIGHUP && g_taken.fetch_add(1) > 0) {
    const int status = g_secondExitStatus.load();
    if (status >= 0) ::_exit(status);
  }
  const int saved = errno;
  const int fd = g_writeFd.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(sig);
    // Non-blocking: with the pipe full the request is already pending.
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

CloseSignals::CloseSignals(Handler handler) : handler_(std::move(handler)) {
  if (g_writeFd.load() >= 0) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_readFd = fds[0];
  g_writeFd.store(fds[1]);
  notifier_ = std::make_unique<QSocketNotifier>(g_readFd, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Deliver(); });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // blocking calls go on; the request waits in the pipe
  for (size_t i = 0; i < kCount; ++i) ::sigaction(kSignals[i], &action, &g_previous[i]);
  g_taken = 0;
  g_secondExitStatus = -1;
  active_ = true;
}

CloseSignals::~CloseSignals() {
  if (!active_) return;
  for (size_t i = 0; i < kCount; ++i) ::sigaction(kSignals[i], &g_previous[i], nullptr);
  g_secondExitStatus = -1;
  notifier_.reset();
  const int writeFd = g_writeFd.exchange(-1);
  ::close(writeFd);
  ::close(g_readFd);
  g_readFd = -1;
}

void CloseSignals::ExitOnSecondSignal(int status) {
  if (active_) g_secondExitStatus = status;
}

void CloseSignals::Deliver() {
  unsigned char buffer[64];
  for (;;) {
    const ssize_t n = ::read(g_readFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i)
      if (handler_) handler_(buffer[i]);
  }
}

std::string SignalName(int signal) {
  const char* abbrev = ::sigabbrev_np(signal);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(signal);
}

}  // namespace plat
