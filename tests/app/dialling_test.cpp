// Auto-dial of the main window: driven in-process with a scripted dial-up
// service and a window list of the test's own, and, where the run ends from
// inside a notification, on the built program with a temporary phone book.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <sys/stat.h>

#include "app/mainunit.h"
#include "platform/msgwindow.h"
#include "platform/ras.h"
#include "platform/windowlist.h"
#include "support/testutil.h"

namespace {

using zvtest::ReadFile;
using zvtest::TempDir;
using zvtest::WriteFile;

// Plays a list of notifications, one per pass of the event loop, and answers
// status queries as the line stands after the last one played.
class ScriptedRas : public ras::Service {
 public:
  struct Step {
    uint32_t state, error;
  };
  std::deque<Step> script;
  uint32_t dialResult = 0;
  int dials = 0;
  int hangUps = 0;
  std::string entryName, userName, password;

  ScriptedRas() {
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Play(); });
  }

  uint32_t RasDialA(const void*, const char*, const ras::RASDIALPARAMSA* p, uint32_t, plat::HiddenWindow* n,
                    ras::HRASCONN* conn) override {
    ++dials;
    entryName = p->szEntryName;
    userName = p->szUserName;
    password = p->szPassword;
    if (dialResult != 0) {
      *conn = 0;
      return dialResult;
    }
    notifier_ = n;
    live_ = true;
    *conn = 1;
    timer_.start();
    return 0;
  }
  uint32_t RasHangUpA(ras::HRASCONN) override {
    ++hangUps;
    live_ = false;
    timer_.stop();
    return 0;
  }
  uint32_t RasGetConnectStatusA(ras::HRASCONN conn, ras::RASCONNSTATUSA* st) override {
    if (conn == 0 || !live_) return ras::ERROR_INVALID_HANDLE;
    if (state_ == ras::RASCS_Disconnected) return ras::ERROR_PORT_DISCONNECTED;
    st->rasconnstate = state_;
    st->dwError = error_;
    return 0;
  }
  uint32_t RasEnumEntriesA(const char*, const char*, ras::RASENTRYNAMEA*, uint32_t*, uint32_t* count) override {
    *count = 0;
    return 0;
  }
  uint32_t RasGetErrorStringA(uint32_t code, char* buffer, uint32_t size) override {
    if (code != ras::ERROR_PORT_DISCONNECTED) return ras::ERROR_INVALID_PARAMETER;
    std::snprintf(buffer, size, "The connection was dropped.");
    return 0;
  }

 private:
  void Play() {
    if (script.empty() || !notifier_) {
      timer_.stop();
      return;
    }
    const Step s = script.front();
    script.pop_front();
    if (s.error != 0)
      error_ = s.error;
    else
      state_ = s.state;
    notifier_->post(plat::RegisterWindowMessage(ras::kDialEventName), s.state, s.error);
  }

  QTimer timer_;
  QPointer<plat::HiddenWindow> notifier_;
  bool live_ = false;
  uint32_t state_ = 0, error_ = 0;
};

class FakeWindows : public plat::WindowList {
 public:
  std::vector<Window> windows;
  std::vector<std::uintptr_t> minimised;
  int scans = 0;
  std::vector<Window> TopLevelWindows() override {
    ++scans;
    return windows;
  }
  bool Minimise(std::uintptr_t id) override {
    minimised.push_back(id);
    return true;
  }
};

const std::deque<ScriptedRas::Step> kConnects = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {14, 0}, {8192, 0}};

std::vector<std::string> LogMessages(const std::string& path) {
  std::vector<std::string> msgs;
  const std::string text = ReadFile(path);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    msgs.push_back(line.size() >= 19 ? line.substr(19) : line);
    start = end + 2;
  }
  return msgs;
}

class AutoDial : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<ScriptedRas> ras = std::make_shared<ScriptedRas>();
  std::shared_ptr<FakeWindows> windows = std::make_shared<FakeWindows>();
  std::unique_ptr<TMain> main;
  std::vector<std::string> labels;  // lbState after each dial event
  bool busyDuringWait = false;

  struct Settings {
    bool dial = true;
    bool daemon = false;
    bool debug = false;
    bool hangup = false;
  };

  void Make(const Settings& s) {
    TMainServices services;
    services.ras = ras;
    services.windows = windows;
    services.terminate = [] { throw TMainTerminated{}; };
    main = std::make_unique<TMain>(std::vector<std::string>{dir / "zvmail32"}, services, dir.path());
    main->Config.LOG = true;
    main->Config.LOGFILE = dir / "ZVMAIL32.LOG";
    main->Config.DIAL = s.dial;
    main->Config.DaemonMode = s.daemon;
    main->Config.DEBUG = s.debug;
    // Only safe in-process once the exit procedure has run: the hang-up of
    // the destruction then does not end the program again.
    main->Config.HANGUP = s.hangup;
    main->RAS.EntryName = "Office";

    TNotifyEvent TRAS::*const events[] = {&TRAS::OnAboutToOpenPort, &TRAS::OnPortOpened, &TRAS::OnAboutToConnDev,
                                          &TRAS::OnDevConnected,    &TRAS::OnAllDevsConnected, &TRAS::OnAuthenticate,
                                          &TRAS::OnAuthRetry,       &TRAS::OnAuthenticated, &TRAS::OnWaitForModemReset,
                                          &TRAS::OnConnect};
    TMain* m = main.get();  // `main` is already null while it is destroyed
    for (auto slot : events) {
      TNotifyEvent original = m->RAS.*slot;
      m->RAS.*slot = [this, m, original](TRAS* sender) {
        busyDuringWait = m->Busy;
        original(sender);
        labels.push_back(m->lbState->text().toStdString());
      };
    }
    TRasStateEvent original = m->RAS.OnDisconnect;
    m->RAS.OnDisconnect = [this, m, original](TRAS* sender, int32_t error, const std::string& text) {
      original(sender, error, text);
      labels.push_back(m->lbState->text().toStdString());
    };
  }

  std::vector<std::string> Log() { return LogMessages(dir / "ZVMAIL32.LOG"); }
};

