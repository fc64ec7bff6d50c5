// The small text routines shared by every room. Texts are 8-bit byte strings;
// none of the routines changes its argument. Paths use "/" on this platform,
// and "\" is still honoured where a path is split.
// Errors: the routines have no failure; OpenTextRetry reports one by its result.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

// The path up to and including its last "/" or "\"; empty when it has none.
std::string ExtractDir(const std::string& path);
// Decimal text of `value`. width 0: plain; width > 0: zero-filled to width
// ("-" then the magnitude zero-filled to width-1 for negatives); width < 0:
// right-aligned in |width| with blanks. Never cut; a width beyond 20 counts
// as 20, so the result is at most 20 characters.
std::string NumToText(int32_t value, int width);
// The number at the start of the text (leading blanks, optional sign, decimal
// digits or "$" and hex digits), read up to the first character that does not
// fit; 0 when there is none. Untrusted text: a value outside the signed
// 32-bit range saturates at INT32_MAX or INT32_MIN (never wraps).
int32_t TextToNum(const std::string& text);
// "a".."z" to upper case, and 0x80..0xA7 through the code page 437 table.
std::string UpperText(const std::string& text);
// Removes leading and trailing blanks (0x20 only; tabs stay).
std::string TrimSpaces(const std::string& text);
// TrimSpaces, then a final "/" unless the text ends in "/" or "\"; empty stays empty.
std::string NormaliseDir(const std::string& text);
// Key and value of a configuration line: the trimmed line split at its first
// blank, both parts trimmed, the value cut to 255 characters. A line without
// a blank is all key.
std::pair<std::string, std::string> SplitKeyValue(const std::string& line);
// True when the first character, upper-cased, is "1", "T" or "Y".
bool ParseYesNo(const std::string& text);
// "YES" or "NO".
std::string YesNoText(bool flag);
// RFC 4648 base64 of 8-bit bytes, with padding.
std::string Base64(const std::string& bytes);

// Opens a text file in binary mode. mode (any case): 'A' append, 'R' read,
// 'W' create/truncate, 'X' append after creating it empty when missing.
// A missing file or path fails at once; other failures are retried at once,
// up to 21 attempts. On success `file` holds the open stream, otherwise it is
// nullptr and errno holds the last attempt's error. Files this call creates get `createMode` (less the umask); an
// existing file keeps its permissions. Streams are closed on exec.
bool OpenTextRetry(std::FILE*& file, const std::string& name, char mode, unsigned createMode = 0666);

namespace textfile {

// The single open attempt OpenTextRetry repeats. Tests replace it to inject
// failures; the real one opens the file system.
class Service {
 public:
  virtual ~Service() = default;
  // mode is 'A', 'R', 'W' or 'X'. Returns the stream, or nullptr with errno set.
  virtual std::FILE* Open(const std::string& name, char mode, unsigned createMode) = 0;
};

// Installs `service` for every later OpenTextRetry (nullptr: the real one) and
// returns the one it replaces.
std::shared_ptr<Service> SetService(std::shared_ptr<Service> service);
// The real file-system service.
std::shared_ptr<Service> RealService();

}  // namespace textfile
