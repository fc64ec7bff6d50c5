#include "config/inimerge.h"

#include <algorithm>
#include <cstring>

#include "config/configfile.h"
#include "config/configkeys.h"
#include "config/textutil.h"

namespace {

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The key a line sets, upper case, as the reader splits it.
std::string KeyOf(const std::string& text) { return UpperText(SplitKeyValue(text).first); }

std::vector<std::string> Composed(const TConfig& cfg) {
  std::vector<std::string> lines = {"[Notice]", "", kNoticeLine1, kNoticeLine2};
  const char* section = nullptr;
  for (const TConfigKey& row : ConfigKeys()) {
    const std::string line = row.Line(cfg);
    if (line.empty()) continue;
    if (section == nullptr || std::strcmp(section, row.section) != 0) {
      section = row.section;
      lines.insert(lines.end(), {"", section, ""});
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

TIniLines::TIniLines(const std::string& bytes) {
  std::size_t start = 0;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    bom_ = bytes.substr(0, 3);
    start = 3;
  }
  bool endSeen = false;
  while (start < bytes.size()) {
    auto lf = bytes.find('\n', start);
    TLine line;
    if (lf == std::string::npos) {
      // As for the reader, CRs ending a last line are no part of its text.
      std::size_t end = bytes.size();
      while (end > start && bytes[end - 1] == '\r') --end;
      line.text = bytes.substr(start, end - start);
      line.end = bytes.substr(end);
      start = bytes.size();
    } else {
      std::size_t end = lf;
      while (end > start && bytes[end - 1] == '\r') --end;
      line.text = bytes.substr(start, end - start);
      line.end = bytes.substr(end, lf + 1 - end);
      start = lf + 1;
      if (!endSeen) end_ = line.end;
      endSeen = true;
    }
    line.key = IndexKeyOf(line.text);
    lines_.push_back(std::move(line));
  }
  Index();
}

std::string TIniLines::IndexKeyOf(const std::string& text) {
  std::string key = KeyOf(text);
  if (key.compare(0, 7, ";DAEMON") == 0) return ";DAEMON";
  return FindConfigKey(key) != nullptr ? key : std::string();
}

void TIniLines::Index() {
  index_.clear();
  for (std::size_t i = 0; i < lines_.size(); ++i)
    if (!lines_[i].key.empty()) index_[lines_[i].key].push_back(i);
}

std::vector<std::size_t> TIniLines::LinesOf(const TConfigKey& row, bool withComments) const {
  std::vector<std::size_t> at;
  if (const auto it = index_.find(row.name); it != index_.end()) at = it->second;
  if (withComments && row.kind == TConfigKey::TKind::Daemon) {
    if (const auto it = index_.find(";DAEMON"); it != index_.end()) {
      at.insert(at.end(), it->second.begin(), it->second.end());
      std::sort(at.begin(), at.end());
    }
  }
  return at;
}

void TIniLines::Set(const TConfigKey& row, const std::string& line) {
  std::vector<std::size_t> at = LinesOf(row);
  if (line.empty()) {
    for (auto i = at.rbegin(); i != at.rend(); ++i) lines_.erase(lines_.begin() + std::ptrdiff_t(*i));
    return Index();
  }
  if (row.kind == TConfigKey::TKind::Daemon) {
    const bool off = line == kDaemonOffLine;
    if (off && !at.empty()) {
      for (std::size_t k = at.size() - 1; k-- > 0;) lines_.erase(lines_.begin() + std::ptrdiff_t(at[k]));
      Index();
      at = LinesOf(row);
    } else if (at.empty()) {
      // Off already: a commented line says so, whatever it reads.
      at = LinesOf(row, /*withComments=*/true);
      if (off && !at.empty()) return;
    }
  }
  if (at.empty()) return Add(row, line);
  lines_[at.back()] = TLine{line, lines_[at.back()].end, IndexKeyOf(line)};
  Index();
}

void TIniLines::Add(const TConfigKey& row, const std::string& line) {
  std::size_t at = Place(row);
  if (at == std::string::npos) {
    if (!lines_.empty() && !IsBlank(lines_.back().text)) Insert(lines_.size(), "");
    Insert(lines_.size(), row.section);
    Insert(lines_.size(), "");
    at = lines_.size();
  }
  Insert(at, line);
}

std::size_t TIniLines::Place(const TConfigKey& row) const {
  const auto& keys = ConfigKeys();
  const std::size_t self = std::size_t(&row - keys.data());
  for (std::size_t k = self; k-- > 0;) {
    if (std::strcmp(keys[k].section, row.section) != 0) continue;
    const auto at = LinesOf(keys[k], /*withComments=*/true);
    if (!at.empty()) return at.back() + 1;
  }
  for (std::size_t k = self + 1; k < keys.size(); ++k) {
    if (std::strcmp(keys[k].section, row.section) != 0) continue;
    const auto at = LinesOf(keys[k], /*withComments=*/true);
    if (!at.empty()) return at.front();
  }
  const std::string header = UpperText(row.section);
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (UpperText(Trimmed(lines_[i].text)) != header) continue;
    return i + 1 < lines_.size() && IsBlank(lines_[i + 1].text) ? i + 2 : i + 1;
  }
  return std::string::npos;
}

void TIniLines::Insert(std::size_t at, const std::string& text) {
  // The line before it may be a last line without an end (or only CRs).
  if (at > 0 && lines_[at - 1].end.find('\n') == std::string::npos) lines_[at - 1].end = end_;
  lines_.insert(lines_.begin() + std::ptrdiff_t(at), TLine{text, end_, IndexKeyOf(text)});
  Index();
}

std::string TIniLines::Text() const {
  std::string text = bom_;
  for (const TLine& line : lines_) text += line.text + line.end;
  return text;
}

std::string MergeConfigText(const std::string& disk, const TConfig* before, const TConfig& cfg,
                            const std::string& programDir) {
  if (disk.empty()) {
    std::string text;
    for (const std::string& line : Composed(cfg)) text += line + "\r\n";
    return text;
  }
  // A key the file lacks gets the value the reader gives it in its absence.
  TConfig defaults;
  defaults.LOGFILE = programDir + kDefaultLogName;
  TIniLines file(disk);
  for (const TConfigKey& row : ConfigKeys()) {
    const std::string line = row.Line(cfg);
    if (before == nullptr || row.Line(*before) != line) {
      file.Set(row, line);
    } else if (row.always && file.LinesOf(row, /*withComments=*/true).empty()) {
      file.Add(row, row.Line(defaults));
    }
  }
  return file.Text();
}
