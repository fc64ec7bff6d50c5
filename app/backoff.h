// TBackoff: how long a daemon leaves a server alone after it refused the
// login. Providers lock an account after repeated failures, so after each
// refusal the next attempt on that server waits twice as long as the one
// before: from twice the daemon's period (at least a minute) up to an hour.
// A login that succeeds ends it. Refusals that go on for a day mean a person
// must act: the daemon then ends (GivenUp).
//
// Servers are told apart by "host:port". Times come from the caller, so the
// owner decides which clock counts. Errors: none.
#pragma once

#include <chrono>
#include <map>
#include <string>

class TBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kLeast{60};
  static constexpr std::chrono::seconds kMost{3600};
  static constexpr std::chrono::seconds kGiveUp{24 * 3600};

  // A login to `server` may be tried at `now`.
  bool MayTry(const std::string& server, Clock::time_point now) const;
  // The login to `server` was refused at `now`; `period` is the daemon's.
  // Returns how long the next attempt waits.
  std::chrono::seconds Refused(const std::string& server, Clock::time_point now, std::chrono::seconds period);
  // Logins to `server` have been refused for kGiveUp, up to `now`.
  bool GivenUp(const std::string& server, Clock::time_point now) const;
  // A login to `server` succeeded.
  void LoggedIn(const std::string& server) { servers_.erase(server); }

 private:
  struct TServer {
    Clock::time_point firstRefusal, nextAttempt;
    std::chrono::seconds wait{0};
  };
  std::map<std::string, TServer> servers_;
};
