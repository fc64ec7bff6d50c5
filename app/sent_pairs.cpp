#include "app/sent_pairs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/filing.h"

namespace {

constexpr const char* kHeader = "zvmail32 sent pairs 1";
// Bounds on what is read back: the file is ours, but a damaged or planted
// one must not make the program spend without end.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxEntries = 10000;

// A name in one word: bytes outside 0x21..0x7E and "%" as %XX.
std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& word, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      out += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return false;
    const int hi = HexDigit(word[i + 1]), lo = HexDigit(word[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return !out.empty();
}

}  // namespace

TSentPairs::TFile TSentPairs::TFile::Of(const std::string& path, const struct stat& st) {
  TFile f;
  f.path = path;
  f.device = uint64_t(st.st_dev);
  f.inode = uint64_t(st.st_ino);
  f.size = uint64_t(st.st_size);
  f.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return f;
}

bool TSentPairs::Load(std::string& why) {
  entries_.clear();
  changed_ = false;
  std::FILE* f = std::fopen(path_.c_str(), "rbe");
  if (f == nullptr) {
    if (errno == ENOENT) return true;
    why = path_ + " cannot be read: " + std::strerror(errno);
    return false;
  }
  std::string text;
  char chunk[8192];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < kMaxFileBytes) text.append(chunk, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    why = path_ + " cannot be read: " + std::strerror(EIO);
    return false;
  }
  std::istringstream in(text);
  for (std::string line; std::getline(in, line) && entries_.size() < kMaxEntries;) {
    std::istringstream words(line);
    std::string verb, base, path, extra;
    TEntry e;
    words >> verb >> base >> path >> e.file.device >> e.file.inode >> e.file.size >> e.file.mtimeNs;
    if (words.fail() || verb != "sent" || (words >> extra, !extra.empty())) continue;
    if (!Unescape(base, e.base) || !Unescape(path, e.file.path) || e.file.path[0] != '/') continue;
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
    text += "sent " + Escape(e.base) + " " + Escape(e.file.path) + " " + std::to_string(e.file.device) + " " +
            std::to_string(e.file.inode) + " " + std::to_string(e.file.size) + " " + std::to_string(e.file.mtimeNs) +
            "\n";
  }
  if (!plat::ReplaceFile(path_, text, 0600, /*durable=*/true, why)) return false;
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
