// The program's own command-line options, decided before anything else of a
// run happens: no file is written, no lock taken, no connection opened and no
// window created for them. Options are recognised at any position; every
// other argument (a single "-" included) is ignored, apart from "/SETUP" as
// the first argument, which like "--setup" asks for the configuration dialog.
// Errors: none are raised; a wrong option is a request of its own (BadOption)
// that CarryOutCommandLine answers with the usage and status 64.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

enum class TCliAction { Run, Help, Version, Check, Authorize, BadOption };

struct TCliRequest {
  TCliAction action = TCliAction::Run;
  std::string badOption;  // the first unknown "--" argument (BadOption)
};

// args: the command line, argv[0] first. An unknown "--" option anywhere
// wins; otherwise the first of "--help"/"-h", "--version", "--check",
// "--authorize"; otherwise Run ("--setup" is a run: see IsSetupArgs).
TCliRequest ParseCommandLine(const std::vector<std::string>& args);

// True when the run is a configuration run: the first argument is "/SETUP" in
// any letter case, or some argument is "--setup".
bool IsSetupArgs(const std::vector<std::string>& args);

// Why `programDir` cannot be an instance: it holds no ZVMAIL32.INI and is a
// system program directory (/usr/bin, /usr/local/bin, ...) or one this user
// cannot write, so a run would write nothing useful there; the text says to
// run the program through a link in an instance directory. "" when it can.
// `program` is argv[0], as the text names it.
std::string WhyNoInstance(const std::string& programDir, const std::string& program);

// "zvmail32 <version>".
std::string VersionText();
// The usage: synopsis, options, exit statuses; ends with a line end.
std::string UsageText();

// Answers a request other than Run and Authorize: the usage or the version
// on `out` (0), the usage on `err` for a bad option (64), or for Check the
// problems of programDir's ZVMAIL32.INI and of the places it names on
// `err`, one per line naming the key and, where it lies on one, the line (78
// when there is any that is no warning; else 0, and a line on `out` saying
// so). Only reads files. Returns -1 for Run and Authorize, having written
// nothing.
int CarryOutCommandLine(const TCliRequest& request, const std::string& programDir, std::FILE* out,
                        std::FILE* err);

// "--authorize": the device authorisation grant for programDir's instance
// (oauth::TDeviceAuthorization) in an event loop of its own. The address and
// the code go to `out`, progress and problems to `err`. Returns 0 when the
// refresh token is stored in ZVMAIL32.TOK, 77 when the authorisation was
// refused or expired, 75 when an endpoint could not be asked, 78 when the
// OAuth2 keys it needs are missing or wrong. Takes no instance lock: a
// daemon of the instance may run meanwhile and takes the new token up.
int AuthorizeInstance(int argc, char** argv, const std::string& programDir, std::FILE* out, std::FILE* err);
