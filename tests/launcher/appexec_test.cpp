// TAppExec: the command line it hands to the platform, ExePath trimming,
// error numbers and texts, directory changes, waiting, and real starts of
// batch files through the platform's process service.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "launcher/appexec.h"
#include "platform/process.h"
#include "support/testutil.h"

using zvtest::CwdGuard;

using zvtest::FileExists;
using zvtest::ReadFile;
using zvtest::TempDir;
using zvtest::WriteFile;

namespace {

// Records what the launcher asks of the platform and answers as told.
class FakeProcesses : public proc::Service {
 public:
  uint32_t startError = 0;  // nonzero: CreateProcess fails with it
  uint32_t chdirError = 0;  // nonzero: ChangeDirectory fails with it
  std::vector<std::string> calls;
  std::vector<std::string> commandLines;
  uint16_t lastShow = 0;

  bool CreateProcess(const std::string& commandLine, uint16_t showCommand, proc::Process& p) override {
    calls.push_back("start");
    commandLines.push_back(commandLine);
    lastShow = showCommand;
    if (startError != 0) return false;
    p.id = 4242;
    return true;
  }
  bool WaitForProcess(const proc::Process& p, const std::function<bool()>&) override {
    calls.push_back("wait " + std::to_string(p.id));
    return true;
  }
  void CloseProcess(proc::Process& p) override {
    calls.push_back("close " + std::to_string(p.id));
    p.id = 0;
  }
  uint32_t LastError() const override { return startError; }
  uint32_t ChangeDirectory(const std::string& path) override {
    calls.push_back("chdir " + path);
    return chdirError;
  }
};

struct Launcher {
  std::shared_ptr<FakeProcesses> fake = std::make_shared<FakeProcesses>();
  TAppExec exec{fake};
};

}  // namespace

TEST(AppExec, InitialValues) {
  TAppExec exec;
  EXPECT_TRUE(exec.ChangeDir);
  EXPECT_EQ(exec.ErrNo(), -1);
  EXPECT_EQ(exec.ExecErrorText(), "No execution");
  EXPECT_TRUE(exec.ExeName.empty());
  EXPECT_TRUE(exec.ExeParams.empty());
  EXPECT_TRUE(exec.ExePath().empty());
  EXPECT_FALSE(exec.Wait);
  EXPECT_EQ(exec.WindowState(), wsNormal);
  EXPECT_EQ(exec.ShowCommand(), 1);
}

TEST(AppExec, CommandLineIsNameThenParametersEachAfterOneBlank) {
  struct Case {
    std::string name;
    std::vector<std::string> params;
    std::string line;
  };
  const Case cases[] = {
      {"C:\\APP\\RUN.BAT", {"a", "b c"}, "C:\\APP\\RUN.BAT a b c"},
      {"/srv/zv/BETWEEN.BAT", {}, "/srv/zv/BETWEEN.BAT"},
      {"prog", {"", "x"}, "prog  x"},
      {"prog", {"\"q\""}, "prog \"q\""},  // parameters go as they stand
      // A name with a blank is quoted, so it stays one program name.
      {"/opt/my app/RUN.BAT", {"x"}, "\"/opt/my app/RUN.BAT\" x"},
      {"C:\\Program Files\\Z\\", {}, "\"C:\\Program Files\\Z\\\\\""},
      {"odd\"name", {}, "\"odd\\\"name\""},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.exec.ExeName = c.name;
    l.exec.ExeParams = c.params;
    l.exec.Execute();
    ASSERT_EQ(l.fake->commandLines.size(), 1u);
    EXPECT_EQ(l.fake->commandLines[0], c.line) << c.name;
    // Whatever the quoting, the platform reads back the very name.
    EXPECT_EQ(proc::SplitCommandLine(l.fake->commandLines[0]).at(0), c.name);
  }
}

TEST(AppExec, OverlongCommandLineIsRefusedNotCut) {
  for (const size_t length : {size_t(511), size_t(512), size_t(2000)}) {
    Launcher l;
    l.exec.ExeName = "/bin/prog";
    l.exec.ExeParams = {std::string(length - l.exec.ExeName.size() - 1, 'p')};
    l.exec.SetExePath("/tmp");
    if (length <= 511) {
      EXPECT_NO_THROW(l.exec.Execute());
      ASSERT_EQ(l.fake->commandLines.size(), 1u);
      EXPECT_EQ(l.fake->commandLines[0].size(), length);
      continue;
    }
    try {
      l.exec.Execute();
      ADD_FAILURE() << "no exception for " << length;
    } catch (const EAppExecWinExec& e) {
      EXPECT_EQ(std::string(e.what()), "Command line is too long (" + std::to_string(length) +
                                           " characters, at most 511)");
    }
    EXPECT_TRUE(l.fake->calls.empty());  // neither the directory changed nor anything started
    EXPECT_EQ(l.exec.ErrNo(), -1);
  }
}

