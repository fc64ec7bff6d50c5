// What the fuzz targets share: the Qt application the components' hidden
// windows and timers need, a socket service that plays a server from the
// fuzz input (its bytes arriving in pieces of varying size), scratch
// directories on a memory file system, and the check of a property.
//
// A target's input is its untrusted data; where a target plays a peer, the
// input's first byte chooses the sizes of the pieces and the rest is what the
// peer sends, so the corpus files read as transcripts.
#pragma once

#include <QCoreApplication>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "app/pass_host.h"
#include "app/replies.h"
#include "config/configfile.h"
#include "config/textutil.h"
#include "net/Sockets.h"
#include "platform/msgwindow.h"
#include "platform/session.h"
#include "platform/winsock.h"

namespace zvfuzz {

// Starts the Qt core application once; boxes answer themselves.
inline void StartQt() {
  static int argc = 1;
  static char name[] = "zvfuzz";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = [] {
    plat::SetHeadless(true);
    return new QCoreApplication(argc, argv);
  }();
  (void)app;
}

// A property of the code under test that must hold. A failure says which on
// standard error and aborts; libFuzzer then writes the input to a crash file.
inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "PROPERTY FAILED: %s\n", what);
  std::abort();
}

inline std::string_view Bytes(const uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Sizes of the pieces a peer's bytes arrive in: mostly 1 to 64 bytes, now
// and then up to 20000, drawn from a one-byte start value.
class Pieces {
 public:
  explicit Pieces(uint8_t start) : state_(uint32_t(start) * 2654435761u | 1u) {}
  std::size_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_ % 8 == 0 ? 1 + state_ / 8 % 20000 : 1 + state_ / 8 % 64;
  }

 private:
  uint32_t state_;
};

// A connection to a peer that sends `stream` and then closes. Everything
// the client sends is taken and counted; only connects to 127.0.0.1 reach.
class PlayedService : public winsock::Service {
 public:
  PlayedService(std::string_view stream, uint8_t piecesStart) : stream_(stream), pieces_(piecesStart) {}

  std::size_t sentBytes = 0;

  int WSAStartup(uint16_t, winsock::WSAData*) override { return 0; }
  int WSACleanup() override { return 0; }
  int WSAGetLastError() override { return winsock::WSAECONNRESET; }
  bool WSAIsBlocking() override { return false; }
  int WSACancelBlockingCall() override { return 0; }
  winsock::SOCKET socket(int, int, int) override { return 3; }
  int connect(winsock::SOCKET, const winsock::SockAddrIn*, int) override { return 0; }
  int bind(winsock::SOCKET, const winsock::SockAddrIn*, int) override { return 0; }
  int send(winsock::SOCKET, const char*, int len, int) override {
    sentBytes += std::size_t(len);
    return len;
  }
  int recv(winsock::SOCKET, char* buf, int len, int) override {
    Require(len > 0 && len <= TSockets::kBufferCapacity, "a receive asks for 1 to 16384 bytes");
    const std::size_t n = std::min({std::size_t(len), pieces_.Next(), stream_.size()});
    std::copy_n(stream_.data(), n, buf);
    stream_.remove_prefix(n);
    return int(n);
  }
  int closesocket(winsock::SOCKET) override { return 0; }
  int shutdown(winsock::SOCKET, int) override { return 0; }
  int ioctlsocket(winsock::SOCKET, long, uint32_t*) override { return 0; }
  int setsockopt(winsock::SOCKET, int, int, const char*, int) override { return 0; }
  int getsockname(winsock::SOCKET, winsock::SockAddrIn* name, int*) override {
    name->sin_family = winsock::AF_INET;
    name->sin_addr.S_addr = Loopback();
    return 0;
  }
  const winsock::HostEnt* gethostbyname(const std::string&) override { return nullptr; }
  const winsock::ServEnt* getservbyname(const std::string&, const std::string&) override { return nullptr; }
  const winsock::ProtoEnt* getprotobyname(const std::string&) override { return nullptr; }
  uint32_t inet_addr(const std::string& cp) override { return cp == "127.0.0.1" ? Loopback() : winsock::INADDR_NONE; }
  std::string inet_ntoa(winsock::InAddr) override { return "127.0.0.1"; }
  uint16_t(htons)(uint16_t v) override { return uint16_t(v >> 8 | v << 8); }
  int WSAAsyncSelect(winsock::SOCKET, plat::HiddenWindow*, unsigned, long) override { return 0; }
  // The handshake is played too: the bytes after it come as they stand.
  int StartTlsClient(winsock::SOCKET, const std::string&, const std::string&) override { return 0; }

 private:
  static uint32_t Loopback() {
    const uint8_t b[4] = {127, 0, 0, 1};
    uint32_t v;
    std::copy_n(b, 4, reinterpret_cast<uint8_t*>(&v));
    return v;
  }

