// Test peers on 127.0.0.1: a listener on an ephemeral port whose script runs
// on its own thread against the first accepted connection. Every wait is
// bounded, so a faulty client makes a test fail instead of hang.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A one-shot signal between the test thread and a server thread.
class Gate {
 public:
  void Open();
  // False when the gate stayed shut for `ms` milliseconds.
  bool Wait(int ms = 10000);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

// The server's side of the accepted connection.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
  void Send(const std::string& bytes);
  // Up to n bytes: fewer when the client closes or nothing comes for 10 s.
  std::string Read(size_t n);
  // Everything until the client closes (bounded by 10 s of silence).
  std::string ReadToEnd();
  // Orderly close, or an abortive one that makes the client see a reset.
  void Close();
  void Reset();

 private:
  int fd_;
  const std::atomic<bool>& stop_;
};

class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // Accepts one client on the server thread and runs `script` with it; the
  // connection is closed when the script returns.
  void Serve(std::function<void(LoopbackPeer&)> script);
  // Waits for the script to end; false on time-out.
  bool Finished(int ms = 10000);

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  Gate done_;
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
uint16_t ClosedPort();

// A listener on 127.0.0.1 at `port` whose backlog one queued connection
// fills: the kernel drops further connection requests, so a connect there
// hangs until the client gives up.
class FullListener {
 public:
  explicit FullListener(uint16_t port);
  ~FullListener();
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;
  // False when the port could not be bound or filled.
  bool Ready() const { return ready_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  bool ready_ = false;
};
