// TWorkFileReader: reads an outbound work file line by line through one
// 65000-byte buffer, refilled chunk after chunk, so a file of any size is
// read whole without being held in memory. Work files come from the local
// producer and are untrusted: CR, LF or CR LF end a line, byte 0 or 26 ends
// the data, and a line is cut after 201 characters (the character that does
// not fit starts the next line), so no line can carry a line break.
//
// Error convention: a read error ends the data and sets Failed(); nothing
// throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <sys/types.h>
#include <memory>
#include <string>

// How opening a work file went.
enum class TWorkFileOpen {
  Opened,
  Missing,     // no such file (or directory)
  NotRegular,  // a link, a FIFO, a device, a directory: never read
  Failed,      // any other failure, after the repeated attempts
};

// Opens a work file for reading with read and write access, as the
// producer's own opens expect, without locking it against the producer and
// without following a link or waiting on a FIFO: only a regular file is
// opened. A failed open is repeated at once, up to 21 attempts, unless the
// failure says the name is missing or not a regular file. `file` is null
// unless Opened; then `status`, when given, holds the open file's status.
TWorkFileOpen OpenWorkFile(std::FILE*& file, const std::string& name, struct stat* status = nullptr);
// Removes a work file; true when it was deleted. (The pass has just read
// it, so it needs no open to be sure it may go.)
bool RemoveWorkFile(const std::string& name);
// 0 when `dir` (IN or OUT) is a directory, else why not (an errno value).
int DirectoryError(const std::string& dir);
// Whether this process may remove files of `dir` (ending in '/') owned by
// `owners`: the directory is writable and searchable, and with the sticky
// bit each file or the directory is ours. False with the reason in `why`
// ("Permission denied", "Read-only file system"). A pair is sent only when
// it can go afterwards, so a server never gets it twice.
bool CanRemoveWorkFiles(const std::string& dir, std::initializer_list<uid_t> owners, std::string& why);

class TWorkFileReader {
 public:
  static constexpr std::size_t kBufferSize = 65000;

  TWorkFileReader();

  // Starts reading `file` (open for reading, owned by the caller) from its
  // current position.
  void Load(std::FILE* file);
  // The next line without its end; at the end of the data the line in
  // progress (possibly empty), with End() then true.
  std::string Line();
  // The same into `line`, whose storage is reused.
  void Line(std::string& line);
  // The data has ended: end of file, byte 0 or 26, or a read error.
  bool End() const { return end_; }
  // A read error ended the data.
  bool Failed() const { return failed_; }

 private:
  // Loads the next chunk behind the buffer; false at the end of the file.
  bool NextChunk();

  std::unique_ptr<char[]> buffer_;
  std::FILE* source_ = nullptr;
  uint16_t loaded_ = 0;
  uint16_t pos_ = 0;  // bytes of the buffer consumed
  bool end_ = true;
  bool failed_ = false;
  bool more_ = false;  // the last chunk filled the buffer
};
