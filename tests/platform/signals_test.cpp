// Close signals arrive as callbacks on the GUI thread through the event loop,
// and the previous actions come back when the catcher goes away.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <csignal>
#include <vector>

#include "platform/signals.h"

namespace {

bool g_previousRan = false;
void PreviousHandler(int) { g_previousRan = true; }

void PumpUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 1000 && !done(); ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

}  // namespace

TEST(CloseSignals, TermAndIntAreDeliveredThroughTheEventLoop) {
  std::vector<int> got;
  {
    plat::CloseSignals catcher([&](int sig) { got.push_back(sig); });
    ASSERT_TRUE(catcher.Active());
    // A second catcher cannot take the signals over.
    plat::CloseSignals second([](int) {});
    EXPECT_FALSE(second.Active());

    std::raise(SIGTERM);
    std::raise(SIGINT);
    EXPECT_TRUE(got.empty());  // nothing runs inside the signal handler
    PumpUntil([&] { return got.size() == 2; });
  }
  EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGINT}));
}

TEST(CloseSignals, PreviousActionIsRestored) {
  struct sigaction mine {}, old {};
  mine.sa_handler = PreviousHandler;
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(::sigaction(SIGTERM, &mine, &old), 0);
  {
    plat::CloseSignals catcher([](int) {});
    ASSERT_TRUE(catcher.Active());
  }
  g_previousRan = false;
  std::raise(SIGTERM);
  EXPECT_TRUE(g_previousRan);
  ::sigaction(SIGTERM, &old, nullptr);
}
