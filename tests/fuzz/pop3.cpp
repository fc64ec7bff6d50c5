// The POP3 conversation of a receive pass over a played server: greeting,
// CAPA, the login, STAT, the UIDL and LIST listings, the messages (the dot
// rules, headers, MAXSIZE, pipelining) and their filing into a scratch
// directory. Input: a byte choosing the pieces, a byte choosing MAXSIZE,
// DELETEALL and the login (USER/PASS, or AUTH by a mechanism), then all the
// server says.
#include <filesystem>
#include <set>
#include <sstream>

#include "app/pop3_session.h"
#include "fuzz/harness.h"

namespace {

std::vector<std::string> Lines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : bytes) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  zvfuzz::StartQt();
  static const zvfuzz::ScratchDir dir;
  const std::string in = dir.ClearWith("in");
  static constexpr uint64_t kMaxSizes[] = {0, 1, 40, 300, 5000, 100000000};
  const uint64_t maxSize = kMaxSizes[data[1] % std::size(kMaxSizes)];
  const bool deleteAll = data[1] & 0x80;
  const std::string_view stream = zvfuzz::Bytes(data + 2, size - 2);
  std::size_t deletes = 0;
  {
    zvfuzz::PlayedHost host(stream, data[0]);
    host.config.IN = in;
    host.config.USERNAME = "u";
    host.config.PASSWORD = "p";
    host.config.ROBOT = "robot";
    host.config.DELETEALL = deleteAll;
    TPop3Options options;
    options.programDir = dir.path();
    options.server = "127.0.0.1:110";
    options.maxSize = maxSize;
    static constexpr TAuthMech kMechanisms[] = {TAuthMech::Default, TAuthMech::User, TAuthMech::Plain,
                                                TAuthMech::XOAuth2, TAuthMech::OAuthBearer};
    options.mechanism = kMechanisms[(data[1] >> 3) % 8 % std::size(kMechanisms)];
    options.token = IsTokenMech(options.mechanism);
    options.password = "p";
    options.freshToken = [](std::string& token) { return token = "fresh-token", true; };
    TPop3Session session(host, options);
    session.Run();
    for (const std::string& c : host.commands) deletes += c.compare(0, 5, "DELE ") == 0;
  }

  std::set<std::string> received;
  for (std::string& line : Lines(stream)) received.insert(std::move(line));
  std::size_t pairs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(in)) {
    const std::string name = entry.path().filename().string();
    zvfuzz::Require(name.size() == 12 && (name.ends_with(".TXT") || name.ends_with(".WRK")),
                    "a pass leaves only numbered pairs");
    if (name.ends_with(".TXT")) continue;
    ++pairs;
    zvfuzz::Require(zvfuzz::ReadWhole(in + name) == "zvmailer_windows\nrobot@zorvik\nrobot@zorvik\n",
                    "an envelope names the robot");
    const std::string text = zvfuzz::ReadWhole(in + name.substr(0, 8) + ".TXT");
    zvfuzz::Require(maxSize == 0 || text.size() <= maxSize, "no text filed is larger than MAXSIZE");
    for (const std::string& line : Lines(text))
      zvfuzz::Require(line.empty() || received.count(line) || received.count("." + line),
                      "every line filed came in so, or with a stuffed dot");
  }
  zvfuzz::Require(deleteAll || deletes <= pairs, "without DELETEALL nothing is deleted that was not filed");

  // The id record names each number once, and only pairs that are there.
  std::istringstream record(zvfuzz::ReadWhole(dir.path() + "ZVMAIL32.UID"));
  std::set<std::string> numbers;
  for (std::string verb, number, rest; record >> verb;) {
    std::getline(record, rest);
    if (verb != "filed") continue;
    number = rest.substr(1, 8);
    zvfuzz::Require(numbers.insert(number).second, "no two ids are recorded under one number");
    zvfuzz::Require(std::filesystem::exists(in + number + ".WRK"), "an id recorded as filed has its pair");
  }
  return 0;
}
