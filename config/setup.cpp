#include "config/setup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "config/textutil.h"
#include "platform/session.h"

namespace {

// At most this many phone-book entries are offered.
constexpr int kMaxEntries = 20;

// The TLS and login choices, in the order offered. AUTO stands for an absent
// login key.
const std::vector<const char*> kTlsChoices = {"NO", "STARTTLS", "IMPLICIT"};
const std::vector<const char*> kSmtpAuthChoices = {"AUTO", "PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER"};
const std::vector<const char*> kPopAuthChoices = {"AUTO", "USER", "PLAIN", "XOAUTH2", "OAUTHBEARER"};

QString ToQt(const std::string& text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); }
std::string FromQt(const QString& text) { return text.toLatin1().toStdString(); }

// Makes the edit hold lower case only, whether its text is set by the program
// or typed; the cursor stays where it was.
void ForceLowerCase(QLineEdit* edit) {
  QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
    const QString lower = text.toLower();
    if (lower == text) return;
    const int cursor = edit->cursorPosition();
    edit->setText(lower);
    edit->setCursorPosition(cursor);
  });
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int chars) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(name);
  e->setMinimumWidth(e->fontMetrics().averageCharWidth() * chars + 12);
  return e;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const char* caption) {
  auto* c = new QCheckBox(caption, parent);
  c->setObjectName(name);
  return c;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, QWidget* buddy) {
  auto* l = new QLabel(caption, parent);
  l->setObjectName(name);
  l->setBuddy(buddy);
  return l;
}

QComboBox* MakeChoice(QWidget* parent, const char* name, const std::vector<const char*>& choices) {
  auto* c = new QComboBox(parent);
  c->setObjectName(name);
  for (const char* choice : choices) c->addItem(choice);
  return c;
}

// Shows `value` (upper case, as read), the first choice when it is empty; a
// value that is none of the choices is offered as one more, so that saving
// keeps it.
void ShowChoice(QComboBox* combo, const std::string& value) {
  const QString text = value.empty() ? combo->itemText(0) : ToQt(value);
  int row = combo->findText(text, Qt::MatchExactly);
  if (row < 0) {
    combo->addItem(text);
    row = combo->count() - 1;
  }
  combo->setCurrentIndex(row);
}

// The value to keep for a TLS choice: NO leaves an absent key absent.
std::string TlsChoiceValue(const QComboBox* combo, const std::string& before) {
  const std::string chosen = FromQt(combo->currentText());
  return chosen == "NO" && before.empty() ? std::string() : chosen;
}

QLineEdit* MakeSecretEdit(QWidget* parent, const char* name, int chars) {
  QLineEdit* e = MakeEdit(parent, name, chars);
  e->setEchoMode(QLineEdit::Password);
  e->setStyleSheet("lineedit-password-character: 42");  // "*"
  return e;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* caption) {
  auto* g = new QGroupBox(caption, parent);
  g->setObjectName(name);
  return g;
}

// A group's grid: labels in column 0, controls in column 1.
QGridLayout* GroupGrid(QGroupBox* group) {
  auto* grid = new QGridLayout(group);
  grid->setColumnStretch(1, 1);
  return grid;
}

}  // namespace

TfSetup::TfSetup(TConfig& cfg, std::string programDir, QWidget* parent, std::shared_ptr<ras::Service> rasService)
    : QDialog(parent), RAS1(std::move(rasService)), cfg_(cfg), programDir_(std::move(programDir)) {
  BuildControls();
  FormCreate();
}

TfSetup::~TfSetup() = default;

