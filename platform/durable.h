// Durable filing: a directory held open from before the first file is
// written below it, so that everything filed there can be brought to stable
// storage in one step before a peer is told it may delete its copy.
#pragma once

#include <string>
#include <vector>

namespace plat {

class DurableDir {
 public:
  // Opens `dir` (empty: the working directory); a directory that cannot be
  // opened is tolerated, Sync then flushes file by file.
  explicit DurableDir(const std::string& dir);
  ~DurableDir();
  DurableDir(const DurableDir&) = delete;
  DurableDir& operator=(const DurableDir&) = delete;

  // Flushes `paths` (files in the directory) and the directory itself to
  // stable storage. One flush of the directory's file system covers them all
  // and reports every write-back error since the directory was opened;
  // without it each file and the directory are flushed in turn (a file the
  // consumer has already taken away is fine). False, with `failed` naming
  // the path, when a flush failed.
  bool Sync(const std::vector<std::string>& paths, std::string& failed) const;

 private:
  std::string dir_;
  int fd_;
};

}  // namespace plat
