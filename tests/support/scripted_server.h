// ScriptedServer: a loopback line server for protocol tests. It runs on its
// own thread, accepts connections one after another, records every byte each
// connection sent, and answers from a script: a greeting sent on accept, then
// a handler that maps each received line (LF-terminated, CR removed) to reply
// lines and an action. Tests read the transcript through the thread-safe
// accessors and wait for a connection to finish with a bounded wait.
//
// With a certificate set, a connection can change to TLS as a server after
// a reply (Action::StartTls) or run TLS from the accept (SetImplicitTls);
// lines are then read and answered, and recorded, over TLS as before. It
// listens on an IPv4 or an IPv6 loopback address.
//
// Error convention: Start() returns false when the socket cannot be bound;
// accessors never throw. The handler runs on the server thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;

namespace zvtest {

class ScriptedServer {
 public:
  enum class Action {
    Continue,  // keep reading and answering
    Close,     // close the connection after sending the reply
    Reset,     // abortive close (RST) after sending the reply
    Silent,    // send the reply, then keep reading but never answer again
    StartTls,  // send the reply in the clear, then the server's side of the
               // TLS handshake (bytes that came before it are dropped); a
               // failed handshake closes the connection
  };

  // What the server does in answer to the greeting or to one received line.
  struct Step {
    Step() = default;
    Step(std::vector<std::string> l, std::string r = {}, Action a = Action::Continue)
        : lines(std::move(l)), raw(std::move(r)), action(a) {}
    Step(std::vector<std::string> l, Action a) : lines(std::move(l)), action(a) {}

    std::vector<std::string> lines;  // each sent followed by CR LF
    std::string raw;                 // sent as it stands, after the lines
    Action action = Action::Continue;
    // Before answering, wait this long for bytes the client might send
    // ahead of the answer (0: only look at what has arrived already).
    std::chrono::milliseconds watchAhead{0};
    // The lines go out one by one this far apart (0: together), as from a
    // server that trickles.
    std::chrono::milliseconds pace{0};
  };

  // Maps one received line of connection `connection` (counted from 0) to
  // the server's answer. An empty Step answers nothing.
  using Handler = std::function<Step(const std::string& line, std::size_t connection)>;

  // `address` is a dotted IPv4 or an IPv6 (no brackets) loopback address;
  // port 0 picks a free port.
  explicit ScriptedServer(std::string address = "127.0.0.1", uint16_t port = 0);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Set before Start(). The greeting is sent at every accept.
  void SetGreeting(Step greeting) { greeting_ = std::move(greeting); }
  void SetHandler(Handler handler) { handler_ = std::move(handler); }
  // The server's certificate (chain) and key, PEM files; needed for TLS.
  void SetCertificate(std::string certFile, std::string keyFile);
  // TLS from the accept: the handshake comes before the greeting.
  void SetImplicitTls(bool on) { implicitTls_ = on; }

  // Binds, listens and starts the thread; false also when a certificate was
  // set and cannot be loaded.
  bool Start();
  // Stops accepting, closes an open connection and joins the thread.
  void Stop();

  uint16_t Port() const { return port_; }
  const std::string& Address() const { return address_; }
  // "address:port" ("[address]:port" for IPv6), handy for a host:port
  // setting.
  std::string HostPort() const;

  // Number of connections accepted so far.
  std::size_t Connections() const;
  // Number of connections that have ended (peer closed or server closed).
  std::size_t FinishedConnections() const;
  // Raw bytes received on connection `i` (empty for an unknown index).
  std::string Received(std::size_t i) const;
  // Raw bytes of every connection, in order.
  std::string AllReceived() const;
  // Lines received on connection `i`, as passed to the handler.
  std::vector<std::string> Lines(std::size_t i) const;
  // Lines of connection `i` whose answer the client did not wait for: more
  // bytes had arrived before the server answered them.
  std::vector<std::string> SentAhead(std::size_t i) const;
  // Whether connection `i` completed a TLS handshake.
  bool UnderTls(std::size_t i) const;

  // Waits until at least `count` connections have finished, or the timeout.
  bool WaitFinished(std::size_t count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

 private:
  struct Conn {
    std::string bytes;
    std::vector<std::string> lines;
    std::vector<std::string> sentAhead;
    bool finished = false;
    bool tls = false;
  };
  struct Link;

  void Run();
  void Serve(int fd, std::size_t index);
  // Waits for `events` on fd, or a stop request: 1 ready, 0 after
  // `timeoutMs` (-1: no limit), -1 stopped or failed.
  int WaitFd(int fd, short events, int timeoutMs = -1) const;
  bool Handshake(Link& link, std::size_t index);
  long Read(Link& link, char* buf, std::size_t size);
  bool Write(Link& link, const std::string& bytes);
  bool MoreAhead(Link& link, std::chrono::milliseconds watch);
  bool SendStep(Link& link, const Step& step);

  std::string address_;
  uint16_t port_;
  Step greeting_;
  Handler handler_;
  std::string certFile_, keyFile_;
  bool implicitTls_ = false;
  ssl_ctx_st* tlsCtx_ = nullptr;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Conn> conns_;
};

}  // namespace zvtest
