#include "config/configfile.h"

#include <gtest/gtest.h>

#include "config/textutil.h"
#include "support/testutil.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A program directory of its own per test, removed afterwards.
class ConfigFileTest : public ::testing::Test {
 protected:
  void Put(const std::string& bytes) const { zvtest::WriteFile(ini, bytes); }
  std::string Bytes() const { return zvtest::ReadFile(ini); }
  TConfig Read(const std::string& bytes) {
    Put(bytes);
    TConfig cfg;
    ReadConfig(dir, cfg, state);
    return cfg;
  }
  fs::perms Perms() const { return fs::status(ini).permissions() & fs::perms::all; }

  zvtest::TempDir tmp;
  std::string dir = tmp.path();
  std::string ini = dir + "ZVMAIL32.INI";
  TReadState state;
};

std::string Crlf(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\r\n";
  return s;
}

std::vector<std::string> Expected(const std::vector<std::string>& general, const std::vector<std::string>& dial,
                                  const std::string& daemon) {
  std::vector<std::string> lines = {"[Notice]",
                                    "",
                                    "You can now use a full screen configuration program to",
                                    "modify this file by running \"ZVMAIL32.EXE /SETUP\"",
                                    "",
                                    "[General Information]",
                                    ""};
  lines.insert(lines.end(), general.begin(), general.end());
  lines.insert(lines.end(), {"", "[Auto Dialing]", ""});
  lines.insert(lines.end(), dial.begin(), dial.end());
  lines.insert(lines.end(), {"", "[Advanced Options]", "", daemon});
  return lines;
}

TEST_F(ConfigFileTest, EmptyRecordWritesAll32LinesWithBareKeys) {
  std::string reason = "stale";
  EXPECT_TRUE(WriteConfig(dir, TConfig{}, &reason) && reason.empty());
  const auto lines = Expected({"SMTP       ", "POP        ", "USERNAME   ", "PASSWORD   ", "ROBOT      ",
                               "IN         ", "OUT        ", "COUNTER    0", "LOG        NO", "LOGFILE    ",
                               "DELETEALL  NO", "DEBUG      NO"},
                              {"DIAL       NO", "HANGUP     NO", "CONNECTION ", "LOGIN_ID   ", "LOGIN_PWD  ",
                               "RETRIES    "},
                              ";DAEMON   600");
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(Bytes(), Crlf(lines));

  TConfig back;
  ReadConfig(dir, back, state);
  EXPECT_TRUE(state.ConfigIncomplete);
  EXPECT_EQ(back.IN, "") << "an empty directory gets no separator";
  EXPECT_EQ(back.OUT, "");
  EXPECT_FALSE(back.DaemonMode);
  EXPECT_EQ(back.DaemonPeriod, 60);
  EXPECT_EQ(back.LOGFILE, dir + "ZVMAIL32.LOG");
  EXPECT_EQ(state.UnknownKeys, std::vector<std::string>{}) << "the writer's own lines are all known";
}

TConfig Typical(const std::string& dir) {
  TConfig c;
  c.SMTP = "smtp.example.org";
  c.POP = "pop.example.org";
  c.USERNAME = "zorvik";
  c.PASSWORD = "s3cret pw";
  c.ROBOT = "robot";
  c.IN = "/srv/zv/In/";
  c.OUT = "/srv/zv/Out/";
  c.COUNTER = 65535;
  c.LOG = true;
  c.LOGFILE = dir + "ZVMAIL32.LOG";
  c.DELETEALL = true;
  c.DEBUG = false;
  c.DIAL = true;
  c.HANGUP = true;
  c.CONNECTION = "My ISP";
  c.LOGIN_ID = "dialer";
  c.LOGIN_PWD = "pw";
  c.RETRIES = "3";
  c.DaemonMode = true;
  c.DaemonPeriod = 600;
  return c;
}

// The 32 lines WriteConfig writes for Typical(dir).
std::vector<std::string> TypicalLines(const std::string& dir) {
  return Expected({"SMTP       smtp.example.org", "POP        pop.example.org", "USERNAME   zorvik",
                   "PASSWORD   s3cret pw", "ROBOT      robot", "IN         /srv/zv/In/", "OUT        /srv/zv/Out/",
                   "COUNTER    65535", "LOG        YES", "LOGFILE    " + dir + "ZVMAIL32.LOG", "DELETEALL  YES",
                   "DEBUG      NO"},
                  {"DIAL       YES", "HANGUP     YES", "CONNECTION My ISP", "LOGIN_ID   dialer", "LOGIN_PWD  pw",
                   "RETRIES    3"},
                  "DAEMON    600");
}

