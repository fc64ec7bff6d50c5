// The message plumbing: posted messages and the pump that skips idle passes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <chrono>
#include <vector>

#include "platform/msgwindow.h"

namespace {

// Counts the custom events Qt delivers to it.
class Counter : public QObject {
 public:
  int seen = 0;
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    ++seen;
    return true;
  }
};

// A posted message never waits for the next due pump: the socket layer's
// notifications must reach their window right after the receive that caused
// them. A plain Qt event right after a pump may wait for the next one.
TEST(PumpIfDue, DeliversPostedMessagesAtOnceAndSkipsAnIdlePassOtherwise) {
  std::vector<unsigned> got;
  plat::HiddenWindow window([&](unsigned msg, plat::WParam, plat::LParam) {
    got.push_back(msg);
    return plat::LResult(0);
  });
  plat::PumpOnce();
  window.post(plat::WM_USER + 1, 0, 0);
  plat::PumpIfDue();
  EXPECT_EQ(got, std::vector<unsigned>{plat::WM_USER + 1});

  // Delivered and discarded messages both stop counting as waiting.
  {
    plat::HiddenWindow gone([](unsigned, plat::WParam, plat::LParam) { return plat::LResult(0); });
    gone.post(plat::WM_USER, 0, 0);
  }
  Counter counter;
  const auto start = std::chrono::steady_clock::now();
  plat::PumpOnce();
  QCoreApplication::postEvent(&counter, new QEvent(QEvent::User));
  plat::PumpIfDue();
  if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2)) {
    EXPECT_EQ(counter.seen, 0);
  }
  for (int i = 0; i < 1000 && counter.seen == 0; ++i) plat::WaitForEvents();
  EXPECT_EQ(counter.seen, 1);
}

}  // namespace
