#include "app/cmdline.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/exit_status.h"
#include "app/status_echo.h"
#include "config/configcheck.h"
#include "config/configfile.h"
#include "config/secrets.h"
#include "config/textutil.h"
#include "oauth/device_grant.h"
#include "oauth/token_file.h"

#include <QCoreApplication>
#include <sys/stat.h>

#ifndef ZV_VERSION
#define ZV_VERSION "unknown"
#endif

namespace {

void Put(std::FILE* f, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), f);
  std::fflush(f);
}

// What only --check looks at: secrets others can read, and a grant that
// has nothing to authorise it.
std::vector<std::string> SecretProblems(const std::string& programDir, const TConfig& cfg) {
  std::vector<std::string> problems;
  struct stat st {};
  const bool holdsSecret = !cfg.PASSWORD.empty() || !cfg.SMTP_PASSWORD.empty() || !cfg.LOGIN_PWD.empty() ||
                           !cfg.OAUTH_CLIENT_SECRET.empty() || !cfg.OAUTH_REFRESH_TOKEN.empty();
  if (holdsSecret && ::stat((programDir + kConfigFileName).c_str(), &st) == 0 && (st.st_mode & 044) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    problems.push_back(std::string(kConfigFileName) + " holds a password and can be read by others (mode " + mode +
                       "): chmod 600 it, or move the password out of it");
  }
  if (!cfg.OAUTH_TOKEN_URL.empty() && cfg.OAUTH_TOKEN_COMMAND.empty() && (cfg.SmtpUsesToken() || cfg.PopUsesToken()) &&
      !HasSecretSource(cfg, "OAUTH_CLIENT_SECRET") && !HasSecretSource(cfg, "OAUTH_REFRESH_TOKEN")) {
    oauth::TTokenRecord record;
    std::string why;
    oauth::LoadTokenFile(programDir + kTokenFileName, record, why);
    if (record.refreshToken.empty())
      problems.push_back("OAUTH_CLIENT_SECRET is empty and there is no refresh token: run zvmail32 --authorize, or "
                         "set OAUTH_CLIENT_SECRET for the client-credentials grant");
  }
  return problems;
}

}  // namespace

TCliRequest ParseCommandLine(const std::vector<std::string>& args) {
  TCliRequest request;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    TCliAction action = TCliAction::Run;
    if (a == "--help" || a == "-h") {
      action = TCliAction::Help;
    } else if (a == "--version") {
      action = TCliAction::Version;
    } else if (a == "--check") {
      action = TCliAction::Check;
    } else if (a == "--authorize") {
      action = TCliAction::Authorize;
    } else if (a.rfind("--", 0) == 0 && a != "--setup") {
      request.action = TCliAction::BadOption;
      request.badOption = a;
      return request;
    }
    if (request.action == TCliAction::Run) request.action = action;
  }
  return request;
}

bool IsSetupArgs(const std::vector<std::string>& args) {
  if (args.size() > 1 && UpperText(args[1]) == "/SETUP") return true;
  for (std::size_t i = 1; i < args.size(); ++i)
    if (args[i] == "--setup") return true;
  return false;
}

std::string WhyNoInstance(const std::string& programDir, const std::string& program) {
  static const char* const kSystemDirs[] = {"/usr/bin/", "/usr/local/bin/", "/bin/",
                                            "/usr/sbin/", "/usr/local/sbin/", "/sbin/"};
  struct stat st {};
  if (::lstat((programDir + kConfigFileName).c_str(), &st) == 0 || errno != ENOENT) return {};
  bool system = false;
  for (const char* dir : kSystemDirs) system = system || programDir == dir;
  const bool readOnly = ::access(programDir.c_str(), W_OK | X_OK) != 0 && (errno == EACCES || errno == EROFS);
  if (!system && !readOnly) return {};
  const std::string binary = program.find('/') == std::string::npos ? programDir + program : program;
  return programDir + " holds no " + kConfigFileName + " and is " +
         (system ? "a system program directory" : "not writable") +
         ", so it is no instance directory; nothing was written. Run the program through a link in an instance "
         "directory: mkdir -p /srv/zvmail32/site1 && ln -s " + binary + " /srv/zvmail32/site1/zvmail32";
}

std::string VersionText() { return std::string("zvmail32 ") + ZV_VERSION; }