TEST_F(ConfigFileTest, TypicalRecordExactBytesAndRoundTrip) {
  const TConfig cfg = Typical(dir);
  WriteConfig(dir, cfg);
  const auto lines = TypicalLines(dir);
  EXPECT_EQ(Bytes(), Crlf(lines));

  TConfig back;
  ReadConfig(dir, back, state);
  EXPECT_FALSE(state.ConfigIncomplete);
  EXPECT_TRUE(state.DialPending);
  EXPECT_EQ(state.TickCount, 600);
  EXPECT_EQ(back.SMTP, cfg.SMTP);
  EXPECT_EQ(back.POP, cfg.POP);
  EXPECT_EQ(back.USERNAME, cfg.USERNAME);
  EXPECT_EQ(back.PASSWORD, cfg.PASSWORD);
  EXPECT_EQ(back.ROBOT, cfg.ROBOT);
  EXPECT_EQ(back.IN, cfg.IN) << "directory case survives the round trip";
  EXPECT_EQ(back.OUT, cfg.OUT);
  EXPECT_EQ(back.COUNTER, cfg.COUNTER);
  EXPECT_EQ(back.LOG, cfg.LOG);
  EXPECT_EQ(back.LOGFILE, cfg.LOGFILE);
  EXPECT_EQ(back.DELETEALL, cfg.DELETEALL);
  EXPECT_EQ(back.DEBUG, cfg.DEBUG);
  EXPECT_EQ(back.DIAL, cfg.DIAL);
  EXPECT_EQ(back.HANGUP, cfg.HANGUP);
  EXPECT_EQ(back.CONNECTION, cfg.CONNECTION);
  EXPECT_EQ(back.LOGIN_ID, cfg.LOGIN_ID);
  EXPECT_EQ(back.LOGIN_PWD, cfg.LOGIN_PWD);
  EXPECT_EQ(back.RETRIES, cfg.RETRIES);
  EXPECT_EQ(back.DaemonMode, cfg.DaemonMode);
  EXPECT_EQ(back.DaemonPeriod, cfg.DaemonPeriod);

  WriteConfig(dir, back);
  EXPECT_EQ(Bytes(), Crlf(lines)) << "a rewrite of what was read is byte-identical";
}

TEST_F(ConfigFileTest, DaemonVariants) {
  struct Case { const char* name; std::string file; bool mode; uint16_t period; };
  const Case cases[] = {
      {"absent", "SMTP x\r\n", false, 60},
      {"key alone", "DAEMON\r\n", true, 0},
      {"key and blanks", "DAEMON    \r\n", true, 0},
      {"600", "DAEMON 600\r\n", true, 600},
      {"lower-case key, trailing word", "daemon 600 seconds\r\n", true, 600},
      {"commented out", ";DAEMON   600\r\n", false, 60},
      {"low 16 bits", "DAEMON 70000\r\n", true, 4464},
      {"not a number", "DAEMON soon\r\n", true, 0},
      {"negative", "DAEMON -1\r\n", true, 65535},
      {"hexadecimal", "DAEMON $3C\r\n", true, 60},
      {"last line wins", "DAEMON 5\r\nDAEMON 7\r\n", true, 7},
  };
  for (const auto& c : cases) {
    TConfig cfg = Read(c.file);
    EXPECT_EQ(cfg.DaemonMode, c.mode) << c.name;
    EXPECT_EQ(cfg.DaemonPeriod, c.period) << c.name;
    EXPECT_EQ(state.TickCount, c.period) << c.name;
  }
}

TEST_F(ConfigFileTest, DaemonOffWritesTheCommentAndLosesThePeriod) {
  TConfig cfg = Typical(dir);
  cfg.DaemonMode = false;
  cfg.DaemonPeriod = 900;
  WriteConfig(dir, cfg);
  TConfig back;
  ReadConfig(dir, back, state);
  EXPECT_FALSE(back.DaemonMode);
  EXPECT_EQ(back.DaemonPeriod, 60);
}

TEST_F(ConfigFileTest, KeysValuesAndSeparators) {
  struct Case { const char* name; std::string file; std::string smtp; std::vector<std::string> unknown = {}; };
  const Case cases[] = {
      {"upper-case key", "SMTP mail.example.org\r\n", "mail.example.org"},
      {"lower-case key", "smtp mail.example.org\r\n", "mail.example.org"},
      {"mixed case, any section", "[Auto Dialing]\r\nSmTp host\r\n", "host"},
      {"equals sign sets nothing", "SMTP=mail.example.org\r\n", "", {"SMTP"}},
      {"tab sets nothing", "SMTP\tmail.example.org\r\n", "", {"SMTP"}},
      {"value trimmed", "   SMTP      host   \r\n", "host"},
      {"value keeps its case and inner blanks", "SMTP Mail  Host\r\n", "Mail  Host"},
      {"LF alone ends a line", "POP p\nSMTP h\n", "h"},
      {"last line without an end", "SMTP h", "h"},
      {"last of two lines wins", "SMTP a\r\nSMTP b\r\n", "b"},
      {"commented key ignored", ";SMTP a\r\n", "", {";SMTP"}},
      {"misspelt key listed without its value", "PASSWRD secret\r\nSMTP h\r\n", "h", {"PASSWRD"}},
      {"key after a tab, value after an equals sign", "\tFOO = bar\r\n=x\r\n", "", {"FOO", ""}},
      {"blank lines, sections and the writer's own lines are not listed",
       " \r\n\t\r\n[Notice]\r\nYou can now use a full screen configuration program to\r\n"
       "modify this file by running \"ZVMAIL32.EXE /SETUP\"\r\n;DAEMON   600\r\n[Security]\r\n",
       "", {}},
      {"a commented daemon of another period is listed", ";DAEMON 300\r\n", "", {";DAEMON"}},
      {"CRs and blanks end no value", "SMTP       @ADDRESS@\r    \r\n", "@ADDRESS@"},
      {"nor where the cut falls", "SMTP " + std::string(254, 'h') + " \rx\r\n", std::string(254, 'h')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.file).SMTP, c.smtp) << c.name;
    EXPECT_EQ(state.UnknownKeys, c.unknown) << c.name;
  }

  EXPECT_EQ(Read("CONNECTION My  Provider \r\n").CONNECTION, "My  Provider");
  EXPECT_EQ(Read("RETRIES  x5 \r\n").RETRIES, "x5") << "kept as text";

  std::string many;
  for (int i = 0; i < 150; ++i) many += "K" + std::to_string(i) + " v\r\n";
  Read(many + std::string(300, 'L') + " v\r\n");
  EXPECT_EQ(state.UnknownKeys.size(), 100u) << "the list is bounded";
  Read(std::string(300, 'L') + " v\r\n");
  EXPECT_EQ(state.UnknownKeys, std::vector<std::string>{std::string(255, 'L')}) << "and so is each key";
}

