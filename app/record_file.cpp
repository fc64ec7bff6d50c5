#include "app/record_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EscapeWord(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool UnescapeWord(const std::string& word, std::string& text) {
  text.clear();
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      text += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return false;
    const int hi = HexDigit(word[i + 1]), lo = HexDigit(word[i + 2]);
    if (hi < 0 || lo < 0) return false;
    text += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool ReadRecordFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& why) {
  text.clear();
  std::FILE* f = std::fopen(path.c_str(), "rbe");
  if (f == nullptr) {
    if (errno == ENOENT) return true;
    why = path + " cannot be read: " + std::strerror(errno);
    return false;
  }
  char chunk[8192];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < maxBytes) text.append(chunk, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    why = path + " cannot be read: " + std::strerror(EIO);
    return false;
  }
  return true;
}
