#include "net/Sockets.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

  uint32_t address = ws_->inet_addr(Address);
  if (address == winsock::INADDR_NONE) {
    const winsock::HostEnt* host = Address.size() <= 256 ? ws_->gethostbyname(Address) : nullptr;
    if (host == nullptr || host->h_addr_list.empty()) return ReportSocketError("Cannot resolve " + Address, 0);
    address = host->h_addr_list.front().S_addr;
  }
  remotePort_ = port;
  remoteAddress_ = address;

  const winsock::ProtoEnt* proto = ws_->getprotobyname("tcp");
  handle_ = ws_->socket(winsock::AF_INET, winsock::SOCK_STREAM, proto != nullptr ? proto->p_proto : 0);
  if (handle_ < 0) ReportSocketError("Open (socket)", ws_->WSAGetLastError());

  if (Authorized) {
    for (int local = 1024; local >= 513; --local) {
      winsock::SockAddrIn a;
      a.sin_family = winsock::AF_INET;
      a.sin_port = (ws_->htons)(uint16_t(local));
      a.sin_addr.S_addr = winsock::INADDR_ANY;
      if (ws_->bind(handle_, &a, sizeof a) == 0) break;
      const int error = ws_->WSAGetLastError();
      if (error != winsock::WSAEADDRINUSE) ReportSocketError("Open bind()", error);
    }
  }

  if (NonBlocking) {
    if (ws_->WSAAsyncSelect(handle_, window_.get(), kNotifyMessage,
                            winsock::FD_READ | winsock::FD_WRITE | winsock::FD_CONNECT | winsock::FD_CLOSE) != 0)
      ReportSocketError("WSAAsyncSelect", ws_->WSAGetLastError());
  } else {
    uint32_t off = 0;
    ws_->ioctlsocket(handle_, winsock::FIONBIO, &off);
  }

  winsock::SockAddrIn remote;
  remote.sin_family = winsock::AF_INET;
  remote.sin_port = remotePort_;
  remote.sin_addr.S_addr = remoteAddress_;
  StartWatchdog();
  const int result = ws_->connect(handle_, &remote, sizeof remote);
  StopWatchdog();
  if (result == 0) {
    State = 1;
    return;
  }
  const int error = ws_->WSAGetLastError();
  if (error == winsock::WSAEWOULDBLOCK)
    State = 1;
  else
    ReportSocketError("Open", error);
}

void TSockets::SetText(const std::string& Text) {
  if (Text.empty()) return;
  StartWatchdog();
  const int sent = ws_->send(handle_, Text.data(), int(std::min<size_t>(Text.size(), INT_MAX)), 0);
  StopWatchdog();
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
  StartWatchdog();
  const int got = ws_->recv(handle_, buffer_ + at, limit - at, 0);
  StopWatchdog();
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
  } else {
    held_ = uint16_t(at + got);
  }
}

std::string TSockets::GiveUp() {
  std::string rest(buffer_ + start_, size_t(std::min<int>(held_, kGiveUpBytes)));
  held_ = 0;
  start_ = 0;
  NoReply = true;
  return rest;
}

std::string TSockets::GetText() {
  NoReply = false;
  if (handle_ == winsock::INVALID_SOCKET) {
    NoReply = true;
    return {};
  }
  // Each pass finds a line, adds received bytes toward the fill limit, or
  // ends with State leaving 1 (errors, time-outs, the peer closing).
  for (;;) {
    std::string line;
    bool found = false;
    const char* held = buffer_ + start_;
    if (const void* lf = std::memchr(held, '\n', held_)) {
      const int p = int(static_cast<const char*>(lf) - held);
      line.assign(held, size_t(p));
      if (line.find('\r') != std::string::npos) std::erase(line, '\r');
      // The rest stays where it is; it moves to the front only when the
      // free space behind it is needed for a receive.
      held_ = uint16_t(held_ - p - 1);
      start_ = held_ == 0 ? 0 : uint16_t(start_ + p + 1);
      found = true;
    } else {
      if (held_ >= FillLimit()) return GiveUp();
      ReceiveStep();
      plat::PumpIfDue();
    }
    if (State != 1) return GiveUp();
    if (found) return line;
  }
}

std::string TSockets::LocalAddress() {
  winsock::SockAddrIn local;
  int length = sizeof local;
  ws_->getsockname(handle_, &local, &length);
  return ws_->inet_ntoa(local.sin_addr);
}

void TSockets::Close() {
  State = 0;
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
}

void TSockets::StartWatchdog() {
  if (NonBlocking || Timeout <= 0) return;
  const long long ms = std::min<long long>(1000LL * Timeout, INT_MAX);
  window_->setTimer(kWatchdogTimerId, unsigned(ms));
}

void TSockets::StopWatchdog() {
  if (!NonBlocking) window_->killTimer(kWatchdogTimerId);
}

void TSockets::WatchdogFired() {
  window_->killTimer(kWatchdogTimerId);
  if (!ws_->WSAIsBlocking()) return;
  ws_->WSACancelBlockingCall();
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
    WatchdogFired();
    return 0;
  }
  if (msg == kNotifyMessage) {
    Notification(wParam, lParam);
    return 0;
  }
  return plat::DefWindowProc(msg, wParam, lParam);
}

void TSockets::ReportSocketError(const std::string& context, int32_t error) {
  State = 3;
  const std::string text = SocketErrorText(error);
  if (OnErrorOccurred) return Fire(OnErrorOccurred, this, error, text);
  plat::MessageBox("Error " + std::to_string(error) + " in Function " + context + "\r\n" + text, "WINSOCK ERROR",
                   plat::MB_OKCANCEL);
  std::fflush(nullptr);
  std::exit(0);
}
