// A pass conversation driven without a window: TPop3Session against a host
// that answers from an in-process mailbox instead of a socket, recording
// what the conversation shows and logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <set>

#include "app/pass_host.h"
#include "app/pop3_session.h"
#include "config/configfile.h"
#include "config/textutil.h"
#include "net/Sockets.h"
#include "support/testutil.h"

namespace {

using Lines = std::vector<std::string>;

// In a message, a line the socket gives up on (longer than its buffer).
const std::string kTooLongForTheSocket = "\x01(longer than the socket's buffer)";

// Answers POP3 commands from `messages` (lines as on the wire) as a server
// would, queueing the reply lines for the reads.
class MailboxHost : public TPassHost {
 public:
  MailboxHost() {
    sock_.State = 1;
    sock_.OnErrorOccurred = [this](TSockets*, int32_t e, const std::string&) { errors.push_back(e); };
    Queue({"+OK ready"});  // the greeting
  }

  std::vector<Lines> messages;
  std::string stat;  // the STAT reply; empty: "+OK <count> <sum of sizes>"
  TConfig config;
  Lines sent, shown, log;
  std::vector<int32_t> errors;  // reported by the socket

  TConfig& PassConfig() override { return config; }
  TSockets& PassSocket() override { return sock_; }
  void SendCommand(const std::string& command) override { Answer(command); }
  void SendSecretCommand(const std::string& command, const std::string&) override { Answer(command); }
  void QueueCommand(const std::string& command) override { Answer(command); }
  void FlushCommands() override {}
  void SendRaw(const std::string& bytes) override { Answer(bytes.substr(0, bytes.find('\r'))); }
  std::string& OutputQueue() override { return pending_; }
  bool ReadReply(std::string& reply, bool) override { return ReadDataLine(reply); }
  void BeginReply(std::chrono::milliseconds) override {}
  void EndReply() override {}
  bool ReadOK() override {
    std::string reply;
    return ReadDataLine(reply) && reply.compare(0, 3, "+OK") == 0;
  }
  uint16_t ReadCode() override { return 0; }
  uint16_t ReadCodeLines(Lines&) override { return 0; }
  bool ReadChallenge(std::string& line) override { return ReadDataLine(line); }
  uint16_t ReadDataEndCode(std::vector<std::string>&) override { return 0; }
  bool ReadDataLine(std::string& line) override {
    if (input_.empty()) return line.clear(), false;
    line = input_.front();
    input_.pop_front();
    return line != kTooLongForTheSocket;
  }
  void ReportError(const std::string& text) override { log.push_back(text); }
  void WriteLog(const std::string& text) override { log.push_back(text); }
  bool SaveConfig(std::string&) override { return true; }
  void NoteFailure(int) override {}
  std::string ServerName() const override { return "pop.example:110"; }
  void ShowCommand(const std::string& text) override { shown.push_back(text); }
  void ShowPercent(int) override {}
  void PumpEvents() override {}
  bool Stopping() const override { return false; }

 private:
  void Answer(const std::string& command) {
    sent.push_back(command);
    const auto [verb, arg] = SplitKeyValue(command);
    const int n = TextToNum(arg);
    std::size_t total = 0;
    std::vector<std::size_t> sizes;
    for (const Lines& m : messages) {
      sizes.push_back(0);
      for (const auto& l : m) sizes.back() += l.size() + 2;
      total += sizes.back();
    }
    if (verb == "STAT") {
      Queue({stat.empty() ? "+OK " + std::to_string(messages.size()) + " " + std::to_string(total) : stat});
    } else if (verb == "LIST") {
      Lines out{"+OK"};
      for (std::size_t i = 0; i < sizes.size(); ++i) out.push_back(std::to_string(i + 1) + " " + std::to_string(sizes[i]));
      out.push_back(".");
      Queue(out);
    } else if (verb == "RETR" && n >= 1 && n <= int(messages.size())) {
      Lines out{"+OK"};
      out.insert(out.end(), messages[std::size_t(n - 1)].begin(), messages[std::size_t(n - 1)].end());
      out.push_back(".");
      Queue(out);
    } else if (verb == "CAPA" || verb == "UIDL") {
      Queue({"-ERR"});
    } else {
      Queue({"+OK"});
    }
  }
  void Queue(const Lines& lines) { input_.insert(input_.end(), lines.begin(), lines.end()); }

