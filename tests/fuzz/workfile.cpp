// The outbound work-file reader. Input: a byte that, when a multiple of 8,
// puts the rest an eighth of its value before the end of the reader's first
// 65000-byte chunk, behind plain filler lines (otherwise the rest is the
// whole file), then the rest: so line ends, cuts and end bytes fall on the
// chunk's edge too.
#include <cstdio>
#include <string>

#include "app/workfile.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view rest = zvfuzz::Bytes(data + 1, size - 1);
  std::string file;
  if (data[0] % 8 == 0) {
    const std::string fillerLine = std::string(99, 'f') + "\n";
    while (file.size() + fillerLine.size() <= TWorkFileReader::kBufferSize) file += fillerLine;
    file.resize(TWorkFileReader::kBufferSize - data[0] / 8, 'f');
  }
  file += rest;
  if (file.empty()) return 0;

  std::FILE* f = ::fmemopen(file.data(), file.size(), "rb");
  zvfuzz::Require(f != nullptr, "a file in memory can be opened");
  static TWorkFileReader reader;
  reader.Load(f);
  std::string joined;
  for (std::size_t lines = 0; !reader.End(); ++lines) {
    zvfuzz::Require(lines <= file.size() + 1, "every line takes a byte, but the last");
    const std::string line = reader.Line();
    zvfuzz::Require(line.size() <= 201, "a line is cut after 201 characters");
    zvfuzz::Require(line.find_first_of(std::string("\r\n\0\x1a", 4)) == std::string::npos,
                    "a line holds no line end or end byte");
    joined += line;
  }
  std::fclose(f);
  zvfuzz::Require(!reader.Failed(), "a file in memory reads without error");
  std::string expected = file.substr(0, file.find_first_of(std::string("\0\x1a", 2)));
  std::erase(expected, '\r');
  std::erase(expected, '\n');
  zvfuzz::Require(joined == expected, "the lines are the data up to its end byte, less line ends");
  return 0;
}
