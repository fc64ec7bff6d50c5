// TIniLines: the text of a configuration file as lines that keep their own
// line ends, edited key by key: the line of a key set, removed, or added in
// the key's section. What is not edited comes out byte for byte as it came
// in, a UTF-8 byte-order mark at the start included. Internal to config/;
// MergeConfigText (configfile.h) is built on it.
// Errors: none; any bytes are taken (untrusted input), and the edits only
// ever touch lines that hold one of the known keys.
#pragma once

#include <map>
#include <string>
#include <vector>

struct TConfigKey;

class TIniLines {
 public:
  explicit TIniLines(const std::string& bytes);

  // The lines holding `row`'s key (for DAEMON also its commented form,
  // ";DAEMON ..."), first to last.
  std::vector<std::size_t> LinesOf(const TConfigKey& row, bool withComments = false) const;
  // Makes `line` the last line holding the key: it replaces that line (for
  // DAEMON, a commented one when there is no other), or is added in the
  // key's section. An empty `line` removes every line of the key. Turning
  // DAEMON off (the comment as `line`) removes its other lines too, since
  // any of them would turn it on; where it is off already and commented
  // out, nothing changes.
  void Set(const TConfigKey& row, const std::string& line);
  // Adds `line` for a key the text lacks.
  void Add(const TConfigKey& row, const std::string& line);
  std::string Text() const;

 private:
  struct TLine {
    std::string text;
    std::string end;  // "\r\n", "\n"; for a last line without one, its CRs or ""
    std::string key;  // the known key it sets, ";DAEMON", or ""
  };
  static std::string IndexKeyOf(const std::string& text);
  // Where each key's lines are (";DAEMON" for DAEMON's commented form),
  // made afresh after every edit; the edits are few, the lines may be many.
  void Index();
  // Where a new line of `row`'s key goes: after the last line of the key
  // before it in the same section, or before the first line of the key after
  // it, or under the section's header; npos when the section is nowhere.
  std::size_t Place(const TConfigKey& row) const;
  void Insert(std::size_t at, const std::string& text);

  std::string bom_;
  std::vector<TLine> lines_;
  std::map<std::string, std::vector<std::size_t>> index_;
  std::string end_ = "\r\n";  // the end of new lines: the file's own
};
