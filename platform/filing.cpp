#include "platform/filing.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {
namespace {

class PosixFiling final : public FilingService {
 public:
  int OpenDirectory(const std::string& path) override {
    return ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }

  int CreateExclusive(int dir, const std::string& name, unsigned mode) override {
    for (;;) {
      const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd >= 0 || errno != EINTR) return fd;
    }
  }

  bool WriteAll(int fd, const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) {
        errno = EIO;
        return false;
      }
      data += n;
      size -= std::size_t(n);
    }
    return true;
  }

  bool DataSync(int fd) override { return ::fdatasync(fd) == 0; }
  bool SyncDirectory(int dir) override { return ::fsync(dir) == 0; }
  bool SyncFileSystem(int dir) override { return ::syncfs(dir) == 0; }
  int OpenForSync(int dir, const std::string& name) override {
    return ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  bool Close(int fd) override { return ::close(fd) == 0; }

  bool RenameNoReplace(int dir, const std::string& from, const std::string& to) override {
    return ::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0;
  }

  bool Remove(int dir, const std::string& name) override { return ::unlinkat(dir, name.c_str(), 0) == 0; }

  std::vector<std::string> List(int dir) override {
    std::vector<std::string> names;
    const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return names;
    DIR* d = ::fdopendir(copy);
    if (d == nullptr) {
      ::close(copy);
      return names;
    }
    while (const dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
  }

  bool Identify(int dir, const std::string& name, FileFacts& facts) override {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    facts = {S_ISREG(st.st_mode), uint64_t(st.st_ino)};
    return true;
  }

  bool IdentifyOpen(int fd, FileFacts& facts) override {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    facts = {S_ISREG(st.st_mode), uint64_t(st.st_ino)};
    return true;
  }
};

std::string ErrorText(int err) { return std::strerror(err); }

}  // namespace

FileIdentity FileIdentity::Of(const struct stat& st) {
  return {uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size),
          int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::shared_ptr<FilingService> DefaultFilingService() {
  static const std::shared_ptr<FilingService> service = std::make_shared<PosixFiling>();
  return service;
}

std::optional<FileOwner> OwnerOf(const std::string& reference, const std::string& dir) {
  struct stat st {};
  if ((::stat(reference.c_str(), &st) == 0 && S_ISREG(st.st_mode)) || ::stat(dir.c_str(), &st) == 0)
    return FileOwner{st.st_uid, st.st_gid};
  return std::nullopt;
}

bool GiveTo(int fd, const FileOwner& owner) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (st.st_uid == owner.uid && st.st_gid == owner.gid) return true;
  // An unprivileged process may still pass the file to its owner's group
  // when it belongs to that group.
  if (::fchown(fd, owner.uid, owner.gid) == 0) return true;
  return st.st_uid == ::geteuid() && ::fchown(fd, uid_t(-1), owner.gid) == 0 && st.st_uid == owner.uid;
}

bool OnlyNameOf(int fd, const std::string& path) {
  struct stat opened {}, named {};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino && opened.st_nlink == 1;
}

bool ReplaceFile(const std::string& path, const std::string& bytes, unsigned mode, bool durable, std::string& why,
                 bool followLink, const FileOwner* owner) {
  std::string target = path;
  if (followLink) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      char resolved[PATH_MAX];
      if (::realpath(path.c_str(), resolved) == nullptr) {
        why = "cannot resolve the link " + path + ": " + ErrorText(errno);
        return false;
      }
      target = resolved;
    }
  }
  const auto slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    why = "cannot open the directory " + dir + ": " + ErrorText(errno);
    return false;
  }
  // A unique temporary name beside the file, never a link.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%d.%d.tmp", int(::getpid()), attempt);
    temp = "." + name + suffix;
    fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    why = "cannot create a file in " + dir + ": " + ErrorText(errno);
    ::close(dirFd);
    return false;
  }
  const auto fail = [&](const std::string& what) {
    why = what + ": " + ErrorText(errno);
    ::close(fd);
    ::unlinkat(dirFd, temp.c_str(), 0);
    ::close(dirFd);
    return false;
  };
  // The mode asked for, whatever the umask left of it, and the owner before
  // the file appears under its name.
  if (::fchmod(fd, mode) != 0) return fail("cannot set the mode of " + dir + temp);
  if (owner != nullptr) GiveTo(fd, *owner);
  if (!DefaultFilingService()->WriteAll(fd, bytes.data(), bytes.size())) return fail("cannot write " + dir + temp);
  if (::fsync(fd) != 0) return fail("cannot flush " + dir + temp);
  if (::close(fd) != 0) {
    fd = -1;
    why = "cannot write " + dir + temp + ": " + ErrorText(errno);
    ::unlinkat(dirFd, temp.c_str(), 0);
    ::close(dirFd);
    return false;
  }
  fd = -1;
  if (::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
    why = "cannot replace " + target + ": " + ErrorText(errno);
    ::unlinkat(dirFd, temp.c_str(), 0);
    ::close(dirFd);
    return false;
  }
  if (durable && ::fsync(dirFd) != 0) {
    why = "cannot flush the directory " + dir + ": " + ErrorText(errno);
    ::close(dirFd);
    return false;
  }
  ::close(dirFd);
  return true;
}

}  // namespace plat
