// Files made whole or not at all. The file-system calls through which the
// program writes the files other programs read: files created exclusively
// in a directory held open (so a link planted under a name is never followed
// and a replaced directory is never written into), flushed to stable
// storage, and renamed into place; and whole small files replaced atomically
// (temporary name, flush, rename).
//
// Error convention: calls return -1 / false and leave errno set; nothing
// throws. Names are single path components relative to the directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace plat {

// What a name in a directory is, as it stands (never through a link).
struct FileFacts {
  bool regular = false;  // a regular file (not a link, directory, FIFO...)
  uint64_t inode = 0;
};

// The service; tests derive from it (usually wrapping the real one) to
// inject faults.
class FilingService {
 public:
  virtual ~FilingService() = default;

  // Opens a directory for use with the calls below; -1 on failure.
  virtual int OpenDirectory(const std::string& path) = 0;
  // Creates `name` in `dir` exclusively, never through a link, for writing;
  // -1 with EEXIST when the name is taken by anything.
  virtual int CreateExclusive(int dir, const std::string& name, unsigned mode) = 0;
  // Writes every byte; false on a short write or an error.
  virtual bool WriteAll(int fd, const char* data, std::size_t size) = 0;
  // Flushes a file's data (and what is needed to read it back) to stable storage.
  virtual bool DataSync(int fd) = 0;
  // Flushes a directory's entries to stable storage.
  virtual bool SyncDirectory(int dir) = 0;
  // Flushes the whole file system of `dir`; false also when a write-back of
  // any file on it failed since `dir` was opened.
  virtual bool SyncFileSystem(int dir) = 0;
  // Opens `name` in `dir` for a flush (read only, never through a link).
  virtual int OpenForSync(int dir, const std::string& name) = 0;
  virtual bool Close(int fd) = 0;
  // Renames within `dir`, never replacing an existing name.
  virtual bool RenameNoReplace(int dir, const std::string& from, const std::string& to) = 0;
  virtual bool Remove(int dir, const std::string& name) = 0;
  // The names in `dir` (without "." and ".."); empty on failure.
  virtual std::vector<std::string> List(int dir) = 0;
  // What `name` in `dir` is; false when there is nothing of that name (or it
  // cannot be looked at).
  virtual bool Identify(int dir, const std::string& name, FileFacts& facts) = 0;
  // What the open file `fd` is.
  virtual bool IdentifyOpen(int fd, FileFacts& facts) = 0;
};

// The platform's real service.
std::shared_ptr<FilingService> DefaultFilingService();

// What tells one state of a file from another: which file it is (device,
// inode), its size and its modification time.
struct FileIdentity {
  uint64_t device = 0, inode = 0, size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
  static FileIdentity Of(const struct stat& st);
};

// Who a file belongs to.
struct FileOwner {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The owner of the regular file `reference` (a link to one is followed),
// else of the directory `dir`; nothing when neither can be looked at.
std::optional<FileOwner> OwnerOf(const std::string& reference, const std::string& dir);
// Gives the open file `fd` to `owner` when it belongs to another. Best
// effort: only a privileged process gives files away (others may only pass
// them to a group of their own); false when it stays as it was.
bool GiveTo(int fd, const FileOwner& owner);
// `path` names the open file `fd` itself, not through a link, and the file
// has no other name: only then may its mode or owner be changed by that name.
bool OnlyNameOf(int fd, const std::string& path);

// Replaces the file `path` with `bytes` atomically: a temporary file in the
// same directory (mode `mode`, given to `owner` when one is named), written,
// flushed, renamed over `path`, and the directory flushed when `durable`. A
// `path` that is a symbolic link is replaced in the link's own directory
// only if `followLink` (the link stays); otherwise the link itself is
// replaced. False with `why` in words.
bool ReplaceFile(const std::string& path, const std::string& bytes, unsigned mode, bool durable, std::string& why,
                 bool followLink = false, const FileOwner* owner = nullptr);

}  // namespace plat
