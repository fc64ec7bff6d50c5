// Window-message plumbing: the stand-in for the hidden windows, posted
// messages, window timers and registered message names that components use
// for notifications. Everything runs on the GUI thread and is delivered by the
// Qt event loop, so a message arrives only while someone pumps the queue.
//
// Error convention: operations return false / 0 on failure; nothing throws.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace plat {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

constexpr unsigned WM_TIMER = 0x0113;
constexpr unsigned WM_USER = 0x0400;

// A hidden window: the target of posted messages and of timers, with one
// handler that receives (message, wParam, lParam). Messages and timers still
// pending when the window is destroyed are dropped, never delivered.
class HiddenWindow : public QObject {
 public:
  using Handler = std::function<LResult(unsigned msg, WParam wParam, LParam lParam)>;

  explicit HiddenWindow(Handler handler);
  ~HiddenWindow() override;

  // Queues a message; the handler runs when the event loop next dispatches.
  void post(unsigned msg, WParam wParam, LParam lParam);
  // Calls the handler at once (the window procedure called directly).
  LResult send(unsigned msg, WParam wParam, LParam lParam);
  // Starts or restarts window timer `id`: every `ms` milliseconds the handler
  // receives WM_TIMER with wParam = id, until killTimer.
  bool setTimer(unsigned id, unsigned ms);
  bool killTimer(unsigned id);

 protected:
  bool event(QEvent* e) override;
  void timerEvent(QTimerEvent* e) override;

 private:
  Handler handler_;
  std::map<unsigned, int> timers_;  // window timer id -> Qt timer id
};

// Default processing of a message nobody handles.
inline LResult DefWindowProc(unsigned, WParam, LParam) { return 0; }

// Registered message names: the same name always gives the same id in
// 0xC000..0xFFFF; an empty name gives 0 (failure).
unsigned RegisterWindowMessage(const std::string& name);

// Processes every pending event once and returns without waiting.
void PumpOnce();
// PumpOnce when a posted message is waiting or the queue was last pumped or
// waited on 2 ms ago or more: for steps repeated thousands of times a second
// (one per reply or received block), where a pass over the queue would cost
// more than the step. Timers and input wait at most 2 ms longer for it.
void PumpIfDue();
// Sleeps in the event loop until at least one event has been processed.
void WaitForEvents();

}  // namespace plat
