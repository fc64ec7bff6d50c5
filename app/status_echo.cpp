#include "app/status_echo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool StatusEchoEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("ZVMAIL32_ECHO_STATUS");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  return enabled;
}

void EchoStatus(const std::string& control, const std::string& text) {
  if (!StatusEchoEnabled()) return;
  std::string line = control + ": " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}
