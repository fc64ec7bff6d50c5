#include "config/safefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "config/textutil.h"
#include "platform/filing.h"

namespace safefile {
namespace {

constexpr int kMaxLinks = 16;
constexpr mode_t kSecretMode = 0600;

std::string ErrorText(int error) { return std::strerror(error); }

// The directory part of `path` with its final "/"; empty for a bare name.
std::string DirOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
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
  // A run by another user (root, say) hands the file back to its owner, or
  // gives a new one to the owner of its directory; only a privileged process
  // may do so, and otherwise the file stays ours.
  std::optional<plat::FileOwner> owner;
  if (previous) {
    owner = plat::FileOwner{previous->st_uid, previous->st_gid};
  } else {
    const std::string dir = DirOf(path);
    owner = plat::OwnerOf({}, dir.empty() ? std::string(".") : dir);
  }
  return plat::ReplaceFile(path, bytes, kSecretMode, /*durable=*/true, why, false, owner ? &*owner : nullptr);
}

}  // namespace safefile
