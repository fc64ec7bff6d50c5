// The token file ZVMAIL32.TOK, read as untrusted bytes. Input: the file.
// The tokens read are tokens as they may be sent, and what is read of the
// file, once written, reads back the same (an expiry only with its token).
#include "fuzz/harness.h"
#include "oauth/token_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  oauth::TTokenRecord read = oauth::ParseTokenFile(std::string(zvfuzz::Bytes(data, size)));
  for (const std::string* token : {&read.refreshToken, &read.accessToken})
    zvfuzz::Require(token->empty() || oauth::IsTokenText(*token), "a token read can be sent and stored");
  if (read.accessToken.empty()) read.expires = 0;  // the expiry of no token is not kept
  zvfuzz::Require(oauth::ParseTokenFile(oauth::ComposeTokenFile(read)) == read,
                  "the token file written reads back as it was");
  return 0;
}
