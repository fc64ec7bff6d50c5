// TSockets: a TCP client component over the platform's socket service.
// It opens one outgoing connection (IPv4 or IPv6), optionally under TLS,
// sends text, reads text line by line out of its own 16384-byte receive
// buffer, and reports every failure through one routine (ReportSocketError):
// the OnErrorOccurred event when assigned, otherwise the "WINSOCK ERROR" box,
// after which the program ends (code 0). A TLS failure comes as error
// winsock::WSAETLS with words naming the peer and the reason as Msg.
// Owners poll State (0 closed, 1 connected, 2 listening, 3 error) and may
// write it. All of it runs on the GUI thread; blocking calls pump the Qt
// event queue, so owner handlers may run inside Open, SetText and GetText.
//
// Data read from the peer is untrusted: GetText bounds every line by the
// buffer's fill limit and never writes past the buffer.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plat { class HiddenWindow; }
namespace winsock {
class Service;
struct SockAddr;
}  // namespace winsock

class TSockets;

using TDataAvailable = std::function<void(TSockets* Sender, int32_t Socket)>;
using TDataNeeded = std::function<void(TSockets* Sender, int32_t Socket)>;
using TSessionClosed = std::function<void(TSockets* Sender, int32_t Socket)>;
using TSessionAvailable = std::function<void(TSockets* Sender, int32_t Socket)>;
using TSessionConnected = std::function<void(TSockets* Sender, int32_t Socket)>;
using TErrorOccurred = std::function<void(TSockets* Sender, int32_t Error, const std::string& Msg)>;

// The error raised by Open for a port text that is neither a service name
// nor a decimal number: "'<text>' is not a valid integer value".
class EConvertError : public std::exception {
 public:
  explicit EConvertError(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }
 private:
  std::string msg_;
};

class TSockets {
 public:
  static constexpr int kBufferCapacity = 16384;
  static constexpr unsigned kWatchdogTimerId = 10;
  static constexpr unsigned kNotifyMessage = 1024;
  // Open tries at most this many addresses of a name.
  static constexpr size_t kMaxAddresses = 16;

  // Starts the socket service (version 1.1). `service` may be given by tests
  // to inject faults; null selects the platform's real service.
  explicit TSockets(std::shared_ptr<winsock::Service> service = nullptr);
  // Ends the socket service. Does not close a socket that is still open.
  ~TSockets();
  TSockets(const TSockets&) = delete;
  TSockets& operator=(const TSockets&) = delete;

  // Published properties with their initial values.
  bool NonBlocking = true;
  int32_t Timeout = 60;
  bool Authorized = false;
  int32_t BufferSize = 8192;
  TDataAvailable OnDataAvailable;
  TDataNeeded OnDataNeeded;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TErrorOccurred OnErrorOccurred;

  // Connection state: 0 closed, 1 connected, 2 listening, 3 error.
  uint8_t State = 0;
  // Set when the last GetText returned without a complete line.
  bool NoReply = false;

