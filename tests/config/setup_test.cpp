#include "config/setup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/ras.h"
#include "support/testutil.h"

namespace {

// A phone book that only lists names, in order.
class FakePhoneBook : public ras::Service {
 public:
  explicit FakePhoneBook(std::vector<std::string> names) : names_(std::move(names)) {}
  uint32_t RasDialA(const void*, const char*, const ras::RASDIALPARAMSA*, uint32_t, plat::HiddenWindow*,
                    ras::HRASCONN* conn) override {
    *conn = 0;
    return ras::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  }
  uint32_t RasHangUpA(ras::HRASCONN) override { return ras::ERROR_INVALID_HANDLE; }
  uint32_t RasGetConnectStatusA(ras::HRASCONN, ras::RASCONNSTATUSA*) override { return ras::ERROR_INVALID_HANDLE; }
  uint32_t RasEnumEntriesA(const char*, const char*, ras::RASENTRYNAMEA* entries, uint32_t* cb,
                           uint32_t* count) override {
    const size_t room = *cb / sizeof(ras::RASENTRYNAMEA);
    for (size_t i = 0; i < names_.size() && i < room; ++i) {
      entries[i].dwSize = sizeof(ras::RASENTRYNAMEA);
      std::strncpy(entries[i].szEntryName, names_[i].c_str(), ras::RAS_MaxEntryName);
    }
    *count = uint32_t(names_.size());
    if (names_.size() > room) {
      *cb = uint32_t(names_.size() * sizeof(ras::RASENTRYNAMEA));
      return ras::ERROR_BUFFER_TOO_SMALL;
    }
    return 0;
  }
  uint32_t RasGetErrorStringA(uint32_t, char*, uint32_t) override { return ras::ERROR_INVALID_PARAMETER; }