TEST_F(ConfigFileTest, YesNoValues) {
  struct Case { const char* value; bool on; };
  const Case cases[] = {{"y", true}, {"Yes", true}, {"t", true}, {"TRUE", true}, {"1", true},
                        {"no", false}, {"0", false}, {"on", false}, {"", false}};
  for (const auto& c : cases) {
    const std::string v = c.value;
    TConfig cfg = Read("LOG " + v + "\r\nDEBUG " + v + "\r\nDELETEALL " + v + "\r\nDIAL " + v + "\r\nHANGUP " +
                       v + "\r\n");
    EXPECT_EQ(cfg.LOG, c.on) << v;
    EXPECT_EQ(cfg.DEBUG, c.on) << v;
    EXPECT_EQ(cfg.DELETEALL, c.on) << v;
    EXPECT_EQ(cfg.DIAL, c.on) << v;
    EXPECT_EQ(cfg.HANGUP, c.on) << v;
  }
}

TEST_F(ConfigFileTest, CounterTakesTheLow16Bits) {
  struct Case { const char* value; uint16_t counter; };
  const Case cases[] = {{"12", 12}, {"65535", 65535}, {"65536", 0}, {"70000", 4464}, {"abc", 0}, {"", 0},
                        {"-1", 65535}, {"99999999999", 65535}};
  for (const auto& c : cases)
    EXPECT_EQ(Read(std::string("COUNTER ") + c.value + "\r\n").COUNTER, c.counter) << c.value;
}

TEST_F(ConfigFileTest, DirectoriesGetASeparatorAndAreWrittenAsTheyStand) {
  TConfig cfg = Read("IN  /srv/zv/incoming  \r\nOUT c:\\zv\\out\\\r\n");
  EXPECT_EQ(cfg.IN, "/srv/zv/incoming/");
  EXPECT_EQ(cfg.OUT, "c:\\zv\\out\\");
  WriteConfig(dir, cfg);
  const std::string bytes = Bytes();
  EXPECT_NE(bytes.find("\r\nIN         /srv/zv/incoming/\r\n"), std::string::npos);
  EXPECT_NE(bytes.find("\r\nOUT        c:\\zv\\out\\\r\n"), std::string::npos);
}

TEST_F(ConfigFileTest, LogFileDefaultsBesideTheProgramAndIsWrittenBack) {
  for (const char* file : {"SMTP x\r\n", "LOGFILE    \r\n"}) {
    TConfig cfg = Read(file);
    EXPECT_EQ(cfg.LOGFILE, dir + "ZVMAIL32.LOG");
    WriteConfig(dir, cfg);
    EXPECT_NE(Bytes().find("\r\nLOGFILE    " + dir + "ZVMAIL32.LOG\r\n"), std::string::npos);
  }
  EXPECT_EQ(Read("LOGFILE /var/log/zv.log\r\n").LOGFILE, "/var/log/zv.log");
}

TEST_F(ConfigFileTest, MissingFileLeavesDefaultsAndIncomplete) {
  TConfig cfg;
  cfg.SMTP = "stale";
  cfg.COUNTER = 9;
  cfg.LOG = true;
  cfg.DaemonMode = true;
  cfg.CONNECTION = "kept";
  cfg.SMTP_TLS = "IMPLICIT", cfg.SMTP_USERNAME = "stale", cfg.MAXSIZE = "5";
  state.DialPending = false;
  ReadConfig(dir, cfg, state);
  EXPECT_EQ(cfg.SMTP, "");
  EXPECT_EQ(cfg.COUNTER, 0);
  EXPECT_FALSE(cfg.LOG);
  EXPECT_FALSE(cfg.DaemonMode);
  EXPECT_EQ(cfg.CONNECTION, "kept") << "fields outside the reset keep their values";
  EXPECT_EQ(cfg.SMTP_TLS + cfg.SMTP_USERNAME + cfg.MAXSIZE, "") << "the optional keys are reset";
  EXPECT_EQ(cfg.MaxMessageSize(), kDefaultMaxSize);
  EXPECT_TRUE(state.ConfigIncomplete);
  EXPECT_FALSE(state.ConfigUnreadable);
  EXPECT_EQ(state.Problems, std::vector<std::string>{"ZVMAIL32.INI does not exist"});
  EXPECT_TRUE(state.DialPending);
  EXPECT_EQ(state.TickCount, 60);
  EXPECT_FALSE(fs::exists(ini)) << "reading never creates the file";
}

