#include "net/Sockets.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/msgwindow.h"
#include "platform/session.h"
#include "platform/winsock.h"

namespace {

constexpr int kGiveUpBytes = 250;
constexpr int32_t kTimedOut = 10060;
constexpr const char* kTimedOutText = "Blocking call timed out";

// A decimal integer as the toolkit's integer conversion reads it: optional
// leading blanks, an optional sign, digits, nothing after; 32-bit range.
bool ParseDecimal(const std::string& text, long long& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return false;
  }
  if (negative) value = -value;
  return value >= INT32_MIN && value <= INT32_MAX;
}

const char* EventName(long event) {
  switch (event) {
    case winsock::FD_READ: return "FD_READ";
    case winsock::FD_WRITE: return "FD_WRITE";
    case winsock::FD_OOB: return "FD_OOB";
    case winsock::FD_ACCEPT: return "FD_ACCEPT";
    case winsock::FD_CONNECT: return "FD_CONNECT";
    case winsock::FD_CLOSE: return "FD_CLOSE";
    default: return "";
  }
}

// Calls an event when assigned, through a copy: the handler may rebind it.
template <class Event, class... Args>
void Fire(const Event& event, Args... args) {
  if (!event) return;
  const Event copy = event;
  copy(args...);
}

}  // namespace

// A blocking call under the watchdog (blocking mode with a Timeout). Only
// the deadline is noted per call; the timer is armed when it is not armed
// already for an earlier time, so a stream of quick calls costs no timer.
class TSockets::WatchedCall {
 public:
  explicit WatchedCall(TSockets& s) : s_(s), saved_(s.callDeadline_), watched_(!s.NonBlocking && s.Timeout > 0) {
    if (!watched_) return;
    s_.callDeadline_ = Clock::now() + std::chrono::seconds(s.Timeout);
    ++s_.callDepth_;
    s_.Arm(s_.callDeadline_);
  }
  ~WatchedCall() {
    if (!watched_) return;
    --s_.callDepth_;
    s_.callDeadline_ = saved_;
  }
  WatchedCall(const WatchedCall&) = delete;
  WatchedCall& operator=(const WatchedCall&) = delete;

 private:
  TSockets& s_;
  Clock::time_point saved_;
  bool watched_;
};

class TSockets::InGetText {
 public:
  explicit InGetText(TSockets& s) : s_(s) {
    ++s_.getTextDepth_;
    if (s_.replyDeadline_) s_.Arm(*s_.replyDeadline_);
  }
  ~InGetText() { --s_.getTextDepth_; }
  InGetText(const InGetText&) = delete;
  InGetText& operator=(const InGetText&) = delete;

 private:
  TSockets& s_;
};

TSockets::TSockets(std::shared_ptr<winsock::Service> service)
    : ws_(service ? std::move(service) : winsock::DefaultService()),
      window_(std::make_unique<plat::HiddenWindow>(
          [this](unsigned msg, plat::WParam wParam, plat::LParam lParam) { return WndProc(msg, wParam, lParam); })) {
  winsock::WSAData data;
  if (ws_->WSAStartup(0x0101, &data) != 0) ReportSocketError("Constructor (WSAStartup)", ws_->WSAGetLastError());
}

TSockets::~TSockets() {
  window_->killTimer(kWatchdogTimerId);
  if (ws_->WSACleanup() < 0) ReportSocketError("Destructor (WSACleanup)", ws_->WSAGetLastError());
}

void TSockets::Open(const std::string& Port, const std::string& Address) {
  State = 0;
  tlsSummary_.clear();
  // A socket left by a failed attempt (an owner may have reset State
  // without a Close) goes first: every Open starts without one.
  Abandon();
  if (Port.empty()) return ReportSocketError("No Port Specified", 0);
  if (Address.empty()) return ReportSocketError("No IP Address Specified", 0);

  // Port and address are untrusted texts; neither is ever cut short, since a
  // shortened name or number would name a different peer.
  uint16_t port = 0;
  const winsock::ServEnt* service = Port.size() <= 31 ? ws_->getservbyname(Port, "tcp") : nullptr;
  if (service != nullptr) {
    port = service->s_port;
  } else {
    long long number = 0;
    if (Port.size() > 31 || !ParseDecimal(Port, number)) throw EConvertError("'" + Port + "' is not a valid integer value");
    if (number < 0 || number > 65535) return ReportSocketError("Open", winsock::WSAEADDRNOTAVAIL);
    port = (ws_->htons)(uint16_t(number));
  }

  tls_ = false;
  ipv6_ = false;
  winsock::SockAddr to;
  to.port = port;
  const uint32_t dotted = ws_->inet_addr(Address);
  if (dotted != winsock::INADDR_NONE) {
    to.family = winsock::AF_INET;
    std::memcpy(to.addr, &dotted, 4);
    Attempt(to, true);
    return;
  }
  std::vector<winsock::SockAddr> found;
  if (Address.size() > 256 || ws_->getaddrinfo(Address, found) != 0 || found.empty())
    return ReportSocketError("Cannot resolve " + Address, 0);
  // A non-blocking connect ends later, in a notification: no next address.
  const size_t tries = NonBlocking ? 1 : std::min(found.size(), kMaxAddresses);
  for (size_t i = 0; i < tries; ++i) {
    to = found[i];
    to.port = port;
    if (Attempt(to, i + 1 == tries)) return;
  }
}

