// Commands whose output is read: the first line and exit status, the first
// line of standard error, and the bounds in time and bytes (a command that
// outlives its bound is ended with what it started; input is /dev/null).
#include <gtest/gtest.h>

#include <chrono>

#include "platform/command.h"

namespace {

TEST(Commands, OutputStatusAndBounds) {
  using namespace std::chrono_literals;
  struct Case {
    const char* command;
    std::size_t maxBytes;
    std::string out, errLine;
    int exitStatus;
    bool timedOut, tooLong;
  };
  const Case cases[] = {
      {"echo s3cret; echo more", 100, "s3cret\nmore\n", "", 0, false, false},
      {"echo half; echo 'no such key' >&2; echo second >&2; exit 4", 100, "half\n", "no such key", 4, false, false},
      {"cat", 100, "", "", 0, false, false},  // input is /dev/null, never this program's
      {"head -c 70000 /dev/zero", 65536, "", "", -1, false, true},
      // The shell and what it started end together at the time bound.
      {"sleep 30 & sleep 30", 100, "", "", -1, true, false},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const plat::CommandOutcome run = plat::DefaultCommandService()->Run(c.command, 500ms, c.maxBytes);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << c.command;
    EXPECT_TRUE(run.started) << c.command;
    EXPECT_EQ(run.out, c.out) << c.command;
    EXPECT_EQ(run.errLine, c.errLine) << c.command;
    EXPECT_TRUE(c.timedOut || c.tooLong || run.exitStatus == c.exitStatus) << c.command;
    EXPECT_EQ(run.timedOut, c.timedOut) << c.command;
    EXPECT_EQ(run.tooLong, c.tooLong) << c.command;
    EXPECT_EQ(run.Succeeded(), c.exitStatus == 0 && !c.timedOut && !c.tooLong) << c.command;
  }
}

}  // namespace
