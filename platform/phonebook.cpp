#include "platform/phonebook.h"

#include <cerrno>
#include <cstdlib>
#include <set>

#include "platform/ras.h"

namespace ras {
namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// The form in which two names compare as SameEntryName compares them.
std::string NameKey(const std::string& name) { return Lower(name.substr(0, RAS_MaxEntryName)); }

}  // namespace

bool SameEntryName(const std::string& a, const std::string& b) { return NameKey(a) == NameKey(b); }

std::vector<Entry> ParsePhoneBook(const std::string& text) {
  std::vector<Entry> entries;
  std::set<std::string> seen;  // a look per section, however many there are
  Entry* current = nullptr;
  Entry ignored;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string t = Trim(text.substr(start, end - start));
    start = end + 1;
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t.front() == '[' && t.back() == ']' && t.size() >= 2) {
      const std::string name = Trim(t.substr(1, t.size() - 2));
      if (!seen.insert(NameKey(name)).second) {
        ignored = Entry{};
        current = &ignored;
      } else {
        entries.push_back(Entry{name, {}});
        current = &entries.back();
      }
      continue;
    }
    const auto eq = t.find('=');
    if (current == nullptr || eq == std::string::npos) continue;
    current->keys[Lower(Trim(t.substr(0, eq)))] = Trim(t.substr(eq + 1));
  }
  return entries;
}

long ParseNumber(const std::string& text, long lo, long hi, long fallback) {
  if (text.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || v < lo || v > hi) return fallback;
  return v;
}

std::vector<uint32_t> ParseCodes(const std::string& text) {
  std::vector<uint32_t> codes;
  std::string item;
  auto flush = [&] {
    const long v = ParseNumber(item, 0, 0xFFFF, -1);
    if (v >= 0 && codes.size() < kMaxSteps) codes.push_back(uint32_t(v));
    item.clear();
  };
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t')
      flush();
    else
      item += c;
  }
  flush();
  return codes;
}

uint32_t ParseDropCode(const std::string& text) {
  const std::string v = Lower(text);
  if (v.empty() || v == "no" || v == "false" || v == "0") return 0;
  const long code = ParseNumber(v, 1, 0xFFFF, -1);
  return code > 0 ? uint32_t(code) : ERROR_PORT_DISCONNECTED;
}

}  // namespace ras