// With `last` every failure is reported as Open always did, and the attempt
// goes on as far as it can; otherwise the first failure ends it silently,
// its socket closed. True when connected (or, non-blocking, under way).
bool TSockets::Attempt(const winsock::SockAddr& to, bool last) {
  const bool v6 = to.family == winsock::AF_INET6;
  winsock::SockAddrIn v4;  // IPv4 goes through the 1.1 calls, as it always did
  v4.sin_family = winsock::AF_INET;
  v4.sin_port = to.port;
  std::memcpy(&v4.sin_addr.S_addr, to.addr, 4);

  const winsock::ProtoEnt* proto = ws_->getprotobyname("tcp");
  handle_ = ws_->socket(v6 ? winsock::AF_INET6 : winsock::AF_INET, winsock::SOCK_STREAM,
                        proto != nullptr ? proto->p_proto : 0);
  if (handle_ < 0) {
    handle_ = winsock::INVALID_SOCKET;
    if (last) ReportSocketError("Open (socket)", ws_->WSAGetLastError());
    return false;
  }

  if (Authorized) {
    for (int local = 1024; local >= 513; --local) {
      winsock::SockAddr any;
      any.family = to.family;
      any.port = (ws_->htons)(uint16_t(local));
      winsock::SockAddrIn anyV4;
      anyV4.sin_family = winsock::AF_INET;
      anyV4.sin_port = any.port;
      anyV4.sin_addr.S_addr = winsock::INADDR_ANY;
      if ((v6 ? ws_->bindAddr(handle_, any) : ws_->bind(handle_, &anyV4, sizeof anyV4)) == 0) break;
      const int error = ws_->WSAGetLastError();
      if (error == winsock::WSAEADDRINUSE) continue;
      if (!last) return Abandon();
      ReportSocketError("Open bind()", error);
    }
  }

  if (NonBlocking) {
    if (ws_->WSAAsyncSelect(handle_, window_.get(), kNotifyMessage,
                            winsock::FD_READ | winsock::FD_WRITE | winsock::FD_CONNECT | winsock::FD_CLOSE) != 0) {
      if (!last) return Abandon();
      ReportSocketError("WSAAsyncSelect", ws_->WSAGetLastError());
    }
  } else {
    uint32_t off = 0;
    ws_->ioctlsocket(handle_, winsock::FIONBIO, &off);
  }

  int result;
  {
    quietAttempt_ = !last;
    WatchedCall watch(*this);
    result = v6 ? ws_->connectAddr(handle_, to) : ws_->connect(handle_, &v4, sizeof v4);
    quietAttempt_ = false;
  }
  const int error = result == 0 ? 0 : ws_->WSAGetLastError();
  if (result == 0 || error == winsock::WSAEWOULDBLOCK) {
    State = 1;
    ipv6_ = v6;
    return true;
  }
  if (!last) return Abandon();
  ReportSocketError("Open", error);
  return false;
}

bool TSockets::Abandon() {
  if (handle_ != winsock::INVALID_SOCKET) ws_->closesocket(handle_);
  handle_ = winsock::INVALID_SOCKET;
  return false;
}

bool TSockets::StartTls(const std::string& peerName, const std::string& caFile) {
  // Bytes already read were sent in the clear before the handshake: taking
  // them for the protected dialogue would let anyone on the path inject
  // replies.
  if (held_ > 0) {
    Report("StartTls", winsock::WSAETLS, peerName + " sent data before the TLS handshake");
    return false;
  }
  int error;
  {
    WatchedCall watch(*this);
    error = ws_->StartTlsClient(handle_, peerName, caFile);
  }
  if (error != 0) {
    ReportSocketError("StartTls", error);
    return false;
  }
  tls_ = true;
  tlsSummary_ = ws_->TlsSessionText(handle_) + ", certificate verified for " + peerName;
  return true;
}