std::string UsageText() {
  return "Usage: zvmail32 [/SETUP | --setup]\n"
         "       zvmail32 --check | --authorize | --version | --help\n"
         "\n"
         "Carries Zorvik work files over Internet mail for the instance in the\n"
         "program's directory (ZVMAIL32.INI beside the program or its link).\n"
         "\n"
         "  /SETUP, --setup  open the configuration dialog\n"
         "  --check          check ZVMAIL32.INI and list its problems\n"
         "  --authorize      authorise OAuth2 access by a code entered elsewhere\n"
         "  --version        print the version\n"
         "  -h, --help       print this help\n"
         "\n"
         "Other arguments are ignored.\n"
         "Exit status: 0 done, 64 unknown option or no instance directory,\n"
         "73 cannot create or remove a file, 75 temporary failure (retry),\n"
         "77 password or token refused, 78 configuration.\n";
}

int CarryOutCommandLine(const TCliRequest& request, const std::string& programDir, std::FILE* out,
                        std::FILE* err) {
  switch (request.action) {
    case TCliAction::Run:
    case TCliAction::Authorize:
      return -1;
    case TCliAction::Help:
      Put(out, UsageText());
      return zvexit::kOk;
    case TCliAction::Version:
      Put(out, VersionText() + "\n");
      return zvexit::kOk;
    case TCliAction::BadOption:
      Put(err, "zvmail32: unknown option " + EscapeControls(request.badOption) + "\n" + UsageText());
      return zvexit::kUsage;
    case TCliAction::Check:
      break;
  }
  // The file's bytes are untrusted: what is printed is escaped as in the log.
  TConfig cfg;
  TReadState state;
  ReadConfig(programDir, cfg, state);
  const std::string file = programDir + kConfigFileName;
  if (!state.ConfigUnreadable) {
    const auto more = SecretProblems(programDir, cfg);
    state.Problems.insert(state.Problems.end(), more.begin(), more.end());
  }
  for (const std::string& problem : state.Problems) {
    // "ZVMAIL32.INI does not exist" becomes "<dir>ZVMAIL32.INI does not exist".
    const bool namesFile = problem.rfind(kConfigFileName, 0) == 0;
    Put(err, (namesFile ? programDir : file + ": ") + EscapeControls(problem) + "\n");
  }
  std::vector<TReadState::TFinding> findings = state.Findings;
  if (!state.ConfigUnreadable) {
    const auto places = CheckPlaces(cfg);
    findings.insert(findings.end(), places.begin(), places.end());
  }
  bool failed = !state.Problems.empty();
  for (const auto& f : findings) {
    const std::string where = f.line > 0 ? file + ":" + std::to_string(f.line) : file;
    Put(err, where + ": " + (f.warning ? "warning: " : "") + EscapeControls(f.text) + "\n");
    failed = failed || !f.warning;
  }
  if (failed) return zvexit::kConfig;
  Put(out, file + ": no problems found\n");
  return zvexit::kOk;
}

int AuthorizeInstance(int argc, char** argv, const std::string& programDir, std::FILE* out, std::FILE* err) {
  TConfig cfg;
  TReadState state;
  ReadConfig(programDir, cfg, state);
  std::vector<std::string> problems;
  if (state.ConfigUnreadable) problems = state.Problems;
  for (const auto& [key, value] : {std::pair{"OAUTH_DEVICE_URL", &cfg.OAUTH_DEVICE_URL},
                                   std::pair{"OAUTH_TOKEN_URL", &cfg.OAUTH_TOKEN_URL},
                                   std::pair{"OAUTH_CLIENT_ID", &cfg.OAUTH_CLIENT_ID}})
    if (value->empty()) problems.push_back(std::string(key) + " is empty: --authorize needs it");
  for (const std::string& problem : state.Problems)
    if (problem.rfind("OAUTH_", 0) == 0 && problem.find(" is empty") == std::string::npos)
      problems.push_back(problem);
  for (const std::string& problem : problems)
    Put(err, "zvmail32: " + programDir + kConfigFileName + ": " + EscapeControls(problem) + "\n");
  if (!problems.empty()) return zvexit::kConfig;

  // Kept to the end of the process, as the HTTP access it serves is.
  new QCoreApplication(argc, argv);
  TSecretSource secrets;
  oauth::TDeviceAuthorization authorization(
      cfg, secrets, nullptr, programDir + kTokenFileName, programDir + kConfigFileName,
      [out](const std::string& line) { Put(out, EscapeControls(line) + "\n"); },
      [err](const std::string& line) { Put(err, "zvmail32: " + EscapeControls(line) + "\n"); });
  switch (authorization.Run()) {
    case oauth::TDeviceAuthorization::TResult::Authorised: return zvexit::kOk;
    case oauth::TDeviceAuthorization::TResult::Refused: return zvexit::kNoPermission;
    case oauth::TDeviceAuthorization::TResult::Failed: break;
  }
  return zvexit::kTemporary;
}
