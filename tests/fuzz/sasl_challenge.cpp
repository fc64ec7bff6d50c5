// The error challenge a server answers a refused token with: base64 of a
// JSON object whose status and reason are logged. Input: a byte saying
// whether the rest goes as it stands or base64-encoded (so the JSON is
// reached), then the rest. What is logged of it is bounded.
#include <QByteArray>

#include "app/sasl.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string challenge(zvfuzz::Bytes(data + 1, size - 1));
  if (data[0] % 2 == 0) challenge = QByteArray(challenge.data(), qsizetype(challenge.size())).toBase64().toStdString();
  const std::string described = DescribeErrorChallenge(challenge);
  zvfuzz::Require(described.size() <= 2 * 3 * 200 + 20, "the words of an error challenge are bounded");
  return 0;
}
