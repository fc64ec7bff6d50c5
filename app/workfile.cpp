#include "app/workfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/textutil.h"

namespace {
constexpr int kOpenAttempts = 21;
// A line is cut when a character arrives after this many.
constexpr std::size_t kLineMax = 201;
}  // namespace

TWorkFileOpen OpenWorkFile(std::FILE*& file, const std::string& name, struct stat* status) {
  file = nullptr;
  if (name.empty()) return TWorkFileOpen::Missing;
  int fd = -1;
  for (int attempt = 0; attempt < kOpenAttempts && fd < 0; ++attempt) {
    fd = ::open(name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) break;
    if (errno == ENOENT || errno == ENOTDIR) return TWorkFileOpen::Missing;
    if (errno == ELOOP || errno == EISDIR || errno == ENXIO || errno == ENODEV) return TWorkFileOpen::NotRegular;
  }
  if (fd < 0) return TWorkFileOpen::Failed;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return TWorkFileOpen::NotRegular;
  }
  // Reads may block again (a regular file never waits for a writer); of
  // the flags F_SETFL changes, O_NONBLOCK was the only one set.
  ::fcntl(fd, F_SETFL, 0);
  file = ::fdopen(fd, "r+b");
  if (file == nullptr) {
    ::close(fd);
    return TWorkFileOpen::Failed;
  }
  // The reader takes whole chunks: a buffer of the stream's own would only
  // copy them.
  std::setvbuf(file, nullptr, _IONBF, 0);
  if (status != nullptr) *status = st;
  return TWorkFileOpen::Opened;
}

bool RemoveWorkFile(const std::string& name) { return !name.empty() && ::unlink(name.c_str()) == 0; }

int DirectoryError(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool CanRemoveWorkFiles(const std::string& dir, std::initializer_list<uid_t> owners, std::string& why) {
  const char* const path = dir.empty() ? "." : dir.c_str();
  struct stat d {};
  if (::access(path, W_OK | X_OK) != 0 || ::stat(path, &d) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (!(d.st_mode & S_ISVTX)) return true;
  const uid_t me = ::geteuid();
  for (const uid_t owner : owners) {
    if (me != 0 && owner != me && d.st_uid != me) {
      why = std::strerror(EPERM);
      return false;
    }
  }
  return true;
}

TWorkFileReader::TWorkFileReader() : buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {}

void TWorkFileReader::Load(std::FILE* file) {
  source_ = file;
  pos_ = 0;
  loaded_ = 0;
  end_ = false;
  failed_ = false;
  more_ = false;
  if (source_ == nullptr) return;
  const std::size_t n = std::fread(buffer_.get(), 1, kBufferSize, source_);
  loaded_ = static_cast<uint16_t>(n);
  more_ = n == kBufferSize;
  if (std::ferror(source_)) failed_ = true;
}

bool TWorkFileReader::NextChunk() {
  if (!more_ || failed_) return false;
  const std::size_t n = std::fread(buffer_.get(), 1, kBufferSize, source_);
  if (std::ferror(source_)) failed_ = true;
  loaded_ = static_cast<uint16_t>(n);
  more_ = n == kBufferSize && !failed_;
  pos_ = 0;
  return n > 0 && !failed_;
}

std::string TWorkFileReader::Line() {
  std::string line;
  Line(line);
  return line;
}

namespace {
// The bytes that end a line (CR, LF) or the data (0, 26).
constexpr bool IsBreak(unsigned char c) { return c == 13 || c == 10 || c == 0 || c == 26; }

// The first byte of [p, limit) that ends a line or the data, or limit. Eight
// bytes are looked at together while none of them is below 27.
const char* FindBreak(const char* p, const char* limit) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  while (limit - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (((word - kOnes * 27) & ~word & kHighs) != 0) break;
    p += 8;
  }
  while (p < limit && (static_cast<unsigned char>(*p) > 26 || !IsBreak(static_cast<unsigned char>(*p)))) ++p;
  return p;
}
}  // namespace

void TWorkFileReader::Line(std::string& line) {
  line.clear();
  for (;;) {
    if (end_) return;
    if (pos_ >= loaded_ && !NextChunk()) {
      pos_ = loaded_;
      end_ = true;
      return;
    }
    // The run of ordinary bytes up to a break, the buffer's end or the cut.
    const char* const from = buffer_.get() + pos_;
    const char* const stop = buffer_.get() + loaded_;
    const char* const limit = from + std::min<std::size_t>(kLineMax - line.size(), std::size_t(stop - from));
    const char* const p = FindBreak(from, limit);
    line.append(from, std::size_t(p - from));
    pos_ = static_cast<uint16_t>(pos_ + (p - from));
    if (p == stop) continue;
    const unsigned char c = static_cast<unsigned char>(*p);
    // A full line: this character starts the next one.
    if (!IsBreak(c)) return;
    ++pos_;
    if (c == 13) {
      if (pos_ == loaded_ && !NextChunk()) return;
      if (pos_ < loaded_ && buffer_[pos_] == 10) ++pos_;
      return;
    }
    if (c == 0 || c == 26) end_ = true;
    return;
  }
}
