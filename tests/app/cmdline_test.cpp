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

enum class Ini { None, Complete };

// A complete configuration of `dir` (the POP3 password under TLS), lines
// 1 to 10, followed by `more`.
std::string CompleteIni(const std::string& dir, const std::string& more = {}) {
  return "SMTP 127.0.0.1:1\r\nPOP 127.0.0.1:1\r\nUSERNAME u\r\nPASSWORD p\r\nROBOT robot\r\nIN " + dir +
         "\r\nOUT " + dir + "\r\nLOG YES\r\nLOGFILE " + dir + "ZVMAIL32.LOG\r\nPOP_TLS IMPLICIT\r\n" + more;
}

// Writes the configuration owner-only, as a password wants it.
void WriteIni(const std::string& path, const std::string& text, mode_t mode = 0600) {
  WriteFile(path, text);
  ::chmod(path.c_str(), mode);
}

void MakeInstance(const TempDir& dir, Ini ini) {
  if (ini == Ini::Complete) WriteIni(dir / "ZVMAIL32.INI", CompleteIni(dir.path()));
}

std::string Substituted(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
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
      {"check as the service", Ini::Complete, {"--check"}, 0, "ZVMAIL32.INI: no problems found\n", "", true, true},
      {"authorize without its keys", Ini::Complete, {"--authorize"}, 78, "",
       "zvmail32: DIR/ZVMAIL32.INI: OAUTH_DEVICE_URL is empty: --authorize needs it\n"},
      // Not options: the run goes on, on the offscreen platform, and ends
      // for want of a configuration.
      {"single dash", Ini::None, {"-"}, 78, "", "zvmail32: the display DISPLAY=" + display + fallback + errorBox, false},
      {"setup", Ini::Complete, {"--setup"}, 0, "",
       "zvmail32: the display DISPLAY=" + display + fallback +
           "Configuration: no display: the configuration dialog cannot be shown; ZVMAIL32.INI was written with the "
           "values read\n",
       false},
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

// --check lists every problem of the instance's configuration on standard
// error, one line each naming the key (and the line of the file where it
// lies on one), and ends with 78 when one is not a warning. It writes no file.
TEST(CommandLine, CheckListsEveryProblemOnStandardError) {
  const std::string clearPassword =
      "<ini>: warning: PASSWORD goes to the POP3 server without TLS (POP_TLS is NO); set POP_TLS STARTTLS or "
      "IMPLICIT where the server offers it\n";
  struct Case {
    const char* name;
    std::string ini;  // "<dir>" stands for the instance directory; empty: no file
    int status;
    std::string err;  // "<ini>" stands for the file
    mode_t mode = 0600;
  };
  const Case cases[] = {
      {"no file", "", 78, "<dir>ZVMAIL32.INI does not exist\n"},
      {"complete", CompleteIni("<dir>"), 0, ""},
      {"a UTF-8 byte-order mark is skipped", "\xEF\xBB\xBF" + CompleteIni("<dir>"), 0, ""},
      {"a misspelt key", CompleteIni("<dir>", "POP_TSL IMPLICIT\r\n"), 78,
       "<ini>:11: POP_TSL: unknown key; did you mean POP_TLS?\n"},
      {"the password in clear", Substituted(CompleteIni("<dir>"), "POP_TLS IMPLICIT", "POP_TLS NO"), 0,
       clearPassword},
      {"TAB or equals sign after a key, a key unlike any, an escaped control",
       CompleteIni("<dir>", "SMTP\t127.0.0.1:25\r\nMaxSize=5\r\nTOTALLYNEW 1\r\nODD\x1b" "KEY 1\r\n"), 78,
       "<ini>:11: SMTP: a TAB after the key sets nothing; write the key, a blank and the value\n"
       "<ini>:12: MaxSize: \"=\" after the key sets nothing; write the key, a blank and the value\n"
       "<ini>:13: TOTALLYNEW: unknown key\n<ini>:14: ODD\\x1BKEY: unknown key\n"},
      {"daemon periods that are not plain seconds",
       CompleteIni("<dir>", "DAEMON 10m\r\nDAEMON 70000\r\nDAEMON 600\r\n"), 78,
       "<ini>:11: DAEMON: '10m' is not a number of seconds from 0 to 65535; it is read as 10\n"
       "<ini>:12: DAEMON: '70000' is not a number of seconds from 0 to 65535; it is read as 4464\n"},
      {"places that cannot be used",
       CompleteIni("<dir>", "IN <dir>none\r\nOUT <dir>ZVMAIL32.INI\r\nLOGFILE <dir>none/zv.log\r\n"), 78,
       "<ini>: IN <dir>none/: No such file or directory\n<ini>: OUT <dir>ZVMAIL32.INI/: Not a directory\n"
       "<ini>: LOGFILE <dir>none/zv.log cannot be written: No such file or directory\n"},
      {"a relative directory", CompleteIni("<dir>", "OUT out\r\n"), 78, "<ini>: OUT out/ is not an absolute path\n"},
      {"record problems", CompleteIni("<dir>", "SMTP\r\nMAXSIZE many\r\n"), 78,
       "<ini>: SMTP is empty\n<ini>: MAXSIZE is not a number\n"},
      {"UTF-16 is no 8-bit text", std::string("\xFF\xFES\0M\0T\0P\0", 10), 78,
       "<dir>ZVMAIL32.INI cannot be read: not 8-bit text (it holds NUL bytes, as UTF-16 does)\n"},
      {"a password others can read", CompleteIni("<dir>"), 78,
       "<dir>ZVMAIL32.INI holds a password and can be read by others (mode 0644): chmod 600 it, or move the password out of it\n",
       0644},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string program = zvtest::LinkProgramInto(dir.path());
    if (!c.ini.empty()) WriteIni(dir / "ZVMAIL32.INI", Substituted(c.ini, "<dir>", dir.path()), c.mode);
    const auto before = Snapshot(dir.path());
    const auto r = RunProgram(program, {"--check"}, {{"QT_QPA_PLATFORM", "offscreen"}}, "/");
    EXPECT_EQ(r.exitCode, c.status) << r.err;
    EXPECT_EQ(r.err, Substituted(Substituted(c.err, "<ini>", dir / "ZVMAIL32.INI"), "<dir>", dir.path()));
    EXPECT_EQ(r.out, c.status == 0 ? dir / "ZVMAIL32.INI: no problems found\n" : "");
    EXPECT_EQ(Snapshot(dir.path()), before);
  }
}

}  // namespace
