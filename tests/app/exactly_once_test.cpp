// Exactly once against kills: the built program fetches from a scripted
// mailbox that keeps POP3's rules (DELE marks, QUIT removes, a dropped
// connection removes nothing) and is killed at random moments of its passes
// (repeatable by the random start value). After every run the incoming
// directory holds only whole pairs and no message twice; in the end every
// message was filed exactly once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "config/textutil.h"
#include "support/scripted_server.h"
#include "support/testutil.h"

using zvtest::Child;
using zvtest::ReadFile;
using zvtest::ScriptedServer;
using zvtest::TempDir;
using zvtest::WriteFile;

namespace {

const char kEnvelope[] = "zvmailer_windows\nrobot@zorvik\nrobot@zorvik\n";

std::string Body(int id) { return "consignment " + std::to_string(id); }
std::string Filed(int id) {
  return "From: office@example\nTo: robot@example\nSubject: TRANSPORT\n\n" + Body(id) + "\n";
}

// A mailbox with POP3's deletion rules, answering on the server thread.
// `KillAt` arms a kill of the client: after the reply to its n-th command of
// the next connection, `delay` later.
class Mailbox {
 public:
  void Add(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(id);
  }
  std::size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }
  void KillAt(pid_t pid, int command, std::chrono::microseconds delay, bool pipelining) {
    std::lock_guard<std::mutex> lock(mutex_);
    pid_ = pid;
    killAt_ = command;
    delay_ = delay;
    pipelining_ = pipelining;
  }

  ScriptedServer::Step Answer(const std::string& line, std::size_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection != connection_) {
      connection_ = connection;
      commands_ = 0;
      marked_.clear();
    }
    ScriptedServer::Step step = Reply(line);
    if (++commands_ == killAt_ && pid_ > 0) {
      const pid_t pid = pid_;
      const auto delay = delay_;
      killer_ = std::thread([pid, delay] {
        std::this_thread::sleep_for(delay);
        ::kill(pid, SIGKILL);  // the child is not reaped before this thread ends
      });
      pid_ = 0;
    }
    return step;
  }
  // Waits for an armed kill to have happened (or not to be needed).
  void JoinKiller() {
    std::thread killer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      killer.swap(killer_);
      pid_ = 0;
    }
    if (killer.joinable()) killer.join();
  }
  ~Mailbox() { JoinKiller(); }

 private:
  ScriptedServer::Step Reply(const std::string& line) {
    const auto [cmd, arg] = SplitKeyValue(line);
    const int n = TextToNum(arg);
    const bool valid = n >= 1 && n <= int(messages_.size()) && !marked_.count(n);
    if (cmd == "CAPA") return {pipelining_ ? std::vector<std::string>{"+OK", "UIDL", "PIPELINING", "."}
                                           : std::vector<std::string>{"+OK", "UIDL", "."}};
    if (cmd == "USER" || cmd == "PASS") return {{"+OK"}};
    if (cmd == "STAT") return {{"+OK " + std::to_string(messages_.size()) + " 1000"}};
    if (cmd == "UIDL") {
      std::vector<std::string> out{"+OK"};
      for (std::size_t i = 0; i < messages_.size(); ++i)
        out.push_back(std::to_string(i + 1) + " id-" + std::to_string(messages_[i]));
      out.push_back(".");
      return {out};
    }
    if (cmd == "RETR" && valid) {
      return {{"+OK", "From: office@example", "To: robot@example", "Subject: TRANSPORT", "",
               Body(messages_[std::size_t(n - 1)]), "."}};
    }
    if (cmd == "DELE" && valid) {
      marked_.insert(n);
      return {{"+OK"}};
    }
    if (cmd == "QUIT") {
      std::vector<int> left;
      for (std::size_t i = 0; i < messages_.size(); ++i)
        if (!marked_.count(int(i + 1))) left.push_back(messages_[i]);
      messages_ = left;
      marked_.clear();
      return {{"+OK bye"}, ScriptedServer::Action::Close};
    }
    return {{"-ERR"}};
  }

  std::mutex mutex_;
  std::vector<int> messages_;  // ids, in mailbox order
  std::set<int> marked_;
  std::size_t connection_ = SIZE_MAX;
  int commands_ = 0;
  int killAt_ = 0;
  pid_t pid_ = 0;
  std::chrono::microseconds delay_{0};
  bool pipelining_ = false;
  std::thread killer_;
};

