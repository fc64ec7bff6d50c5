// The transfer cycle and its scheduling: which hooks run and when, the tick
// count, no cycle inside a running one, close requests waiting for a running
// cycle. In-process with a recording process service, and the built program
// as a child in a temporary instance directory, with a scripted POP3 server
// on loopback and the SMTP server refusing at once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "app/mainunit.h"
#include "config/textutil.h"
#include "platform/process.h"
#include "platform/session.h"
#include "support/scripted_server.h"
#include "support/testutil.h"

using zvtest::Child;
using zvtest::FileExists;
using zvtest::ReadFile;
using zvtest::RunProgram;
using zvtest::ScriptedServer;
using zvtest::TempDir;
using zvtest::WriteFile;

namespace {

const std::map<std::string, std::string> kHeadless = {{"QT_QPA_PLATFORM", "offscreen"}};

// A complete configuration; SMTP refuses at once (port 1 on loopback) and
// OUT starts empty. `pop` is "host:port" of the POP3 server. IN and OUT lie
// in `data`, by default the instance directory.
void WriteInstance(const std::string& dir, const std::string& pop, const std::string& extra = {},
                   std::string data = {}) {
  if (data.empty()) data = dir;
  ::mkdir((data + "out").c_str(), 0755);
  ::mkdir((data + "in").c_str(), 0755);
  WriteFile(dir + "ZVMAIL32.INI", "SMTP 127.0.0.1:1\r\nPOP " + pop +
                                      "\r\nUSERNAME u\r\nPASSWORD p\r\nROBOT robot\r\nIN " + data + "in\r\nOUT " +
                                      data + "out\r\nLOG YES\r\nCOUNTER 41\r\n" + extra);
}

std::string Substitute(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Number of occurrences of `what` in `text`.
size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Positions of `what` in `text`, in order.
std::vector<size_t> Positions(const std::string& text, const std::string& what) {
  std::vector<size_t> at;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) at.push_back(p);
  return at;
}

// A hook script that appends `marker` as a line to the log, so the log shows
// where in the run it ran.
std::string LogMarkerHook(const std::string& dir, const std::string& marker, const std::string& more = {}) {
  return "printf '%s\\r\\n' '" + marker + "' >> '" + dir + "ZVMAIL32.LOG'\n" + more;
}

// ---- In-process: a main window with a recording process service ----

class RecordingProcesses : public proc::Service {
 public:
  std::vector<std::string> started;
  uint32_t startError = 0;
  std::function<void()> whileWaiting;  // runs inside the blocking wait

  bool CreateProcess(const std::string& commandLine, uint16_t, proc::Process& p) override {
    started.push_back(commandLine);
    if (startError != 0) return false;
    p.id = 1;
    return true;
  }
  bool WaitForProcess(const proc::Process&, const std::function<bool()>&) override {
    if (whileWaiting) whileWaiting();
    return true;
  }
  void CloseProcess(proc::Process& p) override { p.id = 0; }
  uint32_t LastError() const override { return startError; }
  uint32_t ChangeDirectory(const std::string&) override { return 0; }
};

struct InProcess {
  TempDir dir;
  std::shared_ptr<RecordingProcesses> processes = std::make_shared<RecordingProcesses>();
  std::unique_ptr<TMain> main;
  int terminations = 0;

  explicit InProcess(const std::string& extraConfig) {
    plat::SetHeadless(true);
    WriteInstance(dir.path(), "127.0.0.1:1", extraConfig);
    TMainServices services;
    services.processes = processes;
    services.terminate = [this] {
      ++terminations;
      throw TMainTerminated{};
    };
    main = std::make_unique<TMain>(std::vector<std::string>{dir / "zvmail32"}, services, dir.path());
  }
  // An accepted close asks the application to quit, which makes every later
  // event loop of this test program return at once; running the
  // application's loop once clears that request again.
  ~InProcess() {
    main.reset();
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
  }
  // Passes that find Busy set return at once, doing nothing, and leave
  // GotZorvikMail alone: the cycle's own decisions can be watched alone.
  void HoldPasses(bool gotZorvikMail) {
    main->Busy = true;
    main->GotZorvikMail = gotZorvikMail;
  }
  size_t HookRuns() const {
    size_t n = 0;
    for (const auto& line : processes->started) n += line == dir / "BETWEEN.BAT";
    return n;
  }
  // One AutoRun tick; true when the run ended through the exit procedure.
  bool Tick() {
    try {
      main->AutoRunTimer();
    } catch (const TMainTerminated&) {
      return true;
    }
    return false;
  }
};

TEST(CycleInProcess, BetweenHookRunsOnlyWithZorvikMailAndTheFile) {
  struct Case {
    bool zorvikMail;
    const char* hookFile;  // the hook's name in the directory, or null
    bool hookIsDirectory;  // a directory named BETWEEN.BAT besides
    size_t runs;
  };
  const Case cases[] = {{true, "BETWEEN.BAT", false, 1},
                        {true, nullptr, false, 0},
                        {false, "BETWEEN.BAT", false, 0},
                        {false, nullptr, false, 0},
                        {true, nullptr, true, 0},
                        // Any letter case; a directory of the exact name is passed over.
                        {true, "between.bat", false, 1},
                        {true, "Between.Bat", true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.hookFile ? c.hookFile : "no hook") + (c.zorvikMail ? " with" : " without") +
                 " Zorvik mail" + (c.hookIsDirectory ? ", a directory BETWEEN.BAT" : ""));
    InProcess t("DAEMON 5\r\n");
    if (c.hookFile) WriteFile(t.dir / c.hookFile, "exit 0\n");
    if (c.hookIsDirectory) ::mkdir((t.dir / "BETWEEN.BAT").c_str(), 0755);
    WriteFile(t.dir / "LAUNCH.BAT", "exit 0\n");
    t.HoldPasses(c.zorvikMail);
    EXPECT_FALSE(t.Tick());  // daemon mode: the cycle returns
    // never LAUNCH.BAT in daemon mode
    EXPECT_EQ(t.processes->started,
              c.runs ? std::vector<std::string>{t.dir / c.hookFile} : std::vector<std::string>{});
    EXPECT_EQ(t.main->TickCount, 0);
  }
}

