// Close requests from outside the program: SIGTERM and SIGINT are caught and
// handed to a callback on the GUI thread through the event loop (the signal
// handler only writes to a pipe that a socket notifier watches). A signal
// that arrives while the thread is busy or blocked is delivered the next time
// events are processed; several pending ones are each delivered.
//
// Error convention: when the pipe cannot be made, Active() is false and the
// signals keep their previous actions; nothing throws.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace plat {

class CloseSignals {
 public:
  using Handler = std::function<void(int signal)>;

  // Catches SIGTERM and SIGINT until destruction. Only one instance can be
  // active at a time; a second one stays inactive.
  explicit CloseSignals(Handler handler);
  // Restores the actions the signals had before.
  ~CloseSignals();
  CloseSignals(const CloseSignals&) = delete;
  CloseSignals& operator=(const CloseSignals&) = delete;

  bool Active() const { return active_; }

 private:
  void Deliver();

  Handler handler_;
  bool active_ = false;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace plat
