#include "oauth/token_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "config/textutil.h"
#include "platform/filing.h"

namespace oauth {
namespace {

constexpr std::size_t kMaxFileBytes = 64 * 1024;
constexpr std::size_t kMaxTokenBytes = 32 * 1024;

bool ParseSeconds(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  value = n;
  return true;
}

}  // namespace

bool IsTokenText(const std::string& text) {
  if (text.empty() || text.size() > kMaxTokenBytes) return false;
  for (char c : text)
    if (c <= 0x20 || c >= 0x7F) return false;
  return true;
}

TTokenRecord ParseTokenFile(const std::string& bytes) {
  TTokenRecord record;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = std::min(bytes.find('\n', start), bytes.size());
    std::string line = bytes.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const std::string key = line.substr(0, blank);
    const std::string value = TrimSpaces(line.substr(blank + 1));
    if (key == "REFRESH_TOKEN") {
      record.refreshToken = IsTokenText(value) ? value : std::string();
    } else if (key == "ACCESS_TOKEN") {
      record.accessToken = IsTokenText(value) ? value : std::string();
    } else if (key == "EXPIRES") {
      if (!ParseSeconds(value, record.expires)) record.expires = 0;
    }
  }
  return record;
}

std::string ComposeTokenFile(const TTokenRecord& record) {
  std::string text;
  if (!record.refreshToken.empty()) text += "REFRESH_TOKEN " + record.refreshToken + "\n";
  if (!record.accessToken.empty()) {
    text += "ACCESS_TOKEN " + record.accessToken + "\n";
    text += "EXPIRES " + std::to_string(record.expires) + "\n";
  }
  return text;
}

TLoadResult LoadTokenFile(const std::string& path, TTokenRecord& record, std::string& why) {
  record = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return TLoadResult::Missing;
    why = path + (errno == ELOOP ? std::string(" is a link; it is not read") : ": " + std::string(std::strerror(errno)));
    return TLoadResult::Failed;
  }
  struct stat st {};
  std::string bytes;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = path + " is not a regular file";
  } else if (std::size_t(st.st_size) > kMaxFileBytes) {
    why = path + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
  } else {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) why = path + ": " + std::strerror(errno);
      if (n <= 0) break;
      bytes.append(buffer, std::size_t(n));
      if (bytes.size() > kMaxFileBytes) {
        why = path + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
        break;
      }
    }
  }
  ::close(fd);
  if (!why.empty()) return TLoadResult::Failed;
  record = ParseTokenFile(bytes);
  return TLoadResult::Read;
}

bool SaveTokenFile(const std::string& path, const TTokenRecord& record, const std::string& ownerOf,
                   std::string& why) {
  // A run as root leaves the file to the instance's owner, from the moment
  // it appears.
  const std::size_t slash = path.rfind('/');
  const std::optional<plat::FileOwner> owner =
      plat::OwnerOf(ownerOf, slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1));
  return plat::ReplaceFile(path, ComposeTokenFile(record), 0600, /*durable=*/true, why, false,
                           owner ? &*owner : nullptr);
}

}  // namespace oauth
