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

// Whether the byte at `at` (0x80 to 0xBF) continues a well-formed UTF-8
// character begun before it (RFC 3629), which then stays as it is.
bool ContinuesUtf8(const std::string& text, std::size_t at) {
  for (std::size_t back = 1; back <= 3 && back <= at; ++back) {
    const auto lead = static_cast<unsigned char>(text[at - back]);
    if (lead >= 0x80 && lead <= 0xBF) continue;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4                                 ? 4
                                                                                              : 0;
    if (length <= back || at - back + length > text.size()) return false;
    const auto second = static_cast<unsigned char>(text[at - back + 1]);
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      const auto c = static_cast<unsigned char>(text[at - back + k]);
      if (c < 0x80 || c > 0xBF) return false;
    }
    return true;
  }
  return false;
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
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  const auto escape = [&out](unsigned char b) {
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 15];
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if ((b < 0x20 && b != '\t') || b == 0x7F) {
      escape(b);
    } else if (b == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // A C1 control in UTF-8 (U+0080 to U+009F).
      escape(b);
      escape(next);
      ++i;
    } else if (b >= 0x80 && b <= 0x9F && !ContinuesUtf8(text, i)) {
      // A C1 control of an 8-bit terminal, not part of a UTF-8 character.
      escape(b);
    } else {
      out += char(b);
    }
  }
  return out;
}
