// The text of the phone book (docs/phonebook.md) and of its values, read by
// the remote-access service of platform/ras.h. Untrusted input: a file
// anyone with access to it may edit.
// Errors: nothing fails; what cannot be read is skipped or falls back.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ras {

struct Entry {
  std::string name;
  std::map<std::string, std::string> keys;  // key in lower case

  std::string get(const std::string& key) const {
    auto it = keys.find(key);
    return it == keys.end() ? std::string() : it->second;
  }
  bool has(const std::string& key) const { return keys.count(key) != 0; }
};

// The sections of a phone book's text in file order: "[name]" lines, each
// followed by "key = value" lines; "#" and ";" begin comments. A section
// whose name was seen before is ignored with its keys.
std::vector<Entry> ParsePhoneBook(const std::string& text);
// Entry names are compared as the dial record carries them: cut to their
// field length and without regard to ASCII letter case.
bool SameEntryName(const std::string& a, const std::string& b);

// A decimal number in [lo, hi]; `fallback` for anything else.
long ParseNumber(const std::string& text, long lo, long hi, long fallback);
// A list of codes separated by commas or blanks (at most kMaxSteps);
// unreadable items are skipped.
constexpr std::size_t kMaxSteps = 1000;
std::vector<uint32_t> ParseCodes(const std::string& text);
// "disconnect": a code, or yes/true for the default code; no/0/empty: none.
uint32_t ParseDropCode(const std::string& text);

}  // namespace ras