void TfSetup::BuildControls() {
  setObjectName("fSetup");
  setWindowTitle("Configuration");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  // Sending (SMTP)
  GroupBox1 = MakeGroup(this, "GroupBox1", "Sending (SMTP)");
  eSMTPserver = MakeEdit(GroupBox1, "eSMTPserver", 30);
  ForceLowerCase(eSMTPserver);
  Label1 = MakeLabel(GroupBox1, "Label1", "Server", eSMTPserver);
  {
    auto* g = GroupGrid(GroupBox1);
    g->addWidget(Label1, 0, 0);
    g->addWidget(eSMTPserver, 0, 1);
  }

  // Receiving (POP3)
  GroupBox2 = MakeGroup(this, "GroupBox2", "Receiving (POP3)");
  ePOPServer = MakeEdit(GroupBox2, "ePOPServer", 30);
  ForceLowerCase(ePOPServer);
  ePOPusername = MakeEdit(GroupBox2, "ePOPusername", 30);
  ePOPpassword = MakeEdit(GroupBox2, "ePOPpassword", 30);  // shown in clear
  eRobot = MakeEdit(GroupBox2, "eRobot", 30);
  Label2 = MakeLabel(GroupBox2, "Label2", "Server", ePOPServer);
  Label3 = MakeLabel(GroupBox2, "Label3", "Username", ePOPusername);
  Label4 = MakeLabel(GroupBox2, "Label4", "Password", ePOPpassword);
  Label5 = MakeLabel(GroupBox2, "Label5", "Robotname", eRobot);
  {
    auto* g = GroupGrid(GroupBox2);
    QLabel* labels[] = {Label2, Label3, Label4, Label5};
    QLineEdit* edits[] = {ePOPServer, ePOPusername, ePOPpassword, eRobot};
    for (int row = 0; row < 4; ++row) {
      g->addWidget(labels[row], row, 0);
      g->addWidget(edits[row], row, 1);
    }
  }

  // File names and paths. File names are case-sensitive here: no forced case.
  GroupBox3 = MakeGroup(this, "GroupBox3", "File names and paths");
  eSMTPIN = MakeEdit(GroupBox3, "eSMTPIN", 30);
  eSMTPOUT = MakeEdit(GroupBox3, "eSMTPOUT", 30);
  eLogfile = MakeEdit(GroupBox3, "eLogfile", 30);
  cbLogging = MakeCheck(GroupBox3, "cbLogging", "Logging?");
  Label6 = MakeLabel(GroupBox3, "Label6", "SMTP In", eSMTPIN);
  Label7 = MakeLabel(GroupBox3, "Label7", "SMTP Out", eSMTPOUT);
  Label8 = MakeLabel(GroupBox3, "Label8", "Logfile", eLogfile);
  {
    auto* g = GroupGrid(GroupBox3);
    QLabel* labels[] = {Label6, Label7, Label8};
    QLineEdit* edits[] = {eSMTPIN, eSMTPOUT, eLogfile};
    for (int row = 0; row < 3; ++row) {
      g->addWidget(labels[row], row, 0);
      g->addWidget(edits[row], row, 1);
    }
    g->addWidget(cbLogging, 3, 1);
  }

  // Connection options (RAS)
  GroupBox4 = MakeGroup(this, "GroupBox4", "Connection options (RAS)");
  cbAutodial = MakeCheck(GroupBox4, "cbAutodial", "Auto-dial");
  cbAutoHangup = MakeCheck(GroupBox4, "cbAutoHangup", "Auto-hangup");
  eRetry = MakeEdit(GroupBox4, "eRetry", 6);
  eDialusername = MakeEdit(GroupBox4, "eDialusername", 22);
  eDialpassword = MakeEdit(GroupBox4, "eDialpassword", 22);
  eDialpassword->setEchoMode(QLineEdit::Password);
  eDialpassword->setStyleSheet("lineedit-password-character: 42");  // "*"
  ListBox1 = new QListWidget(GroupBox4);
  ListBox1->setObjectName("ListBox1");
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setMinimumWidth(ListBox1->fontMetrics().averageCharWidth() * 22 + 12);
  ListBox1->setFixedHeight(ListBox1->fontMetrics().height() * 5 + 8);
  Label9 = MakeLabel(GroupBox4, "Label9", "Auto-dial retries", eRetry);
  Label10 = MakeLabel(GroupBox4, "Label10", "Login ID", eDialusername);
  Label11 = MakeLabel(GroupBox4, "Label11", "Password", eDialpassword);
  Label12 = MakeLabel(GroupBox4, "Label12", "Connection", ListBox1);
  {
    auto* g = GroupGrid(GroupBox4);
    auto* checks = new QHBoxLayout;
    checks->addWidget(cbAutodial);
    checks->addWidget(cbAutoHangup);
    checks->addStretch();
    g->addLayout(checks, 0, 0, 1, 2);
    auto* retry = new QHBoxLayout;
    retry->addWidget(eRetry);
    retry->addStretch();
    eRetry->setMaximumWidth(eRetry->minimumWidth());
    g->addWidget(Label9, 1, 0);
    g->addLayout(retry, 1, 1);
    g->addWidget(Label10, 2, 0);
    g->addWidget(eDialusername, 2, 1);
    g->addWidget(Label11, 3, 0);
    g->addWidget(eDialpassword, 3, 1);
    g->addWidget(Label12, 4, 0, Qt::AlignTop);
    g->addWidget(ListBox1, 4, 1);
  }

  // Advanced options
  GroupBox5 = MakeGroup(this, "GroupBox5", "Advanced options");
  cbDebug = MakeCheck(GroupBox5, "cbDebug", "Debug mode");
  cbDel = MakeCheck(GroupBox5, "cbDel", "Delete all messages");
  cbDaemon = MakeCheck(GroupBox5, "cbDaemon", "Daemon seconds");
  eDamSec = MakeEdit(GroupBox5, "eDamSec", 6);
  eDamSec->setMaximumWidth(eDamSec->minimumWidth());
  eMaxSize = MakeEdit(GroupBox5, "eMaxSize", 12);
  eMaxSize->setMaximumWidth(eMaxSize->minimumWidth());
  eMaxSize->setPlaceholderText(ToQt(std::to_string(kDefaultMaxSize)));
  Label13 = MakeLabel(GroupBox5, "Label13", "Largest message (bytes)", eMaxSize);
  {
    auto* g = new QGridLayout(GroupBox5);
    g->addWidget(cbDebug, 0, 0);
    g->addWidget(cbDel, 1, 0);
    g->addWidget(cbDaemon, 2, 0);
    g->addWidget(eDamSec, 2, 1, Qt::AlignLeft);
    // A row of its own, so the daemon seconds stay where they stood.
    auto* maxSize = new QHBoxLayout;
    maxSize->addWidget(Label13);
    maxSize->addWidget(eMaxSize);
    maxSize->addStretch();
    g->addLayout(maxSize, 3, 0, 1, 3);
    g->setColumnStretch(2, 1);
  }

  // Security: TLS for both servers, SMTP authentication, the trusted CAs.
  GroupBox6 = MakeGroup(this, "GroupBox6", "Security");
  cmbSMTPTLS = MakeChoice(GroupBox6, "cmbSMTPTLS", kTlsChoices);
  cmbPOPTLS = MakeChoice(GroupBox6, "cmbPOPTLS", kTlsChoices);
  eSMTPusername = MakeEdit(GroupBox6, "eSMTPusername", 22);
  eSMTPpassword = MakeSecretEdit(GroupBox6, "eSMTPpassword", 22);
  eCAFile = MakeEdit(GroupBox6, "eCAFile", 22);
  cmbSMTPAuth = MakeChoice(GroupBox6, "cmbSMTPAuth", kSmtpAuthChoices);
  cmbPOPAuth = MakeChoice(GroupBox6, "cmbPOPAuth", kPopAuthChoices);
  eTokenURL = MakeEdit(GroupBox6, "eTokenURL", 22);
  eDeviceURL = MakeEdit(GroupBox6, "eDeviceURL", 22);
  eClientID = MakeEdit(GroupBox6, "eClientID", 22);
  eClientSecret = MakeSecretEdit(GroupBox6, "eClientSecret", 22);
  eScope = MakeEdit(GroupBox6, "eScope", 22);
  eRefreshToken = MakeSecretEdit(GroupBox6, "eRefreshToken", 22);
  eTokenCommand = MakeEdit(GroupBox6, "eTokenCommand", 22);
  Label14 = MakeLabel(GroupBox6, "Label14", "SMTP TLS", cmbSMTPTLS);
  Label15 = MakeLabel(GroupBox6, "Label15", "POP3 TLS", cmbPOPTLS);
  Label16 = MakeLabel(GroupBox6, "Label16", "SMTP username", eSMTPusername);
  Label17 = MakeLabel(GroupBox6, "Label17", "SMTP password", eSMTPpassword);
  Label18 = MakeLabel(GroupBox6, "Label18", "CA file", eCAFile);
  Label19 = MakeLabel(GroupBox6, "Label19", "SMTP login", cmbSMTPAuth);
  Label20 = MakeLabel(GroupBox6, "Label20", "POP3 login", cmbPOPAuth);
  Label21 = MakeLabel(GroupBox6, "Label21", "OAuth2 token URL", eTokenURL);
  Label22 = MakeLabel(GroupBox6, "Label22", "OAuth2 device URL", eDeviceURL);
  Label23 = MakeLabel(GroupBox6, "Label23", "OAuth2 client ID", eClientID);
  Label24 = MakeLabel(GroupBox6, "Label24", "OAuth2 client secret", eClientSecret);
  Label25 = MakeLabel(GroupBox6, "Label25", "OAuth2 scope", eScope);
  Label26 = MakeLabel(GroupBox6, "Label26", "OAuth2 refresh token", eRefreshToken);
  Label27 = MakeLabel(GroupBox6, "Label27", "OAuth2 token command", eTokenCommand);
  {
    auto* g = GroupGrid(GroupBox6);
    QLabel* labels[] = {Label14, Label15, Label16, Label17, Label18, Label19, Label20,
                        Label21, Label22, Label23, Label24, Label25, Label26, Label27};
    QWidget* fields[] = {cmbSMTPTLS,  cmbPOPTLS, eSMTPusername, eSMTPpassword, eCAFile,
                         cmbSMTPAuth, cmbPOPAuth, eTokenURL,    eDeviceURL,    eClientID,
                         eClientSecret, eScope,  eRefreshToken, eTokenCommand};
    for (int row = 0; row < int(std::size(fields)); ++row) {
      const bool choice = fields[row] == cmbSMTPTLS || fields[row] == cmbPOPTLS || fields[row] == cmbSMTPAuth ||
                          fields[row] == cmbPOPAuth;
      g->addWidget(labels[row], row, 0);
      g->addWidget(fields[row], row, 1, choice ? Qt::AlignLeft : Qt::Alignment());
    }
  }

  btSave = new QPushButton("OK", this);
  btSave->setObjectName("btSave");
  btSave->setDefault(true);
  btCancel = new QPushButton("Cancel", this);
  btCancel->setObjectName("btCancel");
  connect(btSave, &QPushButton::clicked, this, [this] { btSaveClick(); });
  connect(btCancel, &QPushButton::clicked, this, [this] { btCancelClick(); });

  // The left column's edits line up across its groups.
  int labelWidth = 0;
  for (QLabel* l : {Label1, Label2, Label3, Label4, Label5, Label6, Label7, Label8})
    labelWidth = std::max(labelWidth, l->sizeHint().width());
  for (QGroupBox* g : {GroupBox1, GroupBox2, GroupBox3})
    static_cast<QGridLayout*>(g->layout())->setColumnMinimumWidth(0, labelWidth);

  auto* left = new QVBoxLayout;
  left->addWidget(GroupBox1);
  left->addWidget(GroupBox2);
  left->addWidget(GroupBox3);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(GroupBox4);
  right->addWidget(GroupBox5);
  right->addWidget(GroupBox6);
  right->addStretch();
  auto* columns = new QHBoxLayout;
  columns->addLayout(left);
  columns->addLayout(right);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btSave);
  buttons->addWidget(btCancel);
  auto* all = new QVBoxLayout(this);
  all->addLayout(columns);
  all->addLayout(buttons);
  all->setSizeConstraint(QLayout::SetFixedSize);

  // "OK" first, then the fields as they stand on the form, "Cancel" last.
  QWidget* order[] = {btSave,   eSMTPserver,   ePOPServer,    ePOPusername, ePOPpassword, eRobot,
                      eSMTPIN,  eSMTPOUT,      eLogfile,      cbLogging,    cbAutodial,   cbAutoHangup,
                      eRetry,   eDialusername, eDialpassword, ListBox1,     cbDebug,      cbDel,
                      cbDaemon, eDamSec,       eMaxSize,      cmbSMTPTLS,   cmbPOPTLS,    eSMTPusername,
                      eSMTPpassword, eCAFile,  cmbSMTPAuth,   cmbPOPAuth,   eTokenURL,    eDeviceURL,
                      eClientID, eClientSecret, eScope,       eRefreshToken, eTokenCommand, btCancel};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
  btSave->setFocus();
}