 private:
  std::vector<std::string> names_;
};

// A record as ReadConfig would leave it for a complete file.
TConfig TypicalRecord() {
  TConfig c;
  c.SMTP = "smtp.example.org";
  c.POP = "pop.example.org";
  c.USERNAME = "Zorvik";
  c.PASSWORD = "Se cret";
  c.ROBOT = "robot";
  c.IN = "/srv/zv/in/";
  c.OUT = "/srv/zv/out/";
  c.COUNTER = 41;
  c.LOG = true;
  c.LOGFILE = "/var/log/zv.log";
  c.DELETEALL = false;
  c.DEBUG = true;
  c.DIAL = true;
  c.HANGUP = false;
  c.CONNECTION = "Office";
  c.LOGIN_ID = "dialer";
  c.LOGIN_PWD = "pw";
  c.RETRIES = "3";
  c.DaemonMode = true;
  c.DaemonPeriod = 600;
  return c;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Text(const QLineEdit* e) { return e->text().toStdString(); }

std::vector<std::string> Offered(const QListWidget* list) {
  std::vector<std::string> names;
  for (int i = 0; i < list->count(); ++i) names.push_back(list->item(i)->text().toStdString());
  return names;
}

std::vector<std::string> Selected(const QListWidget* list) {
  std::vector<std::string> names;
  for (const auto* item : list->selectedItems()) names.push_back(item->text().toStdString());
  return names;
}

class SetupDialogTest : public ::testing::Test {
 protected:
  std::unique_ptr<TfSetup> Make(std::vector<std::string> entries = {"Office", "Home"}) {
    auto dlg = std::make_unique<TfSetup>(cfg, dir, nullptr, std::make_shared<FakePhoneBook>(std::move(entries)));
    dlg->show();
    return dlg;
  }
  std::string Ini() const { return zvtest::ReadFile(dir + "ZVMAIL32.INI"); }

  zvtest::TempDir tmp;
  std::string dir = tmp.path();
  TConfig cfg = TypicalRecord();
};

TEST_F(SetupDialogTest, FormShowsEveryControlUnderItsNameAndCaption) {
  auto dlg = Make();
  EXPECT_EQ(dlg->objectName(), "fSetup");
  EXPECT_EQ(dlg->windowTitle(), "Configuration");
  struct Named {
    const char* name;
    const char* caption;
  };
  const Named groups[] = {{"GroupBox1", "Sending (SMTP)"},
                          {"GroupBox2", "Receiving (POP3)"},
                          {"GroupBox3", "File names and paths"},
                          {"GroupBox4", "Connection options (RAS)"},
                          {"GroupBox5", "Advanced options"},
                          {"GroupBox6", "Security"}};
  for (const auto& g : groups) {
    auto* box = dlg->findChild<QGroupBox*>(g.name);
    ASSERT_NE(box, nullptr) << g.name;
    EXPECT_EQ(box->title(), g.caption);
  }
  // Each label stands for the control it names.
  const Named labelled[] = {{"eSMTPserver", "Server"},       {"ePOPServer", "Server"},    {"ePOPusername", "Username"},
                            {"ePOPpassword", "Password"},    {"eRobot", "Robotname"},     {"eSMTPIN", "SMTP In"},
                            {"eSMTPOUT", "SMTP Out"},        {"eLogfile", "Logfile"},     {"eRetry", "Auto-dial retries"},
                            {"eDialusername", "Login ID"},   {"eDialpassword", "Password"},
                            {"ListBox1", "Connection"},      {"eMaxSize", "Largest message (bytes)"},
                            {"cmbSMTPTLS", "SMTP TLS"},      {"cmbPOPTLS", "POP3 TLS"},
                            {"eSMTPusername", "SMTP username"}, {"eSMTPpassword", "SMTP password"},
                            {"eCAFile", "CA file"},          {"cmbSMTPAuth", "SMTP login"},
                            {"cmbPOPAuth", "POP3 login"},     {"eTokenURL", "OAuth2 token URL"},
                            {"eDeviceURL", "OAuth2 device URL"}, {"eClientID", "OAuth2 client ID"},
                            {"eClientSecret", "OAuth2 client secret"}, {"eScope", "OAuth2 scope"},
                            {"eRefreshToken", "OAuth2 refresh token"}, {"eTokenCommand", "OAuth2 token command"}};
  for (const auto& c : labelled) {
    auto* control = dlg->findChild<QWidget*>(c.name);
    ASSERT_NE(control, nullptr) << c.name;
    const QLabel* label = nullptr;
    for (auto* l : dlg->findChildren<QLabel*>())
      if (l->buddy() == control) label = l;
    ASSERT_NE(label, nullptr) << c.name;
    EXPECT_EQ(label->text(), c.caption) << c.name;
    EXPECT_LT(label->mapTo(dlg.get(), QPoint(0, 0)).x(), control->mapTo(dlg.get(), QPoint(0, 0)).x()) << c.name;
  }
  const Named checks[] = {{"cbLogging", "Logging?"},  {"cbAutodial", "Auto-dial"},
                          {"cbAutoHangup", "Auto-hangup"}, {"cbDebug", "Debug mode"},
                          {"cbDel", "Delete all messages"}, {"cbDaemon", "Daemon seconds"}};
  for (const auto& c : checks) {
    auto* box = dlg->findChild<QCheckBox*>(c.name);
    ASSERT_NE(box, nullptr) << c.name;
    EXPECT_EQ(box->text(), c.caption);
  }
  ASSERT_NE(dlg->findChild<QLineEdit*>("eDamSec"), nullptr);
  EXPECT_EQ(dlg->findChild<QPushButton*>("btSave")->text(), "OK");
  EXPECT_EQ(dlg->findChild<QPushButton*>("btCancel")->text(), "Cancel");

  // "OK" comes first in the tab order and has the focus.
  QWidget* w = dlg->btCancel;
  for (int i = 0; i < 50 && w->nextInFocusChain() != dlg->btSave; ++i) w = w->nextInFocusChain();
  EXPECT_EQ(w->nextInFocusChain(), dlg->btSave);
  EXPECT_EQ(dlg->btSave->nextInFocusChain(), dlg->eSMTPserver);
  EXPECT_EQ(dlg->focusWidget(), dlg->btSave);
  EXPECT_EQ(dlg->minimumSize(), dlg->maximumSize()) << "fixed size";
}

TEST_F(SetupDialogTest, FillsFieldsFromTheRecord) {
  cfg.MAXSIZE = "5000", cfg.SMTP_TLS = "IMPLICIT", cfg.SMTP_USERNAME = "Sender", cfg.SMTP_PASSWORD = "pw";
  cfg.TLS_CA_FILE = "/etc/ssl/CA.pem";
  auto dlg = Make();
  EXPECT_EQ(Text(dlg->eSMTPserver), "smtp.example.org");
  EXPECT_EQ(Text(dlg->ePOPServer), "pop.example.org");
  EXPECT_EQ(Text(dlg->ePOPusername), "Zorvik");
  EXPECT_EQ(Text(dlg->ePOPpassword), "Se cret");
  EXPECT_EQ(Text(dlg->eRobot), "robot");
  EXPECT_EQ(Text(dlg->eSMTPIN), "/srv/zv/in/");
  EXPECT_EQ(Text(dlg->eSMTPOUT), "/srv/zv/out/");
  EXPECT_EQ(Text(dlg->eLogfile), "/var/log/zv.log");
  EXPECT_EQ(Text(dlg->eRetry), "3");
  EXPECT_EQ(Text(dlg->eDialusername), "dialer");
  EXPECT_EQ(Text(dlg->eDialpassword), "pw");
  EXPECT_EQ(Text(dlg->eDamSec), "600");
  EXPECT_TRUE(dlg->cbLogging->isChecked());
  EXPECT_FALSE(dlg->cbDel->isChecked());
  EXPECT_TRUE(dlg->cbDebug->isChecked());
  EXPECT_TRUE(dlg->cbAutodial->isChecked());
  EXPECT_FALSE(dlg->cbAutoHangup->isChecked());
  EXPECT_TRUE(dlg->cbDaemon->isChecked());
  EXPECT_EQ(Text(dlg->eMaxSize) + "|" + Text(dlg->eSMTPusername) + "|" + Text(dlg->eSMTPpassword) + "|" +
                Text(dlg->eCAFile) + "|" + dlg->cmbSMTPTLS->currentText().toStdString() + "|" +
                dlg->cmbPOPTLS->currentText().toStdString(),
            "5000|Sender|pw|/etc/ssl/CA.pem|IMPLICIT|NO");  // an absent key shows as NO
  // Filling the dialog changes nothing and writes nothing.
  EXPECT_FALSE(zvtest::FileExists(dir + "ZVMAIL32.INI"));
}

TEST_F(SetupDialogTest, DaemonPeriodShownAsPlainNumber) {
  const struct {
    uint16_t period;
    bool mode;
    const char* shown;
  } cases[] = {{60, false, "60"}, {0, true, "0"}, {65535, true, "65535"}, {7, true, "7"}};
  for (const auto& c : cases) {
    cfg.DaemonPeriod = c.period;
    cfg.DaemonMode = c.mode;
    auto dlg = Make();
    EXPECT_EQ(Text(dlg->eDamSec), c.shown);
    EXPECT_EQ(dlg->cbDaemon->isChecked(), c.mode);
  }
}

TEST_F(SetupDialogTest, SelectsTheConnectionByExactName) {
  const struct {
    const char* name;
    std::vector<std::string> entries;
    std::string connection;
    std::vector<std::string> selected;
  } cases[] = {
      {"exact", {"Home", "Office", "Mobile"}, "Office", {"Office"}},
      {"differs in case only", {"Home", "Office"}, "office", {}},
      {"trailing blank", {"Home", "Office"}, "Office ", {}},
      {"two words", {"My ISP", "Office"}, "My ISP", {"My ISP"}},
      {"empty connection", {"Home", "Office"}, "", {}},
      {"no entries", {}, "Office", {}},
  };
  for (const auto& c : cases) {
    cfg.CONNECTION = c.connection;
    auto dlg = Make(c.entries);
    EXPECT_EQ(Offered(dlg->ListBox1), c.entries) << c.name;
    EXPECT_EQ(Selected(dlg->ListBox1), c.selected) << c.name;
  }
}

TEST_F(SetupDialogTest, OffersAtMostTwentyEntries) {
  std::vector<std::string> entries;
  for (int i = 1; i <= 25; ++i) entries.push_back("Entry " + std::to_string(i));
  cfg.CONNECTION = "Entry 22";
  auto dlg = Make(entries);
  EXPECT_EQ(Offered(dlg->ListBox1), std::vector<std::string>(entries.begin(), entries.begin() + 20));
  EXPECT_TRUE(Selected(dlg->ListBox1).empty());
}

TEST_F(SetupDialogTest, ServerEditsForceLowerCaseOthersKeepCase) {
  cfg.SMTP = "SMTP.Example.ORG";
  cfg.POP = "Pop.Example.Org";
  auto dlg = Make();
  EXPECT_EQ(Text(dlg->eSMTPserver), "smtp.example.org");
  EXPECT_EQ(Text(dlg->ePOPServer), "pop.example.org");

  // Typed text: a key press and an insertion at the cursor.
  dlg->ePOPServer->setFocus();
  dlg->ePOPServer->setCursorPosition(3);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::ShiftModifier, "X");
  QApplication::sendEvent(dlg->ePOPServer, &press);
  EXPECT_EQ(Text(dlg->ePOPServer), "popx.example.org");
  EXPECT_EQ(dlg->ePOPServer->cursorPosition(), 4);
  dlg->eSMTPserver->clear();
  dlg->eSMTPserver->insert("Mail.EXAMPLE.net");
  EXPECT_EQ(Text(dlg->eSMTPserver), "mail.example.net");

  // Directories, log file and user names keep their case.
  const std::pair<QLineEdit*, const char*> kept[] = {{dlg->eSMTPIN, "/Srv/In/"},
                                                     {dlg->eSMTPOUT, "/Srv/Out/"},
                                                     {dlg->eLogfile, "/Var/ZV.log"},
                                                     {dlg->ePOPusername, "Zorvik"},
                                                     {dlg->eRobot, "RoBot"}};
  for (const auto& [edit, text] : kept) {
    edit->clear();
    edit->insert(text);
    EXPECT_EQ(Text(edit), text) << edit->objectName().toStdString();
  }
}

TEST_F(SetupDialogTest, DialPasswordMaskedPopPasswordInClear) {
  auto dlg = Make();
  dlg->eDialpassword->setText("secret");
  dlg->eSMTPpassword->setText("secret");
  dlg->ePOPpassword->setText("secret");
  dlg->eClientSecret->setText("secret");
  dlg->eRefreshToken->setText("secret");
  EXPECT_EQ(dlg->eDialpassword->displayText().toStdString(), "******");
  EXPECT_EQ(dlg->eSMTPpassword->displayText().toStdString(), "******");
  EXPECT_EQ(dlg->eClientSecret->displayText().toStdString(), "******");
  EXPECT_EQ(dlg->eRefreshToken->displayText().toStdString(), "******");
  EXPECT_EQ(dlg->ePOPpassword->displayText().toStdString(), "secret");
}

TEST_F(SetupDialogTest, OkTakesEditsOverWritesAndCloses) {
  auto dlg = Make({"Home", "Office", "Mobile"});
  dlg->eSMTPserver->setText("Mail.Example.COM");
  dlg->ePOPServer->setText("POP3.Example.com");
  dlg->ePOPusername->setText("User");
  dlg->ePOPpassword->setText(" p w ");
  dlg->eRobot->setText("Robo");
  dlg->eSMTPIN->setText("/data/in");  // no final "/": taken over as it stands
  dlg->eSMTPOUT->setText("/Data/Out/");
  dlg->eLogfile->setText("/tmp/Zv.Log");
  dlg->cbLogging->setChecked(false);
  dlg->cbDel->setChecked(true);
  dlg->cbDebug->setChecked(false);
  dlg->cbAutodial->setChecked(false);
  dlg->cbAutoHangup->setChecked(true);
  dlg->eRetry->setText("5 times");
  dlg->eDialusername->setText("id");
  dlg->eDialpassword->setText("pwd");
  dlg->eDamSec->setText("90 seconds");
  dlg->ListBox1->setCurrentRow(2);
  dlg->btSave->click();

  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  EXPECT_EQ(cfg.SMTP, "mail.example.com");
  EXPECT_EQ(cfg.IN, "/data/in");
  EXPECT_EQ(cfg.CONNECTION, "Mobile");
  EXPECT_EQ(cfg.DaemonPeriod, 90);
  EXPECT_EQ(cfg.COUNTER, 41) << "not on the form";
  const std::vector<std::string> expected = {"[Notice]",
                                             "",
                                             "You can now use a full screen configuration program to",
                                             "modify this file by running \"ZVMAIL32.EXE /SETUP\"",
                                             "",
                                             "[General Information]",
                                             "",
                                             "SMTP       mail.example.com",
                                             "POP        pop3.example.com",
                                             "USERNAME   User",
                                             "PASSWORD    p w ",
                                             "ROBOT      Robo",
                                             "IN         /data/in",
                                             "OUT        /Data/Out/",
                                             "COUNTER    41",
                                             "LOG        NO",
                                             "LOGFILE    /tmp/Zv.Log",
                                             "DELETEALL  YES",
                                             "DEBUG      NO",
                                             "",
                                             "[Auto Dialing]",
                                             "",
                                             "DIAL       NO",
                                             "HANGUP     YES",
                                             "CONNECTION Mobile",
                                             "LOGIN_ID   id",
                                             "LOGIN_PWD  pwd",
                                             "RETRIES    5 times",
                                             "",
                                             "[Advanced Options]",
                                             "",
                                             "DAEMON    90"};
  EXPECT_EQ(Lines(Ini()), expected);
}

TEST_F(SetupDialogTest, DaemonPeriodTakenOverAsItsLeadingNumber) {
  const struct {
    const char* typed;
    bool daemon;
    uint16_t period;
    const char* line;
  } cases[] = {
      {"90 seconds", true, 90, "DAEMON    90"},
      {"70000", true, 4464, "DAEMON    4464"},
      {"  12x", true, 12, "DAEMON    12"},
      {"soon", true, 0, "DAEMON    0"},
      {"", true, 0, "DAEMON    0"},
      {"-1", true, 65535, "DAEMON    65535"},
      {"$10", true, 16, "DAEMON    16"},
      // Daemon mode off: the period is still taken over, the key is commented out.
      {"300", false, 300, ";DAEMON   600"},
  };
  for (const auto& c : cases) {
    cfg = TypicalRecord();
    auto dlg = Make();
    dlg->eDamSec->setText(c.typed);
    dlg->cbDaemon->setChecked(c.daemon);
    dlg->btSave->click();
    EXPECT_EQ(cfg.DaemonPeriod, c.period) << c.typed;
    EXPECT_EQ(cfg.DaemonMode, c.daemon) << c.typed;
    const auto lines = Lines(Ini());
    ASSERT_EQ(lines.size(), 32u);
    EXPECT_EQ(lines.back(), c.line) << c.typed;
  }
}

TEST_F(SetupDialogTest, CancelLeavesRecordAndFileAlone) {
  zvtest::WriteFile(dir + "ZVMAIL32.INI", "SMTP old\r\n");
  auto dlg = Make({"Home", "Office"});
  dlg->eSMTPserver->setText("new.example.com");
  dlg->eSMTPIN->setText("/elsewhere/");
  dlg->cbDaemon->setChecked(false);
  dlg->eDamSec->setText("5");
  dlg->ListBox1->setCurrentRow(0);
  dlg->btCancel->click();

  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(dlg->result(), QDialog::Rejected);
  const TConfig before = TypicalRecord();
  EXPECT_EQ(cfg.SMTP, before.SMTP);
  EXPECT_EQ(cfg.IN, before.IN);
  EXPECT_EQ(cfg.DaemonMode, before.DaemonMode);
  EXPECT_EQ(cfg.DaemonPeriod, before.DaemonPeriod);
  EXPECT_EQ(cfg.CONNECTION, before.CONNECTION);
  EXPECT_EQ(Ini(), "SMTP old\r\n");
}

TEST_F(SetupDialogTest, OkWithNothingSelectedKeepsConnectionAndSaves) {
  const struct {
    const char* name;
    std::vector<std::string> entries;
    std::string connection;
  } cases[] = {
      {"no phone book entries", {}, "Office"},
      {"connection names none of them", {"Home", "Work"}, "Office"},
      {"empty connection", {"Home"}, ""},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir + "ZVMAIL32.INI");  // the record is what the file holds
    cfg = TypicalRecord();
    cfg.CONNECTION = c.connection;
    auto dlg = Make(c.entries);
    ASSERT_TRUE(dlg->ListBox1->selectedItems().isEmpty()) << c.name;
    dlg->eSMTPserver->setText("Other.Example.Org");
    dlg->btSave->click();
    EXPECT_FALSE(dlg->isVisible()) << c.name;
    EXPECT_EQ(dlg->result(), QDialog::Accepted) << c.name;
    EXPECT_EQ(cfg.CONNECTION, c.connection) << c.name;
    const auto lines = Lines(Ini());
    ASSERT_EQ(lines.size(), 32u) << c.name;
    EXPECT_EQ(lines[7], "SMTP       other.example.org") << c.name;
    EXPECT_EQ(lines[24], "CONNECTION " + c.connection) << c.name;
  }
}

