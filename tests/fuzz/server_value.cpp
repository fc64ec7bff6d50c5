// The server value parser (SMTP, POP): "host", "host:port", "[IPv6]:port".
// Input: the value. What it accepts names a host without blanks or controls,
// and written back as the program names the server, reads the same again.
#include <string>

#include "config/configfile.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string value(zvfuzz::Bytes(data, size));
  std::string host;
  uint16_t port = 0;
  if (!SplitServerValue(value, 25, host, port)) return 0;
  zvfuzz::Require(!host.empty() && port != 0, "an accepted value has a host and a port");
  for (const unsigned char c : host) zvfuzz::Require(c > 0x20 && c != 0x7F, "a host holds no blanks or controls");
  const std::string written = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                              std::to_string(port);
  std::string again;
  uint16_t againPort = 0;
  zvfuzz::Require(SplitServerValue(written, 110, again, againPort), "the server as written is a server value");
  zvfuzz::Require(again == host && againPort == port, "the server as written names the same host and port");
  return 0;
}