void TfSetup::FormCreate() {
  before_ = cfg_;
  RAS1.LoadEntries();
  ListBox1->clear();
  int offered = 0;
  for (const std::string& name : RAS1.Entries) {
    if (offered == kMaxEntries) break;
    ListBox1->addItem(ToQt(name));
    if (name == cfg_.CONNECTION) ListBox1->setCurrentRow(offered);
    ++offered;
  }

  eSMTPserver->setText(ToQt(cfg_.SMTP));
  ePOPServer->setText(ToQt(cfg_.POP));
  ePOPusername->setText(ToQt(cfg_.USERNAME));
  ePOPpassword->setText(ToQt(cfg_.PASSWORD));
  eRobot->setText(ToQt(cfg_.ROBOT));
  eSMTPIN->setText(ToQt(cfg_.IN));
  eSMTPOUT->setText(ToQt(cfg_.OUT));
  eLogfile->setText(ToQt(cfg_.LOGFILE));
  cbLogging->setChecked(cfg_.LOG);
  cbAutodial->setChecked(cfg_.DIAL);
  cbAutoHangup->setChecked(cfg_.HANGUP);
  eRetry->setText(ToQt(cfg_.RETRIES));
  eDialusername->setText(ToQt(cfg_.LOGIN_ID));
  eDialpassword->setText(ToQt(cfg_.LOGIN_PWD));
  cbDebug->setChecked(cfg_.DEBUG);
  cbDel->setChecked(cfg_.DELETEALL);
  cbDaemon->setChecked(cfg_.DaemonMode);
  eDamSec->setText(ToQt(NumToText(cfg_.DaemonPeriod, 0)));
  eMaxSize->setText(ToQt(cfg_.MAXSIZE));
  ShowChoice(cmbSMTPTLS, cfg_.SMTP_TLS);
  ShowChoice(cmbPOPTLS, cfg_.POP_TLS);
  eSMTPusername->setText(ToQt(cfg_.SMTP_USERNAME));
  eSMTPpassword->setText(ToQt(cfg_.SMTP_PASSWORD));
  eCAFile->setText(ToQt(cfg_.TLS_CA_FILE));
  ShowChoice(cmbSMTPAuth, cfg_.SMTP_AUTH);
  ShowChoice(cmbPOPAuth, cfg_.POP_AUTH);
  for (auto [edit, value] : OAuthFields(cfg_)) edit->setText(ToQt(*value));
}

