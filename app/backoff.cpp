#include "app/backoff.h"

#include <algorithm>

bool TBackoff::MayTry(const std::string& server, Clock::time_point now) const {
  const auto it = servers_.find(server);
  return it == servers_.end() || now >= it->second.nextAttempt;
}

std::chrono::seconds TBackoff::Refused(const std::string& server, Clock::time_point now, std::chrono::seconds period) {
  auto [it, first] = servers_.try_emplace(server);
  TServer& s = it->second;
  if (first) s.firstRefusal = now;
  s.wait = std::min(first ? 2 * std::max(period, kLeast) : 2 * s.wait, kMost);
  s.nextAttempt = now + s.wait;
  return s.wait;
}

bool TBackoff::GivenUp(const std::string& server, Clock::time_point now) const {
  const auto it = servers_.find(server);
  return it != servers_.end() && now - it->second.firstRefusal >= kGiveUp;
}