TEST_F(ConfigFileTest, AnyEmptyRequiredValueMakesTheConfigurationIncomplete) {
  const char* required[] = {"SMTP", "POP", "USERNAME", "PASSWORD", "ROBOT", "IN", "OUT"};
  for (const char* missing : required) {
    std::string file;
    for (const char* key : required) file += std::string(key) + (key == missing ? " \r\n" : " v\r\n");
    Read(file);
    EXPECT_TRUE(state.ConfigIncomplete) << missing;
  }
  std::string full;
  for (const char* key : required) full += std::string(key) + " v\r\n";
  Read(full);
  EXPECT_FALSE(state.ConfigIncomplete);
}

TEST_F(ConfigFileTest, LongLinesAreReadWholeAndValuesCutAt255) {
  const std::string longValue(5000, 'p');
  TConfig cfg = Read("PASSWORD " + longValue + "\r\nSMTP after\r\n");
  EXPECT_EQ(cfg.PASSWORD, longValue.substr(0, 255));
  EXPECT_EQ(cfg.SMTP, "after") << "the rest of a long line does not become a line of its own";
}

TEST_F(ConfigFileTest, PermissionsAlwaysOwnerOnly) {
  const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  WriteConfig(dir, Typical(dir));
  EXPECT_EQ(Perms(), ownerOnly);

  const fs::perms shared = ownerOnly | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(ini, shared);
  EXPECT_TRUE(WriteConfig(dir, TConfig{}));
  EXPECT_EQ(Perms(), ownerOnly) << "a 0644 file becomes 0600";
  EXPECT_NE(Bytes().find("SMTP       \r\n"), std::string::npos) << "the rewrite happened";

  const mode_t saved = ::umask(0277);
  EXPECT_TRUE(WriteConfig(dir, Typical(dir)));
  ::umask(saved);
  EXPECT_EQ(Perms(), ownerOnly) << "whatever the umask";

  struct stat st {};
  if (::geteuid() != 0) return;  // only a privileged run can write another user's file
  ASSERT_EQ(::chown(ini.c_str(), 4321, 4321), 0);
  EXPECT_TRUE(WriteConfig(dir, Typical(dir)));
  EXPECT_TRUE(::stat(ini.c_str(), &st) == 0 && st.st_uid == 4321 && st.st_gid == 4321) << "the owner keeps the file";
}

TEST_F(ConfigFileTest, UnwritableLocationIsReportedAndLeftAlone) {
  fs::create_directory(ini);  // a directory where the file should be
  EXPECT_FALSE(WriteConfig(dir, Typical(dir)));
  EXPECT_TRUE(fs::is_directory(ini));
  std::string reason;
  EXPECT_FALSE(WriteConfig(dir + "missing/", Typical(dir), &reason));
  EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
  EXPECT_FALSE(fs::exists(dir + "missing"));
}

