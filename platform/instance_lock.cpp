#include "platform/instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace plat {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

InstanceLock::Result InstanceLock::Take(const std::string& dir, std::string& why) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    why = "cannot open the instance directory " + dir + " to lock it: " + std::strerror(errno);
    return Result::Failed;
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return Result::HeldByAnother;
    why = "cannot lock " + dir + ": " + std::strerror(err);
    return Result::Failed;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return Result::Taken;
}

}  // namespace plat
