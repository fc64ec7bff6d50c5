// Small helpers shared by the tests: temporary directories, whole-file
// reads and writes, and running the built program as a child process.
#pragma once

#include <chrono>
#include <cstdint>
#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>

namespace zvtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The path with a trailing "/".
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Restores, when it goes, the working directory a test changes.
class CwdGuard {
 public:
  CwdGuard();
  ~CwdGuard();
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  std::string saved_;
};

// A line of a SASL transcript as the server reads it: "{...}" stands for the
// base64 of what it holds, with "~" for byte 0, "^" for byte 1 and PORT for
// `port`.
std::string SaslLine(const std::string& line, uint16_t port = 0);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

struct RunResult {
  int exitCode = -1;    // -1 when killed by a signal or timed out
  int signal = 0;       // the terminating signal, 0 if none
  bool timedOut = false;
  std::string out, err;
};

// Runs `program` with `args` (argv[0] is `argv0`, or the program when
// empty) in `cwd`, with `env` added to this process's environment, and
// waits at most `timeout`; a child still running then is killed.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env = {}, const std::string& cwd = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(60), const std::string& argv0 = {});

// A child process of the built program whose standard error is read as it
// comes, so a test can act when the program has reached a given point. The
// child is killed when the object goes, unless it was reaped.
class Child {
 public:
  Child(const std::string& program, const std::string& cwd, std::map<std::string, std::string> env,
        const std::vector<std::string>& args = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Reads standard error until `text` follows what the previous wait found,
  // or the end, or the timeout.
  bool WaitForErr(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits until the child has ended, without reaping it (its pid stays
  // taken, so a signal sent to it meanwhile can reach no other process).
  bool WaitForExit(std::chrono::milliseconds timeout);
  // Reads to the end of standard error and collects the exit status.
  bool Finish(int& status, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  int pid() const { return pid_; }
  const std::string& err() const { return err_; }

 private:
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  int pid_ = -1;
  int errFd_ = -1;
  bool reaped_ = false;
  std::string err_;
  std::size_t seen_ = 0;
};

// Whether process `pid` exists and has not ended (a zombie has ended).
bool ProcessRunning(int pid);
// Waits until `done` is true or `timeout` has passed, looking every 10 ms;
// the result of the last look.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Makes `dir` an instance directory of the built program: a link
// dir/zvmail32 -> the built program. Returns the link's path.
std::string LinkProgramInto(const std::string& dir);

// A server on 127.0.0.1 that accepts one connection and sends `line` every
// `every` until stopped (at most 30 s), for replies that never end.
class Trickler {
 public:
  Trickler(std::string line, std::chrono::milliseconds every);
  ~Trickler();
  Trickler(const Trickler&) = delete;
  Trickler& operator=(const Trickler&) = delete;
  uint16_t Port() const { return port_; }
  // Stops sending and returns what the client sent meanwhile.
  std::string Stop();

 private:
  uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::string received_;
  std::thread thread_;
};

// A TCP listener on 127.0.0.1 at a free port (stored in `port`); -1 when it
// cannot be set up.
int ListenOnLoopback(uint16_t& port);
// The same on ::1; -1 without IPv6.
int ListenOnIpv6Loopback(uint16_t& port);

}  // namespace zvtest
