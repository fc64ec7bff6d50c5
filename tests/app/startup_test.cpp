// Start-up and shut-down of the built program, run as a child process in a
// temporary instance directory, plus the log line and status display of an
// in-process main window.
#include <gtest/gtest.h>

#include <QLabel>
#include <ctime>
#include <sys/stat.h>

#include "app/mainunit.h"
#include "app/status_echo.h"
#include "support/testutil.h"

using zvtest::FileExists;
using zvtest::ReadFile;
using zvtest::RunProgram;
using zvtest::TempDir;
using zvtest::WriteFile;

namespace {

const std::map<std::string, std::string> kHeadless = {{"QT_QPA_PLATFORM", "offscreen"}};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The message texts of a log file, without their time stamps.
std::vector<std::string> LogMessages(const std::string& path) {
  std::vector<std::string> msgs;
  for (auto& line : Lines(ReadFile(path))) msgs.push_back(line.size() >= 19 ? line.substr(19) : line);
  return msgs;
}

// A complete configuration whose servers refuse at once (port 1 on loopback)
// and whose OUT directory is empty, so a run ends quickly.
void WriteCompleteConfig(const TempDir& dir, bool log, const std::string& extra = {}) {
  ::mkdir((dir / "out").c_str(), 0755);
  ::mkdir((dir / "in").c_str(), 0755);
  WriteFile(dir / "ZVMAIL32.INI", "SMTP 127.0.0.1:1\r\nPOP 127.0.0.1:1\r\nUSERNAME u\r\nPASSWORD p\r\n"
                                  "ROBOT robot\r\nIN " + dir / "in" + "\r\nOUT " + dir / "out" +
                                  "\r\nLOG " + (log ? "YES" : "NO") + "\r\n" + extra);
}

}  // namespace

TEST(StartUp, MissingConfigurationShowsTheErrorAndLeavesACompleteFile) {
  TempDir dir;
  const auto program = zvtest::LinkProgramInto(dir.path());
  auto r = RunProgram(program, {}, kHeadless, "/");
  EXPECT_EQ(r.exitCode, 78);
  EXPECT_NE(r.err.find("Configuration Error: Configuration file is not complete or missing.\n"), std::string::npos)
      << r.err;
  const std::string ini = ReadFile(dir / "ZVMAIL32.INI");
  const auto lines = Lines(ini);
  ASSERT_EQ(lines.size(), 32u) << ini;
  EXPECT_EQ(lines[0], "[Notice]");
  EXPECT_EQ(lines[7], "SMTP       ");
  EXPECT_EQ(lines[31], ";DAEMON   600");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "ZVMAIL32.INI").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(FileExists(dir / "ZVMAIL32.LOG"));  // LOG is off by default
}

TEST(StartUp, SetupSwitchIsTheFirstArgumentInAnyCase) {
  struct Case {
    std::vector<std::string> args;
    bool setupRun;
  };
  const Case cases[] = {
      {{"/SETUP"}, true}, {{"/setup"}, true}, {{"/SeTuP", "x"}, true}, {{"x", "/SETUP"}, false}, {{"/SETUPX"}, false},
      {{"--setup"}, true}, {{"x", "--setup"}, true}};
  for (const auto& c : cases) {
    TempDir dir;
    const auto program = zvtest::LinkProgramInto(dir.path());
    auto r = RunProgram(program, c.args, kHeadless, "/");
    EXPECT_EQ(r.exitCode, c.setupRun ? 0 : 78);  // a configuration run keeps 0
    const bool errorBox = r.err.find("Configuration Error:") != std::string::npos;
    const bool setupNote = r.err.find("Configuration: ") != std::string::npos;
    // A configuration run never shows the error box, even with no configuration.
    EXPECT_EQ(errorBox, !c.setupRun) << c.args[0] << "\n" << r.err;
    EXPECT_EQ(setupNote, c.setupRun) << c.args[0] << "\n" << r.err;
    EXPECT_TRUE(FileExists(dir / "ZVMAIL32.INI"));
  }
}