  std::string_view stream_;
  Pieces pieces_;
};

// Opens `sock` in blocking mode, as the program does, to the played peer;
// failures are counted instead of ending the program.
inline void Connect(TSockets& sock, int& errors) {
  sock.NonBlocking = false;
  sock.OnErrorOccurred = [&errors](TSockets*, int32_t, const std::string&) { ++errors; };
  sock.Open("25", "127.0.0.1");
  Require(sock.State == 1, "the played peer is connected");
}

// A pass's host over a played connection: the exchange as the window does
// it, reply lines coming through the socket's line reader, without window,
// log or controls. It keeps the commands sent (the first 10000).
class PlayedHost : public TPassHost {
 public:
  PlayedHost(std::string_view stream, uint8_t piecesStart)
      : service_(std::make_shared<PlayedService>(stream, piecesStart)), sock_(service_) {
    Connect(sock_, socketErrors);
  }

  TConfig config;
  std::vector<std::string> commands;
  int socketErrors = 0;
  // Ends of a text ("." lines) handed to the socket, and replies to an end
  // read as acceptances after as many ends went out.
  int endsSent = 0, endsAccepted = 0;

  TConfig& PassConfig() override { return config; }
  TSockets& PassSocket() override { return sock_; }
  void SendCommand(const std::string& command) override {
    QueueCommand(command);
    FlushCommands();
  }
  void SendSecretCommand(const std::string& command, const std::string&) override { SendCommand(command); }
  void QueueCommand(const std::string& command) override {
    if (commands.size() < 10000) commands.push_back(command);
    if (sock_.State == 3) return pending_.clear();
    pending_ += command + "\r\n";
    // A chunk's text is not stuffed: the end is told by the command.
    if (command == "." || (command.starts_with("BDAT ") && command.ends_with(" LAST"))) ++endsQueued_;
  }
  void FlushCommands() override {
    if (sock_.State != 3 && !pending_.empty()) {
      endsSent += endsQueued_;
      sock_.SetText(pending_);
    }
    endsQueued_ = 0;
    pending_.clear();
  }
  bool ReadReply(std::string& reply, bool) override {
    if (sock_.State == 3) {
      reply.clear();
      return false;
    }
    return sock_.GetLine(reply);
  }
  bool ReadOK() override {
    std::string reply;
    ReadReply(reply, true);
    return UpperText(reply.substr(0, 3)) == "+OK";
  }
  uint16_t ReadCode() override {
    std::vector<std::string> lines;
    return ReadCodeLines(lines);
  }
  uint16_t ReadCodeLines(std::vector<std::string>& lines) override {
    return ReadSmtpReply([this](std::string& line) { return ReadReply(line, true); },
                         [this] { return sock_.State == 1; }, lines);
  }
  uint16_t ReadDataEndCode(std::vector<std::string>& lines) override {
    const uint16_t code = ReadCodeLines(lines);
    if (code / 100 == 2 && endsAccepted < endsSent) ++endsAccepted;
    return code;
  }
  bool ReadChallenge(std::string& line) override { return ReadReply(line, false); }
  bool ReadDataLine(std::string& line) override { return ReadReply(line, false); }
  void BeginReply(std::chrono::milliseconds) override {}
  void EndReply() override {}
  void SendRaw(const std::string& bytes) override { sock_.SetText(bytes); }
  std::string& OutputQueue() override { return pending_; }
  void ReportError(const std::string&) override {}
  void WriteLog(const std::string&) override {}
  bool SaveConfig(std::string&) override { return true; }
  void NoteFailure(int) override {}
  std::string ServerName() const override { return "127.0.0.1:25"; }
  void ShowCommand(const std::string&) override {}
  void ShowPercent(int) override {}
  void PumpEvents() override { plat::PumpOnce(); }
  bool Stopping() const override { return false; }

 private:
  std::shared_ptr<PlayedService> service_;
  TSockets sock_;
  std::string pending_;
  int endsQueued_ = 0;
};

// A directory for one target's files, on a memory file system where there
// is one (flushes cost nothing there), emptied by Clear and removed at exit.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zvfuzz.XXXXXX";
    Require(::mkdtemp(templ.data()) != nullptr, "a scratch directory can be made");
    path_ = templ + "/";
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The path with its trailing "/".
  const std::string& path() const { return path_; }
  void Clear() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) std::filesystem::remove_all(entry, ec);
  }
  // Clear, then a fresh subdirectory `name`; its path with a trailing "/".
  std::string ClearWith(const std::string& name) const {
    Clear();
    std::filesystem::create_directory(path_ + name);
    return path_ + name + "/";
  }

 private:
  std::string path_;
};

inline void WriteWhole(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  Require(f != nullptr, "a scratch file can be written");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

inline std::string ReadWhole(const std::string& path) {
  std::string bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
  std::fclose(f);
  return bytes;
}

}  // namespace zvfuzz