TEST(CycleInProcess, OutsideDaemonModeTheCycleEndsTheRunAfterTheHooks) {
  InProcess t("");
  WriteFile(t.dir / "BETWEEN.BAT", "exit 0\n");
  WriteFile(t.dir / "LAUNCH.BAT", "exit 0\n");
  t.HoldPasses(true);
  EXPECT_TRUE(t.Tick());
  EXPECT_EQ(t.terminations, 1);
  EXPECT_EQ(t.processes->started, (std::vector<std::string>{t.dir / "BETWEEN.BAT", t.dir / "LAUNCH.BAT"}));
  EXPECT_FALSE(t.main->CycleRunning);
  const std::string log = ReadFile(t.dir / "ZVMAIL32.LOG");
  EXPECT_EQ(Count(log, "  Exiting\r\n"), 1u) << log;
}

TEST(CycleInProcess, TicksStartCyclesPeriodTicksAfterTheLastEnded) {
  // Which ticks (counted from 1 after start-up) start a cycle.
  struct Case {
    uint16_t period;
    int ticks;
    std::vector<int> cycles;
  };
  const Case cases[] = {
      {0, 3, {1, 2, 3}},
      {1, 3, {1, 2, 3}},
      {3, 8, {1, 4, 7}},
      // The largest period starts the first cycle at once; the count never wraps.
      {65535, 65536, {1, 65536}},
  };
  for (const auto& c : cases) {
    InProcess t("DAEMON " + std::to_string(c.period) + "\r\n");
    ASSERT_EQ(t.main->Config.DaemonPeriod, c.period);
    WriteFile(t.dir / "BETWEEN.BAT", "exit 0\n");
    t.HoldPasses(true);
    std::vector<int> cycles;
    for (int tick = 1; tick <= c.ticks; ++tick) {
      const size_t before = t.HookRuns();
      ASSERT_FALSE(t.Tick());
      if (t.HookRuns() != before) {
        cycles.push_back(tick);
        EXPECT_EQ(t.main->TickCount, 0);
      }
    }
    EXPECT_EQ(cycles, c.cycles) << "period " << c.period;
  }
}

TEST(CycleInProcess, TicksDuringACycleStartNothingAndAreNotCounted) {
  InProcess t("DAEMON 2\r\n");
  WriteFile(t.dir / "BETWEEN.BAT", "exit 0\n");
  t.HoldPasses(true);
  int nestedTicks = 0;
  t.processes->whileWaiting = [&] {
    for (int i = 0; i < 5; ++i, ++nestedTicks) t.main->AutoRunTimer();
    EXPECT_EQ(t.main->TickCount, 0);
  };
  ASSERT_FALSE(t.Tick());
  EXPECT_EQ(nestedTicks, 5);
  EXPECT_EQ(t.HookRuns(), 1u);
  EXPECT_EQ(t.main->TickCount, 0);
  // The period is counted from the end of the cycle.
  t.processes->whileWaiting = nullptr;
  ASSERT_FALSE(t.Tick());
  EXPECT_EQ(t.HookRuns(), 1u);
  ASSERT_FALSE(t.Tick());
  EXPECT_EQ(t.HookRuns(), 2u);
}

TEST(CycleInProcess, CloseRequestDuringACycleWaitsUntilTheCycleHasReturned) {
  InProcess t("DAEMON 1\r\n");
  WriteFile(t.dir / "BETWEEN.BAT", "exit 0\n");
  t.main->show();
  t.HoldPasses(true);
  bool acceptedInside = true, visibleInside = false;
  t.processes->whileWaiting = [&] {
    acceptedInside = t.main->close();
    visibleInside = t.main->isVisible();
  };
  ASSERT_FALSE(t.Tick());
  EXPECT_FALSE(acceptedInside);
  EXPECT_TRUE(visibleInside);
  EXPECT_FALSE(t.main->isVisible());  // carried out once the cycle returned
  EXPECT_FALSE(t.main->CloseRequested);
}

TEST(CycleInProcess, CloseRequestOutsideACycleIsCarriedOutAtOnce) {
  InProcess t("DAEMON 1\r\n");
  t.main->show();
  EXPECT_TRUE(t.main->close());
  EXPECT_FALSE(t.main->isVisible());
}

