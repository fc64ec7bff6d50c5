// The keys of ZVMAIL32.INI, in the order and the sections the writer gives
// them: the one list the reader, the writer, the merge of a rewrite and the
// check of unknown keys go by. A new key is one more row. Internal to config/.
// Errors: none; a value that does not parse is taken as the reader's rules say.
#pragma once

#include <string>
#include <vector>

struct TConfig;

struct TConfigKey {
  // How a value is read into the record and written back.
  enum class TKind {
    Text,     // kept as read
    Whole,    // kept as read, not cut at 255 bytes (tokens, commands)
    Upper,    // upper-cased (the TLS modes)
    Dir,      // a directory: a final "/" added
    Flag,     // YES/NO, read by its first letter
    Counter,  // COUNTER: a number, low 16 bits
    Daemon,   // DAEMON: present turns daemon mode on; the period, low 16 bits
  };
  const char* name;     // upper case
  const char* section;  // the section the writer puts it in, e.g. "[Auto Dialing]"
  // Written even when empty (the keys of the original 32 lines); the others
  // only when they hold a value.
  bool always;
  TKind kind;
  std::string TConfig::*text = nullptr;  // Text, Whole, Upper, Dir
  bool TConfig::*flag = nullptr;         // Flag

  // Sets the record's field from a value as read (trimmed, at most 255 bytes).
  void Set(TConfig& cfg, const std::string& value) const;
  // The whole line the writer writes for the record's field, "" for none:
  // the key padded to 11 columns (one blank after a longer key) and the
  // value; DAEMON padded to 10, or commented out when daemon mode is off.
  std::string Line(const TConfig& cfg) const;
};

// Every key, in the writer's order.
const std::vector<TConfigKey>& ConfigKeys();
// The row of `upperKey`, or null.
const TConfigKey* FindConfigKey(const std::string& upperKey);

// The lines the writer puts before the keys, and the comment it writes for
// DAEMON when daemon mode is off; none of them is a key or an unknown line.
inline const char* const kNoticeLine1 = "You can now use a full screen configuration program to";
inline const char* const kNoticeLine2 = "modify this file by running \"ZVMAIL32.EXE /SETUP\"";
inline const char* const kDaemonOffLine = ";DAEMON   600";
