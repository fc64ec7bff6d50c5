// Processes and the current directory: the stand-in for starting a program as
// a new process, waiting for it and asking why a start failed, as the
// launcher needs them.
//
// A command line is one text: its first word is the program, the remaining
// words are its arguments. Words are separated by blanks or tabs; a double
// quote starts or ends a quoted part (blanks inside stay in the word);
// backslashes are literal except directly before a double quote, where 2n
// backslashes give n and keep the quote's meaning, and 2n+1 give n and a
// literal quote. A program whose name ends in ".BAT" or ".CMD" (any letter
// case) is a batch file and runs through /bin/sh. A program named without a
// "/" is looked for in the current directory, then along PATH.
//
// Error convention: operations return false (or a nonzero code) on failure
// and nothing throws. Failure codes are the platform's error numbers:
// 2 file not found, 3 path not found, 4 too many open files, 5 access denied,
// 8 not enough memory, 87 invalid parameter, 193 not a valid program.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace proc {

constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_BAD_EXE_FORMAT = 193;

// A started process; `id` is 0 when none is held.
struct Process {
  int64_t id = 0;
};

// The process and directory operations of the platform. The real service
// is DefaultService(); tests inject their own.
class Service {
 public:
  virtual ~Service() = default;

  // Starts `commandLine` as a new process in a session of its own (its own
  // "console": no controlling terminal, standard input from /dev/null,
  // standard output and error shared with this program). No descriptor of
  // this program other than those is inherited; the environment is. The
  // current directory is this program's. `showCommand` is how a windowed
  // program should show its first window (1 normal, 2 minimized, 3
  // maximized); programs here have no such window and it is not used.
  // Returns true once the program itself runs; false, with LastError set,
  // when it could not be started (missing, not executable, no memory).
  virtual bool CreateProcess(const std::string& commandLine, uint16_t showCommand, Process& process) = 0;
  // Waits until the process has ended. Without `stop` it blocks without
  // processing events; with it, it sleeps in the event loop and asks `stop`
  // after every event: once that is true, the process's group (the process
  // and what it started) is sent SIGTERM and the wait ends at once. True when
  // the process ended; false when it cannot be waited for (already released
  // or unknown) or the wait was stopped.
  virtual bool WaitForProcess(const Process& process, const std::function<bool()>& stop) = 0;
  // Gives up the process: one not yet waited for is reaped when it ends.
  virtual void CloseProcess(Process& process) = 0;
  // The error number of the last failed operation.
  virtual uint32_t LastError() const = 0;
  // Changes the current directory of the whole program. Returns 0, or the
  // error number of the failure.
  virtual uint32_t ChangeDirectory(const std::string& path) = 0;
};

// The real service: POSIX processes.
std::shared_ptr<Service> DefaultService();

// The words of a command line by the rules above (exposed for tests).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// The run-time library's message for an input/output error number:
// "File not found" (2), "Invalid filename" (3), "Too many open files" (4),
// "File access denied" (5), otherwise "I/O error <number>".
std::string IOErrorText(uint32_t code);

}  // namespace proc