TEST(CycleInProcess, ManualPassesLeaveTickCountHooksAndTheRunAlone) {
  InProcess t("");
  WriteFile(t.dir / "BETWEEN.BAT", "exit 0\n");
  WriteFile(t.dir / "LAUNCH.BAT", "exit 0\n");
  t.HoldPasses(true);
  t.main->TickCount = 7;
  t.main->icnUpOffDblClick();
  t.main->icnDownOffDblClick();
  EXPECT_EQ(t.main->TickCount, 7);
  EXPECT_TRUE(t.processes->started.empty());
  EXPECT_EQ(t.terminations, 0);
  EXPECT_FALSE(t.main->CycleRunning);
}

TEST(CycleInProcess, CycleFallingDueDuringAManualPassStartsOnTheNextTickAfterIt) {
  InProcess t("DAEMON 3\r\n");
  WriteFile(t.dir / "BETWEEN.BAT", "exit 0\n");
  t.HoldPasses(true);
  t.main->TickCount = 0;
  t.main->show();
  t.main->PassRunning = true;  // as while a click's pass waits for its server
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(t.Tick());
  EXPECT_EQ(t.HookRuns(), 0u);
  EXPECT_EQ(t.main->TickCount, 4);  // ticks still count
  EXPECT_FALSE(t.main->close());    // and a close request waits as well
  t.main->PassRunning = false;
  ASSERT_FALSE(t.Tick());
  EXPECT_EQ(t.HookRuns(), 1u);
  EXPECT_EQ(t.main->TickCount, 0);
  EXPECT_FALSE(t.main->isVisible());  // carried out after that cycle
}

TEST(CycleInProcess, ShellShowsAStartFailureAndTheCycleGoesOn) {
  InProcess t("DAEMON 1\r\n");
  WriteFile(t.dir / "BETWEEN.BAT", "exit 0\n");
  t.processes->startError = 2;
  t.HoldPasses(true);
  testing::internal::CaptureStderr();
  const bool ended = t.Tick();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ended);
  EXPECT_NE(err.find("ZaDozivo/32: File was not found\n"), std::string::npos) << err;
  EXPECT_EQ(t.main->AppExec1.ErrNo(), 2);
  EXPECT_TRUE(t.main->AppExec1.Wait);
  EXPECT_TRUE(t.main->AppExec1.ChangeDir);
  EXPECT_TRUE(t.main->AppExec1.ExePath().empty());
}

// In daemon mode a refused login makes the next attempts on that server wait
// twice as long each time, from twice the period (a minute at the least) up
// to an hour, each logged; a login that succeeds ends it; after a day of
// refusals the run ends with 77. The test's clock stands in for the time.
TEST(CycleInProcess, RefusedLoginsBackOffAndEndTheDaemonAfterADay) {
  std::atomic<bool> refuse{true};
  ScriptedServer pop;
  pop.SetGreeting({{"+OK ready"}});
  pop.SetHandler([&refuse](const std::string& line, std::size_t) -> ScriptedServer::Step {
    if (line.rfind("PASS ", 0) == 0) return {{refuse ? "-ERR [AUTH] no" : "+OK in"}};
    if (line == "STAT") return {{"+OK 0 0"}};
    if (line == "CAPA" || line == "UIDL") return {{"-ERR"}};
    if (line == "QUIT") return {{"+OK bye"}, ScriptedServer::Action::Close};
    return {{"+OK"}};
  });
  ASSERT_TRUE(pop.Start());
  InProcess t("DAEMON 1\r\nPOP " + pop.HostPort() + "\r\n");
  TBackoff::Clock::time_point now{};
  t.main->BackoffClock = [&now] { return now; };
  const auto logins = [&pop] {
    std::size_t n = 0;
    for (std::size_t c = 0; c < pop.Connections(); ++c) n += Count(pop.Received(c), "PASS p\r\n");
    return n;
  };
  const auto waits = [&t] {
    std::vector<int> seconds;
    const std::string log = ReadFile(t.dir / "ZVMAIL32.LOG");
    const std::string told = ": the login was refused; the next attempt waits ";
    for (auto at = log.find(told); at != std::string::npos; at = log.find(told, at + 1))
      seconds.push_back(std::stoi(log.substr(at + told.size())));
    return seconds;
  };
  // A cycle every minute for 40 minutes: logins at 0, 2, 6, 14 and 30 minutes.
  for (int minute = 0; minute < 40; ++minute, now += std::chrono::minutes(1)) ASSERT_FALSE(t.Tick());
  EXPECT_EQ(logins(), 5u);
  EXPECT_EQ(waits(), (std::vector<int>{120, 240, 480, 960, 1920}));
  // The next attempt (at 62 minutes) succeeds, and so does the one a minute
  // later; a refusal after that starts afresh.
  refuse = false;
  for (int minute = 40; minute < 64; ++minute, now += std::chrono::minutes(1)) ASSERT_FALSE(t.Tick());
  EXPECT_EQ(logins(), 7u);
  refuse = true;
  ASSERT_FALSE(t.Tick());
  EXPECT_EQ(waits().back(), 120);
  // A day of refusals, an attempt at least every hour, ends the daemon.
  for (int hour = 0; hour < 26 && !t.main->StopRequested; ++hour) {
    now += std::chrono::hours(1);
    ASSERT_FALSE(t.Tick());
  }
  EXPECT_TRUE(t.main->StopRequested);
  EXPECT_EQ(waits().back(), 3600);
  EXPECT_EQ(t.main->ExitStatus(), 77);
  EXPECT_NE(ReadFile(t.dir / "ZVMAIL32.LOG").find(pop.HostPort() + ": the login was refused for a day; stopping"),
            std::string::npos);
}

