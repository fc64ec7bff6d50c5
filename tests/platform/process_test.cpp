// The process service: command-line words, start failures and their error
// numbers, batch files through /bin/sh, what a started process inherits, and
// the change of directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/testutil.h"

using zvtest::CwdGuard;

using zvtest::FileExists;
using zvtest::ReadFile;
using zvtest::TempDir;
using zvtest::WriteFile;

namespace {

// Starts `commandLine` with the real service and waits for it.
bool RunAndWait(const std::string& commandLine, uint32_t* error = nullptr) {
  auto service = proc::DefaultService();
  proc::Process p;
  if (!service->CreateProcess(commandLine, 1, p)) {
    if (error) *error = service->LastError();
    return false;
  }
  const bool waited = service->WaitForProcess(p, {});
  service->CloseProcess(p);
  return waited;
}

}  // namespace

TEST(CommandLineWords, SplitsOnBlanksAndHonoursQuotes) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"  prog \t a   b  ", {"prog", "a", "b"}},
      {"\"/opt/my app/run.bat\" x", {"/opt/my app/run.bat", "x"}},
      {"pre\"fix mid\"dle", {"prefix middle"}},
      {"prog \"\" x", {"prog", "", "x"}},
      {"C:\\APP\\RUN.BAT a", {"C:\\APP\\RUN.BAT", "a"}},
      {"a\\\"b", {"a\"b"}},
      {"\"dir x\\\\\" y", {"dir x\\", "y"}},
      {"a\\\\\\\"b c", {"a\\\"b", "c"}},
      {"\"unterminated quote", {"unterminated quote"}},
      {"", {}},
      {"   ", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(proc::SplitCommandLine(c.line), c.words) << c.line;
}

