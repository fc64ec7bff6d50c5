// TSockets: a TCP client component over the platform's socket service.
// It opens one outgoing IPv4 connection, sends text, reads text line by line
// out of its own 16384-byte receive buffer, and reports every failure through
// one routine (ReportSocketError): the OnErrorOccurred event when assigned,
// otherwise the "WINSOCK ERROR" box, after which the program ends (code 0).
// Owners poll State (0 closed, 1 connected, 2 listening, 3 error) and may
// write it. All of it runs on the GUI thread; blocking calls pump the Qt
// event queue, so owner handlers may run inside Open, SetText and GetText.
//
// Data read from the peer is untrusted: GetText bounds every line by the
// buffer's fill limit and never writes past the buffer.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace plat { class HiddenWindow; }
namespace winsock { class Service; }

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

  // Connects to Address (host name or dotted IPv4) at Port (service name or
  // decimal text). Failures are reported; throws EConvertError for a port
  // text that is neither a service nor a number (or longer than 31). A port
  // number outside 0..65535 is reported as 10049; an address longer than 256
  // characters as one that cannot be resolved.
  void Open(const std::string& Port, const std::string& Address);
  // Sends Text unchanged in one send; nothing for an empty text.
  void SetText(const std::string& Text);
  // Returns the next line without its LF and with every CR removed, or gives
  // up (NoReply set) with at most the first 250 held bytes.
  std::string GetText();
  // Dotted local address of the connected socket.
  std::string LocalAddress();
  // Abortive close; afterwards State is 0 and the handle -1.
  void Close();

  int32_t Handle() const { return handle_; }
  // The hidden window receiving notifications (message 1024) and the watchdog.
  plat::HiddenWindow& Window() { return *window_; }

 private:
  std::intptr_t WndProc(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
  void ReportSocketError(const std::string& context, int32_t error);
  // The watchdog around one blocking call (blocking mode only).
  void StartWatchdog();
  void StopWatchdog();
  void WatchdogFired();
  void Notification(std::uintptr_t wParam, std::intptr_t lParam);
  // One receive into the buffer's free space below the fill limit.
  void ReceiveStep();
  int FillLimit() const;
  std::string GiveUp();

  std::shared_ptr<winsock::Service> ws_;
  std::unique_ptr<plat::HiddenWindow> window_;
  int32_t handle_ = -1;
  uint16_t remotePort_ = 0;     // network order
  uint32_t remoteAddress_ = 0;  // network order
  char buffer_[kBufferCapacity] = {};
  uint16_t held_ = 0;   // bytes held, starting at buffer_[start_]
  uint16_t start_ = 0;
};

// The text for a socket error number; "Not a Winsock error" for any number
// without a text of its own.
std::string SocketErrorText(int32_t error);