// Descriptors open in this process.
int OpenDescriptors() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) n += entry.exists() ? 1 : 0;
  return n;
}

// A daemon whose servers refuse every connection keeps no descriptor of a
// failed cycle, however many there are.
TEST(CycleInProcess, FailedCyclesKeepNoDescriptor) {
  InProcess t("DAEMON 1\r\n");
  WriteFile(t.dir / "out/TM000001.WRK", "tag\r\na@b\r\nc@d\r\n");
  WriteFile(t.dir / "out/TM000001.TXT", "text\r\n");
  ASSERT_FALSE(t.Tick());
  const int before = OpenDescriptors();
  for (int cycle = 0; cycle < 300; ++cycle) ASSERT_FALSE(t.Tick());
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(Count(ReadFile(t.dir / "ZVMAIL32.LOG"), "127.0.0.1:1: connection refused"), 602u);
}

// ---- The built program as a child ----

// A POP3 mailbox holding one message with the given subject line.
class OneMessagePop {
 public:
  explicit OneMessagePop(const std::string& subject) : server_("127.0.0.1") {
    server_.SetGreeting({{"+OK ready"}});
    server_.SetHandler([subject](const std::string& line, std::size_t) -> ScriptedServer::Step {
      const std::string cmd = UpperText(line.substr(0, 4));
      if (cmd == "STAT") return {{"+OK 1 120"}};
      if (cmd == "CAPA" || cmd == "UIDL") return {{"-ERR not here"}};
      if (cmd == "RETR")
        return {{"+OK", "From: zorvik@example", "To: robot@example", "Subject: " + subject, "", "body", "."}};
      if (cmd == "QUIT") return {{"+OK bye"}, {}, ScriptedServer::Action::Close};
      return {{"+OK"}};
    });
    started_ = server_.Start();
  }
  bool started() const { return started_; }
  std::string HostPort() const { return server_.HostPort(); }
  std::string Commands() const { return server_.AllReceived(); }

 private:
  ScriptedServer server_;
  bool started_ = false;
};

TEST(CycleRun, SecondSendPassOnlyAfterZorvikMailWithTheHook) {
  struct Case {
    const char* subject;
    bool hook;
    size_t sendPasses;
  };
  const Case cases[] = {{"TRANSPORT", true, 2}, {"TRANSPORT", false, 1}, {"hello", true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.subject) + (c.hook ? " with hook" : " without hook"));
    TempDir dir;
    OneMessagePop pop(c.subject);
    ASSERT_TRUE(pop.started());
    WriteInstance(dir.path(), pop.HostPort());
    // The hook leaves a new outbound pair; the second send pass finds it.
    if (c.hook)
      WriteFile(dir / "BETWEEN.BAT",
                LogMarkerHook(dir.path(), "BETWEEN ran",
                              "printf 't\\r\\nme@x\\r\\nyou@y\\r\\n' > '" + dir / "out/TM000001.WRK'\n"
                              "printf 'hello\\r\\n' > '" + dir / "out/TM000001.TXT'\n"));
    WriteFile(dir / "LAUNCH.BAT", LogMarkerHook(dir.path(), "LAUNCH ran"));
    auto r = RunProgram(zvtest::LinkProgramInto(dir.path()), {}, kHeadless, "/");
    const bool zorvik = std::string(c.subject) == "TRANSPORT";
    // Only the second send pass has a pair to send, and its server refuses.
    ASSERT_EQ(r.exitCode, zorvik && c.hook ? 75 : 0) << r.err;
    const std::string log = ReadFile(dir / "ZVMAIL32.LOG");

    const auto firstSend = Positions(log, "No messages to send");
    const auto retrieved = Positions(log, "Retrieving message 1");
    const auto between = Positions(log, "BETWEEN ran");
    const auto secondSend = Positions(log, "There are 1 messages to send");
    const auto exiting = Positions(log, "  Exiting\r\n");
    const auto launch = Positions(log, "LAUNCH ran");
    ASSERT_EQ(firstSend.size(), 1u) << log;
    ASSERT_EQ(retrieved.size(), 1u) << log;
    EXPECT_LT(firstSend[0], retrieved[0]);
    EXPECT_EQ(between.size(), c.sendPasses - 1) << log;
    EXPECT_EQ(secondSend.size(), c.sendPasses - 1) << log;
    if (c.sendPasses == 2) {
      EXPECT_LT(retrieved[0], between[0]);
      EXPECT_LT(between[0], secondSend[0]);
    }
    // The run ends through the exit procedure, which runs LAUNCH.BAT last.
    ASSERT_EQ(exiting.size(), 1u) << log;
    ASSERT_EQ(launch.size(), 1u) << log;
    EXPECT_LT(exiting[0], launch[0]);
    EXPECT_LT(retrieved[0], exiting[0]);
    EXPECT_EQ(FileExists(dir / "in/00000042.WRK"), zorvik);
  }
}

