// Shell commands whose output the program reads: a secret or an access
// token printed by a command the operator configured. The command runs
// through /bin/sh -c in a process group of its own, with standard input from
// /dev/null and the environment of this program; its standard output is
// collected up to a bound, its standard error only as far as its first line.
// The wait sleeps in the event loop and is bounded in time.
//
// Error convention: Run never throws; what happened is in the outcome.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace plat {

struct CommandOutcome {
  bool started = false;   // false: /bin/sh could not be started (`why`)
  bool timedOut = false;  // the time bound ended it (its group was killed)
  bool tooLong = false;   // it wrote more than the byte bound (its group was killed)
  int exitStatus = -1;    // its exit code; -1 when a signal ended it
  std::string out;        // standard output, at most the byte bound
  std::string errLine;    // the first line of standard error, at most 200 bytes
  std::string why;        // why it did not start
  bool Succeeded() const { return started && !timedOut && !tooLong && exitStatus == 0; }
};

// The service; tests derive from it to give outcomes of their own.
class CommandService {
 public:
  virtual ~CommandService() = default;
  // Runs `command` and waits for its end, at most `limit`, reading at most
  // `maxBytes` of its standard output.
  virtual CommandOutcome Run(const std::string& command, std::chrono::milliseconds limit, std::size_t maxBytes) = 0;
};

// The real service.
std::shared_ptr<CommandService> DefaultCommandService();

}  // namespace plat
