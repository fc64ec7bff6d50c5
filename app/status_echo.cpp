#include "app/status_echo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unistd.h>

namespace {

// "1": every control; otherwise the control names listed, comma-separated.
struct EchoSetting {
  bool all = false;
  std::set<std::string> names;
};

const EchoSetting& Setting() {
  static const EchoSetting setting = [] {
    EchoSetting s;
    const char* v = std::getenv("ZVMAIL32_ECHO_STATUS");
    if (v == nullptr) return s;
    if (std::strcmp(v, "1") == 0) {
      s.all = true;
      return s;
    }
    std::string name;
    for (const char* p = v;; ++p) {
      if (*p == ',' || *p == '\0') {
        if (!name.empty()) s.names.insert(name);
        name.clear();
        if (*p == '\0') break;
      } else {
        name += *p;
      }
    }
    return s;
  }();
  return setting;
}

}  // namespace

bool StatusEchoEnabled() { return Setting().all || !Setting().names.empty(); }

void EchoStatus(const std::string& control, const std::string& text) {
  if (!Setting().all && Setting().names.count(control) == 0) return;
  std::string line = control + ": " + EscapeControls(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

bool LogLinesEchoed() {
  static const bool toJournal = std::getenv("JOURNAL_STREAM") != nullptr;
  return toJournal;
}

void EchoFailure(const std::string& text) {
  static const bool toTerminal = ::isatty(STDERR_FILENO) == 1 && !LogLinesEchoed();
  if (!toTerminal) return;
  const std::string line = "zvmail32: " + EscapeControls(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void EchoLogLine(const std::string& text) {
  if (!LogLinesEchoed()) return;
  const std::string line = EscapeControls(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string EscapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\t') || b == 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}
