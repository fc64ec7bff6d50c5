#include "config/secrets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/command.h"

namespace {

struct TSecretKey {
  const char* key;
  std::string TConfig::*value;
  std::string TConfig::*command;  // null: no command key
};

const TSecretKey kSecretKeys[] = {
    {"PASSWORD", &TConfig::PASSWORD, &TConfig::PASSWORD_COMMAND},
    {"SMTP_PASSWORD", &TConfig::SMTP_PASSWORD, &TConfig::SMTP_PASSWORD_COMMAND},
    {"LOGIN_PWD", &TConfig::LOGIN_PWD, &TConfig::LOGIN_PWD_COMMAND},
    {"OAUTH_CLIENT_SECRET", &TConfig::OAUTH_CLIENT_SECRET, &TConfig::OAUTH_CLIENT_SECRET_COMMAND},
    {"OAUTH_REFRESH_TOKEN", &TConfig::OAUTH_REFRESH_TOKEN, nullptr},
};

const TSecretKey* Find(const std::string& key) {
  for (const auto& k : kSecretKeys)
    if (key == k.key) return &k;
  return nullptr;
}

// The text up to the first line end.
std::string FirstLine(const std::string& bytes) {
  std::string line = bytes.substr(0, bytes.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Reads the first line of the credential file at `path`: a regular file,
// never through a link, at most kSecretCommandBytes read.
TSecretSource::TResult ReadCredentialFile(const std::string& path, std::string& secret, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return TSecretSource::TResult::None;
    why = "the credential file " + path + " cannot be read: " + std::strerror(errno);
    return TSecretSource::TResult::Failed;
  }
  struct stat st {};
  std::string bytes;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "the credential file " + path + " is not a regular file";
  } else {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) why = "the credential file " + path + " cannot be read: " + std::strerror(errno);
      if (n <= 0) break;
      bytes.append(buffer, std::size_t(n));
      if (bytes.find('\n') != std::string::npos || bytes.size() > kSecretCommandBytes) break;
    }
  }
  ::close(fd);
  if (!why.empty()) return TSecretSource::TResult::Failed;
  secret = FirstLine(bytes.substr(0, kSecretCommandBytes));
  if (secret.empty()) {
    why = "the credential file " + path + " is empty";
    return TSecretSource::TResult::Failed;
  }
  return TSecretSource::TResult::Found;
}

}  // namespace

std::string CredentialFilePath(const std::string& key) {
  const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
  if (dir == nullptr || *dir == '\0') return {};
  std::string path = dir;
  if (path.back() != '/') path += '/';
  return path + key;
}

bool HasSecretSource(const TConfig& cfg, const std::string& key) {
  const TSecretKey* k = Find(key);
  if (k == nullptr) return false;
  if (!(cfg.*k->value).empty() || (k->command && !(cfg.*k->command).empty())) return true;
  const std::string path = CredentialFilePath(key);
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TSecretSource::TSecretSource(std::shared_ptr<plat::CommandService> commands)
    : commands_(commands ? std::move(commands) : plat::DefaultCommandService()) {}

TSecretSource::TResult TSecretSource::Resolve(const TConfig& cfg, const std::string& key, std::string& secret,
                                              std::string& why) {
  secret.clear();
  const TSecretKey* k = Find(key);
  if (k == nullptr) return TResult::None;
  if (k->command && !(cfg.*k->command).empty())
    return RunCommand(key + "_COMMAND", cfg.*k->command, secret, why) ? TResult::Found : TResult::Failed;
  if (!(cfg.*k->value).empty()) {
    secret = cfg.*k->value;
    return TResult::Found;
  }
  const std::string path = CredentialFilePath(key);
  return path.empty() ? TResult::None : ReadCredentialFile(path, secret, why);
}

bool TSecretSource::RunCommand(const std::string& name, const std::string& command, std::string& firstLine,
                               std::string& why) {
  firstLine.clear();
  const plat::CommandOutcome run = commands_->Run(command, kSecretCommandLimit, kSecretCommandBytes);
  const std::string err = run.errLine.empty() ? std::string() : ": " + run.errLine;
  if (!run.started) {
    why = name + " could not be started: " + run.why;
  } else if (run.timedOut) {
    why = name + " did not end within " + std::to_string(kSecretCommandLimit.count()) + " s" + err;
  } else if (run.tooLong) {
    why = name + " wrote more than " + std::to_string(kSecretCommandBytes) + " bytes";
  } else if (run.exitStatus < 0) {
    why = name + " was ended by a signal" + err;
  } else if (run.exitStatus != 0) {
    why = name + " failed with exit status " + std::to_string(run.exitStatus) + err;
  } else if ((firstLine = FirstLine(run.out)).empty()) {
    why = name + " wrote no value on its first line" + err;
  } else {
    return true;
  }
  return false;
}
