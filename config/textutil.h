// The small text routines shared by every room. Texts are 8-bit byte strings;
// none of the routines changes its argument. Paths use "/" on this platform,
// and "\" is still honoured where a path is split.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

// The path up to and including its last "/" or "\"; empty when it has none.
std::string ExtractDir(const std::string& path);
// Decimal text of `value`. width 0: plain; width > 0: zero-filled to width
// ("-" then the magnitude zero-filled to width-1 for negatives); width < 0:
// right-aligned in |width| with blanks. Never cut.
std::string NumToText(int32_t value, int width);
// The number at the start of the text (leading blanks, optional sign, decimal
// digits or "$" and hex digits); 0 when there is none.
int32_t TextToNum(const std::string& text);
// "a".."z" to upper case, and 0x80..0xA7 through the code page 437 table.
std::string UpperText(const std::string& text);
// Removes leading and trailing blanks (0x20 only; tabs stay).
std::string TrimSpaces(const std::string& text);
// TrimSpaces, then a final "/" unless the text ends in "/" or "\"; empty stays empty.
std::string NormaliseDir(const std::string& text);
// Key and value of a configuration line (value at most 255 characters).
std::pair<std::string, std::string> SplitKeyValue(const std::string& line);
// True when the first character, upper-cased, is "1", "T" or "Y".
bool ParseYesNo(const std::string& text);
// "YES" or "NO".
std::string YesNoText(bool flag);

// Opens a text file in binary mode. mode (any case): 'A' append, 'R' read,
// 'W' create/truncate, 'X' append after creating it empty when missing.
// A missing file or path fails at once; other failures are retried at once,
// up to 21 attempts. On success `file` holds the open stream.
bool OpenTextRetry(std::FILE*& file, const std::string& name, char mode);
