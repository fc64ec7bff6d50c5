#include "config/configcheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// "" when `dir` is a directory this process may create and remove files in.
std::string WhyNotUsable(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return std::string("not writable: ") + std::strerror(errno);
  return {};
}

// "" when the log file can be appended to (or made).
std::string WhyLogUnwritable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (::access(path.c_str(), W_OK) != 0) return std::strerror(errno);
    return {};
  }
  if (errno != ENOENT) return std::strerror(errno);
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return {};
}

}  // namespace

std::vector<TReadState::TFinding> CheckPlaces(const TConfig& cfg) {
  std::vector<TReadState::TFinding> found;
  for (const auto& [key, dir] : {std::pair{"IN", &cfg.IN}, std::pair{"OUT", &cfg.OUT}}) {
    if (dir->empty()) continue;
    if ((*dir)[0] != '/') {
      found.push_back({0, std::string(key) + " " + *dir + " is not an absolute path", false});
    } else if (const std::string why = WhyNotUsable(*dir); !why.empty()) {
      found.push_back({0, std::string(key) + " " + *dir + ": " + why, false});
    }
  }
  if (cfg.LOG && !cfg.LOGFILE.empty()) {
    if (const std::string why = WhyLogUnwritable(cfg.LOGFILE); !why.empty())
      found.push_back({0, "LOGFILE " + cfg.LOGFILE + " cannot be written: " + why, false});
  }
  return found;
}
