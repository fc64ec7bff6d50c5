// The UIDL and LIST listings of a receive pass, told by a played server
// whose messages are all left on it (not for Zorvik, or larger than
// MAXSIZE 500), so the id record shows the id each message was handled by.
// Input: a byte giving the number of messages (1 to 8), then per listing
// line a byte for its message number (0 or past the count: not a message)
// and a byte for its id ("id0" to "id7") and size (a hundred bytes a step);
// even bytes of the second go to UIDL, odd ones to LIST. An id given to two
// or more messages counts for none of them (a listing is read as far as it
// has a line per message).
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "app/pop3_session.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  zvfuzz::StartQt();
  static const zvfuzz::ScratchDir dir;
  dir.Clear();
  const int count = data[0] % 8 + 1;
  std::string uidl = "+OK\r\n", list = "+OK\r\n";
  std::map<int, std::string> firstId;
  int uidlLines = 0;
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    const int number = data[i] % 10;
    const std::string line = std::to_string(number) + " ";
    if (data[i + 1] % 2 == 0) {
      const std::string id = "id" + std::to_string(data[i + 1] / 2 % 8);
      uidl += line + id + "\r\n";
      if (number >= 1 && number <= count && uidlLines < count) firstId.emplace(number, id);
      ++uidlLines;
    } else {
      list += line + std::to_string(data[i + 1] / 2 * 100) + "\r\n";
    }
  }
  std::string stream = "+OK\r\n-ERR\r\n+OK\r\n+OK\r\n+OK " + std::to_string(count) + " 99999\r\n" + uidl +
                       ".\r\n" + list + ".\r\n";
  for (int n = 0; n < count; ++n) stream += "+OK\r\nFrom: a\r\n.\r\n";
  stream += "+OK\r\n";
  {
    zvfuzz::PlayedHost host(stream, 0);
    host.config.IN = dir.path();
    host.config.USERNAME = "u";
    host.config.ROBOT = "robot";
    TPop3Options options;
    options.programDir = dir.path();
    options.server = "127.0.0.1:110";
    options.maxSize = 500;
    TPop3Session session(host, options);
    session.Run();
  }

  std::map<std::string, int> numbersOf;
  for (const auto& [number, id] : firstId) ++numbersOf[id];
  std::istringstream record(zvfuzz::ReadWhole(dir.path() + "ZVMAIL32.UID"));
  for (std::string line; std::getline(record, line);) {
    if (line.compare(0, 5, "left ") != 0) continue;
    // "left other <id>", "left large <id> <size>"
    std::istringstream words(line);
    std::string left, kind, id;
    words >> left >> kind >> id;
    zvfuzz::Require(numbersOf[id] == 1, "an id given to two or more messages counts for none of them");
  }
  return 0;
}
