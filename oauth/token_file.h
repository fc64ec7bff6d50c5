// ZVMAIL32.TOK, the OAuth2 token state of an instance beside its INI: plain
// lines "KEY value" with REFRESH_TOKEN, ACCESS_TOKEN and EXPIRES (seconds
// since the epoch). Not encrypted: its mode (0600), owner and directory
// protect it. It is replaced whole (temporary name, flush, rename, the
// directory flushed), so a run killed at any moment leaves the old state or
// the new, and never read or written through a link.
//
// Error convention: nothing throws; Load and Save say by their result
// whether they worked and put the reason in words into `why`.
#pragma once

#include <cstdint>
#include <string>

namespace oauth {

struct TTokenRecord {
  std::string refreshToken, accessToken;
  int64_t expires = 0;  // when the access token ends; 0: unknown
  bool operator==(const TTokenRecord&) const = default;
};

// A token as it may be sent and stored: 1 to 32768 bytes of printable ASCII
// without blanks (nothing that could end a line or a SASL field).
bool IsTokenText(const std::string& text);

// Untrusted bytes (a file anyone with access to the directory may have
// written): known keys are taken, other lines ignored; a token that is not
// IsTokenText and an EXPIRES that is not a plain number count as absent.
TTokenRecord ParseTokenFile(const std::string& bytes);
std::string ComposeTokenFile(const TTokenRecord& record);

enum class TLoadResult { Read, Missing, Failed };
// Reads the file at `path`: a regular file of at most 64 KB, not a link.
TLoadResult LoadTokenFile(const std::string& path, TTokenRecord& record, std::string& why);
// Replaces the file at `path` (a link there is replaced, not followed) and
// flushes it with its directory before returning. It takes the owner and
// group of the file `ownerOf` (the INI) where the system allows.
bool SaveTokenFile(const std::string& path, const TTokenRecord& record, const std::string& ownerOf,
                   std::string& why);

}  // namespace oauth
