#include "app/record_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  // Never waits on a FIFO, never follows a link, and reads only a regular file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    why = path + " cannot be read: " + (errno == ELOOP ? "it is a link" : std::strerror(errno));
    return false;
  }
  struct stat st {};
  int error = ::fstat(fd, &st) != 0 ? errno : 0;
  if (error == 0 && !S_ISREG(st.st_mode)) {
    why = path + " cannot be read: " + (S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
    ::close(fd);
    return false;
  }
  char chunk[8192];
  while (error == 0 && text.size() < maxBytes) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    text.append(chunk, std::size_t(n));
  }
  ::close(fd);
  if (error != 0) {
    why = path + " cannot be read: " + std::strerror(error);
    return false;
  }
  return true;
}
