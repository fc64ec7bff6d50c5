// Whole reads and atomic replacement of the small files of this room that
// hold secrets (the configuration file). Internal to config/.
// Errors: each operation reports by its result and puts the reason in words
// (usually the system's error text) into `why`; nothing throws.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace safefile {

// The largest file ReadWhole takes; a configuration file is a few hundred bytes.
constexpr std::size_t kMaxBytes = 1 << 20;

enum class ReadResult { Read, Missing, Failed };

// Reads the regular file at `path` (links followed) whole into `bytes`, and
// its status into `status` when not null. Missing: no file (or no directory)
// of that name. Failed: something is there but cannot be read (permissions,
// a directory, not a regular file, an I/O error, larger than kMaxBytes).
// Opens through OpenTextRetry, so the text routines' open service applies.
ReadResult ReadWhole(const std::string& path, std::string& bytes, struct stat* status, std::string& why);

// Follows `path` through symbolic links (at most 16) to the path they lead
// to; a missing end is fine (`resolved` then names what would be created).
// Relative link targets count from the link's directory.
bool ResolveLinks(const std::string& path, std::string& resolved, std::string& why);

// Replaces the file at `path` by `bytes` so that readers see the old content
// or the new, never a part (the platform's ReplaceFile: a fresh temporary
// file beside it, flushed, renamed over it, the directory flushed). A link at
// `path` itself is replaced, not followed. The result is mode 0600; it keeps
// the owner and group of `previous` when given (else it takes those of its
// directory) where the system allows.
bool ReplaceAtomically(const std::string& path, const std::string& bytes, const struct stat* previous,
                       std::string& why);

}  // namespace safefile