void TSockets::SetText(const std::string& Text) {
  // Nothing goes out on a socket closed already (by the owner, after a
  // failure): that is no new failure.
  if (Text.empty() || handle_ == winsock::INVALID_SOCKET) return;
  int sent;
  {
    WatchedCall watch(*this);
    sent = ws_->send(handle_, Text.data(), int(std::min<size_t>(Text.size(), INT_MAX)), 0);
  }
  if (sent < 0) ReportSocketError("SetText (Send)", ws_->WSAGetLastError());
}

int TSockets::FillLimit() const { return std::clamp<int32_t>(BufferSize, 0, kBufferCapacity); }

void TSockets::ReceiveStep() {
  if (start_ != 0) {
    std::memmove(buffer_, buffer_ + start_, held_);
    start_ = 0;
  }
  const int at = held_;
  const int limit = FillLimit();
  if (at >= limit) return;
  int got;
  {
    WatchedCall watch(*this);
    got = ws_->recv(handle_, buffer_ + at, limit - at, 0);
  }
  if (got < 0) return ReportSocketError("GetText (Recv)", ws_->WSAGetLastError());
  if (got == 0) {
    State = 0;
    return;
  }
  // Handlers run during a blocking receive; one of them may have emptied the
  // buffer meanwhile. The new bytes then follow what is held now.
  if (held_ != at) {
    const int end = start_ + held_;
    const int keep = std::min(got, kBufferCapacity - end);
    std::memmove(buffer_ + end, buffer_ + at, size_t(keep));
    held_ = uint16_t(held_ + keep);
    received_ += uint64_t(keep);
  } else {
    held_ = uint16_t(at + got);
    received_ += uint64_t(got);
  }
}

bool TSockets::GiveUp(std::string& rest) {
  rest.assign(buffer_ + start_, size_t(std::min<int>(held_, kGiveUpBytes)));
  held_ = 0;
  start_ = 0;
  NoReply = true;
  return false;
}

std::string TSockets::GetText() {
  std::string line;
  GetLine(line);
  return line;
}

bool TSockets::GetLine(std::string& line) {
  NoReply = false;
  if (handle_ == winsock::INVALID_SOCKET) {
    NoReply = true;
    line.clear();
    return false;
  }
  InGetText inGetText(*this);
  // Each pass finds a line, adds received bytes toward the fill limit, or
  // ends with State leaving 1 (errors, time-outs, the peer closing).
  for (;;) {
    bool found = false;
    const char* held = buffer_ + start_;
    if (const void* lf = std::memchr(held, '\n', held_)) {
      const int p = int(static_cast<const char*>(lf) - held);
      line.assign(held, size_t(p));
      if (std::memchr(line.data(), '\r', line.size()) != nullptr) std::erase(line, '\r');
      // The rest stays where it is; it moves to the front only when the
      // free space behind it is needed for a receive.
      held_ = uint16_t(held_ - p - 1);
      start_ = held_ == 0 ? 0 : uint16_t(start_ + p + 1);
      found = true;
    } else {
      if (held_ >= FillLimit()) return GiveUp(line);
      if (replyDeadline_ && Clock::now() >= *replyDeadline_) {
        // Passed between two receives: reported as if it had cut one short.
        TimedOut();
        ReportSocketError("GetText (Recv)", winsock::WSAEINTR);
        return GiveUp(line);
      }
      ReceiveStep();
      plat::PumpIfDue();
    }
    if (State != 1) return GiveUp(line);
    if (found) return true;
  }
}

uint32_t TSockets::Waiting() {
  uint32_t waiting = 0;
  if (handle_ == winsock::INVALID_SOCKET || ws_->ioctlsocket(handle_, winsock::FIONREAD, &waiting) != 0) return 0;
  return waiting;
}

bool TSockets::HasUnread() { return held_ > 0 || Waiting() > 0; }

uint64_t TSockets::Arrived() { return received_ + Waiting(); }

std::string TSockets::LocalAddress() {
  if (ipv6_) {
    winsock::SockAddr local;
    ws_->getsocknameAddr(handle_, local);
    return ws_->inet_ntop(local);
  }
  winsock::SockAddrIn local;
  int length = sizeof local;
  ws_->getsockname(handle_, &local, &length);
  return ws_->inet_ntoa(local.sin_addr);
}