  // Connects to Address (host name, dotted IPv4, or IPv6 literal without
  // brackets) at Port (service name or decimal text). A socket still held
  // from before is closed first, silently. A name's addresses are
  // tried in the resolver's order (at most kMaxAddresses; only the first in
  // non-blocking mode), each with its own socket and watchdog; a failed one
  // is closed silently and only the last one's failure is reported. Failures
  // are reported; throws EConvertError for a port text that is neither a
  // service nor a number (or longer than 31). A port number outside
  // 0..65535 is reported as 10049; an address longer than 256 characters as
  // one that cannot be resolved.
  void Open(const std::string& Port, const std::string& Address);
  // Starts TLS as a client on the open connection (blocking mode): after the
  // server's go-ahead for STARTTLS / STLS, or right after Open for implicit
  // TLS. The certificate must be vouched for by the system's trust store or
  // the PEM file caFile (none when empty) and name peerName (the host name
  // or IP literal the owner connected to). Refused when the receive buffer
  // still holds bytes the server sent before the handshake. The handshake
  // runs under the watchdog. False after a failure, which is reported (a TLS
  // failure as winsock::WSAETLS with its words) with State 3; SetText and
  // GetText then go through TLS.
  bool StartTls(const std::string& peerName, const std::string& caFile = {});
  bool UnderTls() const { return tls_; }
  // What secured the connection last opened, once its TLS handshake
  // succeeded: "TLSv1.3, TLS_AES_256_GCM_SHA384, certificate verified for
  // mail.example.net"; empty when it never came under TLS. Kept after the
  // connection closes, until the next Open.
  const std::string& TlsSummary() const { return tlsSummary_; }
  bool IsIPv6() const { return ipv6_; }
  // A deadline (steady clock) for GetText as a whole, whatever trickles in:
  // when it passes during GetText, the blocking call is cancelled and
  // reported as a watchdog time-out (10060 "Blocking call timed out", then
  // the interrupted call's report), and GetText gives up. It stays until
  // cleared by the owner or by Close.
  void SetReplyDeadline(std::chrono::steady_clock::time_point deadline);
  void ClearReplyDeadline();
  // Sends Text unchanged in one send; nothing for an empty text or a socket
  // that is not open.
  void SetText(const std::string& Text);
  // Returns the next line without its LF and with every CR removed, or gives
  // up (NoReply set) with at most the first 250 held bytes.
  std::string GetText();
  // Bytes have come that no GetText has taken yet: held in the buffer, or
  // waiting at the socket (under TLS, protected ones).
  bool HasUnread();
  // Positions in the stream of bytes received: those GetText has taken (or
  // given up), and those that have come so far, held or waiting at the
  // socket (under TLS, at least those OpenSSL holds). A reply that begins
  // before what had come when its command went out came ahead of it.
  uint64_t Taken() const { return received_ - held_; }
  uint64_t Arrived();
  // The longest line GetText returns. A longer one is given up: at least
  // this many of its bytes are dropped, and the rest comes as the next line.
  int32_t LineLimit() const { return FillLimit(); }
  // GetText into `line`, whose storage is reused; true when a complete line
  // came (NoReply clear).
  bool GetLine(std::string& line);
  // Numeric local address of the connected socket ("127.0.0.1", "::1").
  std::string LocalAddress();
  // Abortive close (a TLS connection sends its close first, without waiting);
  // afterwards State is 0 and the handle -1. Closing a socket that is not
  // open does nothing and reports nothing.
  void Close();

  int32_t Handle() const { return handle_; }
  // The hidden window receiving notifications (message 1024) and the watchdog.
  plat::HiddenWindow& Window() { return *window_; }

 private:
  using Clock = std::chrono::steady_clock;
  class WatchedCall;
  class InGetText;

  std::intptr_t WndProc(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
  void ReportSocketError(const std::string& context, int32_t error);
  void Report(const std::string& context, int32_t error, const std::string& text);
  // One connection attempt; see Open.
  bool Attempt(const winsock::SockAddr& to, bool last);
  bool Abandon();
  // The timer behind the watchdog and the reply deadline: armed for the
  // earliest time that matters, checked and re-armed when it fires.
  void Arm(Clock::time_point due);
  void TimerFired();
  void TimedOut();
  void Notification(std::uintptr_t wParam, std::intptr_t lParam);
  // One receive into the buffer's free space below the fill limit.
  void ReceiveStep();
  int FillLimit() const;
  bool GiveUp(std::string& rest);
  // Bytes readable at the socket now, without waiting (0 when closed).
  uint32_t Waiting();

  std::shared_ptr<winsock::Service> ws_;
  std::unique_ptr<plat::HiddenWindow> window_;
  int32_t handle_ = -1;
  bool tls_ = false;
  std::string tlsSummary_;
  bool ipv6_ = false;
  // Watched blocking calls under way (handlers may nest them) and when the
  // innermost one times out.
  int callDepth_ = 0;
  Clock::time_point callDeadline_;
  bool quietAttempt_ = false;  // a time-out ends an attempt without a report
  int getTextDepth_ = 0;
  std::optional<Clock::time_point> replyDeadline_;
  bool timerArmed_ = false;
  Clock::time_point timerDue_;
  char buffer_[kBufferCapacity] = {};
  uint16_t held_ = 0;   // bytes held, starting at buffer_[start_]
  uint64_t received_ = 0;  // bytes put into the buffer since the socket was made
  uint16_t start_ = 0;
};

// The text for a socket error number; "Not a Winsock error" for any number
// without a text of its own.
std::string SocketErrorText(int32_t error);