// The pairs visible in `in` (a .WRK beside its .TXT), as message ids; fails
// the test for a torn envelope or a text that is not a whole message.
std::multiset<int> VisiblePairs(const std::string& in, int maxId) {
  std::multiset<int> ids;
  for (const auto& entry : std::filesystem::directory_iterator(in)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != 12 || name.compare(8, 4, ".WRK") != 0) continue;
    EXPECT_EQ(ReadFile(entry.path().string()), kEnvelope) << name;
    const std::string text = ReadFile(in + name.substr(0, 8) + ".TXT");
    int id = -1;
    for (int i = 0; i <= maxId && id < 0; ++i)
      if (text == Filed(i)) id = i;
    EXPECT_GE(id, 0) << name << " holds: " << text;
    ids.insert(id);
  }
  return ids;
}

TEST(ExactlyOnce, KilledRunsNeitherLoseNorDoubleAMessage) {
  const char* fixed = std::getenv("ZV_TEST_RANDOM_START");
  const unsigned start = fixed ? unsigned(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
  SCOPED_TRACE("random start " + std::to_string(start) + " (ZV_TEST_RANDOM_START repeats it)");
  std::mt19937 random(start);
  TempDir dir;
  const std::string in = dir / "in/";
  ::mkdir(in.c_str(), 0755);
  ::mkdir((dir / "out").c_str(), 0755);
  Mailbox box;
  ScriptedServer server("127.0.0.1", 0);
  server.SetGreeting({{"+OK ready"}});
  server.SetHandler([&box](const std::string& line, std::size_t c) { return box.Answer(line, c); });
  ASSERT_TRUE(server.Start());
  WriteFile(dir / "ZVMAIL32.INI", "SMTP 127.0.0.1:1\r\nPOP " + server.HostPort() +
                                      "\r\nUSERNAME u\r\nPASSWORD p\r\nROBOT robot\r\nIN " + in + "\r\nOUT " +
                                      dir / "out/" + "\r\nCOUNTER 0\r\nLOG YES\r\nDEBUG YES\r\n");
  const std::string program = zvtest::LinkProgramInto(dir.path());
  const std::map<std::string, std::string> env = {{"QT_QPA_PLATFORM", "offscreen"}};

  int next = 0;
  constexpr int kRuns = 20;
  for (int run = 0; run < kRuns; ++run) {
    for (int i = 0; i < 3; ++i) box.Add(next++);
    // A pass of k messages takes 6 + 2k commands, the last DELE and QUIT at
    // the end. Kill after the reply to any of them, half of the time the
    // last two (after the last DELE the files are flushed, recorded and
    // renamed; after QUIT the record is cleared), up to 20 ms later.
    const int commands = 6 + 2 * int(box.Size());
    const int at = random() % 2 == 0 ? int(random() % unsigned(commands)) + 1 : commands - int(random() % 2);
    Child child(program, "/", env);
    ASSERT_GT(child.pid(), 0);
    box.KillAt(child.pid(), at, std::chrono::microseconds(random() % 20000), random() % 2 == 0);
    ASSERT_TRUE(child.WaitForExit(std::chrono::seconds(60))) << child.err();
    box.JoinKiller();
    int status = 0;
    ASSERT_TRUE(child.Finish(status)) << child.err();
    const std::multiset<int> visible = VisiblePairs(in, next);
    for (int id : visible) EXPECT_EQ(visible.count(id), 1u) << "message " << id << " filed twice, run " << run;
  }
  // Runs without a kill finish what the killed ones left.
  box.KillAt(0, 0, {}, false);
  for (int run = 0; run < 3 && box.Size() > 0; ++run) {
    Child child(program, "/", env);
    int status = 0;
    ASSERT_TRUE(child.Finish(status, std::chrono::seconds(60))) << child.err();
  }
  EXPECT_EQ(box.Size(), 0u);
  std::multiset<int> expected;
  for (int id = 0; id < next; ++id) expected.insert(id);
  EXPECT_EQ(VisiblePairs(in, next), expected);
  if (HasFailure()) std::fprintf(stderr, "--- log\n%s\n", ReadFile(dir / "ZVMAIL32.LOG").c_str());
}

}  // namespace
