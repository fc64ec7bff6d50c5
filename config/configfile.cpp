#include "config/configfile.h"

#include "config/textutil.h"

namespace {

constexpr unsigned kConfigCreateMode = 0600;

// One line of the file without its end (LF, and any CR before it). Returns
// false at the end of the file when nothing was read.
bool ReadWholeLine(std::FILE* f, std::string& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

std::string KeyLine(const char* key, const std::string& value) {
  std::string line = key;
  if (line.size() < 11) line.append(11 - line.size(), ' ');
  return line + value;
}

}  // namespace

void ReadConfig(const std::string& programDir, TConfig& cfg, TReadState& state) {
  cfg.LOG = cfg.DEBUG = cfg.DELETEALL = false;
  state.DialPending = true;
  cfg.DaemonMode = false;
  state.ConfigIncomplete = false;
  cfg.SMTP.clear();
  cfg.POP.clear();
  cfg.USERNAME.clear();
  cfg.PASSWORD.clear();
  cfg.ROBOT.clear();
  cfg.IN.clear();
  cfg.OUT.clear();
  cfg.DaemonPeriod = 60;
  cfg.COUNTER = 0;

  std::FILE* f = nullptr;
  if (OpenTextRetry(f, programDir + kConfigFileName, 'R')) {
    std::string line;
    while (ReadWholeLine(f, line)) {
      auto [key, value] = SplitKeyValue(line);
      key = UpperText(key);
      if (key == "DAEMON") {
        cfg.DaemonMode = true;
        cfg.DaemonPeriod = static_cast<uint16_t>(TextToNum(value));
      } else if (key == "COUNTER") {
        cfg.COUNTER = static_cast<uint16_t>(TextToNum(value));
      } else if (key == "SMTP") {
        cfg.SMTP = value;
      } else if (key == "POP") {
        cfg.POP = value;
      } else if (key == "USERNAME") {
        cfg.USERNAME = value;
      } else if (key == "PASSWORD") {
        cfg.PASSWORD = value;
      } else if (key == "ROBOT") {
        cfg.ROBOT = value;
      } else if (key == "LOGFILE") {
        cfg.LOGFILE = value;
      } else if (key == "CONNECTION") {
        cfg.CONNECTION = value;
      } else if (key == "LOGIN_ID") {
        cfg.LOGIN_ID = value;
      } else if (key == "LOGIN_PWD") {
        cfg.LOGIN_PWD = value;
      } else if (key == "RETRIES") {
        cfg.RETRIES = value;
      } else if (key == "LOG") {
        cfg.LOG = ParseYesNo(value);
      } else if (key == "DEBUG") {
        cfg.DEBUG = ParseYesNo(value);
      } else if (key == "DELETEALL") {
        cfg.DELETEALL = ParseYesNo(value);
      } else if (key == "DIAL") {
        cfg.DIAL = ParseYesNo(value);
      } else if (key == "HANGUP") {
        cfg.HANGUP = ParseYesNo(value);
      } else if (key == "IN") {
        cfg.IN = NormaliseDir(value);
      } else if (key == "OUT") {
        cfg.OUT = NormaliseDir(value);
      }
    }
    std::fclose(f);
  }

  state.ConfigIncomplete = cfg.PASSWORD.empty() || cfg.USERNAME.empty() || cfg.OUT.empty() ||
                           cfg.IN.empty() || cfg.ROBOT.empty() || cfg.POP.empty() || cfg.SMTP.empty();
  if (cfg.LOGFILE.empty()) cfg.LOGFILE = programDir + kDefaultLogName;
  state.TickCount = cfg.DaemonPeriod;
}

void WriteConfig(const std::string& programDir, const TConfig& cfg) {
  const std::string lines[] = {
      "[Notice]",
      "",
      "You can now use a full screen configuration program to",
      "modify this file by running \"ZVMAIL32.EXE /SETUP\"",
      "",
      "[General Information]",
      "",
      KeyLine("SMTP", cfg.SMTP),
      KeyLine("POP", cfg.POP),
      KeyLine("USERNAME", cfg.USERNAME),
      KeyLine("PASSWORD", cfg.PASSWORD),
      KeyLine("ROBOT", cfg.ROBOT),
      KeyLine("IN", cfg.IN),
      KeyLine("OUT", cfg.OUT),
      KeyLine("COUNTER", NumToText(cfg.COUNTER, 0)),
      KeyLine("LOG", YesNoText(cfg.LOG)),
      KeyLine("LOGFILE", cfg.LOGFILE),
      KeyLine("DELETEALL", YesNoText(cfg.DELETEALL)),
      KeyLine("DEBUG", YesNoText(cfg.DEBUG)),
      "",
      "[Auto Dialing]",
      "",
      KeyLine("DIAL", YesNoText(cfg.DIAL)),
      KeyLine("HANGUP", YesNoText(cfg.HANGUP)),
      KeyLine("CONNECTION", cfg.CONNECTION),
      KeyLine("LOGIN_ID", cfg.LOGIN_ID),
      KeyLine("LOGIN_PWD", cfg.LOGIN_PWD),
      KeyLine("RETRIES", cfg.RETRIES),
      "",
      "[Advanced Options]",
      "",
      cfg.DaemonMode ? "DAEMON    " + NumToText(cfg.DaemonPeriod, 0) : std::string(";DAEMON   600"),
  };
  // Composed first and written at once, so the file is truncated for as
  // short a time as possible.
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";

  std::FILE* f = nullptr;
  if (!OpenTextRetry(f, programDir + kConfigFileName, 'W', kConfigCreateMode)) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}