TEST_F(ConfigFileTest, OptionalKeysWrittenOnlyWhenSetAfterTheDaemonLine) {
  struct Case {
    std::function<void(TConfig&)> set;
    std::vector<std::string> after;  // the lines after the 32
    TTlsMode smtpTls;
    uint64_t maxSize;
  };
  const Case cases[] = {
      {[](TConfig& c) { c.MAXSIZE = "0"; }, {"MAXSIZE    0"}, TTlsMode::No, 0},
      {[](TConfig& c) { c.POP_TLS = "STARTTLS"; }, {"", "[Security]", "", "POP_TLS    STARTTLS"}, TTlsMode::No,
       kDefaultMaxSize},
      {[](TConfig& c) {
         c.MAXSIZE = "12345678901234", c.SMTP_TLS = "IMPLICIT", c.SMTP_USERNAME = "Mail User";
         c.SMTP_PASSWORD = "s3 Cret", c.POP_TLS = "NO", c.TLS_CA_FILE = "/etc/ssl/Zorvik CA.pem";
       },
       {"MAXSIZE    12345678901234", "", "[Security]", "", "SMTP_TLS   IMPLICIT", "SMTP_USERNAME Mail User",
        "SMTP_PASSWORD s3 Cret", "POP_TLS    NO", "TLS_CA_FILE /etc/ssl/Zorvik CA.pem"},
       TTlsMode::Implicit, 12345678901234},
      {[](TConfig& c) { c.SMTP_TLS = "SSL", c.MAXSIZE = "lots"; }, {"MAXSIZE    lots", "", "[Security]", "",
       "SMTP_TLS   SSL"}, TTlsMode::Invalid, kDefaultMaxSize},
      // Login keys after the others; a refresh token or command longer than
      // 255 bytes is kept whole.
      {[](TConfig& c) {
         c.POP_TLS = "IMPLICIT", c.POP_AUTH = "OAUTHBEARER", c.OAUTH_TOKEN_URL = "https://login.example/token";
         c.OAUTH_CLIENT_ID = "zv", c.OAUTH_SCOPE = "mail offline_access", c.OAUTH_REFRESH_TOKEN = std::string(900, 'r');
         c.PASSWORD_COMMAND = "pass show zv/" + std::string(300, 'p');
       },
       {"", "[Security]", "", "POP_TLS    IMPLICIT", "POP_AUTH   OAUTHBEARER",
        "OAUTH_TOKEN_URL https://login.example/token", "OAUTH_CLIENT_ID zv", "OAUTH_SCOPE mail offline_access",
        "OAUTH_REFRESH_TOKEN " + std::string(900, 'r'), "PASSWORD_COMMAND pass show zv/" + std::string(300, 'p')},
       TTlsMode::No, kDefaultMaxSize},
  };
  for (const auto& c : cases) {
    TConfig cfg = Typical(dir);
    c.set(cfg);
    ASSERT_TRUE(WriteConfig(dir, cfg)) << c.after[0];
    auto lines = TypicalLines(dir);
    lines.insert(lines.end(), c.after.begin(), c.after.end());
    EXPECT_EQ(Bytes(), Crlf(lines)) << c.after[0];
    TConfig back;
    ReadConfig(dir, back, state);
    EXPECT_EQ(back.SmtpTls(), c.smtpTls) << c.after[0];
    EXPECT_EQ(back.MaxMessageSize(), c.maxSize) << c.after[0];
    WriteConfig(dir, back);
    EXPECT_EQ(Bytes(), Crlf(lines)) << c.after[0] << ": a rewrite of what was read is byte-identical";
  }
}

TEST_F(ConfigFileTest, ProblemsNameTheirKeysAndMakeTheConfigurationIncomplete) {
  const std::string complete = "SMTP smtp.example.org\r\nPOP [2001:db8::1]:995\r\nUSERNAME u\r\nPASSWORD p\r\n"
                               "ROBOT r\r\nIN /in\r\nOUT /out\r\n";
  zvtest::WriteFile(dir + "ca.pem", "-----BEGIN CERTIFICATE-----\n");
  const std::string notHost = "' is not a host, host:port, [IPv6] or [IPv6]:port";
  const std::string user = "SMTP_USERNAME u\r\nSMTP_PASSWORD p\r\n", noTls = "SMTP_USERNAME is set but SMTP_TLS is "
                                                                             "NO: credentials are sent only over TLS";
  const std::string unknownSsl = "SMTP_TLS has an unknown value 'SSL' (NO, STARTTLS or IMPLICIT)";
  // A credential file as systemd's LoadCredential= leaves it.
  const std::string credentials = dir + "credentials/";
  fs::create_directory(credentials);
  zvtest::WriteFile(credentials + "PASSWORD", "s3cret\n");
  struct Case {
    std::string added;  // later lines win
    std::vector<std::string> problems;
    bool credentialFile = false;  // CREDENTIALS_DIRECTORY holds PASSWORD
  };
  const Case cases[] = {
      {"", {}},
      {"smtp_tls implicit\r\nPOP_TLS starttls\r\n" + user + "TLS_CA_FILE " + dir + "ca.pem\r\nMAXSIZE 0\r\n", {}},
      {"SMTP\r\nPOP\r\nUSERNAME\r\nPASSWORD\r\nROBOT\r\nIN\r\nOUT\r\n",
       {"SMTP is empty", "POP is empty", "USERNAME is empty", "PASSWORD is empty", "ROBOT is empty", "IN is empty",
        "OUT is empty"}},
      {"SMTP [::1\r\nPOP pop.example.org:0\r\n", {"SMTP: '[::1" + notHost, "POP: 'pop.example.org:0" + notHost}},
      {"smtp_tls ssl\r\n", {unknownSsl}},
      {"POP_TLS yes\r\n", {"POP_TLS has an unknown value 'YES' (NO, STARTTLS or IMPLICIT)"}},
      {user, {noTls}},
      {"SMTP_TLS NO\r\n" + user, {noTls}},
      {"SMTP_TLS SSL\r\n" + user, {unknownSsl}},
      {"SMTP_TLS STARTTLS\r\nSMTP_USERNAME u\r\n", {"SMTP_PASSWORD is empty but SMTP_USERNAME is set"}},
      {"SMTP_TLS STARTTLS\r\nSMTP_PASSWORD p\r\n", {"SMTP_PASSWORD is set but SMTP_USERNAME is empty"}},
      {"TLS_CA_FILE " + dir + "none.pem\r\n",
       {"TLS_CA_FILE " + dir + "none.pem cannot be read: No such file or directory"}},
      {"TLS_CA_FILE " + dir + "\r\n", {"TLS_CA_FILE " + dir + " cannot be read: Is a directory"}},
      {"TLS_CA_FILE ca.pem\r\n", {"TLS_CA_FILE ca.pem is not an absolute path"}},
      {"MAXSIZE 100 MB\r\n", {"MAXSIZE is not a number"}},
      {"MAXSIZE -1\r\n", {"MAXSIZE is not a number"}},
      {"MAXSIZE 18446744073709551616\r\n", {"MAXSIZE is too large"}},
      {"SMTP\r\nMAXSIZE x\r\nPOP_TLS tls\r\n",
       {"SMTP is empty", "POP_TLS has an unknown value 'TLS' (NO, STARTTLS or IMPLICIT)", "MAXSIZE is not a number"}},
      // Logins: a password has another source, or an OAuth2 token stands for it.
      {"PASSWORD\r\nPASSWORD_COMMAND pass show zv\r\n", {}},
      {"PASSWORD\r\n", {}, true},
      {"PASSWORD\r\nPOP_TLS STARTTLS\r\nOAUTH_TOKEN_COMMAND get-token\r\n", {}},
      {"PASSWORD\r\nPOP_AUTH PLAIN\r\nOAUTH_TOKEN_COMMAND get-token\r\n", {"PASSWORD is empty"}},
      {"SMTP_TLS STARTTLS\r\nSMTP_USERNAME u\r\nSMTP_AUTH xoauth2\r\n",
       {"SMTP_AUTH XOAUTH2 needs OAUTH_TOKEN_URL or OAUTH_TOKEN_COMMAND"}},
      {"SMTP_TLS STARTTLS\r\nSMTP_USERNAME u\r\nOAUTH_TOKEN_URL https://login.example/t\r\nOAUTH_CLIENT_ID c\r\n"
       "POP_AUTH USER\r\n", {}},
      {"SMTP_AUTH CRAM-MD5\r\nPOP_AUTH LOGIN\r\n",
       {"SMTP_AUTH has an unknown value 'CRAM-MD5' (PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER)",
        "POP_AUTH has an unknown value 'LOGIN' (USER, PLAIN, XOAUTH2 or OAUTHBEARER)",
        "SMTP_AUTH is set but SMTP_USERNAME is empty"}},
      {"OAUTH_TOKEN_URL http://login.example/t\r\nOAUTH_DEVICE_URL https://login.example/d\r\n",
       {"POP_TLS is NO but POP3 logs in with an OAuth2 token: tokens are sent only over TLS",
        "OAUTH_TOKEN_URL 'http://login.example/t' is not an https:// address",
        "OAUTH_CLIENT_ID is empty but OAUTH_TOKEN_URL is set"}},
  };
  for (const auto& c : cases) {
    if (c.credentialFile) ::setenv("CREDENTIALS_DIRECTORY", credentials.c_str(), 1);
    Read(complete + c.added);
    EXPECT_EQ(state.Problems, c.problems) << c.added;
    EXPECT_EQ(state.ConfigIncomplete, !c.problems.empty()) << c.added;
    EXPECT_EQ(ConfigProblems(dir), c.problems) << c.added;
    ::unsetenv("CREDENTIALS_DIRECTORY");
  }
}

