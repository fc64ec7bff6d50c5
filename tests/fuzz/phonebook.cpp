// The phone book reader and the readers of its values. Input: the book's
// text. No two entries answer to one name, and values come out in range.
#include <set>

#include "fuzz/harness.h"
#include "platform/phonebook.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<ras::Entry> entries = ras::ParsePhoneBook(std::string(zvfuzz::Bytes(data, size)));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j)
      zvfuzz::Require(!ras::SameEntryName(entries[i].name, entries[j].name), "no two entries answer to one name");
    for (const auto& [key, value] : entries[i].keys) {
      zvfuzz::Require(key.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos, "keys are in lower case");
      const std::vector<uint32_t> codes = ras::ParseCodes(value);
      zvfuzz::Require(codes.size() <= ras::kMaxSteps, "a list of codes is bounded");
      for (uint32_t code : codes) zvfuzz::Require(code <= 0xFFFF, "a code is at most 65535");
      zvfuzz::Require(ras::ParseDropCode(value) <= 0xFFFF, "a drop code is at most 65535");
      const long n = ras::ParseNumber(value, 1, 60, -1);
      zvfuzz::Require(n == -1 || (n >= 1 && n <= 60), "a number is in its range or the fallback");
    }
  }
  return 0;
}