void TSockets::Close() {
  State = 0;
  if (handle_ == winsock::INVALID_SOCKET) {
    // Closed already: nothing to close and nothing to report.
    held_ = start_ = 0;
    tls_ = ipv6_ = false;
    ClearReplyDeadline();
    return;
  }
  if (NonBlocking) ws_->WSAAsyncSelect(handle_, window_.get(), kNotifyMessage, 0);
  if (ws_->WSAIsBlocking()) ws_->WSACancelBlockingCall();
  ws_->shutdown(handle_, winsock::SD_BOTH);
  const winsock::Linger abortive{1, 0};
  ws_->setsockopt(handle_, winsock::SOL_SOCKET, winsock::SO_LINGER, reinterpret_cast<const char*>(&abortive),
                  sizeof abortive);
  if (ws_->closesocket(handle_) != 0) ReportSocketError("DiOpen (closesocket)", ws_->WSAGetLastError());
  handle_ = winsock::INVALID_SOCKET;
  State = 0;
  held_ = 0;
  start_ = 0;
  tls_ = false;
  ipv6_ = false;
  ClearReplyDeadline();
  if (callDepth_ == 0 && timerArmed_) {
    window_->killTimer(kWatchdogTimerId);
    timerArmed_ = false;
  }
}

void TSockets::SetReplyDeadline(Clock::time_point deadline) { replyDeadline_ = deadline; }

void TSockets::ClearReplyDeadline() { replyDeadline_.reset(); }

void TSockets::Arm(Clock::time_point due) {
  if (timerArmed_ && timerDue_ <= due) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
  window_->setTimer(kWatchdogTimerId, unsigned(std::clamp<long long>(left, 0, INT_MAX)));
  timerArmed_ = true;
  timerDue_ = due;
}

void TSockets::TimerFired() {
  window_->killTimer(kWatchdogTimerId);
  timerArmed_ = false;
  const Clock::time_point now = Clock::now();
  const bool callOver = callDepth_ > 0 && now >= callDeadline_;
  const bool replyOver = getTextDepth_ > 0 && replyDeadline_ && now >= *replyDeadline_;
  if ((callOver || replyOver) && ws_->WSAIsBlocking()) return TimedOut();
  // Early (a clamped wait, or armed for a call that has ended): wait on for
  // what is still ahead.
  if (callDepth_ > 0 && callDeadline_ > now) Arm(callDeadline_);
  if (getTextDepth_ > 0 && replyDeadline_ && *replyDeadline_ > now) Arm(*replyDeadline_);
}

void TSockets::TimedOut() {
  if (ws_->WSAIsBlocking()) ws_->WSACancelBlockingCall();
  if (quietAttempt_) return;
  if (OnErrorOccurred) {
    Fire(OnErrorOccurred, this, kTimedOut, std::string(kTimedOutText));
  } else {
    ReportSocketError("Error " + std::to_string(kTimedOut) + "\r\n" + kTimedOutText, 0);
  }
}

void TSockets::Notification(std::uintptr_t wParam, std::intptr_t lParam) {
  const auto socket = int32_t(wParam);
  // Notifications still queued for a socket closed since are stale.
  if (socket != handle_) return;
  const long event = long(lParam & 0xFFFF);
  const int32_t error = int32_t((lParam >> 16) & 0xFFFF);
  if (error > 10000) return ReportSocketError(EventName(event), error);
  switch (event) {
    case winsock::FD_READ:
      Fire(OnDataAvailable, this, socket);
      break;
    case winsock::FD_WRITE:
      Fire(OnDataNeeded, this, socket);
      break;
    case winsock::FD_CONNECT:
      Fire(OnSessionConnected, this, socket);
      State = 1;
      break;
    case winsock::FD_CLOSE:
      Fire(OnSessionClosed, this, socket);
      State = 0;
      break;
    default: break;
  }
}

std::intptr_t TSockets::WndProc(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (msg == plat::WM_TIMER) {
    TimerFired();
    return 0;
  }
  if (msg == kNotifyMessage) {
    Notification(wParam, lParam);
    return 0;
  }
  return plat::DefWindowProc(msg, wParam, lParam);
}

void TSockets::ReportSocketError(const std::string& context, int32_t error) {
  Report(context, error, error == winsock::WSAETLS ? ws_->TlsErrorText() : SocketErrorText(error));
}

void TSockets::Report(const std::string& context, int32_t error, const std::string& text) {
  State = 3;
  if (OnErrorOccurred) return Fire(OnErrorOccurred, this, error, text);
  plat::MessageBox("Error " + std::to_string(error) + " in Function " + context + "\r\n" + text, "WINSOCK ERROR",
                   plat::MB_OKCANCEL);
  std::fflush(nullptr);
  std::exit(0);
}
