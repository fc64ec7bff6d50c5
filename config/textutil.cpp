// Placeholder: the text routines land with the configuration work.
#include "config/textutil.h"

std::string ExtractDir(const std::string& path) {
  auto p = path.find_last_of("/\\");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}
std::string NumToText(int32_t value, int) { return std::to_string(value); }
int32_t TextToNum(const std::string& text) { return std::atoi(text.c_str()); }
std::string UpperText(const std::string& text) {
  std::string r = text;
  for (auto& c : r) if (c >= 'a' && c <= 'z') c = char(c - 32);
  return r;
}
std::string TrimSpaces(const std::string& text) {
  auto b = text.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return text.substr(b, text.find_last_not_of(' ') - b + 1);
}
std::string NormaliseDir(const std::string& text) {
  std::string t = TrimSpaces(text);
  if (!t.empty() && t.back() != '/' && t.back() != '\\') t += '/';
  return t;
}
std::pair<std::string, std::string> SplitKeyValue(const std::string& line) {
  std::string t = TrimSpaces(line);
  auto p = t.find(' ');
  if (p == std::string::npos) return {t, {}};
  return {TrimSpaces(t.substr(0, p)), TrimSpaces(t.substr(p + 1)).substr(0, 255)};
}
bool ParseYesNo(const std::string& text) {
  if (text.empty()) return false;
  char c = UpperText(text.substr(0, 1))[0];
  return c == '1' || c == 'T' || c == 'Y';
}
std::string YesNoText(bool flag) { return flag ? "YES" : "NO"; }
bool OpenTextRetry(std::FILE*& file, const std::string& name, char mode) {
  const char* m = mode == 'R' || mode == 'r' ? "rb" : mode == 'W' || mode == 'w' ? "wb" : "ab";
  file = name.empty() ? nullptr : std::fopen(name.c_str(), m);
  return file != nullptr;
}
