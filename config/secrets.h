// Secrets kept out of the INI. A secret key (PASSWORD, SMTP_PASSWORD,
// LOGIN_PWD, OAUTH_CLIENT_SECRET, OAUTH_REFRESH_TOKEN) takes its value from,
// in this order: its "_COMMAND" key (the first line a command writes), the
// INI, or a file of the key's name in $CREDENTIALS_DIRECTORY (its first
// line; systemd's LoadCredential= puts it there).
//
// Error convention: nothing throws. Lookups say Found, None or Failed; a
// failure carries the reason in words for the log, which never holds the
// secret or anything the command wrote to its standard output.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "config/configfile.h"

namespace plat { class CommandService; }

// Bounds of every command whose output is a secret or a token.
inline constexpr std::chrono::seconds kSecretCommandLimit{30};
inline constexpr std::size_t kSecretCommandBytes = 64 * 1024;

// The path of the credential file for `key`; "" when CREDENTIALS_DIRECTORY
// is not set.
std::string CredentialFilePath(const std::string& key);
// `key` (a secret key) has a value in `cfg`, a command, or a credential file.
bool HasSecretSource(const TConfig& cfg, const std::string& key);

class TSecretSource {
 public:
  enum class TResult { Found, None, Failed };

  // `commands`: null selects the platform's service.
  explicit TSecretSource(std::shared_ptr<plat::CommandService> commands = nullptr);

  // The value of the secret `key` for `cfg`, looked up now (a command runs
  // at every call). None: no source has one (the INI value is empty).
  TResult Resolve(const TConfig& cfg, const std::string& key, std::string& secret, std::string& why);
  // Runs `command`, the value of the key `name`, and gives the first line of
  // its standard output (without CR LF). False when it did not end well
  // within the bounds or wrote an empty first line; `why` then names `name`,
  // the exit status and the first line of its standard error.
  bool RunCommand(const std::string& name, const std::string& command, std::string& firstLine, std::string& why);

 private:
  std::shared_ptr<plat::CommandService> commands_;
};
