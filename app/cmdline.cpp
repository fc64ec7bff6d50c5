#include "app/cmdline.h"

#include "app/exit_status.h"
#include "app/status_echo.h"
#include "config/configfile.h"
#include "config/textutil.h"

#ifndef ZV_VERSION
#define ZV_VERSION "unknown"
#endif

namespace {

void Put(std::FILE* f, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), f);
  std::fflush(f);
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

std::string VersionText() { return std::string("zvmail32 ") + ZV_VERSION; }

std::string UsageText() {
  return "Usage: zvmail32 [/SETUP | --setup]\n"
         "       zvmail32 --check | --version | --help\n"
         "\n"
         "Carries Zorvik work files over Internet mail for the instance in the\n"
         "program's directory (ZVMAIL32.INI beside the program or its link).\n"
         "\n"
         "  /SETUP, --setup  open the configuration dialog\n"
         "  --check          check ZVMAIL32.INI and list its problems\n"
         "  --version        print the version\n"
         "  -h, --help       print this help\n"
         "\n"
         "Other arguments are ignored.\n"
         "Exit status: 0 done, 64 unknown option, 73 cannot create a file,\n"
         "75 temporary failure (retry), 77 password refused, 78 configuration.\n";
}

int CarryOutCommandLine(const TCliRequest& request, const std::string& programDir, std::FILE* out,
                        std::FILE* err) {
  switch (request.action) {
    case TCliAction::Run:
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
  for (const std::string& key : state.UnknownKeys)
    Put(out, file + ": warning: a line with the unknown key \"" + EscapeControls(key) + "\" is ignored\n");
  for (const std::string& problem : state.Problems) {
    // "ZVMAIL32.INI does not exist" becomes "<dir>ZVMAIL32.INI does not exist".
    const bool namesFile = problem.rfind(kConfigFileName, 0) == 0;
    Put(out, (namesFile ? programDir : file + ": ") + EscapeControls(problem) + "\n");
  }
  if (!state.Problems.empty()) return zvexit::kConfig;
  Put(out, file + ": no problems found\n");
  return zvexit::kOk;
}