TEST(StartUp, NormalRunLogsStartAndExitOnlyWithLogOn) {
  // Under systemd (JOURNAL_STREAM set) every log line also goes to standard
  // error, escaped as in the log, whether or not LOG is on.
  for (const auto& [log, journal] : {std::pair{true, false}, {false, false}, {false, true}, {true, true}}) {
    SCOPED_TRACE(std::string(log ? "LOG YES" : "LOG NO") + (journal ? " under systemd" : ""));
    TempDir dir;
    WriteCompleteConfig(dir, log, "ODD\x1b" "KEY 1\r\n");
    if (log) {
      // A log others may read is made the owner's alone.
      WriteFile(dir / "ZVMAIL32.LOG", "");
      ::chmod((dir / "ZVMAIL32.LOG").c_str(), 0644);
    }
    const auto program = zvtest::LinkProgramInto(dir.path());
    auto env = kHeadless;
    if (journal) env["JOURNAL_STREAM"] = "8:12345";
    auto r = RunProgram(program, {}, env, "/");
    EXPECT_EQ(r.exitCode, 75) << r.err;  // the POP3 server refused: worth another try
    const std::string unknownKey = "ZVMAIL32.INI: a line with the unknown key \"ODD\\x1BKEY\" is ignored";
    for (const std::string& line :
         {std::string("Running version 2.0\n"), std::string("Exiting\nDisconnected\n"), unknownKey + "\n"})
      EXPECT_EQ(r.err.find(line) != std::string::npos, journal) << line << r.err;
    if (!log) {
      EXPECT_FALSE(FileExists(dir / "ZVMAIL32.LOG"));
      continue;
    }
    const auto msgs = LogMessages(dir / "ZVMAIL32.LOG");
    ASSERT_GE(msgs.size(), 3u);
    EXPECT_EQ(msgs.front(), "Running version 2.0");
    EXPECT_EQ(msgs[1], unknownKey);
    // Every end through the exit procedure logs "Exiting" then the hang-up.
    EXPECT_EQ(msgs[msgs.size() - 2], "Exiting");
    EXPECT_EQ(msgs.back(), "Disconnected");
    // LOGFILE was completed to its default and stored back.
    EXPECT_NE(ReadFile(dir / "ZVMAIL32.INI").find("LOGFILE    " + dir / "ZVMAIL32.LOG" + "\r\n"), std::string::npos);
    // The log names hosts and users: its owner's only.
    struct stat st {};
    ASSERT_EQ(::stat((dir / "ZVMAIL32.LOG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

// Run by hand on a terminal, a failure is told there whatever LOG says;
// what is no failure is not.
TEST(StartUp, AFailedRunOnATerminalSaysWhy) {
  TempDir dir;
  WriteCompleteConfig(dir, /*log=*/false);
  const auto program = zvtest::LinkProgramInto(dir.path());
  // script(1) gives the program a terminal and copies what it writes there.
  auto r = RunProgram("/usr/bin/script", {"-qec", "'" + program + "'", "/dev/null"}, kHeadless, "/");
  EXPECT_EQ(r.exitCode, 75) << r.out;
  EXPECT_NE(r.out.find("zvmail32: 127.0.0.1:1: connection refused\r\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Running version 2.0"), std::string::npos) << r.out;
  EXPECT_FALSE(FileExists(dir / "ZVMAIL32.LOG"));
}

TEST(StartUp, DaemonKeyShowsTheDaemonLabelAndEchoesStatus) {
  // An incomplete file keeps the run short: the error box ends it.
  TempDir incomplete;
  WriteFile(incomplete / "ZVMAIL32.INI", "DAEMON 600\r\n");
  const auto program = zvtest::LinkProgramInto(incomplete.path());
  auto env = kHeadless;
  env["ZVMAIL32_ECHO_STATUS"] = "1";
  auto r = RunProgram(program, {}, env, "/");
  EXPECT_EQ(r.exitCode, 78);
  EXPECT_NE(r.err.find("lbVersion: Zorvik Mailer v2.0 for Windows\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("lbDaemon: shown\n"), std::string::npos) << r.err;
  EXPECT_NE(ReadFile(incomplete / "ZVMAIL32.INI").find("DAEMON 600\r\n"), std::string::npos);
  // A list of control names echoes only those.
  env["ZVMAIL32_ECHO_STATUS"] = "lbDaemon,,lbNothing";
  r = RunProgram(program, {}, env, "/");
  EXPECT_NE(r.err.find("lbDaemon: shown\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("lbVersion"), std::string::npos) << r.err;
}

TEST(LogLine, StampIsMonthDayYearThenTimeAndTwoBlanks) {
  std::tm t{};
  t.tm_year = 126;  // 2026
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(FormatLogLine(t, "Exiting"), "12/06/26 14:05:09  Exiting\r\n");
  t.tm_year = 100;
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_hour = 0;
  t.tm_min = 0;
  t.tm_sec = 0;
  EXPECT_EQ(FormatLogLine(t, ""), "01/01/00 00:00:00  \r\n");
  // Bytes from servers and file names never forge a line or reach a terminal.
  EXPECT_EQ(FormatLogLine(t, std::string("a\r\nforged\tb\x1b[2J\x7f\0", 17)),
            "01/01/00 00:00:00  a\\x0D\\x0Aforged\tb\\x1B[2J\\x7F\\x00\r\n");
  // C1 controls too, raw or in UTF-8; UTF-8 characters whose bytes fall in
  // that range, and 8-bit letters, stay.
  EXPECT_EQ(FormatLogLine(t, "\x9b" "2J \xc2\x9b" "2J \xc2\x85 caf\xc3\xa9 \xc4\x85 \xe2\x82\xac \xe9t\xe9 \xe2\x82"),
            "01/01/00 00:00:00  \\x9B2J \\xC2\\x9B2J \\xC2\\x85 caf\xc3\xa9 \xc4\x85 \xe2\x82\xac \xe9t\xe9 \xe2\\x82\r\n");
}

class MainWindowTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(MainWindowTest, ControlsCarryTheirNamesAndInitialCaptions) {
  TMain main({dir / "zvmail32"}, {}, dir.path());
  const std::pair<const char*, const char*> captions[] = {
      {"Label1", "State"},      {"Label2", "Command"}, {"Label3", "Response"}, {"Label4", "Error"},
      {"lbState", "Closed"},    {"lbCommand", "Waiting"}, {"lbResponse", "None"}, {"lbError", "None"},
      {"lbAction", "Action"},   {"lbVersion", "Zorvik Mailer v2.0 for Windows"}, {"lbDaemon", "Daemon Mode"}};
  for (auto [name, caption] : captions) {
    auto* label = main.findChild<QLabel*>(name);
    ASSERT_NE(label, nullptr) << name;
    EXPECT_EQ(label->text().toStdString(), caption) << name;
  }
  EXPECT_EQ(main.windowTitle().toStdString(), "ZaDozivo/32");
  EXPECT_TRUE(main.lbDaemon->isHidden());
  EXPECT_FALSE(main.AutoRun.isActive());
  EXPECT_EQ(main.AutoRun.interval(), 1000);
  EXPECT_EQ(main.Timed.interval(), 8);
  EXPECT_TRUE(main.ConfigIncomplete);
}

TEST_F(MainWindowTest, SocketStateIsShownOnlyWhenItChanges) {
  TMain main({dir / "zvmail32"}, {}, dir.path());
  main.SetCaption(main.lbState, "Dialing .. connected");
  main.ShowSocketState();  // state 0 was the last shown: no rewrite
  EXPECT_EQ(main.lbState->text().toStdString(), "Dialing .. connected");
  main.LastShownState = -1;  // a pass forces the next refresh
  main.ShowSocketState();
  EXPECT_EQ(main.lbState->text().toStdString(), "Closed");
  const std::pair<uint8_t, const char*> states[] = {{1, "Connected"}, {2, "Listening"}, {3, "Error"}, {7, "Status = 7"}};
  for (auto [state, text] : states) {
    main.Sock.State = state;
    main.ShowSocketState();
    EXPECT_EQ(main.lbState->text().toStdString(), text);
  }
  main.Sock.State = 0;
}

TEST_F(MainWindowTest, WaitTickReturnsAfterOneTickOfTheTimer) {
  TMain main({dir / "zvmail32"}, {}, dir.path());
  for (int i = 0; i < 5; ++i) {
    main.WaitTick();
    EXPECT_TRUE(main.TickFired);
    EXPECT_FALSE(main.Timed.isActive());  // one-shot
  }
}