TEST(IOErrorText, RunTimeTexts) {
  const std::pair<uint32_t, const char*> cases[] = {{2, "File not found"},      {3, "Invalid filename"},
                                                    {4, "Too many open files"}, {5, "File access denied"},
                                                    {267, "I/O error 267"},     {0, "I/O error 0"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(proc::IOErrorText(code), text) << code;
}

TEST(ProcessService, StartFailuresGiveThePlatformErrorNumbers) {
  TempDir dir;
  WriteFile(dir / "noexec", "#!/bin/sh\nexit 0\n");
  ::chmod((dir / "noexec").c_str(), 0644);
  WriteFile(dir / "garbage", std::string("\x01\x02\x03 not a program\n"));
  ::chmod((dir / "garbage").c_str(), 0755);
  WriteFile(dir / "badinterp", "#!/no/such/interpreter\n");
  ::chmod((dir / "badinterp").c_str(), 0755);
  ::mkdir((dir / "adir").c_str(), 0755);
  ::mkdir((dir / "adir.bat").c_str(), 0755);

  const std::pair<std::string, uint32_t> cases[] = {
      {dir / "missing", proc::ERROR_FILE_NOT_FOUND},
      {dir / "nodir/missing", proc::ERROR_PATH_NOT_FOUND},
      {dir / "MISSING.BAT", proc::ERROR_FILE_NOT_FOUND},
      {dir / "nodir/MISSING.BAT arg", proc::ERROR_PATH_NOT_FOUND},
      {"zv-no-such-program-anywhere", proc::ERROR_FILE_NOT_FOUND},
      {dir / "noexec", proc::ERROR_ACCESS_DENIED},
      {dir / "adir", proc::ERROR_ACCESS_DENIED},
      {dir / "adir.bat", proc::ERROR_ACCESS_DENIED},
      {dir / "garbage", proc::ERROR_BAD_EXE_FORMAT},
      {dir / "badinterp", proc::ERROR_FILE_NOT_FOUND},
      {"", proc::ERROR_FILE_NOT_FOUND},
  };
  for (const auto& [line, code] : cases) {
    uint32_t error = 0;
    EXPECT_FALSE(RunAndWait(line, &error)) << line;
    EXPECT_EQ(error, code) << line;
  }
}

TEST(ProcessService, BatchFilesRunThroughTheShellWithTheirArguments) {
  TempDir dir;
  for (const char* name : {"RUN.BAT", "run.cmd", "Run.Bat"}) {
    const std::string out = dir / (std::string(name) + ".out");
    // Not executable: a batch file only needs to be readable.
    WriteFile(dir / name, "printf '%s|' \"$@\" > '" + out + "'\nexit 7\n");
    ::chmod((dir / name).c_str(), 0644);
    ASSERT_TRUE(RunAndWait(dir / name + " a \"b c\" d")) << name;
    EXPECT_EQ(ReadFile(out), "a|b c|d|") << name;
  }
}

TEST(ProcessService, ProgramNamedWithoutPathIsSearchedAlongPath) {
  TempDir dir;
  ASSERT_TRUE(RunAndWait("sh -c \"echo found > '" + dir / "out" + "'\""));
  EXPECT_EQ(ReadFile(dir / "out"), "found\n");
}

TEST(ProcessService, ChildHasItsOwnSessionNullInputAndNoInheritedDescriptors) {
  TempDir dir;
  // A descriptor of this program without close-on-exec must not reach the child.
  const int leak = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 77);
  ASSERT_GE(leak, 77);
  WriteFile(dir / "PROBE.BAT",
            "cd '" + dir.path() + "'\n"
            "sed 's/^.*) //' /proc/$$/stat | cut -d' ' -f4 > sid\n"
            "echo $$ > pid\n"
            "readlink /proc/$$/fd/0 > stdin\n"
            "ls /proc/$$/fd > fds\n"
            "grep '^SigIgn' /proc/$$/status > sigign\n");
  const bool ran = RunAndWait(dir / "PROBE.BAT");
  ::close(leak);
  ASSERT_TRUE(ran);
  EXPECT_EQ(ReadFile(dir / "sid"), ReadFile(dir / "pid"));  // session leader
  EXPECT_EQ(ReadFile(dir / "stdin"), "/dev/null\n");
  EXPECT_EQ(ReadFile(dir / "fds").find("77\n"), std::string::npos) << ReadFile(dir / "fds");
  // This program ignores SIGPIPE; the child starts with default dispositions.
  EXPECT_EQ(ReadFile(dir / "sigign"), "SigIgn:\t0000000000000000\n");
}

TEST(ProcessService, WaitReturnsOnlyAfterTheProcessEnded) {
  TempDir dir;
  // The marker is written as the very last act before a non-zero exit.
  WriteFile(dir / "SLOWISH.BAT", "i=0\nwhile [ $i -lt 20000 ]; do i=$((i+1)); done\n: > '" + dir / "done" +
                                     "'\nexit 42\n");
  auto service = proc::DefaultService();
  proc::Process p;
  ASSERT_TRUE(service->CreateProcess(dir / "SLOWISH.BAT", 1, p));
  EXPECT_TRUE(service->WaitForProcess(p, {}));
  EXPECT_TRUE(FileExists(dir / "done"));
  EXPECT_FALSE(service->WaitForProcess(p, {}));  // already collected
  service->CloseProcess(p);
  EXPECT_EQ(p.id, 0);
}

TEST(ProcessService, ReleasedRunningProcessIsCollectedLater) {
  TempDir dir;
  const std::string fifo = dir / "gate";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The child blocks until this test opens the gate for writing.
  WriteFile(dir / "GATE.BAT", "read line < '" + fifo + "'\n");
  auto service = proc::DefaultService();
  proc::Process p;
  ASSERT_TRUE(service->CreateProcess(dir / "GATE.BAT", 1, p));
  const pid_t pid = pid_t(p.id);
  service->CloseProcess(p);  // still running: handed over for later collection
  const int w = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(w, 0);
  ASSERT_EQ(::write(w, "x\n", 2), 2);
  ::close(w);
  // The next start collects it; give it a bounded number of chances to end.
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    RunAndWait("true");
    gone = ::kill(pid, 0) != 0;
  }
  EXPECT_TRUE(gone) << "released child left as a zombie";
}

TEST(ProcessService, ChangeDirectoryMapsFailures) {
  TempDir dir;
  CwdGuard guard;
  WriteFile(dir / "file", "x");
  auto service = proc::DefaultService();
  EXPECT_EQ(service->ChangeDirectory(dir / "missing"), proc::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(service->ChangeDirectory(dir / "no/such/dir"), proc::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(service->ChangeDirectory(dir / "file"), proc::ERROR_PATH_NOT_FOUND);
  ASSERT_EQ(service->ChangeDirectory(dir.path()), 0u);
  char buf[PATH_MAX];
  ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
  EXPECT_EQ(std::string(buf) + "/", dir.path());
}