void TfSetup::btSaveClick() {
  // Taken over only as a whole, and only when the program would run with it.
  TConfig cfg = cfg_;
  cfg.LOGFILE = FromQt(eLogfile->text());
  cfg.SMTP = FromQt(eSMTPserver->text());
  cfg.POP = FromQt(ePOPServer->text());
  cfg.USERNAME = FromQt(ePOPusername->text());
  cfg.PASSWORD = FromQt(ePOPpassword->text());
  cfg.ROBOT = FromQt(eRobot->text());
  cfg.IN = FromQt(eSMTPIN->text());
  cfg.OUT = FromQt(eSMTPOUT->text());
  cfg.DaemonPeriod = static_cast<uint16_t>(TextToNum(FromQt(eDamSec->text())));
  cfg.DaemonMode = cbDaemon->isChecked();
  cfg.DELETEALL = cbDel->isChecked();
  cfg.DEBUG = cbDebug->isChecked();
  cfg.LOG = cbLogging->isChecked();
  cfg.LOGIN_ID = FromQt(eDialusername->text());
  cfg.LOGIN_PWD = FromQt(eDialpassword->text());
  cfg.RETRIES = FromQt(eRetry->text());
  cfg.DIAL = cbAutodial->isChecked();
  cfg.HANGUP = cbAutoHangup->isChecked();
  // With no entry selected (no phone book, or none picked) the connection
  // keeps its value, so the other settings can still be saved.
  const auto selected = ListBox1->selectedItems();
  if (!selected.isEmpty()) cfg.CONNECTION = FromQt(selected.first()->text());
  cfg.MAXSIZE = TrimSpaces(FromQt(eMaxSize->text()));
  cfg.SMTP_TLS = TlsChoiceValue(cmbSMTPTLS, cfg.SMTP_TLS);
  cfg.POP_TLS = TlsChoiceValue(cmbPOPTLS, cfg.POP_TLS);
  cfg.SMTP_USERNAME = FromQt(eSMTPusername->text());
  cfg.SMTP_PASSWORD = FromQt(eSMTPpassword->text());
  cfg.TLS_CA_FILE = FromQt(eCAFile->text());
  for (const QComboBox* combo : {cmbSMTPAuth, cmbPOPAuth}) {
    const std::string chosen = FromQt(combo->currentText());
    (combo == cmbSMTPAuth ? cfg.SMTP_AUTH : cfg.POP_AUTH) = chosen == "AUTO" ? std::string() : chosen;
  }
  for (auto [edit, value] : OAuthFields(cfg)) *value = TrimSpaces(FromQt(edit->text()));
  Refused = RecordProblems(cfg);
  if (!Refused.empty()) {
    std::string text = "The configuration cannot be saved:";
    for (const std::string& problem : Refused) text += "\n" + problem;
    plat::MessageBox(text, "Configuration", plat::MB_OK);
    return;
  }
  cfg_ = cfg;
  // The dialog closes either way; WriteError tells the caller why the file
  // stayed as it was.
  if (WriteConfig(programDir_, cfg_, &WriteError, &before_)) before_ = cfg_;
  accept();
}

void TfSetup::btCancelClick() { reject(); }

std::vector<std::pair<QLineEdit*, std::string*>> TfSetup::OAuthFields(TConfig& cfg) {
  return {{eTokenURL, &cfg.OAUTH_TOKEN_URL},         {eDeviceURL, &cfg.OAUTH_DEVICE_URL},
          {eClientID, &cfg.OAUTH_CLIENT_ID},         {eClientSecret, &cfg.OAUTH_CLIENT_SECRET},
          {eScope, &cfg.OAUTH_SCOPE},                {eRefreshToken, &cfg.OAUTH_REFRESH_TOKEN},
          {eTokenCommand, &cfg.OAUTH_TOKEN_COMMAND}};
}

void TfSetup::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (const QScreen* s = screen()) {
    const QRect area = s->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}