// A stop signal while the program waits for a hook or a dial command ends
// the wait at once, and the hook or command with all it started; the run
// then ends by its normal path. The hook asks for the stop itself.
TEST(CycleRun, AStopSignalEndsTheWaitForAHookOrADialAndWhatItStarted) {
  struct Case {
    const char* name;
    const char* signal;  // sent by the hook; none: by the test, during the dial
    int status;
  };
  const Case cases[] = {{"hook, TERM", "TERM", 0}, {"hook, INT", "INT", 0}, {"dial", nullptr, 75}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    OneMessagePop pop("Zorvik Transport");
    ASSERT_TRUE(pop.started());
    const std::string started = "sleep 30 & echo $! > '" + dir / "started.pid'; ";
    auto env = kHeadless;
    if (c.signal) {
      WriteInstance(dir.path(), pop.HostPort(), "DAEMON 1\r\n");
      WriteFile(dir / "BETWEEN.BAT",
                LogMarkerHook(dir.path(), "BETWEEN ran", started + "kill -" + c.signal + " $PPID; wait\n"));
    } else {
      WriteInstance(dir.path(), pop.HostPort(), "DIAL YES\r\nCONNECTION Line\r\n");
      WriteFile(dir / "phonebook", "[Line]\ndial = " + started + "wait\ntimeout = 60\n");
      env["ZVMAIL32_PHONEBOOK"] = dir / "phonebook";
    }
    WriteFile(dir / "LAUNCH.BAT", LogMarkerHook(dir.path(), "LAUNCH ran"));
    Child child(zvtest::LinkProgramInto(dir.path()), "/", env);
    ASSERT_TRUE(zvtest::Eventually([&] { return !ReadFile(dir / "started.pid").empty(); })) << child.err();
    const int sleeper = std::stoi(ReadFile(dir / "started.pid"));
    const auto start = std::chrono::steady_clock::now();
    if (!c.signal) ::kill(child.pid(), SIGTERM);
    int status = 0;
    ASSERT_TRUE(child.Finish(status, std::chrono::seconds(10))) << child.err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status;
    EXPECT_TRUE(zvtest::Eventually([&] { return !zvtest::ProcessRunning(sleeper); }));
    const std::string log = ReadFile(dir / "ZVMAIL32.LOG");
    if (c.signal) {
      // No second send pass after the stop; daemon mode: no exit procedure.
      EXPECT_EQ(Count(log, "BETWEEN ran"), 1u) << log;
      EXPECT_EQ(Count(log, "No messages to send"), 1u) << log;
      EXPECT_EQ(Count(log, "Exiting"), 0u) << log;
      EXPECT_EQ(Count(log, "LAUNCH ran"), 0u) << log;
      // The configuration was written back with the advanced counter.
      const std::string ini = ReadFile(dir / "ZVMAIL32.INI");
      EXPECT_NE(ini.find("COUNTER    42\r\n"), std::string::npos) << ini;
      EXPECT_NE(ini.find("DAEMON"), std::string::npos) << ini;
    } else {
      // Nothing was sent or fetched; the exit procedure ran.
      EXPECT_NE(log.find("Dial abandoned: the program was asked to stop"), std::string::npos) << log;
      EXPECT_EQ(pop.Commands(), "");
      EXPECT_EQ(Count(log, "LAUNCH ran"), 1u) << log;
    }
  }
}

TEST(CycleRun, CloseSignalWhileIdleInDaemonModeWritesTheConfiguration) {
  TempDir dir;
  // An old-style file with few keys: the rewrite adds every key it lacks
  // and leaves the lines it has.
  WriteInstance(dir.path(), "127.0.0.1:1", "DAEMON 600\r\n");
  WriteFile(dir / "LAUNCH.BAT", LogMarkerHook(dir.path(), "LAUNCH ran"));
  auto env = kHeadless;
  env["ZVMAIL32_ECHO_STATUS"] = "1";
  Child child(zvtest::LinkProgramInto(dir.path()), "/", env);
  ASSERT_GT(child.pid(), 0);
  // The first cycle ends with the receive pass failing to connect; the
  // program then idles for 600 seconds.
  ASSERT_TRUE(child.WaitForErr("lbAction: Receiving\n")) << child.err();
  ASSERT_TRUE(child.WaitForErr("lbError: ")) << child.err();
  ::kill(child.pid(), SIGTERM);
  int status = 0;
  ASSERT_TRUE(child.Finish(status)) << child.err();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << child.err();
  const std::string ini = ReadFile(dir / "ZVMAIL32.INI");
  for (const char* key : {"\r\nLOGFILE    ", "\r\nDEBUG      NO\r\n", "\r\nRETRIES    \r\n", "\r\nDAEMON 600\r\n"})
    EXPECT_EQ(Count(ini, key), 1u) << key << ini;
  const std::string log = ReadFile(dir / "ZVMAIL32.LOG");
  EXPECT_EQ(Count(log, "Exiting"), 0u) << log;
  EXPECT_EQ(Count(log, "LAUNCH ran"), 0u) << log;
}

