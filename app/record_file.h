// The small record files the program keeps beside its configuration
// (ZVMAIL32.UID, ZVMAIL32.SNT): one item per line, names escaped into single
// words, read back whole and bounded, since a damaged or planted file must
// not make the program spend without end.
// Errors: ReadRecordFile returns false with a reason in words.
#pragma once

#include <cstddef>
#include <string>

// `text` as one word: bytes outside 0x21..0x7E and "%" as %XX.
std::string EscapeWord(const std::string& text);
// The text of an escaped word; false for a word EscapeWord never makes.
bool UnescapeWord(const std::string& word, std::string& text);
// Reads `path` into `text`, the first `maxBytes` (and up to one read more)
// of it; a missing file is an empty record (true). Anything but a regular
// file (a FIFO, a directory, a link) is refused at once, saying what it is.
bool ReadRecordFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& why);