TEST(AppExec, ExePathLosesOneFinalSeparatorExceptARoot) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\WORK\\", "C:\\WORK"}, {"C:\\", "C:\\"},     {"\\", "\\"},         {"C:\\WORK\\\\", "C:\\WORK\\"},
      {"/srv/zv/", "/srv/zv"},    {"/", "/"},           {"/srv//", "/srv/"},  {"/srv", "/srv"},
      {"", ""},                   {"D:", "D:"},         {"ab\\", "ab"},       {"C:/", "C:"},
  };
  for (const auto& [in, stored] : cases) {
    TAppExec exec;
    exec.SetExePath("/something/else");
    exec.SetExePath(in);
    EXPECT_EQ(exec.ExePath(), stored) << in;
  }
}

TEST(AppExec, ClearStoresEmptyValues) {
  Launcher l;
  l.exec.ExeName = "x";
  l.exec.ExeParams = {"a"};
  l.exec.SetExePath("/srv");
  l.exec.Wait = true;
  l.exec.Execute();
  ASSERT_EQ(l.exec.ErrNo(), 0);
  l.exec.Clear();
  EXPECT_EQ(l.exec.ErrNo(), -1);
  EXPECT_TRUE(l.exec.ExeName.empty());
  EXPECT_TRUE(l.exec.ExePath().empty());
  EXPECT_TRUE(l.exec.ExeParams.empty());
  EXPECT_TRUE(l.exec.Wait);  // not part of Clear
}

TEST(AppExec, WindowStateSetsShowCommand) {
  Launcher l;
  const std::pair<TWindowState, uint16_t> cases[] = {
      {wsMinimized, 2}, {wsMaximized, 3}, {wsNormal, 1}, {wsMaximized, 3}};
  for (const auto& [state, show] : cases) {
    l.exec.SetWindowState(state);
    EXPECT_EQ(l.exec.WindowState(), state);
    EXPECT_EQ(l.exec.ShowCommand(), show);
  }
  l.exec.ExeName = "x";
  l.exec.Execute();
  EXPECT_EQ(l.fake->lastShow, 3);
}

TEST(AppExec, FailedStartRaisesTheTextOfTheErrorNumber) {
  const std::pair<uint32_t, std::string> cases[] = {
      {2, "File was not found"},
      {3, "Path was not found"},
      {5, "Attempt was made to dynamically link to a task, or there was a sharing or network-protection error"},
      {6, "Library required separate data segments for each task"},
      {8, "There was insufficient memory to start the application"},
      {10, "Windows version was incorrect"},
      {11, "Executable file was invalid. Either it was not a Windows application or there was an error in the "
           ".EXE image"},
      {12, "Application was designed for a different operating system"},
      {13, "Application was designed for MS-DOS 4.0"},
      {14, "Type of executable file was unknown"},
      {15, "Attempt was made to load a real-mode application (developed for an earlier version of Windows)"},
      {16, "Attempt to load second instance of an executable containing multiple data segments not marked "
           "read-only"},
      {19, "Attempt was made to load a compressed executable file. The file must be decompressed before it can be "
           "loaded"},
      {20, "Dynamic-link library (DLL) file was invalid. One of the DLLs required to run this application was "
           "corrupt"},
      {21, "Application requires 32-bit extensions"},
      {32, "General error (File not found?)"},
      {193, "General error (File not found?)"},
      // Numbers without a row give an empty text; what is raised names the
      // file and the number instead.
      {1, ""}, {4, ""}, {7, ""}, {9, ""}, {17, ""}, {18, ""}, {22, ""}, {31, ""}, {0xFFFFFFFEu, ""},
  };
  const auto raised = [](uint32_t code, const std::string& text) {
    return text.empty() ? "Could not start prog: error " + std::to_string(int32_t(code)) : text;
  };
  for (const auto& [code, text] : cases) {
    Launcher l;
    l.fake->startError = code;
    l.exec.ExeName = "prog";
    l.exec.Wait = true;
    try {
      l.exec.Execute();
      ADD_FAILURE() << "no exception for " << code;
    } catch (const EAppExecWinExec& e) {
      EXPECT_EQ(std::string(e.what()), raised(code, text)) << code;
    }
    EXPECT_EQ(l.exec.ErrNo(), int32_t(code));
    EXPECT_EQ(l.exec.ExecErrorText(), text);
    EXPECT_EQ(l.fake->calls, std::vector<std::string>{"start"});  // no wait after a failed start
  }
}

