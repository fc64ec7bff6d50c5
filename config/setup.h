// TfSetup: the configuration dialog "Configuration", shown for "/SETUP".
// It edits every value of the configuration record and offers the dial-up
// phone-book entries for CONNECTION, and the optional security keys and
// MAXSIZE. Nothing throws: "OK" takes the values over, writes what changed
// into the file and closes, unless the program would refuse the values; it
// then says why and stays open. "Cancel" closes.
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/configfile.h"
#include "dialup/Rascomp32.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
namespace ras { class Service; }

class TfSetup : public QDialog {
 public:
  // cfg: the record held by the main window; it outlives the dialog. The
  // dialog fills itself from it here, once (FormCreate). programDir: where
  // "ZVMAIL32.INI" is written. rasService: the phone book's service for RAS1
  // (null: the platform's own).
  TfSetup(TConfig& cfg, std::string programDir, QWidget* parent = nullptr,
          std::shared_ptr<ras::Service> rasService = nullptr);
  ~TfSetup() override;

  // "OK": takes every field over into the record, CONNECTION from the
  // selected entry (kept when none is selected), writes the file, closes.
  // A TLS choice left at NO keeps an absent key absent. Values the program
  // would refuse are shown in a box (Refused gets them) and nothing is taken
  // over.
  void btSaveClick();
  // "Cancel": closes; the record stays as it was.
  void btCancelClick();

  // ---- Groups and their labels ----
  QGroupBox *GroupBox1, *GroupBox2, *GroupBox3, *GroupBox4, *GroupBox5, *GroupBox6;
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7, *Label8, *Label9, *Label10, *Label11,
      *Label12, *Label13, *Label14, *Label15, *Label16, *Label17, *Label18, *Label19, *Label20, *Label21, *Label22,
      *Label23, *Label24, *Label25, *Label26, *Label27;

  // ---- Controls ----
  QLineEdit *eSMTPserver, *ePOPServer, *ePOPusername, *ePOPpassword, *eRobot;
  QLineEdit *eSMTPIN, *eSMTPOUT, *eLogfile;
  QCheckBox* cbLogging;
  QCheckBox *cbAutodial, *cbAutoHangup;
  QLineEdit *eRetry, *eDialusername, *eDialpassword;
  QListWidget* ListBox1;
  QCheckBox *cbDebug, *cbDel, *cbDaemon;
  QLineEdit* eDamSec;
  QLineEdit* eMaxSize;  // MAXSIZE, in "Advanced options"
  // "Security": SMTP_TLS, POP_TLS (NO, STARTTLS, IMPLICIT, or an unknown
  // value as read), SMTP_USERNAME, SMTP_PASSWORD (masked), TLS_CA_FILE.
  QComboBox *cmbSMTPTLS, *cmbPOPTLS;
  QLineEdit *eSMTPusername, *eSMTPpassword, *eCAFile;
  // The login mechanisms SMTP_AUTH and POP_AUTH (AUTO: the key absent, or
  // an unknown value as read) and the OAuth2 keys; the client secret and the
  // refresh token are masked.
  QComboBox *cmbSMTPAuth, *cmbPOPAuth;
  QLineEdit *eTokenURL, *eDeviceURL, *eClientID, *eClientSecret, *eScope, *eRefreshToken, *eTokenCommand;
  QPushButton *btSave, *btCancel;

  // Why the last "OK" could not write the file; empty when it could.
  std::string WriteError;
  // The problems that kept the last "OK" from saving; empty when none.
  std::vector<std::string> Refused;

  // Lists the phone-book entries only; no handlers, default phone book.
  TRAS RAS1;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void BuildControls();
  void FormCreate();
  // The OAuth2 edits and the fields of the record they stand for.
  std::vector<std::pair<QLineEdit*, std::string*>> OAuthFields(TConfig& cfg);

  TConfig& cfg_;
  TConfig before_;  // the record as the file holds it: a save writes what differs
  std::string programDir_;
};