TEST_F(AutoDial, SuccessfulDialShowsEveryStateAndMinimisesTheConnectionWindow) {
  ras->script = kConnects;
  windows->windows = {{11, "Editor"}, {12, "Connected to Office"}};
  Make({});
  main->AutoDial();
  EXPECT_EQ(labels, (std::vector<std::string>{
                        "Dialing .. opening port", "Dialing .. port opened", "Dialing .. connecting to device",
                        "Dialing .. devices connected", "Dialing .. devices connected", "Dialing .. authenticating",
                        "Dialing .. authenticated", "Dialing .. connected"}));
  EXPECT_TRUE(busyDuringWait);
  EXPECT_FALSE(main->Busy);
  EXPECT_FALSE(main->Dialling);
  EXPECT_EQ(ras->entryName, "Office");
  EXPECT_EQ(windows->minimised, std::vector<std::uintptr_t>{12});
  EXPECT_EQ(Log(), (std::vector<std::string>{"Dialing", "Connected"}));

  // Only the first call of a run dials and scans.
  main->AutoDial();
  EXPECT_EQ(ras->dials, 1);
  EXPECT_EQ(windows->scans, 1);
}

TEST_F(AutoDial, DialOffDoesNothing) {
  Make({.dial = false});
  main->AutoDial();
  main->AutoDial();
  EXPECT_EQ(ras->dials, 0);
  EXPECT_EQ(windows->scans, 0);
  EXPECT_TRUE(main->DialPending);
  EXPECT_TRUE(Log().empty());
}