TEST(ServerValue, SplitsHostAndPort) {
  struct Case {
    std::string value, host;  // host "": malformed
    uint16_t port;
  };
  const Case cases[] = {
      {"mail.example", "mail.example", 25}, {"mail.example:2525", "mail.example", 2525},
      {"127.0.0.1:1", "127.0.0.1", 1},      {"10.0.0.1:065535", "10.0.0.1", 65535},
      {"[::1]", "::1", 25},                 {"[2001:db8::1]:587", "2001:db8::1", 587},
      {"::1", "::1", 25},                   {"[fe80::1%eth0]:110", "fe80::1%eth0", 110},
      {"2001:db8::25", "2001:db8::25", 25}, {"::ffff:192.0.2.1", "::ffff:192.0.2.1", 25},
  };
  for (const auto& c : cases) {
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(SplitServerValue(c.value, 25, host, port)) << c.value;
    EXPECT_EQ(host + ":" + std::to_string(port), c.host + ":" + std::to_string(c.port)) << c.value;
  }
  const std::initializer_list<std::string> malformed = {
      "", ":25", "[::1", "[]", "[::1]x", "[::1]:", "[::1]:0", "[mail.example]:25", "[192.0.2.1]", "mail.example:",
      "mail.example:0", "mail.example:65536", "mail.example:25x", "mail:+25", "mail:99999999999999999999",
      "mail:25:26", "2001:db8::zz", "fe80::1%", "mail example", "mail\texample", "mail]example", "fe88::1%e]i0",
      "[fe80::1%a b]:25", "fe80::1%\n", std::string("::\0&:1", 6)};
  for (const std::string& bad : malformed) {
    std::string host = "untouched";
    uint16_t port = 7;
    EXPECT_FALSE(SplitServerValue(bad, 25, host, port)) << bad;
    EXPECT_EQ(host + ":" + std::to_string(port), "untouched:7") << bad;
  }
}

ssize_t FailingRead(void*, char*, size_t) {
  errno = EIO;
  return -1;
}

