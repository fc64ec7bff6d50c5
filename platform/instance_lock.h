// One run per instance: an exclusive lock on a file in the instance's
// directory, held for the life of the object. The kernel releases it when
// the process ends, however it ends, so a killed run never leaves it held.
//
// Error convention: Take reports by its result and a reason in words.
#pragma once

#include <string>

namespace plat {

class InstanceLock {
 public:
  enum class Result { Taken, HeldByAnother, Failed };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock on `path` without waiting; the file is created (0600)
  // when missing and never opened through a link.
  Result Take(const std::string& path, std::string& why);

 private:
  int fd_ = -1;
};

}  // namespace plat
