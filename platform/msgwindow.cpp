#include "platform/msgwindow.h"

#include <chrono>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimerEvent>

namespace plat {
namespace {

const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::registerEventType());

// Messages posted and not yet delivered or discarded.
int g_postedWaiting = 0;

class PostedMessage : public QEvent {
 public:
  PostedMessage(unsigned m, WParam w, LParam l) : QEvent(kPostedMessage), msg(m), wParam(w), lParam(l) {
    ++g_postedWaiting;
  }
  ~PostedMessage() override { --g_postedWaiting; }
  PostedMessage(const PostedMessage&) = delete;
  PostedMessage& operator=(const PostedMessage&) = delete;
  unsigned msg;
  WParam wParam;
  LParam lParam;
};

}  // namespace

HiddenWindow::HiddenWindow(Handler handler) : handler_(std::move(handler)) {}

HiddenWindow::~HiddenWindow() {
  for (auto& [id, qtId] : timers_) QObject::killTimer(qtId);
  // Qt removes events still posted to this object when it is destroyed.
}

void HiddenWindow::post(unsigned msg, WParam wParam, LParam lParam) {
  QCoreApplication::postEvent(this, new PostedMessage(msg, wParam, lParam));
}

LResult HiddenWindow::send(unsigned msg, WParam wParam, LParam lParam) {
  return handler_ ? handler_(msg, wParam, lParam) : DefWindowProc(msg, wParam, lParam);
}

bool HiddenWindow::setTimer(unsigned id, unsigned ms) {
  killTimer(id);
  int qtId = startTimer(static_cast<int>(ms), Qt::PreciseTimer);
  if (qtId == 0) return false;
  timers_[id] = qtId;
  return true;
}

bool HiddenWindow::killTimer(unsigned id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  QObject::killTimer(it->second);
  timers_.erase(it);
  return true;
}

bool HiddenWindow::event(QEvent* e) {
  if (e->type() == kPostedMessage) {
    auto* m = static_cast<PostedMessage*>(e);
    send(m->msg, m->wParam, m->lParam);
    return true;
  }
  return QObject::event(e);
}

void HiddenWindow::timerEvent(QTimerEvent* e) {
  for (auto& [id, qtId] : timers_) {
    if (qtId == e->timerId()) {
      send(WM_TIMER, id, 0);
      return;
    }
  }
}

unsigned RegisterWindowMessage(const std::string& name) {
  static std::map<std::string, unsigned> table;
  if (name.empty()) return 0;
  auto [it, added] = table.emplace(name, 0xC000u + static_cast<unsigned>(table.size()));
  return it->second;
}

namespace {
constexpr auto kPumpInterval = std::chrono::milliseconds(2);
std::chrono::steady_clock::time_point g_lastPump;
}  // namespace

void PumpOnce() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  g_lastPump = std::chrono::steady_clock::now();
}

void PumpIfDue() {
  if (g_postedWaiting > 0 || std::chrono::steady_clock::now() - g_lastPump >= kPumpInterval) PumpOnce();
}

void WaitForEvents() {
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  g_lastPump = std::chrono::steady_clock::now();
}

}  // namespace plat
