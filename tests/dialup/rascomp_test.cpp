// The dial-up component against a service the test controls: what a dial
// passes, how notifications become events and texts, hang-up, entry lists
// and the connection list.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>

#include "dialup/Rascomp32.h"
#include "fake_ras.h"

namespace {

struct Recorder {
  std::vector<std::string> events;
  std::vector<std::pair<int32_t, std::string>> disconnects;
};

// Assigns every event of `r` so that each firing is recorded by name.
void RecordAll(TRAS& r, Recorder& rec) {
  const std::pair<TNotifyEvent TRAS::*, const char*> table[] = {
      {&TRAS::OnCallBack, "CallBack"},
      {&TRAS::OnConnect, "Connect"},
      {&TRAS::OnAboutToOpenPort, "AboutToOpenPort"},
      {&TRAS::OnPortOpened, "PortOpened"},
      {&TRAS::OnAboutToConnDev, "AboutToConnDev"},
      {&TRAS::OnDevConnected, "DevConnected"},
      {&TRAS::OnAllDevsConnected, "AllDevsConnected"},
      {&TRAS::OnAuthenticate, "Authenticate"},
      {&TRAS::OnAuthNotify, "AuthNotify"},
      {&TRAS::OnAuthRetry, "AuthRetry"},
      {&TRAS::OnAuthCallBack, "AuthCallBack"},
      {&TRAS::OnAuthChangePassword, "AuthChangePassword"},
      {&TRAS::OnAuthProject, "AuthProject"},
      {&TRAS::OnAuthLinkSpeed, "AuthLinkSpeed"},
      {&TRAS::OnAuthAck, "AuthAck"},
      {&TRAS::OnReAuthenticate, "ReAuthenticate"},
      {&TRAS::OnAuthenticated, "Authenticated"},
      {&TRAS::OnPrepareforCallback, "PrepareforCallback"},
      {&TRAS::OnWaitForModemReset, "WaitForModemReset"},
      {&TRAS::OnInteractiveStarted, "InteractiveStarted"},
      {&TRAS::OnRetryAuth, "RetryAuth"},
      {&TRAS::OnPasswordExpired, "PasswordExpired"},
  };
  for (const auto& [slot, name] : table) {
    std::string n = name;
    r.*slot = [&rec, n, &r](TRAS* sender) {
      EXPECT_EQ(sender, &r);
      rec.events.push_back(n);
    };
  }
  r.OnDisconnect = [&rec](TRAS*, int32_t error, const std::string& text) {
    rec.events.push_back("Disconnect");
    rec.disconnects.emplace_back(error, text);
  };
}

class RasComponent : public ::testing::Test {
 protected:
  std::shared_ptr<FakeRas> fake = std::make_shared<FakeRas>();
  TRAS ras{fake};
  Recorder rec;
  void SetUp() override { RecordAll(ras, rec); }
};

TEST_F(RasComponent, DialPassesTheSettingsCutToTheirFieldLengths) {
  ras.EntryName = std::string(300, 'e');
  ras.Domain = "DOMAIN-OF-20-CHARS!!";
  ras.PhoneNumber = std::string(200, '5');
  ras.UserName = "alice";
  ras.Password = "secret";
  ras.SetRedialAttempts(5);
  ASSERT_EQ(ras.Dial(), 0);
  EXPECT_EQ(fake->dials, 1);  // redial attempts change nothing
  EXPECT_EQ(fake->params.dwSize, 1052u);
  EXPECT_EQ(std::string(fake->params.szEntryName), std::string(256, 'e'));
  EXPECT_EQ(std::string(fake->params.szDomain), "DOMAIN-OF-20-CH");
  EXPECT_EQ(std::string(fake->params.szPhoneNumber), std::string(128, '5'));
  EXPECT_EQ(std::string(fake->params.szUserName), "alice");
  EXPECT_EQ(std::string(fake->params.szPassword), "secret");
  EXPECT_EQ(std::string(fake->params.szCallbackNumber), "");
  EXPECT_TRUE(fake->phoneBookWasNull);
  EXPECT_EQ(ras.ConnectionHandle, 100u);
  EXPECT_NE(ras.NotifierWindow(), nullptr);
  EXPECT_TRUE(rec.events.empty());
}

TEST_F(RasComponent, PhoneBookPathIsPassedAndLoadsEntriesWhenSet) {
  fake->entries = {"Office"};
  ras.SetPhoneBookPath("/some/book");
  EXPECT_FALSE(fake->enumPhoneBookWasNull);
  EXPECT_EQ(ras.Entries, std::vector<std::string>{"Office"});
  ras.Dial();
  EXPECT_EQ(fake->phoneBook, "/some/book");
}

TEST_F(RasComponent, DialThatCannotStartKeepsTheCodeAndFiresNothing) {
  fake->dialResult = 623;
  EXPECT_EQ(ras.Dial(), 623);
  EXPECT_EQ(ras.LastError, 623);
  EXPECT_EQ(ras.ConnectionHandle, 0u);
  EXPECT_EQ(ras.StatusText(), "Not Active");
  EXPECT_TRUE(rec.events.empty());
}

TEST_F(RasComponent, EachStateFiresItsEventAndHasItsText) {
  struct Row {
    uint32_t state;
    const char* event;  // null: none
    const char* text;
  };
  const Row rows[] = {
      {0, "AboutToOpenPort", "Opening Port"},
      {1, "PortOpened", "Port Opened"},
      {2, "AboutToConnDev", "Using Device: Fake Modem - modem"},
      {3, "DevConnected", "Device is connected"},
      {4, "AllDevsConnected", "All Required Devices Connected"},
      {5, "Authenticate", "Validating User/Password/Domain"},
      {6, "AuthNotify", "Authentication Notification"},
      {7, "AuthRetry", ""},
      {8, "AuthCallBack", "Authentication Call Back"},
      {9, "AuthChangePassword", ""},
      {10, "AuthProject", "Project"},
      {11, "AuthLinkSpeed", "Calculating Link speed"},
      {12, "AuthAck", "Authentication acknowledged"},
      {13, "ReAuthenticate", "Reauthenticating"},
      {14, "Authenticated", "Login Authenticated"},
      {15, "PrepareforCallback", "Preparing for Callback"},
      {16, "WaitForModemReset", "Waiting for Modem Reset"},
      {17, "CallBack", "Waiting for Callback"},
      {18, nullptr, ""},
      {4096, "InteractiveStarted", ""},
      {4097, "RetryAuth", ""},
      {4098, nullptr, ""},
      {4099, "PasswordExpired", ""},
      {8192, "Connect", ""},
      {8193, "Disconnect", ""},
  };
  ASSERT_EQ(ras.Dial(), 0);
  ras.NotifierWindow()->send(ras.DialEventMessage + 1, 8192, 0);  // not ours: default processing
  EXPECT_TRUE(rec.events.empty());
  for (const auto& row : rows) {
    rec.events.clear();
    fake->state = row.state;
    fake->Notify(row.state, 0);
    if (row.event)
      EXPECT_EQ(rec.events, std::vector<std::string>{row.event}) << row.state;
    else
      EXPECT_TRUE(rec.events.empty()) << row.state;
    EXPECT_EQ(ras.ConnectState, uint16_t(row.state));
    EXPECT_EQ(ras.StatusText(), row.text) << row.state;
  }
  // A live connection answers the status query with 0, and code 0 has no text.
  ASSERT_EQ(rec.disconnects.size(), 1u);
  EXPECT_EQ(rec.disconnects[0], std::make_pair(int32_t(0), std::string("Status Unknown")));
}

TEST_F(RasComponent, NotificationWithAnErrorOnlySetsLastError) {
  ASSERT_EQ(ras.Dial(), 0);
  fake->state = 3;
  fake->error = 676;  // what the status refresh that follows reports
  fake->Notify(2, 676);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(ras.LastError, 676);
  EXPECT_EQ(ras.ConnectState, 3);  // only through the status refresh
  EXPECT_EQ(ras.DeviceName, "Fake Modem");
  EXPECT_EQ(ras.StatusText(), "The line is busy.");
}

TEST_F(RasComponent, StatusTextFollowsTheErrorOfTheStatusQuery) {
  struct Row {
    uint32_t statusResult;
    const char* text;
  };
  const Row rows[] = {{676, "The line is busy."}, {700, "Status Unknown"}, {6, "Invalid Handle"},
                      {8, "Not enough memory"}, {5, ""}};
  EXPECT_EQ(ras.ErrorText(676), "");  // no handle, no text
  ASSERT_EQ(ras.Dial(), 0);
  for (const auto& row : rows) {
    fake->statusResult = row.statusResult;
    EXPECT_EQ(ras.StatusText(), row.text) << row.statusResult;
    EXPECT_EQ(ras.GetConnectStatus(), int32_t(row.statusResult));
  }
}

TEST_F(RasComponent, HangUpWithoutHandleStillReportsTheDisconnection) {
  ras.LastError = 676;
  EXPECT_EQ(ras.HangUp(), 0);
  EXPECT_EQ(ras.LastError, 0);
  EXPECT_TRUE(fake->hangUps.empty());
  ASSERT_EQ(rec.disconnects.size(), 1u);
  EXPECT_EQ(rec.disconnects[0].first, 6);  // the status query's answer for no handle
  EXPECT_EQ(rec.disconnects[0].second, "");
}

TEST_F(RasComponent, NotificationsWithoutAHandleDoNothing) {
  ASSERT_EQ(ras.Dial(), 0);
  QPointer<plat::HiddenWindow> old = ras.NotifierWindow();
  ras.HangUp();
  EXPECT_EQ(fake->hangUps, std::vector<ras::HRASCONN>{100});
  EXPECT_TRUE(old.isNull());  // released by the hang-up
  rec.events.clear();

  // A dial that could not start leaves a window but no handle.
  fake->dialResult = 623;
  ASSERT_EQ(ras.Dial(), 623);
  ASSERT_NE(ras.NotifierWindow(), nullptr);
  ras.NotifierWindow()->send(ras.DialEventMessage, 8192, 0);
  ras.NotifierWindow()->send(ras.DialEventMessage, 2, 676);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(ras.LastError, 623);
}

TEST_F(RasComponent, NewDialHangsUpTheHeldHandleWithoutAnEvent) {
  ASSERT_EQ(ras.Dial(), 0);
  ASSERT_EQ(ras.Dial(), 0);
  EXPECT_EQ(fake->hangUps, std::vector<ras::HRASCONN>{100});
  EXPECT_EQ(ras.ConnectionHandle, 101u);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(fake->dials, 2);
}

TEST_F(RasComponent, HangUpFromInsideAnEventIsSafe) {
  // The main window's exit procedure hangs up from inside OnConnect.
  ras.OnConnect = [this](TRAS* r) { r->HangUp(); };
  ASSERT_EQ(ras.Dial(), 0);
  fake->Post(8192, 0);
  fake->Post(8192, 0);  // arrives after the hang-up: nothing
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(rec.events, std::vector<std::string>{"Disconnect"});
  EXPECT_EQ(ras.StatusText(), "Not Active");
}

TEST_F(RasComponent, LoadEntriesListsTwentyAtMostAndSkipsEmptyNames) {
  for (int i = 1; i <= 25; ++i) fake->entries.push_back(i == 3 ? "" : "Entry " + std::to_string(i));
  EXPECT_EQ(ras.LoadEntries(), 603);
  EXPECT_EQ(ras.LastError, 603);
  ASSERT_EQ(ras.Entries.size(), 19u);
  EXPECT_EQ(ras.Entries.front(), "Entry 1");
  EXPECT_EQ(ras.Entries[2], "Entry 4");
  EXPECT_EQ(ras.Entries.back(), "Entry 20");
  EXPECT_TRUE(fake->enumPhoneBookWasNull);

  fake->enumResult = 621;
  EXPECT_EQ(ras.LoadEntries(), 621);
  EXPECT_TRUE(ras.Entries.empty());
}

TEST_F(RasComponent, DestroyedComponentGetsNoNotifications) {
  auto other = std::make_unique<TRAS>(fake);
  bool fired = false;
  other->OnConnect = [&fired](TRAS*) { fired = true; };
  ASSERT_EQ(other->Dial(), 0);
  fake->Post(8192, 0);
  other.reset();
  fake->Post(8192, 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(fired);
  EXPECT_TRUE(fake->hangUps.empty());  // destruction does not hang up
}

TEST(ConnectionList, HoldsCopiesAndChecksIndexes) {
  TConnectionList list;
  ras::RASCONNA a{};
  a.dwSize = sizeof a;
  a.hrasconn = 7;
  std::strcpy(a.szEntryName, "Office");
  ras::RASCONNA b{};
  b.hrasconn = 9;
  list.AddConnection(a);
  list.AddConnection(b);
  std::strcpy(a.szEntryName, "changed");
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.RASConn(0), 7u);
  EXPECT_EQ(list.EntryName(0), "Office");
  EXPECT_EQ(list.EntryName(1), "");
  list.Delete(0);
  EXPECT_EQ(list.RASConn(0), 9u);
  EXPECT_THROW(list.RASConn(1), EListError);
  EXPECT_THROW(list.EntryName(-1), EListError);
  EXPECT_THROW(list.Delete(1), EListError);
}

}  // namespace
