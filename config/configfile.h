// The configuration file "ZVMAIL32.INI" beside the program: read once at
// start into a TConfig, written back whole by WriteConfig (at every end of
// the program and when the dialog saves). Neither reports a failure: a file
// that cannot be opened leaves the defaults (reading) or the old file
// (writing). The file holds passwords, so a new file is created 0600; a
// rewrite keeps the permissions the file already has.
#pragma once

#include <cstdint>
#include <string>

// The configuration record: one field per key.
struct TConfig {
  std::string SMTP, POP, USERNAME, PASSWORD, ROBOT, IN, OUT;
  uint16_t COUNTER = 0;
  bool LOG = false;
  std::string LOGFILE;
  bool DELETEALL = false, DEBUG = false, DIAL = false, HANGUP = false;
  std::string CONNECTION, LOGIN_ID, LOGIN_PWD, RETRIES;
  uint16_t DaemonPeriod = 60;  // seconds, from DAEMON
  bool DaemonMode = false;     // a DAEMON key was read (or the dialog set it)
};

// Run-state that ReadConfig sets beside the record.
struct TReadState {
  bool ConfigIncomplete = false;
  uint16_t TickCount = 0;
  bool DialPending = true;
};

// The file's name inside the program directory.
inline const char* const kConfigFileName = "ZVMAIL32.INI";
inline const char* const kDefaultLogName = "ZVMAIL32.LOG";

// Reads programDir + "ZVMAIL32.INI" into `cfg` and fills `state`. First resets
// SMTP, POP, USERNAME, PASSWORD, ROBOT, IN, OUT, COUNTER, LOG, DEBUG,
// DELETEALL and the daemon settings; the other fields keep their values unless
// the file sets them. Untrusted input: any line, however long, is accepted.
// programDir ends with "/".
void ReadConfig(const std::string& programDir, TConfig& cfg, TReadState& state);
// Rewrites programDir + "ZVMAIL32.INI" from `cfg`: 32 lines, CR LF. IN and
// OUT are written as they stand (file names are case-sensitive here).
void WriteConfig(const std::string& programDir, const TConfig& cfg);
