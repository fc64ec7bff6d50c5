#include "config/instance_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include "config/configfile.h"
#include "config/textutil.h"

std::optional<plat::FileOwner> InstanceOwner(const std::string& programDir) {
  return plat::OwnerOf(programDir + kConfigFileName, programDir.empty() ? std::string(".") : programDir);
}

bool ReplaceInstanceFile(const std::string& programDir, const std::string& name, const std::string& bytes,
                         unsigned mode, bool durable, std::string& why) {
  const std::optional<plat::FileOwner> owner = InstanceOwner(programDir);
  return plat::ReplaceFile(programDir + name, bytes, mode, durable, why, false, owner ? &*owner : nullptr);
}

void AdoptInstanceOwner(int fd, const std::string& path, const std::string& programDir) {
  struct stat dir {}, instance {};
  const std::string where = ExtractDir(path);
  if (::stat(where.empty() ? "." : where.c_str(), &dir) != 0 || ::stat(programDir.c_str(), &instance) != 0 ||
      dir.st_dev != instance.st_dev || dir.st_ino != instance.st_ino || !plat::OnlyNameOf(fd, path))
    return;
  if (const std::optional<plat::FileOwner> owner = InstanceOwner(programDir)) plat::GiveTo(fd, *owner);
}

bool MayFollowConfigLink(const std::string& programDir, const std::string& target, std::string& why) {
  if (::geteuid() != 0 || target == programDir + kConfigFileName) return true;
  struct stat dir {}, file {};
  if (::stat(programDir.c_str(), &dir) != 0) return true;  // the write fails on its own
  if (::stat(target.c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == dir.st_uid) return true;
  why = std::string(kConfigFileName) + " leads to " + target + ", which the owner of " + programDir +
        " does not own; it was not rewritten";
  return false;
}
