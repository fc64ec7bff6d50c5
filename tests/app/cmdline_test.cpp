// The command line of the built program, and the display it falls back from,
// run as a child in a temporary instance directory. Options are answered
// before anything else happens: no file appears or changes, and no display
// is opened (every row names a display that cannot be opened, unless it
// names none).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/testutil.h"

using zvtest::FileExists;
using zvtest::RunProgram;
using zvtest::TempDir;
using zvtest::WriteFile;

namespace {

// Every entry of `dir` with its content (directories as "<dir>").
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    entries[e.path().filename().string()] = e.is_directory() ? "<dir>" : zvtest::ReadFile(e.path().string());
  return entries;
}

// An X display number nobody serves here.
std::string UnservedDisplay() {
  int n = 917;
  while (FileExists("/tmp/.X11-unix/X" + std::to_string(n))) ++n;
  return ":" + std::to_string(n);
}

enum class Ini { None, Complete, Faulty, Directory, Readable };

void MakeInstance(const TempDir& dir, Ini ini) {
  switch (ini) {
    case Ini::None: break;
    case Ini::Directory: ::mkdir((dir / "ZVMAIL32.INI").c_str(), 0700); break;
    case Ini::Complete:
    case Ini::Faulty:
    case Ini::Readable:
      WriteFile(dir / "ZVMAIL32.INI",
                std::string(ini == Ini::Faulty ? "SMTP\r\nMAXSIZE many\r\nODD\x1b" "KEY 1\r\n" : "SMTP 127.0.0.1:1\r\n") +
                    "POP 127.0.0.1:1\r\nUSERNAME u\r\nPASSWORD p\r\nROBOT robot\r\nIN " + dir.path() +
                    "\r\nOUT " + dir.path() + "\r\nLOG YES\r\n");
      ::chmod((dir / "ZVMAIL32.INI").c_str(), ini == Ini::Readable ? 0644 : 0600);
      break;
  }
}

TEST(CommandLine, OptionsAreAnsweredBeforeTheRunAndTouchNothing) {
  const std::string version = std::string("zvmail32 ") + ZV_VERSION + "\n";
  const std::string display = UnservedDisplay();
  // A named display that cannot be opened leads to the offscreen platform
  // with one line saying so, instead of the toolkit's abort.
  const std::string fallback = " cannot be opened; running without a display\n";
  const std::string errorBox = "Configuration Error: Configuration file is not complete or missing.\n";
  struct Case {
    const char* name;
    Ini ini;
    std::vector<std::string> args;
    int status;
    std::string out;  // a fragment; "" expects no output
    std::string err;  // how standard error begins; "" expects nothing
    bool touchesNothing = true;
    // Started as the service unit does: the installed program under the
    // instance's name, no link in the directory. `out` then follows the
    // instance's path.
    bool asService = false;
    std::map<std::string, std::string> env = {};  // besides DISPLAY=<display nobody serves>
  };
  const Case cases[] = {
      {"help", Ini::None, {"--help"}, 0, "Usage: zvmail32", ""},
      {"short help after an ignored argument", Ini::Complete, {"x", "-h"}, 0, "--check", ""},
      {"version", Ini::Complete, {"--version"}, 0, version, ""},
      {"first option decides", Ini::None, {"--version", "--help"}, 0, version, ""},
      {"unknown option", Ini::Complete, {"--verbose"}, 64, "", "zvmail32: unknown option --verbose\nUsage:"},
      {"unknown option wins", Ini::None, {"--help", "--Setup"}, 64, "", "zvmail32: unknown option --Setup\n"},
      {"a bare double dash", Ini::None, {"--"}, 64, "", "zvmail32: unknown option --\n"},
      {"check without a file", Ini::None, {"--check"}, 78, "ZVMAIL32.INI does not exist\n", ""},
      {"check a directory", Ini::Directory, {"--check"}, 78, "ZVMAIL32.INI cannot be read", ""},
      {"check a faulty file", Ini::Faulty, {"--check"}, 78,
       "ZVMAIL32.INI: warning: a line with the unknown key \"ODD\\x1BKEY\" is ignored\n", ""},
      {"check names each key", Ini::Faulty, {"--check"}, 78, "ZVMAIL32.INI: SMTP is empty\n", ""},
      {"check names each key", Ini::Faulty, {"--check"}, 78, "ZVMAIL32.INI: MAXSIZE is not a number\n", ""},
      {"check a complete file", Ini::Complete, {"--check"}, 0, "ZVMAIL32.INI: no problems found\n", ""},
      {"check as the service", Ini::Complete, {"--check"}, 0, "ZVMAIL32.INI: no problems found\n", "", true, true},
      {"check a password others can read", Ini::Readable, {"--check"}, 78,
       "/ZVMAIL32.INI holds a password and can be read by others (mode 0644)", ""},
      {"authorize without its keys", Ini::Complete, {"--authorize"}, 78, "",
       "zvmail32: DIR/ZVMAIL32.INI: OAUTH_DEVICE_URL is empty: --authorize needs it\n"},
      // Not options: the run goes on, on the offscreen platform, and ends
      // for want of a configuration.
      {"single dash", Ini::None, {"-"}, 78, "", "zvmail32: the display DISPLAY=" + display + fallback + errorBox, false},
      {"setup", Ini::Complete, {"--setup"}, 0, "",
       "zvmail32: the display DISPLAY=" + display + fallback + "Configuration: no display", false},
      {"Wayland socket", Ini::None, {}, 78, "", "zvmail32: the display WAYLAND_DISPLAY=no-such-wayland-0" + fallback,
       false, false, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", "no-such-wayland-0"}}},
      {"no display named", Ini::None, {}, 78, "", errorBox, false, false, {{"DISPLAY", ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir, runtime;
    const std::string program = c.asService ? ZV_PROGRAM : zvtest::LinkProgramInto(dir.path());
    MakeInstance(dir, c.ini);
    const auto before = Snapshot(dir.path());
    auto env = c.env;
    env.insert({{"QT_QPA_PLATFORM", ""}, {"DISPLAY", display}, {"XDG_RUNTIME_DIR", runtime.path()}});
    const auto r =
        RunProgram(program, c.args, env, "/", std::chrono::seconds(60), c.asService ? dir / "zvmail32" : "");
    const std::string out = (c.asService ? dir.path() : "") + c.out;
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.exitCode, c.status) << r.err;
    if (out.empty()) {
      EXPECT_EQ(r.out, "");
    } else {
      EXPECT_NE(r.out.find(out), std::string::npos) << r.out;
    }
    std::string err = c.err;
    if (const auto at = err.find("DIR/"); at != std::string::npos) err.replace(at, 4, dir.path());
    EXPECT_EQ(r.err.substr(0, err.size()), err);
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "");
    }
    if (c.touchesNothing) {
      EXPECT_EQ(Snapshot(dir.path()), before);
    }
  }
}

}  // namespace
