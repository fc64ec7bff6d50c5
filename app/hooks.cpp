#include "app/hooks.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "config/textutil.h"

namespace {

bool IsHookFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

std::string FindHook(const std::string& dir, const std::string& name) {
  if (IsHookFile(dir + name)) return dir + name;
  std::vector<std::string> matches;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  // Bounded by the directory; only names of the hook's length are compared.
  for (; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry.size() == name.size() && UpperText(entry) == name) matches.push_back(entry);
  }
  std::sort(matches.begin(), matches.end());
  for (const std::string& entry : matches)
    if (IsHookFile(dir + entry)) return dir + entry;
  return {};
}
