#include "config/configfile.h"

#include <gtest/gtest.h>

#include "support/testutil.h"

#include <filesystem>
#include <string>
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
  WriteConfig(dir, TConfig{});
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

TEST_F(ConfigFileTest, TypicalRecordExactBytesAndRoundTrip) {
  const TConfig cfg = Typical(dir);
  WriteConfig(dir, cfg);
  const auto lines = Expected({"SMTP       smtp.example.org", "POP        pop.example.org", "USERNAME   zorvik",
                               "PASSWORD   s3cret pw", "ROBOT      robot", "IN         /srv/zv/In/",
                               "OUT        /srv/zv/Out/", "COUNTER    65535", "LOG        YES",
                               "LOGFILE    " + dir + "ZVMAIL32.LOG", "DELETEALL  YES", "DEBUG      NO"},
                              {"DIAL       YES", "HANGUP     YES", "CONNECTION My ISP", "LOGIN_ID   dialer",
                               "LOGIN_PWD  pw", "RETRIES    3"},
                              "DAEMON    600");
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
  struct Case { const char* name; std::string file; std::string smtp; };
  const Case cases[] = {
      {"upper-case key", "SMTP mail.example.org\r\n", "mail.example.org"},
      {"lower-case key", "smtp mail.example.org\r\n", "mail.example.org"},
      {"mixed case, any section", "[Auto Dialing]\r\nSmTp host\r\n", "host"},
      {"equals sign sets nothing", "SMTP=mail.example.org\r\n", ""},
      {"tab sets nothing", "SMTP\tmail.example.org\r\n", ""},
      {"value trimmed", "   SMTP      host   \r\n", "host"},
      {"value keeps its case and inner blanks", "SMTP Mail  Host\r\n", "Mail  Host"},
      {"LF alone ends a line", "POP p\nSMTP h\n", "h"},
      {"last line without an end", "SMTP h", "h"},
      {"last of two lines wins", "SMTP a\r\nSMTP b\r\n", "b"},
      {"commented key ignored", ";SMTP a\r\n", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.file).SMTP, c.smtp) << c.name;

  EXPECT_EQ(Read("CONNECTION My  Provider \r\n").CONNECTION, "My  Provider");
  EXPECT_EQ(Read("RETRIES  x5 \r\n").RETRIES, "x5") << "kept as text";
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
  state.DialPending = false;
  ReadConfig(dir, cfg, state);
  EXPECT_EQ(cfg.SMTP, "");
  EXPECT_EQ(cfg.COUNTER, 0);
  EXPECT_FALSE(cfg.LOG);
  EXPECT_FALSE(cfg.DaemonMode);
  EXPECT_EQ(cfg.CONNECTION, "kept") << "fields outside the reset keep their values";
  EXPECT_TRUE(state.ConfigIncomplete);
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

TEST_F(ConfigFileTest, PermissionsOwnerOnlyOnCreateKeptOnRewrite) {
  WriteConfig(dir, Typical(dir));
  EXPECT_EQ(Perms(), fs::perms::owner_read | fs::perms::owner_write);

  const fs::perms shared = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(ini, shared);
  WriteConfig(dir, TConfig{});
  EXPECT_EQ(Perms(), shared);
  EXPECT_NE(Bytes().find("SMTP       \r\n"), std::string::npos) << "the rewrite happened";
}

TEST_F(ConfigFileTest, UnwritableLocationIsSkippedSilently) {
  fs::create_directory(ini);  // a directory where the file should be
  WriteConfig(dir, Typical(dir));
  EXPECT_TRUE(fs::is_directory(ini));
  WriteConfig(dir + "missing/", Typical(dir));
  EXPECT_FALSE(fs::exists(dir + "missing"));
}

}  // namespace