  TSockets sock_;
  std::deque<std::string> input_;
  std::string pending_;
};

Lines Message(const std::string& subject, int bodyLines, std::size_t width = 10) {
  Lines m{"From: a", "To: b", "Subject: " + subject, ""};
  for (int i = 0; i < bodyLines; ++i) m.push_back(std::string(width, char('a' + i % 26)));
  return m;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The spinner of a long message starts at "/" and turns on from message to
// message, as the send pass's does.
TEST(Pop3Conversation, TheSpinnerRunsOnAcrossMessages) {
  zvtest::TempDir dir, program;
  MailboxHost host;
  host.messages = {Message("TRANSPORT", 150), Message("TRANSPORT", 150)};
  host.config.IN = dir.path();
  TPop3Options options;
  options.programDir = program.path();
  TPop3Session session(host, options);
  session.Run();
  EXPECT_EQ(host.shown, (Lines{"Sending password", "Receiving message.../", "Receiving message...-"}));
  EXPECT_EQ(Names(dir.path()).count("00000002.WRK"), 1u);
}

// A message larger than MAXSIZE is neither filed nor deleted: skipped by its
// size from LIST when the mailbox's total says one may be too large, or read
// past when a listed size was wrong. It is logged, and the next message is
// still fetched. One that goes on for more than MAXSIZE again is not read
// past without end: the connection is dropped, nothing deleted. Every byte
// read counts, also what is not filed.
TEST(Pop3Conversation, MessagesLargerThanMaxSizeStayOnTheServer) {
  const Lines wide = Message("TRANSPORT", 25, 40);
  Lines blanks(2500, "");
  for (const std::string& line : Message("TRANSPORT", 2)) blanks.push_back(line);
  Lines tooLong = Message("TRANSPORT", 1);
  tooLong.insert(tooLong.end(), 3, kTooLongForTheSocket);
  struct Case {
    const char* name;
    std::string stat;
    Lines commands;
    Lines first;          // the first message
    std::string filedAs;  // a number is drawn only for a message retrieved
  };
  const Lines readPast = {"CAPA", "USER u", "PASS p", "STAT", "UIDL", "RETR 1", "RETR 2", "DELE 2", "QUIT"};
  const Lines dropped = {"CAPA", "USER u", "PASS p", "STAT", "UIDL", "RETR 1"};
  const Case cases[] = {
      {"sizes from LIST", "", {"CAPA", "USER u", "PASS p", "STAT", "UIDL", "LIST", "RETR 2", "DELE 2", "QUIT"}, wide,
       "00000001"},
      {"read past", "+OK 2 100", readPast, wide, "00000002"},
      {"without end", "+OK 2 100", dropped, Message("TRANSPORT", 25, 100), ""},
      {"blank lines before the header", "+OK 2 100", dropped, blanks, ""},
      {"lines too long for the socket", "+OK 2 100", dropped, tooLong, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zvtest::TempDir dir, program;
    MailboxHost host;
    host.messages = {c.first, Message("TRANSPORT", 2)};
    host.stat = c.stat;
    host.config.IN = dir.path();
    host.config.USERNAME = "u";
    TPop3Options options;
    options.password = "p";
    options.programDir = program.path();
    options.maxSize = 1000;
    TPop3Session session(host, options);
    session.Run();
    EXPECT_EQ(host.sent, c.commands);
    const bool readPast = !c.filedAs.empty();
    EXPECT_EQ(std::count(host.log.begin(), host.log.end(), "Message 1 is larger than MAXSIZE; it is left on the server"),
              readPast ? 1 : 0);
    EXPECT_EQ(std::count(host.log.begin(), host.log.end(), "Message 1 not completed"), readPast ? 0 : 1);
    const std::set<std::string> filed =
        readPast ? std::set<std::string>{c.filedAs + ".TXT", c.filedAs + ".WRK"} : std::set<std::string>{};
    EXPECT_EQ(Names(dir.path()), filed);
  }
}

}  // namespace