// Opens of the configuration file for reading fail with `error`; EIO opens
// and fails at the first read. Everything else goes to the file system.
class UnreadableConfig : public textfile::Service {
 public:
  explicit UnreadableConfig(int error) : error_(error) {}
  std::FILE* Open(const std::string& name, char mode, unsigned createMode) override {
    if (mode != 'R' || name.find("ZVMAIL32.INI") == std::string::npos)
      return textfile::RealService()->Open(name, mode, createMode);
    errno = error_;
    return error_ == EIO ? ::fopencookie(nullptr, "rb", {FailingRead, nullptr, nullptr, nullptr}) : nullptr;
  }

 private:
  int error_;
};

TEST_F(ConfigFileTest, UnreadableFileIsReportedAndNeverRewritten) {
  struct Case {
    std::function<void()> make;
    int injected;  // 0: the real file system
    std::string why;
  };
  const Case cases[] = {
      {[&] { fs::create_directory(ini); }, 0, "Is a directory"},
      {[&] { ::mkfifo(ini.c_str(), 0600); }, 0, "not a regular file"},  // never waited on
      {[&] { Put("SMTP keep\r\nPASSWRD x\r\n"); }, EACCES, "Permission denied"},
      {[&] { Put("SMTP keep\r\nPASSWRD x\r\n"); }, EIO, "Input/output error"},
      {[&] { Put("SMTP keep\r\n" + std::string(1 << 20, ';')); }, 0, "larger than 1048576 bytes"},
      {[&] { Put(std::string("\xFF\xFES\0M\0T\0P\0", 10)); }, 0, "not 8-bit text (it holds NUL bytes, as UTF-16 does)"},
  };
  for (const auto& c : cases) {
    fs::remove_all(ini);
    c.make();
    const auto type = fs::symlink_status(ini).type();
    const std::string bytes = fs::is_regular_file(ini) ? Bytes() : "";
    if (c.injected) textfile::SetService(std::make_shared<UnreadableConfig>(c.injected));
    TConfig cfg;
    ReadConfig(dir, cfg, state);
    std::string reason;
    EXPECT_FALSE(WriteConfig(dir, Typical(dir), &reason)) << c.why;
    textfile::SetService(nullptr);

    EXPECT_TRUE(state.ConfigUnreadable && state.ConfigIncomplete) << c.why;
    EXPECT_EQ(state.Problems, std::vector<std::string>{"ZVMAIL32.INI cannot be read: " + c.why});
    EXPECT_NE(reason.find(c.why), std::string::npos) << reason;
    EXPECT_EQ(fs::symlink_status(ini).type(), type) << c.why;
    EXPECT_EQ(fs::is_regular_file(ini) ? Bytes() : "", bytes) << c.why;
    EXPECT_FALSE(fs::exists(ini + ".bak")) << c.why;
  }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  return at == std::string::npos ? "<" + from + " not found>" : text.replace(at, from.size(), to);
}

