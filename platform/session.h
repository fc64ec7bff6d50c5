// Facts about this program's session that every room may ask: whether a
// person can see its windows, and the modal message box that follows from it.
#pragma once

#include <string>

namespace plat {

// True when the program runs without a display (Qt's offscreen platform).
// Then nobody can answer a modal box, so boxes answer themselves.
bool Headless();
void SetHeadless(bool headless);

// Chooses the offscreen platform when the user named no platform
// (QT_QPA_PLATFORM unset or empty) and neither DISPLAY nor WAYLAND_DISPLAY
// names a display that accepts a connection; when one was named but cannot
// be opened, says so in one line on standard error. Call before the
// application object exists; returns the headless decision.
bool ChooseDisplayPlatform();

constexpr unsigned MB_OK = 0;
constexpr unsigned MB_OKCANCEL = 1;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// The application's standard modal message box; texts are 8-bit (Latin-1).
// Headless: writes one line "<caption>: <text>" to standard error (line
// breaks in the text become blanks) and returns IDOK at once.
int MessageBox(const std::string& text, const std::string& caption, unsigned flags);

// Writes one line "<caption>: <text>" to standard error (line breaks in the
// text become blanks). What a headless modal box shows instead of itself.
void ReportToStderr(const std::string& caption, const std::string& text);

}  // namespace plat
