// Status echo for unattended runs: with ZVMAIL32_ECHO_STATUS=1 in the
// environment every change of a status control is written to standard error
// as one line "<control name>: <text>"; a comma-separated list of control
// names instead ("lbAction,lbError") echoes only those. Under systemd
// (JOURNAL_STREAM in the environment) every log line also goes to standard
// error, which the service manager hands to the journal.
#pragma once

#include <ctime>
#include <string>

// True when some control is echoed.
bool StatusEchoEnabled();
void EchoStatus(const std::string& control, const std::string& text);

// With JOURNAL_STREAM set: writes `text`, escaped as in the log, without a
// time stamp (the journal keeps its own) and with LF to standard error.
// Otherwise nothing. Called for every log line, whether or not LOG is on.
void EchoLogLine(const std::string& text);
// EchoLogLine writes every log line to standard error.
bool LogLinesEchoed();
// When standard error is a terminal (a run by hand) and log lines are not
// echoed anyway: writes "zvmail32: " and `text`, escaped as in the log, to
// it, whether or not LOG is on. For the log lines that tell of a failure.
void EchoFailure(const std::string& text);

// One log line: "mm/dd/yy hh:nn:ss", two blanks, the text, CR LF. Control
// bytes of the text (below 0x20 but TAB, 0x7F, and the C1 controls: bytes
// 0x80 to 0x9F that are not part of a UTF-8 character, and U+0080 to U+009F
// in UTF-8) are written as \xNN: log lines carry server replies and file
// names, which must not forge a line or reach a terminal as escape
// sequences.
std::string FormatLogLine(const std::tm& t, const std::string& text);
// `text` with its control bytes written as \xNN, as in the log.
std::string EscapeControls(const std::string& text);
