// The socket component's line reader over a peer whose bytes arrive in
// pieces of every size, with receive buffers from 0 bytes to beyond the
// buffer's capacity. Input: a byte choosing the pieces, a byte choosing the
// buffer size, then what the peer sends.
#include <algorithm>
#include <memory>

#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  zvfuzz::StartQt();
  static constexpr int32_t kBufferSizes[] = {0, 1, 2, 3, 7, 64, 250, 251, 8192, 16384, 20000, -1};
  const int32_t bufferSize = kBufferSizes[data[1] % std::size(kBufferSizes)];
  const std::string_view stream = zvfuzz::Bytes(data + 2, size - 2);
  auto service = std::make_shared<zvfuzz::PlayedService>(stream, data[0]);
  TSockets sock(service);
  int errors = 0;
  zvfuzz::Connect(sock, errors);
  sock.BufferSize = bufferSize;
  const std::size_t limit = std::size_t(std::clamp<int32_t>(bufferSize, 0, TSockets::kBufferCapacity));

  std::string line, joined;
  bool gaveUp = false;
  for (std::size_t reads = 0; sock.State == 1 && reads <= stream.size() + 1; ++reads) {
    if (sock.GetLine(line)) {
      zvfuzz::Require(line.find_first_of("\r\n") == std::string::npos, "a line holds no CR or LF");
      zvfuzz::Require(line.size() < limit, "a line fits the buffer with its end");
      joined += line + "\n";
    } else {
      zvfuzz::Require(line.size() <= 250, "what is given up on is at most 250 bytes");
      gaveUp = gaveUp || sock.State == 1;
    }
  }
  zvfuzz::Require(errors == 0, "a peer that closes is no socket error");
  if (!gaveUp && limit > stream.size()) {
    std::string expected(stream.substr(0, stream.rfind('\n') + 1));
    std::erase(expected, '\r');
    zvfuzz::Require(joined == expected, "the lines are the bytes sent, less CRs");
  }
  sock.Close();
  return 0;
}
