// TAppExec: starts a program or batch file as a new process, optionally
// changes the current directory first and optionally waits until it has
// ended: without pumping events, or, with StopWaiting set, sleeping in the
// event loop until it ended or StopWaiting says to stop (the process and
// what it started are then sent SIGTERM). A failed start raises EAppExecWinExec, a failed
// directory change EAppExecChDir; both derive from EAppExec.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace proc { class Service; }

class EAppExec : public std::runtime_error {
 public:
  explicit EAppExec(const std::string& msg) : std::runtime_error(msg) {}
};
class EAppExecChDir : public EAppExec {
 public:
  using EAppExec::EAppExec;
};
class EAppExecWinExec : public EAppExec {
 public:
  using EAppExec::EAppExec;
};

enum TWindowState : uint8_t { wsNormal = 0, wsMinimized = 1, wsMaximized = 2 };

class TAppExec {
 public:
  // `service` may be given by tests; null selects the platform's service.
  explicit TAppExec(std::shared_ptr<proc::Service> service = nullptr);
  ~TAppExec();

  bool ChangeDir = true;
  std::string ExeName;
  std::vector<std::string> ExeParams;
  bool Wait = false;
  // Asked while a wait goes on: true ends the wait and the process.
  std::function<bool()> StopWaiting;

  int32_t ErrNo() const { return errNo_; }
  const std::string& ExePath() const { return exePath_; }
  // Stores a changed value, then drops one final "/" (unless the value is
  // "/") or one final "\" (unless the value is "\" or a drive root "C:\").
  void SetExePath(const std::string& path);
  TWindowState WindowState() const { return windowState_; }
  void SetWindowState(TWindowState state);
  uint16_t ShowCommand() const { return showCommand_; }

  // ErrNo -1, ExeName and ExePath empty, ExeParams emptied.
  void Clear();
  // Builds the command line (ExeName, quoted when it holds a blank, then each
  // of ExeParams after one blank, unquoted), changes to ExePath if asked,
  // starts, and waits if asked. A command line over 511 characters is refused
  // (EAppExecWinExec, nothing changed). A failed start sets ErrNo to the
  // platform's error number and raises its text ("Could not start <ExeName>:
  // error <n>" for a number without one); a waited process sets ErrNo to 0
  // when it has ended (its exit code is not read), or when the wait was
  // stopped.
  void Execute();
  // The text for ErrNo; empty for a number without a text.
  std::string ExecErrorText() const;

 private:
  std::shared_ptr<proc::Service> proc_;
  int32_t errNo_ = -1;
  std::string exePath_;
  TWindowState windowState_ = wsNormal;
  uint16_t showCommand_ = 1;
};