TEST_F(SetupDialogTest, EightBitTextsSurviveTheRoundTrip) {
  cfg.ROBOT = "Z\xF6rvik";  // Latin-1 o with diaeresis
  cfg.USERNAME = "\xC4rger";
  auto dlg = Make();
  dlg->btSave->click();
  EXPECT_EQ(cfg.ROBOT, "Z\xF6rvik");
  EXPECT_EQ(cfg.USERNAME, "\xC4rger");
  const auto lines = Lines(Ini());
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(lines[11], "ROBOT      Z\xF6rvik");
}

TEST_F(SetupDialogTest, OkTakesTheSecurityKeysOver) {
  // SMTP_TLS before, the choice made (nullptr: left as shown), SMTP_TLS after.
  const std::tuple<std::string, const char*, std::string> cases[] = {
      {"", nullptr, ""}, {"", "NO", ""}, {"NO", nullptr, "NO"}, {"", "STARTTLS", "STARTTLS"},
      {"IMPLICIT", "NO", "NO"}};  // an absent key stays absent
  for (const auto& [before, chosen, after] : cases) {
    std::filesystem::remove(dir + "ZVMAIL32.INI");  // the record is what the file holds
    cfg = TypicalRecord();
    cfg.SMTP_TLS = before;
    auto dlg = Make();
    if (chosen) dlg->cmbSMTPTLS->setCurrentText(chosen);
    dlg->btSave->click();
    EXPECT_EQ(cfg.SMTP_TLS, after) << before;
    const auto lines = Lines(Ini());
    const std::vector<std::string> security = {"", "[Security]", "", "SMTP_TLS   " + after};
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 32, lines.end()),
              after.empty() ? std::vector<std::string>{} : security) << before;
  }

  // Values the program would refuse are not saved: the dialog says why and
  // stays open, the record and the file stay as they were.
  std::filesystem::remove(dir + "ZVMAIL32.INI");
  for (const auto& [set, problem] : std::vector<std::pair<std::function<void(TfSetup&)>, std::string>>{
           {[](TfSetup& d) { d.cmbSMTPTLS->setCurrentText("SSL"); }, "SMTP_TLS has an unknown value 'SSL'"},
           {[](TfSetup& d) {
              d.eSMTPusername->setText("Sender");
              d.eSMTPpassword->setText("pw");
            },
            "SMTP_USERNAME is set but SMTP_TLS is NO"},
           {[](TfSetup& d) { d.ePOPServer->setText(""); }, "POP is empty"}}) {
    cfg = TypicalRecord();
    cfg.SMTP_TLS = "SSL";
    auto dlg = Make();
    cfg.SMTP_TLS.clear();
    dlg->cmbSMTPTLS->setCurrentText("NO");
    set(*dlg);
    testing::internal::CaptureStderr();
    dlg->btSave->click();
    const std::string box = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(dlg->isVisible()) << problem;
    ASSERT_EQ(dlg->Refused.size(), 1u) << problem;
    EXPECT_EQ(dlg->Refused[0].substr(0, problem.size()), problem);
    EXPECT_NE(box.find("Configuration: The configuration cannot be saved: " + problem), std::string::npos) << box;
    EXPECT_EQ(cfg.POP, "pop.example.org");
    EXPECT_FALSE(std::filesystem::exists(dir + "ZVMAIL32.INI"));
  }

  cfg = TypicalRecord();
  auto dlg = Make();
  dlg->eMaxSize->setText(" 250000 ");
  dlg->cmbSMTPTLS->setCurrentText("STARTTLS");
  dlg->cmbPOPTLS->setCurrentText("IMPLICIT");
  dlg->eSMTPusername->setText("Sender");
  dlg->eSMTPpassword->setText("p w");
  zvtest::WriteFile(dir + "Zorvik CA.pem", "-----BEGIN CERTIFICATE-----\n");
  dlg->eCAFile->setText((dir + "Zorvik CA.pem").c_str());
  dlg->btSave->click();
  EXPECT_EQ(dlg->WriteError, "");
  EXPECT_EQ(cfg.MAXSIZE + "|" + cfg.SMTP_TLS + "|" + cfg.POP_TLS + "|" + cfg.SMTP_USERNAME + "|" + cfg.SMTP_PASSWORD +
                "|" + cfg.TLS_CA_FILE,
            "250000|STARTTLS|IMPLICIT|Sender|p w|" + dir + "Zorvik CA.pem");
  EXPECT_EQ(Lines(Ini()).size(), 41u);

  // The login choices: AUTO leaves the key absent; the OAuth2 fields as typed.
  cfg = TypicalRecord();
  cfg.POP_AUTH = "USER";
  dlg = Make();
  EXPECT_EQ(dlg->cmbSMTPAuth->currentText().toStdString() + "|" + dlg->cmbPOPAuth->currentText().toStdString(),
            "AUTO|USER");
  dlg->cmbSMTPAuth->setCurrentText("XOAUTH2");
  // A token goes only with a user and over TLS, for POP3 as well.
  dlg->cmbSMTPTLS->setCurrentText("STARTTLS");
  dlg->cmbPOPTLS->setCurrentText("IMPLICIT");
  dlg->eSMTPusername->setText("Sender");
  dlg->cmbPOPAuth->setCurrentText("AUTO");
  dlg->eTokenURL->setText("https://login.example/token");
  dlg->eClientID->setText("zv");
  dlg->eRefreshToken->setText(" r1 ");
  dlg->btSave->click();
  EXPECT_EQ(cfg.SMTP_AUTH + "|" + cfg.POP_AUTH + "|" + cfg.OAUTH_TOKEN_URL + "|" + cfg.OAUTH_CLIENT_ID + "|" +
                cfg.OAUTH_REFRESH_TOKEN,
            "XOAUTH2||https://login.example/token|zv|r1");
}

TEST_F(SetupDialogTest, OkThatCannotWriteSaysWhyAndStillCloses) {
  ASSERT_TRUE(std::filesystem::create_directory(dir + "ZVMAIL32.INI"));
  auto dlg = Make();
  dlg->btSave->click();
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  EXPECT_NE(dlg->WriteError.find("Is a directory"), std::string::npos) << dlg->WriteError;
}

}  // namespace