// A stop signal while the server stalls in the middle of a message: the pass
// ends within moments as after a dropped connection (the message filed
// before stays filed, the stalled one stays on the server: no QUIT goes
// out), then the run ends by its normal path. A second signal ends it at
// once. In daemon mode a requested stop ends with 0.
TEST(CycleRun, AStopSignalEndsAStalledPassPromptly) {
  struct Case {
    const char* name;
    std::string extra;
    int kills;
    int status;
    bool exiting;  // "Exiting" logged
  };
  const Case cases[] = {
      {"one signal", "", 1, 75, true},
      {"two signals", "", 2, 75, false},
      {"daemon", "DAEMON 600\r\n", 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScriptedServer pop;
    pop.SetGreeting({{"+OK ready"}});
    pop.SetHandler([](const std::string& line, std::size_t) -> ScriptedServer::Step {
      if (line == "STAT") return {{"+OK 2 200"}};
      if (line == "RETR 1") return {{"+OK", "From: a", "To: b", "Subject: TRANSPORT", "", "one", "."}};
      if (line == "RETR 2") return {{"+OK", "From: a"}, ScriptedServer::Action::Silent};
      if (line == "CAPA" || line == "UIDL") return {{"-ERR"}};
      return {{"+OK"}};
    });
    ASSERT_TRUE(pop.Start());
    WriteInstance(dir.path(), pop.HostPort(), c.extra);
    auto env = kHeadless;
    env["ZVMAIL32_ECHO_STATUS"] = "lbCommand";
    Child child(zvtest::LinkProgramInto(dir.path()), "/", env);
    ASSERT_TRUE(child.WaitForErr("lbCommand: RETR 2\n")) << child.err();
    const auto start = std::chrono::steady_clock::now();
    // Two different signals: two of one kind may arrive as one.
    for (int i = 0; i < c.kills; ++i) ::kill(child.pid(), i == 0 ? SIGTERM : SIGINT);
    int status = 0;
    ASSERT_TRUE(child.Finish(status, std::chrono::seconds(10))) << child.err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status;
    // Filed pairs appear when the pass ends; the second signal ended the run
    // before, so message 1 is left as well (not deleted: no QUIT went out).
    EXPECT_EQ(FileExists(dir / "in/00000042.TXT") && FileExists(dir / "in/00000042.WRK"), c.kills == 1);
    const auto lines = pop.Lines(0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "QUIT"), 0);
    const std::string log = ReadFile(dir / "ZVMAIL32.LOG");
    EXPECT_EQ(Count(log, "Exiting"), c.exiting ? 1u : 0u) << log;
    if (c.kills == 1) {
      EXPECT_NE(log.find("connection closed: the program was asked to stop"), std::string::npos) << log;
      // Message 2 drew its number before the stop.
      EXPECT_NE(ReadFile(dir / "ZVMAIL32.INI").find("COUNTER    43\r\n"), std::string::npos);
    }
  }
}

// In daemon mode an edit of the file is read before the next cycle, and a
// SIGHUP has it read at once; the daemon goes on. The program's own writes
// keep the edit, and a stop by a signal names the signal.
TEST(CycleRun, TheDaemonReadsAnEditedConfigurationAgainAndKeepsTheEdit) {
  TempDir dir;
  OneMessagePop pop("TRANSPORT");  // one message in every cycle
  ASSERT_TRUE(pop.started());
  WriteInstance(dir.path(), pop.HostPort(), "DAEMON 3\r\n");
  auto env = kHeadless;
  env["JOURNAL_STREAM"] = "1";  // log lines on standard error
  env["ZVMAIL32_ECHO_STATUS"] = "lbAction";
  Child child(zvtest::LinkProgramInto(dir.path()), "/", env);
  const auto edit = [&dir](const std::string& before, const std::string& after) {
    WriteFile(dir / "ZVMAIL32.INI", before + ReadFile(dir / "ZVMAIL32.INI") + after);
  };
  ASSERT_TRUE(child.WaitForErr("Retrieving message 1\n")) << child.err();
  ASSERT_TRUE(child.WaitForErr("lbAction: Idle\n")) << child.err();
  edit("; edited while it runs\r\n", "DEBUG YES\r\nDAEMON 600\r\n");
  ASSERT_TRUE(child.WaitForErr("Configuration re-read\n")) << child.err();
  ASSERT_TRUE(child.WaitForErr("DEBUG:Opening POP3 connection\n")) << child.err();
  ASSERT_TRUE(child.WaitForErr("lbAction: Idle\n")) << child.err();
  // Idle for 600 s now: only the signal reads the next edit.
  edit("", "DEBUG NO\r\n");
  ::kill(child.pid(), SIGHUP);
  ASSERT_TRUE(child.WaitForErr("Configuration re-read\n")) << child.err();
  ::kill(child.pid(), SIGTERM);
  ASSERT_TRUE(child.WaitForErr("Stopping: SIGTERM received\n")) << child.err();
  int status = 0;
  ASSERT_TRUE(child.Finish(status)) << child.err();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << child.err();
  EXPECT_EQ(Count(child.err(), "Retrieving message 1\n"), 2u) << child.err();
  const std::string ini = ReadFile(dir / "ZVMAIL32.INI");
  EXPECT_EQ(ini.rfind("; edited while it runs\r\n", 0), 0u) << ini;
  EXPECT_NE(ini.find("\r\nDEBUG YES\r\nDAEMON 600\r\nDEBUG NO\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\r\nCOUNTER    43\r\n"), std::string::npos) << ini;
}

// Runs the built program of the instance `dir` once; as root, as the user
// nobody (the directory handed over to it first), so that permissions hold.
zvtest::RunResult RunAsUser(const std::string& dir, const std::map<std::string, std::string>& env) {
  const std::string program = dir + "zvmail32";
  if (::geteuid() != 0) return RunProgram(program, {}, env, "/");
  constexpr uid_t kNobody = 65534;
  ::lchown(dir.c_str(), kNobody, kNobody);
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    ::lchown(e.path().c_str(), kNobody, kNobody);
  return RunProgram("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "--", program}, env,
                    "/");
}

