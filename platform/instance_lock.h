// One run per instance: an exclusive lock on the instance's directory
// itself, held for the life of the object. The kernel releases it when the
// process ends, however it ends, so a killed run never leaves it held; and
// since no file is made, a read-only directory can be locked as well and
// nothing is left behind.
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

  // Takes the lock on the directory `dir` without waiting.
  Result Take(const std::string& dir, std::string& why);

 private:
  int fd_ = -1;
};

}  // namespace plat
