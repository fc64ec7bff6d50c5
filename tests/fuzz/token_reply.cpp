// The JSON answers of the token endpoint and the device authorisation
// endpoint. Input: a byte choosing the answer, then its body. A token
// taken from an answer can be sent and stored.
#include "fuzz/harness.h"
#include "oauth/token_file.h"
#include "oauth/token_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string body(zvfuzz::Bytes(data + 1, size - 1));
  if (data[0] % 2 == 0) {
    oauth::TTokenReply reply;
    if (!oauth::ParseTokenReply(body, reply)) return 0;
    for (const std::string* token : {&reply.accessToken, &reply.refreshToken})
      zvfuzz::Require(token->empty() || oauth::IsTokenText(*token), "a token taken can be sent and stored");
  } else {
    oauth::TDeviceReply reply;
    oauth::ParseDeviceReply(body, reply);
  }
  return 0;
}