TEST(AppExec, ZeroAfterSuccessHasItsOwnText) {
  Launcher l;
  l.exec.ExeName = "prog";
  l.exec.Wait = true;
  l.exec.Execute();
  EXPECT_EQ(l.exec.ErrNo(), 0);
  EXPECT_EQ(l.exec.ExecErrorText(),
            "System was out of memory, executable file was corrupt, or relocations were invalid");
}

TEST(AppExec, DirectoryChangeOnlyWhenAskedAndNamed) {
  struct Case {
    bool changeDir;
    const char* path;
    uint32_t error;
    std::vector<std::string> calls;
    const char* raised;  // EAppExecChDir text, or null
  };
  const Case cases[] = {
      {true, "/srv/zv/", 0, {"chdir /srv/zv", "start", "close 4242"}, nullptr},
      {false, "/srv/zv", 0, {"start", "close 4242"}, nullptr},
      {true, "", 0, {"start", "close 4242"}, nullptr},
      {true, "/srv/zv", 2, {"chdir /srv/zv"}, "File not found"},
      {true, "/srv/zv", 3, {"chdir /srv/zv"}, "Invalid filename"},
      {true, "/srv/zv", 4, {"chdir /srv/zv"}, "Too many open files"},
      {true, "/srv/zv", 5, {"chdir /srv/zv"}, "File access denied"},
      {true, "/srv/zv", 267, {"chdir /srv/zv"}, "I/O error 267"},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.fake->chdirError = c.error;
    l.exec.ChangeDir = c.changeDir;
    l.exec.SetExePath(c.path);
    l.exec.ExeName = "prog";
    if (c.raised) {
      try {
        l.exec.Execute();
        ADD_FAILURE() << "no exception";
      } catch (const EAppExecChDir& e) {
        EXPECT_EQ(std::string(e.what()), c.raised);
      }
    } else {
      l.exec.Execute();
    }
    EXPECT_EQ(l.fake->calls, c.calls) << c.path << " " << c.error;
    EXPECT_EQ(l.exec.ErrNo(), -1);
  }
}

TEST(AppExec, WaitDecidesErrNoAfterASuccessfulStart) {
  for (bool wait : {false, true}) {
    Launcher l;
    l.exec.ExeName = "prog";
    l.exec.Wait = wait;
    l.exec.Execute();
    EXPECT_EQ(l.exec.ErrNo(), wait ? 0 : -1);
    const std::vector<std::string> expected =
        wait ? std::vector<std::string>{"start", "wait 4242", "close 4242"}
             : std::vector<std::string>{"start", "close 4242"};
    EXPECT_EQ(l.fake->calls, expected);
  }
}

// ---- With the platform's real processes ----

TEST(AppExecReal, MissingProgramIsFileNotFound) {
  TempDir dir;
  TAppExec exec;
  exec.ExeName = dir / "NOSUCH.BAT";
  try {
    exec.Execute();
    ADD_FAILURE() << "no exception";
  } catch (const EAppExecWinExec& e) {
    EXPECT_STREQ(e.what(), "File was not found");
  }
  EXPECT_EQ(exec.ErrNo(), 2);
}

TEST(AppExecReal, WaitedBatchFileHasRunWithItsParametersWhateverItsExitCode) {
  TempDir dir;
  ::mkdir((dir / "my dir").c_str(), 0755);
  const std::string bat = dir / "my dir/RUN.BAT";
  WriteFile(bat, "printf '%s|' \"$@\" > '" + dir / "args" + "'\nexit 9\n");
  TAppExec exec;
  exec.ExeName = bat;
  exec.ExeParams = {"a", "b c"};
  exec.Wait = true;
  exec.Execute();
  EXPECT_EQ(exec.ErrNo(), 0);
  EXPECT_EQ(ReadFile(dir / "args"), "a|b|c|");
}

TEST(AppExecReal, DirectoryChangeStaysAfterTheStart) {
  TempDir dir;
  CwdGuard guard;
  WriteFile(dir / "PWD.BAT", "pwd > pwd.out\n");
  TAppExec exec;
  exec.ExeName = dir / "PWD.BAT";
  exec.SetExePath(dir.path());
  exec.Wait = true;
  exec.Execute();
  EXPECT_EQ(ReadFile(dir / "pwd.out"), dir.path().substr(0, dir.path().size() - 1) + "\n");
  char buf[PATH_MAX];
  ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
  EXPECT_EQ(std::string(buf) + "/", dir.path());

  exec.SetExePath(dir / "gone");
  try {
    exec.Execute();
    ADD_FAILURE() << "no exception";
  } catch (const EAppExecChDir& e) {
    EXPECT_STREQ(e.what(), "File not found");
  }
  EXPECT_EQ(exec.ErrNo(), 0);  // unchanged by the failed directory change
}
