#include "config/safefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/textutil.h"

namespace safefile {
namespace {

constexpr int kMaxLinks = 16;
constexpr int kTempAttempts = 100;
constexpr mode_t kSecretMode = 0600;

std::string ErrorText(int error) { return std::strerror(error); }

// The directory part of `path` with its final "/"; empty for a bare name.
std::string DirOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A name for the temporary file beside `path` that no earlier call used.
std::string TempNameFor(const std::string& path) {
  static unsigned counter = 0;
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::string dir = DirOf(path);
  return dir + "." + path.substr(dir.size()) + ".tmp" + std::to_string(::getpid()) + "-" +
         std::to_string(++counter) + "-" + std::to_string(static_cast<unsigned long long>(now) % 1000000007ULL);
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ReadResult ReadWhole(const std::string& path, std::string& bytes, struct stat* status, std::string& why) {
  bytes.clear();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ReadResult::Missing;
    why = ErrorText(errno);
    return ReadResult::Failed;
  }
  if (S_ISDIR(st.st_mode)) {
    why = ErrorText(EISDIR);
    return ReadResult::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
    return ReadResult::Failed;
  }
  std::FILE* f = nullptr;
  if (!OpenTextRetry(f, path, 'R')) {
    if (errno == ENOENT) return ReadResult::Missing;
    why = ErrorText(errno ? errno : EIO);
    return ReadResult::Failed;
  }
  char chunk[8192];
  bool tooLarge = false;
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    bytes.append(chunk, n);
    if (bytes.size() > kMaxBytes) {
      tooLarge = true;
      break;
    }
    if (n < sizeof chunk) break;
  }
  const int error = std::ferror(f) ? (errno ? errno : EIO) : 0;
  std::fclose(f);
  if (tooLarge || error) {
    why = tooLarge ? "larger than " + std::to_string(kMaxBytes) + " bytes" : ErrorText(error);
    bytes.clear();
    return ReadResult::Failed;
  }
  if (status) *status = st;
  return ReadResult::Read;
}

bool ResolveLinks(const std::string& path, std::string& resolved, std::string& why) {
  std::string p = path;
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) {
        why = p + ": " + ErrorText(errno);
        return false;
      }
      break;
    }
    if (!S_ISLNK(st.st_mode)) break;
    if (hops == kMaxLinks) {
      why = path + ": " + ErrorText(ELOOP);
      return false;
    }
    std::vector<char> target(4096);
    const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
      why = p + ": " + (n < 0 ? ErrorText(errno) : std::string("unusable link"));
      return false;
    }
    std::string next(target.data(), static_cast<std::size_t>(n));
    p = next[0] == '/' ? next : DirOf(p) + next;
  }
  resolved = p;
  return true;
}

bool ReplaceAtomically(const std::string& path, const std::string& bytes, const struct stat* previous,
                       std::string& why) {
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < kTempAttempts && fd < 0; ++attempt) {
    temp = TempNameFor(path);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kSecretMode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    why = "cannot create a temporary file beside " + path + ": " + ErrorText(errno);
    return false;
  }
  const auto failWith = [&](const std::string& what) {
    why = what + ": " + ErrorText(errno);
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return false;
  };
  // The umask may have taken bits away; the owner must keep read and write.
  if (::fchmod(fd, kSecretMode) != 0) return failWith("cannot set the mode of " + temp);
  if (previous && (previous->st_uid != ::geteuid() || previous->st_gid != ::getegid())) {
    if (::fchown(fd, previous->st_uid, previous->st_gid) != 0) {
      // Only a privileged process may give a file away; the file stays ours.
    }
  }
  if (!WriteAll(fd, bytes)) return failWith("cannot write " + temp);
  if (::fsync(fd) != 0) return failWith("cannot flush " + temp);
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return failWith("cannot close " + temp);
  if (::rename(temp.c_str(), path.c_str()) != 0) return failWith("cannot rename " + temp + " to " + path);

  // The rename is done; flushing the directory makes it survive a power loss.
  // A file system that cannot flush directories is no reason to report failure.
  const std::string dir = DirOf(path);
  const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace safefile
