#include "config/textutil.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace {

constexpr int kOpenAttempts = 21;
constexpr int kMaxNumWidth = 20;
constexpr std::size_t kMaxValueLength = 255;

// Code page 437 upper case for the bytes 0x80..0xA7.
constexpr unsigned char kUpper437[0x28] = {
    0x80, 0x9A, 0x90, 0x41, 0x8E, 0x41, 0x8F, 0x80,  // 0x80
    0x45, 0x45, 0x45, 0x49, 0x49, 0x49, 0x8E, 0x8F,  // 0x88
    0x90, 0x92, 0x92, 0x4F, 0x99, 0x4F, 0x55, 0x55,  // 0x90
    0x59, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F,  // 0x98
    0x41, 0x49, 0x4F, 0x55, 0xA5, 0xA5, 0x41, 0x4F,  // 0xA0
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class RealFiles : public textfile::Service {
 public:
  std::FILE* Open(const std::string& name, char mode, unsigned createMode) override {
    int flags = O_CLOEXEC;
    const char* streamMode = "ab";
    switch (mode) {
      case 'A': flags |= O_WRONLY | O_APPEND; break;
      case 'R': flags |= O_RDONLY; streamMode = "rb"; break;
      case 'W': flags |= O_WRONLY | O_CREAT | O_TRUNC; streamMode = "wb"; break;
      case 'X': flags |= O_WRONLY | O_APPEND | O_CREAT; break;
      default: errno = EINVAL; return nullptr;
    }
    int fd = ::open(name.c_str(), flags, static_cast<mode_t>(createMode));
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, streamMode);
    if (!f) {
      int saved = errno;
      ::close(fd);
      errno = saved;
    }
    return f;
  }
};

std::shared_ptr<textfile::Service>& CurrentService() {
  static std::shared_ptr<textfile::Service> service = textfile::RealService();
  return service;
}

}  // namespace

namespace textfile {

std::shared_ptr<Service> RealService() {
  static const std::shared_ptr<Service> real = std::make_shared<RealFiles>();
  return real;
}

std::shared_ptr<Service> SetService(std::shared_ptr<Service> service) {
  auto previous = CurrentService();
  CurrentService() = service ? std::move(service) : RealService();
  return previous;
}

}  // namespace textfile

std::string ExtractDir(const std::string& path) {
  auto p = path.find_last_of("/\\");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string NumToText(int32_t value, int width) {
  const bool negative = value < 0;
  const int64_t magnitude = negative ? -static_cast<int64_t>(value) : value;
  std::string digits = std::to_string(magnitude);
  if (width > kMaxNumWidth) width = kMaxNumWidth;
  if (width < -kMaxNumWidth) width = -kMaxNumWidth;

  if (width > 0) {
    std::size_t room = static_cast<std::size_t>(negative ? width - 1 : width);
    if (digits.size() < room) digits.insert(0, room - digits.size(), '0');
    return negative ? "-" + digits : digits;
  }
  std::string text = negative ? "-" + digits : digits;
  std::size_t room = static_cast<std::size_t>(-width);
  if (text.size() < room) text.insert(0, room - text.size(), ' ');
  return text;
}

int32_t TextToNum(const std::string& text) {
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < n && text[i] == '$') {
    base = 16;
    ++i;
  }
  // The magnitude is held at most one past INT32_MAX, which is enough to
  // decide saturation for either sign.
  int64_t magnitude = 0;
  for (; i < n; ++i) {
    int d = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) break;
    magnitude = magnitude * base + d;
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int32_t>(-magnitude);  // -kLimit is INT32_MIN
  return magnitude >= kLimit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(magnitude);
}

std::string UpperText(const std::string& text) {
  std::string r = text;
  for (auto& c : r) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 'a' && b <= 'z')
      c = static_cast<char>(b - ('a' - 'A'));
    else if (b >= 0x80 && b <= 0xA7)
      c = static_cast<char>(kUpper437[b - 0x80]);
  }
  return r;
}

std::string TrimSpaces(const std::string& text) {
  auto b = text.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

std::string NormaliseDir(const std::string& text) {
  std::string t = TrimSpaces(text);
  if (!t.empty() && t.back() != '/' && t.back() != '\\') t += '/';
  return t;
}

std::pair<std::string, std::string> SplitKeyValue(const std::string& line) {
  std::string t = TrimSpaces(line);
  auto p = t.find(' ');
  if (p == std::string::npos) return {t, {}};
  return {TrimSpaces(t.substr(0, p)), TrimSpaces(t.substr(p + 1)).substr(0, kMaxValueLength)};
}

bool ParseYesNo(const std::string& text) {
  if (text.empty()) return false;
  char c = UpperText(text.substr(0, 1))[0];
  return c == '1' || c == 'T' || c == 'Y';
}

std::string YesNoText(bool flag) { return flag ? "YES" : "NO"; }

bool OpenTextRetry(std::FILE*& file, const std::string& name, char mode, unsigned createMode) {
  file = nullptr;
  if (name.empty()) return false;
  char m = UpperText(std::string(1, mode))[0];
  if (m != 'A' && m != 'R' && m != 'W' && m != 'X') return false;
  std::shared_ptr<textfile::Service> service = CurrentService();
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    errno = 0;
    file = service->Open(name, m, createMode);
    if (file) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
  }
  return false;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = unsigned(uint8_t(bytes[i])) << 16 | unsigned(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const unsigned v = unsigned(uint8_t(bytes[i])) << 16 | (two ? unsigned(uint8_t(bytes[i + 1])) << 8 : 0u);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}