// A rewrite changes only the lines of the keys the program changed since it
// read the file (Typical), in the file as it is now; a key the file lacks is
// added in its section with the value its absence means. Nothing else moves,
// and nothing is kept aside.
TEST_F(ConfigFileTest, RewriteChangesOnlyWhatTheProgramChanged) {
  const std::string own = Crlf(TypicalLines(dir));
  const auto counter = [](TConfig& c) { c.COUNTER = 7; };
  const std::string bare = "COUNTER    0\nLOG        NO\nLOGFILE    " + dir + "ZVMAIL32.LOG\nDELETEALL  NO\nDEBUG      NO\n";
  struct Case {
    const char* name;
    std::string disk;
    std::function<void(TConfig&)> change;
    std::string expected;
    std::function<void(TConfig&)> read = [](TConfig&) {};  // the record as read, from Typical
  };
  const Case cases[] = {
      {"nothing changed", own, [](TConfig&) {}, own},
      {"lines of the operator stay",
       "\xEF\xBB\xBF; the relay wants TLS\r\n" + own + "PASSWRD secret\r\nSMTP=mail.example.org\r\n"
       "SMTP\tother.example.org\r\n;DAEMON 300\r\n[Mine]\r\n",
       counter,
       "\xEF\xBB\xBF; the relay wants TLS\r\n" + Replaced(own, "COUNTER    65535", "COUNTER    7") +
           "PASSWRD secret\r\nSMTP=mail.example.org\r\nSMTP\tother.example.org\r\n;DAEMON 300\r\n[Mine]\r\n"},
      {"edits made since the file was read stay",
       Replaced(Replaced(Replaced(own, "DEBUG      NO", "debug   yes"), "SMTP       smtp.example.org", "smtp  relay"),
                "DELETEALL  YES", ";DELETEALL YES"),
       counter,
       Replaced(Replaced(Replaced(Replaced(own, "DEBUG      NO", "debug   yes"), "SMTP       smtp.example.org",
                                  "smtp  relay"),
                         "DELETEALL  YES", "DELETEALL  NO\r\n;DELETEALL YES"),
                "COUNTER    65535", "COUNTER    7")},
      {"the last line of a changed key in the writer's form; LF stays LF, a missing last end is added",
       "SMTP a\nsmtp   b\nDAEMON 5\ndaemon 9",
       [](TConfig& c) {
         c.SMTP = "c";
         c.DaemonMode = false;
       },
       "SMTP a\nSMTP       c\nPOP        \nUSERNAME   \nPASSWORD   \nROBOT      \nIN         \nOUT        \n" + bare +
           ";DAEMON   600\n\n[Auto Dialing]\n\nDIAL       NO\nHANGUP     NO\nCONNECTION \nLOGIN_ID   \n"
           "LOGIN_PWD  \nRETRIES    \n"},
      // The reader takes the CR for no part of the line: DAEMON's last line.
      {"a last line ending in CR", "SMTP a\nDAEMON 1\ndaemon\r",
       [](TConfig& c) {
         c.DaemonMode = true;
         c.DaemonPeriod = 30;
       },
       "SMTP a\nPOP        \nUSERNAME   \nPASSWORD   \nROBOT      \nIN         \nOUT        \n" + bare +
           "DAEMON 1\nDAEMON    30\n\n[Auto Dialing]\n\nDIAL       NO\nHANGUP     NO\nCONNECTION \nLOGIN_ID   \n"
           "LOGIN_PWD  \nRETRIES    \n"},
      {"optional keys come and go", own + "\r\n[Security]\r\n\r\nSMTP_TLS   STARTTLS\r\n",
       [](TConfig& c) {
         c.SMTP_TLS.clear();
         c.POP_TLS = "IMPLICIT";
         c.MAXSIZE = "5";
       },
       own + "MAXSIZE    5\r\n\r\n[Security]\r\n\r\nPOP_TLS    IMPLICIT\r\n",
       [](TConfig& c) { c.SMTP_TLS = "STARTTLS"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Put(c.disk);
    TConfig before = Typical(dir);
    c.read(before);
    TConfig now = before;
    c.change(now);
    ASSERT_TRUE(WriteConfig(dir, now, nullptr, &before));
    EXPECT_EQ(Bytes(), c.expected);
    EXPECT_FALSE(fs::exists(ini + ".bak"));
  }
}

TEST_F(ConfigFileTest, LinkedFileHasItsTargetReplaced) {
  const std::string target = dir + "real/site.ini";
  fs::create_directory(dir + "real");
  zvtest::WriteFile(target, "PASSWRD keep me\r\n");
  fs::create_symlink("real/site.ini", ini);
  ASSERT_TRUE(WriteConfig(dir, Typical(dir)));
  EXPECT_TRUE(fs::is_symlink(ini));
  EXPECT_EQ(zvtest::ReadFile(target).substr(0, 49), "PASSWRD keep me\r\n\r\n[General Information]\r\n\r\nSMTP ");
  TConfig back;
  ReadConfig(dir, back, state);
  EXPECT_EQ(back.PASSWORD, "s3cret pw");

  fs::remove(ini);
  fs::create_symlink("ZVMAIL32.INI", ini);  // a loop
  std::string reason;
  EXPECT_FALSE(WriteConfig(dir, Typical(dir), &reason));
  EXPECT_NE(reason.find("Too many levels of symbolic links"), std::string::npos) << reason;

  // Run as root, a link is followed only to a file the directory's owner
  // owns: never to another's file, nor to create one elsewhere.
  if (::geteuid() != 0) return;
  const std::string before = zvtest::ReadFile(target);
  ASSERT_EQ(::chown(target.c_str(), 4242, 4242), 0);
  for (const char* to : {"real/site.ini", "real/new.ini"}) {
    SCOPED_TRACE(to);
    fs::remove(ini);
    fs::create_symlink(to, ini);
    EXPECT_FALSE(WriteConfig(dir, Typical(dir), &reason));
    EXPECT_NE(reason.find("which the owner of " + dir + " does not own; it was not rewritten"), std::string::npos)
        << reason;
  }
  EXPECT_EQ(zvtest::ReadFile(target), before);
  EXPECT_FALSE(fs::exists(dir + "real/new.ini"));
}

// A child rewrites the file over and over and is killed at a random moment,
// a few dozen times: the file is always the old content or one of the new,
// whole and owner-only.
TEST_F(ConfigFileTest, KilledRewriteLeavesTheOldOrTheNewFileWhole) {
  const unsigned start = std::random_device{}();
  SCOPED_TRACE("random start " + std::to_string(start));
  std::mt19937 random(start);
  const std::string previous = Crlf(TypicalLines(dir)) + "PASSWRD dropped by the rewrite\r\n";
  TConfig first = Typical(dir), second = Typical(dir);
  second.SMTP = "relay.example.org";
  std::string texts[2];
  for (int i = 0; i < 2; ++i) texts[i] = MergeConfigText(previous, nullptr, i ? second : first, dir);
  const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  for (int round = 0; round < 40; ++round) {
    Put(previous);
    fs::permissions(ini, ownerOnly);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
      for (unsigned i = 0;; ++i) WriteConfig(dir, i % 2 ? second : first);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 12000));
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);

    const std::string now = Bytes();
    EXPECT_TRUE(now == previous || now == texts[0] || now == texts[1]) << round << ": " << now.size() << " bytes";
    EXPECT_EQ(Perms(), ownerOnly) << round;
  }
}

}  // namespace