// Mistakes of an operator end a run with a status and a line in the log that
// say what to mend, and never send a pair twice or leave a file behind: the
// instance directory holds the same names after the runs as before.
TEST(CycleRun, OperatorMistakesAreToldAndNeverDoubleAPair) {
  struct Case {
    const char* name;
    std::string more;                               // configuration lines after the complete ones
    std::function<void(const std::string&)> make;   // given the instance directory
    int runs, status;
    std::vector<std::string> logged;  // each once per run
    std::string err;                  // a part of standard error
    bool iniKept = false;             // ZVMAIL32.INI byte for byte as it was
  };
  const Case cases[] = {
      {"OUT missing", "OUT <dir>none\r\n", nullptr, 1, 73, {"OUT <dir>none/: No such file or directory"}, ""},
      {"OUT read-only over three runs", "", [](const std::string& d) { ::chmod((d + "out").c_str(), 0555); }, 3, 73,
       {"Cannot remove TM000001 from OUT: Permission denied; not sent"}, ""},
      {"ZVMAIL32.INI read-only", "",
       [](const std::string& d) { ::chmod((d + "ZVMAIL32.INI").c_str(), 0444); }, 1, 0,
       {"<dir>ZVMAIL32.INI is read-only and was left as it was (COUNTER 42 was not saved)"}, "", true},
      {"the instance directory read-only", "", [](const std::string& d) { ::chmod(d.c_str(), 0555); }, 1, 0,
       {"<dir> is read-only; ZVMAIL32.INI was left as it was (COUNTER 42 was not saved)"}, "", true},
      {"a read-only directory without a configuration", "",
       [](const std::string& d) {
         std::filesystem::remove(d + "ZVMAIL32.INI");
         ::chmod(d.c_str(), 0555);
       },
       1, 64, {}, "holds no ZVMAIL32.INI and is not writable, so it is no instance directory; nothing was written. "
                  "Run the program through a link in an instance directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir base;
    const std::string dir = base.path();
    OneMessagePop pop("TRANSPORT");
    ScriptedServer smtp;
    smtp.SetGreeting({{"220 ready"}});
    smtp.SetHandler([](const std::string& line, std::size_t) -> ScriptedServer::Step {
      if (line == "QUIT") return {{"221 bye"}, ScriptedServer::Action::Close};
      return {{line == "DATA" ? "354 go on" : "250 ok"}};
    });
    ASSERT_TRUE(pop.started() && smtp.Start());
    for (const char* sub : {"in", "out", "logs"}) ::mkdir((dir + sub).c_str(), 0755);
    WriteFile(dir + "out/TM000001.WRK", "tag\r\na@b\r\nc@d\r\n");
    WriteFile(dir + "out/TM000001.TXT", "text\r\n");
    const std::string ini = "SMTP " + smtp.HostPort() + "\r\nPOP " + pop.HostPort() +
                            "\r\nUSERNAME u\r\nPASSWORD p\r\nROBOT robot\r\nIN " + dir + "in\r\nOUT " + dir +
                            "out\r\nCOUNTER 41\r\nLOG YES\r\nLOGFILE " + dir + "logs/zv.log\r\n";
    WriteFile(dir + "ZVMAIL32.INI", ini + Substitute(c.more, "<dir>", dir));
    zvtest::LinkProgramInto(dir);
    if (c.make) c.make(dir);
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
    const std::string iniBefore = ReadFile(dir + "ZVMAIL32.INI");
    for (int run = 0; run < c.runs; ++run) {
      const auto r = RunAsUser(dir, kHeadless);
      EXPECT_EQ(r.exitCode, c.status) << r.err;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    const std::string log = ReadFile(dir + "logs/zv.log");
    for (const std::string& line : c.logged)
      EXPECT_EQ(Count(log, "  " + Substitute(line, "<dir>", dir) + "\r\n"), std::size_t(c.runs)) << line << log;
    EXPECT_EQ(Count(smtp.AllReceived(), "\r\nDATA\r\n"), c.status == 0 ? 1u : 0u) << "the pair went out once at most";
    std::set<std::string> after;
    for (const auto& e : std::filesystem::directory_iterator(dir)) after.insert(e.path().filename());
    EXPECT_EQ(after, names);
    if (c.iniKept) {
      EXPECT_EQ(ReadFile(dir + "ZVMAIL32.INI"), iniBefore);
    }
    ::chmod(dir.c_str(), 0755);  // for the removal
  }
}

// One run per instance: while a daemon holds the instance, a second start
// (a normal run or "/SETUP") changes nothing, says why and ends with 75.
TEST(CycleRun, ASecondRunOfAnInstanceTouchesNothing) {
  TempDir dir;
  WriteInstance(dir.path(), "127.0.0.1:1", "DAEMON 600\r\n");
  WriteFile(dir / "out/TM000001.WRK", "tag\r\na@b\r\nc@d\r\n");
  WriteFile(dir / "out/TM000001.TXT", "text\r\n");
  const std::string program = zvtest::LinkProgramInto(dir.path());
  auto env = kHeadless;
  env["ZVMAIL32_ECHO_STATUS"] = "lbError";
  Child daemon(program, "/", env);
  ASSERT_GT(daemon.pid(), 0);
  // The first cycle ran: both servers refused.
  ASSERT_TRUE(daemon.WaitForErr("lbError: Connection refused")) << daemon.err();
  ASSERT_TRUE(daemon.WaitForErr("lbError: Connection refused")) << daemon.err();
  const std::string ini = ReadFile(dir / "ZVMAIL32.INI"), log = ReadFile(dir / "ZVMAIL32.LOG");
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"/SETUP"}}) {
    const auto r = RunProgram(program, args, kHeadless, "/");
    EXPECT_EQ(r.exitCode, 75) << r.err;
    EXPECT_NE(r.err.find("another run of the instance"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir / "ZVMAIL32.INI"), ini);
    EXPECT_EQ(ReadFile(dir / "ZVMAIL32.LOG"), log);
    EXPECT_TRUE(FileExists(dir / "out/TM000001.WRK"));
  }
  ::kill(daemon.pid(), SIGTERM);
  int status = 0;
  ASSERT_TRUE(daemon.Finish(status)) << daemon.err();
  // Once the holder has gone, the instance runs again.
  WriteInstance(dir.path(), "127.0.0.1:1");
  RunProgram(program, {}, kHeadless, "/");
  EXPECT_EQ(Count(ReadFile(dir / "ZVMAIL32.LOG"), "Running version 2.0"), 2u);
}

