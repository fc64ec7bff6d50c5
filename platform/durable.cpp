#include "platform/durable.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace plat {

DurableDir::DurableDir(const std::string& dir)
    : dir_(dir.empty() ? std::string(".") : dir), fd_(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

DurableDir::~DurableDir() {
  if (fd_ >= 0) ::close(fd_);
}

bool DurableDir::Sync(const std::vector<std::string>& paths, std::string& failed) const {
  if (paths.empty()) return true;
  if (fd_ >= 0) {
    if (::syncfs(fd_) == 0) return true;
    if (errno != ENOSYS) {
      failed = dir_;
      return false;
    }
  }
  auto sync = [&failed](const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return true;
      failed = path;
      return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) failed = path;
    return ok;
  };
  for (const std::string& path : paths)
    if (!sync(path, O_RDONLY)) return false;
  return sync(dir_, O_RDONLY | O_DIRECTORY);
}

}  // namespace plat
