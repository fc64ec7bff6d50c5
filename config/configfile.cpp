// Placeholder: the configuration file lands with the configuration work.
#include "config/configfile.h"

#include "config/textutil.h"

void ReadConfig(const std::string& programDir, TConfig& cfg, TReadState& state) {
  cfg = TConfig{};
  state = TReadState{};
  std::FILE* f = nullptr;
  if (OpenTextRetry(f, programDir + kConfigFileName, 'R')) {
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      auto [k, v] = SplitKeyValue(s);
      k = UpperText(k);
      if (k == "SMTP") cfg.SMTP = v; else if (k == "POP") cfg.POP = v;
      else if (k == "USERNAME") cfg.USERNAME = v; else if (k == "PASSWORD") cfg.PASSWORD = v;
      else if (k == "ROBOT") cfg.ROBOT = v; else if (k == "IN") cfg.IN = NormaliseDir(v);
      else if (k == "OUT") cfg.OUT = NormaliseDir(v); else if (k == "LOG") cfg.LOG = ParseYesNo(v);
      else if (k == "LOGFILE") cfg.LOGFILE = v; else if (k == "COUNTER") cfg.COUNTER = uint16_t(TextToNum(v));
      else if (k == "DEBUG") cfg.DEBUG = ParseYesNo(v); else if (k == "DELETEALL") cfg.DELETEALL = ParseYesNo(v);
      else if (k == "DAEMON") { cfg.DaemonMode = true; cfg.DaemonPeriod = uint16_t(TextToNum(v)); }
    }
    std::fclose(f);
  }
  state.ConfigIncomplete = cfg.PASSWORD.empty() || cfg.USERNAME.empty() || cfg.OUT.empty() || cfg.IN.empty() ||
                           cfg.ROBOT.empty() || cfg.POP.empty() || cfg.SMTP.empty();
  if (cfg.LOGFILE.empty()) cfg.LOGFILE = programDir + kDefaultLogName;
  state.TickCount = cfg.DaemonPeriod;
}

void WriteConfig(const std::string& programDir, const TConfig& cfg) {
  std::FILE* f = nullptr;
  if (!OpenTextRetry(f, programDir + kConfigFileName, 'W')) return;
  std::fprintf(f, "SMTP       %s\r\n", cfg.SMTP.c_str());
  std::fclose(f);
}
