// TSentPairs: the outbound files the server accepted but that could not be
// removed from OUT afterwards. As long as such a file stays as it was sent
// (same name, inode, size and modification time), it is not sent again; each
// send pass tries to remove it once more and says so in the log until it is
// gone. A file changed or replaced by the producer is a new one: its entry
// is dropped and it is sent as usual.
//
// The record (ZVMAIL32.SNT beside the configuration, mode 0600) is replaced
// atomically. It is read as untrusted input: lines it does not understand
// are dropped.
//
// Error convention: Load and Save return false with a reason in words.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/filing.h"


class TSentPairs {
 public:
  // One file as it was sent.
  struct TFile {
    std::string path;  // absolute
    plat::FileIdentity id;
    static TFile Of(const std::string& path, const struct stat& st) { return {path, plat::FileIdentity::Of(st)}; }
    bool operator==(const TFile&) const = default;
  };

  explicit TSentPairs(std::string path) : path_(std::move(path)) {}

  // Reads the record; a missing file is an empty record.
  bool Load(std::string& why);
  // Replaces the record when it changed since the last Load or Save (and
  // removes it when it became empty).
  bool Save(std::string& why);

  // `file`, as it stands now, was sent before.
  bool Holds(const TFile& file) const;
  // Records that the pair `base` was sent while `file` stayed behind.
  void Add(const std::string& base, const TFile& file);
  // Removes every recorded file that is still there as it was sent; entries
  // whose file is gone or changed are dropped. `report` gets one line per
  // pair: removed now, or still there and why (`failed`).
  void RetryRemovals(const std::function<bool(const std::string& path, std::string& why)>& remove,
                     const std::function<void(const std::string& line, bool failed)>& report);
  bool Empty() const { return entries_.empty(); }

 private:
  struct TEntry {
    std::string base;
    TFile file;
  };
  std::string path_;
  std::vector<TEntry> entries_;
  bool changed_ = false;
};
