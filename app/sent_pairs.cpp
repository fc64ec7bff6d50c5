#include "app/sent_pairs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "app/record_file.h"
#include "config/instance_files.h"
#include "platform/filing.h"

namespace {

constexpr const char* kHeader = "zvmail32 sent pairs 1";
// Bounds on what is read back: the file is ours, but a damaged or planted
// one must not make the program spend without end.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxEntries = 10000;

}  // namespace

bool TSentPairs::Load(std::string& why) {
  entries_.clear();
  changed_ = false;
  std::string text;
  if (!ReadRecordFile(path_, kMaxFileBytes, text, why)) return false;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line) && entries_.size() < kMaxEntries;) {
    std::istringstream words(line);
    std::string verb, base, path, extra;
    TEntry e;
    words >> verb >> base >> path >> e.file.id.device >> e.file.id.inode >> e.file.id.size >> e.file.id.mtimeNs;
    if (words.fail() || verb != "sent" || (words >> extra, !extra.empty())) continue;
    if (!UnescapeWord(base, e.base) || !UnescapeWord(path, e.file.path) || e.base.empty() ||
        e.file.path.rfind('/', 0) != 0)
      continue;
    entries_.push_back(std::move(e));
  }
  return true;
}

bool TSentPairs::Save(std::string& why) {
  if (!changed_) return true;
  if (entries_.empty()) {
    if (std::remove(path_.c_str()) != 0 && errno != ENOENT) {
      why = "cannot remove " + path_ + ": " + std::strerror(errno);
      return false;
    }
    changed_ = false;
    return true;
  }
  std::string text = std::string(kHeader) + "\n";
  for (const TEntry& e : entries_) {
    text += "sent " + EscapeWord(e.base) + " " + EscapeWord(e.file.path) + " " + std::to_string(e.file.id.device) + " " +
            std::to_string(e.file.id.inode) + " " + std::to_string(e.file.id.size) + " " +
            std::to_string(e.file.id.mtimeNs) + "\n";
  }
  const std::size_t slash = path_.rfind('/') + 1;
  if (!ReplaceInstanceFile(path_.substr(0, slash), path_.substr(slash), text, 0600, /*durable=*/true, why))
    return false;
  changed_ = false;
  return true;
}

bool TSentPairs::Holds(const TFile& file) const {
  for (const TEntry& e : entries_)
    if (e.file == file) return true;
  return false;
}

void TSentPairs::Add(const std::string& base, const TFile& file) {
  if (Holds(file) || entries_.size() >= kMaxEntries) return;
  entries_.push_back({base, file});
  changed_ = true;
}

void TSentPairs::RetryRemovals(const std::function<bool(const std::string&, std::string&)>& remove,
                               const std::function<void(const std::string&, bool)>& report) {
  std::vector<TEntry> kept;
  std::vector<std::string> bases;  // in record order, each once
  for (const TEntry& e : entries_)
    if (std::find(bases.begin(), bases.end(), e.base) == bases.end()) bases.push_back(e.base);
  for (const std::string& base : bases) {
    std::string failure;
    bool removed = false;
    for (TEntry& e : entries_) {
      if (e.base != base) continue;
      struct stat st {};
      if (::lstat(e.file.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(TFile::Of(e.file.path, st) == e.file)) {
        changed_ = true;  // gone, or a new file under the old name
        continue;
      }
      // In the order recorded, envelope first; after a failure the rest
      // of the pair stays, so the pair stays whole.
      std::string why;
      if (failure.empty() && remove(e.file.path, why)) {
        changed_ = true;
        removed = true;
      } else {
        if (failure.empty()) failure = why;
        kept.push_back(std::move(e));
      }
    }
    if (!failure.empty())
      report("Cannot remove " + base + " from OUT: " + failure + "; it was sent before and is not sent again", true);
    else if (removed)
      report(base + " was sent before; it is now removed from OUT", false);
  }
  entries_ = std::move(kept);
}