TEST(CycleRun, LaunchHookRunsInTheWorkingDirectoryOutsideDaemonModeAndSetup) {
  struct Case {
    std::vector<std::string> args;
    std::string extra;
    bool launch;
    std::string hookName = "LAUNCH.BAT";
    bool directoryNamedLikeTheHook = false;
  };
  const Case cases[] = {
      {{}, "", true},
      {{"ignored"}, "", true},
      // Any letter case; a directory of the exact name is no hook.
      {{}, "", true, "launch.bat", true},
      {{}, "", true, "Launch.Bat"},
      // The between-hook asks the program to close during the cycle: in
      // daemon mode that ends the run, outside it the exit procedure runs
      // as usual.
      {{}, "DAEMON 1\r\n", false},
      // A configuration run reaches the exit procedure only through the
      // final hang-up, and skips the hook even then.
      {{"/setup"}, "HANGUP YES\r\n", false},
      {{"--setup"}, "HANGUP YES\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((c.args.empty() ? c.extra : c.args[0]) + " " + c.hookName);
    TempDir dir, work;
    OneMessagePop pop("Transport");
    ASSERT_TRUE(pop.started());
    WriteInstance(dir.path(), pop.HostPort(), c.extra);
    WriteFile(dir / "BETWEEN.BAT", "kill -TERM $PPID\n");
    WriteFile(dir / c.hookName, LogMarkerHook(dir.path(), "LAUNCH ran", "pwd > '" + dir / "launch.pwd'\n"));
    if (c.directoryNamedLikeTheHook) ::mkdir((dir / "LAUNCH.BAT").c_str(), 0755);
    auto r = RunProgram(zvtest::LinkProgramInto(dir.path()), c.args, kHeadless, work.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string log = ReadFile(dir / "ZVMAIL32.LOG");
    EXPECT_EQ(Count(log, "LAUNCH ran"), c.launch ? 1u : 0u) << log;
    if (c.launch) {
      EXPECT_LT(log.find("  Exiting\r\n"), log.find("LAUNCH ran")) << log;
      EXPECT_EQ(ReadFile(dir / "launch.pwd"), work.path().substr(0, work.path().size() - 1) + "\n");
    }
  }
}

TEST(CycleRun, HooksThatCannotStartAreReportedAndTheRunGoesOn) {
  TempDir base;
  // A program directory so deep that a hook's command line exceeds what a
  // process start accepts.
  std::string dir = base.path();
  for (const char part : {'a', 'b', 'c'}) {
    dir += std::string(180, part) + "/";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  }
  ASSERT_GT((dir + "BETWEEN.BAT").size(), 511u);
  OneMessagePop pop("TRANSPORT");
  ASSERT_TRUE(pop.started());
  WriteInstance(dir, pop.HostPort(), {}, base.path());
  WriteFile(dir + "BETWEEN.BAT", LogMarkerHook(dir, "BETWEEN ran"));
  WriteFile(dir + "LAUNCH.BAT", LogMarkerHook(dir, "LAUNCH ran"));
  auto r = RunProgram(zvtest::LinkProgramInto(dir), {}, kHeadless, "/");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string tooLong = "ZaDozivo/32: Command line is too long (";
  EXPECT_EQ(Count(r.err, tooLong), 2u) << r.err;
  const std::string log = ReadFile(dir + "ZVMAIL32.LOG");
  EXPECT_EQ(Count(log, "BETWEEN ran") + Count(log, "LAUNCH ran"), 0u) << log;
  // The second send pass still ran, and the run ended as usual.
  EXPECT_EQ(Count(log, "No messages to send"), 2u) << log;
  EXPECT_EQ(Count(log, "  Exiting\r\n"), 1u) << log;
  EXPECT_NE(ReadFile(dir + "ZVMAIL32.INI").find("COUNTER    42\r\n"), std::string::npos);
}

}  // namespace
