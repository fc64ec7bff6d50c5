#include <gtest/gtest.h>

#include "net/Sockets.h"

namespace {

struct TextCase {
  int32_t number;
  const char* text;
};

TEST(SocketErrorText, KnownAndUnknownNumbers) {
  const TextCase cases[] = {
      {10004, "Interrupted system call"},
      {10035, "Operation would block"},
      {10036, "Operation now in progress"},
      {10037, "Operation alReady in progress"},
      {10038, "Socket operation on non-socket"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10071, "Too many levels of remote in path"},
      {10091, "Network sub-system is unusable"},
      {10093, "WinSock not initialized"},
      {11001, "Host not found"},
      {11004, "No Data"},
      {0, "Not a Winsock error"},
      {-1, "Not a Winsock error"},
      {INT32_MIN, "Not a Winsock error"},
      {10000, "Not a Winsock error"},
      {10001, "Not a Winsock error"},
      {10072, "Not a Winsock error"},
      {10090, "Not a Winsock error"},
      {10101, "Not a Winsock error"},
      {11000, "Not a Winsock error"},
      {11005, "Not a Winsock error"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(SocketErrorText(c.number), c.text) << c.number;
}

TEST(SocketErrorText, ExactlyFiftyNumbersHaveTexts) {
  int withText = 0;
  for (int32_t n = -100; n <= 12000; ++n)
    if (SocketErrorText(n) != "Not a Winsock error") ++withText;
  EXPECT_EQ(withText, 50);
}

}  // namespace
