// Requests from outside the program: SIGTERM and SIGINT (stop) and SIGHUP
// (read the configuration again) are caught and handed to a callback on the
// GUI thread through the event loop (the signal handler only writes to a
// pipe that a socket notifier watches). A signal that arrives while the
// thread is busy or blocked is delivered the next time events are processed;
// several pending ones are each delivered, unless ExitOnSecondSignal asked
// that a second stop signal end the process at once (SIGHUP never counts).
//
// Error convention: when the pipe cannot be made, Active() is false and the
// signals keep their previous actions; nothing throws.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace plat {

class CloseSignals {
 public:
  using Handler = std::function<void(int signal)>;

  // Catches SIGTERM, SIGINT and SIGHUP until destruction. Only one instance
  // can be active at a time; a second one stays inactive.
  explicit CloseSignals(Handler handler);
  // Restores the actions the signals had before.
  ~CloseSignals();
  CloseSignals(const CloseSignals&) = delete;
  CloseSignals& operator=(const CloseSignals&) = delete;

  bool Active() const { return active_; }
  // From now on, a stop signal that comes while an earlier one was taken
  // ends the process at once (from inside the signal handler) with
  // `status`: the user insists. Only what is safe at any moment may rely on
  // this.
  void ExitOnSecondSignal(int status);

 private:
  void Deliver();

  Handler handler_;
  bool active_ = false;
  std::unique_ptr<QSocketNotifier> notifier_;
};

// "SIGTERM", "SIGHUP", ...: the signal's name.
std::string SignalName(int signal);

}  // namespace plat