TEST_F(AutoDial, ErrorDuringTheWaitEndsTheProgram) {
  struct Case {
    uint32_t error;
    Settings settings;
    std::vector<std::string> log;  // after the window is destroyed
  };
  const Case cases[] = {
      {676, {.debug = true}, {"Dialing", "Busy", "DEBUG:RAS LE = 676", "Exiting", "Disconnected"}},
      {676, {}, {"Dialing", "Busy", "Exiting", "Disconnected"}},
      {691, {.debug = true}, {"Dialing", "DEBUG:RAS LE = 691", "Exiting", "Disconnected"}},
      {676, {.daemon = true, .hangup = true}, {"Dialing", "Busy", "Exiting", "Disconnected", "Disconnected"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::remove((dir / "ZVMAIL32.LOG").c_str());
    std::remove((dir / "ZVMAIL32.INI").c_str());  // left by the last case
    ras = std::make_shared<ScriptedRas>();
    windows = std::make_shared<FakeWindows>();
    ras->script = {{0, 0}, {1, 0}, {1, c.error}};
    Make(c.settings);
    EXPECT_THROW(main->AutoDial(), TMainTerminated);
    EXPECT_TRUE(main->Exiting);
    EXPECT_EQ(main->EndStatus, 75) << "a failed dial is worth another try, in daemon mode too";
    EXPECT_EQ(ras->hangUps, 1);
    EXPECT_EQ(windows->scans, 0);
    main.reset();
    EXPECT_EQ(Log(), c.log);
  }
}

TEST_F(AutoDial, LineDroppedInDaemonModeLetsThePassGoOn) {
  ras->script = {{0, 0}, {1, 0}, {8193, 0}};
  Make({.daemon = true});
  main->AutoDial();
  EXPECT_EQ(labels.back(), "Dialing .. diconnected (The connection was dropped.)");
  EXPECT_EQ(Log(), (std::vector<std::string>{"Dialing", "Disconnected (The connection was dropped.)"}));
  EXPECT_FALSE(main->Exiting);
  EXPECT_FALSE(main->Busy);
  EXPECT_EQ(windows->scans, 1);
}

TEST_F(AutoDial, DialThatCannotStartIsNotReported) {
  ras->dialResult = ras::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  windows->windows = {{5, "CONNECTED TO elsewhere"}};
  Make({});
  main->AutoDial();
  EXPECT_EQ(Log(), std::vector<std::string>{"Connected"});  // the scan still runs
  EXPECT_FALSE(main->Busy);
  EXPECT_FALSE(main->Exiting);
  EXPECT_EQ(ras->dials, 1);
}

TEST_F(AutoDial, WindowScanMinimisesTheFirstTitleStartingWithConnectedTo) {
  struct Case {
    std::vector<plat::WindowList::Window> windows;
    std::vector<std::uintptr_t> minimised;
  };
  const Case cases[] = {
      {{{1, "connected to office"}}, {1}},
      {{{1, "CoNnEcTeD tO x"}}, {1}},
      {{{1, "Connected to "}}, {1}},
      {{{1, "Connected to"}}, {}},
      {{{1, "Connected toOffice"}}, {}},
      {{{1, " Connected to Office"}}, {}},
      {{{1, ""}, {2, "Connected to A"}, {3, "CONNECTED TO B"}}, {2}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.windows.empty() ? std::string("no windows") : c.windows.back().title);
    std::remove((dir / "ZVMAIL32.LOG").c_str());
    std::remove((dir / "ZVMAIL32.INI").c_str());
    ras = std::make_shared<ScriptedRas>();
    ras->script = {{8192, 0}};
    windows = std::make_shared<FakeWindows>();
    windows->windows = c.windows;
    Make({});
    main->AutoDial();
    EXPECT_EQ(windows->minimised, c.minimised);
    std::vector<std::string> log = {"Dialing"};
    if (!c.minimised.empty()) log.push_back("Connected");
    EXPECT_EQ(Log(), log);
  }
}

TEST_F(AutoDial, StartUpCopiesTheDialSettings) {
  WriteFile(dir / "ZVMAIL32.INI", "[Auto Dialing]\r\nDIAL       YES\r\nCONNECTION My ISP\r\nLOGIN_ID   alice\r\n"
                                  "LOGIN_PWD  s3cret\r\nRETRIES    5 times\r\n");
  TMainServices services;
  services.ras = ras;
  services.windows = windows;
  TMain m({dir / "zvmail32"}, services, dir.path());
  EXPECT_EQ(m.RAS.EntryName, "My ISP");
  EXPECT_EQ(m.RAS.UserName, "alice");
  EXPECT_EQ(m.RAS.Password, "s3cret");
  EXPECT_EQ(m.RAS.RedialAttempts(), 5);
  EXPECT_EQ(m.RAS.PhoneNumber, "");
  EXPECT_EQ(m.RAS.Domain, "");
  EXPECT_EQ(m.RAS.PhoneBookPath(), "");
  ras->dialResult = ras::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  m.AutoDial();
  EXPECT_EQ(ras->dials, 1);
  EXPECT_EQ(ras->entryName, "My ISP");
  EXPECT_EQ(ras->userName, "alice");
  EXPECT_EQ(ras->password, "s3cret");
}

// ---- The built program on a temporary phone book ----

std::string CompleteConfig(const TempDir& dir, const std::string& extra) {
  ::mkdir((dir / "out").c_str(), 0755);
  ::mkdir((dir / "in").c_str(), 0755);
  return "SMTP 127.0.0.1:1\r\nPOP 127.0.0.1:1\r\nUSERNAME u\r\nPASSWORD p\r\nROBOT robot\r\nIN " + dir / "in" +
         "\r\nOUT " + dir / "out" + "\r\nLOG YES\r\nDIAL YES\r\nCONNECTION Line\r\n" + extra;
}

TEST(AutoDialProgram, LineEndsTheRunFromTheDialWait) {
  struct Case {
    const char* name;
    const char* entry;
    const char* extra;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"line drops outside daemon mode", "states = 0, 1\ndisconnect = yes\n", "",
       {"Running version 2.0", "Dialing", "Disconnected (The connection was dropped.)", "Exiting", "Disconnected"}},
      {"busy line with hang-up at the end", "states = 0, 1\nerror = 676\n", "DEBUG YES\r\nHANGUP YES\r\n",
       {"Running version 2.0", "Dialing", "Busy", "DEBUG:RAS LE = 676", "Exiting", "Disconnected", "Disconnected"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "phonebook", std::string("[Line]\n") + c.entry);
    WriteFile(dir / "ZVMAIL32.INI", CompleteConfig(dir, c.extra));
    const auto program = zvtest::LinkProgramInto(dir.path());
    auto r = zvtest::RunProgram(program, {},
                                {{"QT_QPA_PLATFORM", "offscreen"}, {"ZVMAIL32_PHONEBOOK", dir / "phonebook"}}, "/");
    EXPECT_EQ(r.exitCode, 75) << r.err;
    EXPECT_EQ(LogMessages(dir / "ZVMAIL32.LOG"), c.log) << r.err;
  }
}

}  // namespace
