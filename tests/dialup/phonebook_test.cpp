// The dial-up component on the platform's own service with a phone book in
// a temporary directory: scripted entries, command entries, entry lists.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <cstdlib>
#include <functional>

#include "dialup/Rascomp32.h"
#include "platform/ras.h"
#include "support/testutil.h"

namespace {

using zvtest::TempDir;
using zvtest::WriteFile;

// Pumps the event queue until `done` holds or ten seconds have passed.
bool WaitFor(const std::function<bool()>& done) {
  QDeadlineTimer deadline(10000);
  QTimer wake;
  wake.start(20);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

class PhoneBook : public ::testing::Test {
 protected:
  TempDir dir;
  std::string book = dir / "phonebook";
  TRAS ras;
  std::vector<std::string> events;
  std::vector<std::string> texts;  // StatusText after each event
  std::vector<std::pair<int32_t, std::string>> disconnects;

  void SetUp() override {
    auto record = [this](const char* name) {
      return [this, name](TRAS* r) {
        events.push_back(name);
        texts.push_back(r->StatusText());
      };
    };
    ras.OnAboutToOpenPort = record("AboutToOpenPort");
    ras.OnPortOpened = record("PortOpened");
    ras.OnAboutToConnDev = record("AboutToConnDev");
    ras.OnDevConnected = record("DevConnected");
    ras.OnAllDevsConnected = record("AllDevsConnected");
    ras.OnAuthenticate = record("Authenticate");
    ras.OnAuthenticated = record("Authenticated");
    ras.OnConnect = record("Connect");
    ras.OnDisconnect = [this](TRAS*, int32_t error, const std::string& text) {
      events.push_back("Disconnect");
      disconnects.emplace_back(error, text);
    };
  }

  void Use(const std::string& contents) {
    WriteFile(book, contents);
    ras.SetPhoneBookPath(book);
  }
  bool Ended() { return ras.LastError != 0 || (!events.empty() && (events.back() == "Connect" || events.back() == "Disconnect")); }
};

const std::vector<std::string> kSuccessfulDial = {"AboutToOpenPort", "PortOpened",   "AboutToConnDev",
                                                  "DevConnected",    "AllDevsConnected", "Authenticate",
                                                  "Authenticated",   "Connect"};

TEST_F(PhoneBook, ScriptedEntryConnectsThroughEveryState) {
  Use("# test book\n[Office]\ndevice-type = isdn\ndevice-name = Line 1\n");
  ras.EntryName = "office";  // names match in any letter case
  ASSERT_EQ(ras.Dial(), 0);
  EXPECT_TRUE(events.empty());  // states arrive only through the event queue
  ASSERT_TRUE(WaitFor([&] { return Ended(); }));
  EXPECT_EQ(events, kSuccessfulDial);
  EXPECT_EQ(texts[0], "Opening Port");
  EXPECT_EQ(texts[2], "Using Device: Line 1 - isdn");
  EXPECT_EQ(texts[6], "Login Authenticated");
  EXPECT_EQ(ras.LastError, 0);
  EXPECT_EQ(ras.ConnectState, 8192);
  EXPECT_EQ(ras.HangUp(), 0);
  EXPECT_EQ(events.back(), "Disconnect");
  EXPECT_EQ(disconnects.back(), std::make_pair(int32_t(ras::ERROR_INVALID_HANDLE), std::string()));
}

TEST_F(PhoneBook, ScriptedOutcomes) {
  struct Case {
    const char* name;
    const char* entry;
    std::vector<std::string> events;
    int32_t lastError;
    const char* errorText;
  };
  const Case cases[] = {
      {"busy line", "states = 0, 1 2\nerror = 676\n", {"AboutToOpenPort", "PortOpened", "AboutToConnDev"}, 676,
       "The line is busy."},
      {"no states, wrong password", "states =\nerror = 691\n", {}, 691,
       "Access was denied because the user name or password is not valid."},
      {"unreadable items are skipped", "states = 0, x, 99999, 1\nerror = 680", {"AboutToOpenPort", "PortOpened"},
       680, "There is no dial tone."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    Use(std::string("[Line]\n") + c.entry);
    ras.EntryName = "Line";
    ASSERT_EQ(ras.Dial(), 0);
    ASSERT_TRUE(WaitFor([&] { return Ended(); }));
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(ras.LastError, c.lastError);
    EXPECT_EQ(ras.ErrorText(ras.LastError), c.errorText);
    EXPECT_EQ(ras.StatusText(), c.errorText);  // the status keeps the error
    ras.HangUp();
  }
}

TEST_F(PhoneBook, LineThatDropsAfterConnectingReportsTheDrop) {
  Use("[Flaky]\nstates = 0,8192\ndisconnect = yes\n[Coded]\nstates = 8192\ndisconnect = 679\n");
  const std::pair<const char*, std::string> cases[] = {{"Flaky", "The connection was dropped."},
                                                       {"Coded", "There is no carrier."}};
  for (const auto& [entry, text] : cases) {
    events.clear();
    disconnects.clear();
    ras.EntryName = entry;
    ASSERT_EQ(ras.Dial(), 0);
    ASSERT_TRUE(WaitFor([&] { return !disconnects.empty(); })) << entry;
    EXPECT_EQ(events.back(), "Disconnect");
    EXPECT_EQ(disconnects[0].second, text);
    EXPECT_NE(ras.ConnectionHandle, 0u);  // held until the owner hangs up
    ras.HangUp();
  }
}

TEST_F(PhoneBook, DialThatCannotStart) {
  Use("[Office]\n");
  struct Case {
    const char* entry;
    std::string path;
    int32_t code;
  };
  const Case cases[] = {{"Elsewhere", book, 623}, {"", book, 623}, {"Office", dir / "missing", 621}};
  for (const auto& c : cases) {
    ras.EntryName = c.entry;
    ras.SetPhoneBookPath(c.path);
    EXPECT_EQ(ras.Dial(), c.code) << c.entry;
    EXPECT_EQ(ras.LastError, c.code);
    EXPECT_EQ(ras.ConnectionHandle, 0u);
  }
  QCoreApplication::processEvents();
  EXPECT_TRUE(events.empty());
}

TEST_F(PhoneBook, EntriesListsTheFirstTwentyAndSkipsEmptyNames) {
  std::string text = "key = before any section is ignored\n";
  for (int i = 1; i <= 25; ++i) text += i == 2 ? "[]\n" : "[Entry " + std::to_string(i) + "]\nstates = 0\n";
  text += "[entry 1]\n";  // a second section of the same name is ignored
  Use(text);
  EXPECT_EQ(ras.LastError, 603);
  ASSERT_EQ(ras.Entries.size(), 19u);
  EXPECT_EQ(ras.Entries[0], "Entry 1");
  EXPECT_EQ(ras.Entries[1], "Entry 3");
  EXPECT_EQ(ras.Entries.back(), "Entry 20");

  Use("[A]\n[  B  ]\n; comment\n");
  EXPECT_EQ(ras.LastError, 0);
  EXPECT_EQ(ras.Entries, (std::vector<std::string>{"A", "B"}));

  ras.SetPhoneBookPath(dir / "missing");
  EXPECT_EQ(ras.LastError, 621);
  EXPECT_TRUE(ras.Entries.empty());
}

TEST_F(PhoneBook, DefaultPhoneBookComesFromTheEnvironment) {
  WriteFile(book, "[Default entry]\n");
  const char* old = std::getenv("ZVMAIL32_PHONEBOOK");
  const std::string saved = old ? old : "";
  ::setenv("ZVMAIL32_PHONEBOOK", book.c_str(), 1);
  EXPECT_EQ(ras::DefaultPhoneBookPath(), book);
  EXPECT_EQ(ras.LoadEntries(), 0);
  EXPECT_EQ(ras.Entries, std::vector<std::string>{"Default entry"});
  ras.EntryName = "Default entry";
  EXPECT_EQ(ras.Dial(), 0);
  ras.HangUp();
  if (old)
    ::setenv("ZVMAIL32_PHONEBOOK", saved.c_str(), 1);
  else
    ::unsetenv("ZVMAIL32_PHONEBOOK");
}

TEST_F(PhoneBook, CommandEntries) {
  struct Case {
    const char* dial;
    bool connects;
    int32_t error;
  };
  const Case cases[] = {
      {"/bin/true", true, 0},
      {"/bin/false", false, 651},
      {"test \"$ZVMAIL32_USER:$ZVMAIL32_PASSWORD:$ZVMAIL32_ENTRY\" = \"alice:s3cret:Link\"", true, 0},
      {"exec /nonexistent/dialler", false, 651},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dial);
    events.clear();
    Use(std::string("[Link]\ndial = ") + c.dial + "\nhangup = echo down > '" + dir / "hung" + "'\n");
    ras.EntryName = "Link";
    ras.UserName = "alice";
    ras.Password = "s3cret";
    ASSERT_EQ(ras.Dial(), 0);
    ASSERT_TRUE(WaitFor([&] { return Ended(); }));
    std::vector<std::string> expected(kSuccessfulDial.begin(), kSuccessfulDial.begin() + 6);
    if (c.connects) expected = kSuccessfulDial;
    EXPECT_EQ(events, expected);
    EXPECT_EQ(ras.LastError, c.error);
    std::remove((dir / "hung").c_str());
    ras.HangUp();
    EXPECT_TRUE(WaitFor([&] { return zvtest::ReadFile(dir / "hung") == "down\n"; }));
  }
}

TEST_F(PhoneBook, DialCommandThatDoesNotFinishInTimeIsEnded) {
  Use("[Slow]\ndial = exec sleep 60\ntimeout = 1\n");
  ras.EntryName = "Slow";
  ASSERT_EQ(ras.Dial(), 0);
  ASSERT_TRUE(WaitFor([&] { return Ended(); }));
  EXPECT_EQ(ras.LastError, 678);
  EXPECT_EQ(ras.ErrorText(678), "There is no answer.");
}

TEST_F(PhoneBook, HangUpDuringTheDialCommandAbandonsIt) {
  Use("[Slow]\ndial = exec sleep 60\n");
  ras.EntryName = "Slow";
  ASSERT_EQ(ras.Dial(), 0);
  ASSERT_TRUE(WaitFor([&] { return events.size() == 6; }));  // the command runs now
  ras.HangUp();
  events.clear();
  QCoreApplication::processEvents();
  EXPECT_TRUE(events.empty());
  // The service is free for the next dial at once.
  Use("[Slow]\n");
  ASSERT_EQ(ras.Dial(), 0);
  ASSERT_TRUE(WaitFor([&] { return Ended(); }));
  EXPECT_EQ(events, kSuccessfulDial);
}

}  // namespace
